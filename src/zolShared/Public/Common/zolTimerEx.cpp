#include "zolShared/Public/Common/zolTimerEx.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <map>
#include <vector>

#include "platform/crash_report.h"
#include "platform/system.h"
#include "zolShared/Public/Common/zolTimeout.h"

namespace zol::common {

// ---- The timers of a home ----------------------------------------------------------------------

namespace {

constexpr std::uint64_t kNever = UINT64_MAX;

// Due times fall on the home's grid, never before the time asked for.
std::uint64_t OnGrid(std::uint64_t tick) noexcept {
    constexpr std::uint64_t grid = TimerHome::kGridMs;
    return (tick + grid - 1) / grid * grid;
}

}  // namespace

struct TimerHome::Hub {
    std::mutex mutex;
    std::vector<std::function<void()>> jobs;
    // Every live timer of the home, in the order they were made (the order they tick in).
    std::vector<TzolTimerEx*> timers;
    // Counts the timers destroyed, so a run knows whether the timers it collected still live.
    std::uint64_t destroyed = 0;
    // Null once the home is gone. Used for posts from any thread under the lock; its timer is
    // set only on the home thread.
    std::unique_ptr<platform::MessageWindow> window;
    std::uint32_t thread = 0;
    // Reads the tick counter, counting the wraps of a 32-bit one.
    TzolTimeout clock;
    // When the OS timer fires next (kNever: not set) and the interval it was set with: a window
    // timer goes on firing at that interval until it is set again.
    std::uint64_t armed_due = kNever;
    std::uint32_t armed_interval = 0;
    // A wake message is on its way, or the home thread is running its timers: either way it
    // looks at every timer again before it waits.
    bool wake_posted = false;
    bool in_run = false;
    // The timers whose handlers run now on the home thread, once per tick in progress: a handler
    // that runs a message loop (a host pumping messages inside its entry points) lets ticks of
    // other timers, or of the same one, run inside its own. Destroyers on other threads wait
    // until none of their timer's ticks is left.
    std::vector<const TzolTimerEx*> running;
    // The room of the last run's list of due timers, kept for the next run: a busy home runs
    // with nearly every answer. A run inside a run (a handler's message loop) makes its own.
    std::vector<TzolTimerEx*> spare_due;
    std::condition_variable tick_ended;

    std::uint64_t Now() noexcept { return clock.ReadTick(); }
    bool OnHomeThread() const noexcept { return platform::CurrentThreadId() == thread; }

    // Under the lock, on any thread: a timer is due at `due` (kNever with `at_once`: it asked
    // for a tick). Sets the OS timer earlier, or has the home thread look at its timers.
    void Kick(std::uint64_t due, bool at_once) noexcept {
        if (!window) return;
        if (!at_once && due >= armed_due) return;  // the OS timer comes in time
        if (in_run) return;                        // the run sets the timer when it ends
        if (!at_once && OnHomeThread()) {
            Arm(Now());
            return;
        }
        PostWake();
    }

    void PostWake() noexcept {
        if (wake_posted || !window) return;
        wake_posted = window->Post(kWakeMessage, 0);
        if (!wake_posted) platform::ReportFailure("TimerHome", "the home's window took no message");
    }

    // Under the lock, on the home thread: sets the OS timer for the earliest due time, or stops
    // it when no timer runs. `after_os_tick`: the OS timer has just fired.
    void Arm(std::uint64_t now, bool after_os_tick = false) noexcept {
        std::uint64_t earliest = kNever;
        for (const TzolTimerEx* timer : timers) {
            if (timer->timer_running_ && timer->due_ < earliest) earliest = timer->due_;
        }
        if (earliest == kNever) {
            if (armed_due != kNever && window) window->StopTimer(kOsTimerId);
            armed_due = kNever;
            return;
        }
        // Already due (a run that ended late): handled as soon as the thread handles messages.
        if (earliest <= now) {
            PostWake();
            return;
        }
        // No OS call while the OS timer comes at most a grid step late for it; while it comes
        // early (the earliest timer moved on: its answer came), none either, until it has fired:
        // then it is set for the new earliest. On a busy home the earliest moves with nearly
        // every answer, and setting the OS timer each time was most of the timers' cost.
        if (armed_due != kNever) {
            if (earliest <= armed_due && armed_due - earliest < kGridMs) return;
            if (earliest > armed_due && !after_os_tick) return;
            if (earliest > armed_due && earliest - armed_due < kGridMs) return;
        }
        const auto interval = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(earliest - now, std::numeric_limits<std::uint32_t>::max()));
        if (!window->StartTimer(kOsTimerId, interval)) {
            armed_due = kNever;
            platform::ReportFailure("TimerHome", "Not enough timers available");
            return;
        }
        armed_due = now + interval;
        armed_interval = interval;
    }

