#include "kmptool/discover_run.h"

#include <cstdio>
#include <memory>
#include <string>

#include "common/device_server.h"
#include "common/exit_codes.h"
#include "common/text_encoding.h"
#include "kmptool/sim_line.h"
#include "kmptool/transport.h"
#include "metersim/meter_line.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace zol::kmptool {

namespace {

bool StderrIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return ::isatty(2) != 0;
#endif
}

std::string Duration(std::uint64_t ms) {
    const std::uint64_t seconds = (ms + 999) / 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                  static_cast<unsigned long long>(seconds % 60));
    return text;
}

// The progress display: a bar redrawn in place on a terminal, otherwise a line at every tenth of
// the addresses, so a log or a CI job is not flooded.
class ProgressDisplay {
   public:
    ProgressDisplay() : terminal_(StderrIsTerminal()) {}

    void Show(const DiscoverProgress& p) {
        if (p.total == 0) return;
        const std::size_t tenth = p.done * 10 / p.total;
        if (terminal_) {
            constexpr std::size_t kWidth = 30;
            const std::size_t filled = p.done * kWidth / p.total;
            std::fprintf(stderr, "\r[%s%s] %zu/%zu addresses, %zu found, %s left ",
                         std::string(filled, '#').c_str(),
                         std::string(kWidth - filled, '.').c_str(), p.done, p.total, p.found,
                         Duration(p.left_ms).c_str());
            drawn_ = true;
        } else if (p.done > 0 && tenth > last_tenth_) {
            std::fprintf(stderr,
                         "kmptool discover: %zu%% (%zu of %zu addresses), %zu found, %s left\n",
                         tenth * 10, p.done, p.total, p.found, Duration(p.left_ms).c_str());
        }
        last_tenth_ = tenth;
        std::fflush(stderr);
    }

    // Ends the bar's line, so what follows starts on a line of its own.
    void Finish() {
        if (drawn_) std::fprintf(stderr, "\n");
        drawn_ = false;
    }

   private:
    bool terminal_;
    bool drawn_ = false;
    std::size_t last_tenth_ = 0;
};

std::unique_ptr<Transport> OpenLine(const DiscoverCommand& command, int& exit_code) {
    SerialSettings settings;
    if (command.baud) settings.baud = *command.baud;
    std::string error;
    std::unique_ptr<Transport> line;
    switch (command.line) {
        case DiscoverCommand::Line::kSim: {
            const auto meters = metersim::ParseMeterLine(command.target, error);
            if (!meters) {
                std::fprintf(stderr, "kmptool discover: bad --sim line '%s': %s\n",
                             command.target.c_str(), error.c_str());
                exit_code = tools::kExitUsage;
                return nullptr;
            }
            metersim::MeterSimulator sim;
            for (const auto& meter : *meters) sim.AddMeter(meter);
            return std::make_unique<SimulatedMeterLine>(std::move(sim), settings.baud);
        }
        case DiscoverCommand::Line::kTcp:
        case DiscoverCommand::Line::kRfc2217: {
            const bool rfc2217 = command.line == DiscoverCommand::Line::kRfc2217;
            const auto address = tools::ParseDeviceServerAddress(
                (rfc2217 ? "rfc2217:" : "tcp:") + command.target, error);
            if (!address) {
                std::fprintf(stderr, "kmptool discover: %s\n", error.c_str());
                exit_code = tools::kExitUsage;
                return nullptr;
            }
            line = OpenDeviceServer(*address, settings, error);
            break;
        }
        case DiscoverCommand::Line::kSerial:
            line = OpenSerialPort(command.target, settings, error);
            break;
    }
    if (!line) {
        // The system's own text may be in any language (UTF-8, see LastErrorText).
        tools::WriteLine(stderr, "kmptool discover: " + error);
        exit_code = tools::kExitFailed;
    }
    return line;
}

