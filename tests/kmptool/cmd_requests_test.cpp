// kmptool requests: the JSON a configuration loads into and the schedule preview, exactly as
// scripts read them.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "kmptool/run_kmptool.h"

namespace {

using zol::kmptool::testing::RunKmptool;
using zol::kmptool::testing::ToolRun;

const std::string kTwoEntries = std::string(ZOL_TEST_DATA_DIR) + "/requests/two_entries.xml";

TEST(KmptoolRequests, PrintsEveryLoadedRequestAsJson) {
    const ToolRun run = RunKmptool("requests - < " + kTwoEntries, true);
    EXPECT_EQ(run.status, 0);
    const std::string heat =
        R"("name": "Heat", "enabled": true, "method": "poll", "pollInterval": 1000, "param": "", )"
        R"("cronParams": ["", "", "", "", "", ""], "schedules": [], "timeout": 300, )"
        R"("maxRetries": 3, "group": 0, "registers": [{"id": 60, "name": "E1", )"
        R"("caption": "Energy register 1: Heat energy", "code": "E1"}]})";
    EXPECT_EQ(run.out,
              "{\"passiveCount\": 0, \"requests\": [\n"
              "  {\"address\": 1, \"addressText\": \"1\", " +
                  heat +
                  ",\n"
                  "  {\"address\": 2, \"addressText\": \"2\", " +
                  heat +
                  ",\n"
                  R"(  {"address": 9, "addressText": "9", "name": "Noon", "enabled": true, )"
                  R"("method": "cron", "pollInterval": 1000, "param": "*/2 * * * * *", )"
                  R"("cronParams": ["*", "*", "*", "*", "*", "*/2"], )"
                  R"("schedules": [{"index": 0, "cron": "*/2 * * * * * *"}], "timeout": 300, )"
                  R"("maxRetries": 3, "group": 1, "registers": [{"id": 1003, "name": "Today", )"
                  R"("caption": "Current date", "code": "DATE"}]})"
                  "\n]}\n");
}

TEST(KmptoolRequests, DryRunPrintsSendsAndTheSilentAddressesTimeouts) {
    const ToolRun run = RunKmptool(
        "requests " + kTwoEntries + " --dry-run 3 --from 2026-01-01T00:00:00 --silent 2", true);
    EXPECT_EQ(run.status, 0);
    // Address 2 never answers: three attempts, counted up, then it waits for its next poll,
    // counted from its last send. The cron request fires at 00:00:02 but waits for the exchange in
    // flight.
    EXPECT_EQ(run.out,
              "2026-01-01T00:00:00.050 send 1 Heat\n"
              "2026-01-01T00:00:00.100 send 2 Heat\n"
              "2026-01-01T00:00:00.400 timeout 2 Heat attempt 1 of 3\n"
              "2026-01-01T00:00:00.400 send 2 Heat\n"
              "2026-01-01T00:00:00.700 timeout 2 Heat attempt 2 of 3\n"
              "2026-01-01T00:00:00.700 send 2 Heat\n"
              "2026-01-01T00:00:01.000 timeout 2 Heat attempt 3 of 3\n"
              "2026-01-01T00:00:01.050 send 1 Heat\n"
              "2026-01-01T00:00:01.700 send 2 Heat\n"
              "2026-01-01T00:00:02.000 timeout 2 Heat attempt 1 of 3\n"
              "2026-01-01T00:00:02.000 send 2 Heat\n"
              "2026-01-01T00:00:02.300 timeout 2 Heat attempt 2 of 3\n"
              "2026-01-01T00:00:02.300 send 2 Heat\n"
              "2026-01-01T00:00:02.600 timeout 2 Heat attempt 3 of 3\n"
              "2026-01-01T00:00:02.600 send 9 Noon\n"
              "2026-01-01T00:00:02.650 send 1 Heat\n");
}

// Time lists and cron strings as people write them: "12 am" and "12 pm", a doubled blank, a
// five-field Unix cron string and one too short. The preview shows when they really run.
TEST(KmptoolRequests, ScheduleTextsRunWhenTheirWritersMeantThemTo) {
    const std::string file = std::string(ZOL_TEST_DATA_DIR) + "/requests/schedule_texts.xml";
    const ToolRun loaded = RunKmptool("requests " + file, true);
    EXPECT_EQ(loaded.status, 0);
    const char* schedules[] = {
        R"("schedules": [{"index": 0, "cron": "0 0 0 * * * *"}, )"
        R"({"index": 1, "cron": "0 15 0 * * * *"}, {"index": 2, "cron": "0 0 12 * * * *"}, )"
        R"({"index": 3, "cron": "0 30 12 * * * *"}])",
        R"("cronParams": ["*", "*", "*", "12", "0", "0"], )"
        R"("schedules": [{"index": 0, "cron": "0 0 12 * * * *"}])",
        R"("cronParams": ["1-5", "*", "*", "6", "30", "0"], )"
        R"("schedules": [{"index": 0, "cron": "0 30 6 * * 1-5 *"}])",
        R"("cronParams": ["", "", "", "", "", ""], )"
        R"("schedules": [{"index": 0, "cron": "0 0 0 * * * *"}])",
    };
    for (const char* expected : schedules) {
        EXPECT_NE(loaded.out.find(expected), std::string::npos) << expected << "\n" << loaded.out;
    }

    // Thursday 23:00 to Saturday 07:00: the workday reading runs on Friday only.
    const ToolRun run =
        RunKmptool("requests " + file + " --dry-run 115200 --from 2026-01-01T23:00:00", true);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "2026-01-02T00:00:00.000 send 1 Clock\n"
              "2026-01-02T00:00:00.000 send 4 Short\n"
              "2026-01-02T00:15:00.000 send 1 Clock\n"
              "2026-01-02T06:30:00.000 send 3 Workdays\n"
              "2026-01-02T12:00:00.000 send 1 Clock\n"
              "2026-01-02T12:00:00.000 send 2 Doubled\n"
              "2026-01-02T12:30:00.000 send 1 Clock\n"
              "2026-01-03T00:00:00.000 send 1 Clock\n"
              "2026-01-03T00:00:00.000 send 4 Short\n"
              "2026-01-03T00:15:00.000 send 1 Clock\n");
}

