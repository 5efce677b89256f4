#ifndef HTML_H
#define HTML_H

#include <string>

// Pieces of the sandbox's own web pages.
namespace Html {

std::string escape(const std::string &text);
// A whole page: the title, then body (already HTML).
std::string page(const std::string &title, const std::string &body);
std::string hiddenField(const std::string &name, const std::string &value);

} // namespace Html

#endif // HTML_H
