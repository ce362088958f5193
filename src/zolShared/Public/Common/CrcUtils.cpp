#include "zolShared/Public/Common/CrcUtils.h"

#include <utility>

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

// The polynomial in the form the register uses: bit-reversed for a reflected model given in
// normal form.
constexpr std::uint32_t WorkingPoly(const TCRCDesc& desc) noexcept {
    return desc.Reflected && desc.PolyNormal ? ReverseBits(desc.Poly, desc.Width * 8u) : desc.Poly;
}

// Every table-driven model runs slicing-by-8: entry i of slice j is the register after byte i
// followed by j zero bytes, so eight bytes cost eight lookups and no dependent shifts. Registers
// of MSB-first models are kept at the top of 32 bits, so one loop per direction serves all
// widths.
using Slices = std::array<Table, 8>;

constexpr Slices BuildSlices(const TCRCDesc& desc) noexcept {
    Slices slices{};
    const unsigned bits = desc.Width * 8u;
    const std::uint32_t poly = WorkingPoly(desc);
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = 0;
        if (desc.Reflected) {
            c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ poly : c >> 1;
        } else {
            const std::uint32_t top = 1u << (bits - 1);
            c = i << (bits - 8);
            for (int k = 0; k < 8; ++k) c = (c & top) ? (c << 1) ^ poly : c << 1;
            c = (c & MaskFor(bits)) << (32 - bits);
        }
        slices[0][i] = c & (desc.Reflected ? MaskFor(bits) : 0xFFFFFFFFu);
    }
    for (std::size_t j = 1; j < 8; ++j) {
        for (std::size_t i = 0; i < 256; ++i) {
            const std::uint32_t prev = slices[j - 1][i];
            slices[j][i] = desc.Reflected ? (prev >> 8) ^ slices[0][prev & 0xFFu]
                                          : (prev << 8) ^ slices[0][prev >> 24];
        }
    }
    return slices;
}

// Models with the same width, direction and polynomial share one set of tables.
struct TableSetIndex {
    std::array<std::uint8_t, kCrcModelCount> set_of_model{};
    std::array<std::uint8_t, kCrcModelCount> first_model_of_set{};
    std::size_t count = 0;
};

constexpr TableSetIndex IndexTableSets() noexcept {
    TableSetIndex index;
    std::array<std::uint32_t, kCrcModelCount> polys{};
    for (std::size_t m = 0; m < kCrcModelCount; ++m) polys[m] = WorkingPoly(CrcModels[m]);
    for (std::size_t m = 0; m < kCrcModelCount; ++m) {
        if (IsSimpleChecksum(m)) continue;
        std::size_t first = m;
        for (std::size_t k = 0; k < m && first == m; ++k) {
            if (!IsSimpleChecksum(k) && CrcModels[k].Width == CrcModels[m].Width &&
                CrcModels[k].Reflected == CrcModels[m].Reflected && polys[k] == polys[m]) {
                first = k;
            }
        }
        if (first == m) {
            index.first_model_of_set[index.count] = static_cast<std::uint8_t>(m);
            index.set_of_model[m] = static_cast<std::uint8_t>(index.count++);
        } else {
            index.set_of_model[m] = index.set_of_model[first];
        }
    }
    return index;
}

constexpr TableSetIndex kTableSets = IndexTableSets();

// One constant per set keeps each compile-time evaluation small enough for every compiler's
// step limit. All tables are ready before the first call, so concurrent first use needs no lock.
template <std::size_t Set>
constexpr Slices kSlicesOfSet = BuildSlices(CrcModels[kTableSets.first_model_of_set[Set]]);

template <std::size_t... Sets>
constexpr std::array<const Slices*, sizeof...(Sets)> CollectSlices(
    std::index_sequence<Sets...>) noexcept {
    return {&kSlicesOfSet<Sets>...};
}

constexpr std::array<const Slices*, kTableSets.count> kSlices =
    CollectSlices(std::make_index_sequence<kTableSets.count>());

// Input byte k of a block of eight, combined with the register byte it meets. The register's
// bytes are numbered from the end that is shifted out first (the low end when reflected, the
// top of 32 bits otherwise); a register of fewer than four bytes leaves later input bytes alone,
// which keeps them off the chain of dependent lookups.
template <bool Reflected, unsigned RegisterBytes>
constexpr unsigned Meet(const std::uint8_t* p, std::uint32_t r, unsigned k) noexcept {
    if (k >= RegisterBytes) return p[k];
    const unsigned shift = Reflected ? 8 * k : 24 - 8 * k;
    return p[k] ^ ((r >> shift) & 0xFFu);
}

// Runs `n` bytes through the register: eight at a time, then the rest one by one.
template <bool Reflected, unsigned RegisterBytes>
std::uint32_t Update(const Slices& t, std::uint32_t r, const std::uint8_t* p,
                     std::size_t n) noexcept {
    for (; n >= 8; p += 8, n -= 8) {
        const auto m = [p, r](unsigned k) { return Meet<Reflected, RegisterBytes>(p, r, k); };
        r = t[7][m(0)] ^ t[6][m(1)] ^ t[5][m(2)] ^ t[4][m(3)] ^ t[3][m(4)] ^ t[2][m(5)] ^
            t[1][m(6)] ^ t[0][m(7)];
    }
    for (; n > 0; ++p, --n) {
        r = Reflected ? t[0][(r ^ *p) & 0xFFu] ^ (r >> 8) : t[0][(r >> 24) ^ *p] ^ (r << 8);
    }
    return r;
}

template <unsigned Bytes>
std::uint32_t UpdateModel(bool reflected, const Slices& t, std::uint32_t r,
                          std::span<const std::uint8_t> data) noexcept {
    if (reflected) return Update<true, Bytes>(t, r, data.data(), data.size());
    constexpr unsigned kPad = 32 - 8 * Bytes;  // MSB-first registers sit at the top
    return Update<false, Bytes>(t, r << kPad, data.data(), data.size()) >> kPad;
}

// The register update for each width in bytes.
using UpdateFunction = std::uint32_t (*)(bool, const Slices&, std::uint32_t,
                                         std::span<const std::uint8_t>) noexcept;
constexpr std::array<UpdateFunction, 5> kUpdateByWidth{nullptr, &UpdateModel<1>, &UpdateModel<2>,
                                                       &UpdateModel<3>, &UpdateModel<4>};

std::uint32_t TableCrc(std::size_t model, std::span<const std::uint8_t> data) noexcept {
    const TCRCDesc& desc = CrcModels[model];
    const Slices& slices = *kSlices[kTableSets.set_of_model[model]];
    const unsigned bits = desc.Width * 8u;
    std::uint32_t r = desc.XorOut != 0 ? desc.Init ^ desc.XorOut : desc.Init;
    r &= MaskFor(bits);
    if (desc.Width < 1 || desc.Width > 4) return 0xFFFFFFFFu;
    r = kUpdateByWidth[desc.Width](desc.Reflected, slices, r, data);
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
    // Every received frame is checked, and frames are short: straight to the xmodem tables
    // (initial value 0, no final XOR), without the catalogue lookup.
    static_assert(CrcModels[kCrcXmodem].Init == 0 && CrcModels[kCrcXmodem].XorOut == 0);
    const Slices& slices = *kSlices[kTableSets.set_of_model[kCrcXmodem]];
    return static_cast<std::uint16_t>(UpdateModel<2>(false, slices, 0, data));
}

}  // namespace zol::common
