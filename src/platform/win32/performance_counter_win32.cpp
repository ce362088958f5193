// The Windows performance counter.
#include <windows.h>

#include "platform/performance_counter.h"

namespace zol::platform {

namespace {
class WindowsCounter final : public PerformanceCounter {
   public:
    std::optional<std::int64_t> Frequency() const noexcept override {
        LARGE_INTEGER frequency;
        if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0) return std::nullopt;
        return frequency.QuadPart;
    }
    std::int64_t ReadCounter() const noexcept override {
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        return counter.QuadPart;
    }
};
}  // namespace

const PerformanceCounter& SystemPerformanceCounter() noexcept {
    static const WindowsCounter counter;
    return counter;
}

}  // namespace zol::platform
