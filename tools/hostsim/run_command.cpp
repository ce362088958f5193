#include "hostsim/run_command.h"

#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>

#include "common/config_check.h"
#include "common/exit_codes.h"
#include "common/line_budget.h"
#include "common/text_encoding.h"
#include "hostsim/host_run.h"
#include "hostsim/line_use.h"
#include "hostsim/report_page.h"
#include "hostsim/soak.h"
#include "parser/options_text.h"
#include "platform/system.h"

namespace zol::hostsim {

namespace {

std::atomic<bool> g_interrupted{false};

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    g_interrupted = true;  // the run loop ends and the run is closed down with its summary
    return TRUE;
}

std::optional<std::uint32_t> Number(const std::string& text, std::uint32_t max) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != text.npos) {
        return std::nullopt;
    }
    const auto value = static_cast<std::uint32_t>(std::stoul(text));
    return value <= max ? std::optional(value) : std::nullopt;
}

std::optional<std::string> ReadTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return text;
}

// What the host's style did in a run: "host style: main-thread-write: ..." (see HostStyleText).
std::string HostStyleLine(HostStyle style, const HostRun& run) {
    return std::string("host style: ") + HostStyleName(style) + ": " +
           HostStyleText(style, run.StyleCounts());
}

bool WriteTextFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return static_cast<bool>(out);
}

}  // namespace

void AddReportOptions(CLI::App& report, ReportArguments& arguments) {
    report
        .add_option("RUN.jsonl", arguments.inputs,
                    "the saved --json lines of a run, and optionally its saved stderr")
        ->type_name("[LOG]");
    report.add_option("-o", arguments.output, "the report page to write")->type_name("FILE.html");
    report
        .add_option("--config", arguments.config_file,
                    "the options text of the run: requests, never-asked meters, findings")
        ->type_name("FILE");
}

int RebuildReport(const ReportArguments& arguments) {
    const auto& inputs = arguments.inputs;
    const std::string& output = arguments.output;
    const std::string& config_file = arguments.config_file;
    if (output.empty() || inputs.empty() || inputs.size() > 2) {
        std::fprintf(stderr,
                     "hostsim: report needs RUN.jsonl [LOG] [--config FILE] -o FILE.html\n");
        return 2;
    }
    const auto json = ReadTextFile(inputs[0]);
    const auto log = inputs.size() > 1 ? ReadTextFile(inputs[1]) : std::optional<std::string>("");
    if (!json || !log) {
        std::fprintf(stderr, "hostsim: cannot read %s\n", (json ? inputs[1] : inputs[0]).c_str());
        return 1;
    }
    std::size_t skipped = 0;
    RunRecord record = ReadRunRecord(*json, *log, skipped);
    // The saved log is in the language of the plug-in that wrote it: its language files tell
    // that language, as they told the run. Without --dll, the plug-in the package puts beside
    // hostsim.
    record.markers = PluginLogMarkers(
        arguments.dll.empty() ? platform::HostProgramFolder() + "kmpparser.dll" : arguments.dll);
    if (!config_file.empty()) {
        const auto options = ReadTextFile(config_file);
        if (!options) {
            std::fprintf(stderr, "hostsim: cannot read %s\n", config_file.c_str());
            return 1;
        }
        record.config_file = config_file;
        record.requests = ConfiguredRequests(*options);
        for (const auto& finding : tools::CheckOptionsText(*options)) {
            tools::WriteLine(stderr, tools::FindingLine(finding));
        }
        record.active = ActiveAddresses(*options);
    }
    if (skipped > 0) {
        std::fprintf(stderr, "hostsim: %zu lines of %s are not packets; left out\n", skipped,
                     inputs[0].c_str());
    }
    if (!WriteTextFile(output, ReportPage(record))) {
        std::fprintf(stderr, "hostsim: cannot write %s\n", output.c_str());
        return 1;
    }
    std::printf("report: %s (%zu packets, %zu log lines)\n", output.c_str(), record.packets.size(),
                record.log.size());
    return 0;
}

