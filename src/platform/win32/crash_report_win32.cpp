// Windows debugger output and a stack trace of the current thread as module+offset lines
// (no symbol files are shipped, so module-relative addresses are what a developer can map).
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/crash_report.h"

namespace zol::platform {

void DebugOutput(std::string_view text) noexcept {
    std::string line(text);
    line.push_back('\n');
    OutputDebugStringA(line.c_str());
}

std::string CurrentStackTrace() {
    void* frames[62];
    USHORT count = RtlCaptureStackBackTrace(1, 62, frames, nullptr);
    std::string out;
    for (USHORT i = 0; i < count; ++i) {
        HMODULE module = nullptr;
        char name[MAX_PATH] = "?";
        if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                   GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                               static_cast<LPCSTR>(frames[i]), &module) &&
            module != nullptr) {
            char path[MAX_PATH];
            DWORD n = GetModuleFileNameA(module, path, MAX_PATH);
            if (n > 0 && n < MAX_PATH) {
                const char* base = path;
                for (DWORD k = 0; k < n; ++k) {
                    if (path[k] == '\\' || path[k] == '/') base = path + k + 1;
                }
                std::snprintf(name, sizeof name, "%s", base);
            }
        }
        char buffer[MAX_PATH + 64];
        auto offset =
            reinterpret_cast<std::uintptr_t>(frames[i]) - reinterpret_cast<std::uintptr_t>(module);
        std::snprintf(buffer, sizeof buffer, "  %s+0x%lx\n", name,
                      static_cast<unsigned long>(module != nullptr ? offset : 0));
        out.append(buffer);
    }
    return out;
}

}  // namespace zol::platform
