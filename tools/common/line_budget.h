#pragma once
// The line budget of a request configuration: how much of a serial line's time the requests of
// one port ask for, against the time there is. Every port of the plug-in runs the whole
// configuration, so the budget is the same for each port on the same line settings.
//
// Polling requests count by their interval, cron and at-time requests by the densest hour of
// their runs taken together; each meter is read once per run of its request, already identified
// (the identification steps come once per meter, not per run). Requests sent once, on an event or
// not enabled for sending are not counted. The wire time of each exchange is that of
// common/wire_time.h.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/wire_time.h"
#include "kmp/kmp_registers.h"

namespace zol::tools {

struct LineBudgetSettings {
    LineFraming line;
    double latency_ms = kDefaultLatencyMs;
};

// What one configured request (all its meters) costs in the budget's window.
struct RequestLineCost {
    std::string name;
    std::size_t meters = 0;
    double ms = 0;
};

// A request whose response timeout ends before its exchange can have ended on the wire: every
// reading of it times out, however well the meter answers.
struct ShortTimeout {
    std::string name;
    std::int32_t timeout_ms = 0;
    double exchange_ms = 0;  // the dearest of its meters' exchanges
};

struct LineBudget {
    // The stretch the budget is told over: the shortest polling interval, else an hour.
    double window_ms = 0;
    // Wire time the requests ask for in one window, on average.
    double need_ms = 0;
    // need_ms / window_ms; 1 is a line that never rests.
    double share = 0;
    // Requests by what they cost, dearest first; those that cost nothing are left out.
    std::vector<RequestLineCost> requests;
    // Requests (sent ones, whatever their method) whose timeout the wire cannot meet, in the
    // order of the configuration.
    std::vector<ShortTimeout> short_timeouts;
};

// Shares above these are noted, and above the second warned about.
inline constexpr double kBudgetNoteShare = 0.8;
inline constexpr double kBudgetWarningShare = 1.0;

LineBudget ComputeLineBudget(std::string_view options_text, kmp::KmpCatalogue catalogue,
                             const LineBudgetSettings& settings);

// "warning: PORT: ..." above a full line, "note: PORT: ..." above four fifths of it, nothing
// below. Without a line end.
std::optional<std::string> LineBudgetLine(std::string_view port, const LineBudget& budget);

// "warning: PORT: NAME waits 300 ms for an answer that takes 994 ms on the wire at 1200 8N2:
// ...", one per request whose timeout is too short; without line ends.
std::vector<std::string> ShortTimeoutLines(std::string_view port, const LineBudget& budget,
                                           const LineFraming& line);

// True when the budget is over the line's time (the line would fall behind) or a request's
// timeout is shorter than its exchange.
inline bool LineOverBudget(const LineBudget& budget) noexcept {
    return budget.share > kBudgetWarningShare || !budget.short_timeouts.empty();
}

}  // namespace zol::tools
