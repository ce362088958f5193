#pragma once
// The meters of one simulated line, as a text names them: "ADDR[/FAULT...],..." (hostsim's
// `sim:` ports, metersim's --line). Address 64 is the demo electricity meter, any other address
// a heat meter with the demo heat table and a serial number of its own.

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

// Reads "ADDR[/FAULT...],...": meters separated by ",", each with its faults (the names of
// ApplyFaultList) separated by "/"; "pace=N" among them lets the meter live N times faster.
// Nothing, with `error` set, for an address outside 1 to 254, an address given twice, an unknown
// or empty fault list, a pace outside 1 to 100000, or no meter at all.
std::optional<std::vector<SimMeter>> ParseMeterLine(std::string_view text, std::string& error);

// A time base for the programs serving meters on the real clock: the clock reading `origin_ms`
// is the machine's local date-time now. (The simulator itself never reads the wall clock.)
SimTimeBase LocalTimeBase(std::uint64_t origin_ms, std::uint32_t seed);

}  // namespace zol::metersim
