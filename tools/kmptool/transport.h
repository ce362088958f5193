#pragma once
// The line kmptool read talks over: a serial port, or simulated meters in-process. The reader
// knows only this interface, so the real port and the simulator swap in without #ifdef.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

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
    // True once a read found the line gone for good (an error, a hang-up), not merely quiet.
    virtual bool Failed() const { return false; }
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

}  // namespace zol::kmptool