TEST(KmptoolRequests, UnreadableInputIsOneLineOnStderrAndExitOne) {
    ToolRun run = RunKmptool("requests /nonexistent/site.xml");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "kmptool requests: /nonexistent/site.xml: cannot be opened\n");
    run = RunKmptool("requests - < /dev/null");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              "kmptool requests: -: no QUERY element: this is not a request configuration\n");
    EXPECT_EQ(RunKmptool("requests - --dry-run 5 < " + kTwoEntries).status, 2);
}

// --check prints only the findings, on stdout, and says by its exit code whether there were any;
// without it the same findings go to stderr and the JSON and exit code stay as they were.
TEST(KmptoolRequests, CheckPrintsOnlyTheFindingsAndExitsThreeOnAny) {
    const std::string broken = ::testing::TempDir() + "kmptool_requests_broken.xml";
    const std::string cut_off = ::testing::TempDir() + "kmptool_requests_cut_off.xml";
    std::ofstream(broken, std::ios::binary)
        << "<QUERY>\n<Request caption=\"Heat\">\n<Devise>63</Devise>\n"
           "<Response><Item><Register>E1</Register></Item></Response>\n</Request>\n</QUERY>\n";
    std::ofstream(cut_off, std::ios::binary) << "<QUERY><Request><Device>1</Device";
    const std::string findings =
        "warning: Heat: line 3: Devise is not an element the plug-in reads (did you mean "
        "Device?): without Device, address 1 is asked\n"
        "warning: Heat: line 4: Register \"E1\" is read as the hexadecimal id 00E1; the "
        "catalogue's code E1 is register 003C\n";

    ToolRun run = RunKmptool("requests " + broken + " --check");
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out, findings);
    run = RunKmptool("requests --check - < " + kTwoEntries);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    // A text that breaks off is refused without --check; with it, that is a finding.
    EXPECT_EQ(RunKmptool("requests " + cut_off).status, 1);
    run = RunKmptool("requests --check " + cut_off);
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out,
              "warning: Request #1: line 1: the tag that starts here never ends: the rest of the "
              "text is not read\n"
              "warning: document: line 1: <QUERY> is never closed\n"
              "warning: Request #1: line 1: <Request> is never closed\n"
              "warning: Request #1: line 1: <Device> is never closed\n"
              "warning: Request #1: line 1: no Response element: the plug-in does not load this "
              "request\n");
    EXPECT_EQ(RunKmptool("requests /nonexistent/site.xml --check").status, 1);
    EXPECT_EQ(RunKmptool("requests " + broken +
                         " --check --dry-run 5 --from "
                         "2026-01-01T00:00:00")
                  .status,
              2);

    const ToolRun json = RunKmptool("requests " + broken, true);
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.out.rfind("{\"passiveCount\": 1, \"requests\": [\n  {\"address\": 1, ", 0), 0u)
        << json.out;
    const ToolRun warned = zol::kmptool::testing::RunKmptoolStderr("requests " + broken);
    EXPECT_EQ(warned.status, 0);
    EXPECT_EQ(warned.out, findings);
    std::remove(broken.c_str());
    std::remove(cut_off.c_str());
}

