#include "metersim/meter_line.h"

#include <algorithm>
#include <ctime>

namespace zol::metersim {

std::optional<std::uint32_t> ParseDecimal(std::string_view text, std::uint32_t max) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (value > max) return std::nullopt;
    return value;
}

SimMeter SimulatedMeterAt(std::uint8_t address) {
    auto demo = DemoMeters();
    const auto pick = address == kDemoElectricityAddress ? 1 : 0;
    SimMeter meter = demo[static_cast<std::size_t>(pick)];
    if (meter.address != address) {
        meter.address = address;
        meter.serial = 67100000u + address;  // one serial number per simulated heat meter
    }
    return meter;
}

std::optional<std::vector<SimMeter>> ParseMeterLine(std::string_view text, std::string& error) {
    std::vector<SimMeter> meters;
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        const auto slash = item.find('/');
        // KMP addresses are one byte; 0 and 255 are not meter addresses.
        const auto address = ParseDecimal(item.substr(0, slash), 254);
        if (!address || *address == 0) {
            error = "bad meter address '" + std::string(item.substr(0, slash)) + "'";
            return std::nullopt;
        }
        const bool taken = std::any_of(meters.begin(), meters.end(), [&](const auto& meter) {
            return meter.address == *address;
        });
        if (taken) {
            error = "meter address " + std::to_string(*address) + " given twice";
            return std::nullopt;
        }
        SimMeter meter = SimulatedMeterAt(static_cast<std::uint8_t>(*address));
        if (slash != std::string_view::npos) {
            // Faults are separated by "/" here because "," separates the meters; "pace=N" among
            // them is the meter's pace, not a fault.
            std::string faults;
            bool paced = false;
            std::string_view rest = item.substr(slash + 1);
            for (bool more = true; more;) {
                const auto next = rest.find('/');
                const std::string_view one = rest.substr(0, next);
                more = next != std::string_view::npos;
                rest = more ? rest.substr(next + 1) : std::string_view{};
                if (one.rfind("pace=", 0) == 0) {
                    const auto pace = ParseDecimal(one.substr(5), 100000);
                    if (!pace || *pace == 0) {
                        error = "bad pace '" + std::string(one) + "' (1 to 100000)";
                        return std::nullopt;
                    }
                    meter.pace = *pace;
                    paced = true;
                } else {
                    faults += (faults.empty() ? "" : ",") + std::string(one);
                }
            }
            if ((!paced && faults.empty()) || !ApplyFaultList(faults, meter.faults)) {
                error = "bad fault list '" + std::string(item.substr(slash + 1)) + "'";
                return std::nullopt;
            }
        }
        meters.push_back(std::move(meter));
    }
    if (meters.empty()) {
        error = "no simulated meter given";
        return std::nullopt;
    }
    return meters;
}

SimTimeBase LocalTimeBase(std::uint64_t origin_ms, std::uint32_t seed) {
    SimTimeBase base;
    base.origin_ms = origin_ms;
    base.seed = seed;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    const bool known = localtime_s(&local, &now) == 0;
#else
    const bool known = localtime_r(&now, &local) != nullptr;
#endif
    if (known) {
        base.start_local_s = CivilSeconds(
            local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
            static_cast<unsigned>(local.tm_mday), static_cast<unsigned>(local.tm_hour),
            static_cast<unsigned>(local.tm_min), static_cast<unsigned>(std::min(local.tm_sec, 59)));
    }
    return base;
}

}  // namespace zol::metersim
