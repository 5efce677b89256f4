#ifndef PRIVACY_H
#define PRIVACY_H

#include <optional>
#include <string>

// The audiences the service knows, narrowest first: SELF, ALL_FRIENDS,
// FRIENDS_OF_FRIENDS, EVERYONE. A photo is shown to no more people than its
// album is.
namespace Privacy {

constexpr const char *newAlbumDefault = "ALL_FRIENDS";

// 0 (SELF) to 3 (EVERYONE); none for a value the service does not know.
std::optional<int> rank(const std::string &value);
// Whether value shows to more people than than does (an unknown than is
// taken for the widest).
bool isWider(const std::string &value, const std::string &than);
// The value of a "privacy" parameter, which the service takes as a JSON
// object ({"value":"SELF"}); none when it is anything else.
std::optional<std::string> parse(const std::string &json);
// The parameter's error text, naming it.
std::string malformed(const std::string &parameter);
// As a person reads it on the gallery page.
std::string words(const std::string &value);

} // namespace Privacy

#endif // PRIVACY_H
