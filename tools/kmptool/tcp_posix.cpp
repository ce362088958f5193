// TCP connections to serial device servers through BSD sockets.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "kmptool/interrupt_posix.h"
#include "kmptool/transport.h"

namespace zol::kmptool {
namespace {

class PosixTcpConnection : public TcpConnection {
   public:
    explicit PosixTcpConnection(int fd) : fd_(fd) {}
    ~PosixTcpConnection() override { ::close(fd_); }
    PosixTcpConnection(const PosixTcpConnection&) = delete;
    PosixTcpConnection& operator=(const PosixTcpConnection&) = delete;

    bool Send(std::span<const std::uint8_t> bytes) override {
        while (!bytes.empty()) {
            // A server that hung up must not end the program with SIGPIPE.
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            bytes = bytes.subspan(static_cast<std::size_t>(n));
        }
        return true;
    }

    bool Receive(std::uint32_t timeout_ms, std::vector<std::uint8_t>& out) override {
        pollfd p{fd_, POLLIN, 0};
        // Ctrl-C ends the wait early, as EINTR: the caller asks Interrupted() why.
        const int ready = PollUnlessInterrupted(p, static_cast<int>(timeout_ms));
        if (ready < 0) return errno == EINTR;
        if (ready == 0) return true;
        std::uint8_t buffer[512];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0) return errno == EINTR || errno == EAGAIN;
        if (n == 0) return false;  // the server closed the connection
        out.insert(out.end(), buffer, buffer + n);
        return true;
    }

    std::uint64_t NowMs() override {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now().time_since_epoch())
                                              .count());
    }

   private:
    int fd_;
};

// Connects within `timeout_ms`; -1 when that fails.
int ConnectWithin(const addrinfo& target, std::uint32_t timeout_ms) {
    const int fd =
        ::socket(target.ai_family, target.ai_socktype | SOCK_CLOEXEC, target.ai_protocol);
    if (fd < 0) return -1;
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    if (::connect(fd, target.ai_addr, target.ai_addrlen) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    int socket_error = 0;
    socklen_t length = sizeof socket_error;
    if (::poll(&p, 1, static_cast<int>(timeout_ms)) != 1 ||
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &socket_error, &length) != 0 || socket_error != 0) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, flags);
    // Requests are a few bytes each and the meter waits for them: send them at once.
    const int no_delay = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &no_delay, sizeof no_delay);
    return fd;
}

}  // namespace

std::unique_ptr<TcpConnection> ConnectTcp(const std::string& host, std::uint16_t port,
                                          std::uint32_t timeout_ms, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    // A bracketed IPv6 address is written so only to keep its colons apart from the port's.
    std::string name = host;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
        name = name.substr(1, name.size() - 2);
    }
    if (::getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 ||
        found == nullptr) {
        error = "cannot resolve " + host;
        return nullptr;
    }
    int fd = -1;
    for (const addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = ConnectWithin(*a, timeout_ms);
    }
    ::freeaddrinfo(found);
    if (fd < 0) {
        error = "cannot connect to " + host + ":" + std::to_string(port);
        return nullptr;
    }
    return std::make_unique<PosixTcpConnection>(fd);
}

}  // namespace zol::kmptool
