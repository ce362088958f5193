#include "common/cron_text.h"

#include <array>
#include <cstdint>
#include <span>

#include "scheduler/cron_scheduler.h"
#include "scheduler/date_helpers.h"
#include "scheduler/string_helpers.h"
#include "zolShared/Public/Common/read_write_lock.h"

namespace zol::tools {

namespace {

struct FieldRule {
    const char* name;
    std::int32_t lo;
    std::int32_t hi;
    const char* note;  // said after the range, for the fields whose numbering surprises
};

// A five-field string is a Unix string: its weekdays run 0 to 7 with Sunday twice. A six-field
// string is the scheduler's own, which counts 1 (Monday) to 7 (Sunday) and never matches 0.
constexpr std::array<FieldRule, 5> kUnixFields = {{{"minute", 0, 59, ""},
                                                   {"hour", 0, 23, ""},
                                                   {"day of month", 1, 31, ""},
                                                   {"month", 1, 12, ""},
                                                   {"weekday", 0, 7, " (0 and 7 are Sunday)"}}};
constexpr std::array<FieldRule, 6> kSchedulerFields = {
    {{"second", 0, 59, ""},
     {"minute", 0, 59, ""},
     {"hour", 0, 23, ""},
     {"day of month", 1, 31, ""},
     {"month", 1, 12, ""},
     {"weekday", 1, 7, " (1 is Monday, 7 Sunday; five fields count Sunday 0)"}}};

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

// `field 5 (weekday) "1-8"`, and `: "8"` behind it when the value is only part of the field.
std::string FieldText(std::size_t number, const FieldRule& rule, std::string_view field,
                      std::string_view value) {
    std::string text = "field " + std::to_string(number) + " (" + rule.name + ") " + Quoted(field);
    if (value != field) text += ": " + Quoted(value);
    return text;
}

std::string RangeText(const FieldRule& rule) {
    return std::to_string(rule.lo) + "-" + std::to_string(rule.hi);
}

// The value the scheduler names in its parse error ("'x' is not a valid integer value").
std::string_view NamedValue(std::string_view error) {
    const std::size_t open = error.find('\'');
    const std::size_t close = error.rfind('\'');
    if (open == std::string_view::npos || close <= open) return error;
    return error.substr(open + 1, close - open - 1);
}

// Whether the scheduler reads `field` at position `index` of its seven fields; else the value it
// could not read.
std::optional<std::string> UnreadableValue(std::string_view field, std::size_t index) {
    std::string text;
    for (std::size_t i = 0; i < scheduler::kFieldCount; ++i) {
        text += i == index ? std::string(field) : std::string("*");
        text += ' ';
    }
    const scheduler::CronParseResult parsed = scheduler::ParseCronString(text);
    if (parsed.Ok()) return std::nullopt;
    return std::string(NamedValue(parsed.error));
}

// The first number of `field` outside the rule's range, as written. Steps (after "/") and the
// elements "*" and "?" stand for values within the range, so only the values and range bounds
// of list elements are looked at, cut as the scheduler cuts them (at "," then "/" then "-").
std::optional<std::string_view> OutOfRangeValue(std::string_view field, const FieldRule& rule) {
    while (true) {
        const std::size_t comma = field.find(',');
        std::string_view element = field.substr(0, comma);
        element = element.substr(0, element.find('/'));
        if (element.find_first_of("*?") == std::string_view::npos) {
            const std::size_t dash = element.find('-');
            const std::string_view bounds[2] = {
                element.substr(0, dash),
                dash == std::string_view::npos ? std::string_view() : element.substr(dash + 1)};
            for (std::string_view bound : bounds) {
                const auto value = scheduler::ParseDecimal(bound);
                if (value && (*value < rule.lo || *value > rule.hi)) return bound;
            }
        }
        if (comma == std::string_view::npos) return std::nullopt;
        field.remove_prefix(comma + 1);
    }
}

}  // namespace

std::vector<std::string> CronSchedules(std::string_view text) {
    parser::TExportUnchangedMode params;
    params.Method = parser::TRequestMethod::rmCron;
    params.Param = std::string(text);
    params.CronParams = parser::CronParamsFromText(text);
    return parser::CronStringsFromParams(params);
}

CronProblem FindCronProblem(std::string_view text, double from) {
    const std::vector<std::string_view> fields = parser::CronFields(text);
    if (fields.size() < 5) {
        return {CronProblemKind::kFieldCount,
                std::to_string(fields.size()) + (fields.size() == 1 ? " field" : " fields") +
                    " where 5 are needed (minute hour day-of-month month weekday), or 6 with "
                    "the second first: the plug-in runs it every day at midnight"};
    }
    const bool unix_string = fields.size() == 5;
    const std::span<const FieldRule> rules = unix_string
                                                 ? std::span<const FieldRule>(kUnixFields)
                                                 : std::span<const FieldRule>(kSchedulerFields);
    for (std::size_t k = 0; k < rules.size(); ++k) {
        // A Unix string's minute is the scheduler's second field: its own second is 0.
        const std::size_t index = unix_string ? k + 1 : k;
        if (const auto value = UnreadableValue(fields[k], index)) {
            return {CronProblemKind::kUnreadable,
                    FieldText(k + 1, rules[k], fields[k], *value) +
                        " is not a number: a field takes numbers " + RangeText(rules[k]) +
                        ", *, lists (1,3), ranges (1-5) and steps (*/2)"};
        }
        if (const auto value = OutOfRangeValue(fields[k], rules[k])) {
            return {CronProblemKind::kOutOfRange, FieldText(k + 1, rules[k], fields[k], *value) +
                                                      " is outside " + RangeText(rules[k]) +
                                                      rules[k].note};
        }
    }
    for (const std::string& schedule : CronSchedules(text)) {
        const scheduler::CronParseResult parsed = scheduler::ParseCronString(schedule);
        if (!parsed.Ok()) return {CronProblemKind::kUnreadable, parsed.error};
        const scheduler::NextRunResult next = scheduler::NextRun(parsed.entries, from, 0, 0);
        if (next.Ok() && next.time != 0) return {};
    }
    return {CronProblemKind::kNoRun, "no date has all of its fields: it never runs"};
}

std::optional<std::string> DescribeCronError(std::string_view text, double from) {
    const CronProblem problem = FindCronProblem(text, from);
    if (problem.kind == CronProblemKind::kNone) return std::nullopt;
    return "cron " + Quoted(text) + ": " + problem.reason;
}

std::optional<std::string> DescribeCronError(std::string_view text) {
    return DescribeCronError(text, scheduler::NowOle());
}

std::optional<std::string> DescribeScheduleError(parser::TBasicRequestList& requests,
                                                 std::string_view schedule) {
    std::optional<std::string> cron_text;
    {
        common::SharedSection lock(requests.Lock());
        for (std::int32_t i = 0; i < requests.CountLocked() && !cron_text; ++i) {
            const parser::TExportUnchangedMode& params = requests.Item(i)->MethodParams;
            if (params.Method != parser::TRequestMethod::rmCron) continue;
            for (const std::string& run : parser::CronStringsFromParams(params)) {
                if (run == schedule) cron_text = params.Param;
            }
        }
    }
    if (!cron_text) return std::nullopt;
    return DescribeCronError(*cron_text);
}

}  // namespace zol::tools
