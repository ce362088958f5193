#include "hostsim/report_record.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "parser/options_text.h"

namespace zol::hostsim {

namespace {

using Json = nlohmann::ordered_json;

// A scalar of the JSON lines as the report keeps it; nothing for an object or an array.
std::optional<ReportValue> ScalarValue(const Json& json) {
    ReportValue out;
    switch (json.type()) {
        case Json::value_t::null:
            return out;
        case Json::value_t::boolean:
            out.kind = ReportValue::Kind::kBoolean;
            out.number = json.get<bool>() ? 1 : 0;
            return out;
        case Json::value_t::number_integer:
            out.kind = ReportValue::Kind::kNumber;
            out.number = static_cast<double>(json.get<std::int64_t>());
            return out;
        case Json::value_t::number_unsigned:
            out.kind = ReportValue::Kind::kNumber;
            out.number = static_cast<double>(json.get<std::uint64_t>());
            return out;
        case Json::value_t::number_float:
            out.kind = ReportValue::Kind::kNumber;
            out.number = json.get<double>();
            return out;
        case Json::value_t::string:
            out.kind = ReportValue::Kind::kText;
            out.text = json.get_ref<const std::string&>();
            return out;
        default:
            return std::nullopt;
    }
}

// The data source id of a packet: a whole number the host's 32-bit id can hold. A fraction or
// a number out of range (a line not written by a run) is refused, never cast.
std::optional<std::int32_t> SourceId(const Json& json) {
    constexpr auto kLowest = std::numeric_limits<std::int32_t>::min();
    constexpr auto kHighest = std::numeric_limits<std::int32_t>::max();
    if (json.is_number_integer() && !json.is_number_unsigned()) {
        const auto number = json.get<std::int64_t>();
        if (number < kLowest || number > kHighest) return std::nullopt;
        return static_cast<std::int32_t>(number);
    }
    if (json.is_number_unsigned()) {
        const auto number = json.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(kHighest)) return std::nullopt;
        return static_cast<std::int32_t>(number);
    }
    const double number = json.get<double>();  // a float; NaN and infinity fail both tests
    if (!(number >= kLowest && number <= kHighest) || std::trunc(number) != number) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(number);
}

std::optional<ReportPacket> PacketOf(const Json& document) {
    if (!document.is_object()) return std::nullopt;
    ReportPacket packet;
    bool has_time = false, has_port = false, has_items = false;
    for (const auto& [key, value] : document.items()) {
        if (key == "items") {
            if (!value.is_object()) return std::nullopt;
            for (const auto& [name, item] : value.items()) {
                auto scalar = ScalarValue(item);
                if (!scalar) return std::nullopt;
                packet.items.emplace_back(name, std::move(*scalar));
            }
            has_items = true;
        } else if (!ScalarValue(value)) {
            return std::nullopt;
        } else if (key == "time" && value.is_string()) {
            packet.time = value.get<std::string>();
            has_time = TimeMs(packet.time).has_value();
        } else if (key == "port" && value.is_string()) {
            packet.port = value.get<std::string>();
            has_port = !packet.port.empty();
        } else if (key == "source" && value.is_number()) {
            const auto source = SourceId(value);
            if (!source) return std::nullopt;
            packet.source = *source;
        }
    }
    if (!has_time || !has_port || !has_items) return std::nullopt;
    return packet;
}

std::optional<int> Digits(std::string_view text, std::size_t from, std::size_t count) {
    if (from + count > text.size()) return std::nullopt;
    int value = 0;
    for (std::size_t i = from; i < from + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(int year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const int era = (year >= 0 ? year : year - 399) / 400;
    const int year_of_era = year - era * 400;
    const int day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return std::int64_t{era} * 146097 + day_of_era - 719468;
}

constexpr std::string_view kPortPrefix = "hostsim: port ";
constexpr std::string_view kClosedText = "; it is closed";
constexpr std::string_view kRefusedText = " refused a write";

// Items every packet carries besides the meter's registers: the frame's standard items and the
// meter's identity.
constexpr std::string_view kNonRegisterItems[] = {
    "FULL_DATA_PACKET", "DATA_PACKET",           "DATE_TIME_STAMP", "DATA_SOURCE_ID",
    "DATA_SOURCE_NAME", "DATA_SOURCE_FULL_NAME", "CLIENTID",        "DEVICE_ID",
    "SERIAL_NO",        "DEVICE_TYPE",           "TIMESTAMP",       "TIMESTAMP_UTC",
};
constexpr std::string_view kUnitSuffix = "_UNIT";

}  // namespace

bool IsRegisterItem(std::string_view name) {
    if (name.size() > kUnitSuffix.size() &&
        name.substr(name.size() - kUnitSuffix.size()) == kUnitSuffix) {
        return false;
    }
    for (auto fixed : kNonRegisterItems) {
        if (name == fixed) return false;
    }
    return true;
}

LogFault ClassifyLogLine(std::string_view text, const LogMarkers& markers) {
    // hostsim's own lines: "port NAME failed...; it is closed", "port NAME refused a write".
    constexpr std::string_view kPort = "port ";
    if (text.substr(0, kPort.size()) == kPort) {
        const auto name_end = text.find(' ', kPort.size());
        const std::string port(text.substr(kPort.size(), name_end - kPort.size()));
        if (text.find(kClosedText) != std::string_view::npos) {
            return {FaultKind::kPortClosed, port};
        }
        if (text.find(kRefusedText) != std::string_view::npos) {
            return {FaultKind::kRefusedWrite, port};
        }
    }
    const auto has_any = [&](const std::vector<std::string>& marks) {
        return std::any_of(marks.begin(), marks.end(), [&](const std::string& mark) {
            return !mark.empty() && text.find(mark) != std::string_view::npos;
        });
    };
    if (has_any(markers.timeout)) return {FaultKind::kTimeout, {}};
    if (has_any(markers.crc_error)) return {FaultKind::kChecksumError, {}};
    return {};
}

const ReportValue* ReportPacket::Find(std::string_view name) const {
    for (const auto& [item, value] : items) {
        if (item == name) return &value;
    }
    return nullptr;
}

std::optional<ReportPacket> ParsePacketJson(std::string_view line) {
    // Saved runs are outside input: a line that is not JSON is a normal result, never an
    // exception, and nothing the library might still throw leaves the reader.
    try {
        const Json document = Json::parse(line, nullptr, /*allow_exceptions=*/false);
        if (document.is_discarded()) return std::nullopt;
        return PacketOf(document);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<ReportLogLine> ParseRunLogLine(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    ReportLogLine out;
    // An optional leading time, as `run` writes it.
    if (const auto space = line.find(' ');
        space != std::string_view::npos && TimeMs(line.substr(0, space)).has_value()) {
        out.time = std::string(line.substr(0, space));
        line.remove_prefix(space + 1);
    }
    constexpr std::string_view kOwnPrefix = "hostsim: ";
    if (line.substr(0, kPortPrefix.size()) == kPortPrefix ||
        (line.substr(0, kOwnPrefix.size()) == kOwnPrefix &&
         line.substr(kOwnPrefix.size(), kInterruptedText.size()) == kInterruptedText)) {
        out.text = std::string(line.substr(kOwnPrefix.size()));
        return out;
    }
    if (line.substr(0, 4) != "log[") return std::nullopt;
    const auto close = line.find("]: ");
    if (close == std::string_view::npos || close == 4 || close > 7) return std::nullopt;
    const std::string number(line.substr(4, close - 4));
    char* end = nullptr;
    const long severity = std::strtol(number.c_str(), &end, 10);
    if (end != number.c_str() + number.size()) return std::nullopt;
    out.severity = static_cast<int>(severity);
    out.text = std::string(line.substr(close + 3));
    return out;
}

std::optional<std::int64_t> TimeMs(std::string_view text) {
    if (text.size() != 19 && text.size() != 23) return std::nullopt;
    if (text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':') {
        return std::nullopt;
    }
    const auto year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2);
    const auto hour = Digits(text, 11, 2), minute = Digits(text, 14, 2),
               second = Digits(text, 17, 2);
    std::optional<int> ms = 0;
    if (text.size() == 23) ms = text[19] == '.' ? Digits(text, 20, 3) : std::nullopt;
    if (!year || !month || !day || !hour || !minute || !second || !ms || *month < 1 ||
        *month > 12 || *day < 1 || *day > 31 || *hour > 23 || *minute > 59 || *second > 60) {
        return std::nullopt;
    }
    const std::int64_t days = DaysFromCivil(*year, *month, *day);
    return ((days * 24 + *hour) * 60 + *minute) * 60000 + std::int64_t{*second} * 1000 + *ms;
}

std::vector<ConfiguredRequest> ConfiguredRequests(std::string_view options_text) {
    auto same = [](std::string_view a, std::string_view b) {
        return a.size() == b.size() &&
               std::equal(a.begin(), a.end(), b.begin(),
                          [](char x, char y) { return (x | 0x20) == (y | 0x20); });
    };
    std::vector<ConfiguredRequest> out;
    const auto document = parser::ReadOptionsText(options_text);
    const parser::OptionsElement* query = document.root.FindDescendant("QUERY");
    if (query == nullptr) return out;
    for (const auto& element : query->children) {
        const bool passive = same(element.name, "Passive");
        if (!passive && !same(element.name, "Request")) continue;
        const std::string name =
            passive ? "passive" : std::string(element.Attribute("caption").value_or(""));
        // Addresses are separated by semicolons: "63;65".
        std::string_view devices = element.FindChild("Device") != nullptr
                                       ? std::string_view(element.FindChild("Device")->text)
                                       : std::string_view();
        while (!devices.empty()) {
            const auto end = devices.find(';');
            std::string_view address = devices.substr(0, end);
            while (!address.empty() && address.front() == ' ') address.remove_prefix(1);
            while (!address.empty() && address.back() == ' ') address.remove_suffix(1);
            if (!address.empty()) out.push_back({std::string(address), name});
            if (end == std::string_view::npos) break;
            devices.remove_prefix(end + 1);
        }
    }
    return out;
}

RunRecord ReadRunRecord(std::string_view json_lines, std::string_view log_text,
                        std::size_t& skipped) {
    RunRecord record;
    skipped = 0;
    auto each_line = [](std::string_view text, auto&& handle) {
        while (!text.empty()) {
            const auto end = text.find('\n');
            const auto line = text.substr(0, end);
            if (line.find_first_not_of(" \t\r") != std::string_view::npos) handle(line);
            if (end == std::string_view::npos) break;
            text.remove_prefix(end + 1);
        }
    };
    each_line(json_lines, [&](std::string_view line) {
        auto packet = ParsePacketJson(line);
        if (!packet) {
            if (auto use = ParseLineUseJson(line)) {
                record.line_use.push_back(std::move(*use));
                return;
            }
            ++skipped;
            return;
        }
        bool known = false;
        for (const auto& port : record.ports) known = known || port.port == packet->port;
        if (!known) record.ports.push_back({packet->port, {}, std::nullopt, 0});
        if (record.start.empty() || packet->time < record.start) record.start = packet->time;
        if (packet->time > record.end) record.end = packet->time;
        record.packets.push_back(std::move(*packet));
    });
    each_line(log_text, [&](std::string_view line) {
        auto log_line = ParseRunLogLine(line);
        if (!log_line) return;
        // hostsim's own line, not a plug-in line that happens to say so.
        const auto own = line.find("hostsim: ");
        if (own != std::string_view::npos && own <= log_line->time.size() + 1 &&
            log_line->text.substr(0, kInterruptedText.size()) == kInterruptedText) {
            record.interrupted = log_line->time;
        }
        record.log.push_back(std::move(*log_line));
    });
    return record;
}

}  // namespace zol::hostsim
