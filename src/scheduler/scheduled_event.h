#pragma once
// Scheduled events: a cron schedule plus the machinery that fires a handler at each run. Four
// signalling types exist; the plug-in uses the timer type, which creates no thread and fires on
// the thread that started the event, driven by a thread-bound timer of that thread. The other
// types run the schedule loop on a thread of their own and fire on a new worker thread, on the
// starting thread (waiting for it), or through a window message to the starting thread.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/message_window.h"
#include "platform/recursive_mutex.h"
#include "scheduler/cron_scheduler.h"
#include "zolShared/Public/Common/zolTimerEx.h"

namespace zol::scheduler {

// A stopwatch on the performance counter; without one it counts whole milliseconds of the wall
// clock.
class TIntervalMeter {
   public:
    void Start() noexcept;
    std::int64_t ElapsedMs() const noexcept;

   private:
    std::int64_t frequency_ = 0;  // 0: no performance counter
    std::int64_t start_ = 0;
};

enum class TSignalType : std::uint8_t {
    kWorkerThread = 0,   // fire on a new worker thread
    kSynchronized = 1,   // fire on the starting thread, the schedule thread waiting for it
    kWindowMessage = 2,  // post a message to the event's window on the starting thread
    kTimer = 3,          // no thread: a timer of the starting thread runs the loop and fires
};

// An auto-reset event: Set wakes one wait (or the next one), then resets.
class WakeEvent {
   public:
    void Set();
    // True when signalled within `timeout_ms`.
    bool WaitFor(std::uint64_t timeout_ms);

   private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool signalled_ = false;
};

class TScheduledEvent;

// Runs the schedule loop of one event: on its own thread, or one pass per tick of a timer. It is
// shared: the event holds it while running, and a pass or the thread itself holds it while it
// runs, so an event stopped or freed from its own handler or end notification does not pull the
// loop from under its own stack.
class TScheduleThread : public std::enable_shared_from_this<TScheduleThread> {
   public:
    // With `use_timer` the loop runs on the calling thread's timer and no thread is started.
    TScheduleThread(TScheduledEvent& event, bool use_timer, bool first_run,
                    std::shared_ptr<WakeEvent> wake, platform::MessageWindow* window);
    // Frees the timer; from another thread also waits for the loop thread to end.
    ~TScheduleThread();
    TScheduleThread(const TScheduleThread&) = delete;
    TScheduleThread& operator=(const TScheduleThread&) = delete;

    // One pass of the loop; false when the loop ends (expired, last run fired, no further run).
    bool Pass();
    // Starts the thread (thread use); the timer use needs no start. The object must be owned by
    // a shared_ptr.
    void Start();
    // Ends the loop: unbinds the end notification, and no pass starts after this. From another
    // thread it also waits for the loop thread to end; from the loop itself (a pass or the end
    // notification) it returns at once and the loop winds down when that call returns.
    void End();
    // The loop thread's id; empty for the timer use.
    std::thread::id LoopThreadId() const noexcept { return thread_.get_id(); }

    // Milliseconds the thread waits before its next pass.
    std::uint64_t WaitMs = 0;
    bool FirstRun = false;
    common::TzolTimerEx* Timer = nullptr;

    // The end notification of the thread types: called with the schedule's final state when the
    // loop ends by itself, unless unbound first.
    std::function<void(TScheduleState)> OnLoopEnded;
    void UnbindLoopEnded();

    // How long a synchronized fire waits for the starting thread; when that thread is busy the
    // fire stays queued for it and the loop goes on.
    static constexpr std::uint32_t kSynchronizeWaitMs = 1000;

   private:
    void TimerStep();
    void ThreadLoop();
    void FireByType();
    void ArmTimer();
    // Waits for the loop thread to end, reporting when that takes longer than kStopWaitMs.
    void JoinLoop();

