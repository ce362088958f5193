// kmptool read over device-server port texts, run as people run it: what it says about a port
// text or option it cannot use, and that a server hanging up ends the read at once with the
// reason instead of waiting out every attempt.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "kmptool/run_kmptool.h"

namespace zol::kmptool {
namespace {

using testing::RunKmptool;

// A loopback socket bound to a free port; it listens only when asked.
class LoopbackSocket {
   public:
    LoopbackSocket() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~LoopbackSocket() { ::close(fd_); }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;
    int Fd() const { return fd_; }
    std::string Where() const { return "127.0.0.1:" + std::to_string(port_); }

   private:
    int fd_;
    std::uint16_t port_ = 0;
};

TEST(KmptoolReadDeviceServer, NamesWhatItCannotUse) {
    const LoopbackSocket not_listening;
    const struct {
        std::string args;
        int status;
        std::string says;
    } cases[] = {
        {"--port rfc2217:meters --addr 63 --regs E1", 2,
         "kmptool read: 'rfc2217:meters' is not rfc2217:HOST:PORT\n"},
        {"--port tcp:127.0.0.1:0 --addr 63 --regs E1", 2,
         "kmptool read: 'tcp:127.0.0.1:0' is not tcp:HOST:PORT\n"},
        {"--port tcp:127.0.0.1:4001 --baud 2400 --addr 63 --regs E1", 2,
         "kmptool read: --baud sets nothing over tcp: (raw bytes); rfc2217: sets the line on the "
         "device server\n"},
        {"--port rfc2217:" + not_listening.Where() + " --addr 63 --regs E1", 1,
         "kmptool read: cannot connect to " + not_listening.Where() + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const auto run = RunKmptool("read " + c.args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, c.says);
    }
}

TEST(KmptoolReadDeviceServer, AServerThatHangsUpEndsTheReadWithTheReason) {
    LoopbackSocket server;
    ASSERT_EQ(::listen(server.Fd(), 1), 0);
    // Takes the connection and the first request, then hangs up.
    std::thread serve([&] {
        const int connection = ::accept(server.Fd(), nullptr, nullptr);
        if (connection < 0) return;
        char request[64];
        (void)::recv(connection, request, sizeof request, 0);
        ::close(connection);
    });
    // Left waiting, these attempts would take over an hour.
    const auto run = RunKmptool("read --port tcp:" + server.Where() +
                                " --addr 63 --regs E1 --timeout 60000 --attempts 100");
    serve.join();
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "kmptool read: " + server.Where() + " closed the connection\n");
}

}  // namespace
}  // namespace zol::kmptool
