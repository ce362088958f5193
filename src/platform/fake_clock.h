#pragma once
// A hand-driven clock for tests: one object serves as tick source, local wall clock and
// performance counter (1000 counts per second), so every time reading in the scheduler moves
// together when a test calls Advance. ScopedFakeClock installs it for the whole process.

#include <atomic>
#include <cstdint>
#include <optional>

#include "platform/local_clock.h"
#include "platform/performance_counter.h"
#include "platform/tick_source.h"

namespace zol::platform {

class FakeClock : public TickSource, public LocalClock, public PerformanceCounter {
   public:
    // `tick` is the first tick reading; with `wraps32` only its low 32 bits are reported, like
    // the 32-bit OS counter. `local_ms` is the local wall time (see LocalClock).
    FakeClock(std::uint64_t tick, std::int64_t local_ms, bool wraps32 = false) noexcept
        : tick_(tick), local_ms_(local_ms), wraps32_(wraps32) {}

    std::uint64_t ReadTick() const noexcept override {
        std::uint64_t tick = tick_.load(std::memory_order_acquire);
        return wraps32_ ? (tick & 0xFFFFFFFFu) : tick;
    }
    bool Wraps32() const noexcept override { return wraps32_; }
    std::int64_t NowLocalMs() const noexcept override {
        return local_ms_.load(std::memory_order_acquire);
    }
    std::optional<std::int64_t> Frequency() const noexcept override { return 1000; }
    std::int64_t ReadCounter() const noexcept override {
        return static_cast<std::int64_t>(tick_.load(std::memory_order_acquire));
    }

    // Moves every reading forward by `ms`.
    void Advance(std::uint64_t ms) noexcept {
        tick_.fetch_add(ms, std::memory_order_acq_rel);
        local_ms_.fetch_add(static_cast<std::int64_t>(ms), std::memory_order_acq_rel);
    }
    // Sets the wall clock alone, as when the user or daylight saving changes it.
    void SetLocalMs(std::int64_t local_ms) noexcept {
        local_ms_.store(local_ms, std::memory_order_release);
    }

   private:
    std::atomic<std::uint64_t> tick_;
    std::atomic<std::int64_t> local_ms_;
    bool wraps32_;
};

// Installs a fake clock as every process-wide clock for its lifetime.
class ScopedFakeClock {
   public:
    explicit ScopedFakeClock(const FakeClock& clock) noexcept {
        OverrideTickSource(&clock);
        OverrideLocalClock(&clock);
        OverridePerformanceCounter(&clock);
    }
    ~ScopedFakeClock() {
        OverrideTickSource(nullptr);
        OverrideLocalClock(nullptr);
        OverridePerformanceCounter(nullptr);
    }
    ScopedFakeClock(const ScopedFakeClock&) = delete;
    ScopedFakeClock& operator=(const ScopedFakeClock&) = delete;
};

}  // namespace zol::platform