// Heat meters at addresses 63 and 65 on each of two simulated lines (addresses are per line): on
// the first, 65 sends a damaged checksum every fourth reply; on the second, 63 replies late and
// in pieces. Address 70 has no meter on either line, so its requests time out. The meters live
// 600 times faster than the clock, so a short run shows hours of counting and changing
// temperatures.
const char* const kDemoOptionsText = R"(<?xml version="1.0"?>
<QUERY>
  <Request caption="Heat">
    <Enabled check="2"/>
    <Device>63;65</Device>
    <Timeout>300</Timeout>
    <RequestMethod><MethodPoll check="2"><PollInterval>2</PollInterval><PollUnits>S</PollUnits></MethodPoll></RequestMethod>
    <Response><Item><Register>003C</Register></Item><Item><Register>0044</Register></Item><Item><Register>0056</Register></Item><Item><Register>0057</Register></Item><Item><Register>0050</Register></Item></Response>
  </Request>
  <Request caption="Meter clock">
    <Enabled check="2"/>
    <Device>63</Device>
    <Timeout>300</Timeout>
    <RequestMethod><MethodCron check="2"><CronTime>*/5 * * * * *</CronTime></MethodCron></RequestMethod>
    <Response><Item><Custom>1003</Custom></Item><Item><Custom>1002</Custom></Item></Response>
  </Request>
  <Request caption="Silent">
    <Enabled check="2"/>
    <Device>70</Device>
    <Timeout>300</Timeout>
    <RequestMethod><MethodPoll check="2"><PollInterval>4</PollInterval><PollUnits>S</PollUnits></MethodPoll></RequestMethod>
    <Response><Item><Register>003C</Register></Item></Response>
  </Request>
  <Passive><Device>67</Device><Response><Item><Register>003C</Register></Item></Response></Passive>
</QUERY>
)";

std::vector<std::pair<std::string, std::string>> DemoPorts() {
    return {{"SIM1", "sim:63/pace=600,65/corrupt=4/pace=600"},
            {"SIM2", "sim:63/delay=150/split=6/pace=600,65/pace=600"}};
}

void AddRunOptions(CLI::App& run, RunOptionTexts& texts) {
    // A repeated option counts with its last value, as before CLI11 read the line.
    const auto add = [&](const char* name, std::string& text, const char* type, const char* help) {
        auto* option = run.add_option(name, text, help)->type_name(type);
        option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        texts.options.push_back(option);
    };
    add("--config", texts.config, "FILE", "the options text (default: the built-in demo)");
    add("--seconds", texts.seconds, "N", "how long the run polls (default 20)");
    add("--json", texts.json, "FILE", "write each packet as a JSON line");
    add("--csv", texts.csv, "FILE", "write each register value as a CSV row");
    add("--report", texts.report, "FILE.html", "write the commissioning report at the end");
    run.add_option("--port", texts.ports,
                   "a port of the run, once per port (default: two demo lines)")
        ->type_name("NAME=CONNECTION")
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    add("--baud", texts.baud, "N", "the line speed of serial ports and RFC 2217 (default 1200)");
    add("--config-id", texts.config_id, "N", "the module configuration to start (default 0)");
    run.add_flag("--strict", texts.strict,
                 "do not start when the configuration check finds anything");
    run.add_flag("--soak", texts.soak, "the soak: own lines, injected faults, checked verdict");
    add("--seed", texts.seed, "N", "the soak's random seed (default 1)");
    add("--host-style", texts.host_style, "STYLE",
        "how the host's entry points treat the calling thread:\n"
        "plain (a run's default), main-thread-write (the main\n"
        "thread writes for the others while they wait) or pumping\n"
        "(they run the message loop); the soak takes each in turn\n"
        "(rotate, its default) unless one is named");
    run.footer(
        "CONNECTION: COMn | tcp:HOST:PORT | rfc2217:HOST:PORT | sim:ADDR[/FAULT...],...\n"
        "exit codes: 0 done, every configured meter delivered a packet; 1 could not start, or a\n"
        "port failed; 2 usage error; 3 a configured meter never delivered a packet; 130\n"
        "interrupted (Ctrl-C). --soak: 0 passed, 1 a check failed.\n"
        "--host-style main-thread-write: exit code 1 also when the host hung (a port write\n"
        "waited 10 s for the main thread; it is then answered as not written).");
}

