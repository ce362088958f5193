#pragma once
// The verdict per meter of a run: for every port and address the configuration polls (and every
// other one a packet came from) what the host saw of it: the requests written to it, its packets,
// the timeouts and damaged replies the plug-in logged for it. Portable, so it is tested natively;
// the live run feeds it as things happen, the rebuilt report from the saved files.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zol::kmp {
class TRequestItem;
}

namespace zol::hostsim {

// The beginnings of the log lines that report a response timeout or a checksum error, as the
// plug-in writes them: in English, and in the language its own language file gives it (UTF-8,
// as the host's log lines are once they are read).
struct LogMarkers {
    std::vector<std::string> timeout = {"Request timeout"};
    std::vector<std::string> crc_error = {"Invalid CRC ("};
};

// Hands `visit` each enabled request of `options_text`, one per address, as the plug-in loads
// them.
void ForEachEnabledRequest(std::string_view options_text,
                           const std::function<void(const kmp::TRequestItem&)>& visit);

// The addresses the plug-in polls when it loads `options_text`: every address of every enabled
// request, as the plug-in reads them (a missing <Device> is address 1). Sorted, each once.
std::vector<std::uint8_t> ActiveAddresses(std::string_view options_text);
// The reply timeout (ms) of each of those addresses: the shortest of its enabled requests.
std::map<std::uint8_t, std::uint32_t> ReplyTimeouts(std::string_view options_text);

// The meter a plug-in log line names: the "[ADDRESS/NAME]" a request's lines begin with, or the
// " [ADDRESS,CID]" a checksum line ends with. Nothing for other lines.
std::optional<std::uint8_t> LoggedAddress(std::string_view text);

// The addresses of the request frames in bytes written to a port (each frame once).
std::vector<std::uint8_t> RequestAddresses(std::span<const std::uint8_t> written);

struct MeterTally {
    std::string port;  // empty: the log named the meter, but not which port it is on
    std::uint8_t address = 0;
    bool configured = false;  // an address of an enabled request
    // Request frames written to it; unknown when the report is rebuilt from saved files.
    std::optional<std::uint32_t> requests;
    std::uint32_t packets = 0;
    std::uint32_t empty_packets = 0;  // packets without any register value
    std::uint32_t timeouts = 0;
    std::uint32_t checksum_errors = 0;
    std::string serial;     // of its last packet ("" when it carried none)
    std::string last_time;  // of its last packet, "YYYY-MM-DDTHH:MM:SS.mmm"
};

enum class MeterState {
    kGood,        // packets, and nothing went wrong
    kFaults,      // packets, but also timeouts, damaged replies or empty packets
    kNoAnswer,    // asked (or logged as timing out), never a packet
    kNeverAsked,  // configured, but no request was written to it
    kNoPacket,    // no packet, and nothing known about requests (a report rebuilt without log)
};
MeterState StateOf(const MeterTally& tally);
// "good", "faults", "no answer", "never asked", "no packet".
const char* StateWord(MeterState state);

// "meter P1/63 serial 67012345: 14 packets, last 10:14:50, 2 timeouts, 1 checksum error",
// "meter P1/70: no answer to 9 requests", "meter P1/65: never asked" (no line end).
std::string VerdictLine(const MeterTally& tally);

// The line printed every few seconds while a run goes on (no line end).
std::string ProgressLine(std::uint64_t elapsed_ms, std::uint64_t total_ms, std::uint32_t packets,
                         std::size_t heard, std::size_t configured);

// Keeps the tallies of one run. Not thread-safe: the caller serialises the calls.
//
// The plug-in's log lines name the meter but not the port, and they reach the host a little
// after the fact: by then the plug-in may already have sent its next try. So a fault is matched
// with the requests still open for that address (written, and neither answered by a packet nor
// ended by a timeout): a timeout with the one written about a reply timeout before, on whatever
// port, which it ends together with the older ones of that port; a damaged reply with the
// oldest one still within its reply timeout. Failing that, the port last written to for the
// address; without writes (a rebuilt report), the only port it was heard on, or the only port of
// the run. Otherwise the port is left unknown.
class MeterLedger {
   public:
    MeterLedger() = default;
    // `reply_timeouts` per address (ReplyTimeouts); other addresses get the plug-in's default.
    MeterLedger(std::vector<std::string> ports, std::vector<std::uint8_t> active, bool writes_known,
                LogMarkers markers = {}, std::map<std::uint8_t, std::uint32_t> reply_timeouts = {});

    // Bytes written to port `port` (index into the ports given) at `now_ms` (any steady clock,
    // the one Logged is given).
    void Written(std::size_t port, std::span<const std::uint8_t> bytes, std::uint64_t now_ms);
    // A packet from `address` on port `port`; `empty` when it carried no register value.
    void Delivered(std::size_t port, std::uint8_t address, std::string serial, std::string time,
                   bool empty);
    // A plug-in log line that reached the host at `now_ms`: counted when it reports a timeout or
    // a checksum error for a meter.
    void Logged(std::string_view text, std::uint64_t now_ms = 0);

    // Every configured meter on every port, and every other port and address that delivered a
    // packet, by port and address; then the faults whose port is unknown (port "").
    std::vector<MeterTally> Tallies() const;
    // Configured meters (port and address) and those of them a packet came from.
    std::size_t Configured() const;
    std::size_t Heard() const;

   private:
    struct Entry {
        MeterTally tally;
        std::uint64_t last_write = 0;    // sequence number of the last request written, 0: none
        std::deque<std::uint64_t> open;  // when the requests still open were written
    };
    Entry& At(std::size_t port, std::uint8_t address);
    Entry* Blame(std::uint8_t address, bool timeout, std::uint64_t now_ms);
    std::uint32_t ReplyTimeout(std::uint8_t address) const;

    std::vector<std::string> ports_;
    std::vector<std::uint8_t> active_;
    bool writes_known_ = true;
    LogMarkers markers_;
    std::map<std::uint8_t, std::uint32_t> reply_timeouts_;
    std::map<std::pair<std::size_t, std::uint8_t>, Entry> entries_;
    std::map<std::uint8_t, MeterTally> unplaced_;  // faults whose port could not be told
    std::uint64_t writes_ = 0;
};

}  // namespace zol::hostsim
