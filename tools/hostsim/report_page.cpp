#include "hostsim/report_page.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>

#include "common/markup_text.h"
#include "kmp/kmp_registers.h"

namespace zol::hostsim {

namespace {

// Cards past this many start collapsed, so a run with a hundred meters still opens on its summary.
constexpr std::size_t kOpenCards = 6;
// More log lines than this are cut (the saved log keeps them all).
constexpr std::size_t kMaxLogLines = 2000;
constexpr std::size_t kMaxFaultRows = 500;

constexpr std::string_view kOleDayZero = "1899-12-30T";

// Chart geometry in SVG user units.
constexpr double kChartWidth = 520, kChartHeight = 170;
constexpr double kPlotLeft = 92, kPlotRight = 510, kPlotTop = 12, kPlotBottom = 136;

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

std::string Coordinate(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

// "HH:MM:SS" of a time in ms since 1970 (no zone).
std::string ClockText(std::int64_t ms) {
    const std::int64_t seconds_of_day = ((ms / 1000) % 86400 + 86400) % 86400;
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(seconds_of_day / 3600),
                  static_cast<int>(seconds_of_day / 60 % 60),
                  static_cast<int>(seconds_of_day % 60));
    return text;
}

std::string DurationText(std::int64_t ms) {
    const std::int64_t s = ms / 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%lldh %02lldm %02llds", static_cast<long long>(s / 3600),
                  static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
    return text;
}

std::string ValueText(const ReportValue& value) {
    switch (value.kind) {
        case ReportValue::Kind::kNull:
            return "";
        case ReportValue::Kind::kNumber:
            return Number(value.number);
        case ReportValue::Kind::kBoolean:
            return value.number != 0 ? "true" : "false";
        case ReportValue::Kind::kText:
            break;
    }
    // A clock register carries no date: its day is the OLE date's day zero.
    if (value.text.size() > kOleDayZero.size() && value.text.rfind(kOleDayZero, 0) == 0 &&
        TimeMs(value.text)) {
        return value.text.substr(kOleDayZero.size());
    }
    return value.text;
}

std::string ItemText(const ReportPacket& packet, std::string_view name) {
    const ReportValue* value = packet.Find(name);
    return value != nullptr ? ValueText(*value) : std::string();
}

struct Sample {
    std::int64_t ms;
    const ReportValue* value;
};

struct Register {
    std::string name;
    std::string unit;
    std::vector<Sample> samples;
    bool numeric = true;  // every reading a number: charted
    bool clock = true;    // every reading a date-time: tabled as clock readings
};

struct Meter {
    std::string port;
    std::string address;
    std::string serial, type;
    std::vector<std::string> requests;
    std::vector<Register> registers;
    std::size_t packets = 0;
    std::string last_time;
};

void AddUnique(std::vector<std::string>& list, std::string text) {
    if (!text.empty() && std::find(list.begin(), list.end(), text) == list.end()) {
        list.push_back(std::move(text));
    }
}

// Requests name their meters by address as the configuration writes it ("063" is 63).
std::string AddressKey(std::string_view text) {
    while (text.size() > 1 && (text.front() == '0' || text.front() == ' ')) text.remove_prefix(1);
    return std::string(text);
}

// A DEVICE_ID as the packets carry it, as an address.
std::optional<std::uint8_t> AddressNumber(std::string_view text) {
    const std::string key = AddressKey(text);
    if (key.empty() || key.size() > 3 || key.find_first_not_of("0123456789") != key.npos) {
        return std::nullopt;
    }
    const int number = std::stoi(key);
    if (number > 255) return std::nullopt;
    return static_cast<std::uint8_t>(number);
}

// A packet in which no register came with a value.
bool CarriesNoValue(const ReportPacket& packet) {
    for (const auto& [name, value] : packet.items) {
        if (IsRegisterItem(name) && value.kind != ReportValue::Kind::kNull) return false;
    }
    return true;
}

// The tallies of a rebuilt report: what the saved packets and log tell, without the requests
// written (the saved files do not hold them).
std::vector<MeterTally> TalliesOf(const RunRecord& record) {
    std::vector<std::string> ports;
    for (const auto& port : record.ports) ports.push_back(port.port);
    MeterLedger ledger(ports, record.active, false, record.markers);
    for (const auto& packet : record.packets) {
        const auto port = std::find(ports.begin(), ports.end(), packet.port);
        const auto address = AddressNumber(ItemText(packet, "DEVICE_ID"));
        if (port == ports.end() || !address) continue;
        ledger.Delivered(static_cast<std::size_t>(port - ports.begin()), *address,
                         ItemText(packet, "SERIAL_NO"), packet.time, CarriesNoValue(packet));
    }
    for (const auto& line : record.log) ledger.Logged(line.text);
    return ledger.Tallies();
}

const MeterTally* FindTally(const std::vector<MeterTally>& tallies, const std::string& port,
                            const std::string& address) {
    const auto number = AddressNumber(address);
    if (!number) return nullptr;
    for (const auto& tally : tallies) {
        if (tally.port == port && tally.address == *number) return &tally;
    }
    return nullptr;
}

// The verdict as a word, coloured by how bad it is.
std::string VerdictBadge(MeterState state) {
    const char* css = state == MeterState::kGood     ? "v-good"
                      : state == MeterState::kFaults ? "v-faults"
                                                     : "v-none";
    return std::string("<span class=\"verdict ") + css + "\">" + StateWord(state) + "</span>";
}

std::string CountCell(std::uint32_t count) {
    return std::string("<td class=\"num") + (count > 0 ? " bad" : "") + "\">" +
           std::to_string(count) + "</td>";
}

std::string RequestsCell(const MeterTally& tally) {
    return "<td class=\"num\">" +
           (tally.requests ? std::to_string(*tally.requests) : std::string("&ndash;")) + "</td>";
}

// One meter per port and DEVICE_ID, in the order of the ports, then by address.
std::vector<Meter> CollectMeters(const RunRecord& record) {
    std::vector<Meter> meters;
    for (const auto& packet : record.packets) {
        const auto ms = TimeMs(packet.time);
        if (!ms) continue;
        const std::string address = ItemText(packet, "DEVICE_ID");
        auto meter = std::find_if(meters.begin(), meters.end(), [&](const Meter& m) {
            return m.port == packet.port && m.address == address;
        });
        if (meter == meters.end()) {
            meters.push_back({packet.port, address, {}, {}, {}, {}, 0, {}});
            meter = meters.end() - 1;
        }
        ++meter->packets;
        meter->last_time = packet.time;
        if (auto serial = ItemText(packet, "SERIAL_NO"); !serial.empty()) meter->serial = serial;
        if (auto type = ItemText(packet, "DEVICE_TYPE"); !type.empty()) meter->type = type;
        for (const auto& item : packet.items) {
            const std::string& name = item.first;
            const ReportValue& value = item.second;
            if (!IsRegisterItem(name)) continue;
            auto reg = std::find_if(meter->registers.begin(), meter->registers.end(),
                                    [&](const Register& r) { return r.name == name; });
            if (reg == meter->registers.end()) {
                meter->registers.push_back({name, {}, {}, true, true});
                reg = meter->registers.end() - 1;
            }
            const std::string unit = ItemText(packet, name + "_UNIT");
            if (!unit.empty()) reg->unit = unit;
            reg->samples.push_back({*ms, &value});
            if (value.kind == ReportValue::Kind::kNull) continue;
            reg->numeric = reg->numeric && value.kind == ReportValue::Kind::kNumber;
            // Clock and date registers come as "HH:MM:SS" and "YYYY-MM-DD" with their unit; runs
            // saved before that wrote them as full date-times.
            reg->clock =
                reg->clock && value.kind == ReportValue::Kind::kText &&
                (TimeMs(value.text).has_value() || kmp::UnitForm(unit) != kmp::KmpUnitForm::kOther);
        }
    }
    for (auto& meter : meters) {
        for (const auto& request : record.requests) {
            if (AddressKey(request.address) == AddressKey(meter.address)) {
                AddUnique(meter.requests, request.name);
            }
        }
    }
    auto port_rank = [&](const std::string& port) {
        for (std::size_t i = 0; i < record.ports.size(); ++i) {
            if (record.ports[i].port == port) return i;
        }
        return record.ports.size();
    };
    std::stable_sort(meters.begin(), meters.end(), [&](const Meter& a, const Meter& b) {
        const auto rank_a = port_rank(a.port), rank_b = port_rank(b.port);
        if (rank_a != rank_b) return rank_a < rank_b;
        if (a.address.size() != b.address.size()) return a.address.size() < b.address.size();
        return a.address < b.address;
    });
    return meters;
}

// The median time between consecutive readings; a longer pause than half again as much means
// readings went missing (the meter did not answer), and the chart's line breaks there.
std::int64_t GapThreshold(const std::vector<Sample>& samples) {
    std::vector<std::int64_t> steps;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        steps.push_back(samples[i].ms - samples[i - 1].ms);
    }
    if (steps.empty()) return 0;
    std::nth_element(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2),
                     steps.end());
    return steps[steps.size() / 2] * 3 / 2 + 500;
}

