// kmptool cron as people and scripts use it: the exact output lines and the exit codes.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

#include "kmptool/run_kmptool.h"

namespace {

using zol::kmptool::testing::RunKmptool;
using zol::kmptool::testing::ToolRun;

// The string is read as the plug-in's loader reads a CronTime: five fields are a Unix string
// (Sunday 0 or 7, and a day matching either restricted day field runs), six are the second first.
TEST(KmptoolCron, PrintsTheRunsThePlugInMakesOfTheString) {
    const struct {
        const char* arguments;
        const char* out;
    } cases[] = {
        // The guide's example: 06:30 on working days (2026-12-31 is a Thursday).
        {"'30 6 * * 1-5' --from 2026-12-31T12:00:00 -n 2",
         "2027-01-01T06:30:00\n2027-01-04T06:30:00\n"},
        {"'0 3 * * 0' --from 2026-03-01T12:00:00", "2026-03-08T03:00:00\n"},
        // The 1st and 15th, and every Monday; Sunday the 15th once.
        {"'0 0 1,15 * 1' --from 2026-03-01T12:00:00 -n 4",
         "2026-03-02T00:00:00\n2026-03-09T00:00:00\n2026-03-15T00:00:00\n2026-03-16T00:00:00\n"},
        {"'0 0 12 * * *' --from 2026-03-01T12:00:00.400 -n 2",
         "2026-03-02T12:00:00\n2026-03-03T12:00:00\n"},
        {"'*/15 * * * * *' --from 2026-03-01T23:59:50", "2026-03-02T00:00:00\n"},
        // Fields past the sixth are not read (the year of a seven-field string), and it says so.
        {"'0 0 0 1 1 * 2000' --from 2026-03-01T12:00:00",
         "kmptool cron: cron \"0 0 0 1 1 * 2000\" has 7 fields: only the first 6 are read\n"
         "2027-01-01T00:00:00\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const ToolRun run = RunKmptool(std::string("cron next ") + c.arguments);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, c.out);
    }
}

// Every error names the field, the value and what the field allows, in the string as written.
TEST(KmptoolCron, ErrorsSayWhatIsWrongInTheStringAsWrittenWithExitCode2) {
    const struct {
        const char* cron;
        const char* reason;
    } cases[] = {
        {"0 3 * * 8", "field 5 (weekday) \"8\" is outside 0-7 (0 and 7 are Sunday)"},
        {"0 0 3 * * 0",
         "field 6 (weekday) \"0\" is outside 1-7 (1 is Monday, 7 Sunday; five fields count "
         "Sunday 0)"},
        {"0 99 * * *", "field 2 (hour) \"99\" is outside 0-23"},
        {"0 50-70 * * * *", "field 2 (minute) \"50-70\": \"70\" is outside 0-59"},
        {"0 0 12 * * MON",
         "field 6 (weekday) \"MON\" is not a number: a field takes numbers 1-7, *, lists (1,3), "
         "ranges (1-5) and steps (*/2)"},
        {"0 0 x",
         "3 fields where 5 are needed (minute hour day-of-month month weekday), or 6 with the "
         "second first: the plug-in runs it every day at midnight"},
        {"0 0 31 2 *", "no date has all of its fields: it never runs"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cron);
        ToolRun run =
            RunKmptool(std::string("cron next '") + c.cron + "' --from 2026-03-01T12:00:00");
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out,
                  std::string("kmptool cron: cron \"") + c.cron + "\": " + c.reason + "\n");
        EXPECT_EQ(RunKmptool(std::string("cron next '") + c.cron + "'", true).out, "");
    }
    const ToolRun run = RunKmptool("cron next '0 0 12 * * *' --from 2026-02-30T00:00:00");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out,
              "kmptool cron: invalid --from time '2026-02-30T00:00:00': no such date or time of "
              "day; expected local time YYYY-MM-DDTHH:MM:SS, optionally with .mmm "
              "(2026-03-01T06:30:00)\n");
    EXPECT_EQ(RunKmptool("cron next '0 0 12 * * *' --from '2026-03-01 06:30'").out,
              "kmptool cron: invalid --from time '2026-03-01 06:30': expected local time "
              "YYYY-MM-DDTHH:MM:SS, optionally with .mmm (2026-03-01T06:30:00)\n");
}

// The preview of a configuration and its check tell a cron string's fault as cron next does, in
// the CronTime as written, not in the seven-field form the scheduler was handed.
TEST(KmptoolCron, ThePreviewAndTheCheckTellTheSameFaultInTheStringAsWritten) {
    const struct {
        const char* cron;
        const char* reason;
    } cases[] = {
        {"0 0 3 * * 0",
         "field 6 (weekday) \"0\" is outside 1-7 (1 is Monday, 7 Sunday; five fields count "
         "Sunday 0)"},
        {"0 3 * * 8", "field 5 (weekday) \"8\" is outside 0-7 (0 and 7 are Sunday)"},
    };
    const std::string file = ::testing::TempDir() + "cron_fault.xml";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cron);
        std::ofstream(file) << "<QUERY>\n<Request caption=\"Heat\">\n<Device>63</Device>\n"
                               "<MethodCron check=\"2\"><CronTime>"
                            << c.cron
                            << "</CronTime></MethodCron>\n<Response><Item><Register>003C</Register>"
                               "</Item></Response>\n</Request>\n</QUERY>\n";
        const ToolRun run =
            RunKmptool("requests " + file + " --dry-run 86400 --from 2026-03-01T00:00:00");
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, std::string("warning: Heat: line 4: CronTime \"") + c.cron +
                               "\" never comes (" + c.reason +
                               "): the request never runs\nkmptool requests: cron \"" + c.cron +
                               "\": " + c.reason + "\n");
    }
    std::remove(file.c_str());
}

TEST(KmptoolCron, WithoutFromStartsFromNow) {
    // The next 1 January at midnight is in the coming year, whenever the test runs.
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const ToolRun run = RunKmptool("cron next '0 0 1 1 *'", true);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, std::to_string(local.tm_year + 1900 + 1) + "-01-01T00:00:00\n");
}

}  // namespace
