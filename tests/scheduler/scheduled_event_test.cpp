#include "scheduler/scheduled_event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/crash_report.h"
#include "platform/fake_clock.h"
#include "platform/message_window.h"
#include "platform/system.h"
#include "scheduler/cron_test_support.h"

namespace zol::scheduler {
namespace {

using testing::Iso;
using testing::LocalMs;

constexpr std::uint64_t kMinute = 60'000;

// The timer type on a fake clock: the test moves time and then lets this thread handle its
// timer messages, exactly as the plug-in's main thread would.
class TimerEvent : public ::testing::Test {
   protected:
    platform::FakeClock clock_{5'000'000, LocalMs("2026-03-01T11:50:00")};
    platform::ScopedFakeClock installed_{clock_};
    TScheduledEvent event_{"test"};
    int fires_ = 0;

    void SetUp() override {
        event_.SetSignalType(TSignalType::kTimer);
        event_.OnSchedule = [this](TScheduledEvent&) { ++fires_; };
    }
    void Advance(std::uint64_t ms) {
        clock_.Advance(ms);
        platform::DispatchPendingMessages();
    }
    std::uint32_t TimerInterval() const { return event_.Thread()->Timer->Interval(); }
};

TEST_F(TimerEvent, FirstTickAtHalfTheWaitThenExactlyAtTheRun) {
    event_.Schedule.SetCronString("0 0 12 * * * *");
    ASSERT_TRUE(event_.Run(false));
    EXPECT_TRUE(event_.Running());
    EXPECT_EQ(TimerInterval(), 5 * kMinute);
    Advance(5 * kMinute - 1);
    Advance(1);  // first tick: not due yet, re-armed for the exact remaining time
    EXPECT_EQ(fires_, 0);
    EXPECT_EQ(TimerInterval(), 5 * kMinute);
    Advance(5 * kMinute - 1);
    EXPECT_EQ(fires_, 0);
    Advance(1);
    EXPECT_EQ(fires_, 1);
    EXPECT_EQ(Iso(event_.Schedule.NextTime), "2026-03-02T12:00:00");
    EXPECT_EQ(TimerInterval(), 86'400'000u);
}

TEST_F(TimerEvent, MissedRunsFireOnceAndTheNextRunIsInTheFuture) {
    event_.Schedule.SetCronString("0 0 * * * * *");  // hourly
    ASSERT_TRUE(event_.Run(false));
    // Suspended from 11:50 to 13:30, across the runs at 12:00 and 13:00.
    Advance(100 * kMinute);
    EXPECT_EQ(fires_, 1);
    EXPECT_EQ(Iso(event_.Schedule.NextTime), "2026-03-01T14:00:00");
    EXPECT_EQ(TimerInterval(), 30 * kMinute);
    Advance(30 * kMinute);
    EXPECT_EQ(fires_, 2);
}

TEST_F(TimerEvent, RunLimitStopsTheEventFromInsideItsOwnTick) {
    int limit_reached = 0;
    int stopped = 0;
    event_.RunLimit = 2;
    event_.OnRunLimit = [&](TScheduledEvent&) { ++limit_reached; };
    event_.OnStop = [&](TScheduledEvent&) { ++stopped; };
    event_.Schedule.SetCronString("* * * * * * *");
    ASSERT_TRUE(event_.Run(false));
    for (int i = 0; i < 5; ++i) Advance(1000);
    EXPECT_EQ(fires_, 2);
    EXPECT_EQ(event_.RunCount, 2);
    EXPECT_EQ(limit_reached, 1);
    EXPECT_EQ(stopped, 1);
    EXPECT_FALSE(event_.Running());
    // It can be started again.
    event_.RunLimit = 0;
    ASSERT_TRUE(event_.Run(false));
    Advance(1000);
    EXPECT_EQ(fires_, 3);
    // Stopped while the counters its handlers hold still live: the fixture's end would call
    // OnStop on a dead frame.
    event_.Stop();
    EXPECT_EQ(stopped, 2);
}

TEST_F(TimerEvent, FailingHandlerIsReportedAndLaterRunsStillFire) {
    event_.OnSchedule = [this](TScheduledEvent&) {
        ++fires_;
        throw std::runtime_error("handler failed");
    };
    event_.Schedule.SetCronString("0 * * * * * *");
    ASSERT_TRUE(event_.Run(false));
    const std::uint32_t reported = platform::ReportedFailureCount();
    Advance(10 * kMinute);  // catches up with the run at 11:51 (others missed)
    Advance(kMinute);
    EXPECT_EQ(fires_, 2);
    EXPECT_EQ(platform::ReportedFailureCount(), reported + 2);
}

TEST_F(TimerEvent, MissingHandlerIsReportedWhenTheRunIsDue) {
    event_.OnSchedule = nullptr;
    event_.Schedule.SetCronString("0 0 12 * * * *");
    ASSERT_TRUE(event_.Run(false));
    const std::uint32_t reported = platform::ReportedFailureCount();
    Advance(5 * kMinute);
    EXPECT_EQ(platform::ReportedFailureCount(), reported);
    Advance(5 * kMinute);
    EXPECT_EQ(platform::ReportedFailureCount(), reported + 1);
    EXPECT_FALSE(event_.Thread()->Timer->Enabled());  // the schedule stays off
}

TEST_F(TimerEvent, RunAnswersFalseWithoutANextRunAndTypeIsFixedWhileRunning) {
    event_.Schedule.SetCronString("0 0 0 1 1 * 2020");
    EXPECT_FALSE(event_.Run(false));
    EXPECT_FALSE(event_.Running());
    event_.SetSignalType(TSignalType::kTimer);  // allowed while not running

    event_.Schedule.SetCronString("0 0 12 * * * *");
    ASSERT_TRUE(event_.Run(false));
    try {
        event_.SetSignalType(TSignalType::kWorkerThread);
        FAIL();
    } catch (const ScheduleError& e) {
        EXPECT_STREQ(e.what(), "Cannot change signaling type while running");
    }
    event_.Stop();
    EXPECT_FALSE(event_.Running());
    Advance(20 * kMinute);
    EXPECT_EQ(fires_, 0);
}

TEST_F(TimerEvent, FirstRunFiresAtTheFirstTick) {
    event_.Schedule.SetCronString("0 0 12 * * * *");
    ASSERT_TRUE(event_.Run(true));
    Advance(5 * kMinute);
    EXPECT_EQ(fires_, 1);
    Advance(5 * kMinute);
    EXPECT_EQ(fires_, 2);
}

// What the queue controller does on a reload: a handler stops and frees every event, itself
// included, and registers new ones, all inside the tick that fired it.
TEST_F(TimerEvent, HandlerMayFreeItsOwnEventAndRegisterNewOnes) {
    std::vector<std::unique_ptr<TScheduledEvent>> events;
    int new_fires = 0;
    auto add = [&](const char* cron, TScheduledEvent::Handler handler) {
        auto& event = events.emplace_back(std::make_unique<TScheduledEvent>("reloadable"));
        event->SetSignalType(TSignalType::kTimer);
        event->OnSchedule = std::move(handler);
        event->Schedule.SetCronString(cron);
        ASSERT_TRUE(event->Run(false));
    };
    add("0 0 12 * * * *", [&](TScheduledEvent&) {
        events.clear();
        add("0 0 13 * * * *", [&](TScheduledEvent&) { ++new_fires; });
    });
    add("0 0 12 * * * *", [&](TScheduledEvent&) { ++new_fires; });  // due in the same dispatch
    Advance(5 * kMinute);
    Advance(5 * kMinute);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(new_fires, 0);
    Advance(30 * kMinute);
    Advance(30 * kMinute);
    EXPECT_EQ(new_fires, 1);
}

// A single run today at 12:00: the thread types end their loop after firing it and then call
// OnLastRun from the schedule thread.
class LastRunEvent : public ::testing::Test {
   protected:
    platform::FakeClock clock_{5'000'000, LocalMs("2026-03-01T11:59:59")};
    platform::ScopedFakeClock installed_{clock_};
    TScheduledEvent event_{"last run"};
    std::mutex mutex_;
    std::condition_variable changed_;
    int fires_ = 0;
    int last_runs_ = 0;
    int stops_ = 0;

