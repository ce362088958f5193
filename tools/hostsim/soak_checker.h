#pragma once
// The soak's judge: it compares the ledger of every reply the simulated meters sent with the
// packets the host received, and judges the lines' reading rates and the misfits' attempts. It
// knows nothing of Windows or of the plug-in, and keeps only what is not yet settled, so its own
// bookkeeping stays flat however long the run lasts (docs/soak.md).

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "hostsim/soak_rates.h"
#include "metersim/meter_simulator.h"

namespace zol::hostsim {

// The soak's timing, shared by its run and its judge.
namespace soak {
inline constexpr std::uint64_t kTimeoutMs = 300;
// A reply counts as in time when it is out within half the timeout; late ones are sent at twice
// the timeout, so none falls near the edge.
inline constexpr std::uint64_t kInTimeMs = kTimeoutMs / 2;
inline constexpr std::uint32_t kLateMs = 2 * kTimeoutMs;
// The counter register: every meter's value goes up by one with every request written to its
// line, beside the energy the living meter counts, so each reply is told apart from every other
// by it.
inline constexpr std::uint16_t kCounterRegister = 0x003C;
// Replies due this close to the end of the run, or to a port being closed, are not required.
inline constexpr std::uint64_t kEndGraceMs = 2000;
inline constexpr std::uint64_t kCloseGraceMs = 300;
// The plug-in may try a misbehaving meter MaxRetries times a trigger and must then go on with its
// neighbours.
inline constexpr std::uint32_t kMaxRetries = 3;
// An attempt is a type, a serial-number and a register request at most.
inline constexpr std::uint32_t kMostRequestsPerTrigger = 3 * kMaxRetries;
// The good meters' reading rate must stay above this share of what their line allowed.
inline constexpr double kLeastRate = 0.9;
inline constexpr std::uint32_t kPollMs = 400, kCronMs = 3000;
// The plug-in's queue looks for due requests this often (its default tick, shorter than the
// poll interval here).
inline constexpr std::uint32_t kTickMs = 50;
inline constexpr std::uint64_t kRateFromMs = 2000;  // the start of the run is not judged
inline constexpr std::uint64_t kRefusedPauseMs =
    10000;                                   // the plug-in's longest pause after a refusal
inline constexpr double kLeastAllowed = 10;  // fewer readings allowed than this: not judged
}  // namespace soak

// A simulated meter of a soak line as the judge knows it.
struct SoakMeter {
    std::uint8_t address = 0;
    // What its packets must name it by: its serial number (0 when its serial-number reply reads
    // 0: its packets then carry no SERIAL_NO) and its type word.
    std::uint32_t serial = 0;
    std::uint16_t type = 0;
    bool judged = false;        // its reading rate is judged (a good meter)
    std::uint32_t cron_ms = 0;  // read by a cron request of this period as well (judged meters)
    bool watched = false;       // its attempts per trigger are counted (a misfit)
    std::string fault;          // the misfit's fault list, for the report
};

// One reply (or silence) of a simulated meter, with the values it carried.
struct LedgerEntry {
    metersim::SimReply reply;
    std::optional<std::uint32_t> counter;
    std::vector<double> values;  // the register values in the reply's order
    int packets = 0;             // packets found carrying this reply
    std::uint64_t seq = 0;       // the line's count of replies before this one
    // When the plug-in had handled the chunk with its last byte; nothing while under way, or
    // when a closed port dropped it. What decides "in time" is this, not when the meter meant to
    // send it: a machine slowed down by other work hands the plug-in late what the meter sent
    // in time, and the plug-in rightly treats it as late.
    std::optional<std::uint64_t> delivered_ms;
    std::vector<std::vector<double>> unchecked;  // packet values awaiting that time
};

// The ledger entry of `reply`: its register values and counter when it is a register reply.
LedgerEntry MakeEntry(const metersim::SimReply& reply);

// A packet as the soak checks it: where it came from, what it names its meter by and the
// register values it carried.
struct SeenPacket {
    int port = 0;
    std::uint8_t address = 0;  // DEVICE_ID
    std::optional<std::uint32_t> counter;
    std::vector<double> values;
    std::optional<std::uint32_t> serial_no;  // SERIAL_NO, when it carries one
    std::optional<std::string> device_type;  // DEVICE_TYPE, when it carries one
};

// Checks the ledger against the packets as the run goes, and forgets what is settled: the
// soak's own bookkeeping must stay flat, or it would hide the plug-in's memory behind its own.
// `lines` holds the meters of each line (port 0, 1, ...).
class SoakChecker {
   public:
    SoakChecker(std::uint64_t start, std::uint64_t end, std::vector<std::vector<SoakMeter>> lines);

    // New ledger entries of a line, in the order the meters handled the requests.
    void AddEntries(int port, std::vector<LedgerEntry> entries);

    // A reply's last byte reached the host.
    void AddDelivered(int port, std::uint64_t seq, std::uint64_t when);

    void AddPacket(const SeenPacket& seen);

    void CheckValues(int port, const LedgerEntry& entry, const std::vector<double>& values);

    // The line's replies around `entry`, for a violation's report: when the meter had the
    // request, which meter and command, how many registers, when the plug-in was through.
    std::string History(int port, const LedgerEntry& entry) const;

