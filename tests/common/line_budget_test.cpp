#include "common/line_budget.h"

#include <gtest/gtest.h>

#include <string>

namespace zol::tools {
namespace {

// One read of register 003C from meter 1 at 1200 8N2: request 80 01 10 01 00 3C 71 19 0D
// (9 bytes), reply 2 + 5 known + 8 unknown + 1 escape allowed (16 bytes), 25 × 11 bits / 1200
// baud + 50 ms.
constexpr double kReadMs = 25 * 11 / 1.2 + 50;

std::string Request(const std::string& caption, const std::string& method) {
    return "<R caption=\"" + caption + "\"><Enabled>1</Enabled><Device>1</Device>" + method +
           "<Response><I><Register>3C</Register></I></Response></R>";
}

// Time schedules count by the densest hour of all their runs together: runs an hour apart or
// more do not add up, runs of different requests in the same hour do.
TEST(LineBudget, TimeSchedulesCountByTheirDensestHour) {
    struct Case {
        const char* what;
        std::string requests;
        double runs_in_densest_hour;
    };
    const Case cases[] = {
        {"three of four times within an hour",
         Request("T", "<MethodAtTime>1</MethodAtTime><AtTime>8:00, 8:20, 8:40, 9:50</AtTime>"), 3},
        {"a full hour apart",
         Request("T", "<MethodAtTime>1</MethodAtTime><AtTime>8:00, 9:00</AtTime>"), 1},
        {"weekly cron", Request("C", "<MethodCron>1</MethodCron><CronTime>0 3 * * 0</CronTime>"),
         1},
        {"times and cron in the same hour",
         Request("T", "<MethodAtTime>1</MethodAtTime><AtTime>8:00, 8:20, 8:40</AtTime>") +
             Request("C", "<MethodCron>1</MethodCron><CronTime>*/30 8 * * *</CronTime>"),
         5},
        {"every second: dense, 3600 an hour",
         Request("S", "<MethodCron>1</MethodCron><CronTime>* * * * * *</CronTime>"), 3600},
        {"not enabled, once and on an event cost nothing",
         "<R><Device>1</Device><MethodPoll>1</MethodPoll><Response><I><Register>3C</Register>"
         "</I></Response></R>" +
             Request("O", "") + Request("E", "<MethodEvent>1</MethodEvent>"),
         0},
    };
    for (const auto& c : cases) {
        const auto budget =
            ComputeLineBudget("<QUERY>" + c.requests + "</QUERY>", kmp::KmpCatalogue::kHeat, {});
        EXPECT_NEAR(budget.share, c.runs_in_densest_hour * kReadMs / 3'600'000, 1e-9) << c.what;
        if (c.runs_in_densest_hour == 0) {
            EXPECT_TRUE(budget.requests.empty()) << c.what;
            continue;
        }
        EXPECT_EQ(budget.window_ms, 3'600'000) << c.what;
        EXPECT_NEAR(budget.need_ms, c.runs_in_densest_hour * kReadMs, 1e-6) << c.what;
    }
}

// A timeout shorter than the exchange's own wire time makes every reading time out, whatever the
// meter does: named with what would do, whatever the request's method; one line per request.
TEST(LineBudget, TimeoutsTheWireCannotMeetAreNamed) {
    const std::string eight_registers =
        "<Response><I><Register>3C</Register></I><I><Register>5E</Register></I><I><Register>44"
        "</Register></I><I><Register>45</Register></I><I><Register>48</Register></I><I>"
        "<Register>56</Register></I><I><Register>57</Register></I><I><Register>50</Register>"
        "</I></Response>";
    const char* const kPoll =
        "<MethodPoll>1</MethodPoll><PollInterval>1</PollInterval><PollUnits>M</PollUnits>";
    const auto request = [&](const char* timeout, const char* method) {
        return std::string(
                   "<R caption=\"Heat\"><Enabled>1</Enabled><Device>1;2</Device><Timeout>") +
               timeout + "</Timeout>" + method + eight_registers + "</R>";
    };
    const struct {
        const char* what;
        std::string requests;
        unsigned baud;
        const char* says;  // the line, or "" for none
    } cases[] = {
        {"300 ms at 1200", request("300", kPoll), 1200,
         "warning: L1: Heat waits 300 ms for an answer that takes 994 ms on the wire at 1200 8N2: "
         "every reading of it times out; set its Timeout to 1100 or more"},
        {"once, on an event: sent all the same", request("300", ""), 1200,
         "warning: L1: Heat waits 300 ms"},
        {"300 ms at 9600", request("300", kPoll), 9600, ""},
        {"1500 ms at 1200", request("1500", kPoll), 1200, ""},
    };
    for (const auto& c : cases) {
        LineBudgetSettings settings;
        settings.line.baud = c.baud;
        const auto budget = ComputeLineBudget("<QUERY>" + c.requests + "</QUERY>",
                                              kmp::KmpCatalogue::kHeat, settings);
        const auto lines = ShortTimeoutLines("L1", budget, settings.line);
        EXPECT_EQ(LineOverBudget(budget), !std::string(c.says).empty()) << c.what;
        if (std::string(c.says).empty()) {
            EXPECT_TRUE(lines.empty()) << c.what;
            continue;
        }
        ASSERT_EQ(lines.size(), 1u) << c.what;
        EXPECT_EQ(lines[0].rfind(c.says, 0), 0u) << c.what << ": " << lines[0];
    }
    // Short timeouts on a line nine tenths full: the line's own share is still only a note.
    const auto nearly_full = ComputeLineBudget(
        "<QUERY>" +
            request("300",
                    "<MethodPoll>1</MethodPoll><PollInterval>2200</PollInterval><PollUnits>MS"
                    "</PollUnits>") +
            "</QUERY>",
        kmp::KmpCatalogue::kHeat, {});
    EXPECT_EQ(LineBudgetLine("L1", nearly_full).value_or("").rfind("note: L1: ", 0), 0u);
}

}  // namespace
}  // namespace zol::tools
