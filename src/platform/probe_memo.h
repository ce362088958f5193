#pragma once
// A short memory of the regions the memory probes of one thread have looked up (see
// IsReadableMemory). The checks of one call record probe the record, its parameter lists and its
// received bytes one after the other, mostly inside one or two heap regions, and every lookup is
// a system call (most of a microsecond under Wine). While a memo is active on a thread, the
// probes of that thread answer from the regions it holds and add the ones they look up.
//
// Memory can be released at any moment by another thread or by the host, so a memo must live
// only as long as one run of such checks: never across a call into the host, a message loop or
// a wait. A memo made while another is active on the thread takes over until it ends. Memos are
// locals: one made later on a thread is destroyed first.

#include <cstddef>
#include <cstdint>

namespace zol::platform {

class ProbeMemo {
   public:
    // One looked-up region: [begin, end) with the system's state and protection of it.
    struct Region {
        std::uintptr_t begin = 0;
        std::uintptr_t end = 0;
        std::uint32_t state = 0;
        std::uint32_t protect = 0;
    };

    ProbeMemo() noexcept;
    ~ProbeMemo() { End(); }
    ProbeMemo(const ProbeMemo&) = delete;
    ProbeMemo& operator=(const ProbeMemo&) = delete;

    // Stops the memo before it is destroyed: later probes look regions up again. Once ended it
    // stays ended.
    void End() noexcept;

    // The memo active on this thread, or nullptr.
    static ProbeMemo* Active() noexcept;

    // The held region that contains `address`, or nullptr.
    const Region* Find(std::uintptr_t address) const noexcept {
        for (std::size_t i = 0; i < count_; ++i) {
            if (address >= regions_[i].begin && address < regions_[i].end) return &regions_[i];
        }
        return nullptr;
    }
    // Holds `region`; past kRegions the oldest one gives way.
    void Remember(const Region& region) noexcept {
        regions_[next_] = region;
        next_ = (next_ + 1) % kRegions;
        if (count_ < kRegions) ++count_;
    }

   private:
    static constexpr std::size_t kRegions = 4;
    Region regions_[kRegions];
    std::size_t count_ = 0;
    std::size_t next_ = 0;
    ProbeMemo* outer_ = nullptr;  // the memo this one took over from
    bool active_ = true;
};

}  // namespace zol::platform
