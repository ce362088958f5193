// kmptool cron as people and scripts use it: the exact output lines and the exit codes.
#include <gtest/gtest.h>

#include <string>

#include "kmptool/run_kmptool.h"

namespace {

using zol::kmptool::testing::RunKmptool;
using zol::kmptool::testing::ToolRun;

TEST(KmptoolCron, PrintsTheNextRunsOnePerLine) {
    ToolRun run = RunKmptool("cron next '0 0 12 * * * *' --from 2026-03-01T12:00:00.400 -n 2");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "2026-03-02T12:00:00\n2026-03-03T12:00:00\n");

    run = RunKmptool("cron next '*/15 * * * * * *' --from 2026-03-01T23:59:50");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "2026-03-02T00:00:00\n");
}

TEST(KmptoolCron, ErrorsGoToStderrWithExitCode2) {
    ToolRun run = RunKmptool("cron next '0 0 x' --from 2026-03-01T12:00:00", true);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    run = RunKmptool("cron next '0 0 x' --from 2026-03-01T12:00:00");
    EXPECT_EQ(run.out, "'x' is not a valid integer value\n");
    run = RunKmptool("cron next '0 0 0 * * 8 *' --from 2026-03-01T12:00:00");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "Invalid cron format\n");
    run = RunKmptool("cron next '? ? ? ? ? ? ?' --from 2026-03-01T12:00:00");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "Schedule is not in valid CRON format\n");
    EXPECT_EQ(RunKmptool("cron next '0 0 12' --from 2026-02-30T00:00:00").status, 2);
}

TEST(KmptoolCron, WithoutFromStartsFromNow) {
    // A run in 2100 is still to come and one in 2000 is past, whenever the test runs.
    ToolRun run = RunKmptool("cron next '0 0 0 1 1 * 2100'", true);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "2100-01-01T00:00:00\n");
    run = RunKmptool("cron next '0 0 0 1 1 * 2000'", true);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
}

}  // namespace
