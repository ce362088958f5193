// metersim --tcp as a KMP master reaches it: the built program, a real loopback connection,
// replies with the chosen faults, and a second master after the first hangs up.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "kmp/kmp_frame.h"
#include "kmp/test_hex.h"

namespace zol::metersim {
namespace {

using kmp::test::ToHex;

// The server process, stopped with SIGTERM as a user's Ctrl-C would.
class Server {
   public:
    explicit Server(std::vector<const char*> options) {
        int out[2];
        if (::pipe(out) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            const std::string program = std::string(ZOL_BIN_DIR) + "/metersim";
            std::vector<const char*> argv{"metersim", "--tcp", "0"};
            argv.insert(argv.end(), options.begin(), options.end());
            argv.push_back(nullptr);
            ::execv(program.c_str(), const_cast<char* const*>(argv.data()));
            ::_exit(127);
        }
        ::close(out[1]);
        FILE* lines = ::fdopen(out[0], "r");
        char line[128] = {};
        if (lines != nullptr && std::fgets(line, sizeof line, lines) != nullptr) {
            unsigned port = 0;
            if (std::sscanf(line, "listening on 127.0.0.1:%u", &port) == 1) {
                port_ = static_cast<std::uint16_t>(port);
            }
        }
        if (lines != nullptr) std::fclose(lines);
    }
    ~Server() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, &status_, 0);
    }
    std::uint16_t Port() const { return port_; }

   private:
    pid_t pid_ = -1;
    int status_ = 0;
    std::uint16_t port_ = 0;
};

int Connect(std::uint16_t port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

// Sends a request frame and collects the replies up to the `frames`th stop byte (at most 3 s).
std::string Ask(int s, const std::vector<std::uint8_t>& body, int frames = 1) {
    const auto frame = kmp::KmpStuff(body);
    if (::send(s, frame.data(), frame.size(), 0) != static_cast<ssize_t>(frame.size())) return {};
    std::vector<std::uint8_t> reply;
    while (std::count(reply.begin(), reply.end(), kmp::KmpStop) < frames) {
        pollfd p{s, POLLIN, 0};
        if (::poll(&p, 1, 3000) <= 0) break;
        std::uint8_t buffer[64];
        const ssize_t n = ::recv(s, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        reply.insert(reply.end(), buffer, buffer + n);
    }
    return ToHex(reply);
}

TEST(MetersimTcp, AnswersEachMasterOverLoopbackWithItsFaults) {
    Server server({"--fault", "63:corrupt=2"});
    ASSERT_NE(server.Port(), 0) << "metersim --tcp did not report its port";
    const auto type_request = kmp::BuildIdentificationRequest(63, kmp::CidGetType);
    for (int master = 0; master < 2; ++master) {
        SCOPED_TRACE(master);
        const int s = Connect(server.Port());
        ASSERT_GE(s, 0);
        // Replies 1 and 3 intact, 2 and 4 with the checksum off by one.
        EXPECT_EQ(Ask(s, type_request), "40 3F 01 02 10 00 05 BE 70 0D");
        EXPECT_EQ(Ask(s, type_request), "40 3F 01 02 10 00 05 BE 71 0D");
        ::close(s);
    }
}

// --line puts the meters of a sim: port text on the line, with their faults; --fault still
// reaches a meter of that line, wherever it stands among the options.
TEST(MetersimTcp, ServesTheMetersItsLineNames) {
    Server server({"--fault", "64:corrupt=2", "--line", "21/serial0,64,22/answers=21"});
    ASSERT_NE(server.Port(), 0) << "metersim --tcp did not report its port";
    const int s = Connect(server.Port());
    ASSERT_GE(s, 0);
    // 21's serial number reads 0; 22 answers 21's requests after it, in a frame of its own.
    EXPECT_EQ(Ask(s, kmp::BuildIdentificationRequest(21, kmp::CidGetSerialNo), 2),
              "40 15 02 00 00 00 00 1D 1B F9 0D 40 16 02 03 FF DD 76 FA 73 0D");
    // 64 is the electricity meter (its address sent escaped), every second reply damaged.
    const auto electricity_type = kmp::BuildIdentificationRequest(64, kmp::CidGetType);
    EXPECT_EQ(Ask(s, electricity_type), "40 1B BF 01 04 01 01 02 2E F3 0D");
    EXPECT_EQ(Ask(s, electricity_type), "40 1B BF 01 04 01 01 02 2E F4 0D");
    ::close(s);
}

}  // namespace
}  // namespace zol::metersim
