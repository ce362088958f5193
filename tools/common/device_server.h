#pragma once
// Serial device servers as the field tools name and open them: "tcp:HOST:PORT" carries the meter
// line's bytes raw, "rfc2217:HOST:PORT" speaks Telnet with the COM-port option and sets the line
// on the server. The socket itself is the transports' business; what happens on it is here.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/rfc2217.h"

namespace zol::tools {

struct DeviceServerAddress {
    bool rfc2217 = false;  // false: raw TCP
    std::string host;
    std::uint16_t port = 0;
};

// True when `text` starts with "tcp:" or "rfc2217:" (in any case), so it names a device server
// and nothing else.
bool NamesDeviceServer(std::string_view text);

// Reads "tcp:HOST:PORT" or "rfc2217:HOST:PORT"; nothing with `error` set otherwise.
std::optional<DeviceServerAddress> ParseDeviceServerAddress(std::string_view text,
                                                            std::string& error);

// "HOST:PORT", for messages.
std::string DeviceServerName(const DeviceServerAddress& address);

// The connection as the session opening sees it: `send` writes every byte (false when the
// connection failed); `receive` waits at most its argument in milliseconds and appends what came
// (false when the connection was closed or failed).
struct ByteConnection {
    std::function<bool(std::span<const std::uint8_t>)> send;
    std::function<bool(std::uint32_t, std::vector<std::uint8_t>&)> receive;
};

// Opens the Telnet session on a connected socket and waits, at most `timeout_ms`, until the
// server has confirmed the line `client` asks for. False with `error` set when the server refuses
// the COM-port option, sets another line, closes, or does not answer in time. Line data that
// arrives before the line is set was received at the old settings and is dropped.
bool OpenComPortSession(Rfc2217Client& client, const ByteConnection& connection,
                        std::uint32_t timeout_ms, const std::string& where, std::string& error);

}  // namespace zol::tools
