// kmptool cron: shows when a cron string runs, computed by the plug-in's own scheduler.
//   kmptool cron next "CRON" --from YYYY-MM-DDTHH:MM:SS[.mmm] [-n N]
// prints the next N runs after the base time (no start or end limit), one per line.
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kmptool/commands.h"
#include "scheduler/cron_scheduler.h"
#include "scheduler/date_helpers.h"
#include "scheduler/string_helpers.h"

namespace {

using zol::scheduler::DateTimeParts;

std::optional<int> Digits(std::string_view text, std::size_t pos, std::size_t count) {
    if (pos + count > text.size()) return std::nullopt;
    auto value = zol::scheduler::ParseDecimal(text.substr(pos, count));
    if (!value) return std::nullopt;
    return *value;
}

// YYYY-MM-DDTHH:MM:SS with optional .mmm (one to three digits of a second).
std::optional<DateTimeParts> ParseBaseTime(std::string_view text) {
    if (text.size() < 19 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':') {
        return std::nullopt;
    }
    DateTimeParts parts;
    auto year = Digits(text, 0, 4);
    auto month = Digits(text, 5, 2);
    auto day = Digits(text, 8, 2);
    auto hour = Digits(text, 11, 2);
    auto minute = Digits(text, 14, 2);
    auto second = Digits(text, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
    if (*year < 1 || *month < 1 || *month > 12 || *day < 1 ||
        *day > zol::scheduler::DaysInMonth(*year, *month) || *hour > 23 || *minute > 59 ||
        *second > 59) {
        return std::nullopt;
    }
    parts = {*year, *month, *day, *hour, *minute, *second, 0};
    if (text.size() > 19) {
        std::size_t digits = text.size() - 20;
        if (text[19] != '.' || digits < 1 || digits > 3) return std::nullopt;
        auto fraction = Digits(text, 20, digits);
        if (!fraction) return std::nullopt;
        parts.millisecond = *fraction * (digits == 1 ? 100 : digits == 2 ? 10 : 1);
    }
    return parts;
}

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
            base = ParseBaseTime(args[++i]);
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
