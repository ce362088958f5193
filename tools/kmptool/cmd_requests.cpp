// kmptool requests: what a request configuration will read, and when.
//   kmptool requests [--catalogue heat|electricity] FILE
// loads an options text (FILE, or - for standard input) the way the plug-in loads a port's
// requests and prints them as one JSON document.
//   kmptool requests [--catalogue ...] FILE --dry-run SECONDS --from YYYY-MM-DDTHH:MM:SS
//                    [--silent ADDR,...] [--wire]
// runs the loaded requests through a real queue controller on a simulated clock and prints one
// line per send (and per response timeout of the silent addresses). With --wire every answered
// exchange keeps the line for its wire time, so requests queue up behind each other as on a real
// line, and each send says how late it went out.
//   kmptool requests [--catalogue ...] FILE --check
// prints only the configuration check's findings and the line budget: exit 0 when there is
// nothing to warn about (a note alone included), 3 when there is. Without --check the findings
// go to stderr and the output is as above. --baud, --line and --latency set the line the budget
// and the wire preview count with (default 1200 8N2, 50 ms).
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/config_check.h"
#include "common/cron_text.h"
#include "common/json_write.h"
#include "common/line_budget.h"
#include "common/text_encoding.h"
#include "kmp/request_config.h"
#include "kmptool/cli.h"
#include "kmptool/commands.h"
#include "platform/fake_clock.h"
#include "scheduler/date_helpers.h"

namespace {

using zol::kmp::TRequestItem;
using zol::parser::TRequestMethod;
using zol::tools::Json;

const char* MethodName(TRequestMethod method) {
    switch (method) {
        case TRequestMethod::rmOnce:
            return "once";
        case TRequestMethod::rmPoll:
            return "poll";
        case TRequestMethod::rmAtTime:
            return "atTime";
        case TRequestMethod::rmCron:
            return "cron";
        case TRequestMethod::rmEvent:
            return "event";
    }
    return "once";
}

Json SchedulesJson(const TRequestItem& request) {
    Json schedules = Json::array();
    auto add = [&schedules](int index, const std::string& cron) {
        schedules.push_back({{"index", index}, {"cron", cron}});
    };
    if (request.MethodParams.Method == TRequestMethod::rmCron) {
        // Numbered as the queue numbers them: a five-field string may need two schedules.
        int index = 0;
        for (const auto& cron : zol::parser::CronStringsFromParams(request.MethodParams)) {
            add(index++, cron);
        }
    } else if (request.MethodParams.Method == TRequestMethod::rmAtTime) {
        for (const auto& schedule : zol::parser::ParseAtTimeList(request.MethodParams.Param)) {
            add(schedule.index, schedule.cron);
        }
    }
    return schedules;
}

Json RequestJson(const TRequestItem& request) {
    const auto& p = request.Parameters;
    Json registers = Json::array();
    for (std::size_t i = 0; i < request.ResponseCount(); ++i) {
        const auto& r = request.Response(i).Parameters;
        registers.push_back(
            {{"id", r.Register},
             {"name", r.Name},
             {"caption", r.Caption},
             {"code", r.Info != nullptr ? Json(std::string(r.Info->Code)) : Json()}});
    }
    Json cron_params = Json::array();
    for (const auto& param : request.MethodParams.CronParams) cron_params.push_back(param);
    return {{"address", p.Address},
            {"addressText", p.AddressText},
            {"name", request.Name},
            {"enabled", request.Enabled},
            {"method", MethodName(request.Method)},
            {"pollInterval", request.PollInterval},
            {"param", request.MethodParams.Param},
            {"cronParams", std::move(cron_params)},
            {"schedules", SchedulesJson(request)},
            {"timeout", p.Timeout},
            {"maxRetries", request.MaxRetries},
            {"group", p.Group},
            {"registers", std::move(registers)}};
}

std::optional<std::string> ReadInput(const std::string& file, std::string& problem) {
    std::ostringstream text;
    if (file == "-") {
        text << std::cin.rdbuf();
        if (std::cin.bad()) {
            problem = "standard input cannot be read";
            return std::nullopt;
        }
        return text.str();
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        problem = "cannot be opened";
        return std::nullopt;
    }
    text << in.rdbuf();
    if (in.bad()) {
        problem = "cannot be read";
        return std::nullopt;
    }
    return text.str();
}

// A local time line prefix: YYYY-MM-DDTHH:MM:SS.mmm.
std::string FormatLocal(std::int64_t local_ms) {
    const auto t = zol::scheduler::SplitMs(local_ms);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, t.millisecond);
    return buf;
}

