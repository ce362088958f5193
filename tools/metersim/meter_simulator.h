#pragma once
// A KMP slave for one or more meters on one line: it reads the master's request frames and
// answers type, serial-number and register requests from each meter's table. Faults are injected
// per meter: a corrupt checksum, no reply, a late reply, a reply split across deliveries, noise
// or stray acknowledge bytes ahead of the reply, and the misbehaviours that identify a meter
// but never let it be read (damaged or missing register replies, or the serial-number reply
// given for every register request), a serial number of 0, a meter answering another meter's
// address, and one that sends each identification reply a second time, late, into the next
// exchange on the line. Time is whatever clock the caller passes
// in, so tests run on a fake clock and the pseudo-terminal server on the real one. A meter may be
// paced at a line speed (SimWire): its reply then takes the wire's time, byte by byte.
//
// Living meters change with that time: a heat meter's energy, volume and mass count up at the
// rate of its power and flow, which swing slowly about the table's values; its temperatures move
// within a few kelvin of theirs; an electricity meter counts energy with the power of its three
// phases, whose currents follow that power while the voltages move a little. Every meter's clock
// and date registers tell the simulator's local date-time with an offset of the meter's own. How
// each meter moves is derived from the simulator's seed and the meter's address, so a seed and
// the clock readings passed in decide every answer.

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace zol::metersim {

struct SimRegister {
    std::uint16_t id = 0;
    std::uint8_t unit = 0;            // KMP unit code
    std::uint8_t sign_exponent = 0;   // 0x80 negative, 0x40 negative exponent, low 6 bits exponent
    std::vector<std::uint8_t> value;  // mantissa, high byte first

    // A register whose mantissa is `mantissa` written in `length` bytes.
    static SimRegister Make(std::uint16_t id, std::uint8_t unit, std::uint8_t sign_exponent,
                            std::uint64_t mantissa, std::size_t length = 4);
};

struct SimFaults {
    bool corrupt_checksum = false;    // the reply's checksum is off by one
    std::uint32_t corrupt_every = 0;  // every Nth reply's checksum is off by one (0: none)
    bool no_reply = false;            // the meter stays silent
    std::uint32_t delay_ms = 0;       // the reply is delivered this late
    std::size_t split_size = 0;       // deliver the reply in pieces of this many bytes (0: whole)
    std::vector<std::uint8_t> noise;  // bytes delivered ahead of each reply
    // Identification is answered as usual, but every register reply's checksum is off by one.
    bool garbled_registers = false;
    bool serial_zero = false;   // the serial-number reply reads 0
    bool no_registers = false;  // identification is answered, register requests never are
    // Identification is answered as usual, but every register request gets the serial-number
    // reply (as a meter whose firmware mixes up its command codes).
    bool serial_for_registers = false;
    // Each identification reply (type or serial number) goes out a second time: the copy waits
    // for the line's next request and follows it this many milliseconds after it came in, so it
    // reaches the master inside that next exchange. Nothing: no copies.
    std::optional<std::uint32_t> late_copy_ms;
    // Requests to these addresses are answered too, as if they were the meter's own; the reply
    // carries the meter's own address, so the master hears the wrong meter. A meter really at
    // such an address answers first.
    std::vector<std::uint8_t> answers_for;
};

// How a meter talks on its line: the speed and character format it is set to, and its reply
// latency, the time from a request's last byte to the start of its reply. At speed 0 the meter
// is not paced: the reply goes out whole, at once after the latency, and whatever speed the
// master talks is heard. At a speed, the reply goes out a byte per character time, and a master
// whose line is set to another speed or format hears noise instead of the reply, as on a wire.
struct SimWire {
    std::uint32_t baud = 0;
    std::uint8_t data_bits = 8;
    char parity = 'N';  // N, E or O
    std::uint8_t stop_bits = 2;
    std::uint32_t latency_ms = 0;

    // Milliseconds one character takes: start bit, data bits, parity bit, stop bits over the
    // speed; 0 when not paced.
    double CharacterMs() const noexcept;
    // The same speed and character format (the latency is the meter's own business).
    bool SameFraming(const SimWire& other) const noexcept {
        return baud == other.baud && data_bits == other.data_bits && parity == other.parity &&
               stop_bits == other.stop_bits;
    }
};
// The latency a paced meter answers with unless told otherwise.
inline constexpr std::uint32_t kDefaultLatencyMs = 50;

// How a meter's registers change with time. A fixed meter answers its table as it stands; a
// living one answers the table's counters plus what it has counted since the simulator's start,
// and gauges moving about the table's values.
enum class SimLife : std::uint8_t { kFixed, kHeat, kElectricity };

struct SimMeter {
    std::uint8_t address = 0;
    std::uint16_t type = 0;
    std::uint16_t revision = 0;
    std::uint32_t serial = 0;
    std::vector<SimRegister> registers;
    SimFaults faults;
    SimLife life = SimLife::kFixed;
    // A living meter counts and moves this many times faster than the clock, so a short demo
    // shows what hours would; its clock and date registers still keep the simulator's time.
    std::uint32_t pace = 1;
    SimWire wire{};

    const SimRegister* FindRegister(std::uint16_t id) const noexcept;
};

// What the simulator did with one request it answers: the reply as the meter built it (before a
// damaged checksum), and how it went on the line. Silent meters report too, with no reply.
struct SimReply {
    std::uint8_t address = 0;          // the meter that handled the request
    std::uint8_t request_address = 0;  // the request's address (another one for an impostor)
    std::uint8_t cid = 0;
    std::vector<std::uint8_t> body;  // address, CID, data, checksum; empty when silent
    bool silent = false;
    bool corrupt = false;
    std::uint64_t received_ms = 0;  // when the request's last byte came in
    // When the reply goes out (all its pieces at once; a paced meter's first byte has arrived).
    std::uint64_t due_ms = 0;
    std::size_t pieces = 0;  // the deliveries it is queued as, behind all earlier ones
    bool noise = false;      // a paced meter heard by a master set to another speed or format
    // A late second copy of an earlier identification reply (SimFaults::late_copy_ms): `cid`
    // and `request_address` are the original request's, `received_ms` is when the request that
    // let the copy go came in.
    bool copy = false;
};

// Seconds since 1970-01-01 00:00 of a local date-time, counted as if every day had 86400 s (no
// time zone): what the clock and date registers are computed from.
std::int64_t CivilSeconds(int year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                          unsigned second) noexcept;

// The simulator's time and how its meters behave. At the caller's clock reading `origin_ms` the
// meters' local date-time is `start_local_s` (CivilSeconds); before it, time stands at the start.
struct SimTimeBase {
    std::uint64_t origin_ms = 0;
    std::int64_t start_local_s = CivilSeconds(2026, 12, 7, 14, 30, 15);
    std::uint32_t seed = 1;
};

// How far a meter's clock is off the simulator's local time, in seconds (-90 to +90), for `seed`
// and the meter's address.
std::int32_t ClockOffsetSeconds(std::uint32_t seed, std::uint8_t address) noexcept;

// `meter` as it reads `elapsed_ms` after the start of `base`: its registers with the values a
// living meter has then, each kept within its byte length. A fixed meter comes back as it is.
SimMeter MeterAt(const SimMeter& meter, const SimTimeBase& base, std::uint64_t elapsed_ms);
// The same into `at`, reusing the room `at` already holds, so a simulator answering many
// requests does not copy a meter's registers into new memory for each reply.
void MeterAtInto(const SimMeter& meter, const SimTimeBase& base, std::uint64_t elapsed_ms,
                 SimMeter& at);

class MeterSimulator {
   public:
    // Called for every request a meter answers or stays silent to, as it is handled.
    std::function<void(const SimReply&)> OnReply;

    // Adds a meter, or replaces the one with the same address.
    void AddMeter(SimMeter meter);
    SimMeter* FindMeter(std::uint8_t address) noexcept;
    const std::vector<SimMeter>& Meters() const noexcept { return meters_; }

    // Sets the simulator's time base and seed (by default: clock reading 0 is 2026-12-07
    // 14:30:15, seed 1).
    void SetTimeBase(const SimTimeBase& base) noexcept { base_ = base; }
    const SimTimeBase& TimeBase() const noexcept { return base_; }

    // Bytes written by the master at `now_ms`. Each complete request frame for a known meter is
    // answered; frames with a bad checksum, for unknown addresses or with unknown CIDs are not.
    // On a paced line (Paced()) the bytes reach the meters one character time after another, no
    // earlier than they were written, at the master's speed when known, else the meters'.
    void Receive(std::span<const std::uint8_t> bytes, std::uint64_t now_ms);

    // The speed and format the master's side of the line is set to, where the transport can
    // tell (a pseudo-terminal, an in-process line); nothing when it cannot (raw TCP), and then
    // every meter is taken to be heard at its own speed.
    void SetMasterLine(std::optional<SimWire> line) noexcept { master_ = line; }
    // Some meter on the line talks at a speed of its own.
    bool Paced() const noexcept;

    // The oldest delivery due by `now_ms`, or nothing. A split reply is several deliveries.
    std::optional<std::vector<std::uint8_t>> TakeDelivery(std::uint64_t now_ms);
    // When the oldest pending delivery becomes due.
    std::optional<std::uint64_t> NextDue() const noexcept;

    std::size_t RequestsAnswered() const noexcept { return answered_; }
    std::size_t RequestsRejected() const noexcept { return rejected_; }

    // The body a meter answers a request body with (address, CID, data, checksum), before any
    // fault; nothing when the meter does not answer it.
    static std::optional<std::vector<std::uint8_t>> Answer(const SimMeter& meter,
                                                           std::span<const std::uint8_t> request);

   private:
    struct Delivery {
        std::uint64_t due_ms;
        std::vector<std::uint8_t> bytes;
    };

    // A copy of an identification reply waiting for the line's next request.
    struct HeldCopy {
        std::vector<std::uint8_t> wire;
        std::size_t piece = 0;
        std::uint32_t delay_ms = 0;
        double character_ms = 0;
        SimReply record;
    };

    void HandleRequest(std::span<const std::uint8_t> body, std::uint64_t now_ms);
    // Queues every held copy `delay_ms` after `now_ms`, ahead of the reply to the request that
    // came in then.
    void ReleaseCopies(std::uint64_t now_ms);
    // Queues `wire` in pieces of `piece` bytes due at `due_ms`, or, with a character time, a
    // byte at a time as a paced line carries it. Returns when the first delivery is due.
    std::uint64_t Queue(const std::vector<std::uint8_t>& wire, std::size_t piece,
                        std::uint64_t due_ms, double character_ms);
    // `meter`'s reply (or silence) to `body`, which may be addressed to another meter.
    void Reply(const SimMeter& meter, std::span<const std::uint8_t> body, std::uint64_t now_ms);

    // The time a received byte takes on the line; 0 when the line is not paced.
    double ReceiveCharacterMs() const noexcept;
    void Take(std::span<const std::uint8_t> bytes, std::uint64_t now_ms);

    std::vector<SimMeter> meters_;
    SimTimeBase base_;
    std::optional<SimWire> master_;
    // On a paced line: when the last byte received has fully arrived, and when the line is free
    // of the replies queued so far (fractional milliseconds, so character times add up exactly).
    double receive_until_ms_ = 0;
    double send_until_ms_ = 0;
    // The latest clock reading passed in: an earlier one later on reads as this one, so no
    // counter goes backwards.
    std::uint64_t latest_ms_ = 0;
    std::vector<std::uint8_t> input_;  // request bytes since the last complete frame
    std::deque<Delivery> deliveries_;
    std::vector<HeldCopy> held_copies_;
    SimMeter living_;  // a living meter as it reads for the reply being built
    std::array<std::uint32_t, 256> replies_{};  // replies sent, by meter address
    std::size_t answered_ = 0;
    std::size_t rejected_ = 0;
};

// Applies a comma-separated fault list to `faults`: corrupt, corrupt=N (every Nth reply), silent,
// noise, delay=MS, split=N, garbled-registers, serial0, no-registers, answers=ADDR (1 to 254;
// repeated for several addresses), serial-for-registers, late-duplicate-ident[=MS] (the copy
// MS after the next request, default kLateCopyMs).
// False (with `faults` partly set) when an item is unknown or its number is missing.
bool ApplyFaultList(std::string_view list, SimFaults& faults);
inline constexpr std::uint32_t kLateCopyMs = 20;

// Two living meters with a value for every register of their catalogue: a heat meter at address
// 63 and an electricity meter at address 64 (an address that is sent escaped).
std::vector<SimMeter> DemoMeters();
inline constexpr std::uint8_t kDemoHeatAddress = 63;
inline constexpr std::uint8_t kDemoElectricityAddress = 64;

}  // namespace zol::metersim
