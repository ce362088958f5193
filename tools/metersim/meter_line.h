#pragma once
// The meters of one simulated line, as a text names them: "ADDR[/FAULT...],..." (hostsim's
// `sim:` ports, metersim's --line). Address 64 is the demo electricity meter, any other address
// a heat meter with the demo heat table and a serial number of its own, unless the meter's
// options say otherwise. A line can also be drawn at random from a seed (metersim --meters), to
// try commissioning tools on a line of many meters whose addresses nobody knows beforehand.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "metersim/meter_simulator.h"

namespace zol::metersim {

// The meter simulated at `address`: the demo electricity meter at its address, the demo heat
// meter (with a serial number of its own) at any other.
// A decimal number of at most nine digits, not above `max`; nothing for anything else.
std::optional<std::uint32_t> ParseDecimal(std::string_view text, std::uint32_t max);

SimMeter SimulatedMeterAt(std::uint8_t address);

// A meter's speed: one of the usual steps (those a pseudo-terminal reports, too). A reply
// latency: 0 to 60000 ms. Nothing for anything else.
std::optional<std::uint32_t> ParseMeterSpeed(std::string_view text);
std::optional<std::uint32_t> ParseLatency(std::string_view text);
inline constexpr const char* kMeterSpeedsText =
    "300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200";
inline constexpr const char* kLatencyText = "0 to 60000 ms";

// Reads "ADDR[/OPTION...],...": meters separated by ",", each with its options separated by "/":
// the faults of ApplyFaultList, "pace=N" (the meter lives N times faster), "heat" or
// "electricity" (the demo table and type of that kind), "type=HHHH" (the type word, four hex
// digits), "serial=N", and "baud=N" and "latency=MS" (how the meter talks, SimWire: paced at
// that speed, 8N2, answering MS after a request; kDefaultLatencyMs when paced and no latency
// is given). "baud=N" and "latency=MS" may also stand among the meters as items of their own:
// each holds for every meter of the line that does not give it itself. Nothing, with `error` set,
// for an address outside 1 to 254, an address given twice, an unknown or empty option list, a pace
// outside 1 to 100000, a speed not among 300 to 115200 (the usual steps), a latency above 60000 ms,
// a line item given twice, or no meter at all.
std::optional<std::vector<SimMeter>> ParseMeterLine(std::string_view text, std::string& error);

// How many meters of each kind a drawn line holds. "Other" meters carry the heat table under a
// type word that no catalogue rule knows (kOtherMeterType).
struct MeterMix {
    std::uint32_t heat = 0;
    std::uint32_t electricity = 0;
    std::uint32_t other = 0;
    std::uint32_t Total() const noexcept { return heat + electricity + other; }
};
inline constexpr std::uint16_t kOtherMeterType = 0x7F01;

// Reads "heat:8,electricity:4" (kinds heat, electricity, other; each at most once). Nothing, with
// `error` set, for an unknown kind, a kind given twice, a count that is not a number, or more
// than 254 meters in all.
std::optional<MeterMix> ParseMeterMix(std::string_view text, std::string& error);

// The meters of `mix` at distinct addresses 1 to 254 and with distinct serial numbers, drawn from
// `seed` (the same seed, the same line), in address order. Living meters, as the demo's.
std::vector<SimMeter> DrawMeterLine(const MeterMix& mix, std::uint32_t seed);

// The text ParseMeterLine reads back as `meters`: address, kind, type word and serial number
// where they differ from what the address alone gives. Faults and paces are not written.
std::string MeterLineText(const std::vector<SimMeter>& meters);

// A time base for the programs serving meters on the real clock: the clock reading `origin_ms`
// is the machine's local date-time now. (The simulator itself never reads the wall clock.)
SimTimeBase LocalTimeBase(std::uint64_t origin_ms, std::uint32_t seed);

}  // namespace zol::metersim
