#pragma once
// Cron text as people write it in a request's CronTime: the schedules the plug-in's loader makes
// of it, and what is wrong with it told in the writer's own terms (which field, which value,
// what the field allows) rather than in the seven-field form the scheduler is handed. Every tool
// that shows or checks a cron string reads it through here, so they all read it as the plug-in
// does.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parser/parser_BasicRequestItem.h"

namespace zol::tools {

// The seven-field strings the plug-in's scheduler runs for the cron text of a request, in the
// order of their schedules' numbers: the loader's own reading (five fields are a Unix string with
// its day numbering and its either-day rule, six or more keep their first six).
std::vector<std::string> CronSchedules(std::string_view text);

enum class CronProblemKind {
    kNone,
    kFieldCount,  // fewer than five fields: the plug-in runs it every day at midnight
    kUnreadable,  // a field the scheduler cannot read ("MON", "x")
    kOutOfRange,  // a value outside what its field allows (minute 99, weekday 8)
    kNoRun,       // readable, but no date after the base time has every field
};

struct CronProblem {
    CronProblemKind kind = CronProblemKind::kNone;
    // The reason in the text's own terms, without the text itself:
    // `field 5 (weekday) "8" is outside 0-7 (0 and 7 are Sunday)`. Empty for kNone.
    std::string reason;
};

// The first thing wrong with cron text `text` as written; `from` (an OLE local date-time) is the
// base time after which a run must come. Fields past the sixth are not read, so not judged.
CronProblem FindCronProblem(std::string_view text, double from);

// `cron "TEXT": REASON`, or nothing when the text has a run after `from` (now when not given).
std::optional<std::string> DescribeCronError(std::string_view text, double from);
std::optional<std::string> DescribeCronError(std::string_view text);

// For a schedule error the plug-in's queue reports with its seven-field string: the description
// (as DescribeCronError) of the cron text of the first cron request in `requests` that runs that
// string; nothing when no request's text does, or when that text has nothing wrong with it.
std::optional<std::string> DescribeScheduleError(parser::TBasicRequestList& requests,
                                                 std::string_view schedule);

}  // namespace zol::tools
