#include "hostsim/gzip_inflate.h"

#include <array>

namespace zol::hostsim {
namespace {

// Bit reader over the deflate data: bits are taken from the least significant end of each byte.
class Bits {
   public:
    explicit Bits(std::span<const std::uint8_t> in) : in_(in) {}

    // `count` bits (up to 16), first bit lowest; sets the failure flag past the end.
    std::uint32_t Take(int count) {
        std::uint32_t value = buffer_;
        while (available_ < count) {
            if (pos_ >= in_.size()) {
                failed_ = true;
                return 0;
            }
            value |= static_cast<std::uint32_t>(in_[pos_++]) << available_;
            available_ += 8;
        }
        buffer_ = value >> count;
        available_ -= count;
        return value & ((1u << count) - 1);
    }
    // Drops the rest of the current byte (stored blocks start on a byte boundary).
    void AlignToByte() {
        buffer_ = 0;
        available_ = 0;
    }
    bool Byte(std::uint8_t& out) {
        if (pos_ >= in_.size()) {
            failed_ = true;
            return false;
        }
        out = in_[pos_++];
        return true;
    }
    bool Failed() const noexcept { return failed_; }
    std::size_t Position() const noexcept { return pos_; }

   private:
    std::span<const std::uint8_t> in_;
    std::size_t pos_ = 0;
    std::uint32_t buffer_ = 0;
    int available_ = 0;
    bool failed_ = false;
};

constexpr int kMaxBits = 15;

// A canonical Huffman code: how many codes have each length, and the symbols ordered by code.
struct Huffman {
    std::array<std::uint16_t, kMaxBits + 1> count{};
    std::array<std::uint16_t, 288> symbol{};

    // False for an over-subscribed set of lengths. An incomplete code is allowed (a single
    // distance code is legal); decoding a missing code fails.
    bool Build(const std::uint8_t* lengths, int n) {
        count.fill(0);
        for (int i = 0; i < n; ++i) ++count[lengths[i]];
        if (count[0] == n) return true;
        int left = 1;
        for (std::size_t len = 1; len <= kMaxBits; ++len) {
            left <<= 1;
            left -= count[len];
            if (left < 0) return false;
        }
        std::array<std::uint16_t, kMaxBits + 1> offsets{};
        for (std::size_t len = 1; len < kMaxBits; ++len) {
            offsets[len + 1] = static_cast<std::uint16_t>(offsets[len] + count[len]);
        }
        for (int i = 0; i < n; ++i) {
            if (lengths[i] != 0) symbol[offsets[lengths[i]]++] = static_cast<std::uint16_t>(i);
        }
        return true;
    }

    // The next symbol, or -1 when the bits form no code.
    int Decode(Bits& bits) const {
        int code = 0;
        int first = 0;
        int index = 0;
        for (std::size_t len = 1; len <= kMaxBits; ++len) {
            code |= static_cast<int>(bits.Take(1));
            if (bits.Failed()) return -1;
            const int n = count[len];
            if (code - n < first) return symbol[static_cast<std::size_t>(index + (code - first))];
            index += n;
            first += n;
            first <<= 1;
            code <<= 1;
        }
        return -1;
    }
};

constexpr std::uint16_t kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                           15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                           67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint16_t kDistanceBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                             6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

class Inflater {
   public:
    Inflater(Bits& bits, std::string& out, std::size_t max_output)
        : bits_(bits), out_(out), max_(max_output) {}

    // Empty on success, else what went wrong.
    std::string Run() {
        for (;;) {
            const std::uint32_t last = bits_.Take(1);
            const std::uint32_t type = bits_.Take(2);
            if (bits_.Failed()) return "deflate data cut short";
            std::string error;
            if (type == 0) {
                error = Stored();
            } else if (type == 1) {
                error = Fixed();
            } else if (type == 2) {
                error = Dynamic();
            } else {
                error = "bad deflate block type";
            }
            if (!error.empty()) return error;
            if (last != 0) return {};
        }
    }

   private:
    std::string Stored() {
        bits_.AlignToByte();
        std::uint8_t b[4];
        for (auto& x : b) {
            if (!bits_.Byte(x)) return "stored block cut short";
        }
        const unsigned length = b[0] | (static_cast<unsigned>(b[1]) << 8);
        const unsigned complement = b[2] | (static_cast<unsigned>(b[3]) << 8);
        if ((length ^ 0xFFFFu) != complement) return "bad stored block length";
        for (unsigned i = 0; i < length; ++i) {
            std::uint8_t x;
            if (!bits_.Byte(x)) return "stored block cut short";
            if (out_.size() >= max_) return "output too large";
            out_.push_back(static_cast<char>(x));
        }
        return {};
    }

    std::string Fixed() {
        std::uint8_t lengths[288 + 30];
        int i = 0;
        for (; i < 144; ++i) lengths[i] = 8;
        for (; i < 256; ++i) lengths[i] = 9;
        for (; i < 280; ++i) lengths[i] = 7;
        for (; i < 288; ++i) lengths[i] = 8;
        for (int d = 0; d < 30; ++d) lengths[288 + d] = 5;
        Huffman literal;
        Huffman distance;
        literal.Build(lengths, 288);
        distance.Build(lengths + 288, 30);
        return Codes(literal, distance);
    }