// Drives a real queue controller on a simulated clock. Ticks and schedule runs happen when the
// queue's own timers would make them happen: ticks on the grid of the tick interval (every tick
// re-arms the timer), schedule runs at the cron scheduler's next run. Stretches in which no tick
// can change anything are skipped whole, so a day of simulated time costs only the ticks that
// matter.
//
// On the wire (with line settings given) an answer arrives when its exchange's wire time has
// passed, not at once: the queue keeps the request outstanding until then, so the next one waits,
// as it does on a real line. A meter is identified (type and serial number) before its first
// read and again after a timeout, as the plug-in does.
class DryRun {
   public:
    static constexpr std::uint64_t kFirstTick = 1'000'000;

    DryRun(std::int64_t start_local_ms, std::set<std::uint8_t> silent,
           std::optional<zol::tools::LineBudgetSettings> wire = std::nullopt)
        : clock_(kFirstTick, start_local_ms),
          use_clock_(clock_),
          silent_(std::move(silent)),
          wire_(std::move(wire)) {
        queue_.SendTag = 0;
        queue_.OnSendRequest = [this](auto&, zol::parser::TBasicRequestItem& item,
                                      std::uint32_t& timeout, std::int32_t&) {
            auto& request = static_cast<TRequestItem&>(item);
            Print("send", request, wire_ ? WireText(request).c_str() : "");
            timeout = request.Parameters.Timeout > 0
                          ? static_cast<std::uint32_t>(request.Parameters.Timeout)
                          : 0;
            sent_ = &request;
            return true;
        };
        queue_.OnRequestTimeout = [this](auto&, zol::parser::TBasicRequestItem& item, bool& retry) {
            auto& request = static_cast<TRequestItem&>(item);
            Print("timeout", request, AttemptText(request, retry).c_str());
            // The plug-in forgets a meter that did not answer and identifies it again.
            identified_.erase(request.Parameters.Address);
            if (answering_ == &request) {
                // The line was busy for the part of the exchange that had passed.
                busy_ms_ +=
                    std::min(steps_.front(), static_cast<double>(clock_.ReadTick() - step_start_));
                answering_ = nullptr;
            }
        };
        queue_.OnScheduled = [this](auto&, auto&, auto&) { scheduled_ = true; };
        queue_.OnError = [this](auto&, std::string_view context, const std::exception& error,
                                std::string_view detail) {
            // A schedule is registered before its request joins the list: its error is told
            // when the run starts, in the CronTime as written.
            if (context == "Cron") {
                schedule_errors_.push_back({std::string(detail), error.what()});
                return;
            }
            std::fprintf(stderr, "%.*s: %s (%.*s)\n", static_cast<int>(context.size()),
                         context.data(), error.what(), static_cast<int>(detail.size()),
                         detail.data());
        };
    }

    zol::parser::TQueueControllerTimer& Queue() { return queue_; }

