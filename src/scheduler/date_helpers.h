#pragma once
// Calendar arithmetic for the scheduler. Date-times are OLE dates (days since 1899-12-30, the
// fraction being the time of day, in local time); inside, the scheduler counts milliseconds on a
// linear scale from 1970-01-01 so that comparisons also hold before 1899-12-30, where OLE dates
// keep the time of day as a positive fraction of a negative day number.

#include <cstdint>

namespace zol::scheduler {

inline constexpr std::int64_t kMsPerSecond = 1000;
inline constexpr std::int64_t kMsPerDay = 86'400'000;
// Days from 1899-12-30 (OLE day 0) to 1970-01-01.
inline constexpr std::int64_t kOleDayOf1970 = 25569;

constexpr bool IsLeapYear(int year) noexcept {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Number of days of `month` (1 … 12) in `year`.
constexpr int DaysInMonth(int year, int month) noexcept {
    constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return (month == 2 && IsLeapYear(year)) ? 29 : kDays[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date.
constexpr std::int64_t DaysFromCivil(int year, int month, int day) noexcept {
    const std::int64_t y = year - (month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t year_of_era = y - era * 400;
    const std::int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

// Day of the week of a day counted from 1970-01-01: 1 = Monday … 7 = Sunday.
constexpr int IsoWeekday(std::int64_t days) noexcept {
    // 1970-01-01 was a Thursday.
    std::int64_t shifted = (days + 3) % 7;
    if (shifted < 0) shifted += 7;
    return static_cast<int>(shifted) + 1;
}

struct DateTimeParts {
    int year = 1970;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// Splits milliseconds since 1970-01-01 into calendar fields.
DateTimeParts SplitMs(std::int64_t ms) noexcept;
// Joins calendar fields (taken as given, not range-checked) into milliseconds since 1970-01-01.
std::int64_t JoinMs(const DateTimeParts& parts) noexcept;

// OLE date to milliseconds since 1970-01-01, rounded to the millisecond. Values beyond the years
// 100 … 9999 (and NaN) are clamped to that span.
std::int64_t OleToMs(double ole) noexcept;
// Milliseconds since 1970-01-01 to an OLE date.
double MsToOle(std::int64_t ms) noexcept;

// Builds an OLE date from calendar fields (taken as given).
double EncodeOle(const DateTimeParts& parts) noexcept;

// The local wall clock as an OLE date.
double NowOle() noexcept;

}  // namespace zol::scheduler
