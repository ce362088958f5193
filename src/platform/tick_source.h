#pragma once
// The monotonic millisecond tick counter every deadline of the scheduler is measured on. The
// process picks its source once: a 64-bit counter when the OS has one, else a 32-bit counter that
// wraps after about 49.7 days (readers that keep state, like timeout records, count the wraps).
// Tests swap in a fake source for the whole process.

#include <cstdint>

namespace zol::platform {

class TickSource {
   public:
    virtual ~TickSource() = default;
    // Milliseconds since an arbitrary origin. A 32-bit source returns its counter zero-extended,
    // so the value drops back to small numbers at each wrap.
    virtual std::uint64_t ReadTick() const noexcept = 0;
    // True when ReadTick only has 32 significant bits and wraps.
    virtual bool Wraps32() const noexcept = 0;
};

// The OS counter chosen at first use (implemented per platform).
const TickSource& SystemTickSource() noexcept;

// The source every reader uses: the override when one is installed, else the OS counter.
const TickSource& CurrentTickSource() noexcept;

// Installs a process-wide replacement (nullptr restores the OS counter). Meant for tests; the
// source must outlive its installation.
void OverrideTickSource(const TickSource* source) noexcept;

}  // namespace zol::platform
