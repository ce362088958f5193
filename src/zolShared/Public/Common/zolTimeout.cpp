#include "zolShared/Public/Common/zolTimeout.h"

#include "platform/tick_source.h"

namespace zol::common {

std::uint64_t TzolTimeout::ReadTick() noexcept {
    const platform::TickSource& source = platform::CurrentTickSource();
    std::uint64_t tick = source.ReadTick();
    if (!source.Wraps32()) return tick;
    auto low = static_cast<std::uint32_t>(tick);
    std::uint64_t wraps = LastSeen >> 32;
    if (low < static_cast<std::uint32_t>(LastSeen)) ++wraps;
    LastSeen = (wraps << 32) | low;
    return LastSeen;
}

void TzolTimeout::StartNow() noexcept {
    Start = platform::CurrentTickSource().ReadTick();
    LastSeen = Start;
    Deadline = 0;
    HasTimeout = false;
}

void TzolTimeout::StartWithTimeout(std::uint32_t ms) noexcept {
    Start = platform::CurrentTickSource().ReadTick();
    LastSeen = Start;
    Timeout = ms;
    Deadline = Start + ms;
    HasTimeout = true;
}

void TzolTimeout::Restart() noexcept {
    if (HasTimeout) {
        StartWithTimeout(Timeout);
    } else {
        StartNow();
    }
}

void TzolTimeout::StartShifted(std::int64_t offset_ms) noexcept {
    std::uint64_t now = platform::CurrentTickSource().ReadTick();
    LastSeen = now;
    if (offset_ms < 0 && static_cast<std::uint64_t>(-offset_ms) >= now) {
        // Before the counter's origin: leave the record cleared, which reads as long expired.
        Start = 0;
    } else {
        Start = now + static_cast<std::uint64_t>(offset_ms);
    }
    // A fixed timeout would otherwise be left with a zero deadline and expire at once.
    Deadline = HasTimeout ? Start + Timeout : 0;
}

void TzolTimeout::SetTimeout(std::uint32_t ms) noexcept {
    Timeout = ms;
    Deadline = Start + ms;
}

bool TzolTimeout::Expired(std::uint32_t ms) noexcept {
    if (IsClear()) return true;
    if (!HasTimeout) SetTimeout(ms);
    return ReadTick() >= Deadline;
}

bool TzolTimeout::Expired() noexcept { return ReadTick() >= Deadline; }

}  // namespace zol::common
