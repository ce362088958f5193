// The Windows tick counter. GetTickCount64 does not exist before Vista, so it is looked up by
// name once per process; without it the 32-bit GetTickCount is used and readers count its wraps.
#include <windows.h>

#include "platform/tick_source.h"

namespace zol::platform {

namespace {
using GetTickCount64Function = ULONGLONG(WINAPI*)();

class WindowsTickSource final : public TickSource {
   public:
    WindowsTickSource() noexcept {
        HMODULE kernel = GetModuleHandleA("kernel32");
        if (kernel != nullptr) {
            // The cast goes through a generic function pointer type: GetProcAddress returns
            // FARPROC, and the real signature is only known by name.
            tick64_ = reinterpret_cast<GetTickCount64Function>(
                reinterpret_cast<void (*)()>(GetProcAddress(kernel, "GetTickCount64")));
        }
    }
    std::uint64_t ReadTick() const noexcept override {
        if (tick64_ != nullptr) return tick64_();
        return GetTickCount();
    }
    bool Wraps32() const noexcept override { return tick64_ == nullptr; }

   private:
    GetTickCount64Function tick64_ = nullptr;
};
}  // namespace

const TickSource& SystemTickSource() noexcept {
    static const WindowsTickSource source;
    return source;
}

}  // namespace zol::platform
