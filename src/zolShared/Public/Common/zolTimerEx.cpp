#include "zolShared/Public/Common/zolTimerEx.h"

#include <chrono>
#include <vector>

#include "platform/crash_report.h"
#include "platform/system.h"

namespace zol::common {

TzolTimerEx::TzolTimerEx(Component* owner)
    : Component(owner), owner_thread_(platform::CurrentThreadId()) {
    window_ =
        platform::MessageWindow::Allocate([this](std::uint32_t message, std::uintptr_t wparam) {
            return HandleMessage(message, wparam);
        });
    if (!window_) throw OutOfResourcesError("AllocateHWND failed");
}

TzolTimerEx::TzolTimerEx(TimerHome& home, std::uint32_t interval_ms, TimerHandler handler)
    : Component(nullptr), owner_thread_(home.Thread()) {
    enabled_.store(false, std::memory_order_relaxed);
    requested_.store(0, std::memory_order_relaxed);
    interval_.store(interval_ms, std::memory_order_relaxed);
    on_timer_ = std::move(handler);
    if (OnOwnerThread()) {
        window_ =
            platform::MessageWindow::Allocate([this](std::uint32_t message, std::uintptr_t wparam) {
                return HandleMessage(message, wparam);
            });
        if (!window_) throw OutOfResourcesError("AllocateHWND failed");
        return;
    }
    homing_ = std::make_shared<Homing>();
    homing_->timer = this;
    homed_.store(false, std::memory_order_release);
    if (!home.Post([homing = homing_] {
            std::lock_guard<std::mutex> lock(homing->mutex);
            if (homing->timer != nullptr) homing->timer->Settle();
        })) {
        throw OutOfResourcesError("AllocateHWND failed");
    }
}

void TzolTimerEx::Settle() {
    window_ =
        platform::MessageWindow::Allocate([this](std::uint32_t message, std::uintptr_t wparam) {
            return HandleMessage(message, wparam);
        });
    if (!window_) {
        platform::ReportFailure("TzolTimerEx.Create", "AllocateHWND failed");
        return;
    }
    homed_.store(true, std::memory_order_release);
    try {
        SetEnabled(requested_.load(std::memory_order_acquire) == 1);
    } catch (...) {
        platform::ReportCurrentException("TzolTimerEx.SetEnabled");
    }
    if (tick_requested_.load(std::memory_order_acquire) && !window_->Post(kTickNowMessage, 0)) {
        tick_requested_.store(false, std::memory_order_release);
    }
}

TzolTimerEx::~TzolTimerEx() {
    if (!homed_.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(homing_->mutex);
        if (!homed_.load(std::memory_order_acquire)) {
            // The window never came: nothing exists on the home thread to stop or release.
            homing_->timer = nullptr;
            return;
        }
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
    if (!homed_.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(homing_->mutex);
        if (!homed_.load(std::memory_order_acquire)) {
            // Applied by the home thread when the window comes.
            requested_.store(value ? 1 : 0, std::memory_order_release);
            return;
        }
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
    if (value == Interval()) return;
    interval_.store(value, std::memory_order_release);
    UpdateTimer();
}

void TzolTimerEx::RequestTick() {
    if (tick_requested_.exchange(true, std::memory_order_acq_rel)) return;
    if (!homed_.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(homing_->mutex);
        if (!homed_.load(std::memory_order_acquire)) return;  // posted when the window comes
    }
    // Posted on the owner thread too: the tick never runs inside its caller.
    if (!window_->Post(kTickNowMessage, 0)) tick_requested_.store(false, std::memory_order_release);
}

void TzolTimerEx::SetOnTimer(TimerHandler handler) {
    on_timer_ = std::move(handler);
    UpdateTimer();
}

void TzolTimerEx::UpdateTimer() {
    // Not yet at home: the home thread sets the timer when the window comes.
    if (!homed_.load(std::memory_order_acquire)) return;
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

struct TimerHome::Jobs {
    std::mutex mutex;
    std::vector<std::function<void()>> waiting;
};

TimerHome::TimerHome() : thread_(platform::CurrentThreadId()), jobs_(std::make_shared<Jobs>()) {
    window_ =
        platform::MessageWindow::Allocate([jobs = jobs_](std::uint32_t message, std::uintptr_t) {
            if (message != kRunJobsMessage) return false;
            std::vector<std::function<void()>> due;
            {
                std::lock_guard<std::mutex> lock(jobs->mutex);
                due.swap(jobs->waiting);
            }
            for (auto& job : due) {
                try {
                    job();
                } catch (...) {
                    platform::ReportCurrentException("TimerHome");
                }
            }
            return true;
        });
    if (!window_) throw OutOfResourcesError("AllocateHWND failed");
}

TimerHome::~TimerHome() = default;

bool TimerHome::Post(std::function<void()> job) {
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(jobs_->mutex);
        first = jobs_->waiting.empty();
        jobs_->waiting.push_back(std::move(job));
    }
    // One message runs every job waiting when it is handled.
    if (!first || window_->Post(kRunJobsMessage, 0)) return true;
    std::lock_guard<std::mutex> lock(jobs_->mutex);
    jobs_->waiting.pop_back();
    return false;
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
