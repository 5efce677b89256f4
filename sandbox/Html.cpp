#include "Html.h"

#include <cctype>

namespace Html {

std::string escape(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string page(const std::string &title, const std::string &body)
{
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + escape(title)
        + "</title><style>"
          "body{font-family:sans-serif;margin:0;background:#f0f2f5;color:#1c1e21}"
          "header{background:#3b5998;color:#fff;padding:10px 20px;font-weight:bold}"
          "main{max-width:760px;margin:20px auto;background:#fff;padding:20px;border-radius:8px}"
          "button{font-size:15px;padding:6px 16px;margin-right:8px}"
          "input[type=text],input[type=password]{font-size:15px;padding:6px;width:260px}"
          ".album{margin:16px 0}.photo{display:inline-block;margin:6px;vertical-align:top;width:170px}"
          ".photo img{max-width:160px;max-height:120px}.muted{color:#65676b}"
          "</style></head><body><header>Sandbox</header><main>"
        + body + "</main></body></html>\n";
}

std::string hiddenField(const std::string &name, const std::string &value)
{
    return "<input type=\"hidden\" name=\"" + escape(name) + "\" value=\"" + escape(value) + "\">";
}

std::string webUrl(const std::string &address)
{
    std::string scheme = address.substr(0, 8);
    for (char &c : scheme)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    const bool web = scheme.rfind("http://", 0) == 0 || scheme.rfind("https://", 0) == 0;
    return web ? address : std::string();
}

} // namespace Html
