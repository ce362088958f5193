#pragma once
// The line kmptool read talks over: a serial port, a serial device server over TCP, or simulated
// meters in-process. The reader knows only this interface, so they swap in without #ifdef.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/device_server.h"

namespace zol::kmptool {

class Transport {
   public:
    virtual ~Transport() = default;
    // False when the bytes could not be written.
    virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
    // Waits at most `timeout_ms` for bytes and returns what arrived; empty on timeout or error.
    virtual std::vector<std::uint8_t> Read(std::uint32_t timeout_ms) = 0;
    // Milliseconds on the line's own clock (the simulator's is virtual).
    virtual std::uint64_t NowMs() = 0;
    // Why the line is gone for good (a device server that hung up, a serial device that failed
    // or hung up); "" while it works, however quiet.
    virtual std::string FailureText() const { return {}; }
};

// Ctrl-C (SIGINT, or the console's Ctrl-C and Ctrl-Break) from here on only sets a flag that
// Interrupted() reports, so a command can end in order with its own exit code.
void CatchInterrupt();
bool Interrupted();

struct SerialSettings {
    std::uint32_t baud = 1200;  // what meters' optical and wired ports use out of the box
    // Always 8 data bits, no parity and 2 stop bits: the KMP line format.
};

// Opens a serial device (/dev/ttyUSB0, COM3). On failure returns nullptr with `error` set.
std::unique_ptr<Transport> OpenSerialPort(const std::string& device, const SerialSettings& settings,
                                          std::string& error);

// A TCP connection as the platform's sockets give it, closed when destroyed.
class TcpConnection {
   public:
    virtual ~TcpConnection() = default;
    // Writes every byte; false when the connection failed.
    virtual bool Send(std::span<const std::uint8_t> bytes) = 0;
    // Waits at most `timeout_ms` and appends what came; false when the connection was closed or
    // failed.
    virtual bool Receive(std::uint32_t timeout_ms, std::vector<std::uint8_t>& out) = 0;
    virtual std::uint64_t NowMs() = 0;
};

// Connects to HOST:PORT within `timeout_ms`; nullptr with `error` set when that fails.
std::unique_ptr<TcpConnection> ConnectTcp(const std::string& host, std::uint16_t port,
                                          std::uint32_t timeout_ms, std::string& error);

// Opens a serial device server: raw bytes for tcp:, or for rfc2217: a Telnet session that sets
// `settings.baud` 8N2 on the server first. On failure returns nullptr with `error` set.
std::unique_ptr<Transport> OpenDeviceServer(const tools::DeviceServerAddress& address,
                                            const SerialSettings& settings, std::string& error);

}  // namespace zol::kmptool
