#include "kmptool/cli.h"

#include <cstdio>
#include <variant>

#include "common/exit_codes.h"
#include "scheduler/string_helpers.h"

namespace zol::kmptool {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == ':' || c == ',' || c == '\n'; }

std::optional<int> Digits(std::string_view text, std::size_t pos, std::size_t count) {
    if (pos + count > text.size()) return std::nullopt;
    auto value = scheduler::ParseDecimal(text.substr(pos, count));
    if (!value) return std::nullopt;
    return *value;
}

}  // namespace

std::optional<std::uint32_t> ParseNumber(std::string_view text, std::uint32_t max) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        const int digit = HexDigit(c);
        if (digit < 0 || static_cast<unsigned>(digit) >= base) return std::nullopt;
        value = value * base + static_cast<unsigned>(digit);
        if (value > max) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<std::vector<std::uint8_t>> ParseHex(std::span<const std::string> parts) {
    std::vector<std::uint8_t> out;
    for (const auto& part : parts) {
        int high = -1;
        for (char c : part) {
            if (IsSeparator(c)) {
                if (high >= 0) return std::nullopt;  // a lone digit
                continue;
            }
            const int digit = HexDigit(c);
            if (digit < 0) return std::nullopt;
            if (high < 0) {
                high = digit;
            } else {
                out.push_back(static_cast<std::uint8_t>(high * 16 + digit));
                high = -1;
            }
        }
        if (high >= 0) return std::nullopt;
    }
    return out;
}

std::string HexBytes(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        char buf[4];
        std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X", bytes[i]);
        out += buf;
    }
    return out;
}

std::vector<std::string> SplitList(std::string_view text) {
    std::vector<std::string> items;
    while (!text.empty()) {
        const auto comma = text.find(',');
        const auto item = text.substr(0, comma);
        if (!item.empty()) items.emplace_back(item);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return items;
}

std::optional<std::uint16_t> ParseRegister(std::string_view text,
                                           std::span<const kmp::TKmpRegisterInfo> catalogue) {
    if (const auto* row = kmp::FindRegisterByCode(catalogue, text)) {
        return static_cast<std::uint16_t>(row->Id);
    }
    if (const auto number = ParseNumber(text, 0xFFFF)) return static_cast<std::uint16_t>(*number);
    return std::nullopt;
}

std::optional<kmp::KmpCatalogue> ParseCatalogue(std::string_view text) {
    if (text == "heat") return kmp::KmpCatalogue::kHeat;
    if (text == "electricity") return kmp::KmpCatalogue::kElectricity;
    return std::nullopt;
}

const char* CatalogueName(kmp::KmpCatalogue which) {
    return which == kmp::KmpCatalogue::kElectricity ? "electricity" : "heat";
}

std::string UnknownRegisterText(std::string_view text, kmp::KmpCatalogue which) {
    const auto other = which == kmp::KmpCatalogue::kHeat ? kmp::KmpCatalogue::kElectricity
                                                         : kmp::KmpCatalogue::kHeat;
    std::string out = "unknown register '" + std::string(text) + "': the " + CatalogueName(which) +
                      " catalogue has no such code";
    if (const auto* row = kmp::FindRegisterByCode(kmp::Catalogue(other), text)) {
        char id[8];
        std::snprintf(id, sizeof id, "0x%04X", static_cast<unsigned>(row->Id));
        out += std::string(" (") + std::string(kmp::RegisterCode(row->Id)) + " is " +
               CatalogueName(other) + " register " + id + ")";
    }
    return out + "; give a code, or an id in hex (0x...) or decimal, from `kmptool registers " +
           "--catalogue " + CatalogueName(which) + "`";
}

std::string FormatValue(const kmp::RegisterValue& value) {
    char buf[64];
    if (const auto* u = std::get_if<std::uint32_t>(&value)) {
        std::snprintf(buf, sizeof buf, "%lu", static_cast<unsigned long>(*u));
    } else if (const auto* i = std::get_if<std::int32_t>(&value)) {
        std::snprintf(buf, sizeof buf, "%ld", static_cast<long>(*i));
    } else if (const auto* l = std::get_if<std::int64_t>(&value)) {
        std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(*l));
    } else if (const auto* d = std::get_if<double>(&value)) {
        std::snprintf(buf, sizeof buf, "%.15g", *d);
    } else if (const auto* date = std::get_if<kmp::KmpDate>(&value)) {
        return kmp::DateText(*date);
    } else {
        return kmp::TimeText(std::get<kmp::KmpTime>(value));
    }
    return buf;
}

int UsageError(const char* command, const std::string& message) {
    std::fprintf(stderr, "kmptool %s: %s\n", command, message.c_str());
    return tools::kExitUsage;
}

// YYYY-MM-DDTHH:MM:SS with optional .mmm (one to three digits of a second).
std::optional<scheduler::DateTimeParts> ParseLocalTime(std::string_view text) {
    if (text.size() < 19 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':') {
        return std::nullopt;
    }
    scheduler::DateTimeParts parts;
    auto year = Digits(text, 0, 4);
    auto month = Digits(text, 5, 2);
    auto day = Digits(text, 8, 2);
    auto hour = Digits(text, 11, 2);
    auto minute = Digits(text, 14, 2);
    auto second = Digits(text, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
    if (*year < 1 || *month < 1 || *month > 12 || *day < 1 ||
        *day > scheduler::DaysInMonth(*year, *month) || *hour > 23 || *minute > 59 ||
        *second > 59) {
        return std::nullopt;
    }
    parts = {*year, *month, *day, *hour, *minute, *second, 0};
    if (text.size() > 19) {
        std::size_t digits = text.size() - 20;
        if (text[19] != '.' || digits < 1 || digits > 3) return std::nullopt;
        auto fraction = Digits(text, 20, digits);
        if (!fraction) return std::nullopt;
        parts.millisecond = *fraction * (digits == 1 ? 100 : digits == 2 ? 10 : 1);
    }
    return parts;
}

std::string LocalTimeError(std::string_view text) {
    std::string out = "invalid --from time '" + std::string(text) + "': ";
    // The right shape with a date or time that does not exist (30 February, 24:00) is told apart
    // from a wrong shape, which is what people meet first (a blank for the T, no seconds).
    constexpr std::string_view kShape = "0000-00-00T00:00:00";
    bool shaped = text.size() == kShape.size() ||
                  (text.size() > kShape.size() + 1 && text.size() <= kShape.size() + 4 &&
                   text[kShape.size()] == '.');
    for (std::size_t i = 0; shaped && i < text.size(); ++i) {
        const char expected = i < kShape.size() ? kShape[i] : i == kShape.size() ? '.' : '0';
        const bool digit = text[i] >= '0' && text[i] <= '9';
        shaped = expected == '0' ? digit : text[i] == expected;
    }
    if (shaped) out += "no such date or time of day; ";
    return out + "expected local time YYYY-MM-DDTHH:MM:SS, optionally with .mmm " +
           "(2026-03-01T06:30:00)";
}

std::optional<std::uint32_t> ParseLineSpeed(std::string_view text) {
    const auto speed = ParseNumber(text);
    if (!speed || text.starts_with("0")) return std::nullopt;
    for (const std::uint32_t known : kLineSpeeds) {
        if (known == *speed) return *speed;
    }
    return std::nullopt;
}

std::string LineSpeedError(std::string_view text) {
    std::string out = "--baud must be one of";
    const char* separator = " ";
    for (const std::uint32_t speed : kLineSpeeds) {
        out += separator + std::to_string(speed);
        separator = ", ";
    }
    return out + " (not '" + std::string(text) + "')";
}

}  // namespace zol::kmptool
