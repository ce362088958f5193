#include "common/text_encoding.h"

#include <algorithm>

#include "platform/system.h"
#include "platform/utf.h"

namespace zol::tools {

namespace {

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

std::string PluginTextToUtf8(std::string_view text) {
    if (IsAscii(text)) return std::string(text);
    return platform::Utf16ToUtf8(platform::AnsiToUtf16(text));
}

std::string ThroughPluginCodePage(std::string_view utf8) {
    if (IsAscii(utf8)) return std::string(utf8);
    return PluginTextToUtf8(platform::Utf16ToAnsi(platform::Utf8ToUtf16(utf8)));
}

void WriteLine(std::FILE* stream, std::string_view utf8) {
    WriteText(stream, std::string(utf8) + "\n");
}

}  // namespace zol::tools