    void Run(std::uint64_t seconds) {
        for (const auto& [schedule, what] : schedule_errors_) {
            if (const auto cron = zol::tools::DescribeScheduleError(queue_.Requests, schedule)) {
                std::fprintf(stderr, "kmptool requests: %s\n", cron->c_str());
            } else {
                std::fprintf(stderr, "Cron: %s (%s)\n", what.c_str(), schedule.c_str());
            }
        }
        schedule_errors_.clear();
        const std::uint64_t end = clock_.ReadTick() + seconds * 1000;
        last_tick_ = clock_.ReadTick();
        while (true) {
            const std::uint64_t now = clock_.ReadTick();
            zol::scheduler::TScheduledEvent* event = nullptr;
            const std::uint64_t fire = NextFire(event);
            const std::uint64_t tick = NextTick(now);
            const std::uint64_t answer = answering_ != nullptr ? answer_at_ : kNever;
            const std::uint64_t at = std::min({fire, tick, answer});
            if (at > end) break;
            clock_.Advance(at - now);
            NoteDue(at);
            if (answer <= std::min(fire, tick)) {
                // A reply's last byte has arrived: the next identification step is sent with a
                // timeout of its own, as the plug-in sends it, or the exchange is over.
                busy_ms_ += steps_.front();
                steps_.erase(steps_.begin());
                if (!steps_.empty()) {
                    StartStep();
                    if (queue_.Current == answering_ && answering_->Parameters.Timeout > 0) {
                        queue_.ExpectResponse(
                            static_cast<std::uint32_t>(answering_->Parameters.Timeout));
                    }
                    continue;
                }
                identified_.insert(answering_->Parameters.Address);
                if (queue_.Current == answering_) {
                    queue_.ReleaseCurrent(1);
                    queue_.Current = nullptr;
                }
                answering_ = nullptr;
                continue;
            } else if (event != nullptr && fire <= tick) {
                event->Fire();
                // A schedule that marked requests ticked the queue at once, re-arming its timer.
                if (scheduled_) last_tick_ = at;
                Advance(*event);
            } else {
                queue_.Tick();
                last_tick_ = at;
            }
            scheduled_ = false;
            Answer();
            NoteDue(at);
        }
        if (wire_) PrintWireSummary(seconds);
        std::fflush(stdout);
    }

   private:
    void Print(const char* what, const TRequestItem& request, const char* suffix) {
        std::printf("%s %s %u %s%s\n", FormatLocal(clock_.NowLocalMs()).c_str(), what,
                    static_cast<unsigned>(request.Parameters.Address), request.Name.c_str(),
                    suffix);
    }

    // Every send is answered, except by the silent addresses: at once, or on the wire when its
    // exchanges have passed.
    void Answer() {
        if (sent_ == nullptr) return;
        if (silent_.count(sent_->Parameters.Address) == 0) {
            if (wire_) {
                answering_ = sent_;
                steps_ = sent_steps_;
                StartStep();
            } else {
                queue_.ReleaseCurrent(1);
                queue_.Current = nullptr;
            }
        }
        sent_ = nullptr;
    }

    // " attempt N of M": the attempts at this request so far, counting up, and how many it gets.
    static std::string AttemptText(const TRequestItem& request, bool retry) {
        const int limit = std::max<int>(request.MaxRetries, 1);
        int attempt = std::clamp<int>(request.RetryCount, 1, limit);
        // The last attempt has left the count at the limit, or already cleared it.
        if (!retry) attempt = limit;
        return " attempt " + std::to_string(attempt) + " of " + std::to_string(limit);
    }

    // " late=S wire=S[ identify]" for a send: how long after it was due it went out, and how long
    // its exchanges keep the line (the identification first when the meter is not known).
    std::string WireText(const TRequestItem& request) {
        const std::uint64_t now = clock_.ReadTick();
        std::string text;
        // A resend after a timeout is not a run of its own: it gets no lateness. A request a
        // schedule marked and the queue sent in the same instant was not seen waiting: it is on
        // time.
        const auto due = due_.find(&request);
        if (request.RetryCount <= 1) {
            const std::uint64_t since = due != due_.end() ? due->second : now;
            const std::uint64_t late = now > since ? now - since : 0;
            latest_ms_ = std::max(latest_ms_, late);
            text += " late=" + SecondsText(static_cast<double>(late));
        }
        if (due != due_.end()) due_.erase(due);
        std::vector<std::uint16_t> ids;
        for (std::size_t i = 0; i < request.ResponseCount(); ++i) {
            ids.push_back(request.Response(i).Parameters.Register);
        }
        const std::uint8_t address = request.Parameters.Address;
        const bool known = identified_.count(address) != 0;
        sent_steps_.clear();
        if (!known) {
            sent_steps_.push_back(
                zol::tools::TypeRequestWireTime(wire_->line, address, wire_->latency_ms).total_ms);
            sent_steps_.push_back(
                zol::tools::SerialRequestWireTime(wire_->line, address, wire_->latency_ms)
                    .total_ms);
        }
        sent_steps_.push_back(
            zol::tools::RegisterReadWireTime(wire_->line, address, ids, wire_->latency_ms)
                .total_ms);
        // A silent meter never answers: there is no exchange to time.
        if (silent_.count(address) != 0) return text;
        double wire_ms = 0;
        for (const double step : sent_steps_) wire_ms += step;
        text += " wire=" + SecondsText(wire_ms);
        if (!known) text += " identify";
        return text;
    }

