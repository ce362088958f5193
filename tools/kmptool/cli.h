#pragma once
// Argument and output helpers shared by the kmptool subcommands.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kmp/kmp_registers.h"
#include "kmp/kmp_value.h"
#include "scheduler/date_helpers.h"

namespace zol::kmptool {

// A number written in decimal, or in hexadecimal with a 0x prefix; nothing when malformed or
// above `max`.
std::optional<std::uint32_t> ParseNumber(std::string_view text, std::uint32_t max = 0xFFFFFFFFu);

// Hex digits from all of `parts` (spaces and other separators between bytes are allowed); nothing
// when a digit pair is incomplete or a character is neither a hex digit nor a separator.
std::optional<std::vector<std::uint8_t>> ParseHex(std::span<const std::string> parts);

// Upper-case hex bytes separated by one space.
std::string HexBytes(std::span<const std::uint8_t> bytes);

// Splits "a,b,c" at commas; empty items are dropped.
std::vector<std::string> SplitList(std::string_view text);

// A register given by catalogue code or by number, as its id.
std::optional<std::uint16_t> ParseRegister(std::string_view text,
                                           std::span<const kmp::TKmpRegisterInfo> catalogue);

std::optional<kmp::KmpCatalogue> ParseCatalogue(std::string_view text);
const char* CatalogueName(kmp::KmpCatalogue which);

// Why `text` names no register of the `which` catalogue, and where the codes are listed; says so
// when `text` is a code of the other catalogue, as a heat meter's "E1" is no electricity code.
std::string UnknownRegisterText(std::string_view text, kmp::KmpCatalogue which);

// A value as kmptool prints it: integers in decimal, doubles as "%.15g", dates YYYY-MM-DD,
// times HH:MM:SS.
std::string FormatValue(const kmp::RegisterValue& value);

// A local time written YYYY-MM-DDTHH:MM:SS with an optional .mmm (one to three digits of a
// second); nothing when malformed or not a real date.
std::optional<scheduler::DateTimeParts> ParseLocalTime(std::string_view text);

// Why `text` is no --from time, with the form expected: "invalid --from time '...': ...".
std::string LocalTimeError(std::string_view text);

// The line speeds a serial port or a device server is set to, ascending.
inline constexpr std::uint32_t kLineSpeeds[] = {300,  600,   1200,  2400,  4800,
                                                9600, 19200, 38400, 57600, 115200};
// A speed of kLineSpeeds written in decimal; nothing for any other text.
std::optional<std::uint32_t> ParseLineSpeed(std::string_view text);
// "--baud must be one of 300, 600, ..., 115200 (not '1234')".
std::string LineSpeedError(std::string_view text);

// Prints "kmptool <command>: <message>" to stderr and returns the usage exit code 2.
int UsageError(const char* command, const std::string& message);

// The option help texts several subcommands share.
inline constexpr const char* kCatalogueHelp = "register catalogue: heat (default) or electricity";

}  // namespace zol::kmptool
