#pragma once
// Checksums over byte blocks from a fixed catalogue of 44 named models: three plain sums and 41
// table-driven CRCs of 8 to 32 bits. The KMP codec uses the "xmodem" entry through KmpCrc; the
// rest is a general facility for tools and other protocols. All tables are built at compile
// time, so every function here is pure and safe from any thread.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace zol::common {

// One catalogue model. Field order and meaning follow the catalogue itself: `Width` is in bytes,
// `Init` is stored already combined with `XorOut` (the register starts at Init ^ XorOut), and for
// reflected models `Init` is in the reflected register form.
struct TCRCDesc {
    std::string_view Name;
    std::uint8_t Width;
    std::uint32_t Poly;
    bool PolyNormal;  // Poly is MSB-first; a reflected model bit-reverses it before use
    bool Reflected;
    std::uint32_t Init;
    std::uint32_t XorOut;
    bool SwapResult;  // the Width result bytes are reversed after the final XOR
    std::uint32_t Check;
};

inline constexpr std::size_t kCrcModelCount = 44;

// Catalogue index of each model that is more than a table entry.
inline constexpr std::size_t kCrc8Sum = 0;
inline constexpr std::size_t kCrc8Xor = 1;
inline constexpr std::size_t kCrc16Sum = 10;
inline constexpr std::size_t kCrcXmodem = 27;

// The input over which every model's `Check` value is defined.
inline constexpr std::string_view kCrcCheckInput = "123456789";