    // The current step of the exchange being answered starts now.
    void StartStep() {
        step_start_ = clock_.ReadTick();
        answer_at_ = step_start_ + static_cast<std::uint64_t>(std::llround(steps_.front()));
    }

    static std::string SecondsText(double ms) {
        char text[32];
        std::snprintf(text, sizeof text, "%.3fs", ms / 1000);
        return text;
    }

    // Records when each request fell due, the first time it is seen due: polls at the end of
    // their interval, time schedules when they marked the request.
    void NoteDue(std::uint64_t now) {
        if (!wire_) return;
        zol::common::SharedSection lock(queue_.Requests.Lock());
        for (std::int32_t i = 0; i < queue_.Requests.CountLocked(); ++i) {
            const auto& item = *queue_.Requests.Item(i);
            if (!item.Enabled || due_.count(&item) != 0 || &item == queue_.Current) continue;
            std::uint64_t due = kNever;
            switch (item.Method) {
                case TRequestMethod::rmPoll:
                    due =
                        item.PollTimer.IsClear()
                            ? now
                            : item.PollTimer.Start + static_cast<std::uint32_t>(item.PollInterval);
                    break;
                case TRequestMethod::rmOnce:
                    if (!item.Sent) due = now;
                    break;
                default:
                    if (item.Pending) due = now;
            }
            if (due <= now) due_[&item] = due;
        }
    }

    // "wire: the line was busy S of S (P%); the latest send went out S after it was due".
    void PrintWireSummary(std::uint64_t seconds) const {
        const double run_ms = static_cast<double>(seconds) * 1000;
        std::printf(
            "wire: %s, the line was busy %s of %s (%.0f%%); the latest send went out %s "
            "after it was due\n",
            zol::tools::LineFramingText(wire_->line).c_str(), SecondsText(busy_ms_).c_str(),
            SecondsText(run_ms).c_str(), run_ms > 0 ? 100 * busy_ms_ / run_ms : 0.0,
            SecondsText(static_cast<double>(latest_ms_)).c_str());
    }

    std::uint64_t TickOfLocal(double ole) const {
        const std::int64_t delta = zol::scheduler::OleToMs(ole) - clock_.NowLocalMs();
        const std::uint64_t now = clock_.ReadTick();
        return delta <= 0 ? now : now + static_cast<std::uint64_t>(delta);
    }

    std::uint64_t NextFire(zol::scheduler::TScheduledEvent*& event) const {
        std::uint64_t best = std::numeric_limits<std::uint64_t>::max();
        for (std::size_t i = 0; i < queue_.Events.Count(); ++i) {
            auto& candidate = queue_.Events[i];
            if (!candidate.Running() || candidate.Schedule.NextTime == 0) continue;
            const std::uint64_t at = TickOfLocal(candidate.Schedule.NextTime);
            if (at < best) {
                best = at;
                event = &candidate;
            }
        }
        return best;
    }

    // The schedule's next run after the one that just fired; an event whose schedule gives no
    // later run (or fails) stops.
    void Advance(zol::scheduler::TScheduledEvent& event) {
        try {
            const std::int64_t now = clock_.NowLocalMs();
            while (event.Schedule.NextTime != 0 &&
                   zol::scheduler::OleToMs(event.Schedule.NextTime) <= now) {
                if (!event.Schedule.CalcNext()) break;
            }
        } catch (const std::exception&) {
            event.Schedule.NextTime = 0;
        }
        if (event.Schedule.NextTime == 0) event.Stop();
    }

