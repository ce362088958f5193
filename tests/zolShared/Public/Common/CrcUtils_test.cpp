#include "zolShared/Public/Common/CrcUtils.h"

#include <gtest/gtest.h>

#include <random>
#include <string_view>
#include <vector>

namespace zol::common {
namespace {

std::span<const std::uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Published check values over "123456789" (the CRC catalogue's "check" column, with the byte
// swap applied where the entry swaps its result), typed in separately from the catalogue rows.
struct CheckVector {
    std::string_view name;
    std::uint32_t check;
};
constexpr CheckVector kPublished[] = {
    {"crc8-sum", 0xDD},
    {"crc8-xor", 0x31},
    {"crc8", 0xF4},
    {"crc8-darc", 0x15},
    {"crc8-i-code", 0x7E},
    {"crc8-itu", 0xA1},
    {"crc8-maxim", 0xA1},
    {"crc8-maxim-ff", 0xF7},
    {"crc8-rohc", 0xD0},
    {"crc8-wcdma", 0x25},
    {"crc16-sum", 0x01DD},
    {"crc16", 0xBB3D},
    {"crc16-buypass", 0xFEE8},
    {"crc16-dds-110", 0x9ECF},
    {"crc16-dect", 0x007E},
    {"crc16-dnp", 0x82EA},
    {"crc16-en-13757", 0xC2B7},
    {"crc16-genibus", 0xD64E},
    {"crc16-maxim", 0x44C2},
    {"crc16-mcrf4xx", 0x6F91},
    {"crc16-riello", 0x63D0},
    {"crc16-t10-dif", 0xD0DB},
    {"crc16-teledisk", 0x0FB3},
    {"crc16-usb", 0xB4C8},
    {"crc16-ccitt-1D0F", 0xE5CC},
    {"crc16-ccitt-FFFF", 0x29B1},
    {"x25", 0x906E},
    {"xmodem", 0x31C3},
    {"modbus", 0x4B37},
    {"kermit", 0x8921},
    {"kermit-FFFF", 0x916F},
    {"crc24", 0x21CF02},
    {"crc24-flexray-a", 0x7979BD},
    {"crc24-flexray-b", 0x1F23B8},
    {"crc32", 0xCBF43926},
    {"crc32-bzip2", 0xFC891918},
    {"crc32c", 0xE3069283},
    {"crc32d", 0x87315576},
    {"crc32-mpeg", 0x0376E6E7},
    {"posix", 0x765E7680},
    {"crc32q", 0x3010BF7F},
    {"jamcrc", 0x340BC6D9},
    {"xfer", 0xBD0BE338},
    {"crc32a", 0x340BC6D9},
};
static_assert(std::size(kPublished) == kCrcModelCount);

TEST(CrcUtils, EveryModelMatchesItsPublishedCheckValue) {
    for (std::size_t i = 0; i < kCrcModelCount; ++i) {
        SCOPED_TRACE(std::string(kPublished[i].name));
        EXPECT_EQ(CrcModels[i].Name, kPublished[i].name) << "catalogue order";
        EXPECT_EQ(CrcCompute(i, Bytes(kCrcCheckInput)), kPublished[i].check);
        if (!IsSimpleChecksum(i)) {
            EXPECT_EQ(CrcModels[i].Check, kPublished[i].check) << "stored check value";
        }
    }
}

TEST(CrcUtils, EmptyInputYieldsTheStoredInitialValue) {
    const struct {
        std::string_view name;
        std::uint32_t expected;
    } cases[] = {{"xmodem", 0},
                 {"crc32", 0},
                 {"jamcrc", 0xFFFFFFFF},
                 {"modbus", 0xFFFF},
                 {"kermit-FFFF", 0xFFFF},
                 {"crc24", 0xB704CE},
                 {"crc8-itu", 0x55},
                 {"crc16-riello", 0x554D},
                 {"kermit", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name));
        const auto model = FindCrcModel(c.name);
        ASSERT_TRUE(model.has_value());
        EXPECT_EQ(CrcCompute(*model, {}), c.expected);
    }
}

TEST(CrcUtils, AppendWritesEachModelsByteOrder) {
    const struct {
        std::size_t model;
        std::vector<std::uint8_t> appended;
    } cases[] = {
        {kCrc8Sum, {0xDD}},
        {kCrc8Xor, {0x31}},
        {kCrc16Sum, {0x01, 0xDD}},       // high byte first
        {kCrcXmodem, {0xC3, 0x31}},      // table models: least significant first
        {34, {0x26, 0x39, 0xF4, 0xCB}},  // crc32
        {31, {0x02, 0xCF, 0x21}},        // crc24
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(CrcModels[c.model].Name));
        std::vector<std::uint8_t> out{0xAA};
        CrcCompute(c.model, Bytes(kCrcCheckInput), out);
        EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + 1, out.end()), c.appended);
        EXPECT_EQ(out.front(), 0xAA);
    }
}

