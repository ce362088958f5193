#pragma once
// The offset of local time from UTC, remembered for the UTC minute it was worked out for. Zone
// offsets and daylight-saving changes fall on whole minutes, so one UTC minute never holds two
// offsets: the OS is asked at most once a minute (reading the time zone can cost a file check
// each time), and a change of the time-zone setting itself is seen within a minute. Readers on
// any thread share it without a lock: the minute and its offset are one atomic word.

#include <atomic>
#include <cstdint>

namespace zol::platform {

class UtcOffsetCache {
   public:
    static constexpr std::int64_t kMsPerMinute = 60'000;

    // The offset in milliseconds (local minus UTC) at `utc_ms`, milliseconds since 1970-01-01
    // UTC. `offset_at(minute_start_ms)` gives the OS's offset at the start of a UTC minute (in
    // milliseconds); it is called when that minute is not the one remembered.
    template <typename OffsetAt>
    std::int64_t OffsetMs(std::int64_t utc_ms, OffsetAt&& offset_at) noexcept {
        const std::int64_t minute = FloorDiv(utc_ms, kMsPerMinute);
        const bool storable = minute >= 0 && minute < kNoMinute;
        if (storable) {
            const std::uint64_t entry = entry_.load(std::memory_order_acquire);
            if (static_cast<std::int64_t>(entry >> 32) == minute) {
                return static_cast<std::int32_t>(static_cast<std::uint32_t>(entry));
            }
        }
        const std::int64_t offset = offset_at(minute * kMsPerMinute);
        // A whole day either way is beyond any zone; such an answer is passed on, not kept.
        if (storable && offset > -kDayMs && offset < kDayMs) {
            entry_.store(static_cast<std::uint64_t>(minute) << 32 |
                             static_cast<std::uint32_t>(static_cast<std::int32_t>(offset)),
                         std::memory_order_release);
        }
        return offset;
    }

   private:
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
    // Minutes since 1970 are kept in the high 32 bits; this one marks the empty cache.
    static constexpr std::int64_t kNoMinute = 0xFFFFFFFF;
    static constexpr std::int64_t kDayMs = 86'400'000;

    static constexpr std::int64_t FloorDiv(std::int64_t a, std::int64_t b) noexcept {
        const std::int64_t q = a / b;
        return (a % b != 0 && a < 0) ? q - 1 : q;
    }

    std::atomic<std::uint64_t> entry_{static_cast<std::uint64_t>(kNoMinute) << 32};
};

}  // namespace zol::platform
