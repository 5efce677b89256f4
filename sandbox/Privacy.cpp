#include "Privacy.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <iterator>

namespace Privacy {

namespace {
const char *const values[] = { "SELF", "ALL_FRIENDS", "FRIENDS_OF_FRIENDS", "EVERYONE" };
const char *const wordsFor[] = { "Only me", "Friends", "Friends of friends", "Public" };
} // namespace

std::optional<int> rank(const std::string &value)
{
    for (int i = 0; i < int(std::size(values)); ++i) {
        if (value == values[i])
            return i;
    }
    return std::nullopt;
}

bool isWider(const std::string &value, const std::string &than)
{
    return rank(value).value_or(0) > rank(than).value_or(int(std::size(values)) - 1);
}

std::optional<std::string> parse(const std::string &json)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const std::string value = document.object().value("value").toString().toStdString();
    if (!rank(value))
        return std::nullopt;
    return value;
}

std::string malformed(const std::string &parameter)
{
    return "Param " + parameter
        + " must be a JSON object whose \"value\" is SELF, ALL_FRIENDS, FRIENDS_OF_FRIENDS or EVERYONE";
}

std::string words(const std::string &value)
{
    const std::optional<int> known = rank(value);
    return known ? wordsFor[*known] : value;
}

} // namespace Privacy
