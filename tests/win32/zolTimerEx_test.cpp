// The thread-bound timer on the real message-only windows. Waits are bounded message loops;
// the checks are about which thread ticks and when changes take effect, never about durations.
#include "zolShared/Public/Common/zolTimerEx.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "platform/crash_report.h"
#include "platform/message_window.h"
#include "platform/tick_source.h"

namespace zol::common {
namespace {

// Handles this thread's messages until `done` holds or the deadline passes.
template <typename Predicate>
bool PumpUntil(Predicate done, DWORD deadline_ms = 5000) {
    const ULONGLONG start = GetTickCount64();
    while (!done()) {
        if (GetTickCount64() - start > deadline_ms) return false;
        platform::WaitAndDispatchMessages(20);
    }
    return true;
}

void PumpFor(DWORD ms) {
    PumpUntil([] { return false; }, ms);
}

TEST(Win32Timer, TicksThroughMessagesOnItsOwnThread) {
    std::atomic<int> ticks{0};
    std::atomic<DWORD> tick_thread{0};
    DWORD owner = 0;
    std::thread worker([&] {
        owner = GetCurrentThreadId();
        TzolTimerEx timer;
        EXPECT_EQ(timer.OwnerThread(), owner);
        timer.SetInterval(10);
        timer.SetOnTimer([&](TzolTimerEx&) {
            tick_thread = GetCurrentThreadId();
            ++ticks;
        });
        EXPECT_TRUE(PumpUntil([&] { return ticks >= 3; }));
    });
    // This thread handles its own messages meanwhile; none of the ticks may land here.
    PumpUntil([&] { return ticks >= 3; });
    worker.join();
    EXPECT_GE(ticks, 3);
    EXPECT_EQ(tick_thread, owner);
    EXPECT_NE(owner, GetCurrentThreadId());
}

TEST(Win32Timer, DisableFromAnotherThreadReturnsAtOnceAndStopsTheTicks) {
    std::atomic<int> ticks{0};
    TzolTimerEx timer;
    timer.SetInterval(10);
    timer.SetOnTimer([&](TzolTimerEx&) { ++ticks; });
    ASSERT_TRUE(PumpUntil([&] { return ticks >= 1; }));

    // The owner thread does not handle messages while the other thread disables the timer, so
    // the call can only come back if it does not wait for the owner.
    HANDLE returned = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread other([&] {
        timer.SetEnabled(false);
        SetEvent(returned);
    });
    EXPECT_EQ(WaitForSingleObject(returned, 5000), WAIT_OBJECT_0);
    other.join();
    CloseHandle(returned);
    EXPECT_TRUE(timer.Enabled());  // not applied yet

    ASSERT_TRUE(PumpUntil([&] { return !timer.Enabled(); }));
    EXPECT_FALSE(timer.TimerRunning());
    PumpFor(50);  // a tick already queued before the change may still arrive
    const int after_disable = ticks;
    PumpFor(150);
    EXPECT_EQ(ticks, after_disable);
}

TEST(Win32Timer, DestructionFromAnotherThreadStopsTheTimerOnTheOwnerThread) {
    std::atomic<int> ticks{0};
    std::atomic<bool> destroyed{false};
    auto* timer = new TzolTimerEx;
    timer->SetInterval(10);
    timer->SetOnTimer([&](TzolTimerEx&) { ++ticks; });
    ASSERT_TRUE(PumpUntil([&] { return ticks >= 1; }));
    std::thread other([&] {
        delete timer;
        destroyed = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return destroyed.load(); }));
    other.join();
    const int after = ticks;
    PumpFor(150);
    EXPECT_EQ(ticks, after);
}

TEST(Win32Timer, DestructionFromAnotherThreadEndsWhileTheOwnerHandlesNoMessages) {
    auto* timer = new TzolTimerEx;
    timer->SetInterval(10);
    timer->SetOnTimer([](TzolTimerEx&) {});
    // The owner blocks without handling messages (a host's main thread busy elsewhere): the
    // destruction uses up its whole wait on the first message it sends, and must still return
    // rather than wait on for the owner with no time left.
    HANDLE returned = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> destroyed{false};
    std::thread other([&] {
        delete timer;
        destroyed = true;
        SetEvent(returned);
    });
    EXPECT_EQ(WaitForSingleObject(returned, 3 * TzolTimerEx::kCrossThreadWaitMs), WAIT_OBJECT_0);
    // Whatever happened, the other thread is let finish before it is joined.
    EXPECT_TRUE(PumpUntil([&] { return destroyed.load(); }, 2 * TzolTimerEx::kCrossThreadWaitMs));
    other.join();
    CloseHandle(returned);
}

TEST(Win32Timer, HandlerExceptionGoesToTheCrashReportAndTicksContinue) {
    std::atomic<int> ticks{0};
    const std::uint32_t reported = platform::ReportedFailureCount();
    TzolTimerEx timer;
    timer.SetInterval(10);
    timer.SetOnTimer([&](TzolTimerEx&) {
        ++ticks;
        throw std::runtime_error("tick failed");
    });
    EXPECT_TRUE(PumpUntil([&] { return ticks >= 2; }));
    EXPECT_GE(platform::ReportedFailureCount(), reported + 2);
}

TEST(Win32Timer, WithoutAnyPieceNoTimerRunsUntilItIsSupplied) {
    std::atomic<int> ticks{0};
    TzolTimerEx timer;
    timer.SetInterval(0);
    timer.SetOnTimer([&](TzolTimerEx&) { ++ticks; });
    EXPECT_FALSE(timer.TimerRunning());
    PumpFor(100);
    EXPECT_EQ(ticks, 0);
    timer.SetInterval(10);
    EXPECT_TRUE(timer.TimerRunning());
    EXPECT_TRUE(PumpUntil([&] { return ticks >= 1; }));
}

TEST(Win32TickSource, UsesTheSixtyFourBitCounterWhenTheSystemHasIt) {
    // Every supported system has GetTickCount64, so the wrap-counting path stays unused.
    const auto& source = platform::SystemTickSource();
    EXPECT_FALSE(source.Wraps32());
    const std::uint64_t first = source.ReadTick();
    EXPECT_GE(source.ReadTick(), first);
}

}  // namespace
}  // namespace zol::common