struct TimeRange {
    std::int64_t from = 0, to = 1;
    // The x of a time on a plot from `left` to `right`.
    double X(std::int64_t ms, double left = kPlotLeft, double right = kPlotRight) const {
        return left +
               (right - left) * static_cast<double>(ms - from) / static_cast<double>(to - from);
    }
};

std::string Chart(const Register& reg, const TimeRange& range) {
    double low = INFINITY, high = -INFINITY;
    for (const auto& sample : reg.samples) {
        if (sample.value->kind != ReportValue::Kind::kNumber) continue;
        low = std::min(low, sample.value->number);
        high = std::max(high, sample.value->number);
    }
    if (!(low <= high)) return {};
    if (high - low < 1e-12) {
        const double pad = std::abs(low) > 0 ? std::abs(low) * 0.05 : 1;
        low -= pad;
        high += pad;
    }
    auto y = [&](double v) {
        return kPlotBottom - (kPlotBottom - kPlotTop) * (v - low) / (high - low);
    };
    const std::string unit = reg.unit.empty() ? "" : " " + reg.unit;
    std::string svg = "<figure><figcaption>" + HtmlText(reg.name) +
                      (reg.unit.empty() ? "" : " (" + HtmlText(reg.unit) + ")") + "</figcaption>";
    svg += "<svg class=\"chart\" data-register=\"" + HtmlText(reg.name) + "\" viewBox=\"0 0 " +
           Number(kChartWidth) + " " + Number(kChartHeight) + "\" role=\"img\" aria-label=\"" +
           HtmlText(reg.name) + " over the run\">";
    // Axes, with the value range on y and the run's start, middle and end on x.
    svg += "<path class=\"axis\" d=\"M" + Number(kPlotLeft) + " " + Number(kPlotTop) + "V" +
           Number(kPlotBottom) + "H" + Number(kPlotRight) + "\"/>";
    for (double v : {low, (low + high) / 2, high}) {
        char tick[32];
        std::snprintf(tick, sizeof tick, "%.6g", v);
        svg += "<text class=\"tick\" x=\"" + Number(kPlotLeft - 4) + "\" y=\"" +
               Coordinate(y(v) + 4) + "\" text-anchor=\"end\">" + HtmlText(tick + unit) + "</text>";
    }
    const std::int64_t middle = range.from + (range.to - range.from) / 2;
    for (auto [ms, anchor] : {std::pair{range.from, "start"}, std::pair{middle, "middle"},
                              std::pair{range.to, "end"}}) {
        svg += "<text class=\"tick\" x=\"" + Coordinate(range.X(ms)) + "\" y=\"" +
               Number(kPlotBottom + 14) + "\" text-anchor=\"" + anchor + "\">" + ClockText(ms) +
               "</text>";
    }
    svg += "<text class=\"label\" x=\"" + Number((kPlotLeft + kPlotRight) / 2) + "\" y=\"" +
           Number(kChartHeight - 4) + "\" text-anchor=\"middle\">time (local)</text>";
    // The line, broken where readings are missing; every reading also gets a dot.
    const std::int64_t gap = GapThreshold(reg.samples);
    std::string path, dots;
    bool joined = false;  // the previous reading was a number the line can continue from
    std::int64_t previous = 0;
    for (const auto& sample : reg.samples) {
        if (sample.value->kind != ReportValue::Kind::kNumber) {
            joined = false;  // an empty reading breaks the line too
            continue;
        }
        const std::string point =
            Coordinate(range.X(sample.ms)) + " " + Coordinate(y(sample.value->number));
        path += (joined && sample.ms - previous <= gap ? "L" : "M") + point;
        dots += "M" + point + "h0";
        joined = true;
        previous = sample.ms;
    }
    svg += "<path class=\"line\" d=\"" + path + "\"/><path class=\"dots\" d=\"" + dots + "\"/>";
    return svg + "</svg></figure>";
}