    // On the home thread: ticks every timer that is due or asked for a tick, each once, then
    // sets the OS timer for the next. A timer that becomes due meanwhile waits for the next
    // message, so a handler that asks for its own tick again cannot hold the thread.
    void Run(bool os_tick) {
        std::unique_lock<std::mutex> lock(mutex);
        wake_posted = false;
        if (!window) return;
        std::uint64_t now = Now();
        if (os_tick) armed_due = armed_due == kNever ? kNever : now + armed_interval;
        std::vector<TzolTimerEx*> due;
        due.swap(spare_due);
        for (TzolTimerEx* timer : timers) {
            if (!timer->timer_running_) {
                timer->tick_requested_.store(false, std::memory_order_release);
                continue;
            }
            if (timer->due_ <= now || timer->tick_requested_.load(std::memory_order_acquire)) {
                due.push_back(timer);
            }
        }
        in_run = true;
        const std::uint64_t destroyed_before = destroyed;
        for (TzolTimerEx* timer : due) {
            if (destroyed != destroyed_before &&
                std::find(timers.begin(), timers.end(), timer) == timers.end()) {
                continue;  // freed by an earlier handler of this run
            }
            if (!timer->timer_running_) continue;  // stopped by an earlier handler
            timer->tick_requested_.store(false, std::memory_order_release);
            if (timer->due_ <= now) {
                // Like a window timer, a late tick is one tick, and the next keeps the rhythm.
                const std::uint32_t interval = timer->Interval();
                std::uint64_t next = timer->due_ + interval;
                if (next <= now) next = OnGrid(now + interval);
                timer->due_ = next;
            }
            TzolTimerEx::TimerHandler handler = timer->on_timer_;
            running.push_back(timer);
            lock.unlock();
            try {
                if (handler) handler(*timer);
            } catch (...) {
                platform::ReportCurrentException("TzolTimerEx.OnTimer");
            }
            lock.lock();
            // The timer may be gone: only its address is used, to strike its entry.
            running.erase(std::find(running.begin(), running.end(), timer));
            tick_ended.notify_all();
        }
        in_run = false;
        due.clear();
        if (spare_due.capacity() < due.capacity()) spare_due.swap(due);
        if (!window) return;
        now = Now();
        for (const TzolTimerEx* timer : timers) {
            if (timer->timer_running_ && timer->tick_requested_.load(std::memory_order_acquire)) {
                PostWake();
                break;
            }
        }
        Arm(now, os_tick);
    }
};

TzolTimerEx::TzolTimerEx(Component* owner)
    : Component(owner), owner_thread_(platform::CurrentThreadId()) {
    window_ =
        platform::MessageWindow::Allocate([this](std::uint32_t message, std::uintptr_t wparam) {
            return HandleMessage(message, wparam);
        });
    if (!window_) throw OutOfResourcesError("AllocateHWND failed");
}

TzolTimerEx::TzolTimerEx(TimerHome& home, std::uint32_t interval_ms, TimerHandler handler)
    : Component(nullptr), owner_thread_(home.Thread()), hub_(home.hub_) {
    enabled_.store(false, std::memory_order_relaxed);
    requested_.store(0, std::memory_order_relaxed);
    interval_.store(interval_ms, std::memory_order_relaxed);
    on_timer_ = std::move(handler);
    std::lock_guard<std::mutex> lock(hub_->mutex);
    if (!hub_->window) throw OutOfResourcesError("AllocateHWND failed");
    hub_->timers.push_back(this);
}

