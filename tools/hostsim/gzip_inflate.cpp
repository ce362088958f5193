#include "hostsim/gzip_inflate.h"

#include <zlib.h>

#include <array>
#include <limits>

namespace zol::hostsim {

GunzipResult Gunzip(std::span<const std::uint8_t> input, std::size_t max_output) {
    GunzipResult result;
    if (input.size() > std::numeric_limits<uInt>::max()) {
        result.error = "the stream is too long";
        return result;
    }
    z_stream stream{};
    // 16 + 15: a gzip header and trailer around deflate data with the largest window.
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) {
        result.error = "zlib could not start";
        return result;
    }
    std::array<char, 256> name{};  // FNAME; a longer one is cut, which the caller only shows
    gz_header header{};
    header.name = reinterpret_cast<Bytef*>(name.data());
    header.name_max = static_cast<uInt>(name.size() - 1);
    inflateGetHeader(&stream, &header);
    stream.next_in = const_cast<Bytef*>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());
    std::array<std::uint8_t, 16384> chunk{};
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = chunk.data();
        stream.avail_out = static_cast<uInt>(chunk.size());
        status = inflate(&stream, Z_NO_FLUSH);
        const std::size_t produced = chunk.size() - stream.avail_out;
        if (produced > max_output - result.data.size()) {
            result.error = "the text is longer than " + std::to_string(max_output) + " bytes";
            inflateEnd(&stream);
            return result;
        }
        result.data.append(reinterpret_cast<const char*>(chunk.data()), produced);
    }
    if (status == Z_STREAM_END) {
        result.ok = true;
        if (header.done == 1 && header.name != Z_NULL) result.file_name = name.data();
    } else if (status == Z_BUF_ERROR) {
        result.error = "the stream ends early";  // zlib can make no progress on what is left
    } else {
        // zlib says what is wrong: "incorrect header check", "incorrect data check" (CRC-32),
        // "incorrect length check", "invalid block type", ...
        result.error =
            stream.msg != nullptr ? stream.msg : "damaged data (" + std::to_string(status) + ")";
    }
    inflateEnd(&stream);
    if (!result.ok) result.data.clear();
    return result;
}

}  // namespace zol::hostsim
