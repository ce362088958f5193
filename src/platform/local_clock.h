#pragma once
// The wall clock in local time, as the scheduler sees it: milliseconds since 1970-01-01 00:00:00
// of the local calendar (the local date and time read as if they were UTC, so that daylight-saving
// shifts show up as jumps of the value). Tests swap in a fake clock for the whole process.

#include <cstdint>

namespace zol::platform {

// One reading of the local clock: the local time and the offset it was worked out with, so that
// local_ms - utc_offset_ms is the same moment in UTC.
struct LocalTimeReading {
    std::int64_t local_ms = 0;
    std::int64_t utc_offset_ms = 0;
};

class LocalClock {
   public:
    virtual ~LocalClock() = default;
    virtual std::int64_t NowLocalMs() const noexcept = 0;
    // How far local time is ahead of UTC now, in milliseconds (a local reading minus this is the
    // same moment in UTC). A clock that knows no time zone answers 0.
    virtual std::int64_t UtcOffsetMs() const noexcept { return 0; }
    // The local time and its offset from one reading: two separate calls may fall on either side
    // of a daylight-saving change.
    virtual LocalTimeReading ReadLocal() const noexcept { return {NowLocalMs(), UtcOffsetMs()}; }
};

// The OS wall clock (implemented per platform).
const LocalClock& SystemLocalClock() noexcept;

// The clock every reader uses: the override when one is installed, else the OS clock.
const LocalClock& CurrentLocalClock() noexcept;

// Installs a process-wide replacement (nullptr restores the OS clock); meant for tests.
void OverrideLocalClock(const LocalClock* clock) noexcept;

}  // namespace zol::platform
