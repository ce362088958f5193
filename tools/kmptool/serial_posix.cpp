// Serial ports through termios: raw 8 data bits, no parity, 2 stop bits.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>

#include "kmptool/interrupt_posix.h"
#include "kmptool/transport.h"

namespace zol::kmptool {
namespace {

std::optional<speed_t> BaudConstant(std::uint32_t baud) {
    switch (baud) {
        case 300:
            return B300;
        case 600:
            return B600;
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return std::nullopt;
    }
}

class PosixSerialPort : public Transport {
   public:
    explicit PosixSerialPort(int fd) : fd_(fd) {}
    ~PosixSerialPort() override { ::close(fd_); }
    PosixSerialPort(const PosixSerialPort&) = delete;
    PosixSerialPort& operator=(const PosixSerialPort&) = delete;

    bool Write(std::span<const std::uint8_t> bytes) override {
        while (!bytes.empty()) {
            const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            bytes = bytes.subspan(static_cast<std::size_t>(n));
        }
        while (::tcdrain(fd_) != 0) {
            if (errno != EINTR) return false;
        }
        return true;
    }

    std::vector<std::uint8_t> Read(std::uint32_t timeout_ms) override {
        pollfd p{fd_, POLLIN, 0};
        // Ctrl-C ends the wait early, as EINTR: the caller asks Interrupted() why.
        const int ready = PollUnlessInterrupted(p, static_cast<int>(timeout_ms));
        if (ready < 0) {
            if (errno != EINTR) failure_ = std::string("the port failed: ") + std::strerror(errno);
            return {};
        }
        if (ready == 0) return {};
        // A hung-up or vanished device (a USB adapter pulled, a pseudo-terminal's other end
        // closed) is gone for good, not a quiet line.
        if ((p.revents & POLLIN) == 0) {
            if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) failure_ = "the port hung up";
            return {};
        }
        std::vector<std::uint8_t> buffer(512);
        const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
        if (n == 0) failure_ = "the port hung up";
        if (n < 0 && errno != EINTR && errno != EAGAIN) {
            failure_ = std::string("the port failed: ") + std::strerror(errno);
        }
        if (n <= 0) return {};
        buffer.resize(static_cast<std::size_t>(n));
        return buffer;
    }

    std::string FailureText() const override { return failure_; }

    std::uint64_t NowMs() override {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now().time_since_epoch())
                                              .count());
    }

   private:
    int fd_;
    std::string failure_;
};

}  // namespace

std::unique_ptr<Transport> OpenSerialPort(const std::string& device, const SerialSettings& settings,
                                          std::string& error) {
    const auto speed = BaudConstant(settings.baud);
    if (!speed) {
        error = "unsupported baud rate " + std::to_string(settings.baud);
        return nullptr;
    }
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int cause = errno;
        error = "cannot open " + device + ": " + std::strerror(cause);
        // Serial devices belong to a group (dialout on Debian and its kin) that new users are
        // not in; saying so saves a technician the search.
        if (cause == EACCES) {
            error +=
                " (serial ports belong to the dialout group: sudo usermod -aG dialout $USER, "
                "then log out and in again)";
        }
        return nullptr;
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        error = device + " is not a serial port: " + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD | CSTOPB;
    tio.c_cflag &= ~static_cast<tcflag_t>(PARENB);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, *speed);
    ::cfsetospeed(&tio, *speed);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        error = "cannot configure " + device + ": " + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    ::tcflush(fd, TCIOFLUSH);
    return std::make_unique<PosixSerialPort>(fd);
}

}  // namespace zol::kmptool
