#include "kmptool/discover_config.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "kmp/kmp_frame.h"

namespace zol::kmptool {

namespace {

// The registers a site reads from every meter of a kind: energy, volume, temperatures, power,
// then the meter's date and time (docs/discovery.md). The electricity catalogue has no volume,
// temperature, date or time rows of an electricity meter's own.
constexpr std::uint16_t kHeatDefault[] = {
    0x003C,  // E1 heat energy
    0x0044,  // V1 volume
    0x0056,  // T1 flow temperature
    0x0057,  // T2 return flow temperature
    0x0050,  // power
    0x03EB,  // DATE
    0x03EA,  // CLOCK
};
constexpr std::uint16_t kElectricityDefault[] = {
    0x0001,  // energy in
    0x0002,  // energy out
    0x03FF,  // power in
    0x0438,  // power p1
    0x0439,  // power p2
    0x043A,  // power p3
};

std::string Caption(const FoundMeter& meter) {
    return meter.serial ? std::to_string(*meter.serial) : "meter " + std::to_string(meter.address);
}

}  // namespace

std::optional<PollInterval> ParsePollInterval(std::string_view text) {
    std::uint32_t value = 0;
    const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (problem != std::errc{} || end == text.data() || value == 0 || value > 100000) {
        return std::nullopt;
    }
    std::string units(end, text.data() + text.size());
    for (char& c : units) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    if (units != "MS" && units != "S" && units != "M" && units != "H") return std::nullopt;
    return PollInterval{value, units};
}

std::vector<std::uint16_t> RegistersToRead(kmp::KmpCatalogue catalogue, RegisterChoice choice) {
    const bool heat = catalogue == kmp::KmpCatalogue::kHeat;
    if (choice == RegisterChoice::kDefault) {
        return heat ? std::vector<std::uint16_t>(std::begin(kHeatDefault), std::end(kHeatDefault))
                    : std::vector<std::uint16_t>(std::begin(kElectricityDefault),
                                                 std::end(kElectricityDefault));
    }
    // Every row but the first ("Custom", register 0), each id once.
    std::vector<std::uint16_t> ids;
    for (const auto& row : kmp::Catalogue(catalogue)) {
        if (row.Id == kmp::kKmpCatalogueEnd) break;
        const auto id = static_cast<std::uint16_t>(row.Id);
        if (id != 0 && std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    }
    return ids;
}

std::string WriteOptionsText(const std::vector<FoundMeter>& meters, const ConfigOptions& options) {
    std::string out = "<?xml version=\"1.0\"?>\n<QUERY>\n";
    if (!options.incomplete.empty()) out += "  <!-- INCOMPLETE: " + options.incomplete + " -->\n";
    for (const FoundMeter& meter : meters) {
        const auto failure = TestReadFailure(meter.test_read);
        if (!failure.empty()) {
            char note[160];
            std::snprintf(note, sizeof note,
                          "  <!-- meter %u: the test read of register %04X failed (%.*s): its "
                          "requests may deliver nothing -->\n",
                          meter.address, meter.test_register, static_cast<int>(failure.size()),
                          failure.data());
            out += note;
        }
        const auto ids = RegistersToRead(meter.catalogue.catalogue, options.registers);
        const std::size_t parts =
            (ids.size() + kmp::kMaxRequestRegisters - 1) / kmp::kMaxRequestRegisters;
        for (std::size_t part = 0; part < parts; ++part) {
            std::string caption = Caption(meter);
            if (parts > 1) {
                caption += " (" + std::to_string(part + 1) + "/" + std::to_string(parts) + ")";
            }
            const std::size_t first = part * kmp::kMaxRequestRegisters;
            const std::size_t last = std::min(ids.size(), first + kmp::kMaxRequestRegisters);
            const std::uint32_t answer_ms = std::max(options.timeout_ms, 2 * meter.late_ms);
            const auto wire =
                tools::RegisterReadWireTime(options.line, meter.address,
                                            std::span(ids).subspan(first, last - first), answer_ms);
            const auto timeout_ms = static_cast<std::uint32_t>(std::ceil(wire.total_ms));
            char note[200];
            std::snprintf(note, sizeof note,
                          "  <!-- Timeout %u ms: %zu bytes out and %zu back take %.0f ms at %s, "
                          "and %u ms are allowed for the meter to answer -->\n",
                          timeout_ms, wire.request_bytes, wire.reply_bytes,
                          std::ceil(wire.request_ms + wire.reply_ms),
                          tools::LineFramingText(options.line).c_str(), answer_ms);
            out += note;
            out += "  <Request caption=\"" + caption + "\">\n";
            out += "    <Enabled check=\"2\"/>\n";
            out += "    <Device>" + std::to_string(meter.address) + "</Device>\n";
            out += "    <Timeout>" + std::to_string(timeout_ms) + "</Timeout>\n";
            out += "    <RequestMethod><MethodPoll check=\"2\"><PollInterval>" +
                   std::to_string(options.poll.value) + "</PollInterval><PollUnits>" +
                   options.poll.units + "</PollUnits></MethodPoll></RequestMethod>\n";
            out += "    <Response>";
            for (std::size_t i = first; i < last; ++i) {
                char item[48];
                std::snprintf(item, sizeof item, "<Item><Register>%04X</Register></Item>", ids[i]);
                out += item;
            }
            out += "</Response>\n  </Request>\n";
        }
    }
    return out + "</QUERY>\n";
}

}  // namespace zol::kmptool
