// Ctrl-C on POSIX terminals: SIGINT sets a flag instead of ending the process.
#include <csignal>

#include "kmptool/transport.h"

namespace zol::kmptool {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) { g_interrupted = 1; }

}  // namespace

void CatchInterrupt() {
    // Without SA_RESTART, so a poll() waiting for the meter returns at once.
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
}

bool Interrupted() { return g_interrupted != 0; }

}  // namespace zol::kmptool
