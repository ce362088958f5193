// Linux stand-in for the OS tick counter: the steady clock in milliseconds, never wrapping.
#include <chrono>

#include "platform/tick_source.h"

namespace zol::platform {

namespace {
class SteadyTickSource final : public TickSource {
   public:
    std::uint64_t ReadTick() const noexcept override {
        auto now = std::chrono::steady_clock::now().time_since_epoch();
        return static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
    }
    bool Wraps32() const noexcept override { return false; }
};
}  // namespace

const TickSource& SystemTickSource() noexcept {
    static const SteadyTickSource source;
    return source;
}

}  // namespace zol::platform
