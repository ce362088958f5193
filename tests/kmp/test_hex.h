#pragma once
// Hex helpers for the KMP tests: vectors are written as the bytes appear on the wire.

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace zol::kmp::test {

// "40 3F 01" or "403F01" to bytes; anything but hex digits is ignored.
inline std::vector<std::uint8_t> Hex(std::string_view text) {
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

inline std::string ToHex(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    for (std::uint8_t b : bytes) {
        char buf[4];
        std::snprintf(buf, sizeof buf, out.empty() ? "%02X" : " %02X", b);
        out += buf;
    }
    return out;
}

}  // namespace zol::kmp::test
