// Scheduled events on the real message-only windows and timers: the timer type and the
// window-message type both fire on the thread that started them. Bounded message loops; the
// checks are about the thread and the count, not about durations.
#include "scheduler/scheduled_event.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>

#include "platform/message_window.h"

namespace zol::scheduler {
namespace {

template <typename Predicate>
bool PumpUntil(Predicate done, ULONGLONG deadline_ms = 10000) {
    const ULONGLONG start = GetTickCount64();
    while (!done()) {
        if (GetTickCount64() - start > deadline_ms) return false;
        platform::WaitAndDispatchMessages(20);
    }
    return true;
}

class Win32ScheduledEvent : public ::testing::TestWithParam<TSignalType> {};

TEST_P(Win32ScheduledEvent, EverySecondFiresOnTheStartingThread) {
    std::atomic<int> fires{0};
    std::atomic<DWORD> fire_thread{0};
    TScheduledEvent event("every second");
    event.SetSignalType(GetParam());
    event.OnSchedule = [&](TScheduledEvent&) {
        fire_thread = GetCurrentThreadId();
        ++fires;
    };
    event.Schedule.SetCronString("* * * * * * *");
    ASSERT_TRUE(event.Run(false));
    EXPECT_TRUE(PumpUntil([&] { return fires >= 2; }));
    event.Stop();
    EXPECT_EQ(fire_thread, GetCurrentThreadId());
    const int after_stop = fires;
    PumpUntil([] { return false; }, 1200);
    EXPECT_EQ(fires, after_stop);
}

INSTANTIATE_TEST_SUITE_P(Types, Win32ScheduledEvent,
                         ::testing::Values(TSignalType::kTimer, TSignalType::kWindowMessage,
                                           TSignalType::kSynchronized));

}  // namespace
}  // namespace zol::scheduler