    void Prepare(TSignalType type) {
        event_.SetSignalType(type);
        event_.OnSchedule = [this](TScheduledEvent&) { Count(fires_); };
        event_.OnStop = [this](TScheduledEvent&) { Count(stops_); };
        event_.Schedule.SetCronString("0 0 12 1 3 * 2026");
    }
    void Count(int& counter) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++counter;
        changed_.notify_all();
    }
    // Passes the run time and waits (handling this thread's messages) for `counter` to reach
    // `value`; false after ten seconds.
    bool ReachLastRun(int& counter, int value) {
        clock_.Advance(1500);
        for (int i = 0; i < 500; ++i) {
            platform::WaitAndDispatchMessages(20);
            std::lock_guard<std::mutex> lock(mutex_);
            if (counter >= value) return true;
        }
        return false;
    }
};

class LastRunStop : public LastRunEvent, public ::testing::WithParamInterface<TSignalType> {};

TEST_P(LastRunStop, StopFromTheNotificationEndsTheEventOnce) {
    Prepare(GetParam());
    event_.OnLastRun = [this](TScheduledEvent& event) {
        event.Stop();
        Count(last_runs_);
    };
    ASSERT_TRUE(event_.Run(false));
    ASSERT_TRUE(ReachLastRun(last_runs_, 1));
    EXPECT_FALSE(event_.Running());
    event_.Stop();
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(stops_, 1);
}

// The worker type, as a restarted window type would get its window on the ending thread. The
// last run's worker may fire before or after the restart (or not at all, when the restart's stop
// comes first), so the new schedule is judged by a run after the restart: it fires every second.
TEST_F(LastRunEvent, RestartFromTheNotificationRunsTheNewSchedule) {
    Prepare(TSignalType::kWorkerThread);
    event_.OnLastRun = [this](TScheduledEvent& event) {
        event.Schedule.SetCronString("* * * * * * *");
        EXPECT_TRUE(event.Run(true));
        Count(last_runs_);
    };
    ASSERT_TRUE(event_.Run(false));
    ASSERT_TRUE(ReachLastRun(last_runs_, 1));
    int fires_before = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fires_before = fires_;
    }
    ASSERT_TRUE(ReachLastRun(fires_, fires_before + 1));  // a later second of the new schedule
    EXPECT_TRUE(event_.Running());
    event_.Stop();
    EXPECT_FALSE(event_.Running());
}

