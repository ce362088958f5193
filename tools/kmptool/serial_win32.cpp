// COM ports through the Win32 communications API: 8 data bits, no parity, 2 stop bits.
#include <windows.h>

#include <string>

#include "common/win32_serial.h"
#include "kmptool/transport.h"

namespace zol::kmptool {
namespace {

class Win32SerialPort : public Transport {
   public:
    explicit Win32SerialPort(HANDLE handle) : handle_(handle) {}
    ~Win32SerialPort() override { CloseHandle(handle_); }
    Win32SerialPort(const Win32SerialPort&) = delete;
    Win32SerialPort& operator=(const Win32SerialPort&) = delete;

    bool Write(std::span<const std::uint8_t> bytes) override {
        while (!bytes.empty()) {
            DWORD written = 0;
            if (!WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                           nullptr)) {
                return false;
            }
            bytes = bytes.subspan(written);
        }
        return true;
    }

    std::vector<std::uint8_t> Read(std::uint32_t timeout_ms) override {
        // Return as soon as any byte arrives, or after the timeout with nothing.
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
        timeouts.ReadTotalTimeoutConstant = timeout_ms == 0 ? 1 : timeout_ms;
        SetCommTimeouts(handle_, &timeouts);
        std::vector<std::uint8_t> buffer(512);
        DWORD n = 0;
        if (!ReadFile(handle_, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr)) {
            // A removed adapter or a closed device: gone for good.
            failure_ = "the port failed (error " + std::to_string(GetLastError()) + ")";
            return {};
        }
        buffer.resize(n);
        return buffer;
    }

    std::uint64_t NowMs() override { return GetTickCount64(); }
    std::string FailureText() const override { return failure_; }

   private:
    HANDLE handle_;
    std::string failure_;
};

}  // namespace

std::unique_ptr<Transport> OpenSerialPort(const std::string& device, const SerialSettings& settings,
                                          std::string& error) {
    HANDLE handle = tools::OpenKmpSerialLine(device, settings.baud, 0, error);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32SerialPort>(handle);
}

}  // namespace zol::kmptool
