#pragma once
// UTF-8 <-> UTF-16 conversion, portable and lenient: malformed input becomes U+FFFD instead of
// failing, because texts arrive from files and hosts we do not control.

#include <string>
#include <string_view>

namespace zol::platform {

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
// UTF-16 text from its bytes, little- or big-endian; an odd last byte is dropped.
std::u16string Utf16FromBytes(std::string_view bytes, bool big_endian);
// The bytes of UTF-16 text, little- or big-endian.
std::string Utf16ToBytes(std::u16string_view text, bool big_endian);

}  // namespace zol::platform
