#pragma once
// The soak's reading-rate check for one line: whether each good meter was read as often as its
// line allowed while its neighbours misbehaved, and how many attempts the plug-in spent on one
// trigger of a misbehaving meter. It knows nothing of Windows or of the plug-in: it is fed the
// line's requests in the order the meters had them, each with how its exchange went, and the
// times the line could not be used. Time is in milliseconds of any one clock.
//
// The line's time is cut into the exchanges of its requests (from a request to the next one, or
// to the end of its exchange and a tick after, whichever comes first) and the idle time between
// them. A good meter's usable time is the idle time, its own exchanges that brought it a reading
// (or an identification step towards one), and exchanges of other meters beyond the plug-in's
// attempts for one trigger; left out are the other meters' exchanges within those attempts, its
// own failed exchanges, and every window blocked for the line or for the meter (port closed,
// writes refused, settings reloaded, the meter silent or late). The line allows one poll reading
// per poll interval and tick of usable time, plus one per cron period for meters read by cron.

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
    std::uint32_t slack_ms = 100;   // an exchange's end to the next request on a busy line
    std::uint32_t max_retries = 3;  // attempts for one trigger
};

// One request on the line, as its meter had it.
struct LineRequest {
    std::uint64_t received_ms = 0;
    std::uint8_t to = 0;  // the address it was for
    std::uint8_t cid = 0;
    std::uint64_t end_ms = 0;  // the answer handled, or the request's timeout
    // It moved its meter towards a reading: an identification answered intact and in time, or
    // a register request whose answer became a packet (a reading).
    bool productive = false;
    bool reading = false;
};

class LineRates {
   public:
    static constexpr std::uint64_t kOpen = std::numeric_limits<std::uint64_t>::max();

    explicit LineRates(const RateSettings& settings) : settings_(settings) {}

    // A meter whose reading rate is judged; `cron_ms` > 0 when it is read by cron as well.
    void Judge(std::uint8_t address, std::uint32_t cron_ms = 0);
    // A meter whose attempts per trigger are counted.
    void Watch(std::uint8_t address);

    // A window the line (no meter given) or one meter could not be used; `to` may be kOpen
    // until EndBlock closes the window that began at `from`.
    void Block(std::optional<std::uint8_t> meter, std::uint64_t from, std::uint64_t to = kOpen);
    void EndBlock(std::optional<std::uint8_t> meter, std::uint64_t from, std::uint64_t to);
    // The plug-in started afresh at `when` (settings reloaded, port opened again): attempts are
    // counted anew; with `gap`, the line is blocked from then until its next request.
    void Restart(std::uint64_t when, bool gap);

    // The next request of the line: requests come in the order the meters had them.
    void Add(const LineRequest& request);
    // The run is over: the last exchange and the idle time after it are counted.
    void Finish();

    struct MeterRate {
        std::uint8_t address = 0;
        std::uint64_t readings = 0;
        double usable_ms = 0;
        double allowed = 0;  // readings the line allowed in the usable time
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
    struct Pending {
        LineRequest request;
        bool excess = false;  // beyond the attempts of its trigger
    };
    struct Run {
        std::uint8_t to = 0;
        std::uint32_t attempts = 0, requests = 0;
        std::uint64_t began = 0;
        bool identifying = false;  // an identification is under way
        bool over = true;          // a reading ended it, or the plug-in started afresh
    };
    struct Account {
        std::uint32_t cron_ms = 0;
        std::uint64_t readings = 0;
        double usable_ms = 0;
    };

    void Count(std::uint64_t from, std::uint64_t to, const Pending* busy);
    double Usable(std::uint8_t meter, std::uint64_t from, std::uint64_t to) const;
    bool Blocked(std::uint8_t meter, std::uint64_t when) const;
    void EndRun();

    RateSettings settings_;
    std::map<std::uint8_t, Account> judged_;
    std::map<std::uint8_t, MeterAttempts> watched_;
    std::vector<Window> line_blocks_;
    std::map<std::uint8_t, std::vector<Window>> meter_blocks_;
    std::deque<std::pair<std::uint64_t, bool>> restarts_;  // when, with a gap
    std::optional<Pending> pending_;
    std::uint64_t counted_to_ = 0;  // the line's time is counted up to here
    Run run_;
};

}  // namespace zol::hostsim
