// Ctrl-C and Ctrl-Break on a Windows console: the handler sets a flag instead of ending the
// process.
#include <windows.h>

#include <atomic>

#include "kmptool/transport.h"

namespace zol::kmptool {
namespace {

std::atomic<bool> g_interrupted{false};

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    g_interrupted = true;
    return TRUE;
}

}  // namespace

void CatchInterrupt() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

bool Interrupted() { return g_interrupted; }

}  // namespace zol::kmptool
