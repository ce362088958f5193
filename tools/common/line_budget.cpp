#include "common/line_budget.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <utility>

#include "kmp/request_config.h"
#include "scheduler/cron_scheduler.h"
#include "scheduler/date_helpers.h"

namespace zol::tools {

namespace {

using parser::TRequestMethod;

constexpr double kHourMs = 3600.0 * 1000;
// Runs of a time schedule are looked at over a year from a fixed day, so the answer does not
// depend on the day the check runs; a schedule with more runs than kRunsPerSchedule in that time
// is dense, and its own densest hour is taken as present in every hour.
constexpr int kHorizonDays = 366;
constexpr std::size_t kRunsPerSchedule = 10000;

// The run times (milliseconds) of one seven-field cron string over the horizon; `dense` when
// the count ran out before the horizon did.
struct ScheduleRuns {
    std::vector<std::int64_t> ms;
    bool dense = false;
};

ScheduleRuns RunsOf(const std::string& cron) {
    ScheduleRuns runs;
    const auto parsed = scheduler::ParseCronString(cron);
    if (!parsed.Ok()) return runs;
    scheduler::DateTimeParts start;
    start.year = 2027;
    const double begin = scheduler::EncodeOle(start);
    const double end = begin + kHorizonDays;
    // Just before the start, so a run at the first instant counts.
    double from = begin - 1.0 / 86400;
    while (true) {
        const auto next = scheduler::NextRun(parsed.entries, from, 0, end);
        if (!next.Ok() || next.time == 0 || next.time > end) break;
        if (runs.ms.size() == kRunsPerSchedule) {
            runs.dense = true;
            break;
        }
        runs.ms.push_back(scheduler::OleToMs(next.time));
        from = next.time;
    }
    return runs;
}

// The most that runs of cost `cost` at `times` put into any one hour.
double DensestHour(std::vector<std::pair<std::int64_t, double>> runs) {
    std::sort(runs.begin(), runs.end());
    double best = 0, in_window = 0;
    std::size_t first = 0;
    for (std::size_t last = 0; last < runs.size(); ++last) {
        in_window += runs[last].second;
        while (runs[last].first - runs[first].first >= static_cast<std::int64_t>(kHourMs)) {
            in_window -= runs[first++].second;
        }
        best = std::max(best, in_window);
    }
    return best;
}

std::vector<std::string> SchedulesOf(const kmp::TRequestItem& request) {
    std::vector<std::string> crons;
    if (request.Method == TRequestMethod::rmCron) {
        crons = parser::CronStringsFromParams(request.MethodParams);
    } else {
        for (auto& schedule : parser::ParseAtTimeList(request.MethodParams.Param)) {
            crons.push_back(std::move(schedule.cron));
        }
    }
    return crons;
}

std::string Seconds(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", ms / 1000);
    return text;
}

std::string Window(double ms) {
    if (ms == kHourMs) return "hour";
    const auto whole = static_cast<std::int64_t>(ms);
    if (static_cast<double>(whole) == ms && whole >= 120'000 && whole % 60'000 == 0) {
        return std::to_string(whole / 60'000) + " min";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.3g s", ms / 1000);
    return text;
}

}  // namespace

LineBudget ComputeLineBudget(std::string_view options_text, kmp::KmpCatalogue catalogue,
                             const LineBudgetSettings& settings) {
    kmp::TDataSourceCfg config;
    config.lblParams_Caption = std::string(options_text);
    kmp::StandaloneLoadHost host(catalogue);
    parser::TBasicRequestList requests;
    kmp::LoadRequests(&host, &config, requests, nullptr);

    // Per request name: polled cost per millisecond, and the time runs of its meters.
    struct Entry {
        std::size_t meters = 0;
        double poll_rate = 0;
        double scheduled_hour_ms = 0;  // its own densest hour, for the list
    };
    std::map<std::string, Entry> entries;
    std::vector<std::string> order;  // names in the order of the configuration
    std::map<std::string, ScheduleRuns> runs_by_cron;
    std::vector<std::pair<std::int64_t, double>> sparse_runs;
    double dense_hour_ms = 0;
    double poll_rate = 0;
    double shortest_interval = 0;

    LineBudget budget;
    common::SharedSection lock(requests.Lock());
    for (std::int32_t i = 0; i < requests.CountLocked(); ++i) {
        const auto& request = static_cast<const kmp::TRequestItem&>(*requests.Item(i));
        if (!request.Enabled) continue;
        std::vector<std::uint16_t> ids;
        for (std::size_t r = 0; r < request.ResponseCount(); ++r) {
            ids.push_back(request.Response(r).Parameters.Register);
        }
        const double cost = RegisterReadWireTime(settings.line, request.Parameters.Address, ids,
                                                 settings.latency_ms)
                                .total_ms;
        // The timeout runs from the request's hand-over to the line, so the whole exchange
        // must fit in it.
        if (static_cast<double>(request.Parameters.Timeout) < cost) {
            auto known =
                std::find_if(budget.short_timeouts.begin(), budget.short_timeouts.end(),
                             [&request](const ShortTimeout& s) { return s.name == request.Name; });
            if (known == budget.short_timeouts.end()) {
                budget.short_timeouts.push_back({request.Name, request.Parameters.Timeout, cost});
            } else {
                known->exchange_ms = std::max(known->exchange_ms, cost);
            }
        }
        const auto method = request.Method;
        if (method != TRequestMethod::rmPoll && method != TRequestMethod::rmCron &&
            method != TRequestMethod::rmAtTime) {
            continue;
        }
        if (entries.find(request.Name) == entries.end()) order.push_back(request.Name);
        Entry& entry = entries[request.Name];
        ++entry.meters;
        if (method == TRequestMethod::rmPoll) {
            // What the schedule asks for, even past a full line; a request polled without an
            // interval asks for the line back to back.
            const double interval = static_cast<double>(request.PollInterval);
            const double rate = interval > 0 ? cost / interval : 1;
            entry.poll_rate += rate;
            poll_rate += rate;
            const double window = interval > 0 ? interval : cost;
            if (shortest_interval == 0 || window < shortest_interval) shortest_interval = window;
            continue;
        }
        std::vector<std::pair<std::int64_t, double>> own;
        for (const auto& cron : SchedulesOf(request)) {
            auto found = runs_by_cron.find(cron);
            if (found == runs_by_cron.end()) found = runs_by_cron.emplace(cron, RunsOf(cron)).first;
            std::vector<std::pair<std::int64_t, double>> these;
            for (const auto ms : found->second.ms) these.emplace_back(ms, cost);
            if (found->second.dense) {
                dense_hour_ms += DensestHour(these);
            } else {
                sparse_runs.insert(sparse_runs.end(), these.begin(), these.end());
            }
            own.insert(own.end(), these.begin(), these.end());
        }
        // Each meter's runs fall in the same hours as the other meters' of its request.
        entry.scheduled_hour_ms = DensestHour(std::move(own)) * static_cast<double>(entry.meters);
    }

    budget.window_ms = shortest_interval > 0 ? shortest_interval : kHourMs;
    const double scheduled_rate = (DensestHour(std::move(sparse_runs)) + dense_hour_ms) / kHourMs;
    budget.share = poll_rate + scheduled_rate;
    budget.need_ms = budget.share * budget.window_ms;
    for (const auto& name : order) {
        const Entry& entry = entries[name];
        const double ms = (entry.poll_rate + entry.scheduled_hour_ms / kHourMs) * budget.window_ms;
        if (ms > 0) budget.requests.push_back({name, entry.meters, ms});
    }
    std::stable_sort(budget.requests.begin(), budget.requests.end(),
                     [](const auto& a, const auto& b) { return a.ms > b.ms; });
    return budget;
}

std::optional<std::string> LineBudgetLine(std::string_view port, const LineBudget& budget) {
    if (budget.share <= kBudgetNoteShare) return std::nullopt;
    const bool over = budget.share > kBudgetWarningShare;
    std::string line = over ? "warning: " : "note: ";
    line += port;
    line += ": the requests need " + Seconds(budget.need_ms) + " of line time every " +
            Window(budget.window_ms) + " (" +
            std::to_string(static_cast<long long>(std::lround(budget.share * 100))) + "%)";
    line += over ? ": readings will fall behind; poll less often or split the line"
                 : ": little time is left for retries and late answers";
    // The three dearest requests, with their meters; one that costs less than the tenth of a
    // second the line shows is no help in choosing what to change.
    line += ". Costliest: ";
    for (std::size_t i = 0; i < budget.requests.size() && i < 3; ++i) {
        const auto& request = budget.requests[i];
        if (i > 0 && request.ms < 50) break;
        if (i > 0) line += ", ";
        line += request.name + " " + Seconds(request.ms) + " (" + std::to_string(request.meters) +
                (request.meters == 1 ? " meter)" : " meters)");
    }
    return line;
}

std::vector<std::string> ShortTimeoutLines(std::string_view port, const LineBudget& budget,
                                           const LineFraming& line) {
    std::vector<std::string> lines;
    for (const auto& request : budget.short_timeouts) {
        // A tenth more than the exchange, in whole tenths of a second, leaves the meter room.
        const auto enough =
            static_cast<long long>(std::ceil(request.exchange_ms * 1.1 / 100) * 100);
        char text[64];
        std::snprintf(text, sizeof text, "%u %u%c%u", line.baud, line.data_bits, line.parity,
                      line.stop_bits);
        lines.push_back("warning: " + std::string(port) + ": " + request.name + " waits " +
                        std::to_string(request.timeout_ms) + " ms for an answer that takes " +
                        std::to_string(std::lround(request.exchange_ms)) + " ms on the wire at " +
                        text + ": every reading of it times out; set its Timeout to " +
                        std::to_string(enough) + " or more");
    }
    return lines;
}

}  // namespace zol::tools
