#pragma once
// The soak's reading-rate check for one line: whether each good meter was read as often as its
// line allowed while its neighbours misbehaved, and how many attempts the plug-in spent on one
// trigger of a misbehaving meter. It knows nothing of Windows or of the plug-in: it is fed the
// line's requests in the order the meters had them, each with how its exchange went, and the
// times the line could not be used. Time is in milliseconds of any one clock.
//
// The line's time is cut into the exchanges of its requests (from a request to the next one, or
// to the end of its exchange and a slack after, whichever comes first) and the idle time between
// them. Time a good meter had to wait for is left out of its usable time: its own failed
// exchanges (an identification too, unless its attempt ended in a reading), windows blocked for
// the line or for the meter (port closed, writes refused and the pause after them, settings
// reloaded, the meter silent or late), and, once the meter was due (its poll interval after its
// last attempt began), the exchanges of other meters that rightly went first: a trigger already
// under way when it fell due, and one trigger of each request that reads another meter after
// that (the queue serves every due request once before it comes round again; a cron request that
// fired again meanwhile may go again), each within the plug-in's attempts for one trigger.
// Everything else is usable: idle time, its own exchanges towards a reading, other meters'
// exchanges before it was due, beyond their attempts, or beyond their turn. The line allows one
// poll reading per poll interval and tick of usable time, plus one per cron period for meters
// read by cron as well.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <optional>
#include <vector>

namespace zol::hostsim {

struct RateSettings {
    std::uint64_t span_from = 0, span_to = 0;  // the part of the run that is judged
    std::uint32_t poll_ms = 400;               // the poll interval of every meter
    std::uint32_t tick_ms = 50;                // the queue looks for due requests this often
    std::uint32_t slack_ms = 100;    // an exchange's end to the next request on a busy line
    std::uint32_t max_retries = 3;   // attempts for one trigger
    std::uint32_t timeout_ms = 300;  // the requests' response timeout
};

// One request on the line, as its meter had it.
struct LineRequest {
    std::uint64_t received_ms = 0;
    std::uint8_t to = 0;  // the address it was for
    std::uint8_t cid = 0;
    std::uint64_t end_ms = 0;  // the answer handled, or the request's timeout
    // It moved its meter towards a reading: an identification answered intact and in time, or
    // a register request answered in time whose answer became a packet.
    bool productive = false;
    bool reading = false;  // its answer became a packet, in time or late
};

class LineRates {
   public:
    static constexpr std::uint64_t kOpen = std::numeric_limits<std::uint64_t>::max();

    explicit LineRates(const RateSettings& settings) : settings_(settings) {}

    // A meter whose reading rate is judged; `cron_ms` > 0 when it is read by cron as well.
    void Judge(std::uint8_t address, std::uint32_t cron_ms = 0);
    // How many requests read the meter (default 1), and the period of its cron request if one
    // of them is one: the triggers of it a due neighbour may have to wait for.
    void Requests(std::uint8_t address, std::uint32_t count, std::uint32_t cron_ms = 0);
    // A meter whose attempts per trigger are counted.
    void Watch(std::uint8_t address);

    // A window the line (no meter given) or one meter could not be used; `to` may be kOpen
    // until EndBlock closes the window that began at `from`.
    void Block(std::optional<std::uint8_t> meter, std::uint64_t from, std::uint64_t to = kOpen);
    void EndBlock(std::optional<std::uint8_t> meter, std::uint64_t from, std::uint64_t to);
    // The plug-in started afresh at `when` (settings reloaded, port opened again): attempts are
    // counted anew; with `gap`, the line is blocked from then until its next request.
    void Restart(std::uint64_t when, bool gap);
    // The plug-in holds the line from `from` until its next request, at most until `until` (its
    // pause after writes were refused).
    void Hold(std::uint64_t from, std::uint64_t until);

    // The next request of the line: requests come in the order the meters had them.
    void Add(const LineRequest& request);
    // The run is over: the last exchange and the idle time after it are counted.
    void Finish();

    struct MeterRate {
        std::uint8_t address = 0;
        std::uint64_t readings = 0;
        double usable_ms = 0;
        double allowed = 0;  // readings the line allowed in the usable time
        // The most usable time that went by without a reading, and when it ended.
        double longest_wait_ms = 0;
        std::uint64_t longest_wait_end = 0;
    };
    std::vector<MeterRate> Rates() const;