std::string MeterCard(const Meter& meter, const MeterTally* tally, bool open,
                      const TimeRange& range) {
    std::string html = std::string("<details class=\"card\"") + (open ? " open" : "") +
                       " data-port=\"" + HtmlText(meter.port) + "\" data-address=\"" +
                       HtmlText(meter.address) + "\"><summary><b>" + HtmlText(meter.port) +
                       " / address " + HtmlText(meter.address) + "</b> &middot; serial " +
                       HtmlText(meter.serial.empty() ? "?" : meter.serial) + " &middot; " +
                       std::to_string(meter.packets) + " packets";
    if (tally != nullptr) html += " &middot; " + VerdictBadge(StateOf(*tally));
    html += "</summary>";
    // The meter's own counts: the plug-in's log lines name the meter they concern.
    if (tally != nullptr) {
        html +=
            "<table class=\"counts\"><tr><th>Requests</th><th>Packets</th><th>Empty "
            "packets</th><th>Timeouts</th><th>Checksum errors</th></tr><tr>" +
            RequestsCell(*tally) + "<td class=\"num\">" + std::to_string(tally->packets) + "</td>" +
            CountCell(tally->empty_packets) + CountCell(tally->timeouts) +
            CountCell(tally->checksum_errors) + "</tr></table>";
        if (tally->empty_packets > 0) {
            html += "<p class=\"bad empty\">" + std::to_string(tally->empty_packets) + " of " +
                    std::to_string(tally->packets) +
                    " packets carried no register value: the meter answered, but not with the "
                    "registers asked for.</p>";
        }
    }
    html += "<table class=\"identity\"><tr><th>Serial</th><td>" + HtmlText(meter.serial) +
            "</td><th>Type</th><td>" + HtmlText(meter.type) + "</td><th>Last packet</th><td>" +
            HtmlText(meter.last_time) + "</td></tr><tr><th>Requests</th><td colspan=\"5\">";
    for (std::size_t i = 0; i < meter.requests.size(); ++i) {
        html += (i > 0 ? ", " : "") + HtmlText(meter.requests[i]);
    }
    html += "</td></tr></table>";
    html +=
        "<table class=\"values\"><tr><th>Register</th><th>Last value</th><th>Unit</th>"
        "<th>Read at</th></tr>";
    for (const auto& reg : meter.registers) {
        const Sample& last = reg.samples.back();
        html += "<tr><td>" + HtmlText(reg.name) + "</td><td class=\"num\">" +
                HtmlText(ValueText(*last.value)) + "</td><td>" + HtmlText(reg.unit) + "</td><td>" +
                ClockText(last.ms) + "</td></tr>";
    }
    html += "</table>";
    // Clock and date registers as readings over time: a drifting meter clock shows here.
    std::vector<const Register*> clocks;
    for (const auto& reg : meter.registers) {
        if (reg.clock && !reg.numeric) clocks.push_back(&reg);
    }
    if (!clocks.empty()) {
        html += "<table class=\"clock\"><tr><th>Received</th>";
        for (const auto* reg : clocks) html += "<th>" + HtmlText(reg->name) + "</th>";
        html += "</tr>";
        const auto& rows = clocks.front()->samples;
        const std::size_t first = rows.size() > 10 ? rows.size() - 10 : 0;
        for (std::size_t i = first; i < rows.size(); ++i) {
            html += "<tr><td>" + ClockText(rows[i].ms) + "</td>";
            for (const auto* reg : clocks) {
                const bool has = i < reg->samples.size();
                html += "<td>" + (has ? HtmlText(ValueText(*reg->samples[i].value)) : "") + "</td>";
            }
            html += "</tr>";
        }
        html += "</table>";
    }
    html += "<div class=\"charts\">";
    for (const auto& reg : meter.registers) {
        if (reg.numeric && !reg.clock) html += Chart(reg, range);
    }
    return html + "</div></details>";
}