// clang-format off
inline constexpr std::array<TCRCDesc, kCrcModelCount> CrcModels{{
    // Name               W  Poly        Norm   Refl   Init        XorOut      Swap   Check
    {"crc8-sum",          1, 0x00,       true,  false, 0x00,       0x00,       false, 0x00},
    {"crc8-xor",          1, 0x00,       true,  false, 0x00,       0x00,       false, 0x00},
    {"crc8",              1, 0x07,       true,  false, 0x00,       0x00,       false, 0xF4},
    {"crc8-darc",         1, 0x39,       true,  true,  0x00,       0x00,       false, 0x15},
    {"crc8-i-code",       1, 0x1D,       true,  false, 0xFD,       0x00,       false, 0x7E},
    {"crc8-itu",          1, 0x07,       true,  false, 0x55,       0x55,       false, 0xA1},
    {"crc8-maxim",        1, 0x31,       true,  true,  0x00,       0x00,       false, 0xA1},
    {"crc8-maxim-ff",     1, 0x31,       true,  false, 0xFF,       0x00,       false, 0xF7},
    {"crc8-rohc",         1, 0x07,       true,  true,  0xFF,       0x00,       false, 0xD0},
    {"crc8-wcdma",        1, 0x9B,       true,  true,  0x00,       0x00,       false, 0x25},
    {"crc16-sum",         2, 0x0000,     true,  true,  0x0000,     0x0000,     false, 0x0000},
    {"crc16",             2, 0x8005,     true,  true,  0x0000,     0x0000,     false, 0xBB3D},
    {"crc16-buypass",     2, 0x8005,     true,  false, 0x0000,     0x0000,     false, 0xFEE8},
    {"crc16-dds-110",     2, 0x8005,     true,  false, 0x800D,     0x0000,     false, 0x9ECF},
    {"crc16-dect",        2, 0x0589,     true,  false, 0x0001,     0x0001,     false, 0x007E},
    {"crc16-dnp",         2, 0x3D65,     true,  true,  0xFFFF,     0xFFFF,     true,  0x82EA},
    {"crc16-en-13757",    2, 0x3D65,     true,  false, 0xFFFF,     0xFFFF,     false, 0xC2B7},
    {"crc16-genibus",     2, 0x1021,     true,  false, 0x0000,     0xFFFF,     false, 0xD64E},
    {"crc16-maxim",       2, 0x8005,     true,  true,  0xFFFF,     0xFFFF,     false, 0x44C2},
    {"crc16-mcrf4xx",     2, 0x1021,     true,  true,  0xFFFF,     0x0000,     false, 0x6F91},
    {"crc16-riello",      2, 0x1021,     true,  true,  0x554D,     0x0000,     false, 0x63D0},
    {"crc16-t10-dif",     2, 0x8BB7,     true,  false, 0x0000,     0x0000,     false, 0xD0DB},
    {"crc16-teledisk",    2, 0xA097,     true,  false, 0x0000,     0x0000,     false, 0x0FB3},
    {"crc16-usb",         2, 0x8005,     true,  true,  0x0000,     0xFFFF,     false, 0xB4C8},
    {"crc16-ccitt-1D0F",  2, 0x1021,     true,  false, 0x1D0F,     0x0000,     false, 0xE5CC},
    {"crc16-ccitt-FFFF",  2, 0x1021,     true,  false, 0xFFFF,     0x0000,     false, 0x29B1},
    {"x25",               2, 0x1021,     true,  true,  0x0000,     0xFFFF,     false, 0x906E},
    {"xmodem",            2, 0x1021,     true,  false, 0x0000,     0x0000,     false, 0x31C3},
    {"modbus",            2, 0x8005,     true,  true,  0xFFFF,     0x0000,     false, 0x4B37},
    {"kermit",            2, 0x8408,     false, true,  0x0000,     0x0000,     true,  0x8921},
    {"kermit-FFFF",       2, 0x8408,     false, true,  0xFFFF,     0x0000,     true,  0x916F},
    {"crc24",             3, 0x864CFB,   true,  false, 0xB704CE,   0x000000,   false, 0x21CF02},
    {"crc24-flexray-a",   3, 0x5D6DCB,   true,  false, 0xFEDCBA,   0x000000,   false, 0x7979BD},
    {"crc24-flexray-b",   3, 0x5D6DCB,   true,  false, 0xABCDEF,   0x000000,   false, 0x1F23B8},
    {"crc32",             4, 0x04C11DB7, true,  true,  0x00000000, 0xFFFFFFFF, false, 0xCBF43926},
    {"crc32-bzip2",       4, 0x04C11DB7, true,  false, 0x00000000, 0xFFFFFFFF, false, 0xFC891918},
    {"crc32c",            4, 0x1EDC6F41, true,  true,  0x00000000, 0xFFFFFFFF, false, 0xE3069283},
    {"crc32d",            4, 0xA833982B, true,  true,  0x00000000, 0xFFFFFFFF, false, 0x87315576},
    {"crc32-mpeg",        4, 0x04C11DB7, true,  false, 0xFFFFFFFF, 0x00000000, false, 0x0376E6E7},
    {"posix",             4, 0x04C11DB7, true,  false, 0xFFFFFFFF, 0xFFFFFFFF, false, 0x765E7680},
    {"crc32q",            4, 0x814141AB, true,  false, 0x00000000, 0x00000000, false, 0x3010BF7F},
    {"jamcrc",            4, 0x04C11DB7, true,  true,  0xFFFFFFFF, 0x00000000, false, 0x340BC6D9},
    {"xfer",              4, 0x000000AF, true,  false, 0x00000000, 0x00000000, false, 0xBD0BE338},
    {"crc32a",            4, 0xEDB88320, false, true,  0xFFFFFFFF, 0x00000000, false, 0x340BC6D9},
}};
// clang-format on

// True for the catalogue entries whose checksum is a plain sum or XOR rather than a CRC.
constexpr bool IsSimpleChecksum(std::size_t model) noexcept {
    return model == kCrc8Sum || model == kCrc8Xor || model == kCrc16Sum;
}

// Index of the model with exactly this name, or nothing.
std::optional<std::size_t> FindCrcModel(std::string_view name) noexcept;

// The checksum of `data` under catalogue entry `model`, in the low Width bytes of the result.
// An index outside the catalogue yields 0xFFFFFFFF.
std::uint32_t CrcCompute(std::size_t model, std::span<const std::uint8_t> data) noexcept;

// As above, and the checksum bytes are appended to `out` in the model's own order: one byte for
// the 8-bit sum and XOR, two bytes high first for the 16-bit sum, and Width bytes least
// significant first for the table-driven models. Nothing is appended for an unknown index.
std::uint32_t CrcCompute(std::size_t model, std::span<const std::uint8_t> data,
                         std::vector<std::uint8_t>& out);

// The KMP checksum: CRC-16/XMODEM (catalogue entry "xmodem") over address, CID and data.
std::uint16_t KmpCrc(std::span<const std::uint8_t> data) noexcept;

}  // namespace zol::common
