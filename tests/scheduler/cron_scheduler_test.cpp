#include "scheduler/cron_scheduler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/fake_clock.h"
#include "scheduler/cron_test_support.h"

namespace zol::scheduler {
namespace {

using testing::Iso;
using testing::LocalMs;
using testing::Ole;

// Successive runs computed with NextRun, each from the one before.
std::vector<std::string> Runs(const char* cron, const char* from, int count) {
    CronParseResult parsed = ParseCronString(cron);
    EXPECT_TRUE(parsed.Ok()) << parsed.error;
    std::vector<std::string> runs;
    double base = Ole(from);
    for (int i = 0; i < count; ++i) {
        NextRunResult next = NextRun(parsed.entries, base, 0, 0);
        if (!next.Ok()) {
            runs.push_back(next.error);
            break;
        }
        runs.push_back(Iso(next.time));
        if (next.time == 0) break;
        base = next.time;
    }
    return runs;
}

struct RunCase {
    const char* name;
    const char* cron;
    const char* from;
    std::vector<std::string> expected;  // "-" marks "no further run"
};

// Expected runs are calendar facts checked by hand (weekdays of the dates, leap years, month
// lengths), not computed by the scheduler.
const RunCase kRunCases[] = {
    {"noon daily; just after noon gives the next day",
     "0 0 12 * * * *",
     "2026-03-01T12:00:00.400",
     {"2026-03-02T12:00:00", "2026-03-03T12:00:00"}},
    {"noon daily from just before noon",
     "0 0 12 * * * *",
     "2026-03-01T11:59:59.999",
     {"2026-03-01T12:00:00"}},
    {"every 15 seconds",
     "*/15 * * * * * *",
     "2026-03-01T12:00:00",
     {"2026-03-01T12:00:15", "2026-03-01T12:00:30", "2026-03-01T12:00:45", "2026-03-01T12:01:00"}},
    {"range with step: 10, 25 and 40",
     "10-40/15 * * * * * *",
     "2026-03-01T12:00:00",
     {"2026-03-01T12:00:10", "2026-03-01T12:00:25", "2026-03-01T12:00:40", "2026-03-01T12:01:10"}},
    {"midnight on Mondays (2026-12-07 is a Monday)",
     "0 0 0 * * 1 *",
     "2026-12-07T00:00:00",
     {"2026-12-14T00:00:00", "2026-12-21T00:00:00"}},
    {"Friday the 13th: February, March and November 2026, August 2027",
     "0 0 0 13 * 5 *",
     "2026-01-01T00:00:00",
     {"2026-02-13T00:00:00", "2026-03-13T00:00:00", "2026-11-13T00:00:00", "2027-08-13T00:00:00"}},
    {"the 31st skips shorter months",
     "0 0 0 31 * * *",
     "2026-01-31T00:00:00",
     {"2026-03-31T00:00:00", "2026-05-31T00:00:00", "2026-07-31T00:00:00", "2026-08-31T00:00:00",
      "2026-10-31T00:00:00"}},
    {"five fields: second 0, minute 30, hour 8",
     "0 30 8",
     "2026-06-30T09:00:00",
     {"2026-07-01T08:30:00", "2026-07-02T08:30:00"}},
    {"29 February: leap years only, and 2100 is not one",
     "0 0 0 29 2 * *",
     "2096-03-01T00:00:00",
     {"2104-02-29T00:00:00"}},
    {"29 February in 2000, a leap century",
     "0 0 0 29 2 * *",
     "1999-01-01T00:00:00",
     {"2000-02-29T00:00:00", "2004-02-29T00:00:00"}},
    {"year end rolls into the next year",
     "59 59 23 31 12 * *",
     "2026-12-31T23:59:59",
     {"2027-12-31T23:59:59"}},
    {"any second rolls over minute, hour, day, month and year",
     "* * * * * * *",
     "2026-12-31T23:59:59.500",
     {"2027-01-01T00:00:00"}},
    {"list of hours, sorted and deduplicated",
     "0 0 18,8,12,8 * * * *",
     "2026-05-05T13:00:00",
     {"2026-05-05T18:00:00", "2026-05-06T08:00:00", "2026-05-06T12:00:00"}},
    {"list elements with ranges and steps",
     "0 0,45-50/5 9 * * * *",
     "2026-05-05T09:01:00",
     {"2026-05-05T09:45:00", "2026-05-05T09:50:00", "2026-05-06T09:00:00"}},
    {"a step after a single value is dropped",
     "5/10 * * * * * *",
     "2026-05-05T09:00:06",
     {"2026-05-05T09:01:05"}},
    {"weekend mornings (2026-12-07 is a Monday)",
     "0 0 7 * * 6-7 *",
     "2026-12-07T00:00:00",
     {"2026-12-12T07:00:00", "2026-12-13T07:00:00", "2026-12-19T07:00:00"}},
    {"day of month and day of week must both match: Monday the 1st",
     "0 0 0 1 * 1 *",
     "2026-01-01T00:00:00",
     {"2026-06-01T00:00:00", "2027-02-01T00:00:00"}},
    {"a given year only", "0 0 0 1 1 * 2030", "2026-05-05T00:00:00", {"2030-01-01T00:00:00", "-"}},
    {"any year ends with 3000",
     "0 0 0 1 1 * *",
     "2999-06-01T00:00:00",
     {"3000-01-01T00:00:00", "-"}},
    {"any year starts with 1900, also from before the OLE origin",
     "0 0 6 1 1 * *",
     "1850-05-05T00:00:00",
     {"1900-01-01T06:00:00"}},
    {"before the OLE origin",
     "0 0 6 * * * 1899",
     "1899-12-28T12:00:00",
     {"1899-12-29T06:00:00", "1899-12-30T06:00:00", "1899-12-31T06:00:00", "-"}},
    {"a listed year before 1900 is accepted",
     "0 0 0 1 1 * 1850,2030",
     "1800-01-01T00:00:00",
     {"1850-01-01T00:00:00", "2030-01-01T00:00:00"}},
    {"values outside the calendar never match",
     "0 0 0 1,31,32 2 * *",
     "2026-01-01T00:00:00",
     {"2026-02-01T00:00:00", "2027-02-01T00:00:00"}},
    {"30 February never comes", "0 0 0 30 2 * *", "2026-01-01T00:00:00", {"-"}},
    {"a relative second counts from the base",
     "?/30 * * * * * *",
     "2026-01-01T12:00:40",
     {"2026-01-01T12:01:10"}},
    {"an unmatchable weekday makes the search give up",
     "0 0 0 * * 8 *",
     "2026-01-01T00:00:00",
     {kInvalidCronFormat}},
    {"a relative field without a step cannot advance",
     "? * * * * * *",
     "2026-01-01T00:00:00",
     {kInvalidCronFormat}},
};

TEST(CronNextRun, MatchesCalendarFacts) {
    for (const auto& c : kRunCases) {
        SCOPED_TRACE(std::string(c.name) + " [" + c.cron + "] from " + c.from);
        EXPECT_EQ(Runs(c.cron, c.from, static_cast<int>(c.expected.size())), c.expected);
    }
}

TEST(CronNextRun, HonoursStartAndEndLimits) {
    CronParseResult parsed = ParseCronString("0 0 12 * * * *");
    ASSERT_TRUE(parsed.Ok());
    const auto& e = parsed.entries;
    // A start after the base moves the base; a run exactly at the start is not after it.
    EXPECT_EQ(Iso(NextRun(e, Ole("2026-01-01T00:00:00"), Ole("2026-01-05T12:00:00"), 0).time),
              "2026-01-06T12:00:00");
    EXPECT_EQ(Iso(NextRun(e, Ole("2026-01-01T00:00:00"), Ole("2026-01-05T11:00:00"), 0).time),
              "2026-01-05T12:00:00");
    // A start before the base changes nothing.
    EXPECT_EQ(Iso(NextRun(e, Ole("2026-01-05T13:00:00"), Ole("2026-01-01T00:00:00"), 0).time),
              "2026-01-06T12:00:00");
    // An end before the base, or before the next run, leaves no run; a run at the end is kept.
    EXPECT_EQ(NextRun(e, Ole("2026-01-05T13:00:00"), 0, Ole("2026-01-05T12:30:00")).time, 0);
    EXPECT_EQ(NextRun(e, Ole("2026-01-05T13:00:00"), 0, Ole("2026-01-06T11:59:59")).time, 0);
    EXPECT_EQ(Iso(NextRun(e, Ole("2026-01-05T13:00:00"), 0, Ole("2026-01-06T12:00:00")).time),
              "2026-01-06T12:00:00");
}

struct ParseErrorCase {
    const char* cron;
    const char* error;
};

const ParseErrorCase kParseErrors[] = {
    {"a", "'a' is not a valid integer value"},
    {"0 0 1-x", "'x' is not a valid integer value"},
    {"*/y", "'y' is not a valid integer value"},
    {"0 1,,2", "'' is not a valid integer value"},
    {"0 0 0 1 JAN", "'JAN' is not a valid integer value"},
    {"99999999999", "'99999999999' is not a valid integer value"},
    {"0 -5", "'' is not a valid integer value"},
    {"0 0 0 1-2-3", "'2-3' is not a valid integer value"},
    {"0 0/1/2", "'1/2' is not a valid integer value"},
    {"1,5-9/z", "'z' is not a valid integer value"},
    {"? ? ? ? ? ? ?", kNotValidCron},
    {"? ?/0 ? ? ? ? ? 5", kNotValidCron},
};

TEST(CronParse, RejectsBadFieldsWithTheSystemsMessages) {
    for (const auto& c : kParseErrors) {
        SCOPED_TRACE(c.cron);
        EXPECT_EQ(ParseCronString(c.cron).error, c.error);
    }
}

TEST(CronParse, BuildsEntriesByTheFirstMatchingForm) {
    CronParseResult r = ParseCronString("  */0  10-40/15 5/10  3,1,2,3 ?/5 ? 2030-2020 ignored");
    ASSERT_TRUE(r.Ok()) << r.error;
    const auto& e = r.entries;
    EXPECT_EQ(e[kSecond].Min, 0);
    EXPECT_EQ(e[kSecond].Max, 59);
    EXPECT_EQ(e[kSecond].Step, 1);  // a step is at least 1
    EXPECT_EQ(e[kMinute].Min, 10);
    EXPECT_EQ(e[kMinute].Max, 40);
    EXPECT_EQ(e[kMinute].Step, 15);
    EXPECT_TRUE(e[kMinute].Values.empty());
    EXPECT_EQ(e[kHour].Values, std::vector<std::int32_t>{5});
    EXPECT_EQ(e[kDayOfMonth].Values, (std::vector<std::int32_t>{1, 2, 3}));
    EXPECT_EQ(e[kDayOfMonth].Min, 1);
    EXPECT_EQ(e[kDayOfMonth].Max, 3);
    EXPECT_TRUE(e[kMonth].Relative);
    EXPECT_EQ(e[kMonth].Step, 5);
    EXPECT_EQ(e[kMonth].Min, 1);
    EXPECT_EQ(e[kMonth].Max, 12);
    EXPECT_TRUE(e[kDayOfWeek].Relative);
    EXPECT_EQ(e[kDayOfWeek].Step, 0);
    EXPECT_EQ(e[kYear].Min, 2030);
    EXPECT_EQ(e[kYear].Max, 2020);

    CronParseResult missing = ParseCronString("0");
    ASSERT_TRUE(missing.Ok());
    EXPECT_EQ(missing.entries[kYear].Min, 1900);
    EXPECT_EQ(missing.entries[kYear].Max, 3000);
    EXPECT_EQ(missing.entries[kDayOfWeek].Max, 7);
}

// The next-value rules on single entries; "wrapped" results are below their argument.
TEST(CronEntryRules, FirstAndNextValidFollowTheRules) {
    TChronEntry range{10, 40, 15, false, {}};
    EXPECT_EQ(TChronEntryHelper::FirstValid(range, 10), 10);
    EXPECT_EQ(TChronEntryHelper::FirstValid(range, 11), 25);
    EXPECT_EQ(TChronEntryHelper::FirstValid(range, 5), 10);
    EXPECT_EQ(TChronEntryHelper::FirstValid(range, 41), 10);
    EXPECT_EQ(TChronEntryHelper::NextValid(range, 25), 40);
    EXPECT_EQ(TChronEntryHelper::NextValid(range, 40), 10);

    TChronEntry list{5, 20, 0, false, {5, 20}};
    EXPECT_EQ(TChronEntryHelper::FirstValid(list, 6), 20);
    EXPECT_EQ(TChronEntryHelper::FirstValid(list, 21), 5);
    EXPECT_EQ(TChronEntryHelper::NextValid(list, 20), 5);

    TChronEntry relative{0, 59, 5, true, {}};
    EXPECT_EQ(TChronEntryHelper::FirstValid(relative, 50), 55);
    EXPECT_EQ(TChronEntryHelper::FirstValid(relative, 58), 3);
    EXPECT_EQ(TChronEntryHelper::NextValid(relative, 58), 3);
    TChronEntry day{1, 31, 5, true, {}};
    EXPECT_EQ(TChronEntryHelper::FirstValid(day, 30), 4);  // day 35 of a 31-day month is the 4th
}

class CronSchedule : public ::testing::Test {
   protected:
    platform::FakeClock clock_{1000, LocalMs("2026-03-01T11:59:58")};
    platform::ScopedFakeClock installed_{clock_};

