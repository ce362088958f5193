#pragma once
// A small gzip reader for the host simulator and the Windows tests: the plug-in's script package
// is a gzip stream, and no zlib is built for the Windows side. It reads one member (header with
// its optional fields, deflate data, CRC-32 and length trailer) and checks the trailer.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace zol::hostsim {

struct GunzipResult {
    bool ok = false;
    std::string error;      // why reading failed
    std::string file_name;  // the FNAME field, when present
    std::string data;       // the decompressed bytes
};

// Decompresses the first gzip member of `input`; output above `max_output` bytes is refused.
GunzipResult Gunzip(std::span<const std::uint8_t> input, std::size_t max_output = 64u << 20);

// CRC-32 (the gzip and zip polynomial, reflected, 0xEDB88320) of a byte string.
std::uint32_t Crc32(std::span<const std::uint8_t> bytes) noexcept;

}  // namespace zol::hostsim