struct Fault {
    std::optional<std::int64_t> ms;
    const ReportLogLine* line;
    LogFault what;
};

const char* FaultName(FaultKind kind) {
    switch (kind) {
        case FaultKind::kTimeout:
            return "timeout";
        case FaultKind::kChecksumError:
            return "checksum error";
        case FaultKind::kRefusedWrite:
            return "refused write";
        case FaultKind::kPortClosed:
            return "port closed";
        case FaultKind::kNone:
            break;
    }
    return "";
}

const char* FaultClass(FaultKind kind) {
    switch (kind) {
        case FaultKind::kTimeout:
            return "f-timeout";
        case FaultKind::kChecksumError:
            return "f-crc";
        case FaultKind::kRefusedWrite:
            return "f-write";
        default:
            return "f-closed";
    }
}

const char* SeverityClass(int severity) {
    return severity <= 0 ? "sev-error" : severity == 1 ? "sev-warning" : "sev-note";
}

const char* SeverityWord(int severity) {
    return severity <= 0 ? "error" : severity == 1 ? "warning" : "note";
}

// One row per port plus one for the plug-in's lines, which do not say which port they concern.
std::string FaultTimeline(const std::vector<Fault>& faults, const std::vector<std::string>& rows,
                          const TimeRange& range) {
    // Drawn at the size it is shown, so its text matches the charts'.
    constexpr double kRowHeight = 22, kWidth = 900, kRight = kWidth - 40;
    const double height = kPlotTop + kRowHeight * static_cast<double>(rows.size()) + 24;
    std::string svg = "<svg class=\"timeline\" viewBox=\"0 0 " + Number(kWidth) + " " +
                      Number(height) + "\" role=\"img\" aria-label=\"faults over the run\">";
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const double y = kPlotTop + kRowHeight * static_cast<double>(r) + kRowHeight / 2;
        svg += "<text class=\"tick\" x=\"" + Number(kPlotLeft - 4) + "\" y=\"" + Coordinate(y + 4) +
               "\" text-anchor=\"end\">" + HtmlText(rows[r].empty() ? "all ports" : rows[r]) +
               "</text><path class=\"axis\" d=\"M" + Number(kPlotLeft) + " " + Coordinate(y) + "H" +
               Number(kRight) + "\"/>";
        for (const auto& fault : faults) {
            if (!fault.ms || fault.what.port != rows[r]) continue;
            svg += "<path class=\"" + std::string(FaultClass(fault.what.kind)) + "\" d=\"M" +
                   Coordinate(
                       range.X(std::clamp(*fault.ms, range.from, range.to), kPlotLeft, kRight)) +
                   " " + Coordinate(y - 7) + "v14\"><title>" +
                   HtmlText(fault.line->time + " " + FaultName(fault.what.kind)) +
                   "</title></path>";
        }
    }
    const double axis_y = height - 8;
    for (auto [ms, anchor] : {std::pair{range.from, "start"},
                              std::pair{range.from + (range.to - range.from) / 2, "middle"},
                              std::pair{range.to, "end"}}) {
        svg += "<text class=\"tick\" x=\"" + Coordinate(range.X(ms, kPlotLeft, kRight)) +
               "\" y=\"" + Coordinate(axis_y) + "\" text-anchor=\"" + anchor + "\">" +
               ClockText(ms) + "</text>";
    }
    return svg + "</svg>";
}