// Five-field cron strings through the queue the plug-in runs: Sunday as 0, and a day that is both
// the 15th and a Monday run once for a string that restricts both day fields.
TEST(KmptoolRequests, FiveFieldCronStringsRunOnUnixDays) {
    const std::string file = ::testing::TempDir() + "unix_days.xml";
    std::ofstream(file) << "<QUERY>"
                           "<R caption=\"Sun\"><Enabled>1</Enabled><Device>1</Device>"
                           "<MethodCron>1</MethodCron><CronTime>0 3 * * 0</CronTime>"
                           "<Response><I><Register>3C</Register></I></Response></R>"
                           "<R caption=\"Or\"><Enabled>1</Enabled><Device>2</Device>"
                           "<MethodCron>1</MethodCron><CronTime>0 0 1,15 * 1</CronTime>"
                           "<Response><I><Register>3C</Register></I></Response></R></QUERY>";
    const ToolRun run =
        RunKmptool("requests " + file + " --dry-run 1900800 --from 2026-06-10T00:00:00", true);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "2026-06-14T03:00:00.000 send 1 Sun\n"
              "2026-06-15T00:00:00.000 send 2 Or\n"
              "2026-06-21T03:00:00.000 send 1 Sun\n"
              "2026-06-22T00:00:00.000 send 2 Or\n"
              "2026-06-28T03:00:00.000 send 1 Sun\n"
              "2026-06-29T00:00:00.000 send 2 Or\n"
              "2026-07-01T00:00:00.000 send 2 Or\n");
    std::remove(file.c_str());
}

// A request of the eight heat registers 003C, 0040, 0044, 0080, 0056, 0057, 1003 and 1002 from
// meter 63, polled every `interval_ms`. At 1200 8N2 with 50 ms latency one read takes
// 107 bytes × 11 bits / 1200 baud + 50 ms = 1030.833 ms once the meter is identified; type and
// serial number take 17 bytes + 50 ms = 205.833 ms each before that.
std::string EightRegisterPoll(const char* caption, int interval_ms) {
    return std::string("<R caption=\"") + caption +
           "\"><Enabled>1</Enabled><Device>63</Device><Timeout>2000</Timeout>"
           "<MethodPoll>1</MethodPoll><PollInterval>" +
           std::to_string(interval_ms) +
           "</PollInterval><Response><I><Register>3C</Register></I><I><Register>40</Register>"
           "</I><I><Register>44</Register></I><I><Register>80</Register></I><I><Register>56"
           "</Register></I><I><Register>57</Register></I><I><Custom>1003</Custom></I><I>"
           "<Custom>1002</Custom></I></Response></R>";
}

std::string WriteConfig(const std::string& name, const std::string& requests) {
    const std::string file = ::testing::TempDir() + name;
    std::ofstream(file, std::ios::binary) << "<QUERY>" << requests << "</QUERY>";
    return file;
}