    TScheduledEvent& event_;
    bool use_timer_;
    std::shared_ptr<WakeEvent> wake_;
    platform::MessageWindow* window_;
    std::atomic<bool> terminated_{false};
    std::mutex loop_ended_mutex_;
    std::mutex done_mutex_;  // also held while the thread starts, so the loop sees thread_ set
    std::condition_variable done_changed_;
    bool done_ = false;
    std::thread thread_;
};

class TScheduledEvent {
   public:
    using Handler = std::function<void(TScheduledEvent& event)>;

    // The message the event's window turns into a fire.
    static constexpr std::uint32_t kFireMessage = platform::kUserMessage + 1;
    // How long Stop waits for a schedule thread before it reports the overrun (it then goes on
    // waiting: a thread is never killed, as that could leave locks held and memory torn).
    static constexpr std::uint32_t kStopWaitMs = 3000;

    explicit TScheduledEvent(std::string name);
    // Stops the event, waiting for worker threads still firing it. It may be destroyed from its
    // own OnSchedule and notifications: the pass or worker that called the handler then touches
    // nothing of the event any more. From a worker of the event the other workers are not waited
    // for (they may be waiting for this one's fire to end); they find the event gone.
    ~TScheduledEvent();
    TScheduledEvent(const TScheduledEvent&) = delete;
    TScheduledEvent& operator=(const TScheduledEvent&) = delete;

    TSignalType SignalType() const noexcept { return signal_type_; }
    // Throws ScheduleError("Cannot change signaling type while running") while running.
    void SetSignalType(TSignalType type);
    bool Running() const noexcept { return running_.load(std::memory_order_acquire); }

    // Starts the event; false when the schedule has no next run, or when another thread is
    // stopping the event (this is then its loop's end notification). Throws ScheduleError on a
    // failed search and "AllocateHWND failed" when the window types get no window.
    bool Run(bool first_run);
    // Stops the event when running. It may be called from the event's own handlers and end
    // notification, and from several threads at once: one call tears down, and the others
    // return once it is done (the loop being waited for returns at once).
    void Stop();
    // Runs OnSchedule once, counting the run against RunLimit.
    void Fire();

    TScheduleThread* Thread() const noexcept { return thread_.get(); }

    std::string Name;
    TSchedule Schedule;
    std::int64_t RunCount = 0;
    std::int64_t RunLimit = 0;  // 0: unlimited
    Handler OnStart;
    Handler OnStop;
    Handler OnExpired;
    Handler OnSchedule;
    Handler OnLastRun;
    Handler OnRunLimit;

   private:
    friend class TScheduleThread;
    friend class TWorkerThread;
    void StartWorker();
    // Calls a handler that may free the event; nothing of the event may be touched afterwards.
    void CallHandler(const Handler& handler);
    bool HandleWindowMessage(std::uint32_t message);

    TSignalType signal_type_ = TSignalType::kWindowMessage;
    std::atomic<bool> running_{false};
    std::shared_ptr<WakeEvent> wake_;
    std::unique_ptr<platform::MessageWindow> window_;
    std::shared_ptr<TScheduleThread> thread_;

    // Serializes fires and counts the worker threads firing the event; shared, so a fire whose
    // handler destroyed the event can still unlock it and learn that the event is gone, and a
    // worker can sign off after that.
    struct FireGuard {
        platform::RecursiveMutex mutex;
        bool event_gone = false;
        std::mutex workers_mutex;
        std::condition_variable workers_changed;
        int workers = 0;
    };
    std::shared_ptr<FireGuard> fire_guard_ = std::make_shared<FireGuard>();

    // Guards thread_, wake_, window_, retired_ and the stop in progress: the thread tearing
    // down and the loop threads it waits for.
    std::mutex stop_mutex_;
    std::condition_variable stop_done_;
    std::thread::id stopper_;
    std::array<std::thread::id, 2> awaited_loops_{};
    // A loop stopped from its own end notification, still finishing it.
    std::shared_ptr<TScheduleThread> retired_;
};

// A thread that fires its event once and ends; the event waits for it before it goes away.
class TWorkerThread {
   public:
    static void Start(TScheduledEvent& event);
};

}  // namespace zol::scheduler
