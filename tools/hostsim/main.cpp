// hostsim: plays the host application against a plug-in DLL.
//
//   hostsim --dll PATH info
//   hostsim --dll PATH demo
//   hostsim --dll PATH cmd COMMAND [NAME=VALUE ...] [--no-result] [--state-mask N]
//                          [-- COMMAND [NAME=VALUE ...] ...]...
//   hostsim --dll PATH items
//   hostsim --dll PATH options OUTDIR
//   hostsim --dll PATH run [--config FILE] [--seconds N] [--json FILE] [--csv FILE]
//                          [--port NAME=CONNECTION]... [--baud N] [--config-id N] [--report FILE]
//                          [--strict]
//   hostsim report RUN.jsonl [LOG] [--config FILE] -o FILE.html
//
// The command line is read by CLI11: `hostsim --help` and `hostsim ACTION --help` print the
// options on stdout (exit 0); an unknown option or action is named with the nearest known one on
// stderr (exit 2).
// `run` prints the configuration check's findings on stderr before it starts; with --strict a
// configuration with findings is not started (exit 1).
// Log lines the plug-in announces are collected by the host window and printed on stderr as
// "log[severity]: text"; data packets and port writes it sends are printed on stdout.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "common/exit_codes.h"
#include "common/text_encoding.h"
#include "hostsim/command_line.h"
#include "hostsim/gzip_inflate.h"
#include "hostsim/host_lib.h"
#include "hostsim/run_command.h"

namespace {

using zol::common::Variant;
using zol::hostsim::HostInstance;
using zol::hostsim::ParamsMode;
using zol::hostsim::PluginLibrary;

constexpr const char* kExitCodesText =
    "exit codes: 0 done, every configured meter delivered a packet; 1 could not start, or a port\n"
    "failed; 2 usage error; 3 a configured meter never delivered a packet; 130 interrupted "
    "(Ctrl-C)";

// The per-command options of `cmd`, which CLI11 leaves to the script reader: listed as option
// lines of the help.
constexpr const char* kScriptText =
    "Each COMMAND of the script takes:\n"
    "  NAME=VALUE                  a parameter of the command (NAME alone: a null value)\n"
    "  --no-result                 send the command without asking for its result\n"
    "  --state-mask N              the state mask of the call, 0..255 (0x.. for hexadecimal)\n"
    "  --                          ends the command; the next one follows";

// Texts may hold line breaks; print them escaped so each key stays on one line.
std::string OneLine(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out.push_back(c);
        }
    }
    return out;
}

int PrintInfo(HostInstance& host) {
    auto info = host.GetModuleInfo();
    if (!info) {
        std::fprintf(stderr, "hostsim: GetModuleInfo failed\n");
        return 1;
    }
    std::printf("module type: %u\n", info->module_type);
    std::printf("capabilities: %u\n", info->capabilities);
    std::printf("interface version: %u.%u\n", info->interface_version & 0xFFFF,
                info->interface_version >> 16);
    std::printf("info version: %g\n", static_cast<double>(info->info_version));
    std::printf("flag: %u\n", info->flag);
    zol::tools::WriteLine(stdout, "description: " + OneLine(info->description));
    zol::tools::WriteLine(stdout, "custom commands: " + OneLine(info->custom_commands));
    // The plug-in's own reading of its version resource: what the host shows as its version.
    const auto version =
        host.Command("GET-MODULE-PARAMETER", {{"PARAM", Variant::Ansi("DisplayFullVersion")}});
    const auto text = version.Find("RESULT");
    zol::tools::WriteLine(stdout, "version: " + (text ? zol::hostsim::ValueText(*text) : ""));
    return 0;
}

void PrintLogLine(const zol::hostsim::HostWindow::LogLine& line) {
    zol::tools::WriteLine(stderr, "log[" + std::to_string(line.severity) + "]: " + line.text);
}

// Collects what is left in the log without waiting for the notification.
void PrintLog(const std::string& log) {
    for (const auto& line : zol::hostsim::ParseLog(0, log)) PrintLogLine(line);
}

void PrintSend(const zol::hostsim::RecordedSend& send) {
    if (send.kind == zol::plugins::kSendRawBytes) {
        std::printf("write: source=%d client=%d bytes=", send.source_id, send.client_id);
        for (std::size_t i = 0; i < send.bytes.size(); ++i) {
            std::printf(i == 0 ? "%02X" : " %02X", send.bytes[i]);
        }
        std::printf("\n");
    } else if (send.kind == zol::plugins::kSendDataPacket) {
        std::printf("packet: source=%d client=%d items=%zu\n", send.source_id, send.client_id,
                    send.packet.size());
        for (const auto& [name, value] : send.packet) {
            zol::tools::WriteLine(stdout,
                                  "  " + name + "=" + OneLine(zol::hostsim::ValueText(value)));
        }
    }
    std::fflush(stdout);
}