    struct MeterAttempts {
        std::uint8_t address = 0;
        std::uint32_t triggers = 0;       // runs of requests seen
        std::uint32_t most_attempts = 0;  // in one trigger
        std::uint32_t most_requests = 0;  // in one trigger
        std::uint64_t worst_at = 0;       // when the trigger with the most attempts began
    };
    std::vector<MeterAttempts> Attempts() const;

   private:
    struct Window {
        std::uint64_t from, to;
    };
    struct Run {
        std::uint8_t to = 0;
        std::uint32_t attempts = 0, requests = 0;
        std::uint64_t began = 0;
        std::uint64_t last = 0;              // its latest request
        bool identifying = false;            // an identification is under way
        bool over = true;                    // a reading ended it, or the plug-in started afresh
        std::vector<std::uint8_t> ahead_of;  // judged meters it rightly goes before
    };
    struct Pending {
        LineRequest request;
        bool excess = false;  // beyond the attempts of its trigger
        std::vector<std::uint8_t> ahead_of;
    };
    struct Account {
        std::uint32_t cron_ms = 0;
        std::uint64_t readings = 0;
        double usable_ms = 0;
        double waited_ms = 0;       // usable time since its last reading
        double provisional_ms = 0;  // its identification so far, usable if a reading follows
        double longest_wait_ms = 0;
        std::uint64_t longest_wait_end = 0;
        std::optional<std::uint64_t> due;  // when its poll falls due; nothing: at once
        // Triggers of each other meter that began after it fell due.
        std::map<std::uint8_t, std::uint32_t> served;
    };

    void Count(std::uint64_t from, std::uint64_t to, const Pending* busy);
    void Credit(Account& account, std::uint8_t meter, std::uint64_t from, std::uint64_t to);
    double Usable(std::uint8_t meter, std::uint64_t from, std::uint64_t to) const;
    bool Blocked(std::uint8_t meter, std::uint64_t when) const;
    void EndRun();
    void StartRun(const LineRequest& request);

    RateSettings settings_;
    std::map<std::uint8_t, Account> judged_;
    std::map<std::uint8_t, MeterAttempts> watched_;
    struct MeterRequests {
        std::uint32_t count = 1, cron_ms = 0;
    };
    std::map<std::uint8_t, MeterRequests> requests_per_meter_;
    std::vector<Window> line_blocks_;
    std::map<std::uint8_t, std::vector<Window>> meter_blocks_;
    struct Held {
        std::uint64_t from, until;
        bool restart;
    };
    std::deque<Held> holds_;  // in the order they began
    std::optional<Pending> pending_;
    std::uint64_t counted_to_ = 0;  // the line's time is counted up to here
    Run run_;
};

// A least-squares line through samples (x, y) fitted as they come, in constant memory: a run of
// any length keeps no list of its samples.
class TrendFit {
   public:
    void Add(double x, double y);
    std::size_t Count() const { return count_; }
    // The fitted line's slope (y per unit of x); 0 with fewer than two distinct x.
    double Slope() const { return spread_x_ > 0 ? co_spread_ / spread_x_ : 0; }
    // The distance from the first sample's x to the last one's.
    double Span() const { return count_ > 0 ? last_x_ - first_x_ : 0; }

   private:
    std::size_t count_ = 0;
    double first_x_ = 0, last_x_ = 0;
    double mean_x_ = 0, mean_y_ = 0;
    double spread_x_ = 0;   // sum of (x - mean x)^2
    double co_spread_ = 0;  // sum of (x - mean x)(y - mean y)
};

// The steepest private-memory slope (KiB per hour) a run may show after warm-up, measured over
// `span_hours`. From an hour on, the target itself: 2 KiB/h. The commit charge moves in whole
// pages or more, and one step at the wrong moment of a short span fits a slope of about 1.5
// steps over the span, so a short run cannot see 2 KiB/h; it is held to a fitted rise of
// kShortRunRiseKiB over its span instead, which still catches a leak of a few bytes per packet
// within minutes.
constexpr double kMemorySlopeLimitKiBPerHour = 2;
constexpr double kShortRunRiseKiB = 256;
double MemorySlopeLimit(double span_hours);

}  // namespace zol::hostsim
