// Stored strings of the settings component: the encoding that keeps any text on one line of
// printable ASCII, and its lenient decoder for texts other writers left.
#include <cstdint>

#include "platform/system.h"
#include "platform/utf.h"
#include "zolShared/Public/Common/zolRegSettings.h"

namespace zol::common {

namespace {

constexpr char kHexUpper[] = "0123456789ABCDEF";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t code = 0;
        if (b < 0x80) {
            ++i;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            length = 2;
            code = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            length = 3;
            code = b & 0x0F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            length = 4;
            code = b & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            code = (code << 6) | (c & 0x3F);
        }
        if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
            (length == 4 && (code < 0x10000 || code > 0x10FFFF))) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string AnsiToUtf8(std::string_view ansi) {
    return platform::Utf16ToUtf8(platform::AnsiToUtf16(ansi));
}

bool IsHighText(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return true;
    }
    return false;
}

}  // namespace

std::string EncodeSettingString(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() + utf8.size() / 4);
    bool seen_non_space = false;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        if (b == ' ') {
            // A trailing space is written as "+" too: INI readers trim the ends of values.
            const bool last = i + 1 == utf8.size();
            const bool next_space = !last && utf8[i + 1] == ' ';
            out.push_back(seen_non_space && !next_space && !last ? ' ' : '+');
            continue;
        }
        seen_non_space = true;
        if (b == '%') {
            out += "%%";
        } else if (b > 0x20 && b <= 0x7F && b != '+') {
            out.push_back(static_cast<char>(b));
        } else {
            out.push_back('%');
            out.push_back(kHexUpper[b >> 4]);
            out.push_back(kHexUpper[b & 0x0F]);
        }
    }
    return out;
}

std::string DecodeSettingString(std::string_view stored) {
    const bool high = IsHighText(stored);
    std::string out;
    out.reserve(stored.size());
    // With foreign characters in the text, escaped bytes are system code page characters; they
    // are gathered in runs so that multi-byte code pages convert whole characters.
    std::string escaped_run;
    auto flush = [&] {
        if (escaped_run.empty()) return;
        out += high ? AnsiToUtf8(escaped_run) : escaped_run;
        escaped_run.clear();
    };
    std::size_t i = 0;
    while (i < stored.size()) {
        const char c = stored[i];
        if (c == '%' && i + 1 < stored.size() && stored[i + 1] == '%') {
            flush();
            out.push_back('%');
            i += 2;
        } else if (c == '%' && i + 2 < stored.size() && HexValue(stored[i + 1]) >= 0 &&
                   HexValue(stored[i + 2]) >= 0) {
            escaped_run.push_back(
                static_cast<char>(HexValue(stored[i + 1]) * 16 + HexValue(stored[i + 2])));
            i += 3;
        } else {
            flush();
            out.push_back(c == '+' ? ' ' : c);
            ++i;
        }
    }
    flush();
    // Bytes that are not UTF-8 came from an older 8-bit writer (or as CESU-8): they are code page
    // text. Keeping the stored text instead would store its escapes escaped again next time.
    if (high || IsValidUtf8(out)) return out;
    return AnsiToUtf8(out);
}

}  // namespace zol::common
