#include "scheduler/scheduled_event.h"

#include <algorithm>
#include <chrono>

#include "platform/crash_report.h"
#include "platform/local_clock.h"
#include "platform/performance_counter.h"
#include "scheduler/date_helpers.h"

namespace zol::scheduler {

namespace {

constexpr std::uint64_t kMinWaitMs = 50;
constexpr std::uint64_t kMaxWaitMs = 86'400'000;

std::int64_t NowMs() noexcept { return platform::CurrentLocalClock().NowLocalMs(); }

// The fire guard of the event whose worker this thread is; null on every other thread.
thread_local const void* t_worker_of = nullptr;

// Milliseconds from now to an OLE date, 0 when it has passed.
std::uint64_t MsUntil(double ole) noexcept {
    const std::int64_t delta = OleToMs(ole) - NowMs();
    return delta > 0 ? static_cast<std::uint64_t>(delta) : 0;
}

// A timer interval: at least 1 ms (0 would stop the timer for good) and at most a day (longer
// waits do not fit the timer and are simply re-armed at the next tick).
std::uint32_t TimerInterval(std::uint64_t ms) noexcept {
    return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(ms, 1, kMaxWaitMs));
}

}  // namespace

void TIntervalMeter::Start() noexcept {
    const platform::PerformanceCounter& counter = platform::CurrentPerformanceCounter();
    auto frequency = counter.Frequency();
    if (frequency && *frequency > 0) {
        frequency_ = *frequency;
        start_ = counter.ReadCounter();
    } else {
        frequency_ = 0;
        start_ = NowMs();
    }
}

std::int64_t TIntervalMeter::ElapsedMs() const noexcept {
    if (frequency_ == 0) return NowMs() - start_;
    const std::int64_t counts = platform::CurrentPerformanceCounter().ReadCounter() - start_;
    // Split to keep counts * 1000 from overflowing on long runs.
    return counts / frequency_ * 1000 + counts % frequency_ * 1000 / frequency_;
}

void WakeEvent::Set() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = true;
    }
    changed_.notify_one();
}

bool WakeEvent::WaitFor(std::uint64_t timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool signalled = changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                             [this] { return signalled_; });
    signalled_ = false;
    return signalled;
}

TScheduleThread::TScheduleThread(TScheduledEvent& event, bool use_timer, bool first_run,
                                 std::shared_ptr<WakeEvent> wake, platform::MessageWindow* window)
    : FirstRun(first_run),
      event_(event),
      use_timer_(use_timer),
      wake_(std::move(wake)),
      window_(window) {
    TSchedule& schedule = event_.Schedule;
    WaitMs = MsUntil(schedule.NextTime);
    if (FirstRun && schedule.StartTime != 0 && NowMs() < OleToMs(schedule.StartTime)) {
        schedule.Evaluate(FirstRun);
        WaitMs = MsUntil(schedule.NextTime);
    }
    if (use_timer_) {
        // The first tick comes at half the time to the run; every later one at the exact time.
        Timer = new common::TzolTimerEx(nullptr);
        Timer->SetInterval(TimerInterval(WaitMs / 2));
        Timer->SetOnTimer([this](common::TzolTimerEx&) { TimerStep(); });
        Timer->SetEnabled(true);
    }
}

TScheduleThread::~TScheduleThread() {
    terminated_.store(true, std::memory_order_release);
    if (Timer != nullptr) common::FreeTimer(Timer);
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        // The loop thread dropped the last reference on its way out: nothing is left to wait for.
        thread_.detach();
        return;
    }
    if (wake_) wake_->Set();
    JoinLoop();
}

void TScheduleThread::Start() {
    if (use_timer_) return;
    std::lock_guard<std::mutex> lock(done_mutex_);
    thread_ = std::thread([self = shared_from_this()] { self->ThreadLoop(); });
}

void TScheduleThread::End() {
    UnbindLoopEnded();
    terminated_.store(true, std::memory_order_release);
    if (wake_) wake_->Set();
    if (Timer != nullptr) {
        try {
            Timer->SetEnabled(false);
        } catch (...) {
            // Disabling never needs a new OS timer; the terminated flag stops the passes anyway.
        }
    }
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) JoinLoop();
}

void TScheduleThread::JoinLoop() {
    std::unique_lock<std::mutex> lock(done_mutex_);
    if (!done_changed_.wait_for(lock, std::chrono::milliseconds(TScheduledEvent::kStopWaitMs),
                                [this] { return done_; })) {
        platform::ReportFailure("TScheduledEvent.Stop",
                                "the schedule thread did not end within 3000 ms");
    }
    lock.unlock();
    thread_.join();
}

void TScheduleThread::UnbindLoopEnded() {
    std::lock_guard<std::mutex> lock(loop_ended_mutex_);
    OnLoopEnded = nullptr;
}

