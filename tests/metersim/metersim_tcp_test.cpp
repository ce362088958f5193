// metersim as a KMP master reaches it: the built program, a real loopback connection or
// pseudo-terminal, replies with the chosen faults, a second master after the first hangs up,
// meters paced at line speed, and the program's own command line.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/wire_time.h"
#include "kmp/kmp_frame.h"
#include "kmp/test_hex.h"

namespace zol::metersim {
namespace {

using kmp::test::ToHex;

// The server process, stopped with SIGTERM as a user's Ctrl-C would.
class Server {
   public:
    // On --tcp 0, or with `pty` on a pseudo-terminal.
    explicit Server(std::vector<const char*> options, bool pty = false) {
        int out[2];
        if (::pipe(out) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            const std::string program = std::string(ZOL_BIN_DIR) + "/metersim";
            std::vector<const char*> argv{"metersim", "--tcp", "0"};
            if (pty) argv = {"metersim", "--pty"};
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
            device_ = line;
            if (!device_.empty() && device_.back() == '\n') device_.pop_back();
        }
        if (lines != nullptr) std::fclose(lines);
    }
    ~Server() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, &status_, 0);
    }
    std::uint16_t Port() const { return port_; }
    const std::string& Device() const { return device_; }

   private:
    std::string device_;
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

// Sends `request` and notes when each reply byte arrived, in ms after the send, up to the
// reply's stop byte or, given `bytes`, that many bytes (at most 3 s).
std::vector<double> TimedAsk(int s, const std::vector<std::uint8_t>& request,
                             std::vector<std::uint8_t>& reply, std::size_t bytes = 0) {
    std::vector<double> arrivals;
    reply.clear();
    const auto start = std::chrono::steady_clock::now();
    if (::write(s, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        return arrivals;
    }
    pollfd p{s, POLLIN, 0};
    std::uint8_t buffer[128];
    while ((bytes > 0 ? reply.size() < bytes : reply.empty() || reply.back() != kmp::KmpStop) &&
           ::poll(&p, 1, 3000) > 0) {
        const ssize_t n = ::read(s, buffer, sizeof buffer);
        if (n <= 0) break;
        reply.insert(reply.end(), buffer, buffer + n);
        arrivals.resize(reply.size(), std::chrono::duration<double, std::milli>(
                                          std::chrono::steady_clock::now() - start)
                                          .count());
    }
    return arrivals;
}

// A meter at 1200 8N2 with 50 ms latency: an eight-register read takes what the wire-time
// function computes, within 5% (the scheduler's share); its bytes come a character time apart,
// none before the wire could have carried it (the server's clock reads whole ms: 1 ms slack).
TEST(MetersimTcp, APacedExchangeTakesTheWireTimeOfItsFrames) {
    Server server({"--baud", "1200", "--latency", "50"});
    const int s = Connect(server.Port());
    ASSERT_GE(s, 0);
    const std::vector<std::uint16_t> ids{0x3C, 0x5E, 0x44, 0x45, 0x48, 0x56, 0x57, 0x50};
    const tools::LineFraming line;
    const double computed = tools::RegisterReadWireTime(line, 63, ids, 50).total_ms;
    const double character = tools::CharacterMs(line);
    const auto request = kmp::KmpStuff(kmp::BuildRegisterRequest(63, ids));
    std::vector<double> exchanges;
    for (int round = 0; round < 3; ++round) {
        std::vector<std::uint8_t> reply;
        const auto arrivals = TimedAsk(s, request, reply);
        ASSERT_GT(reply.size(), 40u) << ToHex(reply);
        for (std::size_t k = 0; k < arrivals.size(); ++k) {
            ASSERT_GE(arrivals[k], double(request.size() + k + 1) * character + 50 - 1) << k;
        }
        EXPECT_NEAR((arrivals.back() - arrivals.front()) / double(arrivals.size() - 1), character,
                    character * 0.05);
        exchanges.push_back(arrivals.back());
    }
    ::close(s);
    std::sort(exchanges.begin(), exchanges.end());
    EXPECT_NEAR(exchanges[1], computed, computed * 0.05);
}

// On a pseudo-terminal the meter is heard only by a master set to its speed and format; at
// another it sends noise as long as its reply, with no frame start in it.
TEST(MetersimPty, APacedMeterAnswersOnlyAMasterAtItsSpeedAndFormat) {
    Server server({"--baud", "1200", "--latency", "10"}, /*pty=*/true);
    const int fd = ::open(server.Device().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0) << server.Device();
    const auto request = kmp::KmpStuff(kmp::BuildIdentificationRequest(63, kmp::CidGetType));
    const struct {
        speed_t speed;
        tcflag_t format;
        const char* reply;  // "" noise
    } cases[] = {{B9600, CS8 | CSTOPB, ""},
                 {B1200, CS8 | PARENB, ""},
                 {B1200, CS8 | CSTOPB, "40 3F 01 02 10 00 05 BE 70 0D"}};
    for (const auto& c : cases) {
        termios tio{};
        ::tcgetattr(fd, &tio);
        ::cfmakeraw(&tio);
        tio.c_cflag = (tio.c_cflag & ~tcflag_t{CSIZE | PARENB | CSTOPB}) | c.format;
        ::cfsetspeed(&tio, c.speed);
        ASSERT_EQ(::tcsetattr(fd, TCSANOW, &tio), 0);
        std::vector<std::uint8_t> reply;
        TimedAsk(fd, request, reply, 10);
        EXPECT_EQ(reply.size(), 10u) << ToHex(reply);
        EXPECT_TRUE(*c.reply == '\0' || ToHex(reply) == c.reply) << ToHex(reply);
        EXPECT_EQ(std::count(reply.begin(), reply.end(), kmp::KmpRespStart), *c.reply ? 1 : 0);
    }
    ::close(fd);
}

// Help on stdout with exit 0; a bad option or value named on stderr, exit 2.
TEST(MetersimCommandLine, HelpOnStdoutAndBadOptionsNamed) {
    const struct {
        const char* arguments;
        int exit;
        const char* out;  // what standard output starts with
        const char* err;  // standard error's first line
    } cases[] = {
        {"--help", 0, "usage: metersim [--pty | --tcp PORT [--bind ADDR]]", ""},
        {"--pyt", 2, "", "metersim: unknown option --pyt; did you mean --pty?"},
        {"--baud 1234", 2, "", "metersim: bad --baud '1234' (300, 600, 1200, 2400, 4800, 9600, "},
        {"--latency", 2, "", "metersim: --latency needs a value"},
    };
    const std::string out = ::testing::TempDir() + "metersim_out", err = out + "_err";
    const auto read = [](const std::string& path) {
        std::stringstream text;
        text << std::ifstream(path).rdbuf();
        return text.str();
    };
    for (const auto& c : cases) {
        const int status = std::system((std::string(ZOL_BIN_DIR) + "/metersim " + c.arguments +
                                        " </dev/null >" + out + " 2>" + err)
                                           .c_str());
        EXPECT_EQ(WEXITSTATUS(status), c.exit) << c.arguments;
        EXPECT_EQ(read(out).rfind(c.out, 0), 0u) << c.arguments;
        EXPECT_EQ(read(err).rfind(c.err, 0), 0u) << c.arguments << ": " << read(err);
        EXPECT_EQ(read(err).find("\nmetersim --help lists the options") != std::string::npos,
                  c.exit == 2);
    }
}

}  // namespace
}  // namespace zol::metersim
