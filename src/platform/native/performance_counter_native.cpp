// Linux stand-in for the performance counter: the steady clock in nanoseconds.
#include <chrono>

#include "platform/performance_counter.h"

namespace zol::platform {

namespace {
class SteadyCounter final : public PerformanceCounter {
   public:
    std::optional<std::int64_t> Frequency() const noexcept override { return 1'000'000'000; }
    std::int64_t ReadCounter() const noexcept override {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
};
}  // namespace

const PerformanceCounter& SystemPerformanceCounter() noexcept {
    static const SteadyCounter counter;
    return counter;
}

}  // namespace zol::platform
