#pragma once
// A periodic job that shares its OS timer: every round timer of the same interval created on
// the same thread rides one TzolTimerEx of that thread, which ticks while at least one of them
// is enabled and runs each enabled job in turn. Many data sources each ticking their own window
// timer cost a wake-up and several OS calls per tick apiece; one shared round costs that once.
//
// The job runs on the creating thread, as a TzolTimerEx's handler would. Each round timer
// counts its ticks from the round, not from its own enabling: the first tick after enabling
// comes within one interval.

#include <cstdint>
#include <functional>
#include <memory>

namespace zol::common {

class TzolRoundTimer {
   public:
    using Handler = std::function<void()>;

    // Binds the job to the calling thread, disabled. Throws OutOfResourcesError when the
    // thread's round for `interval_ms` cannot be set up.
    TzolRoundTimer(std::uint32_t interval_ms, Handler handler);
    // Leaves the round; a run of the job in progress on the owner thread is waited for (at
    // most TzolTimerEx::kCrossThreadWaitMs, then reported and left running). The job never
    // starts after this returns.
    ~TzolRoundTimer();
    TzolRoundTimer(const TzolRoundTimer&) = delete;
    TzolRoundTimer& operator=(const TzolRoundTimer&) = delete;

    // From any thread. Enabling the first job of a round starts its OS timer (from another
    // thread the owner thread applies it); a round whose jobs are all disabled stops its timer
    // at its next tick. Throws OutOfResourcesError when the OS refuses the timer; the job then
    // stays disabled.
    void SetEnabled(bool value);
    bool Enabled() const noexcept;
    std::uint32_t Interval() const noexcept { return interval_; }

    class Round;
    struct Job;

   private:
    std::uint32_t interval_;
    std::uint32_t owner_thread_;
    std::shared_ptr<Round> round_;
    std::shared_ptr<Job> job_;
};

}  // namespace zol::common