    void AddTimeoutLine(std::uint64_t when, std::string text);
    void PortClosed(int port, std::uint64_t when);
    // The port opened at `opened`; the plug-in was through with being told at `when`.
    void PortOpened(int port, std::uint64_t opened, std::uint64_t when);
    // Writes refused from `from` to `to`, the last one at `last`. The plug-in pauses the port
    // after a refused write: 1 s, or 10 s once the request had used its attempts.
    void Refusing(int port, std::uint64_t from, std::optional<std::uint64_t> to,
                  std::uint64_t last = 0);
    // A meter that cannot answer in time (silent or late) from `from` to `to`.
    void MeterUnable(int port, std::uint8_t address, std::uint64_t from,
                     std::optional<std::uint64_t> to);
    // Settings reloaded (or the data sources announced again): the lines may stand still until
    // the plug-in has its requests again.
    void Reloaded(std::uint64_t when);
    // The host hung from `from` to `to` (a write waited in vain for its main thread): `text`
    // says how. A violation; the lines' reading rates are not judged over that time.
    void HostHung(std::uint64_t from, std::uint64_t to, const std::string& text);
    void SpellStarted(int port, std::uint8_t address, std::uint64_t when);
    // Whether the meter was asked during its open silent spell (as far as the ledger has come).
    bool SpellAsked(int port, std::uint8_t address) const;
    void SpellEnded(int port, std::uint8_t address, std::uint64_t when);

    // Judges what is old enough to be final and forgets it; everything when `final`.
    void Settle(std::uint64_t now, bool final);

    std::uint64_t replies = 0, damaged = 0, late = 0, silent_requests = 0;
    std::uint64_t packets = 0, packets_in_time = 0, packets_from_late = 0;
    std::uint64_t strays = 0, packets_from_strays = 0;
    std::uint64_t required = 0, excused = 0, timeouts_logged = 0;
    std::uint64_t spells_checked = 0, spells_not_asked = 0, spells_not_asked_after = 0;
    std::uint64_t spells_answered_across = 0;
    std::uint64_t rates_judged = 0;
    // Packets whose DEVICE_ID, SERIAL_NO and DEVICE_TYPE were checked against the meter whose
    // registers they carry, and those that named another meter.
    std::uint64_t identities_checked = 0, identities_wrong = 0;
    // Late copies of identification replies sent, and replies that answered another command
    // than the one asked (a serial number for registers).
    std::uint64_t late_copies = 0, other_answers = 0;
    std::uint64_t host_hangs = 0;
    std::vector<std::string> violations;  // the first ones

    // Once everything is settled: every good meter's reading rate against what its line
    // allowed, and the misfits' attempts per trigger. One line of figures per port.
    std::vector<std::string> JudgeRates();
    std::uint64_t violation_count = 0;

    void Violation(std::string text);

   private:
    static constexpr std::uint64_t kOpen = ~std::uint64_t{0};
    struct Window {
        std::uint64_t from = 0, to = 0;
    };
    // Packets follow their replies within milliseconds; a reply is judged this long after it
    // went out, and what it could be confused with is kept a while longer.
    static constexpr std::uint64_t kSettleMs = 5000;
    static constexpr std::uint64_t kForgetMs = 30000;

    struct Line {
        std::deque<LedgerEntry> entries;
        std::map<std::pair<std::uint8_t, std::uint32_t>, LedgerEntry*> by_counter;
        std::map<std::uint64_t, LedgerEntry*> by_seq;
        std::deque<std::uint64_t> late_due;  // when late replies reached the host
        // When answers to another meter's requests reached the host, and whose they were.
        std::deque<std::pair<std::uint8_t, std::uint64_t>> strays;
        std::vector<Window> closed;
    };
    struct Spell {
        int port;
        std::uint8_t address;
        std::uint64_t from, to;
        bool polled;
        bool answered_across;                  // see AddDelivered
        std::optional<std::uint8_t> next_cid;  // the meter's first request after the spell
    };

    // A late reply of the same line reaching the plug-in just before or during this exchange may
    // be taken for its answer: KMP frames carry no sequence number.
    // So may a meter's answer to another meter's request, for its own exchange.
    static bool Crossed(const Line& line, const LedgerEntry& entry);

    // The request of `entry` on its line's timeline, for the reading-rate check. An answer
    // given to another meter's request belongs to that request, already on the timeline.
    void AddToTimeline(int port, const LedgerEntry& entry);

    void Judge(int port, const LedgerEntry& entry);

    void JudgeSpell(const Spell& spell);

    const SoakMeter* FindMeter(int port, std::uint8_t address) const;
    // Another meter's reply of the line whose register values `seen` carries, if one is kept.
    const LedgerEntry* OwnerOfValues(const Line& line, const SeenPacket& seen) const;
    // Checks that SERIAL_NO and DEVICE_TYPE of `seen` name the meter at `address` of its line.
    void CheckIdentity(const SeenPacket& seen, std::uint8_t address, const std::string& which);

    std::uint64_t start_, end_;
    std::vector<std::vector<SoakMeter>> meters_;
    std::vector<Line> lines_;
    std::vector<LineRates> rates_;
    std::vector<Spell> spells_;
    std::deque<std::pair<std::uint64_t, std::string>> timeouts_;
};

}  // namespace zol::hostsim
