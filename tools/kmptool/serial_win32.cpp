// COM ports through the Win32 communications API: 8 data bits, no parity, 2 stop bits.
#include <windows.h>

#include <string>

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
            return {};
        }
        buffer.resize(n);
        return buffer;
    }

    std::uint64_t NowMs() override { return GetTickCount64(); }

   private:
    HANDLE handle_;
};

std::string LastErrorText() {
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   GetLastError(), 0, text, sizeof text, nullptr);
    std::string s(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

}  // namespace

std::unique_ptr<Transport> OpenSerialPort(const std::string& device, const SerialSettings& settings,
                                          std::string& error) {
    // COM10 and above are only reachable through the device namespace.
    const std::string path = device.rfind("\\\\.\\", 0) == 0 ? device : "\\\\.\\" + device;
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = "cannot open " + device + ": " + LastErrorText();
        return nullptr;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        error = device + " is not a serial port: " + LastErrorText();
        CloseHandle(handle);
        return nullptr;
    }
    dcb.BaudRate = settings.baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    if (!SetCommState(handle, &dcb)) {
        error = "cannot configure " + device + ": " + LastErrorText();
        CloseHandle(handle);
        return nullptr;
    }
    PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return std::make_unique<Win32SerialPort>(handle);
}

}  // namespace zol::kmptool
