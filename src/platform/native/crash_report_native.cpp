// Linux stand-ins for the debugger output and the stack trace.
#include <execinfo.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/crash_report.h"

namespace zol::platform {

void DebugOutput(std::string_view text) noexcept {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
}

std::string CurrentStackTrace() {
    void* frames[64];
    int count = backtrace(frames, 64);
    std::string out;
    char** symbols = backtrace_symbols(frames, count);
    for (int i = 1; i < count; ++i) {  // frame 0 is this function
        out.append("  ").append(symbols != nullptr ? symbols[i] : "?").append("\n");
    }
    std::free(symbols);
    return out;
}

}  // namespace zol::platform