    std::string Dynamic() {
        const int nlen = static_cast<int>(bits_.Take(5)) + 257;
        const int ndist = static_cast<int>(bits_.Take(5)) + 1;
        const int ncode = static_cast<int>(bits_.Take(4)) + 4;
        if (bits_.Failed()) return "deflate data cut short";
        if (nlen > 286 || ndist > 30) return "bad code counts";
        static constexpr std::uint8_t kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                    11, 4,  12, 3, 13, 2, 14, 1, 15};
        std::uint8_t lengths[320] = {};
        for (int i = 0; i < ncode; ++i)
            lengths[kOrder[i]] = static_cast<std::uint8_t>(bits_.Take(3));
        if (bits_.Failed()) return "deflate data cut short";
        Huffman code_lengths;
        if (!code_lengths.Build(lengths, 19)) return "bad code-length code";
        int index = 0;
        while (index < nlen + ndist) {
            int symbol = code_lengths.Decode(bits_);
            if (symbol < 0) return "bad code-length symbol";
            if (symbol < 16) {
                lengths[index++] = static_cast<std::uint8_t>(symbol);
                continue;
            }
            std::uint8_t value = 0;
            int repeat;
            if (symbol == 16) {
                if (index == 0) return "repeat with no previous length";
                value = lengths[index - 1];
                repeat = 3 + static_cast<int>(bits_.Take(2));
            } else if (symbol == 17) {
                repeat = 3 + static_cast<int>(bits_.Take(3));
            } else {
                repeat = 11 + static_cast<int>(bits_.Take(7));
            }
            if (bits_.Failed()) return "deflate data cut short";
            if (index + repeat > nlen + ndist) return "too many lengths";
            while (repeat-- > 0) lengths[index++] = value;
        }
        if (lengths[256] == 0) return "no end-of-block code";
        Huffman literal;
        Huffman distance;
        if (!literal.Build(lengths, nlen)) return "bad literal/length code";
        if (!distance.Build(lengths + nlen, ndist)) return "bad distance code";
        return Codes(literal, distance);
    }

    std::string Codes(const Huffman& literal, const Huffman& distance) {
        for (;;) {
            int symbol = literal.Decode(bits_);
            if (symbol < 0) return "bad literal/length symbol";
            if (symbol < 256) {
                if (out_.size() >= max_) return "output too large";
                out_.push_back(static_cast<char>(symbol));
                continue;
            }
            if (symbol == 256) return {};
            symbol -= 257;
            if (symbol >= 29) return "bad length symbol";
            const std::size_t length = kLengthBase[symbol] + bits_.Take(kLengthExtra[symbol]);
            const int d = distance.Decode(bits_);
            if (d < 0 || d >= 30) return "bad distance symbol";
            const std::size_t back = kDistanceBase[d] + bits_.Take(kDistanceExtra[d]);
            if (bits_.Failed()) return "deflate data cut short";
            if (back > out_.size()) return "distance before the start";
            if (out_.size() + length > max_) return "output too large";
            const std::size_t from = out_.size() - back;
            for (std::size_t k = 0; k < length; ++k) out_.push_back(out_[from + k]);
        }
    }

    Bits& bits_;
    std::string& out_;
    std::size_t max_;
};

std::uint32_t ReadLe32(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

}  // namespace

std::uint32_t Crc32(std::span<const std::uint8_t> bytes) noexcept {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::uint8_t b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

GunzipResult Gunzip(std::span<const std::uint8_t> input, std::size_t max_output) {
    GunzipResult result;
    auto fail = [&](const char* why) {
        result.error = why;
        result.data.clear();
        return result;
    };
    // Header: ID1 ID2 CM FLG MTIME(4) XFL OS, then the optional fields FLG announces.
    if (input.size() < 18) return fail("too short for a gzip member");
    if (input[0] != 0x1F || input[1] != 0x8B) return fail("not a gzip stream");
    if (input[2] != 8) return fail("not deflate-compressed");
    const std::uint8_t flags = input[3];
    if ((flags & 0xE0) != 0) return fail("reserved header flags set");
    std::size_t pos = 10;
    if ((flags & 0x04) != 0) {  // FEXTRA
        if (pos + 2 > input.size()) return fail("header cut short");
        pos += 2 + (input[pos] | (static_cast<std::size_t>(input[pos + 1]) << 8));
    }
    auto zero_terminated = [&](std::string* into) {
        while (pos < input.size() && input[pos] != 0) {
            if (into != nullptr) into->push_back(static_cast<char>(input[pos]));
            ++pos;
        }
        ++pos;
    };
    if ((flags & 0x08) != 0) zero_terminated(&result.file_name);  // FNAME
    if ((flags & 0x10) != 0) zero_terminated(nullptr);            // FCOMMENT
    if ((flags & 0x02) != 0) pos += 2;                            // FHCRC
    if (pos > input.size()) return fail("header cut short");

    Bits bits(input.subspan(pos));
    const std::string error = Inflater(bits, result.data, max_output).Run();
    if (!error.empty()) return fail(error.c_str());
    const std::size_t trailer = pos + bits.Position();
    if (trailer + 8 > input.size()) return fail("trailer missing");
    const auto* data = reinterpret_cast<const std::uint8_t*>(result.data.data());
    if (ReadLe32(input, trailer) != Crc32({data, result.data.size()})) {
        return fail("CRC-32 mismatch");
    }
    if (ReadLe32(input, trailer + 4) != static_cast<std::uint32_t>(result.data.size())) {
        return fail("length mismatch");
    }
    result.ok = true;
    return result;
}

}  // namespace zol::hostsim
