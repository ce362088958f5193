#include "kmptool/discover_run.h"

#include <cstdio>
#include <filesystem>
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

// An argument as a shell takes it back: quoted when it holds anything but plain characters.
std::string ShellWord(const std::string& word) {
    const bool plain = !word.empty() && word.find_first_not_of(
                                            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                            "0123456789_./:,=+-") == std::string::npos;
    if (plain) return word;
#ifdef _WIN32
    return "\"" + word + "\"";
#else
    std::string quoted = "'";
    for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
#endif
}

// The command that goes on with an interrupted scan: the same options, the meters found so far
// (asked again, a few frames each, so a written file is whole) and the addresses not yet asked.
std::string ResumeCommand(const DiscoverCommand& command, const DiscoverResult& result) {
    std::vector<std::uint8_t> addresses;
    for (const FoundMeter& meter : result.meters) addresses.push_back(meter.address);
    addresses.insert(addresses.end(),
                     command.scan.addresses.begin() + static_cast<std::ptrdiff_t>(result.asked),
                     command.scan.addresses.end());
    std::string line = "kmptool discover";
    for (const std::string& word : command.repeat) line += " " + ShellWord(word);
    line += " --addresses " + AddressListText(addresses);
    if (command.config_file)
        line += " --write-config " + ShellWord(*command.config_file) + " --force";
    return line;
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
    if (command.config_file && !command.force) {
        std::error_code ignored;
        if (std::filesystem::exists(*command.config_file, ignored)) {
            tools::WriteLine(stderr, "kmptool discover: " + *command.config_file +
                                         " exists: give --force to overwrite it");
            return tools::kExitUsage;
        }
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

    for (const FoundMeter& meter : result.meters) {
        const auto failure = TestReadFailure(meter.test_read);
        if (failure.empty()) continue;
        std::fprintf(stderr,
                     "kmptool discover: meter %u failed its test read (register %04X: %.*s): it "
                     "may never deliver a reading\n",
                     meter.address, meter.test_register, static_cast<int>(failure.size()),
                     failure.data());
    }
    const auto write_config = [&](const char* incomplete_word) {
        command.config.timeout_ms = command.scan.timeout_ms;
        if (command.baud) command.config.line.baud = *command.baud;
        const std::string text = WriteOptionsText(result.meters, command.config);
        if (!WriteFile(*command.config_file, text)) {
            std::fprintf(stderr, "kmptool discover: cannot write %s\n",
                         command.config_file->c_str());
            return false;
        }
        std::fprintf(stderr, "kmptool discover: wrote %s (%zu meter%s%s)\n",
                     command.config_file->c_str(), result.meters.size(),
                     result.meters.size() == 1 ? "" : "s", incomplete_word);
        return true;
    };

    if (result.end == DiscoverEnd::kStopped) {
        const bool all_asked = result.asked == command.scan.addresses.size();
        const std::string where =
            all_asked ? std::string("during the test reads")
                      : "at address " + std::to_string(command.scan.addresses[result.asked]);
        std::fprintf(stderr, "kmptool discover: interrupted %s\n", where.c_str());
        if (command.config_file && result.meters.empty()) {
            std::fprintf(stderr,
                         "kmptool discover: no meter found yet; no configuration written\n");
        } else if (command.config_file) {
            command.config.incomplete =
                "the scan was interrupted " + where + "; " +
                (all_asked ? std::string("the meters' test reads were not all done")
                           : "addresses " +
                                 AddressListText(std::vector<std::uint8_t>(
                                     command.scan.addresses.begin() +
                                         static_cast<std::ptrdiff_t>(result.asked),
                                     command.scan.addresses.end())) +
                                 " were not asked") +
                ". Run discovery again to complete this file.";
            if (!write_config(", incomplete")) return tools::kExitFailed;
        }
        tools::WriteLine(
            stderr, "kmptool discover: to go on from there: " + ResumeCommand(command, result));
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
    if (command.config_file && !write_config("")) return tools::kExitFailed;
    if (result.FailedReads() > 0) return tools::kExitMeterSilent;
    return tools::kExitDone;
}

}  // namespace zol::kmptool
