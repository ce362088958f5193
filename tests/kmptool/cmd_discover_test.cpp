// kmptool discover as scripts run it: the meters on stdout (lines or one JSON array) and nothing
// else there, progress on stderr a line per tenth when it is not a terminal, the exit codes, and
// a written configuration that kmptool's own check passes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "kmptool/run_kmptool.h"

namespace zol::kmptool::testing {
namespace {

TEST(KmptoolDiscover, PrintsTheMetersFoundAndEndsWithItsExitCode) {
    const struct {
        const char* args;
        int status;
        const char* out;  // stdout, exactly
    } cases[] = {
        {"discover --sim 63,64 --addresses 60-70", 0,
         "METER 63 TYPE 0210 REVISION 0005 SERIAL 67012345 CATALOGUE heat\n"
         "METER 64 TYPE 0401 REVISION 0102 SERIAL 5512093 CATALOGUE electricity\n"},
        {"discover --sim 64,20/serial=7/type=7F01 --addresses 64,20 --json", 0,
         "[{\"address\": 64, \"type\": \"0401\", \"revision\": \"0102\", \"serial\": 5512093, "
         "\"catalogue\": \"electricity\", \"read\": \"ok\"}, {\"address\": 20, \"type\": "
         "\"7F01\", \"revision\": \"0005\", \"serial\": 7, \"catalogue\": \"heat\", \"read\": "
         "\"ok\"}]\n"},
        {"discover --sim 63/silent,65 --addresses 60-64 --json", 3, "[]\n"},
        {"discover --port /nonexistent/tty --addresses 1", 1, ""},
        {"discover --sim 63 --port /dev/null", 2, ""},
        {"discover --sim 63/loud", 2, ""},
        {"discover --sim 63 --addresses 0-3", 2, ""},
        {"discover --sim 63 --poll 15M", 2, ""},
        {"discover --sim 63 --write-config /dev/null --registers some", 2, ""},
        {"discover --tcp 127.0.0.1:1 --baud 9600", 2, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const ToolRun run = RunKmptool(c.args, true);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, c.out);
    }
}

TEST(KmptoolDiscover, ReportsProgressByTenthsAndWhatItHeardBesidesMeters) {
    // 63 damaged every second reply, 70 answering 71's requests as well.
    const ToolRun run = RunKmptoolStderr("discover --sim 63/corrupt=2,70/answers=71");
    EXPECT_EQ(run.status, 0);
    const std::regex tenth(
        "kmptool discover: (\\d+)% \\(\\d+ of 254 addresses\\), \\d found, "
        "\\d+:\\d\\d left\n");
    std::string percents;
    for (std::sregex_iterator it(run.out.begin(), run.out.end(), tenth), end; it != end; ++it)
        percents += (*it)[1].str() + " ";
    EXPECT_EQ(percents, "10 20 30 40 50 60 70 80 90 100 ") << run.out;
    // The damaged every-second reply: the serial number's, and the test read's.
    EXPECT_NE(run.out.find("damaged replies: 2 (asked 63, from 63 x2)"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("replies from the wrong address: 2 (asked 71, answered by 70 x2)"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("kmptool discover: 2 meters on 254 of 254 addresses"), std::string::npos)
        << run.out;
}

TEST(KmptoolDiscover, WritesAConfigurationThatPassesTheCheck) {
    const std::string file = ::testing::TempDir() + "discover_written.xml";
    for (const char* registers : {"default", "all"}) {
        SCOPED_TRACE(registers);
        std::remove(file.c_str());
        const ToolRun found = RunKmptool(
            "discover --sim 63,64,200/electricity --addresses 60-70,200 "
            "--write-config " +
            file + " --poll 30S --registers " + registers);
        EXPECT_EQ(found.status, 0) << found.out;
        const ToolRun check = RunKmptool("requests " + file + " --check");
        EXPECT_EQ(check.status, 0);
        EXPECT_EQ(check.out, "");
        const ToolRun preview =
            RunKmptool("requests " + file + " --dry-run 40 --from 2026-12-07T06:00:00", true);
        EXPECT_EQ(preview.status, 0);
        for (const char* meter : {"send 63 67012345", "send 64 5512093", "send 200 5512093"}) {
            EXPECT_NE(preview.out.find(meter), std::string::npos) << meter << "\n" << preview.out;
        }
    }
    // No meter, no file.
    std::remove(file.c_str());
    EXPECT_EQ(RunKmptool("discover --sim 63 --addresses 1-3 --write-config " + file).status, 3);
    EXPECT_EQ(std::fopen(file.c_str(), "r"), nullptr);
}

// What a technician is told about meters that are slow, answer their identity but no register,
// and about files and address lists that would go wrong. `listed`: the addresses on stdout.
TEST(KmptoolDiscover, TellsSlowAndUnreadableMetersApartFromConflicts) {
    const struct {
        const char* args;
        int status;
        const char* listed;
        std::vector<const char*> said;  // on stderr
        std::vector<const char*> not_said;
    } cases[] = {
        // A meter answering after 500 ms is late, listed, and blames no other address.
        {"--sim 63,65/delay=500,66 --addresses 60-70",
         0,
         "63 65 66 ",
         {"65 answered after 592 ms: raise --timeout"},
         {"wrong address", "out of turn", "damaged", "66 answered"}},
        {"--sim 63,65/delay=500,66 --addresses 60-70 --attempts 1",
         0,
         "63 65 66 ",
         {"65 answered after 592 ms: raise --timeout"},
         {"wrong address", "out of turn"}},
        // The last address asked: its answer comes after the scan, and is still heard.
        {"--sim 65/delay=500 --addresses 60-65 --attempts 1",
         0,
         "65 ",
         {"65 answered after 592 ms: raise --timeout"},
         {}},
        // Identified, but no register ever comes: marked, and the exit code says so.
        {"--sim 63,65/no-registers,66/garbled-registers,67/serial-for-registers --addresses 63-67",
         3,
         "63 65 66 67 ",
         {"METER 65 TYPE 0210 REVISION 0005 SERIAL 67100065 CATALOGUE heat READ FAILED "
          "(register 003C: no reply)\n",
          "CATALOGUE heat READ FAILED (register 003C: damaged reply)\n",
          "CATALOGUE heat READ FAILED (register 003C: wrong reply)\n",
          "meter 67 failed its test read (register 003C: wrong reply)"},
         {"METER 63 TYPE 0210 REVISION 0005 SERIAL 67012345 CATALOGUE heat READ"}},
        {"--sim 63 --addresses 70-60",
         2,
         "",
         {"--addresses: address range '70-60' is reversed: write 60-70"},
         {}},
        {"--sim 63 --addresses 63 --force", 2, "", {"--force goes with --write-config"}, {}},
    };
    const std::regex meter("METER (\\d+) ");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const ToolRun run = RunKmptool(std::string("discover ") + c.args);
        EXPECT_EQ(run.status, c.status) << run.out;
        std::string listed;
        for (std::sregex_iterator it(run.out.begin(), run.out.end(), meter), end; it != end; ++it)
            listed += (*it)[1].str() + " ";
        EXPECT_EQ(listed, c.listed) << run.out;
        for (const char* text : c.said) EXPECT_NE(run.out.find(text), std::string::npos) << text;
        for (const char* text : c.not_said)
            EXPECT_EQ(run.out.find(text), std::string::npos) << text << "\n" << run.out;
    }
}

std::string FileText(const std::string& path) {
    std::string text;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        char buffer[512];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
            text.append(buffer, n);
        std::fclose(file);
    }
    return text;
}

// The written timeout covers the request's own time on the wire at the line's speed and the time
// allowed for the meter to answer: a seven-register heat read is about 835 ms on a 1200 baud line.
TEST(KmptoolDiscover, WritesTimeoutsTheLineCanMeet) {
    const std::string file = ::testing::TempDir() + "discover_timeouts.xml";
    const struct {
        const char* args;
        unsigned at_least, below;  // the <Timeout> of meter 63's request
        const char* said;
    } cases[] = {
        {"", 835 + 300, 1300, "at 1200 8N2, and 300 ms are allowed for the meter to answer"},
        {" --baud 9600 --timeout 500", 500 + 104, 700, "at 9600 8N2, and 500 ms are allowed"},
        // A meter that took 592 ms is allowed twice that.
        {" --sim 63/delay=500 --attempts 1", 835 + 1184, 2200, "1184 ms are allowed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const std::string sim =
            std::string(c.args).find("--sim") == std::string::npos ? "--sim 63 " : "";
        const ToolRun run = RunKmptool("discover " + sim +
                                       "--addresses 60-64 --force --write-config " + file + c.args);
        EXPECT_EQ(run.status, 0) << run.out;
        const std::string text = FileText(file);
        std::smatch timeout;
        ASSERT_TRUE(std::regex_search(text, timeout, std::regex("<Timeout>(\\d+)</Timeout>")))
            << text;
        EXPECT_GE(std::stoul(timeout[1]), c.at_least) << text;
        EXPECT_LT(std::stoul(timeout[1]), c.below) << text;
        EXPECT_NE(text.find(c.said), std::string::npos) << text;
    }
    std::remove(file.c_str());
}
// A hand-edited file is kept unless --force; a meter that failed its test read is written with a
// comment saying so, and the file still passes the check.
TEST(KmptoolDiscover, KeepsAnExistingFileAndMarksUnreadableMetersInTheOneItWrites) {
    const std::string file = ::testing::TempDir() + "discover_kept.xml";
    {
        FILE* hand = std::fopen(file.c_str(), "wb");
        ASSERT_NE(hand, nullptr);
        std::fputs("<QUERY><!-- edited by hand --></QUERY>\n", hand);
        std::fclose(hand);
    }
    const std::string args =
        "discover --sim 63,65/no-registers --addresses 63-65 --write-config " + file;
    const ToolRun refused = RunKmptool(args);
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.out.find(file + " exists: give --force to overwrite it"), std::string::npos)
        << refused.out;
    EXPECT_EQ(FileText(file), "<QUERY><!-- edited by hand --></QUERY>\n");

    const ToolRun forced = RunKmptool(args + " --force");
    EXPECT_EQ(forced.status, 3) << forced.out;
    const std::string text = FileText(file);
    EXPECT_NE(text.find("<!-- meter 65: the test read of register 003C failed (no reply)"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("meter 63: the test read"), std::string::npos) << text;
    const ToolRun check = RunKmptool("requests " + file + " --check");
    EXPECT_EQ(check.status, 0);
    EXPECT_EQ(check.out, "");
    std::remove(file.c_str());
}

// A port the user may not open names the group that may, with the remedy. Run as an unprivileged
// user against a file only root may open (the test must start as root to switch user).
TEST(KmptoolDiscover, APortThatRefusesTheUserNamesTheDialoutGroup) {
    if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0) {
        GTEST_SKIP() << "needs root and setpriv to run kmptool as another user";
    }
    const std::string port = ::testing::TempDir() + "discover_port_root_only";
    std::fclose(std::fopen(port.c_str(), "w"));
    ::chmod(port.c_str(), 0600);
    const ToolRun run = RunKmptoolCommand(
        "/usr/bin/setpriv --reuid 65534 --regid 65534 "
        "--clear-groups " ZOL_BIN_DIR "/kmptool read --port " +
        port + " --addr 63 --regs E1 2>&1");
    std::remove(port.c_str());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find(port + ": Permission denied (serial ports belong to the dialout group: "
                                  "sudo usermod -aG dialout $USER, then log out and in again)"),
              std::string::npos)
        << run.out;
}

}  // namespace
}  // namespace zol::kmptool::testing