// Notes for a technician about the meters found: types the catalogue rule does not know, serial
// numbers that did not come, and which module configuration fits the line.
void PrintNotes(const std::vector<FoundMeter>& meters) {
    std::size_t electricity = 0;
    for (const FoundMeter& meter : meters) {
        if (meter.catalogue.catalogue == kmp::KmpCatalogue::kElectricity) ++electricity;
        if (!meter.catalogue.known) {
            std::fprintf(stderr,
                         "kmptool discover: meter %u: type %04X is not in the catalogue rule "
                         "(docs/discovery.md); its registers are taken from the heat catalogue "
                         "(kmptool read --catalogue electricity tells)\n",
                         meter.address, meter.type);
        }
        if (!meter.serial) {
            std::fprintf(stderr,
                         "kmptool discover: meter %u answered its type but no serial-number "
                         "request\n",
                         meter.address);
        } else if (*meter.serial == 0) {
            std::fprintf(stderr,
                         "kmptool discover: meter %u reports serial number 0: the plug-in "
                         "identifies it again before every reading\n",
                         meter.address);
        }
    }
    if (electricity > 0 && electricity < meters.size()) {
        std::fprintf(stderr,
                     "kmptool discover: the line holds %zu heat and %zu electricity meters: the "
                     "module configuration chosen names the values of one kind only\n",
                     meters.size() - electricity, electricity);
    }
}

bool WriteFile(const std::string& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace

int RunDiscover(DiscoverCommand command) {
    if (command.scan.addresses.empty()) {
        for (unsigned a = 1; a <= 254; ++a)
            command.scan.addresses.push_back(static_cast<std::uint8_t>(a));
    }
    int exit_code = tools::kExitDone;
    const auto line = OpenLine(command, exit_code);
    if (!line) return exit_code;

    CatchInterrupt();
    ProgressDisplay display;
    const DiscoverResult result = Discover(
        *line, command.scan, [&](const DiscoverProgress& p) { display.Show(p); },
        [] { return Interrupted(); });
    display.Finish();

    if (command.json) {
        std::printf("%s\n", FoundMetersJson(result.meters).c_str());
    } else {
        for (const FoundMeter& meter : result.meters)
            std::printf("%s\n", FoundMeterLine(meter).c_str());
    }
    std::fflush(stdout);
    PrintNotes(result.meters);
    for (const std::string& stray : StrayReport(result))
        std::fprintf(stderr, "kmptool discover: %s\n", stray.c_str());
    std::fprintf(
        stderr, "kmptool discover: %zu meter%s on %zu of %zu addresses in %s (%zu requests)\n",
        result.meters.size(), result.meters.size() == 1 ? "" : "s", result.asked,
        command.scan.addresses.size(), Duration(result.elapsed_ms).c_str(), result.requests);

    if (result.end == DiscoverEnd::kStopped) {
        std::fprintf(stderr, "kmptool discover: interrupted%s\n",
                     command.config_file ? "; no configuration written" : "");
        return tools::kExitInterrupted;
    }
    if (result.end == DiscoverEnd::kLineFailed) {
        tools::WriteLine(stderr, "kmptool discover: the line failed: " + result.failure +
                                     (command.config_file ? "; no configuration written" : ""));
        return tools::kExitFailed;
    }
    if (result.meters.empty()) {
        std::fprintf(stderr, "kmptool discover: no meter answered%s\n",
                     command.config_file ? "; no configuration written" : "");
        return tools::kExitMeterSilent;
    }
    if (command.config_file) {
        command.config.timeout_ms = command.scan.timeout_ms;
        const std::string text = WriteOptionsText(result.meters, command.config);
        if (!WriteFile(*command.config_file, text)) {
            std::fprintf(stderr, "kmptool discover: cannot write %s\n",
                         command.config_file->c_str());
            return tools::kExitFailed;
        }
        std::fprintf(stderr, "kmptool discover: wrote %s (%zu meter%s)\n",
                     command.config_file->c_str(), result.meters.size(),
                     result.meters.size() == 1 ? "" : "s");
    }
    return tools::kExitDone;
}

}  // namespace zol::kmptool
