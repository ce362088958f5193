#include "zolShared/Public/Common/CrcUtils.h"

namespace zol::common {

namespace {

using Table = std::array<std::uint32_t, 256>;

constexpr std::uint32_t MaskFor(unsigned bits) noexcept {
    return bits >= 32 ? 0xFFFFFFFFu : ((1u << bits) - 1u);
}

constexpr std::uint32_t ReverseBits(std::uint32_t value, unsigned bits) noexcept {
    std::uint32_t result = 0;
    for (unsigned i = 0; i < bits; ++i) {
        result = (result << 1) | (value & 1u);
        value >>= 1;
    }
    return result;
}

constexpr Table BuildTable(const TCRCDesc& desc) noexcept {
    Table table{};
    const unsigned bits = desc.Width * 8u;
    const std::uint32_t mask = MaskFor(bits);
    if (desc.Reflected) {
        const std::uint32_t poly = desc.PolyNormal ? ReverseBits(desc.Poly, bits) : desc.Poly;
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ poly : c >> 1;
            table[i] = c & mask;
        }
    } else {
        const std::uint32_t top = 1u << (bits - 1);
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i << (bits - 8);
            for (int k = 0; k < 8; ++k) c = (c & top) ? (c << 1) ^ desc.Poly : c << 1;
            table[i] = c & mask;
        }
    }
    return table;
}

constexpr std::array<Table, kCrcModelCount> BuildAllTables() noexcept {
    std::array<Table, kCrcModelCount> tables{};
    for (std::size_t m = 0; m < kCrcModelCount; ++m) {
        if (!IsSimpleChecksum(m)) tables[m] = BuildTable(CrcModels[m]);
    }
    return tables;
}

// Every model's table is ready before the first call, so concurrent first use needs no lock.
constexpr std::array<Table, kCrcModelCount> kTables = BuildAllTables();

// The KMP checksum runs on every received frame, so it gets slicing-by-8 tables: entry k of
// table j is the CRC of byte k followed by j zero bytes.
using Table16 = std::array<std::uint16_t, 256>;

constexpr std::array<Table16, 8> BuildXmodemSlices() noexcept {
    std::array<Table16, 8> slices{};
    for (std::size_t i = 0; i < 256; ++i) {
        slices[0][i] = static_cast<std::uint16_t>(kTables[kCrcXmodem][i]);
    }
    for (std::size_t j = 1; j < 8; ++j) {
        for (std::size_t i = 0; i < 256; ++i) {
            const std::uint16_t prev = slices[j - 1][i];
            slices[j][i] = static_cast<std::uint16_t>((prev << 8) ^ slices[0][prev >> 8]);
        }
    }
    return slices;
}

constexpr std::array<Table16, 8> kXmodemSlices = BuildXmodemSlices();

std::uint16_t XmodemUpdate(std::uint16_t crc, const std::uint8_t* p, std::size_t n) noexcept {
    const auto& t = kXmodemSlices;
    while (n >= 8) {
        const unsigned b0 = p[0] ^ (crc >> 8);
        const unsigned b1 = p[1] ^ (crc & 0xFFu);
        crc = static_cast<std::uint16_t>(t[7][b0] ^ t[6][b1] ^ t[5][p[2]] ^ t[4][p[3]] ^
                                         t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]]);
        p += 8;
        n -= 8;
    }
    while (n-- > 0) {
        crc = static_cast<std::uint16_t>((crc << 8) ^ t[0][((crc >> 8) ^ *p++) & 0xFFu]);
    }
    return crc;
}

std::uint32_t TableCrc(std::size_t model, std::span<const std::uint8_t> data) noexcept {
    const TCRCDesc& desc = CrcModels[model];
    const Table& table = kTables[model];
    const unsigned bits = desc.Width * 8u;
    const std::uint32_t mask = MaskFor(bits);
    std::uint32_t r = desc.XorOut != 0 ? desc.Init ^ desc.XorOut : desc.Init;

    if (desc.Width == 1) {
        for (std::uint8_t b : data) r = table[(r ^ b) & 0xFFu] & 0xFFu;
    } else if (desc.Reflected) {
        for (std::uint8_t b : data) r = (table[(r ^ b) & 0xFFu] ^ (r >> 8)) & mask;
    } else if (model == kCrcXmodem) {
        r = XmodemUpdate(static_cast<std::uint16_t>(r), data.data(), data.size());
    } else {
        const unsigned shift = bits - 8;
        for (std::uint8_t b : data) {
            r = (table[((r >> shift) ^ b) & 0xFFu] ^ ((r << 8) & mask & ~0xFFu)) & mask;
        }
    }

    r &= mask;
    if (desc.XorOut != 0) r ^= desc.XorOut;
    if (desc.SwapResult) {
        std::uint32_t swapped = 0;
        for (unsigned i = 0; i < desc.Width; ++i)
            swapped = (swapped << 8) | ((r >> (8 * i)) & 0xFFu);
        r = swapped;
    }
    return r;
}

}  // namespace

std::optional<std::size_t> FindCrcModel(std::string_view name) noexcept {
    for (std::size_t i = 0; i < kCrcModelCount; ++i) {
        if (CrcModels[i].Name == name) return i;
    }
    return std::nullopt;
}

std::uint32_t CrcCompute(std::size_t model, std::span<const std::uint8_t> data) noexcept {
    switch (model) {
        case kCrc8Sum: {
            std::uint8_t sum = 0;
            for (std::uint8_t b : data) sum = static_cast<std::uint8_t>(sum + b);
            return sum;
        }
        case kCrc8Xor: {
            std::uint8_t x = 0;
            for (std::uint8_t b : data) x ^= b;
            return x;
        }
        case kCrc16Sum: {
            std::uint16_t sum = 0;
            for (std::uint8_t b : data) sum = static_cast<std::uint16_t>(sum + b);
            return sum;
        }
        default:
            break;
    }
    if (model >= kCrcModelCount) return 0xFFFFFFFFu;
    return TableCrc(model, data);
}

std::uint32_t CrcCompute(std::size_t model, std::span<const std::uint8_t> data,
                         std::vector<std::uint8_t>& out) {
    const std::uint32_t crc = CrcCompute(model, data);
    if (model >= kCrcModelCount) return crc;
    if (model == kCrc8Sum || model == kCrc8Xor) {
        out.push_back(static_cast<std::uint8_t>(crc));
    } else if (model == kCrc16Sum) {
        out.push_back(static_cast<std::uint8_t>(crc >> 8));
        out.push_back(static_cast<std::uint8_t>(crc));
    } else {
        for (unsigned i = 0; i < CrcModels[model].Width; ++i) {
            out.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
        }
    }
    return crc;
}

std::uint16_t KmpCrc(std::span<const std::uint8_t> data) noexcept {
    return XmodemUpdate(0, data.data(), data.size());
}

}  // namespace zol::common