bool TScheduleThread::Pass() {
    TIntervalMeter meter;
    meter.Start();
    WaitMs /= 2;
    TSchedule& schedule = event_.Schedule;
    schedule.Evaluate(FirstRun);
    if (schedule.State == TScheduleState::kExpired) return false;
    if (schedule.State == TScheduleState::kFire || schedule.State == TScheduleState::kFireLast) {
        if (!event_.OnSchedule) throw ScheduleError("OnSchedule is not defined");
        WaitMs = MsUntil(schedule.NextTime) / 2;
        FireByType();
        // Stopped by its handler or by the run limit: the event may already be restarted, so
        // nothing of the schedule is touched any more.
        if (terminated_.load(std::memory_order_acquire)) return false;
        if (schedule.State == TScheduleState::kFireLast) return false;
    }
    // Runs missed while the process was suspended (or the clock jumped) are skipped.
    while (schedule.NextTime != 0 && NowMs() > OleToMs(schedule.NextTime)) schedule.CalcNext();
    // No further run: waiting on for it would only find old runs.
    if (schedule.NextTime == 0) return false;
    const std::int64_t wait =
        static_cast<std::int64_t>(std::clamp(WaitMs, kMinWaitMs, kMaxWaitMs)) - meter.ElapsedMs();
    WaitMs = wait > 0 ? static_cast<std::uint64_t>(wait) : 0;
    return true;
}

void TScheduleThread::FireByType() {
    switch (event_.SignalType()) {
        case TSignalType::kWorkerThread:
            TWorkerThread::Start(event_);
            break;
        case TSignalType::kSynchronized:
            window_->SendWithTimeout(TScheduledEvent::kFireMessage, 0, kSynchronizeWaitMs);
            break;
        case TSignalType::kWindowMessage:
            window_->Post(TScheduledEvent::kFireMessage, 0);
            break;
        case TSignalType::kTimer:
            // A failing handler is reported; the schedule keeps running for the next run.
            try {
                event_.Fire();
            } catch (...) {
                platform::ReportCurrentException("TScheduledEvent.OnSchedule");
            }
            break;
    }
}

void TScheduleThread::TimerStep() {
    // The handler may stop, restart or free the event, which drops the event's reference to this
    // loop; the pass holds its own until it is over.
    const std::shared_ptr<TScheduleThread> keep = shared_from_this();
    Timer->SetEnabled(false);
    // An exception goes to the timer, which reports it; the schedule stays off.
    if (Pass() && !terminated_.load(std::memory_order_acquire)) ArmTimer();
}

void TScheduleThread::ArmTimer() {
    Timer->SetInterval(TimerInterval(MsUntil(event_.Schedule.NextTime)));
    Timer->SetEnabled(true);
}

void TScheduleThread::ThreadLoop() {
    // Start stores the thread handle under this lock; a stop from this loop's own notification
    // reads it.
    { std::lock_guard<std::mutex> started(done_mutex_); }
    TScheduleState final_state = TScheduleState::kNothingDue;
    while (!terminated_.load(std::memory_order_acquire)) {
        bool go_on = false;
        try {
            go_on = Pass();
        } catch (...) {
            platform::ReportCurrentException("TScheduleThread");
        }
        final_state = event_.Schedule.State;
        if (!go_on || terminated_.load(std::memory_order_acquire)) break;
        if (wake_->WaitFor(WaitMs)) break;
    }
    // Called outside the lock: the notification may stop or restart the event, which unbinds it.
    std::function<void(TScheduleState)> notify;
    {
        std::lock_guard<std::mutex> lock(loop_ended_mutex_);
        if (!terminated_.load(std::memory_order_acquire)) notify = OnLoopEnded;
    }
    if (notify) {
        try {
            notify(final_state);
        } catch (...) {
            platform::ReportCurrentException("TScheduleThread.OnTerminate");
        }
    }
    std::lock_guard<std::mutex> lock(done_mutex_);
    done_ = true;
    done_changed_.notify_all();
}

TScheduledEvent::TScheduledEvent(std::string name) : Name(std::move(name)) {}

TScheduledEvent::~TScheduledEvent() {
    Stop();
    const std::shared_ptr<FireGuard> guard = fire_guard_;
    // A worker freeing its own event cannot wait for itself, nor for other workers, which may
    // be waiting for its fire to end: they find the event gone and touch nothing of it.
    if (t_worker_of != guard.get()) {
        std::unique_lock<std::mutex> lock(guard->workers_mutex);
        guard->workers_changed.wait(lock, [&guard] { return guard->workers == 0; });
    }
    std::lock_guard<platform::RecursiveMutex> fire_lock(guard->mutex);
    guard->event_gone = true;
}

void TScheduledEvent::SetSignalType(TSignalType type) {
    if (Running()) throw ScheduleError("Cannot change signaling type while running");
    signal_type_ = type;
}

