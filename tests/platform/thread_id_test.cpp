// The native thread id is asked of the kernel once per thread and kept. What must still hold:
// threads never share an id, and a forked child (whose one thread the kernel numbers anew) is not
// handed its parent's id, which would make the child's locks think the parent's thread owns them.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "platform/system.h"

namespace zol::platform {
namespace {

TEST(NativeThreadId, EachThreadKeepsItsOwnIdAndAForkedChildGetsTheKernelsNewOne) {
    const std::uint32_t main_id = CurrentThreadId();
    EXPECT_EQ(main_id, CurrentThreadId());
    EXPECT_EQ(main_id, static_cast<std::uint32_t>(syscall(SYS_gettid)));

    std::vector<std::uint32_t> ids(4);
    std::vector<std::thread> threads;
    for (auto& id : ids) {
        threads.emplace_back([&id] {
            const std::uint32_t first = CurrentThreadId();
            id = first == CurrentThreadId() &&
                         first == static_cast<std::uint32_t>(syscall(SYS_gettid))
                     ? first
                     : 0;
        });
    }
    for (auto& thread : threads) thread.join();
    std::set<std::uint32_t> distinct(ids.begin(), ids.end());
    distinct.insert(main_id);
    EXPECT_EQ(distinct.size(), ids.size() + 1);
    EXPECT_EQ(distinct.count(0), 0u);

    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        const bool fresh = CurrentThreadId() == static_cast<std::uint32_t>(syscall(SYS_gettid)) &&
                           CurrentThreadId() != main_id;
        _exit(fresh ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the forked child was handed a stale thread id";
}

}  // namespace
}  // namespace zol::platform