INSTANTIATE_TEST_SUITE_P(ThreadTypes, LastRunStop,
                         ::testing::Values(TSignalType::kWorkerThread,
                                           TSignalType::kWindowMessage));

TEST(ThreadEventStop, TwoThreadsStoppingAtOnceTearDownOnce) {
    for (int round = 0; round < 20; ++round) {
        std::atomic<int> stops{0};
        TScheduledEvent event("stopped twice");
        event.SetSignalType(TSignalType::kWorkerThread);
        event.OnSchedule = [](TScheduledEvent&) {};
        event.OnStop = [&](TScheduledEvent&) { ++stops; };
        event.Schedule.SetCronString("0 0 12 * * * *");
        ASSERT_TRUE(event.Run(false));
        std::atomic<bool> go{false};
        auto stop = [&] {
            while (!go) std::this_thread::yield();
            event.Stop();
            EXPECT_FALSE(event.Running());
        };
        std::thread first(stop);
        std::thread second(stop);
        go = true;
        first.join();
        second.join();
        EXPECT_EQ(stops, 1);
    }
}

// The worker type fires on a thread of its own: what its handler and notifications do to their
// own event (free it, stop it, restart it) must not wait for that very thread, nor touch the
// event once it is gone.
enum class WorkerAction { kFree, kStop, kRestart, kFreeAtRunLimit, kFreeFromOnStop };

struct WorkerCase {
    const char* name;
    WorkerAction action;
};

const WorkerCase kWorkerCases[] = {
    {"the handler frees its own event", WorkerAction::kFree},
    {"the handler stops its own event", WorkerAction::kStop},
    {"the handler restarts its own event, which fires again", WorkerAction::kRestart},
    {"the run-limit notification frees the event", WorkerAction::kFreeAtRunLimit},
    {"the stop notification of the handler's own stop frees the event",
     WorkerAction::kFreeFromOnStop},
};

TEST(WorkerEvent, HandlerAndNotificationsMayFreeStopOrRestartTheirOwnEvent) {
    for (const auto& c : kWorkerCases) {
        SCOPED_TRACE(c.name);
        std::mutex mutex;
        std::condition_variable changed;
        int fires = 0;
        int stops = 0;
        bool done = false;
        const auto finish = [&] {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
            changed.notify_all();
        };
        auto owned = std::make_unique<TScheduledEvent>("worker");
        TScheduledEvent* event = owned.get();
        event->SetSignalType(TSignalType::kWorkerThread);
        event->Schedule.SetCronString("0 0 12 * * * *");
        event->OnStop = [&](TScheduledEvent& self) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                ++stops;
            }
            if (c.action == WorkerAction::kFreeFromOnStop) delete &self;
        };
        if (c.action == WorkerAction::kFreeAtRunLimit) {
            event->RunLimit = 1;
            event->OnRunLimit = [&](TScheduledEvent& self) {
                delete &self;
                finish();
            };
        }
        event->OnSchedule = [&](TScheduledEvent& self) {
            int fired = 0;
            {
                std::lock_guard<std::mutex> lock(mutex);
                fired = ++fires;
            }
            switch (c.action) {
                case WorkerAction::kFree:
                    delete &self;
                    break;
                case WorkerAction::kStop:
                case WorkerAction::kFreeFromOnStop:
                    self.Stop();
                    break;
                case WorkerAction::kRestart:
                    // The restarted event fires once more at once (first run), then is left.
                    if (fired == 1) {
                        EXPECT_TRUE(self.Run(true));
                        return;
                    }
                    break;
                case WorkerAction::kFreeAtRunLimit:
                    return;  // the notification finishes
            }
            finish();
        };
        const bool frees = c.action == WorkerAction::kFree ||
                           c.action == WorkerAction::kFreeAtRunLimit ||
                           c.action == WorkerAction::kFreeFromOnStop;
        if (frees) owned.release();  // the event's own code frees it
        ASSERT_TRUE(event->Run(true));
        {
            std::unique_lock<std::mutex> lock(mutex);
            ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return done; }));
        }
        if (!frees) {
            event->Stop();
            EXPECT_FALSE(event->Running());
            owned.reset();
        }
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(fires, c.action == WorkerAction::kRestart ? 2 : 1);
        if (c.action == WorkerAction::kStop || c.action == WorkerAction::kFreeFromOnStop) {
            EXPECT_EQ(stops, 1);
        }
    }
}

