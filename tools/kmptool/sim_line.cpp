#include "kmptool/sim_line.h"

#include <algorithm>
#include <utility>

namespace zol::kmptool {

SimulatedMeterLine::SimulatedMeterLine(metersim::MeterSimulator sim, std::uint32_t baud, bool echo)
    : sim_(std::move(sim)), baud_(baud), echo_(echo) {
    // The line is set to `baud` 8N2: meters set to another speed are heard as noise.
    if (baud_ > 0) sim_.SetMasterLine(metersim::SimWire{.baud = baud_});
}

std::uint64_t SimulatedMeterLine::WireMs(std::size_t bytes) const noexcept {
    if (baud_ == 0) return 0;
    // Start bit, eight data bits, two stop bits.
    return (static_cast<std::uint64_t>(bytes) * 11 * 1000 + baud_ - 1) / baud_;
}

bool SimulatedMeterLine::Write(std::span<const std::uint8_t> bytes) {
    // Paced meters hear the bytes one character time apart from when they were written.
    const std::uint64_t written_ms = now_ms_;
    now_ms_ += WireMs(bytes.size());
    if (echo_) echoed_.insert(echoed_.end(), bytes.begin(), bytes.end());
    sim_.Receive(bytes, sim_.Paced() ? written_ms : now_ms_);
    return true;
}

std::vector<std::uint8_t> SimulatedMeterLine::Read(std::uint32_t timeout_ms) {
    if (!echoed_.empty()) return std::exchange(echoed_, {});
    const auto due = sim_.NextDue();
    if (due && *due <= now_ms_ + timeout_ms) {
        now_ms_ = std::max(now_ms_, *due);
        auto bytes = sim_.TakeDelivery(now_ms_).value_or(std::vector<std::uint8_t>{});
        // A paced meter's byte is due when it has arrived; an unpaced reply arrives whole when
        // due, and its bytes then take their time on this line's wire.
        if (!sim_.Paced()) now_ms_ += WireMs(bytes.size());
        return bytes;
    }
    now_ms_ += timeout_ms;
    return {};
}

}  // namespace zol::kmptool
