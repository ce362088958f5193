#include "metersim/meter_line.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace zol::metersim {

namespace {

// The demo meter of one kind, moved to `address`, keeping its own serial number.
SimMeter DemoMeterOfKind(bool electricity, std::uint8_t address) {
    SimMeter meter = DemoMeters()[electricity ? 1 : 0];
    meter.address = address;
    return meter;
}

std::optional<std::uint16_t> ParseTypeWord(std::string_view text) {
    if (text.size() != 4) return std::nullopt;
    std::uint16_t value = 0;
    for (char c : text) {
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                 : -1;
        if (digit < 0) return std::nullopt;
        value = static_cast<std::uint16_t>(value * 16 + digit);
    }
    return value;
}

// How the meter talks on its line, when given at all.
struct WireItems {
    std::optional<std::uint32_t> baud;
    std::optional<std::uint32_t> latency_ms;
};

// "baud=N" or "latency=MS" into `items`; false (with `error` set when the item is one of them
// but its value is bad or given before) when `item` is neither.
bool ReadWireItem(std::string_view item, WireItems& items, std::string& error) {
    const bool baud = item.starts_with("baud=");
    if (!baud && !item.starts_with("latency=")) return false;
    auto& slot = baud ? items.baud : items.latency_ms;
    const std::string_view text = item.substr(baud ? 5 : 8);
    const auto value = baud ? ParseMeterSpeed(text) : ParseLatency(text);
    if (!value) {
        error = std::string(baud ? "bad speed '" : "bad latency '") + std::string(item) + "' (" +
                (baud ? kMeterSpeedsText : kLatencyText) + ")";
    } else if (slot) {
        error = std::string(baud ? "baud" : "latency") + " given twice";
    } else {
        slot = *value;
    }
    return true;
}

// Sets what `items` name on `wire`: a meter given a speed and no latency answers with the
// latency of a typical meter.
void ApplyWireItems(const WireItems& items, SimWire& wire) {
    if (items.baud) wire.baud = *items.baud;
    if (items.latency_ms) {
        wire.latency_ms = *items.latency_ms;
    } else if (items.baud) {
        wire.latency_ms = kDefaultLatencyMs;
    }
}

// The options after a meter's address, separated by "/": its kind, type word and serial number
// are the meter's own; "pace=N" its pace; everything else goes to ApplyFaultList.
bool ApplyMeterOptions(std::string_view options, SimMeter& meter, WireItems& wire,
                       std::string& error) {
    const std::string_view all = options;
    std::string faults;
    bool any = false;
    std::optional<std::uint16_t> type;
    std::optional<std::uint32_t> serial;
    for (bool more = true; more;) {
        const auto next = options.find('/');
        const std::string_view one = options.substr(0, next);
        more = next != std::string_view::npos;
        options = more ? options.substr(next + 1) : std::string_view{};
        if (one.empty()) continue;
        any = true;
        // Faults are separated by "/" here because "," separates the meters.
        if (ReadWireItem(one, wire, error)) {
            if (!error.empty()) return false;
        } else if (one.starts_with("pace=")) {
            const auto pace = ParseDecimal(one.substr(5), 100000);
            if (!pace || *pace == 0) {
                error = "bad pace '" + std::string(one) + "' (1 to 100000)";
                return false;
            }
            meter.pace = *pace;
        } else if (one == "heat" || one == "electricity") {
            const std::uint32_t pace = meter.pace;
            meter = DemoMeterOfKind(one == "electricity", meter.address);
            meter.pace = pace;
        } else if (one.starts_with("type=")) {
            type = ParseTypeWord(one.substr(5));
            if (!type) {
                error = "bad type '" + std::string(one) + "' (four hexadecimal digits)";
                return false;
            }
        } else if (one.starts_with("serial=")) {
            serial = ParseDecimal(one.substr(7), 999999999);
            if (!serial) {
                error = "bad serial number '" + std::string(one) + "'";
                return false;
            }
        } else {
            faults += (faults.empty() ? "" : ",") + std::string(one);
        }
    }
    if (!any || !ApplyFaultList(faults, meter.faults)) {
        error = "bad fault list '" + std::string(all) + "'";
        return false;
    }
    if (type) meter.type = *type;
    if (serial) meter.serial = *serial;
    return true;
}

// splitmix64: the same numbers for the same seed on every platform, unlike the standard
// library's distributions.
class LineDraws {
   public:
    explicit LineDraws(std::uint32_t seed) : state_(0x6D657465726C696Eull ^ seed) {}
    // A number in [0, n); n > 0.
    std::uint32_t Below(std::uint32_t n) {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<std::uint32_t>((z ^ (z >> 31)) % n);
    }

   private:
    std::uint64_t state_;
};

}  // namespace

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