TEST(CrcUtils, UnknownModelsYieldAllOnesAndAppendNothing) {
    std::vector<std::uint8_t> out;
    EXPECT_EQ(CrcCompute(kCrcModelCount, Bytes("1"), out), 0xFFFFFFFFu);
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(FindCrcModel("crc-64").has_value());
    EXPECT_EQ(FindCrcModel("xmodem"), kCrcXmodem);
}

// Bit-at-a-time CRC straight from the model's parameters: the slow, obviously right reference.
std::uint32_t BitwiseCrc(const TCRCDesc& d, std::span<const std::uint8_t> data) {
    const unsigned bits = d.Width * 8u;
    const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
    std::uint64_t r = d.XorOut != 0 ? (d.Init ^ d.XorOut) : d.Init;
    if (d.Reflected) {
        std::uint64_t poly = d.Poly;
        if (d.PolyNormal) {
            poly = 0;
            for (unsigned i = 0; i < bits; ++i) poly |= ((d.Poly >> i) & 1u) << (bits - 1 - i);
        }
        for (std::uint8_t b : data) {
            r ^= b;
            for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ poly : r >> 1;
        }
    } else {
        for (std::uint8_t b : data) {
            for (int k = 7; k >= 0; --k) {
                const bool top = ((r >> (bits - 1)) & 1) != (((b >> k) & 1) != 0);
                r = ((r << 1) & mask) ^ (top ? d.Poly : 0);
            }
        }
    }
    r &= mask;
    r ^= d.XorOut;
    if (d.SwapResult) {
        std::uint64_t s = 0;
        for (unsigned i = 0; i < d.Width; ++i) s = (s << 8) | ((r >> (8 * i)) & 0xFF);
        r = s;
    }
    return static_cast<std::uint32_t>(r);
}

TEST(CrcUtils, TableModelsAgreeWithABitwiseReferenceOnRandomBlocks) {
    std::mt19937 rng(7);
    for (std::size_t length : {1u, 2u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 300u}) {
        std::vector<std::uint8_t> data(length);
        for (auto& b : data) b = static_cast<std::uint8_t>(rng());
        for (std::size_t m = 0; m < kCrcModelCount; ++m) {
            if (IsSimpleChecksum(m)) continue;
            SCOPED_TRACE(std::string(CrcModels[m].Name) + " length " + std::to_string(length));
            EXPECT_EQ(CrcCompute(m, data), BitwiseCrc(CrcModels[m], data));
        }
    }
}

TEST(CrcUtils, SiblingModelsAgreeOnEveryInput) {
    std::mt19937 rng(11);
    for (int round = 0; round < 50; ++round) {
        std::vector<std::uint8_t> data(rng() % 64);
        for (auto& b : data) b = static_cast<std::uint8_t>(rng());
        EXPECT_EQ(CrcCompute(41, data), CrcCompute(43, data));  // jamcrc, crc32a
        const std::uint32_t mcrf = CrcCompute(19, data);
        const std::uint32_t swapped = ((mcrf & 0xFF) << 8) | (mcrf >> 8);
        EXPECT_EQ(CrcCompute(30, data), swapped);  // kermit-FFFF is mcrf4xx byte-swapped
    }
}

TEST(CrcUtils, KmpCrcMatchesTheFrameExamples) {
    const struct {
        std::vector<std::uint8_t> body;
        std::uint16_t crc;
    } cases[] = {
        {{0x3F, 0x10, 0x01, 0x00, 0x3C}, 0xB25F},
        {{0x3F, 0x01}, 0x058A},
        {{0x3F, 0x02}, 0x35E9},
        {{0x4C, 0x01}, 0x5880},
        {{0x40, 0x01}, 0x1DED},
    };
    for (const auto& c : cases) EXPECT_EQ(KmpCrc(c.body), c.crc);
    EXPECT_EQ(KmpCrc(Bytes(kCrcCheckInput)), 0x31C3);
}

}  // namespace
}  // namespace zol::common