TzolTimerEx::~TzolTimerEx() {
    if (HomeTimer()) {
        HubDestroy();
        return;
    }
    if (!OnOwnerThread()) {
        // Only the owner thread can stop its OS timer and destroy its window. The whole
        // destruction waits at most kCrossThreadWaitMs: a tick in progress may itself wait for a
        // lock the destroying thread holds, and waiting on for it would deadlock both threads.
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kCrossThreadWaitMs);
        const auto remaining_ms = [&deadline]() -> std::uint32_t {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            return left.count() > 0 ? static_cast<std::uint32_t>(left.count()) : 0;
        };
        if (window_->Exists()) {
            requested_.store(0, std::memory_order_release);
            window_->SendWithTimeout(kSetEnabledMessage, 0, remaining_ms());
            window_->SendWithTimeout(kReleaseWindowMessage, 0, remaining_ms());
        }
        // When the tick does not end in time it runs on without the timer: its handler was
        // copied before it started, and the messages left behind are dropped.
        if (!window_->Detach(remaining_ms())) {
            platform::ReportFailure("TzolTimerEx.Destroy",
                                    "a tick in progress on the owner thread did not end within "
                                    "5000 ms; the timer was freed without it");
        }
        return;
    }
    window_->Detach();
    on_timer_ = nullptr;
    enabled_.store(false, std::memory_order_release);
    try {
        UpdateTimer();
    } catch (...) {
        // Stopping a timer cannot run short of timers; nothing to report.
    }
    window_->Release();
}

bool TzolTimerEx::OnOwnerThread() const noexcept {
    return platform::CurrentThreadId() == owner_thread_;
}

void TzolTimerEx::SetEnabled(bool value) {
    if (HomeTimer()) {
        HubSetEnabled(value);
        return;
    }
    if (!OnOwnerThread() && window_->Exists()) {
        // The owner thread applies the latest request when the message arrives, so a request
        // equal to the one before it needs no message of its own: data sources ask for their
        // housekeeping with every packet, from the threads that deliver them.
        if (requested_.exchange(value ? 1 : 0, std::memory_order_acq_rel) == (value ? 1 : 0)) {
            return;
        }
        window_->SendNotify(kSetEnabledMessage, value ? 1 : 0);
        return;
    }
    requested_.store(value ? 1 : 0, std::memory_order_release);
    if (value == Enabled()) return;
    enabled_.store(value, std::memory_order_release);
    UpdateTimer();
}

void TzolTimerEx::SetInterval(std::uint32_t value) {
    if (HomeTimer()) {
        HubSetInterval(value);
        return;
    }
    if (value == Interval()) return;
    interval_.store(value, std::memory_order_release);
    UpdateTimer();
}

void TzolTimerEx::RequestTick() {
    if (HomeTimer()) {
        HubRequestTick();
        return;
    }
    if (tick_requested_.exchange(true, std::memory_order_acq_rel)) return;
    // Posted on the owner thread too: the tick never runs inside its caller.
    if (!window_->Post(kTickNowMessage, 0)) tick_requested_.store(false, std::memory_order_release);
}

void TzolTimerEx::SetOnTimer(TimerHandler handler) {
    if (HomeTimer()) {
        HubSetOnTimer(std::move(handler));
        return;
    }
    on_timer_ = std::move(handler);
    UpdateTimer();
}

void TzolTimerEx::UpdateTimer() {
    if (Interval() == 0 || !Enabled() || !on_timer_) {
        window_->StopTimer(kTimerId);
        timer_running_ = false;
        return;
    }
    // Setting a running timer again replaces it and counts its interval from now, as stopping
    // and setting it would, in one OS call instead of two (a queue changes its interval with
    // every exchange).
    if (!window_->StartTimer(kTimerId, Interval())) {
        window_->StopTimer(kTimerId);
        timer_running_ = false;
        // Left disabled, and no request of another thread stands: the next enable, wherever it
        // comes from, asks the system again instead of finding the timer already on.
        enabled_.store(false, std::memory_order_release);
        requested_.store(0, std::memory_order_release);
        throw OutOfResourcesError("Not enough timers available");
    }
    timer_running_ = true;
}

