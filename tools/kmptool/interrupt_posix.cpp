// Ctrl-C on POSIX terminals: SIGINT sets a flag instead of ending the process, and is let in only
// while the line waits (interrupt_posix.h says why).
#include "kmptool/interrupt_posix.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>

#include "kmptool/transport.h"

namespace zol::kmptool {
namespace {

// The handler touches only this, so it must work without a lock.
static_assert(std::atomic<bool>::is_always_lock_free);
std::atomic<bool> g_interrupted{false};

// The signal mask while a wait sleeps: the program's own with SIGINT let in. Set once by
// CatchInterrupt; until then a wait leaves the mask alone and Ctrl-C keeps its default action.
bool g_caught = false;
sigset_t g_wait_mask;

void OnInterrupt(int) { g_interrupted = true; }

}  // namespace

void CatchInterrupt() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    // Blocked from here on, a Ctrl-C stays pending until a wait lets it in, so none lands between
    // a look at Interrupted() and the wait that follows (kmptool drives its line from one thread).
    // A write to the line is no longer broken off by Ctrl-C: a request is a few bytes, soon sent.
    sigset_t interrupt;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    sigset_t before;
    if (pthread_sigmask(SIG_BLOCK, &interrupt, &before) != 0) return;
    sigdelset(&before, SIGINT);
    g_wait_mask = before;
    g_caught = true;
}

bool Interrupted() { return g_interrupted; }

int PollUnlessInterrupted(pollfd& watched, int timeout_ms) {
    // SIGINT is blocked out here, so the handler cannot run between this look and ppoll(): a
    // Ctrl-C that has not been handled yet is pending and ends ppoll() as soon as it starts.
    if (Interrupted()) {
        errno = EINTR;
        return -1;
    }
    timespec limit{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000L};
    return ::ppoll(&watched, 1, timeout_ms < 0 ? nullptr : &limit,
                   g_caught ? &g_wait_mask : nullptr);
}

}  // namespace zol::kmptool
