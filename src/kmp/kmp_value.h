#pragma once
// Register blocks of a KMP register response and the numbers they carry. A block is: register id
// (2 bytes, high first), unit code (1), value length n (1), sign-and-exponent byte (1), and n
// value bytes holding the mantissa, high byte first.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

namespace zol::kmp {

// A calendar date decoded from a date register; time of day 00:00.
struct KmpDate {
    int year;
    int month;
    int day;
    friend bool operator==(const KmpDate&, const KmpDate&) = default;
    // The date as a date-time value: days since 30 December 1899.
    double ToOleDate() const noexcept;
};

// A time of day decoded from a clock register.
struct KmpTime {
    int hour;
    int minute;
    int second;
    friend bool operator==(const KmpTime&, const KmpTime&) = default;
    // The time as a date-time value on day zero: the fraction of a day.
    double ToOleDate() const noexcept;
};

// A decoded register value. Plain numbers keep the narrowest exact type: unsigned 32-bit for a
// positive integer, signed 32-bit for a negative one, signed 64-bit for a scaled integer (or for
// an integer too wide for 32 bits), double for a fractional or very large value.
// A date or clock register as people read it: "YYYY-MM-DD" and "HH:MM:SS". The tools write
// these registers this way wherever they show them.
std::string DateText(const KmpDate& date);
std::string TimeText(const KmpTime& time);

using RegisterValue =
    std::variant<std::uint32_t, std::int32_t, std::int64_t, double, KmpDate, KmpTime>;

struct RegisterBlock {
    std::uint16_t id = 0;
    std::uint8_t unit = 0;
    std::uint8_t sign_exponent = 0;
    std::span<const std::uint8_t> value;
};

inline constexpr std::size_t kRegisterBlockHeaderSize = 5;

// Reads one block from the front of `data` and advances past it. Returns nothing, leaving `data`
// as it was, when fewer than a header's bytes remain or the value runs past the end.
std::optional<RegisterBlock> ReadRegisterBlock(std::span<const std::uint8_t>& data) noexcept;

// The mantissa as the meter's own 32-bit register: of more than 4 value bytes only the last 4.
std::uint32_t RawMantissa(std::span<const std::uint8_t> value) noexcept;

// The number a block's value bytes and sign-and-exponent byte stand for. The exponent is the low
// six bits, negative when bit 0x40 is set; bit 0x80 makes the value negative. Exponent 0 gives an
// integer, 1 to 7 a scaled 64-bit integer, anything else a double. Mantissas longer than 4 bytes
// are kept whole: up to 8 bytes exactly, longer ones as a double.
RegisterValue DecodeRegisterValue(std::span<const std::uint8_t> value,
                                  std::uint8_t sign_exponent) noexcept;

}  // namespace zol::kmp
