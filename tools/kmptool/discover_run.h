#pragma once
// kmptool discover as a whole, apart from reading its command line: opens the line, scans it with
// a progress display on stderr, prints the meters found, writes the configuration when asked, and
// gives the exit code (tools/common/exit_codes.h).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kmptool/discover.h"
#include "kmptool/discover_config.h"

namespace zol::kmptool {

struct DiscoverCommand {
    enum class Line : std::uint8_t { kSerial, kTcp, kRfc2217, kSim };
    Line line = Line::kSerial;
    // The serial device, HOST:PORT of the device server, or the simulated line's meters in the
    // form of hostsim's sim: ports ("63,64,17/electricity/serial=5512093").
    std::string target;
    std::optional<std::uint32_t> baud;  // serial port or RFC 2217 server; default 1200
    DiscoverOptions scan;               // addresses 1-254 unless set
    bool json = false;
    std::optional<std::string> config_file;  // --write-config
    bool force = false;                      // --force: an existing file may be overwritten
    ConfigOptions config;                    // its timeout is the scan's
    // The options given besides the addresses and the file, as typed, for the command that
    // resumes an interrupted scan ("--port", "/dev/ttyUSB0", "--timeout", "500", ...).
    std::vector<std::string> repeat;
};

// Runs the command; the exit code: 0 at least one meter answered and every test read passed, 3
// none answered or a test read failed, 1 the line could not be opened, failed, or the
// configuration could not be written, 2 a simulated line that does not read or a file that
// exists without `force`, 130 interrupted (the meters found so far are written, marked
// incomplete, and the command that goes on is printed).
int RunDiscover(DiscoverCommand command);

}  // namespace zol::kmptool
