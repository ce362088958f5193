#include "zolShared/Public/Common/read_write_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace zol::common {
namespace {

// Readers walk a list while writers replace it; readers that turn writers (as a dispatch that
// creates a client while walking does) must neither deadlock with each other nor see a writer's
// half-done work. Run under TSan.
TEST(ReadWriteLock, ReadersWritersAndUpgradingReadersNeverOverlapOrDeadlock) {
    ReadWriteLock lock;
    std::vector<int> values(16, 0);
    std::atomic<int> writers_inside{0};
    std::atomic<bool> overlap{false};
    auto write_all = [&](int value) {
        ExclusiveSection write(lock);
        if (writers_inside.fetch_add(1) != 0) overlap = true;
        for (int& v : values) v = value;
        writers_inside.fetch_sub(1);
    };
    auto reader = [&](int id) {
        for (int round = 0; round < 2000; ++round) {
            SharedSection read(lock);
            SharedSection again(lock);  // a reader may read again without waiting
            const int first = values.front();
            for (int v : values) {
                if (v != first) overlap = true;
            }
            if (round % 7 == id) write_all(round);  // upgrade from inside the shared section
        }
    };
    std::vector<std::thread> threads;
    for (int id = 0; id < 4; ++id) threads.emplace_back(reader, id);
    threads.emplace_back([&] {
        for (int round = 0; round < 2000; ++round) {
            ExclusiveSection write(lock);
            SharedSection nested(lock);  // a writer may read inside its section
            write_all(-round);
        }
    });
    for (auto& t : threads) t.join();
    EXPECT_FALSE(overlap);
}

}  // namespace
}  // namespace zol::common