std::optional<std::uint32_t> ParseMeterSpeed(std::string_view text) {
    static constexpr std::uint32_t kSpeeds[] = {300,  600,   1200,  2400,  4800,
                                                9600, 19200, 38400, 57600, 115200};
    const auto value = ParseDecimal(text, 115200);
    if (!value || std::find(std::begin(kSpeeds), std::end(kSpeeds), *value) == std::end(kSpeeds)) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint32_t> ParseLatency(std::string_view text) {
    return ParseDecimal(text, 60000);
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
    WireItems line_wire;
    std::vector<WireItems> own_wire;  // what each meter names of its own
    error.clear();
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        if (ReadWireItem(item, line_wire, error)) {
            if (!error.empty()) return std::nullopt;
            continue;
        }
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
        WireItems wire;
        if (slash != std::string_view::npos &&
            !ApplyMeterOptions(item.substr(slash + 1), meter, wire, error)) {
            return std::nullopt;
        }
        own_wire.push_back(wire);
        meters.push_back(std::move(meter));
    }
    if (meters.empty()) {
        error = "no simulated meter given";
        return std::nullopt;
    }
    // The line's speed and latency hold for every meter that does not name its own.
    for (std::size_t i = 0; i < meters.size(); ++i) {
        const WireItems& own = own_wire[i];
        ApplyWireItems({own.baud ? own.baud : line_wire.baud,
                        own.latency_ms ? own.latency_ms : line_wire.latency_ms},
                       meters[i].wire);
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

namespace zol::metersim {

std::optional<MeterMix> ParseMeterMix(std::string_view text, std::string& error) {
    MeterMix mix;
    bool seen[3] = {false, false, false};
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        const auto colon = item.find(':');
        const std::string_view kind = item.substr(0, colon);
        const int which = kind == "heat" ? 0 : kind == "electricity" ? 1 : kind == "other" ? 2 : -1;
        const std::uint32_t count = colon == std::string_view::npos
                                        ? 255u
                                        : ParseDecimal(item.substr(colon + 1), 254).value_or(255u);
        if (which < 0 || count > 254) {
            error = "bad mix item '" + std::string(item) + "' (heat:N, electricity:N, other:N)";
            return std::nullopt;
        }
        if (seen[which]) {
            error = "meter kind '" + std::string(kind) + "' given twice";
            return std::nullopt;
        }
        seen[which] = true;
        (which == 0 ? mix.heat : which == 1 ? mix.electricity : mix.other) = count;
    }
    if (mix.Total() == 0 || mix.Total() > 254) {
        error = "a line holds 1 to 254 meters";
        return std::nullopt;
    }
    return mix;
}

std::vector<SimMeter> DrawMeterLine(const MeterMix& mix, std::uint32_t seed) {
    LineDraws draws(seed);
    // A partial shuffle of the 254 addresses gives distinct ones without retries.
    std::vector<std::uint8_t> addresses(254);
    for (std::size_t i = 0; i < addresses.size(); ++i)
        addresses[i] = static_cast<std::uint8_t>(i + 1);
    const std::uint32_t total = std::min<std::uint32_t>(mix.Total(), 254);
    std::vector<SimMeter> meters;
    std::vector<std::uint32_t> serials;
    for (std::uint32_t i = 0; i < total; ++i) {
        const std::uint32_t pick = i + draws.Below(254 - i);
        std::swap(addresses[i], addresses[pick]);
        const bool electricity = i >= mix.heat && i < mix.heat + mix.electricity;
        SimMeter meter = DemoMeterOfKind(electricity, addresses[i]);
        if (i >= mix.heat + mix.electricity) meter.type = kOtherMeterType;
        // Eight digits, as meters print them; drawn again on the rare repeat.
        do {
            meter.serial = 10000000u + draws.Below(90000000u);
        } while (std::find(serials.begin(), serials.end(), meter.serial) != serials.end());
        serials.push_back(meter.serial);
        meters.push_back(std::move(meter));
    }
    std::sort(meters.begin(), meters.end(),
              [](const SimMeter& a, const SimMeter& b) { return a.address < b.address; });
    return meters;
}

std::string MeterLineText(const std::vector<SimMeter>& meters) {
    std::string text;
    for (const SimMeter& meter : meters) {
        const SimMeter by_address = SimulatedMeterAt(meter.address);
        const bool electricity = meter.life == SimLife::kElectricity;
        const bool other_kind = electricity != (by_address.life == SimLife::kElectricity);
        const SimMeter plain =
            other_kind ? DemoMeterOfKind(electricity, meter.address) : by_address;
        text += (text.empty() ? "" : ",") + std::to_string(meter.address);
        if (other_kind) text += electricity ? "/electricity" : "/heat";
        if (meter.type != plain.type) {
            char type[16];
            std::snprintf(type, sizeof type, "/type=%04X", meter.type);
            text += type;
        }
        if (meter.serial != plain.serial) text += "/serial=" + std::to_string(meter.serial);
    }
    return text;
}

}  // namespace zol::metersim
