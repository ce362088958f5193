#include "common/device_server.h"

#include <algorithm>
#include <cctype>
#include <chrono>

namespace zol::tools {

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

std::optional<std::uint16_t> ParsePort(std::string_view text) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (value == 0 || value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

std::uint64_t SteadyMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

}  // namespace

bool NamesDeviceServer(std::string_view text) {
    return StartsWithNoCase(text, "tcp:") || StartsWithNoCase(text, "rfc2217:");
}

std::optional<DeviceServerAddress> ParseDeviceServerAddress(std::string_view text,
                                                            std::string& error) {
    DeviceServerAddress address;
    address.rfc2217 = StartsWithNoCase(text, "rfc2217:");
    if (!address.rfc2217 && !StartsWithNoCase(text, "tcp:")) {
        error = "'" + std::string(text) + "' is not tcp:HOST:PORT or rfc2217:HOST:PORT";
        return std::nullopt;
    }
    const std::string_view rest = text.substr(text.find(':') + 1);
    // The last colon ends the host, so a bracketed IPv6 address keeps its own.
    const auto colon = rest.rfind(':');
    const auto port =
        colon == std::string_view::npos ? std::nullopt : ParsePort(rest.substr(colon + 1));
    if (colon == 0 || !port) {
        error = "'" + std::string(text) + "' is not " +
                (address.rfc2217 ? "rfc2217:HOST:PORT" : "tcp:HOST:PORT");
        return std::nullopt;
    }
    address.host = std::string(rest.substr(0, colon));
    address.port = *port;
    return address;
}

std::string DeviceServerName(const DeviceServerAddress& address) {
    return address.host + ":" + std::to_string(address.port);
}

bool OpenComPortSession(Rfc2217Client& client, const ByteConnection& connection,
                        std::uint32_t timeout_ms, const std::string& where, std::string& error) {
    const LineFormat wanted = client.WantedLine();
    std::vector<std::uint8_t> to_server, data, received;
    client.Start(to_server);
    const std::uint64_t deadline = SteadyMs() + timeout_ms;
    for (;;) {
        if (!to_server.empty()) {
            if (!connection.send(to_server)) {
                error = "cannot write to " + where;
                return false;
            }
            to_server.clear();
        }
        switch (client.LineStage()) {
            case Rfc2217Client::Stage::kLineSet:
                return true;
            case Rfc2217Client::Stage::kRefused:
                error = where + " does not set the line (it refused the RFC 2217 COM-port option)";
                return false;
            case Rfc2217Client::Stage::kOtherLine:
                error = where + " set its line to " + LineFormatText(client.ServerLine()) +
                        ", not " + LineFormatText(wanted);
                return false;
            case Rfc2217Client::Stage::kNegotiating:
                break;
        }
        const std::uint64_t now = SteadyMs();
        if (now >= deadline) {
            error = "no RFC 2217 answer from " + where + " within " + std::to_string(timeout_ms) +
                    " ms (a raw TCP port is reached with tcp:)";
            return false;
        }
        received.clear();
        if (!connection.receive(static_cast<std::uint32_t>(deadline - now), received)) {
            error = where + " closed the connection while the line was being set";
            return false;
        }
        client.Decode(received, data, to_server);
        data.clear();
    }
}

}  // namespace zol::tools
