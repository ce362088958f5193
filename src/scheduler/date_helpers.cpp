#include "scheduler/date_helpers.h"

#include <cmath>

#include "platform/local_clock.h"

namespace zol::scheduler {

namespace {
// The OLE days of 0100-01-01 00:00 and of the day after 9999-12-31 (the span OLE dates cover).
constexpr double kFirstOleDay = -657434.0;
constexpr double kEndOleDay = 2958466.0;

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}
}  // namespace

DateTimeParts SplitMs(std::int64_t ms) noexcept {
    const std::int64_t days = FloorDiv(ms, kMsPerDay);
    std::int64_t in_day = ms - days * kMsPerDay;

    // Inverse of DaysFromCivil.
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t day_of_era = z - era * 146097;
    const std::int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::int64_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::int64_t mp = (5 * day_of_year + 2) / 153;
    DateTimeParts parts;
    parts.day = static_cast<int>(day_of_year - (153 * mp + 2) / 5 + 1);
    parts.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    parts.year = static_cast<int>(year_of_era + era * 400 + (parts.month <= 2 ? 1 : 0));
    parts.hour = static_cast<int>(in_day / 3'600'000);
    in_day %= 3'600'000;
    parts.minute = static_cast<int>(in_day / 60'000);
    in_day %= 60'000;
    parts.second = static_cast<int>(in_day / 1000);
    parts.millisecond = static_cast<int>(in_day % 1000);
    return parts;
}

std::int64_t JoinMs(const DateTimeParts& parts) noexcept {
    return DaysFromCivil(parts.year, parts.month, parts.day) * kMsPerDay +
           ((static_cast<std::int64_t>(parts.hour) * 60 + parts.minute) * 60 + parts.second) *
               kMsPerSecond +
           parts.millisecond;
}

std::int64_t OleToMs(double ole) noexcept {
    // The clamp works on the day number: before the OLE origin a later time of the first day
    // has a larger magnitude than the day itself.
    if (std::isnan(ole)) ole = kFirstOleDay;
    double whole = std::trunc(ole);
    if (whole < kFirstOleDay) ole = whole = kFirstOleDay;
    if (whole >= kEndOleDay) ole = whole = kEndOleDay;
    // Before 1899-12-30 the fraction is still the time of day, counted forwards.
    const double fraction = std::fabs(ole - whole);
    const auto in_day = static_cast<std::int64_t>(std::llround(fraction * kMsPerDay));
    return (static_cast<std::int64_t>(whole) - kOleDayOf1970) * kMsPerDay + in_day;
}

double MsToOle(std::int64_t ms) noexcept {
    const std::int64_t days = FloorDiv(ms, kMsPerDay);
    const std::int64_t in_day = ms - days * kMsPerDay;
    const auto ole_day = static_cast<double>(days + kOleDayOf1970);
    const double fraction = static_cast<double>(in_day) / static_cast<double>(kMsPerDay);
    return ole_day >= 0 ? ole_day + fraction : ole_day - fraction;
}

double EncodeOle(const DateTimeParts& parts) noexcept { return MsToOle(JoinMs(parts)); }

double NowOle() noexcept { return MsToOle(platform::CurrentLocalClock().NowLocalMs()); }

}  // namespace zol::scheduler
