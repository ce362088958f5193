// Message-only windows on Windows. One window class per module; each window keeps its
// procedure in a binding shared with the window's user data, so a window that outlives its
// object (destroyed from another thread) only drops its messages.
#include <windows.h>

#include <atomic>
#include <memory>

#include "platform/message_window.h"
#include "platform/runtime_threads.h"
#include "platform/window_binding.h"

namespace zol::platform {

namespace {

const char kClassName[] = "ZolMessageWindow";

// An entry of a host thread into the library when the window belongs to one.
LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    const HostEntryScope entry;
    auto* holder =
        reinterpret_cast<std::shared_ptr<WindowBinding>*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        delete holder;
        return DefWindowProcA(hwnd, message, wparam, lparam);
    }
    if (holder != nullptr) {
        std::shared_ptr<WindowBinding> binding = *holder;  // stays alive if the window goes
        try {
            if (binding->Call(message, static_cast<std::uintptr_t>(wparam))) return 0;
        } catch (...) {
            // Procedures catch their own failures; nothing may unwind through the OS.
            return 0;
        }
    }
    return DefWindowProcA(hwnd, message, wparam, lparam);
}

HINSTANCE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(&WindowProc), &module);
    return module;
}

std::atomic<bool> g_class_registered{false};

bool RegisterClassOnce() {
    if (g_class_registered.load(std::memory_order_acquire)) return true;
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = &WindowProc;
    window_class.hInstance = ThisModule();
    window_class.lpszClassName = kClassName;
    const bool registered =
        RegisterClassA(&window_class) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    if (registered) g_class_registered.store(true, std::memory_order_release);
    return registered;
}

class Win32MessageWindow final : public MessageWindow {
   public:
    Win32MessageWindow(HWND hwnd, std::shared_ptr<WindowBinding> binding)
        : hwnd_(hwnd), binding_(std::move(binding)), owner_(GetCurrentThreadId()) {}
    ~Win32MessageWindow() override {
        Detach();
        if (OnOwnerThread()) Release();
    }

    std::uint32_t OwnerThread() const noexcept override { return owner_; }
    bool Exists() const noexcept override { return hwnd_.load() != nullptr; }

    bool StartTimer(std::uint32_t id, std::uint32_t interval_ms) noexcept override {
        HWND hwnd = hwnd_.load();
        return hwnd != nullptr && SetTimer(hwnd, id, interval_ms, nullptr) != 0;
    }
    void StopTimer(std::uint32_t id) noexcept override {
        HWND hwnd = hwnd_.load();
        if (hwnd != nullptr) KillTimer(hwnd, id);
    }

    bool Post(std::uint32_t message, std::uintptr_t wparam) noexcept override {
        HWND hwnd = hwnd_.load();
        return hwnd != nullptr && PostMessageA(hwnd, message, wparam, 0) != 0;
    }
    bool SendNotify(std::uint32_t message, std::uintptr_t wparam) noexcept override {
        HWND hwnd = hwnd_.load();
        return hwnd != nullptr && SendNotifyMessageA(hwnd, message, wparam, 0) != 0;
    }
    bool SendWithTimeout(std::uint32_t message, std::uintptr_t wparam,
                         std::uint32_t timeout_ms) noexcept override {
        HWND hwnd = hwnd_.load();
        if (hwnd == nullptr) return false;
        DWORD_PTR result = 0;
        // At least 1 ms: Wine takes a timeout of 0 as no timeout at all, so a caller whose time
        // has run out would wait for an owner thread that may never handle its messages.
        const UINT timeout = timeout_ms > 0 ? timeout_ms : 1;
        return SendMessageTimeoutA(hwnd, message, wparam, 0, SMTO_NORMAL, timeout, &result) != 0;
    }

    void Release() noexcept override {
        if (!OnOwnerThread()) return;
        HWND hwnd = hwnd_.exchange(nullptr);
        if (hwnd != nullptr) DestroyWindow(hwnd);
    }
    void Detach() noexcept override { binding_->Detach(); }
    bool Detach(std::uint32_t timeout_ms) noexcept override { return binding_->Detach(timeout_ms); }

   private:
    bool OnOwnerThread() const noexcept { return GetCurrentThreadId() == owner_; }

    std::atomic<HWND> hwnd_;
    std::shared_ptr<WindowBinding> binding_;
    DWORD owner_;
};

}  // namespace

std::unique_ptr<MessageWindow> MessageWindow::Allocate(WindowProcedure procedure) {
    if (!RegisterClassOnce()) return nullptr;
    auto binding = std::make_shared<WindowBinding>(std::move(procedure));
    HWND hwnd = CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                ThisModule(), nullptr);
    if (hwnd == nullptr) return nullptr;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(new std::shared_ptr<WindowBinding>(binding)));
    return std::make_unique<Win32MessageWindow>(hwnd, std::move(binding));
}

std::size_t DispatchPendingMessages() {
    std::size_t handled = 0;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
        ++handled;
    }
    return handled;
}

void ReleaseMessageWindowClass() noexcept {
    if (UnregisterClassA(kClassName, ThisModule()) != 0) {
        g_class_registered.store(false, std::memory_order_release);
    }
}

std::size_t WaitAndDispatchMessages(std::uint32_t timeout_ms) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, timeout_ms, QS_ALLINPUT);
    return DispatchPendingMessages();
}

}  // namespace zol::platform