// The share in percent with one decimal.
std::string Percent(double share) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", share * 100);
    return text;
}

std::string Ms(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", ms);
    return text;
}

// The figure, caption and axes of one of a port's line-use charts; the caller adds its marks and
// closes it with "</svg></figure>".
std::string LineChartStart(const std::string& port, const char* caption, const char* kind,
                           const char* label) {
    return "<figure><figcaption>" + HtmlText(port) + ": " + caption +
           "</figcaption><svg class=\"chart " + kind + "\" data-port=\"" + HtmlText(port) +
           "\" viewBox=\"0 0 " + Number(kChartWidth) + " " + Number(kChartHeight) +
           "\" role=\"img\" aria-label=\"" + label + "\"><path class=\"axis\" d=\"M" +
           Number(kPlotLeft) + " " + Number(kPlotTop) + "V" + Number(kPlotBottom) + "H" +
           Number(kPlotRight) + "\"/>";
}

// A port's busy share over the run, one bar per stretch; 100% is marked, a line that is not
// paced may pass it.
std::string BusyChart(const LineUseFigures& use) {
    const double top =
        std::max(1.0, *std::max_element(use.busy_over_time.begin(), use.busy_over_time.end()));
    const double count = static_cast<double>(use.busy_over_time.size());
    const double width = (kPlotRight - kPlotLeft) / count;
    const auto y = [&](double share) {
        return kPlotBottom - (kPlotBottom - kPlotTop) * std::clamp(share / top, 0.0, 1.0);
    };
    std::string svg = LineChartStart(use.port, "busy share over time", "busy", "busy share");
    for (const double share : {0.0, 1.0, top}) {
        svg += "<text class=\"tick\" x=\"" + Number(kPlotLeft - 4) + "\" y=\"" +
               Coordinate(y(share) + 4) + "\" text-anchor=\"end\">" + Percent(share) + "</text>";
        if (share == top && top == 1.0) break;
    }
    std::string bars;
    for (std::size_t i = 0; i < use.busy_over_time.size(); ++i) {
        const double x = kPlotLeft + width * static_cast<double>(i);
        bars += "M" + Coordinate(x) + " " + Number(kPlotBottom) + "V" +
                Coordinate(y(use.busy_over_time[i])) + "h" + Coordinate(std::max(width - 1, 0.5)) +
                "V" + Number(kPlotBottom) + "Z";
    }
    svg += "<path class=\"bars\" d=\"" + bars + "\"/>";
    svg += "<text class=\"label\" x=\"" + Number((kPlotLeft + kPlotRight) / 2) + "\" y=\"" +
           Number(kChartHeight - 8) + "\" text-anchor=\"middle\">" + Coordinate(use.run_ms / 1000) +
           " s in stretches of " + Number(use.interval_s) + " s</text>";
    return svg + "</svg></figure>";
}

