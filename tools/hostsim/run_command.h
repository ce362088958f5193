#pragma once
// The `run` action of hostsim: its options, the built-in demo configuration, and the run itself
// with its printed packets, output files and summary.

#include <optional>
#include <string>
#include <vector>

#include "hostsim/host_lib.h"
#include "hostsim/host_style.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace zol::hostsim {

struct RunArguments {
    std::optional<std::string> config_file;  // nothing: the built-in demo configuration
    std::uint32_t seconds = 20;
    std::optional<std::string> json_file;
    std::optional<std::string> csv_file;
    std::optional<std::string> report_file;  // the commissioning report, written at the end
    std::vector<std::pair<std::string, std::string>> ports;  // NAME, CONNECTION
    std::uint32_t baud = 1200;
    std::optional<std::size_t> config_index;
    bool soak = false;    // the soak with injected faults, on its own lines and configuration
    bool strict = false;  // a configuration with findings of the check is not started
    std::uint32_t seed = 1;
    // How the host's entry points treat the calling thread; nothing: plain for a run, each
    // style in turn for the soak.
    std::optional<HostStyle> host_style;
};

// The options of `run` as given on the command line, before they are checked.
struct RunOptionTexts {
    std::string config, json, csv, report, seconds, baud, config_id, seed, host_style;
    std::vector<std::string> ports;
    bool soak = false;
    bool strict = false;
    // Which of the texts were given (an empty --config "" is given and cannot be read).
    std::vector<const CLI::Option*> options;
};
// Declares the options of `run` on its subcommand, with one help line each.
void AddRunOptions(CLI::App& run, RunOptionTexts& texts);
// Checks what was given; nothing with `error` set when it is not usable.
std::optional<RunArguments> RunArgumentsOf(const RunOptionTexts& texts, std::string& error);

// The options text of the demo: polling every 2 s, a cron request, a passive request and one
// address no meter answers; and its two simulated ports.
extern const char* const kDemoOptionsText;
std::vector<std::pair<std::string, std::string>> DemoPorts();

// `report RUN.jsonl [LOG] [--config FILE] -o FILE.html`: the commissioning report again from a
// saved run.
struct ReportArguments {
    std::vector<std::string> inputs;  // RUN.jsonl and the optional saved log
    std::string output;
    std::string config_file;
    // The plug-in whose language the saved log is in (hostsim's --dll); empty: the one packaged
    // beside hostsim.
    std::string dll;
};
void AddReportOptions(CLI::App& report, ReportArguments& arguments);
int RebuildReport(const ReportArguments& arguments);

// Runs the host; the process's exit code (tools/common/exit_codes.h): 0 when every configured
// active meter delivered a packet, 1 when something could not be started or a port failed,
// 2 for a port text that names no port, 3 when a configured meter delivered nothing, 130 when
// Ctrl-C cut the run short. The soak keeps its own verdict (1 when a check failed).
int RunHost(const std::string& dll, ParamsMode mode, const RunArguments& arguments);

}  // namespace zol::hostsim
