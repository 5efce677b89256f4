#ifndef HTML_H
#define HTML_H

#include <string>

// Pieces of the sandbox's own web pages.
namespace Html {

std::string escape(const std::string &text);
// A whole page: the title, then body (already HTML).
std::string page(const std::string &title, const std::string &body);
std::string hiddenField(const std::string &name, const std::string &value);
// The address if it is http or https; empty otherwise (javascript:, data:,
// relative...), so that a page never links or loads what a request made up.
std::string webUrl(const std::string &address);

} // namespace Html

#endif // HTML_H
