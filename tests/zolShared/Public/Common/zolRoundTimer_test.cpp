#include "zolShared/Public/Common/zolRoundTimer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/crash_report.h"
#include "platform/fake_clock.h"
#include "platform/message_window.h"

namespace zol::common {
namespace {

using platform::DispatchPendingMessages;

class RoundTimerTest : public ::testing::Test {
   protected:
    platform::FakeClock clock_{1'000'000, 0};
    platform::ScopedFakeClock installed_{clock_};

    void Advance(std::uint64_t ms) {
        clock_.Advance(ms);
        DispatchPendingMessages();
    }
};

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
