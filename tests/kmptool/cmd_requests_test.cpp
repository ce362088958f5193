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
    // Address 2 never answers: two retries, then it waits for its next poll, counted from its
    // last send. The cron request fires at 00:00:02 but waits for the exchange in flight.
    EXPECT_EQ(run.out,
              "2026-01-01T00:00:00.050 send 1 Heat\n"
              "2026-01-01T00:00:00.100 send 2 Heat\n"
              "2026-01-01T00:00:00.400 timeout 2 Heat retry=1\n"
              "2026-01-01T00:00:00.400 send 2 Heat\n"
              "2026-01-01T00:00:00.700 timeout 2 Heat retry=1\n"
              "2026-01-01T00:00:00.700 send 2 Heat\n"
              "2026-01-01T00:00:01.000 timeout 2 Heat retry=0\n"
              "2026-01-01T00:00:01.050 send 1 Heat\n"
              "2026-01-01T00:00:01.700 send 2 Heat\n"
              "2026-01-01T00:00:02.000 timeout 2 Heat retry=1\n"
              "2026-01-01T00:00:02.000 send 2 Heat\n"
              "2026-01-01T00:00:02.300 timeout 2 Heat retry=1\n"
              "2026-01-01T00:00:02.300 send 2 Heat\n"
              "2026-01-01T00:00:02.600 timeout 2 Heat retry=0\n"
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

}  // namespace
