// The Windows wall clock in local time: the system time (UTC) plus the offset of the current
// time zone. Asking Windows for the local time or the zone's bias makes some systems read the
// zone again on every call (a file check under Wine); the offset is kept per UTC minute instead,
// and one reading of UTC serves both the local time and its offset.
#include <windows.h>

#include "platform/local_clock.h"
#include "platform/utc_offset_cache.h"

namespace zol::platform {

namespace {
// 100-ns intervals between 1601-01-01 (the FILETIME origin) and 1970-01-01.
constexpr std::int64_t kFileTimeTo1970 = 116444736000000000LL;
constexpr std::int64_t kIntervalsPerMs = 10000;

std::int64_t Intervals(const FILETIME& time) noexcept {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                     time.dwLowDateTime);
}

FILETIME FileTimeOf(std::int64_t intervals) noexcept {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(intervals) & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(intervals) >> 32);
    return time;
}

// The offset of the current time zone's local time at `utc_ms`, by the zone's rules for that
// moment (standard or daylight time); 0 when Windows cannot convert it.
std::int64_t ZoneOffsetMsAt(std::int64_t utc_ms) noexcept {
    const FILETIME utc_file = FileTimeOf(utc_ms * kIntervalsPerMs + kFileTimeTo1970);
    SYSTEMTIME utc;
    SYSTEMTIME local;
    FILETIME local_file;
    if (!FileTimeToSystemTime(&utc_file, &utc) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) ||
        !SystemTimeToFileTime(&local, &local_file)) {
        return 0;
    }
    return (Intervals(local_file) - Intervals(utc_file)) / kIntervalsPerMs;
}

class WindowsLocalClock final : public LocalClock {
   public:
    std::int64_t NowLocalMs() const noexcept override { return ReadLocal().local_ms; }
    std::int64_t UtcOffsetMs() const noexcept override { return ReadLocal().utc_offset_ms; }
    LocalTimeReading ReadLocal() const noexcept override {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        const std::int64_t utc_ms = (Intervals(now) - kFileTimeTo1970) / kIntervalsPerMs;
        const std::int64_t offset = offsets_.OffsetMs(utc_ms, ZoneOffsetMsAt);
        return {utc_ms + offset, offset};
    }

   private:
    mutable UtcOffsetCache offsets_;
};
}  // namespace

const LocalClock& SystemLocalClock() noexcept {
    static const WindowsLocalClock clock;
    return clock;
}

}  // namespace zol::platform
