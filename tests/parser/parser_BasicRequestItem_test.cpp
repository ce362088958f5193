#include "parser/parser_BasicRequestItem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "scheduler/cron_scheduler.h"
#include "scheduler/cron_test_support.h"

namespace zol::parser {
namespace {

// One request node as the options tree writes it, with `body` inside.
std::unique_ptr<TBasicRequestItem> Load(const std::string& body, int index = 1) {
    const auto document = ReadOptionsText("<QUERY><Request>" + body + "</Request></QUERY>");
    auto item = std::make_unique<TBasicRequestItem>();
    item->LoadFromXml(document.root.children.at(0).children.at(0), index);
    return item;
}

TEST(RequestItem, MethodFlagsIntervalsAndNamesLoadByTheirRules) {
    struct Case {
        const char* name;
        const char* body;
        TRequestMethod method;
        std::int32_t interval;
        const char* param;
    };
    const Case cases[] = {
        {"no method flag is once", "<Enabled>1</Enabled>", TRequestMethod::rmOnce, 1000, ""},
        {"at-time wins over poll", "<MethodPoll check=\"2\"/><MethodAtTime check=\"2\"/>",
         TRequestMethod::rmAtTime, 1000, "12:00:00"},
        {"once wins over event", "<MethodEvent>1</MethodEvent><MethodOnce>1</MethodOnce>",
         TRequestMethod::rmOnce, 1000, ""},
        {"cron default", "<MethodCron check=\"2\"/>", TRequestMethod::rmCron, 1000, "0 0 12 * * *"},
        {"event id", "<MethodEvent check=\"2\"><EventId>Tariff</EventId></MethodEvent>",
         TRequestMethod::rmEvent, 1000, "Tariff"},
        {"unchecked flag", "<MethodPoll check=\"1\"/>", TRequestMethod::rmOnce, 1000, ""},
        {"minutes",
         "<MethodPoll>1</MethodPoll><PollInterval>5</PollInterval><PollUnits>M</PollUnits>",
         TRequestMethod::rmPoll, 300000, ""},
        {"units are case-sensitive", "<PollInterval>5</PollInterval><PollUnits>m</PollUnits>",
         TRequestMethod::rmOnce, 5, ""},
        {"MS is milliseconds", "<PollInterval>5</PollInterval><PollUnits>MS</PollUnits>",
         TRequestMethod::rmOnce, 5, ""},
        {"hours", "<PollInterval>2</PollInterval><PollUnits>H</PollUnits>", TRequestMethod::rmOnce,
         7200000, ""},
        {"not a number", "<PollInterval>often</PollInterval>", TRequestMethod::rmOnce, 1000, ""},
        {"product beyond 32 bits keeps the largest interval",
         "<PollInterval>1000</PollInterval><PollUnits>H</PollUnits>", TRequestMethod::rmOnce,
         2147483647, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto loaded = Load(c.body, 2);
        const TBasicRequestItem& item = *loaded;
        EXPECT_EQ(item.Method, c.method);
        EXPECT_EQ(item.MethodParams.Method, c.method);
        EXPECT_EQ(item.PollInterval, c.interval);
        EXPECT_EQ(item.MethodParams.Param, c.param);
        EXPECT_EQ(item.Name, "Request #2");
    }
    EXPECT_TRUE(Load("<Enabled check=\"2\"/>")->Enabled);
    EXPECT_FALSE(Load("<Enabled check=\"3\"/>")->Enabled);
}

TEST(RequestItem, CronStringsKeepTheirFieldsReversedAndFiveFieldsRunAtSecondZero) {
    struct Case {
        const char* cron;
        TExportCronParams stored;
        const char* derived;
    };
    const Case cases[] = {
        {"*/5 * * * * *", {"*", "*", "*", "*", "*", "*/5"}, "*/5 * * * * * *"},
        {"1 2 3 4 5 6 2027 ", {"6", "5", "4", "3", "2", "1"}, "1 2 3 4 5 6 *"},
        // Fewer than five fields: nothing stored, every day at midnight.
        {"0 0 12", {}, "0 0 0 * * * *"},
        {"  ", {}, "0 0 0 * * * *"},
        // A run of blanks is one separator: still every day at noon, not the 12th at midnight.
        {"0  0 12 * * *", {"*", "*", "*", "12", "0", "0"}, "0 0 12 * * * *"},
        {"0 \t 0   12 * *\t*", {"*", "*", "*", "12", "0", "0"}, "0 0 12 * * * *"},
        // Five fields are a Unix cron string: minute, hour, day of month, month, day of week.
        {"30 6 * * 1-5", {"1-5", "*", "*", "6", "30", "0"}, "0 30 6 * * 1-5 *"},
        {" 5 4 3 2 1", {"1", "2", "3", "4", "5", "0"}, "0 5 4 3 2 1 *"},
        {"*/15 * * * *  ", {"*", "*", "*", "*", "*/15", "0"}, "0 */15 * * * * *"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cron);
        EXPECT_EQ(CronParamsFromText(c.cron), c.stored);
        EXPECT_EQ(CronStringFromParams(CronParamsFromText(c.cron)), c.derived);
    }
    const auto item =
        Load("<MethodCron check=\"2\"><CronTime>*/5 * * * * *</CronTime></MethodCron>");
    EXPECT_EQ(item->MethodParams.CronParams[5], "*/5");
}

// Five fields run as Unix cron runs them: day of week 0 and 7 are Sunday, and with both day
// fields restricted a day matching either runs, once. Six fields keep the scheduler's numbering
// (1 Monday to 7 Sunday) and its rule that both day fields match. Runs come from a calendar.
TEST(RequestItem, FiveFieldCronStringsRunOnTheDaysUnixCronRunsThem) {
    struct Case {
        const char* cron;
        const char* from;
        std::vector<std::string> runs;
    };
    const Case cases[] = {
        {"0 3 * * 0", "2026-03-01T04:00:00", {"2026-03-08T03:00:00", "2026-03-15T03:00:00"}},
        {"0 3 * * 0-4", "2026-03-06T04:00:00", {"2026-03-08T03:00:00", "2026-03-09T03:00:00"}},
        {"30 6 * * 6,0", "2026-03-02T00:00:00", {"2026-03-07T06:30:00", "2026-03-08T06:30:00"}},
        {"0 0 * * */2",
         "2026-03-05T01:00:00",
         {"2026-03-07T00:00:00", "2026-03-08T00:00:00", "2026-03-10T00:00:00"}},
        // Either day field; 15 June 2026 is a Monday and runs once.
        {"0 0 1,15 * 1",
         "2026-06-10T00:00:00",
         {"2026-06-15T00:00:00", "2026-06-22T00:00:00", "2026-06-29T00:00:00",
          "2026-07-01T00:00:00"}},
        // No 31 February: its Mondays alone, and no schedule that never runs.
        {"0 0 31 2 1", "2026-02-20T00:00:00", {"2026-02-23T00:00:00", "2027-02-01T00:00:00"}},
        // A day of week beginning with "*" counts as unrestricted: both day fields must match.
        {"0 0 1 * */2", "2026-03-01T00:00:00", {"2026-08-01T00:00:00", "2026-09-01T00:00:00"}},
        {"0 0 0 * * */2", "2026-03-01T00:00:00", {"2026-03-02T00:00:00", "2026-03-04T00:00:00"}},
        {"0 0 0 1,15 * 1", "2026-03-01T00:00:00", {"2026-06-01T00:00:00", "2026-06-15T00:00:00"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cron);
        const TExportUnchangedMode params{TRequestMethod::rmCron, c.cron,
                                          CronParamsFromText(c.cron)};
        // The first runs of every schedule, merged: a day two schedules share shows twice.
        std::vector<std::string> runs;
        for (const std::string& cron : CronStringsFromParams(params)) {
            SCOPED_TRACE(cron);
            const auto parsed = scheduler::ParseCronString(cron);
            EXPECT_TRUE(parsed.Ok()) << parsed.error;
            double from = scheduler::testing::Ole(c.from);
            for (std::size_t k = 0; parsed.Ok() && k < c.runs.size(); ++k) {
                const auto next = scheduler::NextRun(parsed.entries, from, 0, 0);
                // The queue refuses a schedule without a run: none may be handed over.
                EXPECT_TRUE(next.Ok() && (k > 0 || next.time != 0));
                if (!next.Ok() || next.time == 0) break;
                runs.push_back(scheduler::testing::Iso(next.time));
                from = next.time;
            }
        }
        std::sort(runs.begin(), runs.end());
        runs.resize(std::min(runs.size(), c.runs.size()));
        EXPECT_EQ(runs, c.runs);
    }
}

TEST(RequestItem, TimeListsGiveOneDailySchedulePerValidToken) {
    struct Case {
        const char* list;
        std::vector<std::pair<int, std::string>> schedules;
    };
    const Case cases[] = {
        {";;7:05", {{2, "0 5 7 * * * *"}}},
        {"8:30; 17:45:10", {{0, "0 30 8 * * * *"}, {1, "10 45 17 * * * *"}}},
        // 12 am is midnight, 12 pm noon; 13 pm is no time at all.
        {"5 pm,12 am, 12:30 pm",
         {{0, "0 0 17 * * * *"}, {1, "0 0 0 * * * *"}, {2, "0 30 12 * * * *"}}},
        {"12:15 am;12 pm;13 pm;0 am;11:59 pm",
         {{0, "0 15 0 * * * *"},
          {1, "0 0 12 * * * *"},
          {3, "0 0 0 * * * *"},
          {4, "0 59 23 * * * *"}}},
        {"12.30;24;-1;x;7:75:99", {{4, "0 0 7 * * * *"}}},
        {" 9 : 5 , 11:00 PM, 12 AM",
         {{0, "0 5 9 * * * *"}, {1, "0 0 23 * * * *"}, {2, "0 0 0 * * * *"}}},
        {"", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        std::vector<std::pair<int, std::string>> got;
        for (const auto& s : ParseAtTimeList(c.list)) got.emplace_back(s.index, s.cron);
        EXPECT_EQ(got, c.schedules);
    }
}

TEST(RequestItem, AssignCopiesConfigurationButNotTheExchangeState) {
    auto loaded =
        Load("<Enabled>1</Enabled><MethodPoll>1</MethodPoll><PollInterval>7</PollInterval>", 4);
    TBasicRequestItem& source = *loaded;
    source.Sent = true;
    source.Pending = true;
    source.ScheduleId = "G1_00000001_00000002";
    source.PollTimer.StartNow();
    source.PollTimer.Start = source.PollTimer.Start == 0 ? 1 : source.PollTimer.Start;
    source.RetryCount = 2;
    source.LastSent = 99;
    source.SendTag = 5;

    TBasicRequestItem copy;
    copy.Assign(source);
    EXPECT_TRUE(copy.Enabled);
    EXPECT_EQ(copy.Name, "Request #4");
    EXPECT_EQ(copy.Method, TRequestMethod::rmPoll);
    EXPECT_EQ(copy.PollInterval, 7);
    EXPECT_TRUE(copy.Pending);
    EXPECT_EQ(copy.ScheduleId, source.ScheduleId);
    EXPECT_FALSE(copy.Sent);
    EXPECT_TRUE(copy.PollTimer.IsClear());  // a polling copy is due at once
    EXPECT_EQ(copy.RetryCount, 0);
    EXPECT_EQ(copy.LastSent, 0u);
    EXPECT_EQ(copy.SendTag, -1);
    EXPECT_NE(copy.Identity(), source.Identity());
}

}  // namespace
}  // namespace zol::parser