bool TzolTimerEx::HandleMessage(std::uint32_t message, std::uintptr_t wparam) {
    switch (message) {
        case kTickNowMessage:
            tick_requested_.store(false, std::memory_order_release);
            if (!timer_running_) return true;  // stopped since: no tick
            [[fallthrough]];
        case platform::kTimerMessage:
            if (message == platform::kTimerMessage && wparam != kTimerId) return false;
            try {
                // A copy: the handler may replace itself or free the timer's handler.
                TimerHandler handler = on_timer_;
                if (handler) handler(*this);
            } catch (...) {
                platform::ReportCurrentException("TzolTimerEx.OnTimer");
            }
            return true;
        case kSetEnabledMessage:
            try {
                // The latest request of any thread wins, whatever order the messages came in.
                SetEnabled(requested_.load(std::memory_order_acquire) == 1);
            } catch (...) {
                platform::ReportCurrentException("TzolTimerEx.SetEnabled");
            }
            return true;
        case kReleaseWindowMessage:
            window_->StopTimer(kTimerId);
            timer_running_ = false;
            window_->Release();
            return true;
        default:
            return false;
    }
}

void TzolTimerEx::ScheduleLocked(std::uint64_t now) {
    timer_running_ = Enabled() && Interval() > 0 && on_timer_;
    due_ = timer_running_ ? OnGrid(now + Interval()) : kNever;
    if (timer_running_) hub_->Kick(due_, false);
}

void TzolTimerEx::HubSetEnabled(bool value) {
    std::lock_guard<std::mutex> lock(hub_->mutex);
    requested_.store(value ? 1 : 0, std::memory_order_release);
    if (value == Enabled()) return;
    enabled_.store(value, std::memory_order_release);
    ScheduleLocked(hub_->Now());
}

void TzolTimerEx::HubSetInterval(std::uint32_t value) {
    std::lock_guard<std::mutex> lock(hub_->mutex);
    if (value == Interval()) return;
    interval_.store(value, std::memory_order_release);
    ScheduleLocked(hub_->Now());
}

void TzolTimerEx::HubSetOnTimer(TimerHandler handler) {
    std::lock_guard<std::mutex> lock(hub_->mutex);
    on_timer_ = std::move(handler);
    ScheduleLocked(hub_->Now());
}

void TzolTimerEx::HubRequestTick() {
    std::lock_guard<std::mutex> lock(hub_->mutex);
    if (tick_requested_.exchange(true, std::memory_order_acq_rel)) return;
    // Posted on the home thread too: the tick never runs inside its caller.
    hub_->Kick(kNever, true);
}

void TzolTimerEx::HubDestroy() noexcept {
    std::unique_lock<std::mutex> lock(hub_->mutex);
    auto& timers = hub_->timers;
    timers.erase(std::remove(timers.begin(), timers.end(), this), timers.end());
    ++hub_->destroyed;
    timer_running_ = false;
    // On the home thread a tick in progress is lower on this very stack: it runs on without the
    // timer (the run touches nothing of a freed timer).
    if (hub_->OnHomeThread()) return;
    const auto ticks_over = [this] {
        return std::find(hub_->running.begin(), hub_->running.end(), this) == hub_->running.end();
    };
    // Every tick in progress is waited for, however long: the handler's owner goes with the
    // timer, and freeing it under a running tick would crash later, far from here. Owners take
    // no lock their destroyers hold while they tick, so the wait ends; past kCrossThreadWaitMs
    // it is reported once.
    if (!hub_->tick_ended.wait_for(lock, std::chrono::milliseconds(kCrossThreadWaitMs),
                                   ticks_over)) {
        platform::ReportFailure("TzolTimerEx.Destroy",
                                "a tick in progress on the owner thread did not end within "
                                "5000 ms; waiting on for it");
        hub_->tick_ended.wait(lock, ticks_over);
    }
}

