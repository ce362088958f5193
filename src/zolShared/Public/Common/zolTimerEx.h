#pragma once
// A timer component bound to the thread that created it: it ticks through a message-only window
// of that thread, so its handler runs only there and only while the thread dispatches messages.
// Enabled may be switched from any thread (the change is applied on the owner thread); Interval
// and OnTimer are set on the owner thread.

#include <atomic>
#include <cstddef>
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

// A thread that timers can be made for from other threads, and the one OS timer those timers
// share. Every timer made with a home ticks through the home's window: the home keeps their due
// times and sets its OS timer for the earliest, so a thread with hundreds of queues runs one OS
// timer and one window instead of one each, and a timer that changes its interval or asks for
// an extra tick costs no OS call while the home's timer is already set early enough. Due times
// fall on a grid of kGridMs, so timers of one interval tick together. Made on the thread it
// stands for, which must dispatch its messages for as long as the home lives.
class TimerHome {
   public:
    // Throws OutOfResourcesError when no window can be allocated.
    TimerHome();
    // On the home thread. Timers made with the home may outlive it: they stop ticking.
    ~TimerHome();
    TimerHome(const TimerHome&) = delete;
    TimerHome& operator=(const TimerHome&) = delete;

    // The home of the calling thread, shared by everything on it that asks: a site's data
    // sources (one per port) then tick their clients through one window and one OS timer.
    // Throws OutOfResourcesError when no window can be allocated.
    static std::shared_ptr<TimerHome> OfThisThread();

    std::uint32_t Thread() const noexcept { return thread_; }
    // Runs `job` on the home thread when it next handles its messages (never inside the caller);
    // false when the home's window is gone. Jobs still waiting when the home goes are dropped.
    bool Post(std::function<void()> job);
    // How many timers the home serves, and whether its OS timer is set (diagnostics, tests).
    std::size_t TimerCount() const;
    bool OsTimerSet() const;

    static constexpr std::uint32_t kRunJobsMessage = platform::kUserMessage + 1050;
    // Run the timers that are due or asked for a tick (posted by other threads).
    static constexpr std::uint32_t kWakeMessage = platform::kUserMessage + 1051;
    static constexpr std::uint32_t kOsTimerId = 1;
    static constexpr std::uint32_t kGridMs = 10;

   private:
    friend class TzolTimerEx;
    struct Hub;
    std::uint32_t thread_;
    std::shared_ptr<Hub> hub_;
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
    // It has no window of its own: it ticks through the home's (see TimerHome). Every call may
    // come from any thread and takes effect at once; the handler runs only on the home thread.
    // Throws OutOfResourcesError when the home's window is gone.
    TzolTimerEx(TimerHome& home, std::uint32_t interval_ms, TimerHandler handler);
    // From another thread, first has the owner thread stop the timer and release the window,
    // then waits for a tick in progress to end; all of it within kCrossThreadWaitMs in total.
    // When the time runs out it reports the failure and returns: the tick in progress finishes
    // without the timer, and nothing reaches the timer after it. A home's timer has nothing to
    // release: from another thread it waits for every tick of it in progress (nested ones
    // included) to end, reporting a wait past kCrossThreadWaitMs and waiting on, since what its
    // handler reaches goes with it.
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

    // Whether an OS timer is currently set, or for a home's timer whether it is due to tick (for
    // diagnostics and tests).
    bool TimerRunning() const noexcept { return timer_running_; }

   private:
    friend class TimerHome;
    friend struct TimerHome::Hub;
    // A timer of a home (its state is kept under the home's lock).
    bool HomeTimer() const noexcept { return hub_ != nullptr; }
    // Under the home's lock: counts the interval from `now` when the timer runs.
    void ScheduleLocked(std::uint64_t now);
    void HubSetEnabled(bool value);
    void HubSetInterval(std::uint32_t value);
    void HubRequestTick();
    void HubSetOnTimer(TimerHandler handler);
    void HubDestroy() noexcept;
    bool OnOwnerThread() const noexcept;
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
    // A timer of a home: the home's shared state, and when the timer ticks next (UINT64_MAX:
    // not running; under the home's lock).
    std::shared_ptr<TimerHome::Hub> hub_;
    std::uint64_t due_ = UINT64_MAX;
};

// Frees a timer the way every owner does: disable it, drop its handler (each step ignoring
// errors), destroy it and clear the reference. Nothing happens for a null pointer.
void FreeTimer(TzolTimerEx*& timer) noexcept;
void FreeTimer(std::unique_ptr<TzolTimerEx>& timer) noexcept;

}  // namespace zol::common