std::optional<RunArguments> RunArgumentsOf(const RunOptionTexts& texts, std::string& error) {
    const auto given = [&](const char* name) {
        for (const CLI::Option* option : texts.options) {
            if (option->check_lname(name + 2)) return option->count() > 0;
        }
        return false;
    };
    RunArguments out;
    out.soak = texts.soak;
    out.strict = texts.strict;
    if (given("--config")) out.config_file = texts.config;
    if (given("--json")) out.json_file = texts.json;
    if (given("--csv")) out.csv_file = texts.csv;
    if (given("--report")) out.report_file = texts.report;
    if (given("--host-style") && texts.host_style != "rotate") {
        out.host_style = HostStyleNamed(texts.host_style);
        if (!out.host_style) {
            error = "--host-style needs plain, main-thread-write, pumping or rotate, not '" +
                    texts.host_style + "'";
            return std::nullopt;
        }
    }
    const std::pair<const char*, const std::string*> numbers[] = {{"--seconds", &texts.seconds},
                                                                  {"--baud", &texts.baud},
                                                                  {"--config-id", &texts.config_id},
                                                                  {"--seed", &texts.seed}};
    for (const auto& [option, value] : numbers) {
        if (!given(option)) continue;
        const std::string name = option;
        const auto number = Number(*value, 10000000);
        if (!number || (name != "--config-id" && name != "--seed" && *number == 0)) {
            error = name + " needs a number, not '" + *value + "'";
            return std::nullopt;
        }
        if (name == "--seconds") out.seconds = *number;
        if (name == "--baud") out.baud = *number;
        if (name == "--config-id") out.config_index = *number;
        if (name == "--seed") out.seed = *number;
    }
    for (const std::string& value : texts.ports) {
        const auto eq = value.find('=');
        if (eq == 0 || eq == std::string::npos || eq + 1 == value.size() ||
            value.find(';') != std::string::npos) {
            error = "--port needs NAME=CONNECTION, not '" + value + "'";
            return std::nullopt;
        }
        const std::string name = value.substr(0, eq);
        for (const auto& [other, connection] : out.ports) {
            if (_stricmp(other.c_str(), name.c_str()) == 0) {
                error = "port " + name + " given twice";
                return std::nullopt;
            }
        }
        out.ports.emplace_back(name, value.substr(eq + 1));
    }
    if (out.soak && (out.config_file || out.csv_file || out.report_file || !out.ports.empty() ||
                     out.config_index || out.strict)) {
        error = "--soak runs its own lines and configuration; it takes --seconds, --seed, --json";
        return std::nullopt;
    }
    if (!out.soak && given("--host-style") && !out.host_style) {
        error = "--host-style rotate takes each style in turn in the soak; a run takes one style";
        return std::nullopt;
    }
    return out;
}