    // The earliest tick at which a tick could send or time out: nothing changes before it.
    std::uint64_t Wake(std::uint64_t now) {
        if (queue_.ResetRequest.load() != 0) return now;
        if (!queue_.ResponseTimeout.IsClear()) return queue_.ResponseTimeout.Deadline;
        std::uint64_t wake = std::numeric_limits<std::uint64_t>::max();
        zol::common::SharedSection lock(queue_.Requests.Lock());
        for (std::int32_t i = 0; i < queue_.Requests.CountLocked(); ++i) {
            const auto& item = *queue_.Requests.Item(i);
            if (!item.Enabled) continue;
            std::uint64_t due = std::numeric_limits<std::uint64_t>::max();
            switch (item.Method) {
                case TRequestMethod::rmOnce:
                    if (!item.Sent) due = now;
                    break;
                case TRequestMethod::rmAtTime:
                case TRequestMethod::rmCron:
                case TRequestMethod::rmEvent:
                    if (item.Pending) due = now;
                    break;
                default:
                    due =
                        item.PollTimer.IsClear()
                            ? now
                            : item.PollTimer.Start + static_cast<std::uint32_t>(item.PollInterval);
            }
            wake = std::min(wake, due);
        }
        if (!queue_.Pause.IsClear()) wake = std::max(wake, queue_.Pause.Deadline);
        return std::max(wake, now);
    }

    std::uint64_t NextTick(std::uint64_t now) {
        if (!queue_.Timer || !queue_.Timer->Enabled()) {
            return std::numeric_limits<std::uint64_t>::max();
        }
        const std::uint64_t wake = Wake(now);
        if (wake == std::numeric_limits<std::uint64_t>::max()) return wake;
        const std::uint64_t interval = queue_.TickInterval;
        std::uint64_t tick = last_tick_ + interval;
        if (wake > tick) tick += (wake - tick + interval - 1) / interval * interval;
        return tick;
    }

    zol::platform::FakeClock clock_;
    zol::platform::ScopedFakeClock use_clock_;
    zol::parser::TQueueControllerTimer queue_;
    std::set<std::uint8_t> silent_;
    TRequestItem* sent_ = nullptr;
    std::uint64_t last_tick_ = 0;
    bool scheduled_ = false;
    std::vector<std::pair<std::string, std::string>> schedule_errors_;  // schedule, message
    static constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
    // On the wire: the line settings, the request being answered and when its answer ends, the
    // meters identified, when each waiting request fell due, and the figures of the summary.
    std::optional<zol::tools::LineBudgetSettings> wire_;
    TRequestItem* answering_ = nullptr;
    std::uint64_t answer_at_ = 0;
    // Wire time of each step (type, serial number, registers) of the exchange last sent, and
    // those left of the one being answered.
    std::vector<double> sent_steps_, steps_;
    std::uint64_t step_start_ = 0;
    std::set<std::uint8_t> identified_;
    std::map<const zol::parser::TBasicRequestItem*, std::uint64_t> due_;
    double busy_ms_ = 0;
    std::uint64_t latest_ms_ = 0;
};

// The port the line budget names when --port is not given.
constexpr const char* kDefaultPort = "line";

int Fail(const std::string& file, const std::string& problem) {
    std::fprintf(stderr, "kmptool requests: %s: %s\n", file.c_str(), problem.c_str());
    return 1;
}

// The command line of `kmptool requests`, as given; RunRequests checks the values.
struct RequestsArguments {
    std::string file;
    std::optional<std::string> catalogue, dry_run, from, silent, baud, line, latency, port;
    bool check = false;
    bool wire = false;
};

