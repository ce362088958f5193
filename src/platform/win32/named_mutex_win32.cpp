// The cross-process lock as a named Win32 mutex. The name is put in the session namespace (no
// prefix), which every process of the user's session shares.
#include <windows.h>

#include "platform/named_mutex.h"

namespace zol::platform {

namespace {

class Win32Mutex : public NamedMutex {
   public:
    explicit Win32Mutex(HANDLE handle) : handle_(handle) {}
    ~Win32Mutex() override {
        Unlock();
        CloseHandle(handle_);
    }

    bool Lock(std::uint32_t timeout_ms) override {
        if (held_) return true;
        const DWORD status = WaitForSingleObject(handle_, timeout_ms);
        // An abandoned mutex is ours now; the file it guarded is whole or not yet rewritten.
        held_ = status == WAIT_OBJECT_0 || status == WAIT_ABANDONED;
        return held_;
    }

    void Unlock() override {
        if (!held_) return;
        ReleaseMutex(handle_);
        held_ = false;
    }

   private:
    HANDLE handle_;
    bool held_ = false;
};

}  // namespace

std::unique_ptr<NamedMutex> CreateNamedMutex(const std::string& name) {
    HANDLE handle = CreateMutexA(nullptr, FALSE, name.c_str());
    if (handle == nullptr) return nullptr;
    return std::make_unique<Win32Mutex>(handle);
}

}  // namespace zol::platform