// The line budget of --check: silent on a line with room, a note past four fifths, a warning
// (and exit 3) past the whole line, naming the port, the share and the dearest requests.
TEST(KmptoolRequests, CheckWeighsTheScheduleAgainstTheLinesTime) {
    struct Case {
        const char* what;
        std::string requests;
        const char* options;
        int status;
        const char* out;
    };
    const Case cases[] = {
        {"fits: 1030.833 ms every 10 s", EightRegisterPoll("Heat", 10000), "", 0, ""},
        {"90%: every 1.15 s", EightRegisterPoll("Heat", 1150), " --port L1", 0,
         "note: L1: the requests need 1.0 s of line time every 1.15 s (90%): little time is "
         "left for retries and late answers. Costliest: Heat 1.0 s (1 meter)\n"},
        {"140%: every 1 s and every 2.8 s",
         EightRegisterPoll("Flow", 2800) + EightRegisterPoll("Heat", 1000), " --port L1", 3,
         "warning: L1: the requests need 1.4 s of line time every 1 s (140%): readings will fall "
         "behind; poll less often or split the line. Costliest: Heat 1.0 s (1 meter), Flow 0.4 s "
         "(1 meter)\n"},
        // An hourly read costs 0.3 ms a second: no help in choosing what to change.
        {"103%, with a request too cheap to name",
         EightRegisterPoll("Hourly", 3'600'000) + EightRegisterPoll("Heat", 1000), "", 3,
         "warning: line: the requests need 1.0 s of line time every 1 s (103%): readings will "
         "fall behind; poll less often or split the line. Costliest: Heat 1.0 s (1 meter)\n"},
        // Eight times as fast a line: 107 bytes take 122.6 ms, 172.6 ms with the latency.
        {"140% at 9600 baud", EightRegisterPoll("Heat", 1000), " --baud 9600", 0, ""},
        // 8E1 is 11 bits as 8N2 is; 200 ms latency makes 1180.833 ms every 1.35 s.
        {"same bits, longer latency", EightRegisterPoll("Heat", 1350), " --line 8E1 --latency 200",
         0,
         "note: line: the requests need 1.2 s of line time every 1.35 s (87%): little time is "
         "left for retries and late answers. Costliest: Heat 1.2 s (1 meter)\n"},
    };
    for (const auto& c : cases) {
        const std::string file = WriteConfig("budget.xml", c.requests);
        const ToolRun run = RunKmptool("requests " + file + " --check" + c.options);
        EXPECT_EQ(run.status, c.status) << c.what;
        EXPECT_EQ(run.out, c.out) << c.what;
        std::remove(file.c_str());
    }
}

// --wire: each answer keeps the line for its exchanges, so the second request waits behind the
// first (identification included) and the third behind the second; each send says how late.
TEST(KmptoolRequests, WirePreviewQueuesRequestsBehindTheExchangeInFlight) {
    const std::string file =
        WriteConfig("wire.xml", EightRegisterPoll("A", 1000) + EightRegisterPoll("B", 1000));
    const ToolRun run =
        RunKmptool("requests " + file + " --dry-run 3 --from 2026-01-01T00:00:00 --wire", true);
    EXPECT_EQ(run.status, 0);
    // A: 0.050 + 206 + 206 + 1031 ms = 1.493, next tick 1.500; B: 1.500 + 1.031 = 2.531. Busy:
    // 2 × 205.833 + 2 × 1030.833 ms; A's second read runs past the end.
    EXPECT_EQ(run.out,
              "2026-01-01T00:00:00.050 send 63 A late=0.000s wire=1.442s identify\n"
              "2026-01-01T00:00:01.500 send 63 B late=1.450s wire=1.031s\n"
              "2026-01-01T00:00:02.550 send 63 A late=1.500s wire=1.031s\n"
              "wire: 1200 8N2, the line was busy 2.473s of 3.000s (82%); the latest send went "
              "out 1.500s after it was due\n");
    std::remove(file.c_str());
}

TEST(KmptoolRequests, BadLineAndTimeOptionsSayWhatIsExpected) {
    const struct {
        const char* options;
        const char* message;
    } cases[] = {
        {" --dry-run 3 --from 2026-01-01",
         "invalid --from time '2026-01-01': expected YYYY-MM-DDTHH:MM:SS, local time"},
        {" --check --line 8X1", "invalid --line '8X1' (data bits, parity, stop bits: 8N2)"},
        {" --check --baud 12k", "invalid --baud '12k' (a speed from 50 to 4000000)"},
        {" --check --latency -5", "invalid --latency '-5' (milliseconds, 0 to 60000)"},
        {" --baud 2400", "--baud, --line, --latency and --port need --check or --wire"},
        {" --wire", "--wire needs --dry-run"},
    };
    for (const auto& c : cases) {
        const ToolRun run = RunKmptool("requests " + kTwoEntries + c.options);
        EXPECT_EQ(run.status, 2) << c.options;
        EXPECT_EQ(run.out, std::string("kmptool requests: ") + c.message + "\n") << c.options;
    }
}

}  // namespace
