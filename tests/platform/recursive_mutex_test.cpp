// The recursive mutex that replaces std::recursive_mutex: its owner may take it again as often as
// it likes, another thread gets it only after the owner's last unlock, and it excludes under
// contention. Runs natively and, against the slim-lock implementation, under Wine.
#include "platform/recursive_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace zol::platform {
namespace {

bool TakenElsewhere(RecursiveMutex& mutex) {
    return std::async(std::launch::async,
                      [&mutex] {
                          if (!mutex.try_lock()) return false;
                          mutex.unlock();
                          return true;
                      })
        .get();
}

TEST(RecursiveMutex, OwnerTakesItAgainAndOthersOnlyAfterItsLastUnlock) {
    RecursiveMutex mutex;
    mutex.lock();
    ASSERT_TRUE(mutex.try_lock());
    mutex.lock();
    EXPECT_FALSE(TakenElsewhere(mutex));
    mutex.unlock();
    mutex.unlock();
    EXPECT_FALSE(TakenElsewhere(mutex));  // still held once
    mutex.unlock();
    EXPECT_TRUE(TakenElsewhere(mutex));
    // Free again after the other thread's turn, and its owner is forgotten.
    ASSERT_TRUE(mutex.try_lock());
    mutex.unlock();
}

TEST(RecursiveMutex, NestedSectionsOnSeveralThreadsExcludeEachOther) {
    RecursiveMutex mutex;
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    long counter = 0;  // not atomic: only the lock keeps the increments whole
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                std::lock_guard<RecursiveMutex> outer(mutex);
                if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
                std::unique_lock<RecursiveMutex> inner(mutex);
                ++counter;
                inner.unlock();
                inside.fetch_sub(1);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, long{kThreads} * kRounds);
    EXPECT_EQ(overlaps.load(), 0);
}

}  // namespace
}  // namespace zol::platform
