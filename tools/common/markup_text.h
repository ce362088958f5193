#pragma once
// Text for XML and HTML the tools write: the characters markup gives a meaning (& < > ") as
// entities, so element content and double-quoted attribute values read back as written.

#include <string>
#include <string_view>

namespace zol::tools {

inline std::string MarkupText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

}  // namespace zol::tools
