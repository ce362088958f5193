// The Windows wall clock in local time.
#include <windows.h>

#include "platform/local_clock.h"

namespace zol::platform {

namespace {
// 100-ns intervals between 1601-01-01 (the FILETIME origin) and 1970-01-01.
constexpr std::int64_t kFileTimeTo1970 = 116444736000000000LL;

class WindowsLocalClock final : public LocalClock {
   public:
    std::int64_t NowLocalMs() const noexcept override {
        SYSTEMTIME local;
        GetLocalTime(&local);
        FILETIME as_file_time;
        if (!SystemTimeToFileTime(&local, &as_file_time)) return 0;
        std::int64_t intervals = (static_cast<std::int64_t>(as_file_time.dwHighDateTime) << 32) |
                                 static_cast<std::int64_t>(as_file_time.dwLowDateTime);
        return (intervals - kFileTimeTo1970) / 10000;
    }
    std::int64_t UtcOffsetMs() const noexcept override {
        TIME_ZONE_INFORMATION zone;
        const DWORD state = GetTimeZoneInformation(&zone);
        if (state == TIME_ZONE_ID_INVALID) return 0;
        LONG bias = zone.Bias;  // minutes UTC is ahead of local time
        if (state == TIME_ZONE_ID_DAYLIGHT) {
            bias += zone.DaylightBias;
        } else if (state == TIME_ZONE_ID_STANDARD) {
            bias += zone.StandardBias;
        }
        return -static_cast<std::int64_t>(bias) * 60000;
    }
};
}  // namespace

const LocalClock& SystemLocalClock() noexcept {
    static const WindowsLocalClock clock;
    return clock;
}

}  // namespace zol::platform
