#include "platform/probe_memo.h"

#include <gtest/gtest.h>

#include <thread>

namespace zol::platform {
namespace {

// Which memo the probes of a thread use, as memos are made and ended: the newest running one,
// never one that has ended, and never one of another thread.
TEST(ProbeMemo, TheNewestRunningMemoOfTheThreadIsTheActiveOne) {
    EXPECT_EQ(ProbeMemo::Active(), nullptr);
    {
        ProbeMemo outer;
        EXPECT_EQ(ProbeMemo::Active(), &outer);
        {
            ProbeMemo inner;
            EXPECT_EQ(ProbeMemo::Active(), &inner);
            std::thread([] { EXPECT_EQ(ProbeMemo::Active(), nullptr); }).join();
        }
        EXPECT_EQ(ProbeMemo::Active(), &outer);
        outer.End();
        EXPECT_EQ(ProbeMemo::Active(), nullptr);
        {
            ProbeMemo after_end;
            EXPECT_EQ(ProbeMemo::Active(), &after_end);
        }
        EXPECT_EQ(ProbeMemo::Active(), nullptr);
    }
    {
        ProbeMemo older;
        {
            ProbeMemo newer;
            older.End();  // ended while a newer memo runs: it stays ended
            EXPECT_EQ(ProbeMemo::Active(), &newer);
        }
        EXPECT_EQ(ProbeMemo::Active(), nullptr);
    }
    EXPECT_EQ(ProbeMemo::Active(), nullptr);
}

// The held regions: each address finds the one that holds it, and the oldest gives way.
TEST(ProbeMemo, FindsTheRegionHoldingAnAddressAmongTheLastFour) {
    ProbeMemo memo;
    for (std::uintptr_t i = 1; i <= 5; ++i) memo.Remember({i * 0x1000, i * 0x1000 + 0x800, 0, 0});
    EXPECT_EQ(memo.Find(0x1000), nullptr);  // the first of five gave way
    for (std::uintptr_t i = 2; i <= 5; ++i) {
        const ProbeMemo::Region* found = memo.Find(i * 0x1000 + 0x7FF);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->begin, i * 0x1000);
        EXPECT_EQ(memo.Find(i * 0x1000 + 0x800), nullptr);  // the end is not inside
    }
}

}  // namespace
}  // namespace zol::platform
