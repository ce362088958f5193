// The host link on Windows: GetModuleHandle/GetProcAddress for the host's entry points,
// PostMessage with a SendMessageTimeout fallback, and RT_RCDATA resources of the plug-in DLL.
#include <windows.h>

#include <string>

#include "platform/host_link.h"

namespace zol::platform {

namespace {

HMODULE ThisModule() {
    HMODULE module = nullptr;
    static const int anchor = 0;
    GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(&anchor), &module);
    return module;
}

}  // namespace

std::uintptr_t FindLoadedModule(const std::string& name) {
    return reinterpret_cast<std::uintptr_t>(GetModuleHandleA(name.c_str()));
}

void* FindModuleExport(std::uintptr_t module, const char* name) {
    if (module == 0) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(module), name));
}

bool PostWindowMessage(std::uintptr_t window, std::uint32_t message, std::uintptr_t wparam,
                       std::intptr_t lparam) {
    if (window == 0) return false;
    return PostMessageA(reinterpret_cast<HWND>(window), message, wparam, lparam) != 0;
}

bool SendWindowMessageTimeout(std::uintptr_t window, std::uint32_t message, std::uintptr_t wparam,
                              std::intptr_t lparam, std::uint32_t timeout_ms) {
    if (window == 0) return false;
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(reinterpret_cast<HWND>(window), message, wparam, lparam,
                               SMTO_ABORTIFHUNG | SMTO_NORMAL, timeout_ms, &result) != 0;
}

void WaitProcessingMessages(std::uint32_t milliseconds) {
    const ULONGLONG end = GetTickCount64() + milliseconds;
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= end) return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    }
}

std::optional<std::string> LoadLibraryResource(std::string_view name) {
    HMODULE module = ThisModule();
    std::string key(name);
    HRSRC info = FindResourceA(module, key.c_str(), MAKEINTRESOURCEA(10) /* RT_RCDATA */);
    if (info == nullptr) return std::nullopt;
    HGLOBAL handle = LoadResource(module, info);
    if (handle == nullptr) return std::nullopt;
    const void* data = LockResource(handle);
    DWORD size = SizeofResource(module, info);
    if (data == nullptr) return std::nullopt;
    return std::string(static_cast<const char*>(data), size);
}

}  // namespace zol::platform
