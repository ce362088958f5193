#pragma once
// Simulated meters in-process, on a virtual clock: a scan of a whole line takes no real time, yet
// the clock runs as a wire at the line's speed would make it run (each byte 11 bit times, the
// KMP format 8N2), so what the tools estimate and report about time holds for a real line.
// Meters with a speed of their own (metersim::SimWire) are paced by the simulator itself: their
// bytes come a character time apart, and as noise when the line is set to another speed.

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "kmptool/transport.h"
#include "metersim/meter_simulator.h"

namespace zol::kmptool {

class SimulatedMeterLine : public Transport {
   public:
    // `baud` 0 puts no time on the wire (and hears every meter, whatever its speed). With `echo`
    // the line repeats every request byte before any reply, as a two-wire bus whose adapter hears
    // itself does.
    explicit SimulatedMeterLine(metersim::MeterSimulator sim, std::uint32_t baud = 1200,
                                bool echo = false);

    bool Write(std::span<const std::uint8_t> bytes) override;
    std::vector<std::uint8_t> Read(std::uint32_t timeout_ms) override;
    std::uint64_t NowMs() override { return now_ms_; }

   private:
    std::uint64_t WireMs(std::size_t bytes) const noexcept;

    metersim::MeterSimulator sim_;
    std::uint32_t baud_;
    bool echo_;
    std::vector<std::uint8_t> echoed_;
    std::uint64_t now_ms_ = 0;
};

}  // namespace zol::kmptool
