#pragma once
// Formatting of message texts with their arguments. Message texts come from language files, so a
// translator's mistake (a wrong conversion letter, a missing or extra argument) must not fault:
// every argument is printable by every conversion, and what cannot be matched is written as is.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace zol::translation {

// One argument: an integer or a UTF-8 text.
using FormatArg = std::variant<std::int64_t, std::string>;

// Fills `format` with `args`. Conversions: "%%", and "%" [index ":"] ["-"] [width] ["." precision]
// followed by "d" (decimal), "u" (unsigned decimal), "x" (hexadecimal, upper-case letters) or "s"
// (text). For "d", "u" and "x" the precision is the minimum number of digits; for "s" the maximum
// number of characters. An integer given to "s" prints in decimal, a text given to "d", "u" or "x"
// prints as it is. A conversion without an argument, or one that cannot be read, is copied.
std::string FormatText(std::string_view format, std::initializer_list<FormatArg> args);

}  // namespace zol::translation