bool TScheduledEvent::Run(bool first_run) {
    Stop();
    std::unique_lock<std::mutex> lock(stop_mutex_);
    // Called from a loop's end notification while another thread stops the event: it stays
    // stopped.
    if (stopper_ != std::thread::id() && stopper_ != std::this_thread::get_id()) return false;
    running_.store(false, std::memory_order_release);
    if (!Schedule.Reset()) return false;
    const bool use_timer = signal_type_ == TSignalType::kTimer;
    if (signal_type_ == TSignalType::kWindowMessage || signal_type_ == TSignalType::kSynchronized) {
        window_ = platform::MessageWindow::Allocate(
            [this](std::uint32_t message, std::uintptr_t) { return HandleWindowMessage(message); });
        if (!window_) throw ScheduleError("AllocateHWND failed");
    }
    running_.store(true, std::memory_order_release);
    wake_ = use_timer ? nullptr : std::make_shared<WakeEvent>();
    thread_ = std::make_shared<TScheduleThread>(*this, use_timer, first_run, wake_, window_.get());
    if (!use_timer) {
        thread_->OnLoopEnded = [this](TScheduleState state) {
            if (state == TScheduleState::kFireLast) CallHandler(OnLastRun);
            if (state == TScheduleState::kExpired) CallHandler(OnExpired);
        };
        thread_->Start();
    }
    lock.unlock();
    if (OnStart) OnStart(*this);
    return true;
}

void TScheduledEvent::Stop() {
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(stop_mutex_);
    if (stopper_ != std::thread::id()) {
        // Re-entered from OnStop, or called by a loop the stopping thread is waiting for: the
        // stop in progress covers it.
        if (stopper_ == self || awaited_loops_[0] == self || awaited_loops_[1] == self) return;
        stop_done_.wait(lock, [this] { return stopper_ == std::thread::id(); });
    }
    // A loop that was stopped from its own end notification may still be running it (and
    // touching the event); every other thread's stop waits for it.
    std::shared_ptr<TScheduleThread> ended;
    if (retired_ && retired_->LoopThreadId() != self) ended = std::move(retired_);
    const bool running = Running();
    if (!running && !ended) return;
    stopper_ = self;
    std::shared_ptr<TScheduleThread> thread;
    std::shared_ptr<WakeEvent> wake;
    std::unique_ptr<platform::MessageWindow> window;
    if (running) {
        running_.store(false, std::memory_order_release);
        thread = std::move(thread_);
        wake = std::move(wake_);
        window = std::move(window_);
    }
    awaited_loops_ = {thread ? thread->LoopThreadId() : std::thread::id(),
                      ended ? ended->LoopThreadId() : std::thread::id()};
    lock.unlock();

    const auto finish = [&lock, this] {
        if (!lock.owns_lock()) lock.lock();
        stopper_ = std::thread::id();
        awaited_loops_ = {};
        stop_done_.notify_all();
    };
    try {
        // Not under the lock: the loops' end notifications may call Stop while this waits.
        if (ended) ended->End();
        if (thread) {
            thread->End();
            if (thread->LoopThreadId() == self) {
                lock.lock();
                retired_ = thread;
                lock.unlock();
            }
        }
        ended.reset();
        thread.reset();
        wake.reset();
        window.reset();  // after the loop, which posts to it
    } catch (...) {
        finish();
        throw;
    }
    finish();
    lock.unlock();
    // Last, outside the lock: the notification may free the event.
    if (running) CallHandler(OnStop);
}

void TScheduledEvent::CallHandler(const Handler& handler) {
    // A copy: the handler may replace itself, or free the event and with it the original.
    const Handler call = handler;
    if (call) call(*this);
}

void TScheduledEvent::Fire() {
    const std::shared_ptr<FireGuard> guard = fire_guard_;
    std::lock_guard<platform::RecursiveMutex> lock(guard->mutex);
    if (guard->event_gone || !Running()) return;
    if (RunLimit != 0 && RunCount >= RunLimit) return;
    ++RunCount;
    CallHandler(OnSchedule);
    if (guard->event_gone) return;  // the handler freed the event
    if (RunLimit > 0 && RunCount >= RunLimit) {
        CallHandler(OnRunLimit);
        if (guard->event_gone) return;  // the notification freed the event
        Stop();
    }
}

bool TScheduledEvent::HandleWindowMessage(std::uint32_t message) {
    if (message != kFireMessage) return false;
    if (OnSchedule) {
        try {
            Fire();
        } catch (...) {
            platform::ReportCurrentException("TScheduledEvent.OnSchedule");
        }
    }
    return true;
}

void TScheduledEvent::StartWorker() {
    const std::shared_ptr<FireGuard> guard = fire_guard_;
    {
        std::lock_guard<std::mutex> lock(guard->workers_mutex);
        ++guard->workers;
    }
    try {
        // The worker holds the guard, not the event: its handler (or a worker before it) may
        // free the event, after which only the guard is left to sign off with.
        std::thread([this, guard] {
            t_worker_of = guard.get();
            try {
                std::lock_guard<platform::RecursiveMutex> fire(guard->mutex);
                if (!guard->event_gone) Fire();
            } catch (...) {
                platform::ReportCurrentException("TWorkerThread");
            }
            std::lock_guard<std::mutex> lock(guard->workers_mutex);
            --guard->workers;
            guard->workers_changed.notify_all();
        }).detach();
    } catch (...) {
        std::lock_guard<std::mutex> lock(guard->workers_mutex);
        --guard->workers;
        guard->workers_changed.notify_all();
        throw;
    }
}

void TWorkerThread::Start(TScheduledEvent& event) { event.StartWorker(); }

}  // namespace zol::scheduler
