#include "translation/text_rules.h"

#include "platform/utf.h"

namespace zol::translation {

namespace {

bool IsBlank(char c) noexcept { return static_cast<unsigned char>(c) <= 0x20; }

int HexValue(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

char16_t LowerChar(char16_t c) noexcept {
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 0x20) : c;
    // Latin-1 capitals, except the multiplication sign.
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 0x20);
    // Latin Extended-A: capitals at even code points, with the odd-aligned runs between.
    if (c >= 0x0100 && c <= 0x0137) return (c % 2 == 0) ? static_cast<char16_t>(c + 1) : c;
    if (c >= 0x0139 && c <= 0x0148) return (c % 2 == 1) ? static_cast<char16_t>(c + 1) : c;
    if (c >= 0x014A && c <= 0x0177) return (c % 2 == 0) ? static_cast<char16_t>(c + 1) : c;
    if (c == 0x0178) return 0x00FF;
    if (c >= 0x0179 && c <= 0x017E) return (c % 2 == 1) ? static_cast<char16_t>(c + 1) : c;
    // Greek capitals (U+03A2 is unassigned) and the accented ones.
    if (c >= 0x0391 && c <= 0x03AB && c != 0x03A2) return static_cast<char16_t>(c + 0x20);
    if (c == 0x0386) return 0x03AC;
    if (c >= 0x0388 && c <= 0x038A) return static_cast<char16_t>(c + 0x25);
    if (c == 0x038C) return 0x03CC;
    if (c == 0x038E || c == 0x038F) return static_cast<char16_t>(c + 0x3F);
    // Cyrillic.
    if (c >= 0x0400 && c <= 0x040F) return static_cast<char16_t>(c + 0x50);
    if (c >= 0x0410 && c <= 0x042F) return static_cast<char16_t>(c + 0x20);
    if (c >= 0x0460 && c <= 0x04BF) return (c % 2 == 0) ? static_cast<char16_t>(c + 1) : c;
    // Full-width Latin capitals.
    if (c >= 0xFF21 && c <= 0xFF3A) return static_cast<char16_t>(c + 0x20);
    return c;
}

}  // namespace

std::string_view TrimText(std::string_view text) noexcept {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

bool HasControlCharacters(std::string_view text) noexcept {
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20) return true;
    }
    return false;
}

std::string EscapeControls(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20) {
            out.push_back('%');
            out.push_back(kHex[u >> 4]);
            out.push_back(kHex[u & 0x0F]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string UnescapeControls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int high = HexValue(text[i + 1]);
            int low = HexValue(text[i + 2]);
            if (high >= 0 && low >= 0 && high * 16 + low < 0x20) {
                out.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::string StripAccelerator(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '&') {
            if (i + 1 < text.size() && text[i + 1] == '&') {
                out.push_back('&');
                ++i;
            }
            continue;
        }
        out.push_back(text[i]);
    }
    return out;
}

std::string DropSingleAmpersands(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '&') {
            if (i + 1 < text.size() && text[i + 1] == '&') {
                out.append("&&");
                ++i;
            }
            continue;
        }
        out.push_back(text[i]);
    }
    return out;
}

std::string LowerCaseText(std::string_view text) {
    bool ascii = true;
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii) {
        std::string out(text);
        for (char& c : out) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        return out;
    }
    std::u16string wide = platform::Utf8ToUtf16(text);
    for (char16_t& c : wide) c = LowerChar(c);
    return platform::Utf16ToUtf8(wide);
}

}  // namespace zol::translation