// How many turnarounds fell in each bin of kTurnaroundBinsMs.
std::string TurnaroundChart(const LineUseFigures& use) {
    const double most = std::max<double>(
        1, *std::max_element(use.turnaround_bins.begin(), use.turnaround_bins.end()));
    const double width = (kPlotRight - kPlotLeft) / static_cast<double>(kTurnaroundBins);
    std::string svg =
        LineChartStart(use.port, "turnaround distribution", "turnaround", "turnarounds");
    svg += "<text class=\"tick\" x=\"" + Number(kPlotLeft - 4) + "\" y=\"" + Number(kPlotTop + 4) +
           "\" text-anchor=\"end\">" + Number(most) + "</text>";
    std::string bars;
    for (std::size_t i = 0; i < use.turnaround_bins.size() && i < kTurnaroundBins; ++i) {
        const double x = kPlotLeft + width * static_cast<double>(i);
        const double h = (kPlotBottom - kPlotTop) * use.turnaround_bins[i] / most;
        if (h > 0) {
            bars += "M" + Coordinate(x + 1) + " " + Number(kPlotBottom) + "v" + Coordinate(-h) +
                    "h" + Coordinate(width - 2) + "v" + Coordinate(h) + "Z";
        }
        const std::string bound = i < std::size(kTurnaroundBinsMs)
                                      ? "&le;" + Number(kTurnaroundBinsMs[i])
                                      : "&gt;" + Number(kTurnaroundBinsMs[i - 1]);
        svg += "<text class=\"tick\" x=\"" + Coordinate(x + width / 2) + "\" y=\"" +
               Number(kPlotBottom + 14) + "\" text-anchor=\"middle\">" + bound + "</text>";
    }
    svg += "<path class=\"bars\" d=\"" + bars + "\"/>";
    svg += "<text class=\"label\" x=\"" + Number((kPlotLeft + kPlotRight) / 2) + "\" y=\"" +
           Number(kChartHeight - 8) +
           "\" text-anchor=\"middle\">ms from a reply's end to the next request</text>";
    return svg + "</svg></figure>";
}

// Per port: how full its line was, how fast the plug-in turned it round, and both over the run.
std::string LineUsePanel(const std::vector<LineUseFigures>& uses) {
    std::string html =
        "<h2>Line use</h2><table class=\"line-use\"><tr><th>Port</th><th>Line</th>"
        "<th>Busy</th><th>Turnarounds</th><th>Median</th><th>99th percentile</th>"
        "<th>Max</th></tr>";
    for (const auto& use : uses) {
        const bool any = use.turnarounds > 0;
        html += "<tr><td>" + HtmlText(use.port) + "</td><td>" + std::to_string(use.timing.baud) +
                " baud " + HtmlText(use.timing.framing) +
                (use.timing.paced ? "" : ", not paced: its bytes at that speed") +
                "</td><td class=\"num\">" + Percent(use.busy_share) + "</td><td class=\"num\">" +
                std::to_string(use.turnarounds) + "</td><td class=\"num\">" +
                (any ? Ms(use.median_ms) : "&ndash;") + "</td><td class=\"num\">" +
                (any ? Ms(use.p99_ms) : "&ndash;") + "</td><td class=\"num\">" +
                (any ? Ms(use.max_ms) : "&ndash;") + "</td></tr>";
    }
    html +=
        "</table><p>Turnaround: from the last byte of a reply handed to the plug-in to its next "
        "write on the port, when that request was already due.</p>";
    for (const auto& use : uses) {
        html += "<div class=\"charts\">";
        if (!use.busy_over_time.empty()) html += BusyChart(use);
        if (use.turnaround_bins.size() == kTurnaroundBins) html += TurnaroundChart(use);
        html += "</div>";
    }
    return html;
}

