#pragma once
// The host's ports as the run loop drives them: a serial port, a serial device server reached
// over TCP (raw, or with the Telnet COM-port option), or simulated meters in this process. The
// run loop knows only this interface, so the kinds (and a test's own) swap in without #ifdef.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "metersim/meter_line.h"
#include "metersim/meter_simulator.h"

namespace zol::hostsim {

class PortTransport {
   public:
    virtual ~PortTransport() = default;
    // Writes every byte; false when the port could not be written. May be called from any
    // thread while another thread reads.
    virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
    // Waits at most `timeout_ms` for bytes and appends what arrived to `out` (nothing on
    // timeout). False when the port has failed for good (a closed connection, a lost device).
    virtual bool Read(std::uint32_t timeout_ms, std::vector<std::uint8_t>& out) = 0;
    // Why the port failed, when it knows ("" otherwise).
    virtual std::string FailureText() const { return {}; }
};

struct PortOptions {
    // Serial ports and device servers that set the line (rfc2217:); always 8 data bits, no
    // parity, 2 stop bits.
    std::uint32_t baud = 1200;
    std::uint32_t connect_timeout_ms = 5000;
};

// What a port text names: "COMn", "tcp:HOST:PORT", "rfc2217:HOST:PORT" or
// "sim:ADDR[/FAULT...],...".
enum class PortKind { kSerial, kTcp, kRfc2217, kSimulated };

struct PortAddress {
    PortKind kind = PortKind::kSerial;
    std::string device;                      // serial: COMn
    std::string host;                        // tcp, rfc2217
    std::uint16_t port = 0;                  // tcp, rfc2217
    std::vector<metersim::SimMeter> meters;  // simulated
};

// Reads a port text; nothing with `error` set when it names no port this host knows.
std::optional<PortAddress> ParsePortAddress(const std::string& text, std::string& error);

// The meter a `sim:` port text puts at an address (metersim's --line puts the same one there).
using metersim::SimulatedMeterAt;

// Opens the port; nullptr with `error` set when it cannot be opened.
std::unique_ptr<PortTransport> OpenPort(const PortAddress& address, const PortOptions& options,
                                        std::string& error);

// Each kind, for tests that open one directly. A device server with the COM-port option is
// asked to set `baud` 8N2 and must confirm it within `connect_timeout_ms`.
std::unique_ptr<PortTransport> OpenSerialPort(const std::string& device, std::uint32_t baud,
                                              std::string& error);
std::unique_ptr<PortTransport> OpenTcpPort(const std::string& host, std::uint16_t port,
                                           std::uint32_t connect_timeout_ms, std::string& error);
std::unique_ptr<PortTransport> OpenRfc2217Port(const std::string& host, std::uint16_t port,
                                               std::uint32_t baud, std::uint32_t connect_timeout_ms,
                                               std::string& error);
// Simulated meters hear the port at `baud` 8N2 (those paced at another speed answer noise).
std::unique_ptr<PortTransport> OpenSimulatedPort(std::vector<metersim::SimMeter> meters,
                                                 std::uint32_t baud = 1200);

}  // namespace zol::hostsim
