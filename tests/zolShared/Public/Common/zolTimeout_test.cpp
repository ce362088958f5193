#include "zolShared/Public/Common/zolTimeout.h"

#include <gtest/gtest.h>

#include "platform/fake_clock.h"

namespace zol::common {
namespace {

using platform::FakeClock;
using platform::ScopedFakeClock;

TEST(ZolTimeout, ClearedRecordIsExpiredAndZeroedRecordIsCleared) {
    FakeClock clock(5000, 0);
    ScopedFakeClock installed(clock);
    TzolTimeout t;
    EXPECT_TRUE(t.IsClear());
    EXPECT_TRUE(t.Expired(1000));
    EXPECT_TRUE(t.Expired());
    t.StartNow();
    EXPECT_FALSE(t.IsClear());
    t.Clear();
    EXPECT_TRUE(t.IsClear());
    EXPECT_EQ(t.Deadline, 0u);
    EXPECT_FALSE(t.HasTimeout);
}

// Each row starts a record one way, then advances the clock in steps and checks Expired(1000)
// after each step.
struct ExpiryCase {
    const char* name;
    void (*start)(TzolTimeout&);
    std::uint64_t advance_before_expiry;  // Expired(1000) stays false until this many ms passed
};

const ExpiryCase kExpiryCases[] = {
    {"StartNow takes the asked timeout", [](TzolTimeout& t) { t.StartNow(); }, 1000},
    {"a fixed timeout wins over the asked one", [](TzolTimeout& t) { t.StartWithTimeout(200); },
     200},
    {"a start 900 ms in the past leaves 100 ms", [](TzolTimeout& t) { t.StartShifted(-900); }, 100},
    {"a start 300 ms ahead adds 300 ms", [](TzolTimeout& t) { t.StartShifted(300); }, 1300},
    {"Restart keeps the fixed timeout",
     [](TzolTimeout& t) {
         t.StartWithTimeout(50);
         t.Restart();
     },
     50},
    {"a shifted start keeps the fixed timeout length",
     [](TzolTimeout& t) {
         t.StartWithTimeout(400);
         t.StartShifted(-100);
     },
     300},
};

TEST(ZolTimeout, ExpiresExactlyAtTheDeadline) {
    for (const auto& c : kExpiryCases) {
        SCOPED_TRACE(c.name);
        FakeClock clock(100000, 0);
        ScopedFakeClock installed(clock);
        TzolTimeout t;
        c.start(t);
        clock.Advance(c.advance_before_expiry - 1);
        EXPECT_FALSE(t.Expired(1000));
        clock.Advance(1);
        EXPECT_TRUE(t.Expired(1000));
    }
}

TEST(ZolTimeout, ShiftBeforeTheCounterOriginReadsAsExpired) {
    FakeClock clock(500, 0);
    ScopedFakeClock installed(clock);
    TzolTimeout t;
    t.StartShifted(-900);
    EXPECT_TRUE(t.IsClear());
    EXPECT_TRUE(t.Expired(1000));
}

TEST(ZolTimeout, SetTimeoutMovesTheDeadlineFromTheStart) {
    FakeClock clock(10000, 0);
    ScopedFakeClock installed(clock);
    TzolTimeout t;
    t.StartNow();
    clock.Advance(600);
    t.SetTimeout(500);
    EXPECT_TRUE(t.Expired());
    t.SetTimeout(700);
    EXPECT_FALSE(t.Expired());
    clock.Advance(100);
    EXPECT_TRUE(t.Expired());
}

TEST(ZolTimeout, MeasurementSpanningThe32BitWrapExpiresOnTime) {
    // The 32-bit counter is 256 ms before its wrap.
    FakeClock clock(0xFFFFFF00u, 0, /*wraps32=*/true);
    ScopedFakeClock installed(clock);
    TzolTimeout t;
    t.StartWithTimeout(1000);
    clock.Advance(500);  // wrapped: the raw counter now reads 244
    EXPECT_EQ(clock.ReadTick(), 244u);
    EXPECT_FALSE(t.Expired());
    EXPECT_EQ(t.LastSeen >> 32, 1u);
    clock.Advance(499);
    EXPECT_FALSE(t.Expired());
    clock.Advance(1);
    EXPECT_TRUE(t.Expired());
    // A fresh start after the wrap starts over from the raw counter.
    t.StartWithTimeout(100);
    EXPECT_EQ(t.LastSeen >> 32, 0u);
    clock.Advance(99);
    EXPECT_FALSE(t.Expired());
    clock.Advance(1);
    EXPECT_TRUE(t.Expired());
}

TEST(ZolTimeout, ExpiredWithoutFixedTimeoutFollowsTheLatestAskedLength) {
    FakeClock clock(1, 0);
    ScopedFakeClock installed(clock);
    TzolTimeout t;
    t.StartNow();
    clock.Advance(300);
    EXPECT_TRUE(t.Expired(250));
    EXPECT_FALSE(t.Expired(400));
    EXPECT_FALSE(t.HasTimeout);
}

}  // namespace
}  // namespace zol::common
