// The Windows wall clock against the system's own local time and zone bias. CTest runs this suite
// in a zone 5 h 45 min ahead of UTC (TZ under Wine), so an offset with the wrong sign, unit or
// rounding cannot pass for the 0 of a machine kept on UTC.
#include "platform/local_clock.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstdlib>

namespace zol::platform {
namespace {

// The offset of local time from UTC as the zone's bias and current state give it.
std::int64_t ZoneOffsetMs() {
    TIME_ZONE_INFORMATION zone;
    const DWORD state = GetTimeZoneInformation(&zone);
    LONG bias = zone.Bias;
    if (state == TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
    if (state == TIME_ZONE_ID_STANDARD) bias += zone.StandardBias;
    return -static_cast<std::int64_t>(bias) * 60000;
}

std::int64_t SystemLocalMs() {
    SYSTEMTIME local;
    GetLocalTime(&local);
    FILETIME as_file;
    EXPECT_TRUE(SystemTimeToFileTime(&local, &as_file));
    const auto intervals = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(as_file.dwHighDateTime) << 32) | as_file.dwLowDateTime);
    return (intervals - 116444736000000000LL) / 10000;
}

TEST(Win32LocalClock, LocalTimeAndOffsetAgreeWithTheSystemsZone) {
    const LocalClock& clock = SystemLocalClock();
    const std::int64_t offset_before = ZoneOffsetMs();
    const std::int64_t system_local = SystemLocalMs();
    const LocalTimeReading reading = clock.ReadLocal();
    if (ZoneOffsetMs() != offset_before) GTEST_SKIP() << "the zone's offset changed meanwhile";
    EXPECT_EQ(reading.utc_offset_ms, offset_before);
    // Two readings of a running clock lie far closer than any two zones' offsets do.
    EXPECT_LT(std::llabs(reading.local_ms - system_local), 60000);
    // The separate readings use the same offset.
    EXPECT_EQ(clock.UtcOffsetMs(), reading.utc_offset_ms);
    EXPECT_LT(std::llabs(clock.NowLocalMs() - reading.local_ms), 60000);
}

}  // namespace
}  // namespace zol::platform
