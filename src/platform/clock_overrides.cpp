// Process-wide test overrides of the clocks. The pointers are atomic so a test may install a fake
// clock while timer threads read it.
#include <atomic>

#include "platform/local_clock.h"
#include "platform/performance_counter.h"
#include "platform/tick_source.h"

namespace zol::platform {

namespace {
std::atomic<const TickSource*> g_tick_override{nullptr};
std::atomic<const LocalClock*> g_local_override{nullptr};
std::atomic<const PerformanceCounter*> g_counter_override{nullptr};
}  // namespace

const TickSource& CurrentTickSource() noexcept {
    const TickSource* source = g_tick_override.load(std::memory_order_acquire);
    return source != nullptr ? *source : SystemTickSource();
}

void OverrideTickSource(const TickSource* source) noexcept {
    g_tick_override.store(source, std::memory_order_release);
}

const LocalClock& CurrentLocalClock() noexcept {
    const LocalClock* clock = g_local_override.load(std::memory_order_acquire);
    return clock != nullptr ? *clock : SystemLocalClock();
}

void OverrideLocalClock(const LocalClock* clock) noexcept {
    g_local_override.store(clock, std::memory_order_release);
}

const PerformanceCounter& CurrentPerformanceCounter() noexcept {
    const PerformanceCounter* counter = g_counter_override.load(std::memory_order_acquire);
    return counter != nullptr ? *counter : SystemPerformanceCounter();
}

void OverridePerformanceCounter(const PerformanceCounter* counter) noexcept {
    g_counter_override.store(counter, std::memory_order_release);
}

}  // namespace zol::platform
