#include "common/wire_time.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <vector>

#include "kmp/kmp_frame.h"

namespace zol::tools {

namespace {

std::optional<unsigned> Number(std::string_view text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// "8N2": data bits, parity, stop bits.
bool ReadFormat(std::string_view text, LineFraming& line) {
    if (text.size() != 3) return false;
    const char parity = static_cast<char>(std::toupper(static_cast<unsigned char>(text[1])));
    if (text[0] < '5' || text[0] > '8' ||
        std::string_view("NEOMS").find(parity) == std::string_view::npos ||
        (text[2] != '1' && text[2] != '2')) {
        return false;
    }
    line.data_bits = static_cast<unsigned>(text[0] - '0');
    line.parity = parity;
    line.stop_bits = static_cast<unsigned>(text[2] - '0');
    return true;
}

bool ReadBaud(std::string_view text, LineFraming& line) {
    const auto baud = Number(text);
    if (!baud || *baud < 50 || *baud > 4'000'000) return false;
    line.baud = *baud;
    return true;
}

std::size_t EscapedSize(std::span<const std::uint8_t> bytes) {
    return static_cast<std::size_t>(std::count_if(bytes.begin(), bytes.end(), kmp::NeedsEscape)) +
           bytes.size();
}

// A reply frame: start byte, the known bytes stuffed exactly, the unknown ones with their
// allowance, stop byte.
std::size_t ReplyFrameBytes(std::span<const std::uint8_t> known, std::size_t unknown) {
    return 2 + EscapedSize(known) + unknown +
           (unknown + kUnknownBytesPerEscape - 1) / kUnknownBytesPerEscape;
}

ExchangeWireTime Exchange(const LineFraming& line, std::size_t request_bytes,
                          std::size_t reply_bytes, double latency_ms) {
    const double character = CharacterMs(line);
    ExchangeWireTime time;
    time.request_bytes = request_bytes;
    time.reply_bytes = reply_bytes;
    time.request_ms = static_cast<double>(request_bytes) * character;
    time.reply_ms = static_cast<double>(reply_bytes) * character;
    time.latency_ms = latency_ms;
    time.total_ms = time.request_ms + time.latency_ms + time.reply_ms;
    return time;
}

ExchangeWireTime Identification(const LineFraming& line, std::uint8_t address, std::uint8_t cid,
                                double latency_ms) {
    const auto request = kmp::KmpStuff(kmp::BuildIdentificationRequest(address, cid));
    const std::uint8_t known[] = {address, cid};
    // Four data bytes and the checksum.
    return Exchange(line, request.size(), ReplyFrameBytes(known, 4 + 2), latency_ms);
}

}  // namespace

std::optional<LineFraming> ParseLineFraming(std::string_view text) {
    LineFraming line;
    const auto blank = text.find(' ');
    if (blank != std::string_view::npos) {
        if (!ReadBaud(text.substr(0, blank), line)) return std::nullopt;
        if (!ReadFormat(text.substr(blank + 1), line)) return std::nullopt;
        return line;
    }
    if (ReadFormat(text, line) || ReadBaud(text, line)) return line;
    return std::nullopt;
}

std::string LineFramingText(const LineFraming& line) {
    return std::to_string(line.baud) + ' ' + std::to_string(line.data_bits) + line.parity +
           std::to_string(line.stop_bits);
}

double CharacterMs(const LineFraming& line) noexcept {
    if (line.baud == 0) return 0;
    const unsigned bits = 1 + line.data_bits + (line.parity == 'N' ? 0u : 1u) + line.stop_bits;
    return 1000.0 * bits / line.baud;
}

ExchangeWireTime& ExchangeWireTime::operator+=(const ExchangeWireTime& other) noexcept {
    request_bytes += other.request_bytes;
    reply_bytes += other.reply_bytes;
    request_ms += other.request_ms;
    reply_ms += other.reply_ms;
    latency_ms += other.latency_ms;
    total_ms += other.total_ms;
    return *this;
}

ExchangeWireTime RegisterReadWireTime(const LineFraming& line, std::uint8_t address,
                                      std::span<const std::uint16_t> register_ids,
                                      double latency_ms) {
    const auto request = kmp::KmpStuff(kmp::BuildRegisterRequest(address, register_ids));
    const auto ids = register_ids.first(std::min(register_ids.size(), kmp::kMaxRequestRegisters));
    // Known: address, command, and per block the register id and the value length.
    std::vector<std::uint8_t> known = {address, kmp::CidGetRegister};
    for (const std::uint16_t id : ids) {
        known.push_back(static_cast<std::uint8_t>(id >> 8));
        known.push_back(static_cast<std::uint8_t>(id & 0xFF));
        known.push_back(static_cast<std::uint8_t>(kAssumedValueBytes));
    }
    // Unknown: per block the unit, the exponent and the value; then the checksum.
    const std::size_t unknown = ids.size() * (2 + kAssumedValueBytes) + 2;
    return Exchange(line, request.size(), ReplyFrameBytes(known, unknown), latency_ms);
}

ExchangeWireTime RegisterReadWireTime(const LineFraming& line,
                                      std::span<const std::uint16_t> register_ids,
                                      double latency_ms) {
    return RegisterReadWireTime(line, kPlainAddress, register_ids, latency_ms);
}

ExchangeWireTime TypeRequestWireTime(const LineFraming& line, std::uint8_t address,
                                     double latency_ms) {
    return Identification(line, address, kmp::CidGetType, latency_ms);
}

ExchangeWireTime SerialRequestWireTime(const LineFraming& line, std::uint8_t address,
                                       double latency_ms) {
    return Identification(line, address, kmp::CidGetSerialNo, latency_ms);
}

ExchangeWireTime RequestCycleWireTime(const LineFraming& line, std::uint8_t address,
                                      std::span<const std::uint16_t> register_ids, bool identified,
                                      double latency_ms) {
    ExchangeWireTime total;
    if (!identified) {
        total += TypeRequestWireTime(line, address, latency_ms);
        total += SerialRequestWireTime(line, address, latency_ms);
    }
    total += RegisterReadWireTime(line, address, register_ids, latency_ms);
    return total;
}

}  // namespace zol::tools
