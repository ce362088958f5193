#pragma once
// What a commissioning report is made of: the packets of a run as `hostsim run --json` writes
// them, the plug-in's log lines, and per port what the host counted. A run fills it as it goes;
// `hostsim report` reads it back from the saved JSON lines and stderr log. Portable: it needs
// nothing of Windows, so it is tested natively.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hostsim/line_use.h"
#include "hostsim/meter_verdict.h"

namespace zol::hostsim {

// An item value as the JSON lines carry it.
struct ReportValue {
    enum class Kind { kNull, kNumber, kBoolean, kText };
    Kind kind = Kind::kNull;
    double number = 0;  // kNumber, and kBoolean as 0 or 1
    std::string text;   // kText: as written, e.g. a date-time "YYYY-MM-DDTHH:MM:SS.mmm"
};

struct ReportPacket {
    std::string time;  // "YYYY-MM-DDTHH:MM:SS.mmm", local
    std::string port;
    std::int32_t source = 0;
    std::vector<std::pair<std::string, ReportValue>> items;
    const ReportValue* Find(std::string_view name) const;
};

struct ReportLogLine {
    std::string time;  // empty when the saved log carried none
    int severity = 0;  // 0 error, 1 warning, higher notes
    std::string text;
};

// Counts the host made per port; writes are known only to a live run.
struct ReportPortCounts {
    std::string port;
    std::string connection;
    std::optional<std::uint32_t> writes;
    std::uint32_t refused_writes = 0;
};

// A request of the configuration and one address it reads ("passive" for listened-to meters).
struct ConfiguredRequest {
    std::string address;
    std::string name;
};
// The requests an options text configures, one entry per address; nothing for unreadable text.
std::vector<ConfiguredRequest> ConfiguredRequests(std::string_view options_text);

struct RunRecord {
    std::string start;  // time of the first record, or when the run started
    std::string end;
    std::string config_file;  // empty: the built-in demo configuration
    std::vector<ReportPortCounts> ports;
    std::vector<ConfiguredRequest> requests;
    std::vector<std::uint8_t> active;  // the addresses the configuration polls (ActiveAddresses)
    std::vector<ReportPacket> packets;
    std::vector<ReportLogLine> log;
    // What a live run saw of each meter; empty for a rebuilt report, whose page works the
    // tallies out from the packets and the log (without the requests written).
    std::vector<MeterTally> meters;
    // When the run was cut short (Ctrl-C); nothing when it ran its course. The time may be empty
    // when the saved log carried none.
    std::optional<std::string> interrupted;
    // How the plug-in's timeout and checksum lines begin (a live run knows its language; a
    // rebuilt report reads English).
    LogMarkers markers;
    // How full each port's line was and how fast it was turned round (the run's last JSON
    // lines); empty for a run that did not measure it.
    std::vector<LineUseFigures> line_use;
};

// Whether a packet item is a meter register: not one of the frame's standard items, not the
// meter's identity and not a "<name>_UNIT" text.
bool IsRegisterItem(std::string_view name);

// What a log line tells about the run's health.
enum class FaultKind { kNone, kTimeout, kChecksumError, kRefusedWrite, kPortClosed };
struct LogFault {
    FaultKind kind = FaultKind::kNone;
    std::string port;  // empty when the line does not say (the plug-in's lines do not)
};
// The plug-in's lines are told by `markers` (its own language, and English).
LogFault ClassifyLogLine(std::string_view text, const LogMarkers& markers = {});

// One line of `--json` output; nothing when it is not such an object.
std::optional<ReportPacket> ParsePacketJson(std::string_view line);
// One stderr line of a run: "[TIME ]log[N]: text", or hostsim's own "hostsim: port NAME ..."
// lines about closed ports and refused writes and its "hostsim: interrupted ..." line (kept at
// severity 0, without "hostsim: "). Nothing for other lines.
std::optional<ReportLogLine> ParseRunLogLine(std::string_view line);

// Milliseconds of "YYYY-MM-DDTHH:MM:SS[.mmm]" counted from 1970-01-01 (the calendar only, no
// zone); nothing when the text is not such a time.
std::optional<std::int64_t> TimeMs(std::string_view text);

// The beginning of the line a run writes when it is cut short: "interrupted after ...".
inline constexpr std::string_view kInterruptedText = "interrupted";

// Reads saved JSON lines and (optionally) the saved stderr log into a record; the line-use lines
// among the JSON go to `line_use`. Lines that do not parse are counted in `skipped` and left
// out. Ports are listed in the order they first appear; an "interrupted" line of the log marks
// the record as cut short at its time.
RunRecord ReadRunRecord(std::string_view json_lines, std::string_view log_text,
                        std::size_t& skipped);

}  // namespace zol::hostsim
