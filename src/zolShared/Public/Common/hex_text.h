#pragma once
// Bytes written as hex text, the way people type and read frames: "40 3F 01" or "403F01".
// Lenient on purpose (anything but hex digits separates or is ignored), for tools, simulators and
// tests; a dangling last digit is dropped.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace zol::common {

inline std::vector<std::uint8_t> HexTextToBytes(std::string_view text) {
    std::vector<std::uint8_t> out;
    int high = -1;
    for (char c : text) {
        int v = -1;
        if (c >= '0' && c <= '9') v = c - '0';
        if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        if (v < 0) continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    return out;
}

// The value of a run of digits in base 10 or 16 (either letter case); nothing for an empty run, a
// character that is not a digit of the base, or more than 8 digits (so the value fits 32 bits).
inline std::optional<std::uint32_t> ParseDigits32(std::string_view digits, unsigned base) {
    if (digits.empty() || digits.size() > 8) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : digits) {
        unsigned digit = 16;
        if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
        if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
        if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
        if (digit >= base) return std::nullopt;
        value = value * base + digit;
    }
    return value;
}

}  // namespace zol::common