constexpr const char* kStyle = R"(
body{font:14px/1.4 system-ui,sans-serif;margin:0 auto;max-width:1200px;padding:12px;color:#222}
h1{font-size:20px;margin:0 0 6px}h2{font-size:16px;margin:18px 0 6px}
table{border-collapse:collapse;margin:4px 0}caption{text-align:left;font-weight:600}th,td{border:1px solid #ccc;padding:2px 6px;
text-align:left;vertical-align:top}th{background:#f2f2f2}td.num{text-align:right}
.card{border:1px solid #999;border-radius:4px;margin:8px 0;padding:4px 8px;break-inside:avoid}
.card summary{cursor:pointer}.charts{display:flex;flex-wrap:wrap;gap:8px}
figure{margin:4px;width:520px;max-width:100%}figcaption{font-weight:600}
svg{width:100%;height:auto;font-size:11px}.axis{stroke:#888;fill:none}
.line{stroke:#1565c0;stroke-width:1.5;fill:none}.bars{fill:#1565c0;stroke:none}.dots{stroke:#1565c0;stroke-width:4;
stroke-linecap:round}.tick,.label{fill:#444}
.f-timeout{stroke:#e08e00;stroke-width:2}.f-crc{stroke:#c62828;stroke-width:2}
.f-write{stroke:#6a1b9a;stroke-width:2}.f-closed{stroke:#000;stroke-width:3}
.key span{padding:0 6px;margin-right:6px;color:#fff}.key .f-timeout{background:#e08e00}
.key .f-crc{background:#c62828}.key .f-write{background:#6a1b9a}.key .f-closed{background:#000}
.timeline{max-width:900px}.sev-error{color:#b71c1c;font-weight:600}.sev-warning{color:#a65d00}
.sev-note{color:#555}.bad{color:#b71c1c;font-weight:600}
.verdict{padding:0 6px;border-radius:3px;color:#fff}.v-good{background:#2e7d32}
.v-faults{background:#a65d00}.v-none{background:#b71c1c}
.interrupted{border:2px solid #b71c1c;padding:6px;background:#fdecea}
@media print{body{max-width:none;font-size:11px}.card{page-break-inside:avoid}}
)";

}  // namespace

std::string HtmlText(std::string_view text) { return tools::MarkupText(text); }

std::string ReportPage(const RunRecord& record) {
    TimeRange range;
    const auto start = TimeMs(record.start), end = TimeMs(record.end);
    range.from = start.value_or(0);
    range.to = std::max(range.from + 1000, end.value_or(range.from));

    std::vector<Fault> faults;
    std::map<std::string, std::map<FaultKind, std::uint32_t>> fault_counts;
    for (const auto& line : record.log) {
        const LogFault what = ClassifyLogLine(line.text, record.markers);
        if (what.kind == FaultKind::kNone) continue;
        faults.push_back({TimeMs(line.time), &line, what});
        ++fault_counts[what.port][what.kind];
    }
    std::map<std::string, std::size_t> packets_per_port;
    for (const auto& packet : record.packets) ++packets_per_port[packet.port];

    std::string html =
        "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
        "<title>Commissioning report " +
        HtmlText(record.start) + "</title><style>" + kStyle + "</style></head><body>";
    html += "<h1>Commissioning report</h1><table class=\"run\"><tr><th>Start</th><td>" +
            HtmlText(record.start) + "</td><th>Duration</th><td>" +
            DurationText(range.to - range.from) + "</td><th>Configuration</th><td>" +
            HtmlText(record.config_file.empty() ? "built-in demo" : record.config_file) +
            "</td></tr></table>";
    if (record.interrupted) {
        html +=
            "<p class=\"bad interrupted\">Interrupted" +
            (record.interrupted->empty() ? std::string() : " at " + HtmlText(*record.interrupted)) +
            ": the run was cut short (Ctrl-C), so this report shows only what came in until "
            "then.</p>";
    }
    html +=
        "<table class=\"ports\"><tr><th>Port</th><th>Connection</th><th>Writes</th>"
        "<th>Packets</th><th>Refused writes</th><th>Closed</th></tr>";
    for (const auto& port : record.ports) {
        auto& counts = fault_counts[port.port];
        html += "<tr><td>" + HtmlText(port.port) + "</td><td>" +
                (port.connection.empty() ? std::string("&ndash;") : HtmlText(port.connection)) +
                "</td><td class=\"num\">" +
                (port.writes ? std::to_string(*port.writes) : std::string("&ndash;")) +
                "</td><td class=\"num\">" + std::to_string(packets_per_port[port.port]) +
                "</td><td class=\"num\">" + std::to_string(counts[FaultKind::kRefusedWrite]) +
                "</td><td class=\"num\">" + std::to_string(counts[FaultKind::kPortClosed]) +
                "</td></tr>";
    }
    // The plug-in's log does not name the port a timeout or damaged reply came from.
    auto& plugin_counts = fault_counts[""];
    html += "</table><p>All ports: <span class=\"" +
            std::string(plugin_counts[FaultKind::kTimeout] > 0 ? "bad" : "") + "\">" +
            std::to_string(plugin_counts[FaultKind::kTimeout]) +
            " timeouts</span>, <span class=\"" +
            (plugin_counts[FaultKind::kChecksumError] > 0 ? "bad" : "") + "\">" +
            std::to_string(plugin_counts[FaultKind::kChecksumError]) + " checksum errors</span>, " +
            std::to_string(record.packets.size()) + " packets.</p>";

    if (!record.line_use.empty()) html += LineUsePanel(record.line_use);

    const auto meters = CollectMeters(record);
    html += "<h2>Meters (" + std::to_string(meters.size()) + ")</h2>";
    if (meters.empty()) html += "<p class=\"bad\">No meter answered.</p>";
    // Configured addresses no port delivered a packet from: the meters that never answered, and
    // apart from them the listened-to (passive) ones, which the plug-in never asks.
    std::vector<std::string> silent, unheard_passive;
    for (const auto& request : record.requests) {
        const bool answered = std::any_of(meters.begin(), meters.end(), [&](const Meter& m) {
            return AddressKey(m.address) == AddressKey(request.address);
        });
        if (answered) continue;
        AddUnique(request.name == "passive" ? unheard_passive : silent,
                  request.address + " (" + request.name + ")");
    }
    const auto list_addresses = [&html](const char* css, const char* lead,
                                        const std::vector<std::string>& addresses) {
        if (addresses.empty()) return;
        html += std::string("<p class=\"") + css + "\">" + lead;
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            html += (i > 0 ? ", " : " ") + HtmlText(addresses[i]);
        }
        html += ".</p>";
    };
    list_addresses("bad silent", "No answer from address", silent);
    list_addresses("silent", "Nothing heard from listened-to address", unheard_passive);
    // Per port: the configured meters no packet came from, "no answer" told apart from "never
    // asked"; and faults the log named a meter for, but not its port.
    const std::vector<MeterTally> tallies =
        record.meters.empty() ? TalliesOf(record) : record.meters;
    std::string unheard;
    for (const auto& tally : tallies) {
        if (tally.packets > 0) continue;
        std::string names;
        for (const auto& request : record.requests) {
            if (AddressNumber(request.address) == tally.address &&
                names.find(request.name) == std::string::npos) {
                names += (names.empty() ? "" : ", ") + request.name;
            }
        }
        unheard += "<tr><td>" +
                   (tally.port.empty() ? std::string("not known") : HtmlText(tally.port)) +
                   "</td><td>" + std::to_string(tally.address) + "</td><td>" +
                   VerdictBadge(StateOf(tally)) + "</td>" + RequestsCell(tally) +
                   CountCell(tally.timeouts) + CountCell(tally.checksum_errors) + "<td>" +
                   HtmlText(names) + "</td></tr>";
    }
    if (!unheard.empty()) {
        html +=
            "<table class=\"unheard\"><caption>Configured meters without a "
            "packet</caption><tr><th>Port</th><th>Address</th><th>Verdict</th>"
            "<th>Requests</th><th>Timeouts</th><th>Checksum errors</th><th>Configured "
            "in</th></tr>" +
            unheard + "</table>";
    }
    for (std::size_t i = 0; i < meters.size(); ++i) {
        html += MeterCard(meters[i], FindTally(tallies, meters[i].port, meters[i].address),
                          i < kOpenCards, range);
    }

    html +=
        "<h2>Faults</h2><p class=\"key\"><span class=\"f-timeout\">timeout</span><span "
        "class=\"f-crc\">checksum error</span><span class=\"f-write\">refused write</span>"
        "<span class=\"f-closed\">port closed</span></p>";
    std::vector<std::string> rows;
    for (const auto& port : record.ports) rows.push_back(port.port);
    rows.emplace_back();
    html += FaultTimeline(faults, rows, range);
    html +=
        "<table class=\"faults\"><tr><th>Time</th><th>Port</th><th>Fault</th><th>Line</th></tr>";
    for (std::size_t i = 0; i < faults.size() && i < kMaxFaultRows; ++i) {
        const auto& fault = faults[i];
        html += "<tr><td>" + HtmlText(fault.line->time) + "</td><td>" +
                HtmlText(fault.what.port.empty() ? "all" : fault.what.port) + "</td><td>" +
                FaultName(fault.what.kind) + "</td><td>" + HtmlText(fault.line->text) +
                "</td></tr>";
    }
    html += "</table>";
    if (faults.size() > kMaxFaultRows) {
        html +=
            "<p>" + std::to_string(faults.size() - kMaxFaultRows) + " more faults left out.</p>";
    }

    html += "<h2>Log</h2><table class=\"log\"><tr><th>Time</th><th>Severity</th><th>Text</th></tr>";
    for (std::size_t i = 0; i < record.log.size() && i < kMaxLogLines; ++i) {
        const auto& line = record.log[i];
        html += "<tr class=\"" + std::string(SeverityClass(line.severity)) + "\"><td>" +
                HtmlText(line.time) + "</td><td title=\"" + std::to_string(line.severity) + "\">" +
                SeverityWord(line.severity) + "</td><td>" + HtmlText(line.text) + "</td></tr>";
    }
    html += "</table>";
    if (record.log.size() > kMaxLogLines) {
        html += "<p>" + std::to_string(record.log.size() - kMaxLogLines) +
                " more log lines left out.</p>";
    }
    // Printing shows every card, also those collapsed on screen.
    html +=
        "<script>addEventListener('beforeprint',function(){document.querySelectorAll("
        "'details').forEach(function(d){d.open=true;});});</script></body></html>\n";
    return html;
}

}  // namespace zol::hostsim