// The line the budget and the wire preview count with: --line "8N2" (or "1200 8N2"), --baud
// over its speed, --latency the meters' reply latency in milliseconds.
std::optional<zol::tools::LineBudgetSettings> LineSettings(const RequestsArguments& arguments,
                                                           std::string& error) {
    zol::tools::LineBudgetSettings settings;
    if (arguments.line) {
        auto line = zol::tools::ParseLineFraming(*arguments.line);
        if (!line) {
            error = "invalid --line '" + *arguments.line + "' (data bits, parity, stop bits: 8N2)";
            return std::nullopt;
        }
        settings.line = *line;
    }
    if (arguments.baud) {
        auto line = zol::tools::ParseLineFraming(*arguments.baud);
        if (!line || arguments.baud->find(' ') != std::string::npos ||
            !zol::kmptool::ParseNumber(*arguments.baud)) {
            error = "invalid --baud '" + *arguments.baud + "' (a speed from 50 to 4000000)";
            return std::nullopt;
        }
        settings.line.baud = line->baud;
    }
    if (arguments.latency) {
        auto latency = zol::kmptool::ParseNumber(*arguments.latency, 60000);
        if (!latency) {
            error = "invalid --latency '" + *arguments.latency + "' (milliseconds, 0 to 60000)";
            return std::nullopt;
        }
        settings.latency_ms = *latency;
    }
    return settings;
}

int RunRequests(const RequestsArguments& arguments) {
    using zol::kmptool::UsageError;
    const auto& catalogue_text = arguments.catalogue;
    const auto& dry_run_text = arguments.dry_run;
    const auto& from_text = arguments.from;
    const auto& silent_text = arguments.silent;
    const bool check = arguments.check;
    if (dry_run_text.has_value() != from_text.has_value()) {
        return UsageError("requests", "--dry-run and --from go together");
    }
    if (silent_text && !dry_run_text) return UsageError("requests", "--silent needs --dry-run");
    if (check && dry_run_text)
        return UsageError("requests", "--check runs alone, without --dry-run");
    if (arguments.wire && !dry_run_text) return UsageError("requests", "--wire needs --dry-run");
    const bool line_given = arguments.baud || arguments.line || arguments.latency || arguments.port;
    if (line_given && !check && !arguments.wire) {
        return UsageError("requests",
                          "--baud, --line, --latency and --port need --check or --wire");
    }
    std::string line_error;
    const auto line_settings = LineSettings(arguments, line_error);
    if (!line_settings) return UsageError("requests", line_error);
    auto catalogue = zol::kmp::KmpCatalogue::kHeat;
    if (catalogue_text) {
        auto parsed = zol::kmptool::ParseCatalogue(*catalogue_text);
        if (!parsed) return UsageError("requests", "unknown catalogue '" + *catalogue_text + "'");
        catalogue = *parsed;
    }
    std::optional<std::uint32_t> seconds;
    std::optional<zol::scheduler::DateTimeParts> from;
    std::set<std::uint8_t> silent;
    if (dry_run_text) {
        seconds = zol::kmptool::ParseNumber(*dry_run_text, 10u * 366 * 86400);
        if (!seconds) return UsageError("requests", "invalid --dry-run '" + *dry_run_text + "'");
        from = zol::kmptool::ParseLocalTime(*from_text);
        if (!from) {
            return UsageError("requests", "invalid --from time '" + *from_text +
                                              "': expected YYYY-MM-DDTHH:MM:SS, local time");
        }
        if (silent_text) {
            for (const std::string& address : zol::kmptool::SplitList(*silent_text)) {
                auto number = zol::kmptool::ParseNumber(address, 255);
                if (!number) return UsageError("requests", "invalid address '" + address + "'");
                silent.insert(static_cast<std::uint8_t>(*number));
            }
        }
    }

    const std::string& file = arguments.file;
    std::string problem;
    auto text = ReadInput(file, problem);
    if (!text) return Fail(file, problem);
    const auto findings = zol::tools::CheckOptionsText(*text, catalogue);
    const auto budget = zol::tools::ComputeLineBudget(*text, catalogue, *line_settings);
    const auto budget_line =
        zol::tools::LineBudgetLine(arguments.port.value_or(kDefaultPort), budget);
    const auto timeout_lines = zol::tools::ShortTimeoutLines(arguments.port.value_or(kDefaultPort),
                                                             budget, line_settings->line);
    if (check) {
        for (const auto& finding : findings) {
            zol::tools::WriteLine(stdout, zol::tools::FindingLine(finding));
        }
        if (budget_line) zol::tools::WriteLine(stdout, *budget_line);
        for (const auto& line : timeout_lines) zol::tools::WriteLine(stdout, line);
        std::fflush(stdout);
        return findings.empty() && !zol::tools::LineOverBudget(budget) ? 0 : 3;
    }
    const auto document = zol::parser::ReadOptionsText(*text);
    if (document.truncated) return Fail(file, "the options text breaks off inside an element");
    if (document.root.FindChild("QUERY") == nullptr) {
        return Fail(file, "no QUERY element: this is not a request configuration");
    }
    for (const auto& finding : findings) {
        zol::tools::WriteLine(stderr, zol::tools::FindingLine(finding));
    }
    if (budget_line) zol::tools::WriteLine(stderr, *budget_line);
    for (const auto& line : timeout_lines) zol::tools::WriteLine(stderr, line);
    zol::kmp::TDataSourceCfg config;
    config.lblParams_Caption = std::move(*text);
    zol::kmp::StandaloneLoadHost host(catalogue);

    if (!dry_run_text) {
        zol::parser::TBasicRequestList requests;
        zol::kmp::LoadRequests(&host, &config, requests, nullptr);
        zol::common::SharedSection lock(requests.Lock());
        Json list = Json::array();
        for (std::int32_t i = 0; i < requests.CountLocked(); ++i) {
            list.push_back(RequestJson(static_cast<const TRequestItem&>(*requests.Item(i))));
        }
        const Json listing = {{"passiveCount", static_cast<int>(host.PassiveRequestCount())},
                              {"requests", std::move(list)}};
        std::printf("%s\n",
                    zol::tools::JsonText(listing, zol::tools::JsonLayout::kRowsOnLines).c_str());
        return 0;
    }

    DryRun run(zol::scheduler::JoinMs(*from), std::move(silent),
               arguments.wire ? line_settings : std::nullopt);
    zol::kmp::LoadRequests(&host, &config, run.Queue().Requests, &run.Queue());
    run.Run(*seconds);
    return 0;
}

