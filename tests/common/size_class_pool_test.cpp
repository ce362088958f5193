#include "common/size_class_pool.h"

#include <gtest/gtest.h>

#include <barrier>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace zol::tools {
namespace {

using Pool = SizeClassPool;

TEST(SizeClassPool, EverySizeGetsTheSmallestClassThatHoldsIt) {
    std::size_t previous_class = 0;
    for (std::size_t size = 0; size <= Pool::kLargest; ++size) {
        const std::size_t size_class = Pool::ClassOf(size);
        ASSERT_LT(size_class, Pool::kClasses) << size;
        ASSERT_GE(Pool::ClassBytes(size_class), size) << size;
        if (size_class > 0) {
            ASSERT_LT(Pool::ClassBytes(size_class - 1), size) << size;
        }
        ASSERT_GE(size_class, previous_class) << size;
        ASSERT_EQ(Pool::ClassBytes(size_class) % Pool::kAlign, 0u) << size;
        previous_class = size_class;
    }
    EXPECT_EQ(Pool::ClassOf(Pool::kLargest), Pool::kClasses - 1);
    EXPECT_EQ(Pool::ClassOf(Pool::kLargest + 1), Pool::kClasses);
}

// Threads that each take the same mix of blocks, small and large, fill them, and give them all
// back, round after round: no block is handed out twice while in use, every block is aligned,
// and once the first round reached the high mark the pool takes nothing more from the heap.
TEST(SizeClassPool, ASteadyWorkloadOnSeveralThreadsStaysAtItsFirstHighMark) {
    Pool pool;
    constexpr int kThreads = 4;
    constexpr int kRounds = 6;
    const std::vector<std::size_t> mix = {0,    1,    15,   16,    17,    100,   1024,  1025,
                                          1120, 1792, 4000, 20000, 65536, 65537, 200000};
    std::barrier sync(kThreads);
    std::vector<std::size_t> reserved_after(kRounds);
    std::vector<int> faults(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                std::vector<std::pair<unsigned char*, std::size_t>> held;
                for (int copy = 0; copy < 3; ++copy) {
                    for (std::size_t size : mix) {
                        auto* block = static_cast<unsigned char*>(pool.Allocate(size));
                        if (block == nullptr ||
                            reinterpret_cast<std::uintptr_t>(block) % Pool::kAlign != 0) {
                            ++faults[t];
                            continue;
                        }
                        std::memset(block, t * 16 + round, size);
                        held.emplace_back(block, size);
                    }
                }
                sync.arrive_and_wait();  // every thread holds its whole mix at once
                for (auto [block, size] : held) {
                    for (std::size_t i = 0; i < size; ++i) {
                        if (block[i] != static_cast<unsigned char>(t * 16 + round)) {
                            ++faults[t];
                            break;
                        }
                    }
                    pool.Free(block);
                }
                sync.arrive_and_wait();
                if (t == 0) reserved_after[round] = pool.Reserved();
                sync.arrive_and_wait();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(faults[t], 0) << "thread " << t;
    EXPECT_GT(reserved_after[0], 0u);
    for (int round = 1; round < kRounds; ++round) {
        EXPECT_EQ(reserved_after[round], reserved_after[0]) << "round " << round;
    }
    pool.Free(nullptr);
}

#ifdef __linux__
// The system charges a slab whole when the pool takes it: every page of it is resident at once,
// not only the pages the first blocks were carved from (a program's memory figures would
// otherwise show its high mark creeping up through the slab as if it leaked).
TEST(SizeClassPool, ASlabIsResidentWholeWhenTaken) {
    Pool pool;
    void* first = pool.Allocate(16);
    ASSERT_NE(first, nullptr);
    const long page = sysconf(_SC_PAGESIZE);
    const auto from = (reinterpret_cast<std::uintptr_t>(first) + page - 1) &
                      ~static_cast<std::uintptr_t>(page - 1);
    const std::size_t span = 192 * 1024;  // well inside the slab the first block came from
    std::vector<unsigned char> resident(span / static_cast<std::size_t>(page));
    ASSERT_EQ(mincore(reinterpret_cast<void*>(from), span, resident.data()), 0);
    for (std::size_t i = 0; i < resident.size(); ++i) {
        ASSERT_TRUE(resident[i] & 1) << "page " << i << " of the slab is not resident";
    }
    pool.Free(first);
}
#endif

}  // namespace
}  // namespace zol::tools