// The wait of the thread types after one pass, from the schedule and the time of the pass.
struct WaitCase {
    const char* name;
    const char* cron;
    const char* setup_time;  // when the schedule computes its next run
    const char* pass_time;
    std::uint64_t expected_wait;
};

const WaitCase kWaitCases[] = {
    {"a run 50 ms ahead is not waited for below the 50 ms minimum", "* * * * * * *",
     "2026-03-01T12:00:00", "2026-03-01T12:00:01.950", 50},
    {"half the time to the next run after a fire", "* * * * * * *", "2026-03-01T12:00:00",
     "2026-03-01T12:00:01", 500},
    {"half of 23 hours to tomorrow's run", "0 0 12 * * * *", "2026-03-01T13:00:00",
     "2026-03-01T13:00:00", 41'400'000},
    {"waits are capped at a day", "0 0 12 4 3 * *", "2026-03-01T13:00:00", "2026-03-01T13:00:00",
     86'400'000},
};

TEST(ScheduleThreadPass, ClampsTheWaitBetween50MsAndADay) {
    for (const auto& c : kWaitCases) {
        SCOPED_TRACE(c.name);
        platform::FakeClock clock(1000, LocalMs(c.setup_time));
        platform::ScopedFakeClock installed(clock);
        TScheduledEvent event("wait");
        event.SetSignalType(TSignalType::kTimer);  // fires in the pass itself
        event.OnSchedule = [](TScheduledEvent&) {};
        event.Schedule.SetCronString(c.cron);
        clock.SetLocalMs(LocalMs(c.pass_time));
        TScheduleThread thread(event, /*use_timer=*/false, false, nullptr, nullptr);
        EXPECT_TRUE(thread.Pass());
        EXPECT_EQ(thread.WaitMs, c.expected_wait);
    }
}

// The thread types with real threads: they fire at once on the first run, and the checks are
// about where the handler runs and that Stop ends everything.
class ThreadEvent : public ::testing::Test {
   protected:
    std::mutex mutex_;
    std::condition_variable fired_changed_;
    int fires_ = 0;
    std::uint32_t fire_thread_ = 0;

    void Attach(TScheduledEvent& event) {
        event.OnSchedule = [this](TScheduledEvent&) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++fires_;
            fire_thread_ = platform::CurrentThreadId();
            fired_changed_.notify_all();
        };
    }
    bool WaitForFire() {
        std::unique_lock<std::mutex> lock(mutex_);
        return fired_changed_.wait_for(lock, std::chrono::seconds(10),
                                       [this] { return fires_ > 0; });
    }
};

TEST_F(ThreadEvent, WorkerThreadTypeFiresOnAnotherThread) {
    TScheduledEvent event("worker");
    event.SetSignalType(TSignalType::kWorkerThread);
    Attach(event);
    event.Schedule.SetCronString("0 0 12 * * * *");
    ASSERT_TRUE(event.Run(true));
    ASSERT_TRUE(WaitForFire());
    event.Stop();
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(fires_, 1);
    EXPECT_NE(fire_thread_, platform::CurrentThreadId());
}

TEST_F(ThreadEvent, WindowMessageTypeFiresOnTheStartingThread) {
    TScheduledEvent event("window");
    Attach(event);  // the default type posts to the event's window
    event.Schedule.SetCronString("0 0 12 * * * *");
    ASSERT_TRUE(event.Run(true));
    for (int i = 0; i < 500; ++i) {
        platform::WaitAndDispatchMessages(20);
        std::lock_guard<std::mutex> lock(mutex_);
        if (fires_ > 0) break;
    }
    event.Stop();
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(fires_, 1);
    EXPECT_EQ(fire_thread_, platform::CurrentThreadId());
}

TEST(TIntervalMeter, MeasuresMillisecondsOnThePerformanceCounter) {
    platform::FakeClock clock(1000, 0);
    platform::ScopedFakeClock installed(clock);
    TIntervalMeter meter;
    meter.Start();
    clock.Advance(1234);
    EXPECT_EQ(meter.ElapsedMs(), 1234);
}

}  // namespace
}  // namespace zol::scheduler
