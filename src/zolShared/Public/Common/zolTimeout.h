#pragma once
// A millisecond deadline record on the monotonic tick counter: started, optionally given a fixed
// timeout, and asked whether it has expired. A zeroed record is cleared and counts as expired.
// No lock: each record is used by one thread at a time or under its holder's lock.

#include <cstdint>

namespace zol::common {

struct TzolTimeout {
    // Tick at which the measurement started; 0 means cleared.
    std::uint64_t Start = 0;
    // Tick at which the timeout expires.
    std::uint64_t Deadline = 0;
    // Last tick read through this record. With a 32-bit tick source its upper half counts the
    // wraps seen so far, so a measurement may span a wrap as long as the record is read at least
    // once per wrap period (about 49.7 days).
    std::uint64_t LastSeen = 0;
    std::uint32_t Timeout = 0;
    // The deadline was fixed by StartWithTimeout and is not replaced by Expired(ms).
    bool HasTimeout = false;

    void Clear() noexcept { *this = TzolTimeout{}; }
    bool IsClear() const noexcept { return Start == 0; }

    // Starts measuring without a fixed timeout.
    void StartNow() noexcept;
    // Starts measuring with a fixed timeout of `ms`.
    void StartWithTimeout(std::uint32_t ms) noexcept;
    // Starts again the way it was started last (with its fixed timeout, if it had one).
    void Restart() noexcept;
    // Starts as if the measurement had begun `offset_ms` from now (negative: that long ago). A
    // fixed timeout keeps its length and moves with the start.
    void StartShifted(std::int64_t offset_ms) noexcept;
    // Sets the timeout length and the deadline from the current start.
    void SetTimeout(std::uint32_t ms) noexcept;

    // True when cleared; otherwise, unless a fixed timeout was set, the timeout becomes `ms`
    // first; then true once the current tick is at or past the deadline.
    bool Expired(std::uint32_t ms) noexcept;
    // True once the current tick is at or past the deadline (a cleared record is expired).
    bool Expired() noexcept;

    // The current tick read through this record (counts 32-bit wraps into LastSeen).
    std::uint64_t ReadTick() noexcept;
};

}  // namespace zol::common
