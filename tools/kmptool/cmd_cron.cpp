// kmptool cron: shows when a cron string runs, computed by the plug-in's own scheduler.
//   kmptool cron next "CRON" --from YYYY-MM-DDTHH:MM:SS[.mmm] [-n N]
// prints the next N runs after the base time (no start or end limit), one per line.
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kmptool/cli.h"
#include "kmptool/commands.h"
#include "scheduler/cron_scheduler.h"
#include "scheduler/date_helpers.h"
#include "scheduler/string_helpers.h"

namespace {

using zol::scheduler::DateTimeParts;

int Usage() {
    std::fprintf(stderr,
                 "usage: kmptool cron next \"CRON\" --from YYYY-MM-DDTHH:MM:SS[.mmm] [-n N]\n");
    return 2;
}

int RunCron(const std::vector<std::string>& args) {
    if (args.size() < 2 || args[0] != "next") return Usage();
    const std::string& cron = args[1];
    std::optional<DateTimeParts> base;
    long count = 1;
    for (std::size_t i = 2; i < args.size(); ++i) {
        if (args[i] == "--from" && i + 1 < args.size()) {
            base = zol::kmptool::ParseLocalTime(args[++i]);
            if (!base) {
                std::fprintf(stderr, "invalid --from time '%s'\n", args[i].c_str());
                return 2;
            }
        } else if (args[i] == "-n" && i + 1 < args.size()) {
            auto n = zol::scheduler::ParseDecimal(args[++i]);
            if (!n || *n < 1) {
                std::fprintf(stderr, "invalid count '%s'\n", args[i].c_str());
                return 2;
            }
            count = *n;
        } else {
            return Usage();
        }
    }
    if (!base) return Usage();

    auto parsed = zol::scheduler::ParseCronString(cron);
    if (!parsed.Ok()) {
        std::fprintf(stderr, "%s\n", parsed.error.c_str());
        return 2;
    }
    double from = zol::scheduler::EncodeOle(*base);
    for (long i = 0; i < count; ++i) {
        auto next = zol::scheduler::NextRun(parsed.entries, from, 0, 0);
        if (!next.Ok()) {
            std::fprintf(stderr, "%s\n", next.error);
            return 2;
        }
        if (next.time == 0) break;  // no further run
        DateTimeParts run = zol::scheduler::SplitMs(zol::scheduler::OleToMs(next.time));
        std::printf("%04d-%02d-%02dT%02d:%02d:%02d\n", run.year, run.month, run.day, run.hour,
                    run.minute, run.second);
        from = next.time;
    }
    return 0;
}

}  // namespace

static zol::kmptool::CommandRegistrar reg{
    {"cron", "cron next \"CRON\" --from YYYY-MM-DDTHH:MM:SS[.mmm] [-n N]", &RunCron}};
