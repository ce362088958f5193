#pragma once
// What `hostsim run` makes of the packets the plug-in delivers: one line on stdout, one JSON
// object per line, CSV rows of register values. Other tools read these forms, so they are fixed.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hostsim/host_lib.h"

namespace zol::hostsim {

struct PortPacket {
    std::string time;  // when the host received it, local, "YYYY-MM-DDTHH:MM:SS.mmm"
    std::string port;  // the data source's name
    std::int32_t source = 0;
    std::vector<NamedValue> items;
};

// One meter register of a packet: an item that is not a standard packet item, not one of the
// meter's identity items and not a unit, with its "<name>_UNIT" item's text.
struct RegisterValue {
    std::string name;
    common::Variant value;
    std::string unit;
};
std::vector<RegisterValue> RegisterValues(const std::vector<NamedValue>& items);

// An OLE date (local) as "YYYY-MM-DDTHH:MM:SS.mmm".
std::string DateTimeText(double ole_date);
// The local time now, in that form.
std::string NowText();
// A value as plain UTF-8 text: numbers as JSON writes them, date-times as DateTimeText, null and
// empty as "".
std::string PlainText(const common::Variant& value);

// A date-time register value as its unit item says people read it: "HH:MM:SS" for a unit
// "hh:mm:ss", "YYYY-MM-DD" for a date unit; any other value or unit as PlainText. The time stamps
// of a packet carry no such unit and stay full.
std::string RegisterDateTimeText(const common::Variant& value, std::string_view unit);

// The console line, the JSON and the CSV write clock and date registers as RegisterDateTimeText,
// and the frame items and any text holding control bytes as hexadecimal bytes ("3F 10 ..").

// "TIME PORT DEVICE_ID=.. SERIAL_NO=.. NAME=VALUE UNIT, ..." (no line end).
std::string PacketLine(const PortPacket& packet);
// {"time": .., "port": .., "source": .., "items": {..}} with every item (no line end).
std::string PacketJson(const PortPacket& packet);
inline constexpr const char* kCsvHeader = "time,port,device_id,serial_no,item,value,unit";
// One "time,port,device_id,serial_no,item,value,unit" row per register value (no line ends).
std::vector<std::string> PacketCsvRows(const PortPacket& packet);

}  // namespace zol::hostsim
