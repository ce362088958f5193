// kmptool's printed formats are relied on by scripts and checks: run the built program and
// compare its output with hand-worked results. How a read ends on Ctrl-C is checked on the
// program and on the line's waits themselves.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "kmptool/run_kmptool.h"
#include "kmptool/transport.h"

namespace {

struct Result {
    std::string out;
    int status;
};

Result Kmptool(const std::string& args) {
    const std::string command = std::string(ZOL_BIN_DIR) + "/kmptool " + args + " 2>/dev/null";
    Result r{{}, -1};
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return r;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) r.out.append(buf, n);
    const int status = pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

TEST(Kmptool, PrintsTheFixedOutputFormats) {
    const struct {
        const char* args;
        const char* out;
        int status;
    } cases[] = {
        {"crc xmodem 31 32 33 34 35 36 37 38 39", "31C3\n", 0},
        {"crc 34 '31 32 33 34 35 36 37 38 39'", "CBF43926\n", 0},
        {"crc crc8-sum 313233343536373839", "DD\n", 0},
        {"crc crc16-sum 313233343536373839", "01DD\n", 0},
        {"crc crc24", "B704CE\n", 0},
        {"crc 44 00", "", 2},
        {"crc xmodem 3", "", 2},
        {"frame --addr 0x3F --cid 0x10 --regs 0x3C", "80 3F 10 01 00 3C B2 5F 0D\n", 0},
        {"frame --addr 63 --cid 1", "80 3F 01 05 8A 0D\n", 0},
        {"frame --addr 0x3F --cid 2", "80 3F 02 35 E9 0D\n", 0},
        {"frame --addr 0x4C --cid 1", "80 4C 01 58 1B 7F 0D\n", 0},
        {"frame --addr 64 --cid 1", "80 1B BF 01 1D ED 0D\n", 0},
        {"frame --addr 0x3F --cid 0x10 --regs E1", "80 3F 10 01 00 3C B2 5F 0D\n", 0},
        {"frame --addr 256 --cid 1", "", 2},
        {"scan 06 40 3F 01 05 8A 0D 40 3F 10 01 00 3C B2 5E 0D 40 3F 02",
         "FRAME 3F 01 05 8A\nCRCERR Invalid CRC (B25E,B25F) [63,10]\nREST 5E 0D 40 3F 02\n", 0},
        {"scan 40 3F 01 05 8A 0D", "FRAME 3F 01 05 8A\nREST\n", 0},
        {"scan 40 01 02 03 0D", "REST 40 01 02 03 0D\n", 0},
        {"decode 3F 01 02 10 00 05 BE 70", "TYPE 0210 0005\n", 0},
        {"decode 3F 02 00 BC 61 4E B4 83", "SERIAL 12345678\n", 0},
        // Whole frames as the tools print them, stuffed (address 64 is sent 1B BF); a body that
        // begins with address 64 and holds its checksum is still a body.
        {"decode 40 3F 01 02 10 00 05 BE 70 0D", "TYPE 0210 0005\n", 0},
        {"decode 40 1B BF 01 04 01 01 02 2E F3 0D", "TYPE 0401 0102\n", 0},
        {"decode 40 01 04 01 01 02 2E F3", "TYPE 0401 0102\n", 0},
        {"decode 40 3F 01 02 10 00 05 BE 71 0D", "TYPE 0210 0005\n", 1},
        // E1 1234 kWh, V1 10.5 m3 (exponent -1), DATE 2024-02-29, CLOCK 09:30:15,
        // T1 -12.34 C (sign and negative exponent), a scaled 123400 and an unknown register.
        {"decode '3F 10 00 3C 02 04 00 00 00 04 D2 00 44 28 02 41 00 69 03 EB 30 04 00 00 03 AA "
         "65 03 EA 2F 04 00 00 01 6B 57 00 56 25 04 C2 00 00 04 D2 00 50 15 04 02 00 00 04 D2 "
         "12 34 00 01 00 07 34 F6'",
         "003C E1 1234 kWh\n0044 V1 10.5 m3\n03EB DATE 2024-02-29 yy:mm:dd\n"
         "03EA CLOCK 09:30:15 hh:mm:ss\n0056 T1 -12.34 C\n0050 VALUE 123400 kW\n1234 - 7 -\n",
         0},
        {"decode --catalogue electricity '3F 10 04 38 15 01 00 07 40 32'", "0438 - 7 kW\n", 0},
        {"decode 3F 01 05 8B", "", 1},  // identification reply without data
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const Result r = Kmptool(c.args);
        EXPECT_EQ(r.status, c.status);
        if (c.status != 2) {
            EXPECT_EQ(r.out, c.out);
        }
    }
}

TEST(Kmptool, CrcListAndCheckCoverTheWholeCatalogue) {
    const Result list = Kmptool("crc --list");
    EXPECT_EQ(list.status, 0);
    EXPECT_NE(list.out.find("27 xmodem 16 31C3\n"), std::string::npos);
    EXPECT_NE(list.out.find("34 crc32 32 CBF43926\n"), std::string::npos);
    EXPECT_NE(list.out.find("43 crc32a 32 340BC6D9\n"), std::string::npos);
    const Result check = Kmptool("crc --check");
    EXPECT_EQ(check.status, 0);
    EXPECT_NE(check.out.find("41 models checked, 0 mismatches"), std::string::npos);
}

TEST(Kmptool, ReadsSimulatedMetersAndReportsSilentOnes) {
    const Result heat = Kmptool("read --sim --addr 63 --regs E1,DATE");
    EXPECT_EQ(heat.status, 0);
    EXPECT_NE(heat.out.find("SERIAL 67012345"), std::string::npos);
    EXPECT_NE(heat.out.find("2026-12-07"), std::string::npos);
    const Result faulty =
        Kmptool("read --sim --addr 63 --regs E1 --sim-fault split=1,noise,delay=1000");
    EXPECT_EQ(faulty.status, 0);
    EXPECT_NE(faulty.out.find("315904"), std::string::npos);
    // A meter that never answers, or only with damaged replies, is 3; a port that cannot be
    // opened is 1; a bad command line is 2.
    EXPECT_EQ(Kmptool("read --sim --addr 63 --regs E1 --sim-fault corrupt").status, 3);
    EXPECT_EQ(Kmptool("read --sim --addr 9 --regs E1").status, 3);
    EXPECT_EQ(Kmptool("read --port /nonexistent/tty --addr 9 --regs E1").status, 1);
    EXPECT_EQ(Kmptool("read --sim --adr 63 --regs E1").status, 2);
}

// What a read tells about a meter that did not give what was asked: codes of the other catalogue,
// replies later than the timeout (never taken for the answer to a later request), and a damaged
// reply, after which the request goes out again at once: the meter's clock, read after it, shows
// no time lost to the 10-minute timeout.
TEST(Kmptool, ReadSaysWhyValuesAreMissingOrSlow) {
    const struct {
        const char* args;
        int status;
        std::vector<const char*> says;  // lines on stdout or stderr, in that order
    } cases[] = {
        {"read --sim --addr 64 --regs E1,V1",
         3,
         {"003C   E1                   (no value)",
          "kmptool read: meter 64 is type 0401, an electricity meter: the electricity catalogue "
          "names its registers; read it with --catalogue electricity\n",
          "kmptool read: meter 64 gave no value for any register asked\n"}},
        // Two register requests: the late second copy of the first reply comes during the
        // second request, and must not stand for its answer (V2 would have no value).
        {"read --sim --addr 63 --regs E1,V1,E2,E3,E4,E5,E6,E7,E8,V2 --sim-fault delay=520 "
         "--timeout 300",
         0,
         {"0044   V1                   27415.33", "0045   V2                   27400.12",
          "kmptool read: late replies: 3 (63 answered after 520 ms: raise --timeout)\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const auto run = zol::kmptool::testing::RunKmptool(c.args);
        EXPECT_EQ(run.status, c.status);
        std::size_t at = 0;
        for (const char* line : c.says) {
            at = run.out.find(line, at);
            EXPECT_NE(at, std::string::npos) << line << "\nin:\n" << run.out;
        }
    }
    // Replies to requests already answered are no late ones: an identification reply sent
    // twice, or the serial-number reply given for every register request.
    for (const char* fault : {"late-duplicate-ident", "serial-for-registers"}) {
        const auto run = zol::kmptool::testing::RunKmptool(
            std::string("read --sim --addr 63 --regs E1 --attempts 2 --sim-fault ") + fault);
        EXPECT_EQ(run.out.find("late replies"), std::string::npos) << run.out;
    }
    const auto clock = [](const std::string& fault) {
        const Result r = Kmptool("read --sim --addr 63 --regs CLOCK --timeout 600000 " + fault);
        EXPECT_EQ(r.status, 0);
        return r.out;
    };
    EXPECT_EQ(clock("--sim-fault corrupt=3"), clock(""));
}

// kmptool read on a pseudo-terminal nobody answers: once its request is on the line, the test
// either sends Ctrl-C (SIGINT) or closes the line's other end, as an unplugged adapter would.
TEST(Kmptool, ReadEndsInOrderWhenInterruptedOrWhenThePortGoesAway) {
    const struct {
        bool interrupt;
        int status;
        const char* says;  // the one line on stderr
    } cases[] = {
        {true, 130, "kmptool read: interrupted\n"},
        // Caught while still writing the request, or while waiting for the reply.
        {false, 1, "kmptool read: (writing the request failed.*|the port hung up)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        const int line = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(line, 0);
        ASSERT_EQ(grantpt(line), 0);
        ASSERT_EQ(unlockpt(line), 0);
        const std::string device = ptsname(line);
        int err[2];
        ASSERT_EQ(pipe(err), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        posix_spawn_file_actions_addclose(&actions, line);
        const std::string tool = std::string(ZOL_BIN_DIR) + "/kmptool";
        std::vector<std::string> args = {tool,         "read", "--port",    device,
                                         "--addr",     "63",   "--regs",    "E1",
                                         "--attempts", "1",    "--timeout", "600000"};
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(err[1]);
        // The type request to 63 up to its stop byte: the tool now waits for the answer.
        std::vector<std::uint8_t> request;
        while (request.empty() || request.back() != 0x0D) {
            pollfd ready{line, POLLIN, 0};
            if (poll(&ready, 1, 30000) != 1) break;
            std::uint8_t byte = 0;
            if (read(line, &byte, 1) != 1) break;
            request.push_back(byte);
        }
        EXPECT_EQ(request, (std::vector<std::uint8_t>{0x80, 0x3F, 0x01, 0x05, 0x8A, 0x0D}));
        if (c.interrupt) {
            kill(pid, SIGINT);
        } else {
            close(line);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        if (c.interrupt) close(line);
        std::string said;
        char buffer[256];
        for (ssize_t n; (n = read(err[0], buffer, sizeof buffer)) > 0;)
            said.append(buffer, static_cast<std::size_t>(n));
        close(err[0]);
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), c.status);
        EXPECT_TRUE(std::regex_match(said, std::regex(c.says))) << said;
    }
}

// The moment the test above can only hope to hit, made certain: Ctrl-C comes after the reader last
// asked Interrupted() and before its wait starts. The wait must end at once all the same, on a
// serial port as on a device server. Each wait runs in a child process, as a caught Ctrl-C stays
// caught; the alarm ends only a wait that missed it, which would otherwise sit out 10 minutes.
TEST(Kmptool, LineWaitEndsForACtrlCThatCameJustBeforeIt) {
    using namespace zol::kmptool;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    // A device server that takes the connection and never sends a byte.
    const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(server, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(server, 1), 0);
    ASSERT_EQ(getsockname(server, reinterpret_cast<sockaddr*>(&address), &length), 0);
    std::string error;
    std::unique_ptr<Transport> lines[] = {
        OpenSerialPort(ptsname(master), SerialSettings{}, error),
        OpenDeviceServer({false, "127.0.0.1", ntohs(address.sin_port)}, SerialSettings{}, error)};
    for (auto& line : lines) {
        ASSERT_NE(line, nullptr) << error;
        EXPECT_EXIT(
            {
                alarm(30);
                CatchInterrupt();
                std::raise(SIGINT);
                const bool ended = line->Read(600000).empty() && line->FailureText().empty();
                std::_Exit(ended && Interrupted() ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "");
        line.reset();
    }
    close(server);
    close(master);
}

TEST(Kmptool, ReadPrintsOneJsonObjectWithTypedValues) {
    const Result read = Kmptool("read --sim --addr 63 --regs E1,DATE --json");
    EXPECT_EQ(read.status, 0);
    EXPECT_EQ(read.out.rfind("{\"address\": 63, \"type\": \"0210\", ", 0), 0u) << read.out;
    EXPECT_NE(read.out.find("\"serial\": 67012345, \"values\": {\"E1\": {\"id\": \"003C\", "
                            "\"value\": 315904, \"unit\": \"kWh\"}, \"DATE\": {"),
              std::string::npos)
        << read.out;
    EXPECT_NE(read.out.find("\"value\": \"2026-12-07\""), std::string::npos) << read.out;
    EXPECT_EQ(read.out.find('\n'), read.out.size() - 1) << "one line";
}

}  // namespace