    void AdvanceTo(const char* text) {
        clock_.Advance(static_cast<std::uint64_t>(LocalMs(text) - clock_.NowLocalMs()));
    }
};

TEST_F(CronSchedule, SetCronStringComputesTheNextRunFromNow) {
    TSchedule s;
    s.SetCronString("0 0 12 * * * *");
    EXPECT_EQ(Iso(s.NextTime), "2026-03-01T12:00:00");
    EXPECT_EQ(s.CronString, "0 0 12 * * * *");

    EXPECT_THROW(s.SetCronString("0 0 x"), ScheduleError);
    EXPECT_EQ(s.CronString, "0 0 12 * * * *");
    EXPECT_EQ(Iso(s.NextTime), "2026-03-01T12:00:00");
    try {
        s.SetCronString("? ? ? ? ? ? ?");
        FAIL();
    } catch (const ScheduleError& e) {
        EXPECT_STREQ(e.what(), "Schedule is not in valid CRON format");
    }
}

TEST_F(CronSchedule, EvaluateFiresWhenDueAndMovesToTheNextRun) {
    TSchedule s;
    s.SetCronString("0 0 12 * * * *");
    bool first_run = false;
    AdvanceTo("2026-03-01T11:59:59.999");
    s.Evaluate(first_run);
    EXPECT_EQ(s.State, TScheduleState::kNothingDue);
    AdvanceTo("2026-03-01T12:00:00");
    s.Evaluate(first_run);
    EXPECT_EQ(s.State, TScheduleState::kFire);
    EXPECT_EQ(Iso(s.LastTime), "2026-03-01T12:00:00");
    EXPECT_EQ(Iso(s.NextTime), "2026-03-02T12:00:00");
    s.Evaluate(first_run);
    EXPECT_EQ(s.State, TScheduleState::kNothingDue);
}

TEST_F(CronSchedule, EvaluateReportsLastRunAndExpiry) {
    TSchedule s;
    s.EndTime = Ole("2026-03-02T00:00:00");
    s.SetCronString("0 0 12 * * * *");
    bool first_run = false;
    AdvanceTo("2026-03-01T12:00:00.300");
    s.Evaluate(first_run);
    EXPECT_EQ(s.State, TScheduleState::kFireLast);
    EXPECT_EQ(s.NextTime, 0);
    s.Evaluate(first_run);  // nothing is left to become due
    EXPECT_EQ(s.State, TScheduleState::kNothingDue);
    AdvanceTo("2026-03-02T00:00:00.001");
    s.Evaluate(first_run);
    EXPECT_EQ(s.State, TScheduleState::kExpired);
}

TEST_F(CronSchedule, FirstRunFiresAtOnceOrWaitsForTheStart) {
    TSchedule s;
    s.SetCronString("0 0 12 * * * *");
    bool first_run = true;
    s.Evaluate(first_run);
    EXPECT_EQ(s.State, TScheduleState::kFire);
    EXPECT_FALSE(first_run);

    TSchedule later;
    later.StartTime = Ole("2026-03-05T00:00:00");
    later.SetCronString("0 0 12 * * * *");
    EXPECT_EQ(Iso(later.NextTime), "2026-03-05T12:00:00");
    first_run = true;
    later.Evaluate(first_run);
    EXPECT_EQ(later.State, TScheduleState::kNothingDue);
    EXPECT_EQ(Iso(later.NextTime), "2026-03-05T00:00:00");
}

}  // namespace
}  // namespace zol::scheduler