zol::kmptool::CommandRunner DefineRequests(CLI::App& command) {
    auto given = std::make_shared<RequestsArguments>();
    command.add_option("FILE", given->file, "the options text (XML); - reads standard input")
        ->type_name("")
        ->required();
    command.add_option("--catalogue", given->catalogue, zol::kmptool::kCatalogueHelp)
        ->type_name("heat|electricity");
    command.add_flag("--check", given->check,
                     "print only the configuration check's findings (exit 0: none, 3: some)");
    command
        .add_option("--dry-run", given->dry_run,
                    "run the requests on a simulated clock and print each send")
        ->type_name("SECONDS");
    command.add_option("--from", given->from, "local start time of the dry run")
        ->type_name("YYYY-MM-DDTHH:MM:SS");
    command.add_option("--silent", given->silent, "addresses that never answer in the dry run")
        ->type_name("ADDR,...");
    command.add_flag("--wire", given->wire,
                     "dry run on the wire: each answer takes its exchange's wire time; each send "
                     "says how late it went out and how long it keeps the line");
    command.add_option("--baud", given->baud, "line speed of --check's budget and --wire (1200)")
        ->type_name("N");
    command.add_option("--line", given->line, "data bits, parity and stop bits (8N2)")
        ->type_name("8N2");
    command.add_option("--latency", given->latency, "the meters' reply latency (50)")
        ->type_name("MS");
    command.add_option("--port", given->port, "the port the line budget names (line)")
        ->type_name("NAME");
    return [given] { return RunRequests(*given); };
}

}  // namespace

static zol::kmptool::CommandRegistrar reg{
    {"requests", "show what a request configuration reads and when, or check it", &DefineRequests}};
