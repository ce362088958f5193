// kmptool cron: shows when a cron string runs, read as the plug-in's loader reads a request's
// CronTime and computed by the plug-in's own scheduler.
//   kmptool cron next "CRON" [--from YYYY-MM-DDTHH:MM:SS[.mmm]] [-n N]
// prints the next N runs after the base time (now when --from is not given; no start or end
// limit), one per line. A string that is wrong or never runs is a usage error, told in the
// string's own fields.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/cron_text.h"
#include "common/exit_codes.h"
#include "kmptool/cli.h"
#include "kmptool/commands.h"
#include "parser/parser_BasicRequestItem.h"
#include "platform/local_clock.h"
#include "scheduler/cron_scheduler.h"
#include "scheduler/date_helpers.h"
#include "scheduler/string_helpers.h"

namespace {

using zol::scheduler::DateTimeParts;

struct CronArguments {
    std::string cron;
    std::optional<std::string> from;
    std::optional<std::string> count;
};

int RunNext(const CronArguments& arguments) {
    std::optional<DateTimeParts> base;
    if (arguments.from) {
        base = zol::kmptool::ParseLocalTime(*arguments.from);
        if (!base) {
            return zol::kmptool::UsageError("cron", zol::kmptool::LocalTimeError(*arguments.from));
        }
    } else {
        base = zol::scheduler::SplitMs(zol::platform::CurrentLocalClock().NowLocalMs());
    }
    long count = 1;
    if (arguments.count) {
        auto n = zol::scheduler::ParseDecimal(*arguments.count);
        if (!n || *n < 1) {
            std::fprintf(stderr, "invalid count '%s'\n", arguments.count->c_str());
            return zol::tools::kExitUsage;
        }
        count = *n;
    }

    double from = zol::scheduler::EncodeOle(*base);
    if (const auto problem = zol::tools::DescribeCronError(arguments.cron, from)) {
        return zol::kmptool::UsageError("cron", *problem);
    }
    if (const std::size_t fields = zol::parser::CronFields(arguments.cron).size(); fields > 6) {
        std::fprintf(stderr,
                     "kmptool cron: cron \"%s\" has %zu fields: only the first 6 are read\n",
                     arguments.cron.c_str(), fields);
    }
    // The text runs as one schedule, or as two when a Unix string restricts both day fields
    // (a day matching either runs): each run is the earliest next run of the schedules.
    struct Schedule {
        zol::scheduler::TChronSchedule entries;
        double next = 0;
    };
    std::vector<Schedule> schedules;
    for (const std::string& text : zol::tools::CronSchedules(arguments.cron)) {
        auto parsed = zol::scheduler::ParseCronString(text);
        if (parsed.Ok()) schedules.push_back({parsed.entries, 0});
    }
    const auto advance = [&](Schedule& schedule) {
        const auto next = zol::scheduler::NextRun(schedule.entries, from, 0, 0);
        schedule.next = next.Ok() ? next.time : 0;
    };
    for (Schedule& schedule : schedules) advance(schedule);
    for (long i = 0; i < count; ++i) {
        Schedule* earliest = nullptr;
        for (Schedule& schedule : schedules) {
            if (schedule.next != 0 && (earliest == nullptr || schedule.next < earliest->next)) {
                earliest = &schedule;
            }
        }
        if (earliest == nullptr) break;  // no further run
        from = earliest->next;
        DateTimeParts run = zol::scheduler::SplitMs(zol::scheduler::OleToMs(from));
        std::printf("%04d-%02d-%02dT%02d:%02d:%02d\n", run.year, run.month, run.day, run.hour,
                    run.minute, run.second);
        for (Schedule& schedule : schedules) {
            if (schedule.next != 0 && schedule.next <= from) advance(schedule);
        }
    }
    return zol::tools::kExitDone;
}

zol::kmptool::CommandRunner DefineCron(CLI::App& command) {
    command.require_subcommand(1);
    auto given = std::make_shared<CronArguments>();
    CLI::App* next = command.add_subcommand("next", "print the next runs of a cron string");
    next->add_option("CRON", given->cron,
                     "the cron string, quoted (\"30 6 * * 1-5\": minute hour day month weekday)")
        ->type_name("")
        ->required();
    next->add_option("--from", given->from, "local base time (default: now)")
        ->type_name("YYYY-MM-DDTHH:MM:SS[.mmm]");
    next->add_option("-n", given->count, "how many runs to print (1)")->type_name("N");
    return [given] { return RunNext(*given); };
}

}  // namespace

static zol::kmptool::CommandRegistrar reg{
    {"cron", "when a cron string runs, by the plug-in's scheduler", &DefineCron}};
