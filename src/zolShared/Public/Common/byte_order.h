#pragma once
// Big-endian field helpers: protocol fields are read and written through these, never by
// casting a buffer to a struct. Callers check the span's length first.

#include <cstdint>
#include <span>
#include <vector>

namespace zol::common {

constexpr std::uint16_t ReadBe16(std::span<const std::uint8_t, 2> bytes) noexcept {
    return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

constexpr std::uint32_t ReadBe32(std::span<const std::uint8_t, 4> bytes) noexcept {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

inline void WriteBe16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

inline void WriteBe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

}  // namespace zol::common
