// kmptool cron: shows when a cron string runs, computed by the plug-in's own scheduler.
//   kmptool cron next "CRON" [--from YYYY-MM-DDTHH:MM:SS[.mmm]] [-n N]
// prints the next N runs after the base time (now when --from is not given; no start or end
// limit), one per line.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/exit_codes.h"
#include "kmptool/cli.h"
#include "kmptool/commands.h"
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
            std::fprintf(stderr, "invalid --from time '%s'\n", arguments.from->c_str());
            return zol::tools::kExitUsage;
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

    auto parsed = zol::scheduler::ParseCronString(arguments.cron);
    if (!parsed.Ok()) {
        std::fprintf(stderr, "%s\n", parsed.error.c_str());
        return zol::tools::kExitUsage;
    }
    double from = zol::scheduler::EncodeOle(*base);
    for (long i = 0; i < count; ++i) {
        auto next = zol::scheduler::NextRun(parsed.entries, from, 0, 0);
        if (!next.Ok()) {
            std::fprintf(stderr, "%s\n", next.error);
            return zol::tools::kExitUsage;
        }
        if (next.time == 0) break;  // no further run
        DateTimeParts run = zol::scheduler::SplitMs(zol::scheduler::OleToMs(next.time));
        std::printf("%04d-%02d-%02dT%02d:%02d:%02d\n", run.year, run.month, run.day, run.hour,
                    run.minute, run.second);
        from = next.time;
    }
    return zol::tools::kExitDone;
}

zol::kmptool::CommandRunner DefineCron(CLI::App& command) {
    command.require_subcommand(1);
    auto given = std::make_shared<CronArguments>();
    CLI::App* next = command.add_subcommand("next", "print the next runs of a cron string");
    next->add_option("CRON", given->cron, "the cron string, quoted (\"0 */15 6-18 * * 1-5\")")
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