TimerHome::TimerHome() : thread_(platform::CurrentThreadId()), hub_(std::make_shared<Hub>()) {
    hub_->thread = thread_;
    // The window belongs to the home, which frees it before the hub can go: a plain pointer.
    Hub* const hub = hub_.get();
    auto window =
        platform::MessageWindow::Allocate([hub](std::uint32_t message, std::uintptr_t wparam) {
            switch (message) {
                case kRunJobsMessage: {
                    std::vector<std::function<void()>> due;
                    {
                        std::lock_guard<std::mutex> lock(hub->mutex);
                        due.swap(hub->jobs);
                    }
                    for (auto& job : due) {
                        try {
                            job();
                        } catch (...) {
                            platform::ReportCurrentException("TimerHome");
                        }
                    }
                    return true;
                }
                case kWakeMessage:
                    hub->Run(false);
                    return true;
                case platform::kTimerMessage:
                    if (wparam != kOsTimerId) return false;
                    hub->Run(true);
                    return true;
                default:
                    return false;
            }
        });
    if (!window) throw OutOfResourcesError("AllocateHWND failed");
    std::lock_guard<std::mutex> lock(hub_->mutex);
    hub_->window = std::move(window);
}

TimerHome::~TimerHome() {
    std::unique_ptr<platform::MessageWindow> window;
    {
        std::lock_guard<std::mutex> lock(hub_->mutex);
        window.swap(hub_->window);
        hub_->jobs.clear();
        hub_->armed_due = kNever;
    }
    if (window) window->StopTimer(kOsTimerId);
}

bool TimerHome::Post(std::function<void()> job) {
    std::lock_guard<std::mutex> lock(hub_->mutex);
    if (!hub_->window) return false;
    const bool first = hub_->jobs.empty();
    hub_->jobs.push_back(std::move(job));
    // One message runs every job waiting when it is handled.
    if (!first || hub_->window->Post(kRunJobsMessage, 0)) return true;
    hub_->jobs.pop_back();
    return false;
}

std::shared_ptr<TimerHome> TimerHome::OfThisThread() {
    static std::mutex lock;
    static std::map<std::uint32_t, std::weak_ptr<TimerHome>> homes;
    const std::uint32_t thread = platform::CurrentThreadId();
    std::lock_guard<std::mutex> guard(lock);
    for (auto it = homes.begin(); it != homes.end();) {
        it = it->second.expired() ? homes.erase(it) : std::next(it);
    }
    // The last owner of a home may let it go on another thread at any moment, even between the
    // sweep above and here: each entry is taken once and checked.
    if (auto found = homes.find(thread); found != homes.end()) {
        if (std::shared_ptr<TimerHome> home = found->second.lock()) {
            // A thread id may come again after its thread ended, with the windows it had.
            std::lock_guard<std::mutex> hub_lock(home->hub_->mutex);
            if (home->hub_->window && home->hub_->window->Exists()) return home;
        }
    }
    auto home = std::make_shared<TimerHome>();
    homes[thread] = home;
    return home;
}

std::size_t TimerHome::TimerCount() const {
    std::lock_guard<std::mutex> lock(hub_->mutex);
    return hub_->timers.size();
}

bool TimerHome::OsTimerSet() const {
    std::lock_guard<std::mutex> lock(hub_->mutex);
    return hub_->armed_due != kNever;
}

void FreeTimer(TzolTimerEx*& timer) noexcept {
    if (timer == nullptr) return;
    try {
        timer->SetEnabled(false);
    } catch (...) {
    }
    // The handler belongs to the owner thread; from elsewhere the destructor detaches it safely.
    if (timer->OwnerThread() == platform::CurrentThreadId()) {
        try {
            timer->SetOnTimer(nullptr);
        } catch (...) {
        }
    }
    delete timer;
    timer = nullptr;
}

void FreeTimer(std::unique_ptr<TzolTimerEx>& timer) noexcept {
    TzolTimerEx* raw = timer.release();
    FreeTimer(raw);
}

}  // namespace zol::common
