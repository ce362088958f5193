// COM ports for the run loop: overlapped I/O, so the plug-in's writes never wait behind a read
// that the port's own thread has outstanding.
#include <windows.h>

#include <mutex>

#include "common/win32_serial.h"
#include "hostsim/port_transport.h"

namespace zol::hostsim {

namespace {

// A gap this long after a byte ends a read: a reply arrives in a few chunks, not byte by byte.
constexpr DWORD kInterByteGapMs = 20;

class SerialPort : public PortTransport {
   public:
    explicit SerialPort(HANDLE handle)
        : handle_(handle),
          read_event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          write_event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~SerialPort() override {
        CancelIo(handle_);
        CloseHandle(handle_);
        if (read_event_ != nullptr) CloseHandle(read_event_);
        if (write_event_ != nullptr) CloseHandle(write_event_);
    }
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    bool Write(std::span<const std::uint8_t> bytes) override {
        std::lock_guard<std::mutex> guard(write_lock_);
        while (!bytes.empty()) {
            OVERLAPPED overlapped{};
            overlapped.hEvent = write_event_;
            DWORD written = 0;
            if (!WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                           &overlapped) &&
                GetLastError() != ERROR_IO_PENDING) {
                return false;
            }
            if (!GetOverlappedResult(handle_, &overlapped, &written, TRUE) || written == 0) {
                return false;
            }
            bytes = bytes.subspan(written);
        }
        return true;
    }

    bool Read(std::uint32_t timeout_ms, std::vector<std::uint8_t>& out) override {
        // The total timeout bounds the wait; the interval timeout returns a chunk as soon as the
        // line goes quiet after it (under Wine a pty-backed port then answers within 20-40 ms,
        // where "return at once" settings wait for the whole constant).
        if (timeout_ms != timeout_ms_) {
            COMMTIMEOUTS timeouts{};
            timeouts.ReadIntervalTimeout = kInterByteGapMs;
            timeouts.ReadTotalTimeoutConstant = timeout_ms == 0 ? 1 : timeout_ms;
            timeouts.WriteTotalTimeoutConstant = 5000;
            if (!SetCommTimeouts(handle_, &timeouts)) return false;
            timeout_ms_ = timeout_ms;
        }
        std::uint8_t buffer[512];
        OVERLAPPED overlapped{};
        overlapped.hEvent = read_event_;
        DWORD n = 0;
        if (!ReadFile(handle_, buffer, sizeof buffer, &n, &overlapped)) {
            if (GetLastError() != ERROR_IO_PENDING) return Quiet();
            // The port's timeouts end the read; the wait's own limit only guards a driver that
            // ignores them.
            if (WaitForSingleObject(read_event_, timeout_ms + 2000) != WAIT_OBJECT_0) {
                CancelIo(handle_);
            }
            if (!GetOverlappedResult(handle_, &overlapped, &n, TRUE)) return Quiet();
        }
        out.insert(out.end(), buffer, buffer + n);
        return true;
    }

    std::string FailureText() const override { return failure_; }

   private:
    // A read that ended without bytes: a timeout (some drivers report one as an error) is a quiet
    // line; anything else means the port is gone.
    bool Quiet() {
        const DWORD code = GetLastError();
        if (code == ERROR_OPERATION_ABORTED || code == ERROR_TIMEOUT || code == ERROR_SEM_TIMEOUT ||
            code == WAIT_TIMEOUT) {
            return true;
        }
        failure_ = tools::LastErrorText();
        return false;
    }

    HANDLE handle_;
    HANDLE read_event_;
    HANDLE write_event_;
    std::mutex write_lock_;
    std::uint32_t timeout_ms_ = 0xFFFFFFFF;
    std::string failure_;
};

}  // namespace

std::unique_ptr<PortTransport> OpenSerialPort(const std::string& device, std::uint32_t baud,
                                              std::string& error) {
    HANDLE handle = tools::OpenKmpSerialLine(device, baud, FILE_FLAG_OVERLAPPED, error);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<SerialPort>(handle);
}

}  // namespace zol::hostsim
