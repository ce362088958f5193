// kmptool requests: the JSON a configuration loads into and the schedule preview, exactly as
// scripts read them.
#include <gtest/gtest.h>

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

}  // namespace
