// Linux wall clock in local time, through the C library's time-zone rules.
#include <chrono>
#include <ctime>

#include "platform/local_clock.h"

namespace zol::platform {

namespace {
class SystemClockLocal final : public LocalClock {
   public:
    std::int64_t NowLocalMs() const noexcept override { return ReadLocal().local_ms; }
    std::int64_t UtcOffsetMs() const noexcept override { return ReadLocal().utc_offset_ms; }
    LocalTimeReading ReadLocal() const noexcept override {
        auto now = std::chrono::system_clock::now();
        auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
        std::time_t seconds = static_cast<std::time_t>(ms / 1000);
        std::tm local{};
        if (localtime_r(&seconds, &local) == nullptr) return {ms, 0};
        const std::int64_t offset = static_cast<std::int64_t>(local.tm_gmtoff) * 1000;
        return {ms + offset, offset};
    }
};
}  // namespace

const LocalClock& SystemLocalClock() noexcept {
    static const SystemClockLocal clock;
    return clock;
}

}  // namespace zol::platform
