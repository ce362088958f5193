#pragma once
// How full a port's line was during a run, and how fast the plug-in turned it round: what the
// host sees of a line (the writes the plug-in asks for and the chunks it hands to ProcessData)
// made into the busy share and the turnaround figures of `hostsim run`'s summary, JSON and
// report. Portable: it needs nothing of Windows, so it is tested natively.
//
// The turnaround of a reply is the time from its last chunk handed to the plug-in to the
// plug-in's next write on the port, counted only when that write's request was already due when
// the reply ended: the same request bytes last went out at least one poll interval of their
// meter before the reply's end. A write the plug-in made because its poll timer ran out (the
// line was idle, nothing was waiting) is not a turnaround; nor is a write after a reply that
// never came (a timeout), nor the first write of a request (its schedule is not known yet).
//
// The line is busy while bytes cross it, in either direction, at the line's character time:
// written bytes from the moment of the write, received ones up to the moment their chunk came.
// A line that is not paced (a simulated meter answering at once) has its bytes counted at the
// same character time: the share is then what those bytes would need on such a line, and may
// pass 100%.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zol::hostsim {

// What a byte costs on the line: the line speed and the bits a character takes (start bit, data
// bits, parity, stop bits; 8N2 is 11).
struct LineTiming {
    std::uint32_t baud = 1200;
    std::uint32_t bits_per_byte = 11;
    std::string framing = "8N2";
    bool paced = true;  // the bytes really take that long (a serial line, a paced simulation)
    double ByteMs() const { return baud == 0 ? 0 : 1000.0 * bits_per_byte / baud; }
};

// The timing of a port of `hostsim run`: COM, RFC 2217 and device-server ports run at `baud`;
// a `sim:` line is paced when its text sets a baud rate (`baud=N`), and counted at `baud`
// otherwise.
LineTiming PortLineTiming(std::string_view connection, std::uint32_t baud);

// The poll interval (ms) of each address the enabled polling requests of an options text read:
// the shortest one of the requests that read it.
std::map<std::uint8_t, std::uint32_t> PollIntervals(std::string_view options_text);

// The upper bounds (ms) of the turnaround distribution's bins; the last bin holds the rest.
inline constexpr double kTurnaroundBinsMs[] = {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000};
inline constexpr std::size_t kTurnaroundBins = std::size(kTurnaroundBinsMs) + 1;

// What a port's line did over a run.
struct LineUseFigures {
    std::string port;
    std::int32_t source = 0;
    LineTiming timing;
    double run_ms = 0;
    std::uint64_t bytes_written = 0;
    std::uint64_t bytes_received = 0;
    double busy_ms = 0;     // the bytes' time on the line
    double busy_share = 0;  // busy_ms of run_ms
    // Turnarounds counted, and their median, 99th percentile (nearest rank) and maximum in ms;
    // zero when none was counted.
    std::uint32_t turnarounds = 0;
    double median_ms = 0, p99_ms = 0, max_ms = 0;
    std::vector<std::uint32_t> turnaround_bins;  // kTurnaroundBins counts
    // The busy share of each stretch of `interval_s` seconds from the run's start (the last one
    // may be shorter and is shared by what it held).
    double interval_s = 1;
    std::vector<double> busy_over_time;
};

// One port's line as a run goes: fed from the threads that write and read the port, under the
// caller's lock. Times are ms from the run's start, never decreasing.
class LineUse {
   public:
    LineUse(LineTiming timing, std::map<std::uint8_t, std::uint32_t> poll_intervals);
    // A write the plug-in asked for, at `at_ms`, of a request frame (its address is the byte
    // after the start byte).
    void Written(double at_ms, std::span<const std::uint8_t> bytes);
    // A chunk of `count` bytes handed to the plug-in at `at_ms`.
    void Received(double at_ms, std::size_t count);
    // The figures of a run that has lasted `run_ms`, with at most `max_points` stretches over
    // time.
    LineUseFigures Figures(double run_ms, std::size_t max_points = 120) const;

   private:
    void AddBusy(double from_ms, double to_ms);

    LineTiming timing_;
    std::map<std::uint8_t, std::uint32_t> poll_intervals_;
    std::map<std::vector<std::uint8_t>, double> last_sent_;  // request bytes: time of last write
    std::optional<double> last_write_ms_;
    std::optional<double> last_received_ms_;
    std::uint64_t bytes_written_ = 0, bytes_received_ = 0;
    std::vector<float> turnarounds_ms_;
    std::vector<double> busy_per_second_;  // ms of line time in each second of the run
};

// "line P1: busy 87.3% of 60.0 s (1200 baud 8N2); turnaround median 1.2 ms, 99th percentile
// 3.4 ms, max 5.0 ms (58 replies)", with what the share counts on a line that is not paced.
std::string LineUseLine(const LineUseFigures& figures);
// {"line_use": {...}}: one JSON line per port at the end of `--json` (no line end).
std::string LineUseJson(const LineUseFigures& figures);
// Such a line read back; nothing for any other line.
std::optional<LineUseFigures> ParseLineUseJson(std::string_view line);

}  // namespace zol::hostsim
