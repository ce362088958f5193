// kmptool discover: finds the meters on a line (every address asked for its type, and each that
// answers for its serial number) and writes the configuration that reads them.
#include <CLI/CLI.hpp>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "kmptool/cli.h"
#include "kmptool/commands.h"
#include "kmptool/discover_run.h"

namespace zol::kmptool {
namespace {

struct DiscoverArguments {
    bool json = false;
    bool force = false;
    std::optional<std::string> port, tcp, rfc2217, sim, baud, addresses, timeout, attempts,
        config_file, poll, registers;
};

int RunDiscoverArguments(const DiscoverArguments& given) {
    DiscoverCommand command;
    const int lines = given.port.has_value() + given.tcp.has_value() + given.rfc2217.has_value() +
                      given.sim.has_value();
    if (lines != 1) return UsageError("discover", "give one of --port, --tcp, --rfc2217, --sim");
    if (given.port) {
        command.line = DiscoverCommand::Line::kSerial;
        command.target = *given.port;
    } else if (given.tcp) {
        command.line = DiscoverCommand::Line::kTcp;
        command.target = *given.tcp;
    } else if (given.rfc2217) {
        command.line = DiscoverCommand::Line::kRfc2217;
        command.target = *given.rfc2217;
    } else {
        command.line = DiscoverCommand::Line::kSim;
        command.target = *given.sim;
    }
    if (given.baud) {
        if (given.tcp) return UsageError("discover", "--baud sets nothing over --tcp (raw bytes)");
        const auto baud = ParseLineSpeed(*given.baud);
        if (!baud) return UsageError("discover", LineSpeedError(*given.baud));
        command.baud = *baud;
    }
    if (given.addresses) {
        std::string error;
        auto list = ParseAddressList(*given.addresses, error);
        if (!list) return UsageError("discover", "--addresses: " + error);
        command.scan.addresses = std::move(*list);
    }
    if (given.timeout) {
        const auto t = ParseNumber(*given.timeout, 600000);
        if (!t || *t == 0) return UsageError("discover", "--timeout must be 1 to 600000 ms");
        command.scan.timeout_ms = *t;
    }
    if (given.attempts) {
        const auto a = ParseNumber(*given.attempts, 100);
        if (!a || *a == 0) return UsageError("discover", "--attempts must be 1 to 100");
        command.scan.attempts = *a;
    }
    command.json = given.json;
    command.config_file = given.config_file;
    command.force = given.force;
    if (given.force && !given.config_file) {
        return UsageError("discover", "--force goes with --write-config");
    }
    // What an interrupted scan's resume command repeats: everything but the addresses and the
    // file, which it sets itself.
    const std::pair<const char*, const std::optional<std::string>*> repeated[] = {
        {"--port", &given.port},         {"--tcp", &given.tcp},   {"--rfc2217", &given.rfc2217},
        {"--sim", &given.sim},           {"--baud", &given.baud}, {"--timeout", &given.timeout},
        {"--attempts", &given.attempts}, {"--poll", &given.poll}, {"--registers", &given.registers},
    };
    for (const auto& [name, value] : repeated) {
        if (!value->has_value()) continue;
        command.repeat.push_back(name);
        command.repeat.push_back(**value);
    }
    if (given.json) command.repeat.push_back("--json");
    if ((given.poll || given.registers) && !given.config_file) {
        return UsageError("discover", "--poll and --registers go with --write-config");
    }
    if (given.poll) {
        const auto interval = ParsePollInterval(*given.poll);
        if (!interval) {
            return UsageError("discover",
                              "--poll must be a number and a unit: 30S, 15M, 1H, 500MS");
        }
        command.config.poll = *interval;
    }
    if (given.registers) {
        if (*given.registers == "all") {
            command.config.registers = RegisterChoice::kAll;
        } else if (*given.registers != "default") {
            return UsageError("discover", "--registers must be default or all");
        }
    }
    return RunDiscover(std::move(command));
}

CommandRunner DefineDiscover(CLI::App& command) {
    auto given = std::make_shared<DiscoverArguments>();
    command.add_option("--port", given->port, "serial device (COM3, /dev/ttyUSB0)")
        ->type_name("DEVICE");
    command.add_option("--tcp", given->tcp, "serial device server, raw bytes")
        ->type_name("HOST:PORT");
    command
        .add_option("--rfc2217", given->rfc2217,
                    "serial device server speaking RFC 2217; the line is set on it")
        ->type_name("HOST:PORT");
    command
        .add_option("--sim", given->sim,
                    "simulated meters, as hostsim's sim: ports name them "
                    "(63,64,17/electricity/serial=N; metersim --meters prints one)")
        ->type_name("METERS");
    command.add_option("--baud", given->baud, "line speed on a serial port or --rfc2217 (1200)")
        ->type_name("N");
    command.add_option("--addresses", given->addresses, "addresses to ask (1-254)")
        ->type_name("A-B,C,...");
    command
        .add_option("--timeout", given->timeout, "reply timeout per request, 1 to 600000 ms (300)")
        ->type_name("MS");
    command.add_option("--attempts", given->attempts, "tries per request, 1 to 100 (2)")
        ->type_name("N");
    command.add_flag("--json", given->json,
                     "print the meters as one JSON array of {address, type, revision, serial, "
                     "catalogue}");
    command
        .add_option("--write-config", given->config_file,
                    "write the options text that polls every meter found")
        ->type_name("FILE");
    command.add_flag("--force", given->force, "overwrite the --write-config file if it exists");
    command.add_option("--poll", given->poll, "polling interval of the written requests (15M)")
        ->type_name("N{S|M|H|MS}");
    command
        .add_option("--registers", given->registers,
                    "registers the written requests read: default (energy, volume, temperatures, "
                    "power, date, time) or all of the catalogue")
        ->type_name("default|all");
    command.footer(
        "Each meter found is then asked for one register (its test read); one that fails is\n"
        "marked READ FAILED. Ctrl-C writes the meters found so far (marked incomplete) and\n"
        "prints the command that goes on.\n"
        "Exit codes: 0 at least one meter answered and every test read passed; 1 the line did\n"
        "            not open or failed, or the file could not be written; 2 usage error, or\n"
        "            the file exists without --force; 3 no meter answered, or a test read\n"
        "            failed; 130 interrupted (Ctrl-C)");
    return [given] { return RunDiscoverArguments(*given); };
}

const CommandRegistrar reg{{"discover",
                            "find the meters on a line and write the configuration that reads them",
                            &DefineDiscover}};

}  // namespace
}  // namespace zol::kmptool
