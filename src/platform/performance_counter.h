#pragma once
// The high-resolution performance counter, for short stopwatch measurements. Tests swap in a
// fake counter for the whole process.

#include <cstdint>
#include <optional>

namespace zol::platform {

class PerformanceCounter {
   public:
    virtual ~PerformanceCounter() = default;
    // Counts per second, or nothing when the machine has no such counter.
    virtual std::optional<std::int64_t> Frequency() const noexcept = 0;
    virtual std::int64_t ReadCounter() const noexcept = 0;
};

// The OS counter (implemented per platform).
const PerformanceCounter& SystemPerformanceCounter() noexcept;

// The counter every reader uses: the override when one is installed, else the OS counter.
const PerformanceCounter& CurrentPerformanceCounter() noexcept;

// Installs a process-wide replacement (nullptr restores the OS counter); meant for tests.
void OverridePerformanceCounter(const PerformanceCounter* counter) noexcept;

}  // namespace zol::platform
