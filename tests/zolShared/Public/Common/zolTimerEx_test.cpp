#include "zolShared/Public/Common/zolTimerEx.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/crash_report.h"
#include "platform/fake_clock.h"
#include "platform/message_window.h"
#include "platform/native/message_window_native.h"
#include "platform/system.h"
#include "zolShared/Public/Common/zolRoundTimer.h"

namespace zol::common {
namespace {

using platform::DispatchPendingMessages;

class TimerTest : public ::testing::Test {
   protected:
    platform::FakeClock clock_{1'000'000, 0};
    platform::ScopedFakeClock installed_{clock_};

    // Advances the fake clock and lets this thread handle what became due.
    void Advance(std::uint64_t ms) {
        clock_.Advance(ms);
        DispatchPendingMessages();
    }
};

// Each row leaves one condition for an OS timer unmet; supplying it starts the timer.
struct MissingPiece {
    const char* name;
    void (*withhold)(TzolTimerEx&);
    void (*supply)(TzolTimerEx&, int&);
};

void CountTicks(TzolTimerEx& t, int& ticks) {
    t.SetOnTimer([&ticks](TzolTimerEx&) { ++ticks; });
}

const MissingPiece kMissingPieces[] = {
    {"interval 0", [](TzolTimerEx& t) { t.SetInterval(0); },
     [](TzolTimerEx& t, int&) { t.SetInterval(100); }},
    {"disabled", [](TzolTimerEx& t) { t.SetEnabled(false); },
     [](TzolTimerEx& t, int&) { t.SetEnabled(true); }},
    {"no handler", [](TzolTimerEx&) {}, [](TzolTimerEx& t, int& ticks) { CountTicks(t, ticks); }},
};

TEST_F(TimerTest, RunsOnlyWithIntervalEnabledAndHandler) {
    for (const auto& c : kMissingPieces) {
        SCOPED_TRACE(c.name);
        int ticks = 0;
        TzolTimerEx timer;
        EXPECT_TRUE(timer.Enabled());
        EXPECT_EQ(timer.Interval(), 1000u);
        timer.SetInterval(100);
        c.withhold(timer);
        if (std::string(c.name) != "no handler") CountTicks(timer, ticks);
        EXPECT_FALSE(timer.TimerRunning());
        Advance(1000);
        EXPECT_EQ(ticks, 0);
        c.supply(timer, ticks);
        EXPECT_TRUE(timer.TimerRunning());
        Advance(99);
        EXPECT_EQ(ticks, 0);
        Advance(1);
        EXPECT_EQ(ticks, 1);
    }
}

TEST_F(TimerTest, LateDispatchGivesOneTickAndTheNextIntervalCountsFromIt) {
    int ticks = 0;
    TzolTimerEx timer;
    timer.SetInterval(100);
    CountTicks(timer, ticks);
    Advance(350);
    EXPECT_EQ(ticks, 1);
    Advance(99);
    EXPECT_EQ(ticks, 1);
    Advance(1);
    EXPECT_EQ(ticks, 2);
    // A new interval restarts the count from now.
    timer.SetInterval(500);
    Advance(499);
    EXPECT_EQ(ticks, 2);
    Advance(1);
    EXPECT_EQ(ticks, 3);
}

TEST_F(TimerTest, HandlerExceptionIsReportedAndTheTimerGoesOn) {
    int ticks = 0;
    TzolTimerEx timer;
    timer.SetInterval(10);
    timer.SetOnTimer([&](TzolTimerEx&) {
        ++ticks;
        throw std::runtime_error("tick failed");
    });
    const std::uint32_t reported = platform::ReportedFailureCount();
    Advance(10);
    Advance(10);
    EXPECT_EQ(ticks, 2);
    EXPECT_EQ(platform::ReportedFailureCount(), reported + 2);
}

TEST_F(TimerTest, HandlerMayFreeItsOwnTimer) {
    TzolTimerEx* timer = new TzolTimerEx;
    int ticks = 0;
    timer->SetInterval(10);
    timer->SetOnTimer([&](TzolTimerEx&) {
        ++ticks;
        FreeTimer(timer);
    });
    Advance(10);
    Advance(10);
    EXPECT_EQ(ticks, 1);
    EXPECT_EQ(timer, nullptr);
}

TEST_F(TimerTest, OwnerDestroysTheTimer) {
    Component owner;
    auto* timer = new TzolTimerEx(&owner);
    EXPECT_EQ(owner.ComponentCount(), 1u);
    FreeTimer(timer);
    EXPECT_EQ(owner.ComponentCount(), 0u);
    FreeTimer(timer);  // a cleared reference is left alone
}

TEST_F(TimerTest, TicksOnlyOnTheCreatingThread) {
    std::atomic<int> ticks{0};
    std::uint32_t tick_thread = 0;
    TzolTimerEx timer;
    EXPECT_EQ(timer.OwnerThread(), platform::CurrentThreadId());
    timer.SetInterval(10);
    timer.SetOnTimer([&](TzolTimerEx&) {
        ++ticks;
        tick_thread = platform::CurrentThreadId();
    });
    clock_.Advance(10);
    std::thread other([] { DispatchPendingMessages(); });
    other.join();
    EXPECT_EQ(ticks, 0);
    DispatchPendingMessages();
    EXPECT_EQ(ticks, 1);
    EXPECT_EQ(tick_thread, platform::CurrentThreadId());
}

TEST_F(TimerTest, DisableFromAnotherThreadIsAppliedByTheOwnerThread) {
    int ticks = 0;
    TzolTimerEx timer;
    timer.SetInterval(10);
    CountTicks(timer, ticks);
    std::thread other([&] { timer.SetEnabled(false); });
    other.join();  // returned without the owner thread dispatching anything
    EXPECT_TRUE(timer.Enabled());
    clock_.Advance(10);
    DispatchPendingMessages();  // handles the change first, so the due tick is gone
    EXPECT_FALSE(timer.Enabled());
    EXPECT_FALSE(timer.TimerRunning());
    Advance(100);
    EXPECT_EQ(ticks, 0);

    std::thread enable([&] { timer.SetEnabled(true); });
    enable.join();
    DispatchPendingMessages();
    EXPECT_TRUE(timer.TimerRunning());
    Advance(10);
    EXPECT_EQ(ticks, 1);
}

// Threads that deliver packets ask for the same state again and again: only a change reaches the
// owner thread, and when requests cross, the owner applies the one made last.
TEST_F(TimerTest, RequestsFromOtherThreadsSendOnlyChangesAndTheLastOneWins) {
    TzolTimerEx timer;
    timer.SetInterval(10);
    std::thread repeat([&] {
        for (int i = 0; i < 5; ++i) timer.SetEnabled(false);
    });
    repeat.join();
    EXPECT_EQ(DispatchPendingMessages(), 1u);
    EXPECT_FALSE(timer.Enabled());

    std::thread cross([&] {
        timer.SetEnabled(true);
        timer.SetEnabled(false);
        timer.SetEnabled(true);
    });
    cross.join();
    DispatchPendingMessages();
    EXPECT_TRUE(timer.Enabled());

    // A request of another thread still waiting does not undo the owner's own later change.
    std::thread disable([&] { timer.SetEnabled(false); });
    disable.join();
    timer.SetEnabled(true);
    DispatchPendingMessages();
    EXPECT_TRUE(timer.Enabled());
}

// An extra tick asked for (from any thread) runs once at the owner's next dispatch, however often
// it was asked, never inside the caller; the timer's own ticks keep their times; a timer stopped
// in between gets no extra tick.
TEST_F(TimerTest, RequestedTicksRunOnceAtTheNextDispatch) {
    int ticks = 0;
    TzolTimerEx timer;
    timer.SetInterval(100);
    CountTicks(timer, ticks);
    std::thread other([&] {
        timer.RequestTick();
        timer.RequestTick();
    });
    other.join();
    timer.RequestTick();
    EXPECT_EQ(ticks, 0);
    DispatchPendingMessages();
    EXPECT_EQ(ticks, 1);
    Advance(100);
    EXPECT_EQ(ticks, 2);
    timer.RequestTick();
    timer.SetEnabled(false);
    DispatchPendingMessages();
    EXPECT_EQ(ticks, 2);
}

TEST_F(TimerTest, DestructionFromAnotherThreadWaitsForTheOwnerThread) {
    std::atomic<int> ticks{0};
    std::atomic<bool> destroyed{false};
    auto* timer = new TzolTimerEx;
    timer->SetInterval(10);
    timer->SetOnTimer([&](TzolTimerEx&) { ++ticks; });
    std::thread other([&] {
        delete timer;
        destroyed = true;
    });
    // The owner thread keeps handling messages until the other thread is done with the timer.
    while (!destroyed) platform::WaitAndDispatchMessages(5);
    other.join();
    const int before = ticks;
    Advance(1000);
    EXPECT_EQ(ticks, before);
}

// UNLOAD destroys a timer while holding the command lock, and the timer's tick on the owner
// thread waits for that lock: the destruction gives up after its bounded wait and reports it,
// and the tick, once it gets the lock, finishes without touching the freed timer.
TEST_F(TimerTest, DestructionFromAnotherThreadGivesUpOnATickWaitingForItsLock) {
    std::mutex command_lock;
    std::unique_lock<std::mutex> held(command_lock);
    std::atomic<TzolTimerEx*> timer{nullptr};
    std::atomic<bool> in_tick{false};
    std::atomic<bool> tick_done{false};
    std::atomic<bool> destroyed{false};
    std::thread owner([&] {
        auto* created = new TzolTimerEx;
        created->SetInterval(10);
        created->SetOnTimer([&](TzolTimerEx&) {
            in_tick = true;
            std::lock_guard<std::mutex> lock(command_lock);
            tick_done = true;
        });
        timer = created;
        // Handles the tick, and afterwards the messages the destruction left behind.
        while (!tick_done || !destroyed) platform::WaitAndDispatchMessages(5);
        DispatchPendingMessages();
    });
    while (timer == nullptr) std::this_thread::yield();
    clock_.Advance(10);
    while (!in_tick) std::this_thread::yield();
    const std::uint32_t reported = platform::ReportedFailureCount();
    delete timer.load();
    destroyed = true;
    EXPECT_EQ(platform::ReportedFailureCount(), reported + 1);
    held.unlock();
    owner.join();
    EXPECT_TRUE(tick_done);
}

// Sets the calling thread's timer quota for one scope: a system whose timers are used up.
class ScopedTimerQuota {
   public:
    explicit ScopedTimerQuota(std::size_t quota) { platform::native::SetThreadTimerQuota(quota); }
    ~ScopedTimerQuota() {
        platform::native::SetThreadTimerQuota(platform::native::kUnlimitedTimers);
    }
    ScopedTimerQuota(const ScopedTimerQuota&) = delete;
    ScopedTimerQuota& operator=(const ScopedTimerQuota&) = delete;
};

// A timer the system refuses is reported and stays disabled, so that the next enable, from the
// owner thread or from another one, asks the system again.
TEST_F(TimerTest, RefusedTimerStaysDisabledAndTheNextEnableTriesAgain) {
    int ticks = 0;
    TzolTimerEx timer;
    timer.SetEnabled(false);
    timer.SetInterval(10);
    CountTicks(timer, ticks);
    {
        ScopedTimerQuota used_up(0);
        EXPECT_THROW(timer.SetEnabled(true), OutOfResourcesError);
        EXPECT_FALSE(timer.Enabled());
        EXPECT_FALSE(timer.TimerRunning());
    }
    timer.SetEnabled(true);
    EXPECT_TRUE(timer.TimerRunning());
    Advance(10);
    EXPECT_EQ(ticks, 1);

    timer.SetEnabled(false);
    const std::uint32_t reported = platform::ReportedFailureCount();
    {
        ScopedTimerQuota used_up(0);
        std::thread enable([&] { timer.SetEnabled(true); });
        enable.join();
        DispatchPendingMessages();  // the owner thread applies the request and is refused
    }
    EXPECT_EQ(platform::ReportedFailureCount(), reported + 1);
    EXPECT_FALSE(timer.Enabled());
    std::thread again([&] { timer.SetEnabled(true); });
    again.join();
    DispatchPendingMessages();
    EXPECT_TRUE(timer.TimerRunning());
    Advance(10);
    EXPECT_EQ(ticks, 2);
}

// Timers of a home: a hundred queues' timers, made on the home thread and elsewhere and started
// at scattered times, share the home's one OS timer (the thread's quota of one would refuse a
// second) and tick on its grid, each once per interval; a stopped one stops.
TEST_F(TimerTest, TimersOfAHomeShareOneOsTimer) {
    ScopedTimerQuota one(1);
    TimerHome home;
    constexpr int kTimers = 100;
    std::vector<int> ticks(kTimers, 0);
    std::vector<std::unique_ptr<TzolTimerEx>> timers(kTimers);
    auto make = [&](int i) {
        timers[i] =
            std::make_unique<TzolTimerEx>(home, 50, [&ticks, i](TzolTimerEx&) { ++ticks[i]; });
    };
    std::thread other([&] {
        for (int i = 0; i < kTimers; i += 2) make(i);
    });
    other.join();
    for (int i = 1; i < kTimers; i += 2) make(i);
    EXPECT_EQ(home.TimerCount(), static_cast<std::size_t>(kTimers));
    for (int i = 0; i < kTimers; ++i) {
        if (i % 10 == 0) clock_.Advance(3);
        if (i % 2 == 0) {
            std::thread enable([&] { timers[i]->SetEnabled(true); });
            enable.join();
        } else {
            timers[i]->SetEnabled(true);
        }
    }
    DispatchPendingMessages();
    EXPECT_TRUE(home.OsTimerSet());
    for (int step = 0; step < 40; ++step) Advance(10);  // 400 ms: eight intervals each
    for (int i = 0; i < kTimers; ++i) EXPECT_EQ(ticks[i], 8) << "timer " << i;
    timers[7]->SetEnabled(false);
    for (int step = 0; step < 10; ++step) Advance(10);
    EXPECT_EQ(ticks[7], 8);
    EXPECT_EQ(ticks[8], 10);
    for (auto& timer : timers) FreeTimer(timer);
    Advance(50);
    EXPECT_FALSE(home.OsTimerSet());
    EXPECT_EQ(home.TimerCount(), 0u);
}

// In one run of a home's timers a handler may free itself and a timer due after it, and a
// handler that asks for its own tick again gets it at the next dispatch, not in a loop. Timers
// may outlive their home: they no longer tick.
TEST_F(TimerTest, HomeTimersMayBeFreedAndAskedForTicksFromTheirHandlers) {
    auto home = std::make_unique<TimerHome>();
    int first_ticks = 0, second_ticks = 0, eager_ticks = 0;
    TzolTimerEx* second = nullptr;
    auto* first = new TzolTimerEx(*home, 20, [&](TzolTimerEx& self) {
        ++first_ticks;
        delete second;
        second = nullptr;
        delete &self;
    });
    second = new TzolTimerEx(*home, 20, [&](TzolTimerEx&) { ++second_ticks; });
    TzolTimerEx eager(*home, 20, [&](TzolTimerEx& self) {
        ++eager_ticks;
        self.RequestTick();
    });
    first->SetEnabled(true);
    second->SetEnabled(true);
    eager.SetEnabled(true);
    Advance(20);
    EXPECT_EQ(first_ticks, 1);
    EXPECT_EQ(second_ticks, 0);
    EXPECT_EQ(eager_ticks, 1);
    DispatchPendingMessages();
    EXPECT_EQ(eager_ticks, 2);
    EXPECT_EQ(home->TimerCount(), 1u);
    home.reset();
    Advance(100);
    EXPECT_EQ(eager_ticks, 2);
}

// Freed from another thread while its tick runs, a home's timer waits for the tick to end.
TEST_F(TimerTest, HomeTimerFreedFromAnotherThreadWaitsForItsTick) {
    TimerHome home;
    std::atomic<bool> in_tick{false}, tick_done{false}, destroyed{false};
    auto* timer = new TzolTimerEx(home, 10, [&](TzolTimerEx&) {
        in_tick = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        tick_done = true;
    });
    timer->SetEnabled(true);
    std::thread other([&] {
        while (!in_tick) std::this_thread::yield();
        delete timer;
        EXPECT_TRUE(tick_done);
        destroyed = true;
    });
    clock_.Advance(10);
    while (!destroyed) platform::WaitAndDispatchMessages(5);
    other.join();
}

// A handler that runs a message loop (a host that pumps messages inside its entry points) lets
// another timer of the home tick inside its own tick. Freed from another thread once that nested
// tick is over, the outer timer still waits for its own tick to end.
TEST_F(TimerTest, HomeTimerFreedFromAnotherThreadWaitsForItsTickPastNestedTicks) {
    TimerHome home;
    std::atomic<bool> nested_done{false}, deleting{false}, outer_done{false}, destroyed{false};
    TzolTimerEx* inner = nullptr;
    bool inside = false;  // nested ticks of the outer timer itself end at once
    auto* outer = new TzolTimerEx(home, 10, [&](TzolTimerEx&) {
        if (inside || nested_done) return;
        inside = true;
        // The host's message loop: time passes and the other timer ticks in here.
        while (!nested_done) Advance(10);
        while (!deleting) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        outer_done = true;
    });
    inner = new TzolTimerEx(home, 10, [&](TzolTimerEx&) { nested_done = true; });
    outer->SetEnabled(true);
    std::thread other([&] {
        while (!nested_done) std::this_thread::yield();
        deleting = true;
        delete outer;
        EXPECT_TRUE(outer_done);
        destroyed = true;
    });
    inner->SetEnabled(true);
    while (!destroyed) Advance(10);
    other.join();
    delete inner;
}

// Round timers: periodic jobs of one thread and interval sharing one timer.
using RoundTimerTest = TimerTest;

// Jobs of one round run together while enabled; one that throws is reported and the others
// still run; a round whose jobs are all disabled goes quiet and comes back when one is enabled.
TEST_F(RoundTimerTest, EnabledJobsRunEachTickOfTheirRound) {
    std::vector<int> runs(3, 0);
    std::vector<std::unique_ptr<TzolRoundTimer>> jobs;
    for (int i = 0; i < 3; ++i) {
        jobs.push_back(std::make_unique<TzolRoundTimer>(100, [&runs, i] {
            ++runs[i];
            if (i == 0) throw std::runtime_error("job failed");
        }));
    }
    Advance(300);
    EXPECT_EQ(runs, (std::vector<int>{0, 0, 0}));  // created disabled
    for (auto& job : jobs) job->SetEnabled(true);
    jobs[1]->SetEnabled(false);
    const std::uint32_t reported = platform::ReportedFailureCount();
    Advance(100);
    Advance(100);
    EXPECT_EQ(runs, (std::vector<int>{2, 0, 2}));
    EXPECT_EQ(platform::ReportedFailureCount(), reported + 2);

    jobs[0]->SetEnabled(false);
    jobs[2]->SetEnabled(false);
    Advance(100);  // the tick that finds nothing to do stops the round
    Advance(1000);
    EXPECT_EQ(runs, (std::vector<int>{2, 0, 2}));
    jobs[1]->SetEnabled(true);
    Advance(100);
    EXPECT_EQ(runs, (std::vector<int>{2, 1, 2}));
}

// A round whose timer the system refused runs when a job asks for it again: on the owner
// thread the refusal reaches the caller, from another thread (a data source's packets) it is
// reported and the job's next request tries again.
TEST_F(RoundTimerTest, RefusedRoundTimerIsAskedForAgainByTheNextEnable) {
    int runs = 0;
    TzolRoundTimer job(100, [&runs] { ++runs; });
    {
        ScopedTimerQuota used_up(0);
        EXPECT_THROW(job.SetEnabled(true), OutOfResourcesError);
        EXPECT_FALSE(job.Enabled());
    }
    job.SetEnabled(true);
    Advance(100);
    EXPECT_EQ(runs, 1);

    job.SetEnabled(false);
    Advance(100);  // the round goes quiet
    const std::uint32_t reported = platform::ReportedFailureCount();
    {
        ScopedTimerQuota used_up(0);
        std::thread packet([&] { job.SetEnabled(true); });
        packet.join();
        DispatchPendingMessages();
    }
    EXPECT_EQ(platform::ReportedFailureCount(), reported + 1);
    std::thread next_packet([&] { job.SetEnabled(true); });
    next_packet.join();
    DispatchPendingMessages();
    Advance(100);
    EXPECT_EQ(runs, 2);
}

// A round belongs to the thread that made it: a job of another thread with the same interval
// forms that thread's round and never runs on this one.
TEST_F(RoundTimerTest, JobsOfAnotherThreadKeepToThatThread) {
    std::atomic<int> here{0};
    std::atomic<int> there{0};
    std::atomic<bool> ready{false};
    std::atomic<bool> done{false};
    TzolRoundTimer mine(100, [&] { ++here; });
    std::thread other([&] {
        TzolRoundTimer theirs(100, [&] { ++there; });
        theirs.SetEnabled(true);
        ready = true;
        while (!done) std::this_thread::yield();
    });
    while (!ready) std::this_thread::yield();
    mine.SetEnabled(true);
    Advance(100);
    EXPECT_EQ(here, 1);
    EXPECT_EQ(there, 0);
    done = true;
    other.join();
}

// A job may free its own timer and another job of the round from inside its run; the freed
// job does not run afterwards, and a job made after the round emptied gets a working round.
TEST_F(RoundTimerTest, JobsMayFreeThemselvesAndEachOtherInTheirRun) {
    int first_runs = 0;
    int second_runs = 0;
    std::unique_ptr<TzolRoundTimer> first;
    std::unique_ptr<TzolRoundTimer> second;
    first = std::make_unique<TzolRoundTimer>(50, [&] {
        ++first_runs;
        second.reset();
        first.reset();
    });
    second = std::make_unique<TzolRoundTimer>(50, [&] { ++second_runs; });
    first->SetEnabled(true);
    second->SetEnabled(true);
    Advance(50);
    Advance(50);
    EXPECT_EQ(first_runs, 1);
    EXPECT_EQ(second_runs, 0);

    int later_runs = 0;
    TzolRoundTimer later(50, [&] { ++later_runs; });
    later.SetEnabled(true);
    Advance(50);
    EXPECT_EQ(later_runs, 1);
}

// Freeing a job from another thread while it runs on the owner thread waits for the run to end:
// what the job touches is still there until it returns.
TEST_F(RoundTimerTest, FreeingFromAnotherThreadWaitsForARunInProgress) {
    std::atomic<bool> in_run{false};
    std::atomic<bool> freed{false};
    std::atomic<bool> freed_during_run{false};
    TzolRoundTimer* job = nullptr;
    job = new TzolRoundTimer(100, [&] {
        in_run = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        freed_during_run = freed.load();
    });
    job->SetEnabled(true);
    std::thread other([&] {
        while (!in_run) std::this_thread::yield();
        delete job;
        freed = true;
    });
    Advance(100);
    other.join();
    EXPECT_FALSE(freed_during_run);
    EXPECT_TRUE(freed);
}

}  // namespace
}  // namespace zol::common
