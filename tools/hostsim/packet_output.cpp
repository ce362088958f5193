#include "hostsim/packet_output.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "common/json_write.h"
#include "hostsim/report_record.h"
#include "kmp/kmp_registers.h"
#include "kmp/kmp_value.h"
#include "platform/ole.h"
#include "scheduler/date_helpers.h"

namespace zol::hostsim {

namespace {

using common::Variant;

const Variant* Find(const std::vector<NamedValue>& items, std::string_view name) {
    for (const auto& [item_name, value] : items) {
        if (item_name == name) return &value;
    }
    return nullptr;
}

std::string ItemText(const std::vector<NamedValue>& items, std::string_view name) {
    const Variant* value = Find(items, name);
    return value != nullptr ? PlainText(*value) : std::string();
}

enum class ValueForm { kNone, kInteger, kNumber, kBoolean, kDateTime, kText };

ValueForm FormOf(const Variant& value) {
    using namespace platform;
    switch (value.Type()) {
        case kVtEmpty:
        case kVtNull:
            return ValueForm::kNone;
        case kVtI1:
        case kVtI2:
        case kVtI4:
        case kVtI8:
        case kVtUI1:
        case kVtUI2:
        case kVtUI4:
        case kVtUI8:
        case kVtInt:
        case kVtUInt:
            return ValueForm::kInteger;
        case kVtR4:
        case kVtR8:
        case kVtCy:
            return ValueForm::kNumber;
        case kVtBool:
            return ValueForm::kBoolean;
        case kVtDate:
            return ValueForm::kDateTime;
        default:
            return ValueForm::kText;
    }
}

// CSV quotes a field that holds a separator, a quote or a line break.
std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    return out + "\"";
}

// The frame as received: raw bytes, never text.
constexpr std::string_view kFrameItems[] = {"FULL_DATA_PACKET", "DATA_PACKET"};

bool IsControlByte(unsigned char c) {
    return (c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F;
}

// Bytes as "3F 10 ..", the form kmptool takes and prints frames in.
std::string HexText(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X",
                      static_cast<unsigned char>(bytes[i]));
        out += hex;
    }
    return out;
}

// The text of an item that is not a number: a clock or date register in its short form, binary
// bytes as hexadecimal, anything else as PlainText.
std::string ShownText(std::string_view name, const Variant& value, std::string_view unit) {
    if (FormOf(value) == ValueForm::kDateTime) return RegisterDateTimeText(value, unit);
    if (FormOf(value) != ValueForm::kText) return PlainText(value);
    // The plug-in hands bytes over as 8-bit text: the system code page gives them back.
    const std::string bytes = value.AsAnsi();
    const bool frame =
        std::find(std::begin(kFrameItems), std::end(kFrameItems), name) != std::end(kFrameItems);
    if (frame || std::any_of(bytes.begin(), bytes.end(),
                             [](char c) { return IsControlByte(static_cast<unsigned char>(c)); })) {
        return HexText(bytes);
    }
    return PlainText(value);
}

}  // namespace

std::string RegisterDateTimeText(const Variant& value, std::string_view unit) {
    if (FormOf(value) != ValueForm::kDateTime) return PlainText(value);
    const auto parts = scheduler::SplitMs(scheduler::OleToMs(value.ToDouble().value_or(0)));
    switch (kmp::UnitForm(unit)) {
        case kmp::KmpUnitForm::kTimeOfDay:
            return kmp::TimeText({parts.hour, parts.minute, parts.second});
        case kmp::KmpUnitForm::kDate:
            return kmp::DateText({parts.year, parts.month, parts.day});
        case kmp::KmpUnitForm::kOther:
            break;
    }
    return PlainText(value);
}

std::vector<RegisterValue> RegisterValues(const std::vector<NamedValue>& items) {
    std::vector<RegisterValue> registers;
    for (const auto& [name, value] : items) {
        if (name == common::kNewRowName || !IsRegisterItem(name)) continue;
        registers.push_back({name, value, ItemText(items, name + "_UNIT")});
    }
    return registers;
}

std::string DateTimeText(double ole_date) {
    const auto parts = scheduler::SplitMs(scheduler::OleToMs(ole_date));
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", parts.year, parts.month,
                  parts.day, parts.hour, parts.minute, parts.second, parts.millisecond);
    return text;
}

std::string NowText() { return DateTimeText(scheduler::NowOle()); }

std::string PlainText(const Variant& value) {
    switch (FormOf(value)) {
        case ValueForm::kNone:
            return {};
        case ValueForm::kInteger:
            if (value.Type() == platform::kVtUI8) return std::to_string(value.Raw().ullVal);
            return std::to_string(value.AsInt64());
        case ValueForm::kNumber:
            return common::FormatDouble(value.ToDouble().value_or(0));
        case ValueForm::kBoolean:
            return value.ToBool().value_or(false) ? "true" : "false";
        case ValueForm::kDateTime:
            return DateTimeText(value.ToDouble().value_or(0));
        case ValueForm::kText:
            break;
    }
    return value.AsUtf8();
}

std::string PacketLine(const PortPacket& packet) {
    std::string line = packet.time + " " + packet.port +
                       " DEVICE_ID=" + ItemText(packet.items, "DEVICE_ID") +
                       " SERIAL_NO=" + ItemText(packet.items, "SERIAL_NO");
    const char* separator = " ";
    for (const auto& r : RegisterValues(packet.items)) {
        line += separator + r.name + "=" + ShownText(r.name, r.value, r.unit);
        if (!r.unit.empty()) line += " " + r.unit;
        separator = ", ";
    }
    return line;
}

std::string PacketJson(const PortPacket& packet) {
    using tools::Json;
    Json items = Json::object();
    for (const auto& [name, value] : packet.items) {
        if (name == common::kNewRowName) continue;
        switch (FormOf(value)) {
            case ValueForm::kNone:
                items[name] = nullptr;
                break;
            case ValueForm::kNumber: {
                // JSON has no NaN or infinity.
                const double number = value.ToDouble().value_or(0);
                items[name] = std::isfinite(number) ? Json(number) : Json(nullptr);
                break;
            }
            case ValueForm::kInteger:
                if (value.Type() == platform::kVtUI8) {
                    items[name] = static_cast<std::uint64_t>(value.Raw().ullVal);
                } else {
                    items[name] = value.AsInt64();
                }
                break;
            case ValueForm::kBoolean:
                items[name] = value.ToBool().value_or(false);
                break;
            case ValueForm::kDateTime:
            case ValueForm::kText:
                items[name] = ShownText(name, value, ItemText(packet.items, name + "_UNIT"));
                break;
        }
    }
    Json line = Json::object();
    line["time"] = packet.time;
    line["port"] = packet.port;
    line["source"] = packet.source;
    line["items"] = std::move(items);
    return tools::JsonText(line);
}

std::vector<std::string> PacketCsvRows(const PortPacket& packet) {
    const std::string head = CsvField(packet.time) + "," + CsvField(packet.port) + "," +
                             CsvField(ItemText(packet.items, "DEVICE_ID")) + "," +
                             CsvField(ItemText(packet.items, "SERIAL_NO")) + ",";
    std::vector<std::string> rows;
    for (const auto& r : RegisterValues(packet.items)) {
        rows.push_back(head + CsvField(r.name) + "," +
                       CsvField(ShownText(r.name, r.value, r.unit)) + "," + CsvField(r.unit));
    }
    return rows;
}

}  // namespace zol::hostsim
