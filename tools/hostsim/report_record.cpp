#include "hostsim/report_record.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <tuple>

#include "parser/options_text.h"

namespace zol::hostsim {

namespace {

// A cursor over one JSON line; every step reports failure as false and never reads past the end.
class JsonCursor {
   public:
    explicit JsonCursor(std::string_view text) : text_(text) {}

    void SkipSpace() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                       text_[pos_] == '\r' || text_[pos_] == '\n')) {
            ++pos_;
        }
    }
    bool Take(char c) {
        SkipSpace();
        if (pos_ >= text_.size() || text_[pos_] != c) return false;
        ++pos_;
        return true;
    }
    bool Peek(char c) {
        SkipSpace();
        return pos_ < text_.size() && text_[pos_] == c;
    }
    bool AtEnd() {
        SkipSpace();
        return pos_ == text_.size();
    }

    bool String(std::string& out) {
        if (!Take('"')) return false;
        out.clear();
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"') return true;
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (pos_ >= text_.size()) return false;
            const char e = text_[pos_++];
            switch (e) {
                case 'n':
                    out.push_back('\n');
                    break;
                case 'r':
                    out.push_back('\r');
                    break;
                case 't':
                    out.push_back('\t');
                    break;
                case 'b':
                    out.push_back('\b');
                    break;
                case 'f':
                    out.push_back('\f');
                    break;
                case 'u': {
                    if (text_.size() - pos_ < 4) return false;
                    unsigned code = 0;
                    for (int i = 0; i < 4; ++i) {
                        const char h = text_[pos_++];
                        code <<= 4;
                        if (h >= '0' && h <= '9') {
                            code |= static_cast<unsigned>(h - '0');
                        } else if ((h | 0x20) >= 'a' && (h | 0x20) <= 'f') {
                            code |= static_cast<unsigned>((h | 0x20) - 'a' + 10);
                        } else {
                            return false;
                        }
                    }
                    AppendUtf8(code, out);
                    break;
                }
                default:
                    out.push_back(e);  // \" \\ \/
            }
        }
        return false;
    }

    // A scalar: string, number, true, false or null. Objects and arrays are refused.
    bool Scalar(ReportValue& out) {
        SkipSpace();
        if (pos_ >= text_.size()) return false;
        out = {};
        if (text_[pos_] == '"') {
            out.kind = ReportValue::Kind::kText;
            return String(out.text);
        }
        for (auto [word, kind, number] : {std::tuple{"true", ReportValue::Kind::kBoolean, 1.0},
                                          std::tuple{"false", ReportValue::Kind::kBoolean, 0.0},
                                          std::tuple{"null", ReportValue::Kind::kNull, 0.0}}) {
            const std::string_view w(word);
            if (text_.substr(pos_, w.size()) == w) {
                pos_ += w.size();
                out.kind = kind;
                out.number = number;
                return true;
            }
        }
        const std::size_t start = pos_;
        while (pos_ < text_.size() &&
               std::string_view("+-0123456789.eE").find(text_[pos_]) != std::string_view::npos) {
            ++pos_;
        }
        if (pos_ == start) return false;
        const std::string digits(text_.substr(start, pos_ - start));
        char* end = nullptr;
        out.number = std::strtod(digits.c_str(), &end);
        out.kind = ReportValue::Kind::kNumber;
        return end == digits.c_str() + digits.size();
    }

   private:
    static void AppendUtf8(unsigned code, std::string& out) {
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

bool ParseItems(JsonCursor& in, ReportPacket& packet) {
    if (!in.Take('{')) return false;
    if (in.Take('}')) return true;
    do {
        std::string name;
        ReportValue value;
        if (!in.String(name) || !in.Take(':') || !in.Scalar(value)) return false;
        packet.items.emplace_back(std::move(name), std::move(value));
    } while (in.Take(','));
    return in.Take('}');
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
    JsonCursor in(line);
    ReportPacket packet;
    bool has_time = false, has_port = false, has_items = false;
    if (!in.Take('{')) return std::nullopt;
    do {
        std::string key;
        if (!in.String(key) || !in.Take(':')) return std::nullopt;
        if (key == "items") {
            if (!ParseItems(in, packet)) return std::nullopt;
            has_items = true;
            continue;
        }
        ReportValue value;
        if (!in.Scalar(value)) return std::nullopt;
        if (key == "time" && value.kind == ReportValue::Kind::kText) {
            packet.time = value.text;
            has_time = TimeMs(value.text).has_value();
        } else if (key == "port" && value.kind == ReportValue::Kind::kText) {
            packet.port = value.text;
            has_port = !value.text.empty();
        } else if (key == "source" && value.kind == ReportValue::Kind::kNumber) {
            packet.source = static_cast<std::int32_t>(value.number);
        }
    } while (in.Take(','));
    if (!in.Take('}') || !in.AtEnd() || !has_time || !has_port || !has_items) return std::nullopt;
    return packet;
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
