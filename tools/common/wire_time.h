#pragma once
// How long a KMP exchange keeps a serial line busy: the request frame, the meter's reply latency
// and the reply frame, each byte sent as a start bit, its data bits, a parity bit when the line
// has one, and its stop bits. At 1200 baud 8N2 a byte takes 9.17 ms, so on a real line the wire,
// not the computer, sets how many readings a line carries.
//
// Request frames are counted exactly: they are built by the plug-in's own frame builder and
// stuffed. Reply frames are not known before they arrive, so their size follows the reply's
// layout with two stated allowances (see docs/line-budget.md):
//   - every register value is taken as kAssumedValueBytes bytes long;
//   - the bytes whose value is not known in advance (unit codes, exponents, values, checksum)
//     are taken to need one escape per kUnknownBytesPerEscape of them, rounded up; the bytes
//     that are known (address, command, register ids, value lengths) are stuffed exactly.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zol::tools {

// A serial line's speed and character format; the default is the KMP line, 1200 8N2.
struct LineFraming {
    unsigned baud = 1200;
    unsigned data_bits = 8;
    char parity = 'N';  // N, E, O, M or S
    unsigned stop_bits = 2;
    bool operator==(const LineFraming&) const = default;
};

// Reads "1200 8N2", "8N2" (speed 1200) or "1200" (format 8N2). Speeds from 50 to 4000000, data
// bits 5 to 8, parity N, E, O, M or S (either case), stop bits 1 or 2. Nothing for anything else.
std::optional<LineFraming> ParseLineFraming(std::string_view text);
// "1200 8N2".
std::string LineFramingText(const LineFraming& line);

// Time one character takes on the line, in milliseconds: start bit, data bits, the parity bit
// if any and the stop bits, over the speed. 1200 8N2: 11 bits, 9.1667 ms.
double CharacterMs(const LineFraming& line) noexcept;

// The value length a reply is taken to carry for each register.
inline constexpr std::size_t kAssumedValueBytes = 4;
// One escape is allowed for this many reply bytes whose value is not known in advance.
inline constexpr std::size_t kUnknownBytesPerEscape = 32;
// The meter's time from the end of a request to the start of its reply, unless told otherwise.
inline constexpr double kDefaultLatencyMs = 50;
// The address the forms without one assume: any address that is sent unescaped.
inline constexpr std::uint8_t kPlainAddress = 1;

// One exchange (or a run of them) on the wire.
struct ExchangeWireTime {
    std::size_t request_bytes = 0;  // request frames as sent, stuffing included
    std::size_t reply_bytes = 0;    // reply frames with the allowances above
    double request_ms = 0;
    double reply_ms = 0;
    double latency_ms = 0;  // the meter's reply latency, once per exchange
    double total_ms = 0;    // all of the above
    ExchangeWireTime& operator+=(const ExchangeWireTime& other) noexcept;
};

// A register read: the request for the first eight ids (as the plug-in sends them) and the
// reply with one block per requested register.
ExchangeWireTime RegisterReadWireTime(const LineFraming& line, std::uint8_t address,
                                      std::span<const std::uint16_t> register_ids,
                                      double latency_ms = kDefaultLatencyMs);
ExchangeWireTime RegisterReadWireTime(const LineFraming& line,
                                      std::span<const std::uint16_t> register_ids,
                                      double latency_ms = kDefaultLatencyMs);

// The identification steps: type request and its reply (type and software revision), serial
// number request and its reply (the serial number). Both replies carry four data bytes.
ExchangeWireTime TypeRequestWireTime(const LineFraming& line, std::uint8_t address = kPlainAddress,
                                     double latency_ms = kDefaultLatencyMs);
ExchangeWireTime SerialRequestWireTime(const LineFraming& line,
                                       std::uint8_t address = kPlainAddress,
                                       double latency_ms = kDefaultLatencyMs);

// One request of a meter as the plug-in runs it: the type and serial number first when the
// meter is not yet identified, then the register read.
ExchangeWireTime RequestCycleWireTime(const LineFraming& line, std::uint8_t address,
                                      std::span<const std::uint16_t> register_ids, bool identified,
                                      double latency_ms = kDefaultLatencyMs);

}  // namespace zol::tools
