#include "parser/parser_QueueController.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/fake_clock.h"
#include "platform/message_window.h"
#include "scheduler/cron_test_support.h"

namespace zol::parser {
namespace {

using scheduler::testing::LocalMs;

// A queue on a fake clock, ticking through its real timer: the test moves time and lets this
// thread handle its timer messages, as the plug-in's thread would.
class Queue : public ::testing::Test {
   protected:
    platform::FakeClock clock_{1'000'000, LocalMs("2026-03-01T11:59:00")};
    platform::ScopedFakeClock installed_{clock_};
    TQueueControllerTimer queue_;
    std::vector<std::string> sent_;  // "name@ms since the start"
    std::uint64_t start_ = clock_.ReadTick();
    bool accept_ = true;
    std::uint32_t response_timeout_ = 0;
    bool answer_ = true;  // every accepted send is answered at once

    void SetUp() override {
        queue_.OnSendRequest = [this](TQueueController&, TBasicRequestItem& item,
                                      std::uint32_t& timeout, std::int32_t&) {
            sent_.push_back(item.Name + "@" + std::to_string(clock_.ReadTick() - start_));
            timeout = response_timeout_;
            return accept_;
        };
    }
    TBasicRequestItem& Add(const std::string& name, TRequestMethod method,
                           std::int32_t interval = 1000) {
        auto item = std::make_unique<TBasicRequestItem>();
        item->Name = name;
        item->Enabled = true;
        item->Method = item->MethodParams.Method = method;
        item->PollInterval = interval;
        TBasicRequestItem& added = *item;
        queue_.Requests.Add(std::move(item));
        return added;
    }
    // Moves the clock 1 ms at a time so every tick happens when the timer would make it.
    void Run(std::uint64_t ms) {
        for (std::uint64_t i = 0; i < ms; ++i) {
            clock_.Advance(1);
            platform::DispatchPendingMessages();
            if (answer_ && queue_.Current != nullptr && queue_.ResponseTimeout.IsClear()) {
                queue_.ReleaseCurrent(1);
                queue_.Current = nullptr;
            }
        }
    }
};

TEST_F(Queue, TicksOnlyWhileItHoldsRequests) {
    queue_.ResetSchedule();
    EXPECT_FALSE(queue_.Timer->Enabled());
    Add("A", TRequestMethod::rmPoll);
    queue_.ResetSchedule();
    EXPECT_TRUE(queue_.Timer->Enabled());
    EXPECT_EQ(queue_.Timer->Interval(), 50u);
}

TEST_F(Queue, TickIntervalFollowsTheShortestPollDownToTheTimerFloor) {
    struct Case {
        std::int32_t poll;
        std::uint32_t tick;
    };
    for (const Case& c : {Case{20, 20}, Case{10000, 50}, Case{0, 10}, Case{-5, 50}}) {
        SCOPED_TRACE(c.poll);
        queue_.Requests.Clear();
        Add("A", TRequestMethod::rmPoll, c.poll);
        Add("B", TRequestMethod::rmOnce, 1);  // only polling requests count
        queue_.ResetSchedule();
        EXPECT_EQ(queue_.TickInterval, c.tick);
        EXPECT_EQ(queue_.Timer->Interval(), c.tick);
    }
}

// The timer runs on through a tick; a message loop inside the send handler (the host may run one)
// must not start another tick inside it, which would send a second request over the first.
TEST_F(Queue, AMessageLoopInsideATickStartsNoNestedTick) {
    Add("A", TRequestMethod::rmPoll, 0);
    Add("B", TRequestMethod::rmPoll, 0);
    int depth = 0;
    int deepest = 0;
    int sends = 0;
    queue_.OnSendRequest = [&](TQueueController&, TBasicRequestItem&, std::uint32_t&,
                               std::int32_t&) {
        deepest = std::max(deepest, ++depth);
        ++sends;
        clock_.Advance(50);
        platform::DispatchPendingMessages();
        --depth;
        return true;
    };
    queue_.ResetSchedule();
    Run(100);
    EXPECT_GT(sends, 2);
    EXPECT_EQ(deepest, 1);
    EXPECT_TRUE(queue_.Timer->TimerRunning());
}

TEST_F(Queue, DuePollsGoOutInListOrderAndResumeBehindTheLastSend) {
    Add("A", TRequestMethod::rmPoll, 1000);
    Add("B", TRequestMethod::rmPoll, 1000);
    Add("C", TRequestMethod::rmPoll, 1000);
    queue_.ResetSchedule();
    Run(1200);
    EXPECT_EQ(sent_,
              (std::vector<std::string>{"A@50", "B@100", "C@150", "A@1050", "B@1100", "C@1150"}));
}

// A request behind the resume position that is not due must not hold back the ones before it:
// a one-shot request at the end of the list, once done, would otherwise stop every poll.
TEST_F(Queue, ADoneOneShotRequestBehindAPollDoesNotStopThePolling) {
    Add("A", TRequestMethod::rmPoll, 200);
    Add("B", TRequestMethod::rmOnce);
    queue_.ResetSchedule();
    Run(1000);
    EXPECT_EQ(sent_,
              (std::vector<std::string>{"A@50", "B@100", "A@250", "A@450", "A@650", "A@850"}));
}

TEST_F(Queue, PendingRequestsGoOldestFirstAndTiesToTheEarlierOne) {
    TBasicRequestItem& a = Add("A", TRequestMethod::rmCron);
    TBasicRequestItem& b = Add("B", TRequestMethod::rmCron);
    TBasicRequestItem& c = Add("C", TRequestMethod::rmCron);
    queue_.ResetSchedule();
    a.LastSent = 30;
    b.LastSent = 20;
    c.LastSent = 20;
    a.Pending = b.Pending = c.Pending = true;
    Run(160);
    EXPECT_EQ(sent_, (std::vector<std::string>{"B@50", "C@100", "A@150"}));
}

TEST_F(Queue, MinIntervalSpacesSendsEvenWhenAnswersComeAtOnce) {
    queue_.MinInterval = 500;
    Add("A", TRequestMethod::rmPoll, 100);
    Add("B", TRequestMethod::rmPoll, 100);
    queue_.ResetSchedule();
    Run(1100);
    EXPECT_EQ(sent_, (std::vector<std::string>{"A@50", "B@550", "A@1050"}));
}

TEST_F(Queue, RefusedSendsAreOfferedMaxRetriesTimesThenWaitForTheNextTrigger) {
    accept_ = false;
    TBasicRequestItem& a = Add("A", TRequestMethod::rmEvent);
    a.MaxRetries = 3;
    queue_.ResetSchedule();
    a.Pending = true;
    Run(500);
    EXPECT_EQ(sent_, (std::vector<std::string>{"A@50", "A@100", "A@150"}));
    EXPECT_FALSE(a.Pending);
    EXPECT_EQ(a.RetryCount, 0);
    accept_ = true;
    queue_.HostEvent("other", false, nullptr);  // names another event: nothing happens
    Run(100);
    EXPECT_EQ(sent_.size(), 3u);
}

TEST_F(Queue, AResponseTimeoutRetriesAtOnceWhileAttemptsAreLeft) {
    answer_ = false;
    response_timeout_ = 300;
    TBasicRequestItem& a = Add("A", TRequestMethod::rmEvent);
    a.MaxRetries = 2;
    std::vector<bool> retries;
    queue_.OnRequestTimeout = [&](TQueueController&, TBasicRequestItem&, bool& retry) {
        retries.push_back(retry);
    };
    queue_.ResetSchedule();
    a.Pending = true;
    Run(1000);
    EXPECT_EQ(sent_, (std::vector<std::string>{"A@50", "A@350"}));
    EXPECT_EQ(retries, (std::vector<bool>{true, false}));
    EXPECT_EQ(queue_.Current, nullptr);
    EXPECT_EQ(a.RetryCount, 0);
    EXPECT_FALSE(a.Sent);
}

// While an answer is awaited the timer waits for its deadline instead of ticking; an answer
// handled on another thread (where the host delivers packets) brings the tick back at once, and
// an answer that never comes still times out on time.
TEST_F(Queue, AnAwaitedAnswerStopsTheTicksUntilItComesOrTimesOut) {
    answer_ = false;
    response_timeout_ = 2000;
    Add("A", TRequestMethod::rmPoll, 100);
    int timeouts = 0;
    queue_.OnRequestTimeout = [&](TQueueController&, TBasicRequestItem&, bool& retry) {
        ++timeouts;
        retry = false;
    };
    queue_.ResetSchedule();
    Run(50);
    EXPECT_EQ(queue_.Timer->Interval(), 2000u);
    for (int exchange = 0; exchange < 2; ++exchange) {
        Run(300);
        std::thread answer([&] {
            common::SharedSection list(queue_.Requests.Lock());
            auto state = queue_.LockExchange();
            queue_.ReleaseCurrent(1);
            queue_.Current = nullptr;
        });
        answer.join();
        Run(1);  // the tick comes with the next messages handled, not at the next 50 ms
    }
    EXPECT_EQ(sent_, (std::vector<std::string>{"A@50", "A@351", "A@652"}));
    Run(1999);
    EXPECT_EQ(timeouts, 0);
    Run(1);
    EXPECT_EQ(timeouts, 1);
    EXPECT_EQ(sent_.back(), "A@2652");
    // A reset asked for from another thread is not held back until the answer's deadline.
    std::thread reset([&] { queue_.ResetSchedule(); });
    reset.join();
    Run(11);
    EXPECT_EQ(queue_.ResetRequest.load(), 0);
    EXPECT_EQ(queue_.Timer->Interval(), 50u);
    // A busy queue skips the extra tick, but not the end of the wait.
    Run(50);
    EXPECT_GT(queue_.Timer->Interval(), 50u);
    queue_.Busy = true;
    queue_.ReleaseCurrent(1);
    queue_.Current = nullptr;
    Run(1);
    EXPECT_EQ(queue_.Timer->Interval(), 50u);
}

TEST_F(Queue, HostEventsMarkTheirRequestsAndPortOpenMakesPollsDue) {
    TBasicRequestItem& poll = Add("P", TRequestMethod::rmPoll, 60000);
    TBasicRequestItem& event = Add("E", TRequestMethod::rmEvent);
    event.MethodParams.Param = "Tariff";
    queue_.ResetSchedule();
    Run(120);
    EXPECT_EQ(sent_, (std::vector<std::string>{"P@50"}));

    common::TzolParamsList params;
    params.Add("VALUE", common::Variant::Int32(7));
    queue_.HostEvent("TARIFF", false, &params);
    EXPECT_TRUE(event.Pending);
    ASSERT_NE(event.EventParams, nullptr);
    EXPECT_EQ(event.EventParams->Count(), 1);
    queue_.HostEvent("PORT-OPEN", true, nullptr);
    EXPECT_FALSE(poll.Pending);
    EXPECT_TRUE(poll.PollTimer.IsClear());
    Run(100);
    // Both are due; the polling request, never sent since the port opened, goes first.
    EXPECT_EQ(sent_, (std::vector<std::string>{"P@50", "P@150", "E@200"}));
}

TEST_F(Queue, TimeListSchedulesShareAGroupAndMarkTheirRequests) {
    TBasicRequestItem& a = Add("A", TRequestMethod::rmAtTime);
    a.MethodParams.Param = "bad;12:00;12:01";
    queue_.AddSchedules(a);
    ASSERT_EQ(queue_.Events.Count(), 2u);
    const std::string group = a.ScheduleId;
    EXPECT_EQ(group.substr(0, 3), "G2_");
    EXPECT_EQ(queue_.Events[0].Name, group + "/1");
    EXPECT_EQ(queue_.Events[1].Name, group + "/2");
    TBasicRequestItem& copy = Add("B", TRequestMethod::rmAtTime);
    copy.Assign(a);
    copy.Name = "B";
    queue_.ResetSchedule();
    Run(60'000 + 61'000);  // 11:59 -> 12:01:01
    EXPECT_EQ(sent_, (std::vector<std::string>{"A@60000", "B@60050", "A@120000", "B@120050"}));

    std::vector<std::string> errors;
    queue_.OnError = [&](TQueueController&, std::string_view context, const std::exception&,
                         std::string_view detail) {
        errors.push_back(std::string(context) + ":" + std::string(detail));
    };
    TBasicRequestItem& bad = Add("C", TRequestMethod::rmCron);
    bad.MethodParams.CronParams = CronParamsFromText("x * * * * *");
    queue_.AddSchedules(bad);
    EXPECT_EQ(errors, (std::vector<std::string>{"Cron:x * * * * * *"}));
    EXPECT_FALSE(queue_.Events[2].Running());
    queue_.StopSchedules();
    EXPECT_EQ(queue_.Events.Count(), 0u);
}

// Ticks on this thread while other threads release exchanges, raise host events and reload the
// list, as packets, commands and the queue's timer do in the plug-in. Run under TSan.
TEST_F(Queue, TicksReleasesHostEventsAndReloadsRace) {
    for (int i = 0; i < 8; ++i) Add("R" + std::to_string(i), TRequestMethod::rmPoll, 5);
    response_timeout_ = 40;
    answer_ = false;
    queue_.ResetSchedule();
    std::atomic<bool> stop{false};
    std::thread releaser([&] {
        while (!stop) queue_.ReleaseCurrent(1);
    });
    std::thread events([&] {
        while (!stop) queue_.HostEvent("PORT-OPEN", true, nullptr);
    });
    std::thread reloader([&] {
        for (int round = 0; !stop; ++round) {
            common::ExclusiveSection lock(queue_.Requests.Lock());
            queue_.Requests.Clear();
            for (int i = 0; i < 8; ++i) Add("L" + std::to_string(round), TRequestMethod::rmPoll, 5);
            queue_.Current = nullptr;  // the reload forgets the exchange, as a client's does
        }
    });
    Run(3000);
    stop = true;
    releaser.join();
    events.join();
    reloader.join();
    EXPECT_GT(sent_.size(), 10u);
    EXPECT_EQ(queue_.Requests.Count(), 8);
}

}  // namespace
}  // namespace zol::parser
