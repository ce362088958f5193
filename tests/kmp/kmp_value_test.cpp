#include "kmp/kmp_value.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "kmp/test_hex.h"

namespace zol::kmp {
namespace {

using test::Hex;

TEST(KmpValue, SignAndExponentSelectTheValueType) {
    const struct {
        const char* name;
        std::uint8_t sign_exponent;
        const char* value;
        RegisterValue expected;
    } cases[] = {
        {"plain", 0x00, "00 00 04 D2", std::uint32_t{1234}},
        {"negative integer", 0x80, "00 00 04 D2", std::int32_t{-1234}},
        {"scaled integer", 0x02, "00 00 04 D2", std::int64_t{123400}},
        {"negative scaled", 0x82, "00 00 04 D2", std::int64_t{-123400}},
        {"largest integer exponent", 0x07, "00 00 04 D2", std::int64_t{12340000000}},
        {"fraction", 0x42, "00 00 04 D2", 12.34},
        {"negative fraction", 0xC2, "00 00 04 D2", -12.34},
        {"exponent above seven", 0x08, "00 00 04 D2", 123400000000.0},
        {"one byte", 0x41, "FF", 25.5},
        {"two bytes", 0x00, "01 00", std::uint32_t{256}},
        {"no value bytes", 0x00, "", std::uint32_t{0}},
        {"largest 32-bit", 0x00, "FF FF FF FF", std::uint32_t{0xFFFFFFFF}},
        {"-2^31 stays 32-bit", 0x80, "80 00 00 00", std::numeric_limits<std::int32_t>::min()},
        // -m does not fit 32 bits: the true value, not a wrapped one.
        {"below -2^31", 0x80, "80 00 00 01", std::int64_t{-2147483649LL}},
        {"largest 32-bit scaled", 0x07, "FF FF FF FF", std::int64_t{42949672950000000LL}},
        // Mantissas longer than 4 bytes are kept whole.
        {"five bytes", 0x00, "01 00 00 00 00", std::int64_t{4294967296LL}},
        {"eight bytes scaled", 0x41, "00 00 00 02 54 0B E3 FF", 999999999.9},
        {"eight bytes beyond int64", 0x00, "FF FF FF FF FF FF FF FF", 18446744073709551615.0},
        {"scaled past int64", 0x07, "7F FF FF FF FF FF FF FF", 9.223372036854775807e25},
        {"nine bytes", 0x00, "01 00 00 00 00 00 00 00 00", 18446744073709551616.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto bytes = Hex(c.value);
        const RegisterValue value = DecodeRegisterValue(bytes, c.sign_exponent);
        ASSERT_EQ(value.index(), c.expected.index());
        if (const auto* d = std::get_if<double>(&value)) {
            EXPECT_DOUBLE_EQ(*d, std::get<double>(c.expected));
        } else {
            EXPECT_EQ(value, c.expected);
        }
    }
}

TEST(KmpValue, RawMantissaKeepsTheLastFourBytes) {
    EXPECT_EQ(RawMantissa(Hex("00 03 AA 65")), 240229u);
    EXPECT_EQ(RawMantissa(Hex("AB 00 03 AA 65")), 240229u);
    EXPECT_EQ(RawMantissa(Hex("")), 0u);
}

TEST(KmpValue, BlockReaderWalksBlocksAndRefusesTruncatedOnes) {
    const auto data = Hex("00 3C 02 04 00 00 00 04 D2  00 44 28 01 42 07  03 EB 30 04 00");
    std::span<const std::uint8_t> cursor(data);

    const auto first = ReadRegisterBlock(cursor);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->id, 0x003C);
    EXPECT_EQ(first->unit, 2);
    EXPECT_EQ(first->sign_exponent, 0);
    EXPECT_EQ(first->value.size(), 4u);

    const auto second = ReadRegisterBlock(cursor);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->id, 0x0044);
    EXPECT_EQ(second->unit, 0x28);
    EXPECT_EQ(second->sign_exponent, 0x42);
    ASSERT_EQ(second->value.size(), 1u);
    EXPECT_EQ(second->value[0], 0x07);

    // The third announces 4 value bytes but only 1 follows.
    EXPECT_FALSE(ReadRegisterBlock(cursor).has_value());
    EXPECT_EQ(cursor.size(), 5u);
    std::span<const std::uint8_t> header_only = cursor.first(4);
    EXPECT_FALSE(ReadRegisterBlock(header_only).has_value());
    EXPECT_EQ(header_only.size(), 4u);
}

}  // namespace
}  // namespace zol::kmp
