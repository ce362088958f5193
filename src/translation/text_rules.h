#pragma once
// Text rules of the translation engine: trimming, the "%XX" form of control characters, the "&"
// accelerator mark and the case folding used for the case-insensitive table. All texts are UTF-8.

#include <string>
#include <string_view>

namespace zol::translation {

// The text without leading and trailing characters at or below the blank (controls included).
std::string_view TrimText(std::string_view text) noexcept;

// True when the text holds a character below 0x20.
bool HasControlCharacters(std::string_view text) noexcept;
// Every character below 0x20 written as "%" and two upper-case hexadecimal digits.
std::string EscapeControls(std::string_view text);
// "%" and two hexadecimal digits (either case) naming a character below 0x20 turned back into
// that character; any other "%" stays as it is.
std::string UnescapeControls(std::string_view text);

// The text without its accelerator mark: a single "&" is dropped, a doubled "&&" becomes "&".
std::string StripAccelerator(std::string_view text);
// Every single "&" dropped while a doubled "&&" is kept as it is.
std::string DropSingleAmpersands(std::string_view text);

// Lower-case form for the case-insensitive lookup. Covers the letters of the Latin, Greek and
// Cyrillic blocks the language files are written in; the same on every platform.
std::string LowerCaseText(std::string_view text);

}  // namespace zol::translation
