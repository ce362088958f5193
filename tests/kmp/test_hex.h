#pragma once
// Hex helpers for the KMP tests: vectors are written as the bytes appear on the wire.

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "zolShared/Public/Common/hex_text.h"

namespace zol::kmp::test {

// "40 3F 01" or "403F01" to bytes; anything but hex digits is ignored.
inline std::vector<std::uint8_t> Hex(std::string_view text) { return common::HexTextToBytes(text); }

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
