#pragma once
// The gzip reader of the host simulator and the Windows tests: the plug-in's script package is a
// gzip stream. zlib (linked statically) reads one member and checks its CRC-32 and length
// trailer; this wraps it with a size limit and an error text.

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

}  // namespace zol::hostsim
