#include "kmp/kmp_value.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <limits>

#include "zolShared/Public/Common/byte_order.h"

namespace zol::kmp {

namespace {

// Days from 1970-01-01 to a proleptic Gregorian date.
constexpr long DaysFromCivil(int year, int month, int day) noexcept {
    const long y = year - (month <= 2 ? 1 : 0);
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long mp = (month + 9) % 12;
    const long doy = (153 * mp + 2) / 5 + day - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// 1899-12-30, day zero of date-time values, counted from 1970-01-01.
constexpr long kOleEpochDays = DaysFromCivil(1899, 12, 30);

// Powers of ten that doubles hold exactly.
constexpr std::array<double, 23> kExactPowers = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                 1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

double PowerOfTen(int exponent) noexcept {
    return exponent < static_cast<int>(kExactPowers.size())
               ? kExactPowers[static_cast<std::size_t>(exponent)]
               : std::pow(10.0, exponent);
}

// m × 10^e, dividing for negative exponents so that 1234 × 10^-2 is exactly 12.34.
double Scale(double mantissa, int exponent) noexcept {
    return exponent < 0 ? mantissa / PowerOfTen(-exponent) : mantissa * PowerOfTen(exponent);
}

constexpr std::array<std::int64_t, 8> kIntPowers = {1,     10,     100,     1000,
                                                    10000, 100000, 1000000, 10000000};

}  // namespace

double KmpDate::ToOleDate() const noexcept {
    return static_cast<double>(DaysFromCivil(year, month, day) - kOleEpochDays);
}

double KmpTime::ToOleDate() const noexcept {
    return (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
}

std::string DateText(const KmpDate& date) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", date.year, date.month, date.day);
    return text;
}

std::string TimeText(const KmpTime& time) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", time.hour, time.minute, time.second);
    return text;
}

std::optional<RegisterBlock> ReadRegisterBlock(std::span<const std::uint8_t>& data) noexcept {
    if (data.size() < kRegisterBlockHeaderSize) return std::nullopt;
    const std::size_t length = data[3];
    if (kRegisterBlockHeaderSize + length > data.size()) return std::nullopt;
    RegisterBlock block;
    block.id = common::ReadBe16(data.first<2>());
    block.unit = data[2];
    block.sign_exponent = data[4];
    block.value = data.subspan(kRegisterBlockHeaderSize, length);
    data = data.subspan(kRegisterBlockHeaderSize + length);
    return block;
}

std::uint32_t RawMantissa(std::span<const std::uint8_t> value) noexcept {
    std::uint32_t m = 0;
    for (std::uint8_t b : value) m = (m << 8) | b;  // older bytes shift out of the top
    return m;
}

RegisterValue DecodeRegisterValue(std::span<const std::uint8_t> value,
                                  std::uint8_t sign_exponent) noexcept {
    int exponent = sign_exponent & 0x3F;
    if (sign_exponent & 0x40) exponent = -exponent;
    const bool negative = (sign_exponent & 0x80) != 0;

    if (value.size() > 8) {
        // Wider than any integer type: keep the magnitude as well as a double can.
        double m = 0;
        for (std::uint8_t b : value) m = m * 256.0 + b;
        const double scaled = Scale(m, exponent);
        return negative ? -scaled : scaled;
    }

    std::uint64_t m = 0;
    for (std::uint8_t b : value) m = (m << 8) | b;
    constexpr std::uint64_t kMaxInt64 = std::numeric_limits<std::int64_t>::max();

    if (exponent == 0) {
        if (!negative) {
            if (m <= std::numeric_limits<std::uint32_t>::max())
                return static_cast<std::uint32_t>(m);
            if (m <= kMaxInt64) return static_cast<std::int64_t>(m);
            return static_cast<double>(m);
        }
        // -m must fit: -2^31 still does as a 32-bit integer, anything larger moves to 64 bits.
        if (m <= 0x80000000u) return static_cast<std::int32_t>(-static_cast<std::int64_t>(m));
        if (m <= kMaxInt64) return -static_cast<std::int64_t>(m);
        return -static_cast<double>(m);
    }
    if (exponent >= 1 && exponent <= 7) {
        const std::int64_t power = kIntPowers[static_cast<std::size_t>(exponent)];
        if (m <= kMaxInt64 / static_cast<std::uint64_t>(power)) {
            const auto scaled = static_cast<std::int64_t>(m) * power;
            return negative ? -scaled : scaled;
        }
    }
    const double scaled = Scale(static_cast<double>(m), exponent);
    return negative ? -scaled : scaled;
}

}  // namespace zol::kmp