int RunCommands(HostInstance& host, zol::hostsim::HostWindow& window,
                const std::vector<zol::hostsim::ScriptedCommand>& script) {
    int status = 0;
    for (const auto& entry : script) {
        auto answer =
            host.Command(entry.command, entry.params, entry.with_result, entry.state_mask);
        std::printf("result=%d\n", answer.result);
        for (const auto& [name, value] : answer.items) {
            zol::tools::WriteLine(stdout, name + "=" + OneLine(zol::hostsim::ValueText(value)));
        }
        std::fflush(stdout);
        window.Pump();
        if (answer.result < -1) status = 1;
    }
    return status;
}

bool WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) std::fprintf(stderr, "hostsim: cannot write %s\n", path.c_str());
    return static_cast<bool>(out);
}

// Asks for the options dialog's description as the host does (a buffer too small first, then one
// of the size reported) and writes into `dir`: form.tpf (block 1), extra.txt (block 2),
// FORM_DATA.gz (block 3 as delivered) and package.txt (block 3 unzipped by hostsim's own gzip
// reader, which also checks the stream's CRC-32 and length).
int WriteOptionsDialog(const PluginLibrary& library, HostInstance& host, const std::string& dir) {
    zol::hostsim::CallRecord probe(host.Mode());
    probe.Rec().Instance = host.Handle();
    std::uint8_t small[24] = {};
    probe.Rec().InData.Value.Ptr = small;
    probe.Rec().InData.Size = sizeof small;
    library.Exports().GetOptionsDialog(&probe.Rec());
    const std::uint32_t answer = probe.Rec().OutData.Value.Number;
    if (answer != 3) {
        std::fprintf(stderr, "hostsim: GetOptionsDialog answered %u (2: no dialog)\n", answer);
        return 1;
    }
    const std::int32_t size = probe.Rec().OutData.Size;
    std::printf("size: %d\n", size);
    if (size < 24) return 1;

    zol::hostsim::CallRecord call(host.Mode());
    call.Rec().Instance = host.Handle();
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(size));
    call.Rec().InData.Value.Ptr = buffer.data();
    call.Rec().InData.Size = size;
    library.Exports().GetOptionsDialog(&call.Rec());
    if (call.Rec().OutData.Kind != zol::plugins::kDataOptionsForm ||
        call.Rec().OutData.Value.Number != static_cast<std::uint32_t>(size)) {
        std::fprintf(stderr, "hostsim: GetOptionsDialog did not fill the buffer\n");
        return 1;
    }
    std::uint32_t header[6];
    std::memcpy(header, buffer.data(), sizeof header);
    for (int b = 0; b < 3; ++b) {
        if (header[2 * b] > buffer.size() || header[2 * b + 1] > buffer.size() - header[2 * b]) {
            std::fprintf(stderr, "hostsim: block %d lies outside the buffer\n", b + 1);
            return 1;
        }
        std::printf("block %d: offset %u length %u\n", b + 1, header[2 * b], header[2 * b + 1]);
    }
    CreateDirectoryA(dir.c_str(), nullptr);
    const char* names[3] = {"form.tpf", "extra.txt", "FORM_DATA.gz"};
    bool ok = true;
    for (int b = 0; b < 3; ++b) {
        ok &= WriteFile(dir + "\\" + names[b], buffer.data() + header[2 * b], header[2 * b + 1]);
    }
    const auto package =
        zol::hostsim::Gunzip(std::span<const std::uint8_t>(buffer.data() + header[4], header[5]));
    if (!package.ok) {
        std::fprintf(stderr, "hostsim: the script package does not unzip: %s\n",
                     package.error.c_str());
        return 1;
    }
    std::printf("package: stored name \"%s\", %zu bytes\n", package.file_name.c_str(),
                package.data.size());
    ok &=
        WriteFile(dir + "\\package.txt", reinterpret_cast<const std::uint8_t*>(package.data.data()),
                  package.data.size());
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("hostsim: plays the host application against a plug-in DLL", "hostsim");
    app.footer(kExitCodesText);
    app.require_subcommand(0, 1);
    std::string dll;
    bool interface_mode = false;
    app.add_option("--dll", dll, "the plug-in to load (report reads only its language)")
        ->type_name("PATH")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);  // the last one, as always
    app.add_flag("--interface", interface_mode,
                 "hand parameters over as interfaces instead of list objects");
    CLI::App* info = app.add_subcommand("info", "print the module information and version");
    CLI::App* demo = app.add_subcommand("demo", "load, print the module information, unload");
    CLI::App* cmd = app.add_subcommand("cmd", "send host commands: COMMAND [NAME=VALUE ...] ...");
    cmd->prefix_command();  // the script's own options are read by ParseCommandScript
    cmd->footer(kScriptText);
    CLI::App* items = app.add_subcommand("items", "print the parser items of the module");
    CLI::App* options = app.add_subcommand("options", "write the options dialog's blocks");
    std::string options_dir;
    options->add_option("OUTDIR", options_dir, "the folder to write them into")->required();
    CLI::App* run = app.add_subcommand("run", "poll meters with the plug-in and report them");
    zol::hostsim::RunOptionTexts run_texts;
    zol::hostsim::AddRunOptions(*run, run_texts);
    CLI::App* report =
        app.add_subcommand("report", "rebuild the commissioning report of a saved run");
    zol::hostsim::ReportArguments report_arguments;
    zol::hostsim::AddReportOptions(*report, report_arguments);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return zol::hostsim::CommandLineExit(app, error);
    }
    (void)info;

    // Rebuilding a report loads no plug-in; a --dll names the one whose language the log is in.
    if (report->parsed()) {
        report_arguments.dll = dll;
        return zol::hostsim::RebuildReport(report_arguments);
    }
    if (app.get_subcommands().empty()) {
        std::fputs(app.help().c_str(), stderr);
        return zol::tools::kExitUsage;
    }
    const std::string action = app.get_subcommands().front()->get_name();
    if (dll.empty()) {
        std::fprintf(stderr, "hostsim: %s needs --dll PATH before it\n", action.c_str());
        return zol::tools::kExitUsage;
    }
    const ParamsMode mode = interface_mode ? ParamsMode::kInterface : ParamsMode::kListObject;
    const std::vector<std::string> script = cmd->remaining();
    if (cmd->parsed()) {
        if (std::find(script.begin(), script.end(), "--help") != script.end() ||
            std::find(script.begin(), script.end(), "-h") != script.end()) {
            std::fputs(cmd->help("hostsim").c_str(), stdout);
            return zol::tools::kExitDone;
        }
        if (const auto refused = zol::hostsim::UnknownScriptOption(script)) return *refused;
    }

    if (run->parsed()) {
        std::string error;
        const auto arguments = zol::hostsim::RunArgumentsOf(run_texts, error);
        if (!arguments) {
            std::fprintf(stderr, "hostsim: %s\n", error.c_str());
            return zol::tools::kExitUsage;
        }
        return zol::hostsim::RunHost(dll, mode, *arguments);
    }

    PluginLibrary library;
    if (!library.Load(dll)) {
        std::fprintf(stderr, "hostsim: %s\n", library.Error().c_str());
        return 1;
    }
    zol::hostsim::HostWindow window;
    window.OnLogLine = PrintLogLine;
    zol::hostsim::SetSendObserver(PrintSend);
    HostInstance host(library, mode);
    host.UseWindow(&window);
    if (host.Create() != 0) {
        std::fprintf(stderr, "hostsim: CreatePluginInstance failed\n");
        return 1;
    }
    int status = 0;
    if (demo->parsed()) {
        auto load = host.Load({{"REGISTRY-PATH", Variant::Ansi("Software\\Demo\\Host\\Demo")}});
        std::printf("LOAD result=%d\n", load.result);
        status = PrintInfo(host);
        window.Pump();
        auto unload = host.Command("UNLOAD");
        std::printf("UNLOAD result=%d\n", unload.result);
        window.Pump();
        PrintLog(host.CollectLog());
    } else if (cmd->parsed()) {
        std::string error;
        auto commands = zol::hostsim::ParseCommandScript(script, error);
        if (!commands || commands->empty()) {
            std::fprintf(
                stderr, "hostsim: %s\n",
                error.empty() ? "cmd needs a COMMAND (hostsim cmd --help)" : error.c_str());
            host.Free();
            return zol::tools::kExitUsage;
        }
        host.Load();
        window.Pump();
        status = RunCommands(host, window, *commands);
        host.Command("UNLOAD");
        window.Pump();
    } else if (items->parsed()) {
        host.Load();
        auto state = host.Command("SET-STATE",
                                  {{"DATA-SOURCES-IN-CFG", Variant::Ansi("1;COM1;COM1")}}, false);
        auto answer = host.Command("ITEMS");
        if (answer.result != 0) {
            std::fprintf(stderr, "hostsim: ITEMS failed (%d)\n", answer.result);
            status = 1;
        } else {
            auto text = answer.Find("RESULT");
            zol::tools::WriteLine(stdout, text ? zol::hostsim::ValueText(*text) : "");
        }
        (void)state;
        window.Pump();
        host.Command("UNLOAD");
    } else if (options->parsed()) {
        status = WriteOptionsDialog(library, host, options_dir);
    } else {
        status = PrintInfo(host);  // info
    }
    const std::int32_t freed = host.Free();
    if (demo->parsed()) std::printf("FREE result=%d\n", freed);
    return status;
}