int RunHost(const std::string& dll, ParamsMode mode, const RunArguments& arguments) {
    using tools::kExitFailed;
    if (arguments.soak) {
        return RunSoak(
            dll, mode,
            {arguments.seconds, arguments.seed, arguments.json_file, arguments.host_style});
    }
    auto fail = [](const std::string& message, int code = kExitFailed) {
        tools::WriteLine(stderr, "hostsim: " + message);
        return code;
    };
    // Port texts first: one that names no port is a mistake on the command line, whatever else.
    const auto port_texts = arguments.ports.empty() ? DemoPorts() : arguments.ports;
    std::vector<PortAddress> addresses;
    for (const auto& [name, connection] : port_texts) {
        std::string error;
        auto address = ParsePortAddress(connection, error);
        if (!address) return fail("port " + name + ": " + error, tools::kExitUsage);
        addresses.push_back(std::move(*address));
    }
    std::string options_text = kDemoOptionsText;
    if (arguments.config_file) {
        auto text = ReadTextFile(*arguments.config_file);
        if (!text) return fail("cannot read " + *arguments.config_file);
        const auto document = parser::ReadOptionsText(*text);
        if (document.truncated || document.root.FindDescendant("QUERY") == nullptr) {
            return fail(*arguments.config_file + " is not an options text (no QUERY)");
        }
        options_text = std::move(*text);
    }
    // The configuration check, before anything starts: the second configuration of the module
    // names registers from the electricity catalogue.
    const auto findings = tools::CheckOptionsText(
        options_text, arguments.config_index == std::optional<std::size_t>(1)
                          ? kmp::KmpCatalogue::kElectricity
                          : kmp::KmpCatalogue::kHeat);
    for (const auto& finding : findings) {
        tools::WriteLine(stderr, tools::FindingLine(finding));
    }
    if (arguments.strict && !findings.empty()) {
        return fail("--strict: the configuration has " + std::to_string(findings.size()) +
                    (findings.size() == 1 ? " finding" : " findings") + "; not started");
    }
    // Every port is opened before the plug-in is loaded: one that cannot be opened stops the
    // run before anything has started.
    PortOptions port_options;
    port_options.baud = arguments.baud;
    std::vector<std::unique_ptr<PortTransport>> transports;
    for (std::size_t i = 0; i < port_texts.size(); ++i) {
        std::string error;
        auto transport = OpenPort(addresses[i], port_options, error);
        if (transport == nullptr) return fail("port " + port_texts[i].first + ": " + error);
        transports.push_back(std::move(transport));
    }
    // The line budget of each port whose bytes take the wire's time (a serial line, a device
    // server, a simulated line paced at a speed), at that speed: every port runs the whole
    // configuration. A simulated line that answers at once has no wire to run out of. Told once
    // the ports are open, so a run that cannot start says only why.
    const kmp::KmpCatalogue budget_catalogue =
        arguments.config_index == std::optional<std::size_t>(1) ? kmp::KmpCatalogue::kElectricity
                                                                : kmp::KmpCatalogue::kHeat;
    for (const auto& [name, connection] : port_texts) {
        const LineTiming timing = PortLineTiming(connection, arguments.baud);
        if (!timing.paced) continue;
        tools::LineBudgetSettings line_settings;
        line_settings.line.baud = timing.baud;
        const auto budget = tools::ComputeLineBudget(options_text, budget_catalogue, line_settings);
        if (auto text = tools::LineBudgetLine(name, budget)) tools::WriteLine(stderr, *text);
        for (const auto& text : tools::ShortTimeoutLines(name, budget, line_settings.line)) {
            tools::WriteLine(stderr, text);
        }
    }
    std::ofstream json, csv;
    if (arguments.json_file) {
        json.open(*arguments.json_file, std::ios::binary | std::ios::trunc);
        if (!json) return fail("cannot write " + *arguments.json_file);
    }
    if (arguments.csv_file) {
        csv.open(*arguments.csv_file, std::ios::binary | std::ios::trunc);
        if (!csv) return fail("cannot write " + *arguments.csv_file);
        csv << kCsvHeader << "\n";
    }

    std::ofstream report;
    if (arguments.report_file) {
        report.open(*arguments.report_file, std::ios::binary | std::ios::trunc);
        if (!report) return fail("cannot write " + *arguments.report_file);
    }

    PluginLibrary library;
    if (!library.Load(dll)) return fail(library.Error());
    HostRun run(library, mode);
    run.line_baud = arguments.baud;
    for (std::size_t i = 0; i < port_texts.size(); ++i) {
        run.AddPort(port_texts[i].first, port_texts[i].second, std::move(transports[i]));
    }
    // The report is fed what the run writes: each packet's JSON line and each log line with the
    // time it was collected, so a report rebuilt from the saved files is the same page.
    RunRecord record;
    record.start = NowText();
    if (arguments.config_file) record.config_file = *arguments.config_file;
    record.requests = ConfiguredRequests(options_text);
    record.active = ActiveAddresses(options_text);
    record.markers = run.Markers();
    for (const auto& [name, connection] : port_texts)
        record.ports.push_back({name, connection, 0, 0});
    std::mutex record_lock;  // port faults arrive on the ports' threads
    run.OnLogLine = [&](const HostWindow::LogLine& line) {
        const std::string time = NowText();
        tools::WriteLine(stderr,
                         time + " log[" + std::to_string(line.severity) + "]: " + line.text);
        std::lock_guard<std::mutex> guard(record_lock);
        record.log.push_back({time, line.severity, line.text});
    };
    run.OnPortFault = [&](const std::string& text) {
        const std::string time = NowText();
        tools::WriteLine(stderr, time + " hostsim: " + text);
        std::lock_guard<std::mutex> guard(record_lock);
        record.log.push_back({time, 0, text});
    };
    run.OnHostHang = run.OnPortFault;
    const HostStyle style = arguments.host_style.value_or(HostStyle::kPlain);
    run.SetStyle(style);
    run.OnPacket = [&](const PortPacket& packet) {
        if (report.is_open()) {
            std::lock_guard<std::mutex> guard(record_lock);
            if (auto parsed = ParsePacketJson(PacketJson(packet))) {
                record.packets.push_back(std::move(*parsed));
            }
        }
        tools::WriteLine(stdout, PacketLine(packet));
        std::fflush(stdout);
        if (json.is_open()) json << PacketJson(packet) << "\n" << std::flush;
        if (csv.is_open()) {
            for (const auto& row : PacketCsvRows(packet)) csv << row << "\n";
            csv.flush();
        }
    };
    const std::uint64_t total_ms = std::uint64_t{arguments.seconds} * 1000;
    const auto progress = [&](std::uint64_t elapsed_ms) {
        return ProgressLine(elapsed_ms, total_ms, run.Counts().packets, run.MetersHeard(),
                            run.MetersConfigured());
    };
    // A run is silent until its first packet otherwise; this says it is alive and how it goes.
    run.OnProgress = [&](std::uint64_t elapsed_ms) {
        std::fprintf(stderr, "%s hostsim: %s\n", NowText().c_str(), progress(elapsed_ms).c_str());
    };
    std::string error;
    if (!run.Start(options_text, arguments.config_index, error)) return fail(error);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    const std::uint64_t ran_ms = run.RunFor(arguments.seconds * 1000, g_interrupted);
    const bool interrupted = g_interrupted;
    if (interrupted) {
        // Said before the close-down, so the log shows where the run was cut.
        const std::string time = NowText();
        const std::string text = std::string(kInterruptedText) + ": " + progress(ran_ms);
        std::fprintf(stderr, "%s hostsim: %s\n", time.c_str(), text.c_str());
        std::lock_guard<std::mutex> guard(record_lock);
        record.log.push_back({time, 0, text});
        record.interrupted = time;
    }
    // The lines' figures over the time the run polled, before the close-down.
    const std::vector<LineUseFigures> line_uses = run.LineUses();
    run.Stop();
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    for (const auto& use : line_uses) {
        std::printf("%s\n", LineUseLine(use).c_str());
        if (json.is_open()) json << LineUseJson(use) << "\n" << std::flush;
    }
    const RunCounts counts = run.Counts();
    const std::vector<MeterTally> meters = run.MeterTallies();
    std::string silent;  // configured meters no packet came from
    for (const auto& meter : meters) {
        std::printf("%s\n", VerdictLine(meter).c_str());
        if (!meter.configured || meter.port.empty() || meter.packets > 0) continue;
        // "P1/70 (no answer to 9 requests)"
        std::string line = VerdictLine(meter).substr(std::string_view("meter ").size());
        if (const auto colon = line.find(": "); colon != std::string::npos) {
            line = line.substr(0, colon) + " (" + line.substr(colon + 2) + ")";
        }
        silent += (silent.empty() ? "" : ", ") + line;
    }
    if (report.is_open()) {
        record.end = NowText();
        const auto writes = run.PortWrites();
        for (std::size_t i = 0; i < record.ports.size() && i < writes.size(); ++i) {
            record.ports[i].writes = writes[i];
        }
        record.meters = meters;
        record.line_use = line_uses;
        report << ReportPage(record);
        report.close();
        if (!report) return fail("cannot write " + *arguments.report_file);
        std::printf("report: %s\n", arguments.report_file->c_str());
    }
    if (style != HostStyle::kPlain) std::printf("%s\n", HostStyleLine(style, run).c_str());
    std::printf("summary: writes=%u packets=%u timeouts=%u crc_errors=%u\n", counts.writes,
                counts.packets, counts.timeouts, counts.crc_errors);
    std::fflush(stdout);
    if (!silent.empty()) std::fprintf(stderr, "hostsim: no packet from meter %s\n", silent.c_str());
    if (interrupted) return tools::kExitInterrupted;
    if (run.Hangs() > 0) {
        std::fprintf(stderr, "hostsim: the host hung %u times during the run\n", run.Hangs());
        return kExitFailed;
    }
    if (run.PortFailed()) {
        std::fprintf(stderr, "hostsim: a port failed during the run\n");
        return kExitFailed;
    }
    return silent.empty() ? tools::kExitDone : tools::kExitMeterSilent;
}

}  // namespace zol::hostsim
