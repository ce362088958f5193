#pragma once
// The wall clock in local time, as the scheduler sees it: milliseconds since 1970-01-01 00:00:00
// of the local calendar (the local date and time read as if they were UTC, so that daylight-saving
// shifts show up as jumps of the value). Tests swap in a fake clock for the whole process.

#include <cstdint>

namespace zol::platform {

class LocalClock {
   public:
    virtual ~LocalClock() = default;
    virtual std::int64_t NowLocalMs() const noexcept = 0;
    // How far local time is ahead of UTC now, in milliseconds (a local reading minus this is the
    // same moment in UTC). A clock that knows no time zone answers 0.
    virtual std::int64_t UtcOffsetMs() const noexcept { return 0; }
};

// The OS wall clock (implemented per platform).
const LocalClock& SystemLocalClock() noexcept;

// The clock every reader uses: the override when one is installed, else the OS clock.
const LocalClock& CurrentLocalClock() noexcept;

// Installs a process-wide replacement (nullptr restores the OS clock); meant for tests.
void OverrideLocalClock(const LocalClock* clock) noexcept;

}  // namespace zol::platform
