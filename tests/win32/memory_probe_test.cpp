// The memory probes on real Windows memory, with and without a probe memo: a memo answers as the
// system does for every range asked about, and says nothing about memory once it has ended.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>

#include "platform/probe_memo.h"
#include "platform/system.h"
#include "win32/helpers/guarded_pages.h"

namespace zol::platform {
namespace {

using test::GuardedPages;

TEST(Win32ProbeMemo, AnswersAsTheSystemDoesForEveryRange) {
    GuardedPages pages;
    const std::size_t page = pages.Page();
    struct Case {
        const char* name;
        std::size_t offset;
        std::size_t size;
        bool readable;
        bool writable;
    };
    const Case cases[] = {
        {"inside the read-write page", 16, 64, true, true},
        {"the last byte of the read-write page", page - 1, 1, true, true},
        {"from the read-write page into the no-access page", page - 8, 16, false, false},
        {"the no-access page", page + 8, 1, false, false},
        {"the read-only page", 2 * page + 8, 64, true, false},
        {"the whole read-write page", 0, page, true, true},
        {"from the no-access page into the read-only page", 2 * page - 4, 8, false, false},
        {"the whole read-only page", 2 * page, page, true, false},
    };
    for (const bool with_memo : {false, true}) {
        std::optional<ProbeMemo> memo;
        if (with_memo) memo.emplace();
        // Twice: with a memo the second round answers from the regions the first looked up.
        for (int round = 0; round < 2; ++round) {
            for (const Case& c : cases) {
                SCOPED_TRACE(std::string(c.name) + (with_memo ? ", with a memo" : "") +
                             (round > 0 ? ", again" : ""));
                EXPECT_EQ(IsReadableMemory(pages.At(c.offset), c.size), c.readable);
                EXPECT_EQ(IsWritableMemory(pages.At(c.offset), c.size), c.writable);
            }
        }
    }
}

TEST(Win32ProbeMemo, MemoryReleasedAfterAMemoEndsIsNotReadable) {
    GuardedPages ended;
    {
        ProbeMemo memo;
        EXPECT_TRUE(IsWritableMemory(ended.At(0), 8));
        memo.End();
        ended.Release();
        EXPECT_FALSE(IsReadableMemory(ended.At(0), 8));
    }
    GuardedPages destroyed;
    {
        ProbeMemo memo;
        EXPECT_TRUE(IsReadableMemory(destroyed.At(0), 8));
    }
    destroyed.Release();
    EXPECT_FALSE(IsReadableMemory(destroyed.At(0), 8));
}

}  // namespace
}  // namespace zol::platform
