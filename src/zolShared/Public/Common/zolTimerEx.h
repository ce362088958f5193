#pragma once
// A timer component bound to the thread that created it: it ticks through a message-only window
// of that thread, so its handler runs only there and only while the thread dispatches messages.
// Enabled may be switched from any thread (the change is applied on the owner thread); Interval
// and OnTimer are set on the owner thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "platform/message_window.h"
#include "zolShared/Public/Common/component.h"

namespace zol::common {

// The OS could not give a timer or a window to tick through.
class OutOfResourcesError : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
};

// A thread that timers can be made for from other threads: a window of that thread runs the
// jobs that finish such timers there. Made on the thread it stands for, which must dispatch its
// messages for as long as the home lives.
class TimerHome {
   public:
    // Throws OutOfResourcesError when no window can be allocated.
    TimerHome();
    ~TimerHome();
    TimerHome(const TimerHome&) = delete;
    TimerHome& operator=(const TimerHome&) = delete;

    std::uint32_t Thread() const noexcept { return thread_; }
    // Runs `job` on the home thread when it next handles its messages (never inside the caller);
    // false when the home's window is gone. Jobs still waiting when the home goes are dropped.
    bool Post(std::function<void()> job);

    static constexpr std::uint32_t kRunJobsMessage = platform::kUserMessage + 1050;

   private:
    struct Jobs;
    std::uint32_t thread_;
    std::shared_ptr<Jobs> jobs_;
    std::unique_ptr<platform::MessageWindow> window_;
};

class TzolTimerEx : public Component {
   public:
    using TimerHandler = std::function<void(TzolTimerEx& sender)>;

    // The timer's private messages: switch Enabled (wparam 1 enables, anything else disables)
    // and release the window, both handled on the owner thread.
    static constexpr std::uint32_t kSetEnabledMessage = platform::kUserMessage + 1040;
    static constexpr std::uint32_t kReleaseWindowMessage = platform::kUserMessage + 1041;
    // Run the handler once now, as an extra tick (RequestTick).
    static constexpr std::uint32_t kTickNowMessage = platform::kUserMessage + 1042;
    static constexpr std::uint32_t kTimerId = 1;
    // How long destruction from another thread waits for the owner thread in all.
    static constexpr std::uint32_t kCrossThreadWaitMs = 5000;

    // Binds the timer to the calling thread. Enabled is true and Interval 1000, but no OS timer
    // runs before OnTimer is set. Throws OutOfResourcesError when no window can be allocated.
    explicit TzolTimerEx(Component* owner = nullptr);
    // A disabled timer of `home`'s thread with `interval_ms` and `handler`, made from any thread.
    // Made elsewhere, its window comes when the home thread next handles its messages; until
    // then Enabled and RequestTick requests are kept and applied there, and it may be destroyed
    // (nothing is then left behind). Throws OutOfResourcesError when the home's window is gone.
    TzolTimerEx(TimerHome& home, std::uint32_t interval_ms, TimerHandler handler);
    // From another thread, first has the owner thread stop the timer and release the window,
    // then waits for a tick in progress to end; all of it within kCrossThreadWaitMs in total.
    // When the time runs out it reports the failure and returns: the tick in progress finishes
    // without the timer, and nothing reaches the timer after it.
    ~TzolTimerEx() override;

    bool Enabled() const noexcept { return enabled_.load(std::memory_order_acquire); }
    // From another thread: returns at once; the owner thread applies the change, and reports a
    // timer the system refuses. On the owner thread a refusal throws OutOfResourcesError. Either
    // way the timer is left disabled, so the next enable tries again.
    void SetEnabled(bool value);
    // Whether the timer is on or asked to be on by the latest request of any thread; false once
    // the system refused it.
    bool EnableWanted() const noexcept {
        const int requested = requested_.load(std::memory_order_acquire);
        return requested == 1 || (requested == -1 && Enabled());
    }
    std::uint32_t Interval() const noexcept { return interval_.load(std::memory_order_acquire); }
    void SetInterval(std::uint32_t value);
    // From any thread: the owner thread runs the handler once as soon as it handles its
    // messages, as an extra tick of a running timer (the interval goes on as it was). Requests
    // made before that tick come are one.
    void RequestTick();
    std::uint32_t OwnerThread() const noexcept { return owner_thread_; }
    const TimerHandler& OnTimer() const noexcept { return on_timer_; }
    void SetOnTimer(TimerHandler handler);

    // Whether an OS timer is currently set (for diagnostics and tests).
    bool TimerRunning() const noexcept { return timer_running_; }

   private:
    bool OnOwnerThread() const noexcept;
    // The home thread's job for a timer made from another thread: allocates the window and
    // applies what was asked for meanwhile.
    void Settle();
    // Sets the OS timer anew (its interval counted from now) when Interval, Enabled and OnTimer
    // allow, else kills it. Throws OutOfResourcesError("Not enough timers available") when the
    // OS refuses, leaving no timer running and the timer disabled.
    void UpdateTimer();
    bool HandleMessage(std::uint32_t message, std::uintptr_t wparam);

    std::atomic<bool> enabled_{true};
    // The state last asked for from any thread (1 enabled, 0 disabled, -1 none yet); the owner
    // thread applies it when a request from another thread arrives.
    std::atomic<int> requested_{-1};
    std::atomic<std::uint32_t> interval_{1000};
    // An extra tick was asked for and has not run yet.
    std::atomic<bool> tick_requested_{false};
    std::uint32_t owner_thread_;
    TimerHandler on_timer_;
    bool timer_running_ = false;
    std::unique_ptr<platform::MessageWindow> window_;
    // A timer made for another thread: false until its window exists there. The guard is
    // shared with the home's job, which may outlive the timer.
    struct Homing {
        std::mutex mutex;
        TzolTimerEx* timer = nullptr;  // cleared by a timer destroyed before its window came
    };
    std::atomic<bool> homed_{true};
    std::shared_ptr<Homing> homing_;
};

// Frees a timer the way every owner does: disable it, drop its handler (each step ignoring
// errors), destroy it and clear the reference. Nothing happens for a null pointer.
void FreeTimer(TzolTimerEx*& timer) noexcept;
void FreeTimer(std::unique_ptr<TzolTimerEx>& timer) noexcept;

}  // namespace zol::common
