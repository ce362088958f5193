// The host's side of `hostsim run` without the polling module: the program's refusals, the
// three port kinds moving bytes both ways, and the forms other tools read (packet JSON and CSV,
// the counted log lines).
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on
#include "hostsim/host_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "hostsim/packet_output.h"
#include "hostsim/port_transport.h"
#include "hostsim/report_record.h"
#include "hostsim/run_command.h"
#include "kmp/kmp_frame.h"
#include "platform/system.h"
#include "win32/hostsim_program.h"
#include "zolShared/Private/Plugins/zolPluginItems.h"

extern "C" std::int32_t __stdcall Vantor_SendDataEx(std::int32_t tag, std::int32_t source_id,
                                                    std::int32_t client_id, std::int32_t zero,
                                                    std::int32_t kind, std::intptr_t data,
                                                    std::int32_t size);

namespace zol::hostsim {
namespace {

using common::Variant;

// A mistake on the command line is a usage error (2); what cannot be opened or read, or does not
// fit the module, could not be started (1).
TEST(HostRunProgram, RefusesWhatItCannotStartWithOneLineAndItsExitCode) {
    const struct {
        const char* arguments;
        const char* error;
        DWORD exit_code;
    } cases[] = {
        {"run --seconds", "lacks its value", 2},
        {"run --seconds 0", "--seconds needs a number", 2},
        {"run --port COM1", "--port needs NAME=CONNECTION", 2},
        {"run --port A=sim:1 --port a=sim:2", "port a given twice", 2},
        {"run --port A=ttyS0", "not a port", 2},
        {"run --port A=sim:63/loud", "bad fault list", 2},
        {"run --port A=sim:63,63", "given twice", 2},
        {"run --port A=tcp:localhost", "not tcp:HOST:PORT", 2},
        {"run --config no-such-file.xml --port A=sim:63/loud", "bad fault list", 2},
        {"run --port A=COM199", "port A: cannot open COM199", 1},
        {"run --config no-such-file.xml", "cannot read no-such-file.xml", 1},
        {"run --config kmpparser.dll", "is not an options text", 1},
        {"run --config-id 7 --seconds 1", "configuration 7 does not exist", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const ProgramRun run = RunHostsim(c.arguments);
        EXPECT_EQ(run.exit_code, c.exit_code);
        EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ(run.out.find("summary:"), std::string::npos);  // nothing was started
    }
}

// Help is asked of every action and prints one line per option on stdout with exit 0; a mistyped
// option or action is named on one stderr line with the nearest known one, exit 2.
TEST(HostRunProgram, HelpOnEveryActionAndMistypedOptionsNamedWithTheNearestOne) {
    const struct {
        const char* arguments;
        std::vector<const char*> option_lines;  // each must start a line of the help
    } helps[] = {
        {"--help", {"  --dll PATH", "  --interface", "  run ", "  report "}},
        {"run --help",
         {"  --config FILE", "  --seconds N", "  --json FILE", "  --csv FILE",
          "  --report FILE.html", "  --port NAME=CONNECTION", "  --baud N", "  --config-id N",
          "  --strict", "  --soak", "  --seed N"}},
        {"report -h", {"  -o FILE.html", "  --config FILE"}},
        {"cmd --help", {"  --no-result", "  --state-mask N"}},
        {"cmd LOAD A=1 --help", {"  --no-result"}},
        {"options --help", {"  OUTDIR"}},
        {"info --help", {"  -h,--help"}},
    };
    for (const auto& c : helps) {
        SCOPED_TRACE(c.arguments);
        const ProgramRun run = RunHostsim(c.arguments);
        EXPECT_EQ(run.exit_code, 0u);
        EXPECT_EQ(run.err, "");
        for (const char* line : c.option_lines) {
            EXPECT_NE(("\n" + run.out).find(std::string("\n") + line), std::string::npos)
                << line << "\n"
                << run.out;
        }
    }
    const struct {
        const char* arguments;
        const char* error;  // the whole of stderr
    } mistakes[] = {
        {"run --confg site.xml", "hostsim: unknown option --confg; did you mean --config?\r\n"},
        {"run --seconds 1 --sed=3", "hostsim: unknown option --sed; did you mean --seed?\r\n"},
        {"run --verbose",
         "hostsim: unknown option --verbose (hostsim run --help lists the options)\r\n"},
        {"rn --seconds 1", "hostsim: unknown action 'rn'; did you mean run?\r\n"},
        {"cmd LOAD --no-reslt",
         "hostsim: unknown option --no-reslt; did you mean --no-result?\r\n"},
        {"report run.jsonl -o x.html --conifg a.xml",
         "hostsim: unknown option --conifg; did you mean --config?\r\n"},
        {"run 20", "hostsim: '20' is not an option of run\r\n"},
    };
    for (const auto& c : mistakes) {
        SCOPED_TRACE(c.arguments);
        const ProgramRun run = RunHostsim(c.arguments);
        EXPECT_EQ(run.exit_code, 2u);
        EXPECT_EQ(run.err, c.error);
        EXPECT_EQ(run.out, "");
    }
}

// The run folders of hostsim in the temporary folder (other runs may have their own).
std::vector<std::string> RunFolders() {
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((std::string(temp) + "hostsim run *").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        names.emplace_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

TEST(HostRunProgram, ARunOnSimulatedMetersEndsWithTheSummaryAndLeavesNoSettings) {
    const std::string json = "host_run_test.json";
    const ProgramRun run =
        RunHostsim("run --seconds 1 --json " + json + " --port P1=sim:63/split=2");
    // The built-in configuration also polls 65 and 70, which this line does not have.
    EXPECT_EQ(run.exit_code, 3u) << run.err;
    EXPECT_TRUE(std::regex_search(
        run.out, std::regex("(^|\n)summary: writes=[0-9]+ packets=[0-9]+ timeouts=[0-9]+ "
                            "crc_errors=[0-9]+\r?\n$")))
        << run.out;
    EXPECT_EQ(GetFileAttributesA(json.c_str()) != INVALID_FILE_ATTRIBUTES, true);
    DeleteFileA(json.c_str());
    // Its own settings folder is gone (other runs, in tests beside this one, keep theirs).
    const std::vector<std::string> left = RunFolders();
    EXPECT_EQ(std::count(left.begin(), left.end(), "hostsim run " + std::to_string(run.process_id)),
              0);
}

// The whole road through the real module: a configuration of the user's, a silent address and a
// register the meter does not have; the JSON lines carry every item of each packet.
TEST(HostRunProgram, PollsTheConfiguredMetersThroughTheModule) {
    const std::string config = "host_run_site.xml", json = "host_run_site.json";
    {
        std::ofstream out(config, std::ios::binary);
        out << "<?xml version=\"1.0\"?>\r\n<QUERY><Request caption=\"Heat\">"
               "<Enabled check=\"2\"/><Device>63;70</Device><Timeout>300</Timeout>"
               "<MethodPoll check=\"2\"/><PollInterval>1</PollInterval><PollUnits>S</PollUnits>"
               "<Response><I><Register>003C</Register></I><I><Register>03FF</Register>"
               "<Name>NONE</Name></I><I><Register>0056</Register></I></Response></Request>"
               "</QUERY>\r\n";
    }
    const std::string report = "host_run_site.html";
    const ProgramRun run = RunHostsim("run --seconds 3 --config " + config + " --json " + json +
                                      " --report " + report + " --port L1=sim:63");
    EXPECT_EQ(run.exit_code, 3u) << run.err;  // 70 never answers
    EXPECT_NE(run.out.find("meter L1/70: no answer to "), std::string::npos) << run.out;
    const std::string lines = ReadBack(json);
    const std::string page = ReadBack(report);
    DeleteFileA(config.c_str());
    DeleteFileA(json.c_str());
    DeleteFileA(report.c_str());
    // The report of the run: 63's card with the request that read it, 70 named as silent, the
    // port's writes counted by the host.
    for (const char* part : {"data-port=\"L1\" data-address=\"63\"", "colspan=\"5\">Heat</td>",
                             "No answer from address 70 (Heat).", "<td>L1</td><td>sim:63</td>",
                             "<svg class=\"chart\" data-register=\"E1\""}) {
        EXPECT_NE(page.find(part), std::string::npos) << part;
    }
    const std::string first = lines.substr(0, lines.find('\n'));
    for (const char* item :
         {"\"port\": \"L1\"", "\"source\": 1", "\"DEVICE_ID\": 63", "\"SERIAL_NO\": 67012345",
          "\"DEVICE_TYPE\": \"", "\"TIMESTAMP\": \"", "\"TIMESTAMP_UTC\": \"",
          "\"E1\": ", "\"E1_UNIT\": \"kWh\"", "\"T1\": ", "\"T1_UNIT\": \"C\""}) {
        EXPECT_NE(first.find(item), std::string::npos) << item << " in " << first;
    }
    EXPECT_EQ(first.find("NONE"), std::string::npos);
    // Address 70 never answers: its polls time out, 63's do not.
    EXPECT_NE(run.err.find("[70/Heat] . Heat. Request timeout"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("[63/Heat] . Heat. Request timeout"), std::string::npos) << run.err;
    EXPECT_TRUE(std::regex_search(run.out, std::regex("summary: writes=[0-9]+ packets=[2-9]")))
        << run.out;
    // The line's use before the verdicts, and in the report's panel.
    EXPECT_TRUE(std::regex_search(
        run.out, std::regex("\nline L1: busy [0-9.]+% of [0-9.]+ s \\(1200 baud 8N2; not paced: "
                            "its bytes at that speed\\); turnaround[^\n]*\r?\nmeter L1/63 ")))
        << run.out;
    EXPECT_NE(page.find("<svg class=\"chart busy\" data-port=\"L1\""), std::string::npos);
}

// A run of hostsim on an options text of the test's own, with the JSON lines it wrote;
// `arguments` follow "run --config FILE --json FILE".
struct ConfiguredRun {
    ProgramRun run;
    std::string lines;
};
ConfiguredRun RunOnConfig(const std::string& options, const std::string& arguments) {
    const std::string base = "host_run_config_" + std::to_string(GetCurrentProcessId());
    const std::string config = base + ".xml", json = base + ".json";
    {
        std::ofstream out(config, std::ios::binary);
        out << options;
    }
    ConfiguredRun result;
    result.run = RunHostsim("run --config " + config + " --json " + json + " " + arguments);
    result.lines = ReadBack(json);
    DeleteFileA(config.c_str());
    DeleteFileA(json.c_str());
    return result;
}

// The polling interval is counted in its unit: in a run of three seconds a meter polled every
// minute is read once (at the start), one polled every second two to four times. A unit left
// unread (milliseconds) would read it all the time.
TEST(HostRunProgram, PollUnitsScaleThePollingInterval) {
    struct Case {
        const char* units;
        std::size_t fewest;
        std::size_t most;
    } cases[] = {{"M", 1, 1}, {"S", 2, 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.units);
        const ConfiguredRun result = RunOnConfig(
            std::string("<QUERY><Request caption=\"Heat\"><Enabled check=\"2\"/><Device>63"
                        "</Device><Timeout>300</Timeout><MethodPoll check=\"2\"/><PollInterval>1"
                        "</PollInterval><PollUnits>") +
                c.units +
                "</PollUnits><Response><I><Register>003C</Register></I></Response></Request>"
                "</QUERY>",
            "--seconds 3 --port L1=sim:63");
        EXPECT_EQ(result.run.exit_code, 0u) << result.run.err;
        std::size_t readings = 0;
        for (std::size_t at = result.lines.find("\"DEVICE_ID\": 63"); at != std::string::npos;
             at = result.lines.find("\"DEVICE_ID\": 63", at + 1)) {
            ++readings;
        }
        EXPECT_GE(readings, c.fewest) << result.lines;
        EXPECT_LE(readings, c.most) << result.lines;
    }
}

// The configuration check before a run: --strict refuses a text with findings as a run that could
// not start; without it the findings come first on stderr and the run goes on, doing what they
// say (the misspelt Device leaves address 1 polled). The built-in demo text has no findings.
TEST(HostRunProgram, TheConfigurationCheckSpeaksBeforeTheRunAndStrictRefuses) {
    const std::string options =
        "<QUERY>\r\n<Request caption=\"Heat\">\r\n<Enabled check=\"2\"/>\r\n"
        "<Devise>63</Devise>\r\n<MethodPoll check=\"2\"><PollInterval>1</PollInterval>"
        "<PollUnits>S</PollUnits></MethodPoll>\r\n"
        "<Response><Item><Register>E1</Register></Item></Response>\r\n</Request>\r\n"
        "</QUERY>\r\n";
    // Lines end as the console's text mode writes them.
    const std::string findings =
        "warning: Heat: line 4: Devise is not an element the plug-in reads (did you mean "
        "Device?): without Device, address 1 is asked\r\n"
        "warning: Heat: line 6: Register \"E1\" is read as the hexadecimal id 00E1; the "
        "catalogue's code E1 is register 003C\r\n";

    const ProgramRun refused = RunOnConfig(options, "--strict --port P1=sim:1 --seconds 1").run;
    EXPECT_EQ(refused.exit_code, 1u);
    EXPECT_EQ(refused.err,
              findings + "hostsim: --strict: the configuration has 2 findings; not started\r\n");
    EXPECT_EQ(refused.out.find("summary:"), std::string::npos) << refused.out;

    const ConfiguredRun warned = RunOnConfig(options, "--port P1=sim:1 --seconds 1");
    EXPECT_EQ(warned.run.err.rfind(findings, 0), 0u) << warned.run.err;
    EXPECT_NE(warned.lines.find("\"DEVICE_ID\": 1,"), std::string::npos) << warned.lines;
    EXPECT_NE(warned.run.out.find("summary:"), std::string::npos) << warned.run.out;

    const ProgramRun demo = RunHostsim("run --strict --port P1=sim:63 --seconds 1");
    EXPECT_EQ(demo.err.find("warning:"), std::string::npos) << demo.err;
    EXPECT_NE(demo.out.find("summary:"), std::string::npos) << demo.out;
}

// One line of good meters beside misbehaving ones, through the real module: the good ones (the
// meter whose serial number reads 0 among them) are read poll after poll; the bad ones are named
// in the log and never hold up their neighbours.
TEST(HostRunProgram, MisbehavingMetersNeverStarveTheirLine) {
    const ConfiguredRun line = RunOnConfig(
        "<QUERY><Request caption=\"Heat\"><Enabled check=\"2\"/>"
        "<Device>63;65;66;67;68</Device><Timeout>400</Timeout><MethodPoll check=\"2\"/>"
        "<PollInterval>2</PollInterval><PollUnits>S</PollUnits><Response><I>"
        "<Register>003C</Register></I></Response></Request></QUERY>",
        "--seconds 8 --port L1=sim:63,65,66/garbled-registers,67/serial0,68/no-registers");
    std::map<std::string, int> packets;
    const std::regex device("\"DEVICE_ID\": ([0-9]+)");
    for (auto it = std::sregex_iterator(line.lines.begin(), line.lines.end(), device);
         it != std::sregex_iterator(); ++it) {
        ++packets[(*it)[1]];
    }
    // A round of the line: three good readings and 2 x 3 attempts of 400 ms, about 2.4 s.
    for (const char* good : {"63", "65", "67"}) {
        EXPECT_GE(packets[good], 2) << good << line.run.err;
    }
    EXPECT_EQ(packets.count("66") + packets.count("68"), 0u);
    for (const char* bad :
         {"[66/Heat] . Heat. Request timeout", "[68/Heat] . Heat. Request timeout"}) {
        EXPECT_NE(line.run.err.find(bad), std::string::npos) << bad;
    }
}

bool Has(const std::string& text, const char* pattern) {
    return std::regex_search(text, std::regex(pattern));
}

// One line with a good meter, a silent one, one whose register replies always arrive damaged,
// and one whose only request waits for a host event that never comes: each gets its verdict,
// the run names the meters that delivered nothing and ends with 3.
TEST(HostRunProgram, NamesEachMetersVerdictAndEndsWithThreeWhenOneDeliveredNothing) {
    const std::string report = "host_run_verdict.html";
    const ConfiguredRun line = RunOnConfig(
        "<QUERY><Request caption=\"Heat\"><Enabled check=\"2\"/><Device>63;66;70</Device>"
        "<Timeout>300</Timeout><MethodPoll check=\"2\"/><PollInterval>1</PollInterval>"
        "<PollUnits>S</PollUnits><Response><I><Register>003C</Register></I></Response></Request>"
        "<Request caption=\"Day end\"><Enabled check=\"2\"/><Device>65</Device>"
        "<MethodEvent check=\"2\"/><EventId>DAYEND</EventId>"
        "<Response><I><Register>003C</Register></I></Response></Request>"
        "<Request caption=\"Off\"><Enabled check=\"0\"/><Device>71</Device>"
        "<Response><I><Register>003C</Register></I></Response></Request></QUERY>",
        "--seconds 4 --report " + report + " --port L1=sim:63,66/garbled-registers");
    const ProgramRun& run = line.run;
    const std::string page = ReadBack(report);
    DeleteFileA(report.c_str());
    EXPECT_EQ(run.exit_code, 3u) << run.err;
    // One line per configured meter, in address order, then the summary as before; the
    // disabled request's 71 is no meter of the run.
    EXPECT_TRUE(
        Has(run.out,
            "\nmeter L1/63 serial 67012345: [0-9]+ packets?, last [0-2][0-9]:[0-5][0-9]:"
            "[0-5][0-9]\r?\n"
            "meter L1/65: never asked\r?\n"
            "meter L1/66: no answer to [1-9][0-9]* requests?, [1-9][0-9]* checksum "
            "errors?\r?\n"
            "meter L1/70: no answer to [1-9][0-9]* requests?\r?\n"
            "report: host_run_verdict.html\r?\n"
            "summary: writes=[0-9]+ packets=[0-9]+ timeouts=[0-9]+ crc_errors=[0-9]+\r?\n$"))
        << run.out;
    EXPECT_TRUE(Has(run.err,
                    "hostsim: no packet from meter L1/65 \\(never asked\\), L1/66 \\(no answer to "
                    "[0-9]+ requests?, [0-9]+ checksum errors?\\), L1/70 \\(no answer to "))
        << run.err;
    // The report: 63's card with its own counts, and the three others told apart.
    const std::string card = page.substr(page.find("data-address=\"63\"><summary>"), 400);
    EXPECT_NE(card.find("<span class=\"verdict v-good\">good</span></summary><table "
                        "class=\"counts\">"),
              std::string::npos)
        << card;
    for (const char* row : {"<tr><td>L1</td><td>65</td><td><span class=\"verdict v-none\">never "
                            "asked</span></td><td class=\"num\">0</td>",
                            "<tr><td>L1</td><td>66</td><td><span class=\"verdict v-none\">no "
                            "answer</span></td>",
                            "<tr><td>L1</td><td>70</td><td><span class=\"verdict v-none\">no "
                            "answer</span></td>"}) {
        EXPECT_NE(page.find(row), std::string::npos) << row;
    }
    EXPECT_EQ(page.find("<td>71</td>"), std::string::npos);
}

// The plug-in in German, as a site whose host language is German runs it: its log lines reach
// the console log and the report as UTF-8 (not as the system code page's bytes, which a UTF-8 page
// shows as "Zeit\uFFFDberschreitung"), and the summary and the report count its timeouts and
// damaged replies in that language; so does a report rebuilt beside the packaged plug-in, or
// elsewhere with that plug-in named by --dll.
TEST(HostRunProgram, AGermanRunWritesItsLinesAsUtf8AndCountsThem) {
    const std::string folder = "german_" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(folder.c_str(), nullptr);
    // The package's layout: hostsim, the plug-in and its language file in one folder.
    for (const char* file : {"kmpparser.dll", "hostsim.exe"}) {
        ASSERT_TRUE(CopyFileA(file, (folder + "\\" + file).c_str(), FALSE));
    }
    {
        // The shipped file's lines, with German as its default.
        std::ofstream out(folder + "\\kmpparser.lng", std::ios::binary);
        out << "// Encoding=utf-8\r\n[Languages]\r\nDefault=DE\r\n$EN=English\r\n$DE=Deutsch\r\n"
               "\r\nEN:>Invalid CRC (%.4x,%.4x)\r\nDE:>Ung\xc3\xbcltige Pr\xc3\xbc"
               "fsumme (%.4x,%.4x)\r\n\r\nEN:>Request timeout (ms)\r\n"
               "DE:>Zeit\xc3\xbc"
               "berschreitung der Anfrage (ms)\r\n";
    }
    const std::string report = folder + "\\report.html";
    const std::string base = "host_run_german_" + std::to_string(GetCurrentProcessId());
    const std::string config = base + ".xml", json = base + ".json";
    {
        std::ofstream out(config, std::ios::binary);
        out << "<QUERY><Request caption=\"Heat\"><Enabled check=\"2\"/>"
               "<Device>63;70</Device><Timeout>300</Timeout><MethodPoll check=\"2\"/>"
               "<PollInterval>1</PollInterval><PollUnits>S</PollUnits><Response><I>"
               "<Register>003C</Register></I></Response></Request></QUERY>";
    }
    const ProgramRun run = RunHostsim("run --seconds 4 --config " + config + " --json " + json +
                                          " --report " + report + " --port L1=sim:63/corrupt=4",
                                      {}, folder + "\\hostsim.exe --dll kmpparser.dll");
    const std::string log = folder + "\\run.log", rebuilt = folder + "\\rebuilt.html";
    {
        std::ofstream out(log, std::ios::binary);
        out << run.err;
    }
    const ProgramRun rebuild =
        RunHostsim("report " + json + " " + log + " -o " + rebuilt, {}, folder + "\\hostsim.exe");
    // The build's own hostsim has no German language file beside it: only --dll tells German.
    const std::string named = base + "_named.html";
    const ProgramRun rebuild_named = RunHostsim("report " + json + " " + log + " -o " + named, {},
                                                "hostsim.exe --dll " + folder + "\\kmpparser.dll");
    const std::string named_page = ReadBack(named);
    const std::string page = ReadBack(report);
    const std::string rebuilt_page = ReadBack(rebuilt);
    for (const auto& file :
         {folder + "\\kmpparser.dll", folder + "\\hostsim.exe", folder + "\\kmpparser.lng", report,
          config, json, log, rebuilt, named}) {
        DeleteFileA(file.c_str());
    }
    RemoveDirectoryA(folder.c_str());

    EXPECT_EQ(run.exit_code, 3u) << run.err;  // 70 has no meter
    const std::string timeout_line =
        "[70/Heat] . Heat. Zeit\xc3\xbc"
        "berschreitung der Anfrage";
    EXPECT_NE(run.err.find(timeout_line), std::string::npos) << run.err;
    EXPECT_TRUE(Has(run.err,
                    "log\\[[0-9]\\]: [^\n]*Ung\xc3\xbcltige Pr\xc3\xbc"
                    "fsumme \\([0-9A-F]{4},[0-9A-F]{4}\\) \\[63,"))
        << run.err;
    // Nothing in the system code page's bytes: a lone 0xFC is no UTF-8.
    EXPECT_EQ(run.err.find("Zeit\xfc"), std::string::npos);
    EXPECT_TRUE(Has(run.out,
                    "summary: writes=[0-9]+ packets=[1-9][0-9]* timeouts=[1-9][0-9]* "
                    "crc_errors=[1-9][0-9]*"))
        << run.out;
    // The report: the lines as UTF-8 and its counts in the plug-in's language.
    EXPECT_NE(page.find("Zeit\xc3\xbc"
                        "berschreitung der Anfrage"),
              std::string::npos);
    EXPECT_EQ(page.find("Zeit\xfc"), std::string::npos);
    const std::regex all_ports(
        "All ports: <span class=\"bad\">[1-9][0-9]* timeouts</span>, <span "
        "class=\"bad\">[1-9][0-9]* checksum errors</span>");
    std::smatch counted;
    EXPECT_TRUE(std::regex_search(page, counted, all_ports))
        << page.substr(page.find("All ports"), 200);
    // Rebuilt from the saved log, the same lines count the same.
    EXPECT_EQ(rebuild.exit_code, 0u) << rebuild.err;
    EXPECT_NE(rebuilt_page.find(counted.str()), std::string::npos)
        << rebuilt_page.substr(rebuilt_page.find("All ports"), 200);
    EXPECT_EQ(rebuild_named.exit_code, 0u) << rebuild_named.err;
    EXPECT_NE(named_page.find(counted.str()), std::string::npos) << rebuild_named.err;
    EXPECT_TRUE(Has(page,
                    "<tr><td>L1</td><td>70</td><td><span class=\"verdict v-none\">no "
                    "answer</span></td><td class=\"num\">[1-9][0-9]*</td><td class=\"num "
                    "bad\">[1-9][0-9]*</td>"));
}

// `--config-id` picks the module's configuration by its line in the description: the second one
// reads electricity meters, whose catalogue names register 0x56 differently from the heat one.
TEST(HostRunProgram, TheSecondConfigurationReadsWithTheElectricityCatalogue) {
    const struct {
        const char* config_id;
        const char* named;      // register 0x56 as the catalogue in use names it
        const char* not_named;  // ... and as the other one would
    } cases[] = {
        {"0", "\"T1\": 861", "REG_0056"},
        {"1", "\"REG_0056\": 861", "\"T1\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config_id);
        const ConfiguredRun meter = RunOnConfig(
            "<QUERY><R caption=\"Meter\"><Enabled check=\"2\"/><Device>64</Device>"
            "<MethodPoll check=\"2\"/><PollInterval>1</PollInterval><PollUnits>S</PollUnits>"
            "<Response><I><Register>0001</Register></I><I><Register>0056</Register></I>"
            "</Response></R></QUERY>",
            std::string("--seconds 2 --port E=sim:64 --config-id ") + c.config_id);
        EXPECT_EQ(meter.run.exit_code, 0u) << meter.run.err;
        const std::string first = meter.lines.substr(0, meter.lines.find('\n'));
        EXPECT_NE(first.find("\"DEVICE_ID\": 64"), std::string::npos) << meter.lines;
        EXPECT_NE(first.find(c.named), std::string::npos) << first;
        EXPECT_EQ(first.find(c.not_named), std::string::npos) << first;
    }
}

TEST(HostRunPorts, PortTextsNameTheirKind) {
    const struct {
        const char* text;
        PortKind kind;
        const char* detail;  // device, host:port, or the meters' addresses and serials
    } cases[] = {
        {"COM3", PortKind::kSerial, "COM3"},
        {"com12", PortKind::kSerial, "COM12"},
        {"tcp:10.0.0.7:4001", PortKind::kTcp, "10.0.0.7:4001"},
        {"TCP:[::1]:23", PortKind::kTcp, "[::1]:23"},
        {"rfc2217:127.0.0.1:2217", PortKind::kRfc2217, "127.0.0.1:2217"},
        {"sim:63,64,7/silent", PortKind::kSimulated, "63/67012345 64/5512093 7/67100007"},
        {"sim:21/garbled-registers/no-registers,22/answers=21/serial0", PortKind::kSimulated,
         "21/67100021 22/67100022"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        const auto address = ParsePortAddress(c.text, error);
        ASSERT_TRUE(address) << error;
        EXPECT_EQ(address->kind, c.kind);
        std::string detail = address->device;
        if (c.kind == PortKind::kTcp || c.kind == PortKind::kRfc2217) {
            detail = address->host + ":" + std::to_string(address->port);
        }
        for (const auto& meter : address->meters) {
            detail += (detail.empty() ? "" : " ") + std::to_string(meter.address) + "/" +
                      std::to_string(meter.serial);
        }
        EXPECT_EQ(detail, c.detail);
    }
    for (const char* bad : {"COM", "COM0", "COMx", "tcp:host:0", "tcp:host:70000", "tcp::5",
                            "rfc2217:host", "rfc2217::5", "telnet:host:23", "sim:", "sim:0",
                            "sim:255", "sim:63/", "sim:63,,", "sim:63/answers=0", "sim:63,63"}) {
        std::string error;
        EXPECT_FALSE(ParsePortAddress(bad, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

// Collects from a port until `count` bytes came or a read brings nothing.
std::vector<std::uint8_t> ReadUpTo(PortTransport& port, std::size_t count, int* reads = nullptr) {
    std::vector<std::uint8_t> bytes;
    while (bytes.size() < count) {
        const std::size_t before = bytes.size();
        if (!port.Read(2000, bytes) || bytes.size() == before) break;
        if (reads != nullptr) ++*reads;
    }
    return bytes;
}

TEST(HostRunPorts, SimulatedMetersAnswerAHandBuiltRequestInTheirPieces) {
    auto meter = SimulatedMeterAt(63);
    meter.faults.split_size = 4;
    auto port = OpenSimulatedPort({meter});
    // Type request to 63: start byte, 3F 01, checksum 05 8A, stop byte.
    const std::vector<std::uint8_t> request = {0x80, 0x3F, 0x01, 0x05, 0x8A, 0x0D};
    ASSERT_TRUE(port->Write(request));
    int reads = 0;
    const auto reply = ReadUpTo(*port, 10, &reads);
    EXPECT_EQ(reply, (std::vector<std::uint8_t>{0x40, 0x3F, 0x01, 0x02, 0x10, 0x00, 0x05, 0xBE,
                                                0x70, 0x0D}));
    EXPECT_EQ(reads, 3);  // 4 + 4 + 2 bytes, one chunk each
    // A request for an address it does not have stays unanswered.
    ASSERT_TRUE(port->Write(std::vector<std::uint8_t>{0x80, 0x3E, 0x01, 0x35, 0xBB, 0x0D}));
    std::vector<std::uint8_t> nothing;
    EXPECT_TRUE(port->Read(50, nothing));
    EXPECT_TRUE(nothing.empty());
}

// A serial device server in this process: one connection, answered by simulated meters, closed
// after `replies` replies.
class DeviceServer {
   public:
    explicit DeviceServer(int replies) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        int length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        listen(listener_, 1);
        thread_ = std::thread([this, replies] { Serve(replies); });
    }
    ~DeviceServer() {
        closesocket(listener_);
        thread_.join();
        WSACleanup();
    }
    std::uint16_t Port() const { return port_; }

   private:
    void Serve(int replies) {
        const SOCKET s = accept(listener_, nullptr, nullptr);
        if (s == INVALID_SOCKET) return;
        metersim::MeterSimulator sim;
        sim.AddMeter(SimulatedMeterAt(64));
        char buffer[256];
        while (replies > 0) {
            const int n = recv(s, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            sim.Receive(std::span(reinterpret_cast<const std::uint8_t*>(buffer),
                                  static_cast<std::size_t>(n)),
                        0);
            while (auto reply = sim.TakeDelivery(0)) {
                send(s, reinterpret_cast<const char*>(reply->data()),
                     static_cast<int>(reply->size()), 0);
                --replies;
            }
        }
        closesocket(s);
    }

    SOCKET listener_ = INVALID_SOCKET;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

TEST(HostRunPorts, TcpPortCarriesBytesBothWaysAndReportsTheServerHangingUp) {
    DeviceServer server(1);
    std::string error;
    auto port = OpenTcpPort("127.0.0.1", server.Port(), 2000, error);
    ASSERT_NE(port, nullptr) << error;
    // Serial number request to 64, an address that goes out escaped (1B BF).
    const auto frame = kmp::KmpStuff(kmp::BuildIdentificationRequest(64, kmp::CidGetSerialNo));
    ASSERT_TRUE(port->Write(frame));
    const auto reply = ReadUpTo(*port, 10);
    std::vector<std::uint8_t> body;
    ASSERT_GE(reply.size(), 3u);
    kmp::KmpUnstuff(std::span(reply).subspan(1, reply.size() - 2), body);
    ASSERT_TRUE(kmp::KmpBodyVerified(body));
    // Serial number 5512093; its 0x1B went out escaped and came back whole.
    EXPECT_EQ(body,
              (std::vector<std::uint8_t>{0x40, 0x02, 0x00, 0x54, 0x1B, 0x9D, body[6], body[7]}));
    // The server closes after its one reply: the next read says the port is gone.
    std::vector<std::uint8_t> rest;
    bool alive = true;
    for (int i = 0; i < 20 && alive; ++i) alive = port->Read(200, rest);
    EXPECT_FALSE(alive);
}

// A device server that hangs up in the middle of the run: the run goes on to its end with its
// summary, and says with 1 that a port failed.
TEST(HostRunProgram, APortThatFailsDuringTheRunEndsItWithOne) {
    DeviceServer server(2);
    const ProgramRun run =
        RunOnConfig(
            "<QUERY><Request caption=\"Power\"><Enabled check=\"2\"/><Device>64</Device>"
            "<Timeout>500</Timeout><MethodPoll check=\"2\"/><PollInterval>1</PollInterval>"
            "<PollUnits>S</PollUnits><Response><I><Register>0001</Register></I></Response>"
            "</Request></QUERY>",
            "--seconds 3 --port L1=tcp:127.0.0.1:" + std::to_string(server.Port()))
            .run;
    EXPECT_EQ(run.exit_code, 1u) << run.out << run.err;
    EXPECT_TRUE(Has(run.err, "hostsim: port L1 failed[^\n]*; it is closed")) << run.err;
    EXPECT_TRUE(Has(run.err, "hostsim: a port failed during the run")) << run.err;
    EXPECT_TRUE(Has(run.out, "\nsummary: writes=[0-9]+ packets=[0-9]+ [^\n]*\r?\n$")) << run.out;
}

// The run's console control handler ignores nothing but its own run; this program ignores the
// Ctrl-C it sends to both.
BOOL WINAPI IgnoreControl(DWORD) { return TRUE; }

// Ctrl-C in the middle of a run: the run closes down in order, writes its summary, JSON, CSV and
// report (which says it was cut short), and ends with 130.
TEST(HostRunProgram, CtrlCEndsTheRunWithEverythingWrittenAndOneHundredThirty) {
    const std::string json = "host_run_cut.json", csv = "host_run_cut.csv",
                      report = "host_run_cut.html";
    // A console of its own, shared with the run, so the Ctrl-C reaches nobody else.
    const HANDLE std_handles[3] = {GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE),
                                   GetStdHandle(STD_ERROR_HANDLE)};
    FreeConsole();
    ASSERT_TRUE(AllocConsole());
    SetConsoleCtrlHandler(IgnoreControl, TRUE);
    bool sent = false;
    const ProgramRun run = RunHostsim(
        "run --seconds 50 --json " + json + " --csv " + csv + " --report " + report +
            " --port P1=sim:63",
        [&] {
            // Once the first packet is written: the run is well under way.
            for (int i = 0; i < 400 && ReadBack(json).find('\n') == std::string::npos; ++i) {
                Sleep(100);
            }
            sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != FALSE;
        });
    SetConsoleCtrlHandler(IgnoreControl, FALSE);
    FreeConsole();
    SetStdHandle(STD_INPUT_HANDLE, std_handles[0]);
    SetStdHandle(STD_OUTPUT_HANDLE, std_handles[1]);
    SetStdHandle(STD_ERROR_HANDLE, std_handles[2]);
    const std::string lines = ReadBack(json), rows = ReadBack(csv), page = ReadBack(report);
    for (const auto& file : {json, csv, report}) DeleteFileA(file.c_str());
    ASSERT_TRUE(sent);
    EXPECT_EQ(run.exit_code, 130u) << run.err;
    EXPECT_TRUE(Has(run.err,
                    "hostsim: interrupted: [0-9]+:[0-9]{2} elapsed, [0-9]+:[0-9]{2} left, "
                    "[0-9]+ packets?, meters heard 1 of 3"))
        << run.err;
    EXPECT_TRUE(Has(run.out, "\nmeter P1/63 serial 67012345: [1-9][0-9]* packets?, last "))
        << run.out;
    EXPECT_TRUE(Has(run.out, "\nsummary: writes=[0-9]+ packets=[1-9][0-9]* [^\n]*\r?\n$"))
        << run.out;
    // Every packet line whole and the port's line-use line last, the CSV with its header and
    // rows, and the report's banner.
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), '\n');
    std::vector<std::string> line_uses;
    for (std::size_t at = 0; at < lines.size(); at = lines.find('\n', at) + 1) {
        const std::string line = lines.substr(at, lines.find('\n', at) - at);
        if (const auto use = ParseLineUseJson(line)) {
            line_uses.push_back(use->port);
            continue;
        }
        EXPECT_TRUE(line_uses.empty() && ParsePacketJson(line).has_value()) << line;
    }
    EXPECT_EQ(line_uses, std::vector<std::string>{"P1"});
    EXPECT_EQ(rows.rfind(std::string(kCsvHeader) + "\n2", 0), 0u) << rows;
    const std::string banner = page.substr(page.find("<p class=\"bad interrupted\">"), 120);
    EXPECT_TRUE(Has(banner,
                    "^<p class=\"bad interrupted\">Interrupted at 20[0-9-]+T[0-9:.]+: "
                    "the run was cut short"))
        << banner;
    EXPECT_NE(page.find("<td>interrupted: "), std::string::npos);  // and the log says when
}

TEST(HostRunPorts, TcpPortThatNobodyServesIsAnError) {
    // A bound socket that does not listen: its port is taken and refuses connections.
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET bound = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(bound, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    int length = sizeof address;
    getsockname(bound, reinterpret_cast<sockaddr*>(&address), &length);
    const std::uint16_t port = ntohs(address.sin_port);
    std::string error;
    EXPECT_EQ(OpenTcpPort("127.0.0.1", port, 2000, error), nullptr);
    EXPECT_EQ(error, "cannot connect to 127.0.0.1:" + std::to_string(port));
    closesocket(bound);
    WSACleanup();
}

// A device server with the COM-port option in this process, playing one scripted session: it
// takes the client's opening, agrees, takes the line settings, confirms 1200 8N2, takes one
// request and answers it with Telnet commands between the reply's bytes, then takes the client's
// answer to its last negotiation. What the client sent is kept for the test.
class TelnetDeviceServer {
   public:
    TelnetDeviceServer() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        int length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        listen(listener_, 1);
        thread_ = std::thread([this] { Serve(); });
    }
    ~TelnetDeviceServer() {
        closesocket(listener_);
        if (thread_.joinable()) thread_.join();
        WSACleanup();
    }
    std::uint16_t Port() const { return port_; }
    // What the client sent at each step (opening, settings, request, answer), once the session
    // has ended.
    std::vector<std::string> Received() {
        if (thread_.joinable()) thread_.join();
        return received_;
    }

   private:
    static std::string Take(SOCKET s, std::size_t count) {
        std::vector<std::uint8_t> bytes;
        char buffer[64];
        while (bytes.size() < count) {
            const int n =
                recv(s, buffer, static_cast<int>(std::min(sizeof buffer, count - bytes.size())), 0);
            if (n <= 0) break;
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
        std::string hex;
        for (std::uint8_t b : bytes) {
            char text[4];
            std::snprintf(text, sizeof text, hex.empty() ? "%02X" : " %02X", b);
            hex += text;
        }
        return hex;
    }
    static void Give(SOCKET s, const std::vector<std::uint8_t>& bytes) {
        send(s, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0);
    }

    void Serve() {
        const SOCKET s = accept(listener_, nullptr, nullptr);
        if (s == INVALID_SOCKET) return;
        received_.push_back(Take(s, 15));
        // DO COM-PORT-OPTION, and binary and no go-ahead both ways.
        Give(s, {0xFF, 0xFD, 0x2C, 0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x03, 0xFF, 0xFD,
                 0x03});
        received_.push_back(Take(s, 52));
        // SET-BAUDRATE 1200, SET-DATASIZE 8, SET-PARITY none, SET-STOPSIZE 2 confirmed.
        Give(s, {0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00, 0x04, 0xB0, 0xFF, 0xF0, 0xFF,
                 0xFA, 0x2C, 0x66, 0x08, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x67, 0x01,
                 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x68, 0x02, 0xFF, 0xF0});
        received_.push_back(Take(s, 8));
        // NOP, 40, a doubled FF, DO TERMINAL-TYPE, 0D, NOTIFY-LINESTATE 0, 41.
        Give(s, {0xFF, 0xF1, 0x40, 0xFF, 0xFF, 0xFF, 0xFD, 0x18, 0x0D, 0xFF, 0xFA, 0x2C, 0x6A, 0x00,
                 0xFF, 0xF0, 0x41});
        received_.push_back(Take(s, 3));
        closesocket(s);
    }

    SOCKET listener_ = INVALID_SOCKET;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::vector<std::string> received_;
};

TEST(HostRunPorts, Rfc2217PortSetsTheLineAndKeepsTelnetOutOfTheMetersBytes) {
    TelnetDeviceServer server;
    std::string error;
    auto port = OpenRfc2217Port("127.0.0.1", server.Port(), 1200, 2000, error);
    ASSERT_NE(port, nullptr) << error;
    ASSERT_TRUE(port->Write(std::vector<std::uint8_t>{0x80, 0x3F, 0x01, 0x05, 0x8A, 0x0D, 0xFF}));
    EXPECT_EQ(ReadUpTo(*port, 4), (std::vector<std::uint8_t>{0x40, 0xFF, 0x0D, 0x41}));
    const auto received = server.Received();
    ASSERT_EQ(received.size(), 4u);
    // WILL BINARY, WILL SUPPRESS-GO-AHEAD, WILL COM-PORT-OPTION, DO BINARY, DO SUPPRESS-GO-AHEAD.
    EXPECT_EQ(received[0], "FF FB 00 FF FB 03 FF FB 2C FF FD 00 FF FD 03");
    // 1200 baud, 8 data bits, no parity, 2 stop bits, no flow control, DTR on, RTS on.
    EXPECT_EQ(
        received[1],
        "FF FA 2C 01 00 00 04 B0 FF F0 FF FA 2C 02 08 FF F0 FF FA 2C 03 01 FF F0 "
        "FF FA 2C 04 02 FF F0 FF FA 2C 05 01 FF F0 FF FA 2C 05 08 FF F0 FF FA 2C 05 0B FF F0");
    EXPECT_EQ(received[2], "80 3F 01 05 8A 0D FF FF");
    EXPECT_EQ(received[3], "FF FC 18");  // WONT TERMINAL-TYPE
}

TEST(HostRunPorts, Rfc2217PortOnARawServerSaysSo) {
    // The raw device server never answers Telnet: opening gives up after its time with a text
    // that names the way out.
    DeviceServer server(1);
    std::string error;
    EXPECT_EQ(OpenRfc2217Port("127.0.0.1", server.Port(), 1200, 300, error), nullptr);
    EXPECT_EQ(error, "no RFC 2217 answer from 127.0.0.1:" + std::to_string(server.Port()) +
                         " within 300 ms (a raw TCP port is reached with tcp:)");
}

// A port that records what is written to it and has nothing to read.
class RecordingPort : public PortTransport {
   public:
    bool Write(std::span<const std::uint8_t> bytes) override {
        std::lock_guard<std::mutex> guard(lock_);
        written_.emplace_back(bytes.begin(), bytes.end());
        return true;
    }
    bool Read(std::uint32_t timeout_ms, std::vector<std::uint8_t>&) override {
        std::unique_lock<std::mutex> guard(lock_);
        quiet_.wait_for(guard, std::chrono::milliseconds(timeout_ms));
        return true;
    }
    std::vector<std::vector<std::uint8_t>> Written() {
        std::lock_guard<std::mutex> guard(lock_);
        return written_;
    }

   private:
    std::mutex lock_;
    std::condition_variable quiet_;  // never signalled: reads just wait out their time
    std::vector<std::vector<std::uint8_t>> written_;
};

// The plug-in's two calls into the host, made here as the plug-in makes them, while the run's
// port threads are reading: writes reach the port of their source id, pushed packets come out
// named after their port, and both are counted.
TEST(HostRunLoop, WritesReachTheirPortAndPushedPacketsComeOutNamed) {
    PluginLibrary library;
    ASSERT_TRUE(library.Load("kmpparser.dll")) << library.Error();
    HostRun run(library, ParamsMode::kInterface);
    auto first = std::make_unique<RecordingPort>();
    auto second = std::make_unique<RecordingPort>();
    RecordingPort* second_port = second.get();
    run.AddPort("NORTH", "tcp:north:4001", std::move(first));
    run.AddPort("SOUTH", "sim:63", std::move(second));
    std::vector<PortPacket> packets;
    run.OnPacket = [&](const PortPacket& packet) { packets.push_back(packet); };
    std::string error;
    ASSERT_TRUE(run.Start("<QUERY></QUERY>", std::nullopt, error)) << error;

    const std::uint8_t frame[] = {0x80, 0x3F, 0x01, 0x05, 0x8A, 0x0D};
    EXPECT_EQ(Vantor_SendDataEx(1, 2, 0, 0, plugins::kSendRawBytes,
                                reinterpret_cast<std::intptr_t>(frame), sizeof frame),
              0);
    EXPECT_EQ(Vantor_SendDataEx(1, 3, 0, 0, plugins::kSendRawBytes,
                                reinterpret_cast<std::intptr_t>(frame), sizeof frame),
              -12);  // no such port

    plugins::TParsedDataList list;
    list.Add("DEVICE_ID", Variant::UInt32(63));
    list.Add("E1", Variant::UInt32(315904));
    list.NewRow();
    auto* wrap = new common::TzolParamsListWrap(&list, true);
    plugins::TPluginCallRec rec{};
    rec.RecSize = plugins::kCallRecSize;
    rec.OutData.Kind = plugins::kDataListInterface;
    rec.OutData.Value.Ptr = wrap->AsInterfaceA();
    std::thread plugin_timer([&] {
        Vantor_SendDataEx(1, 2, 0, 0, plugins::kSendDataPacket,
                          reinterpret_cast<std::intptr_t>(&rec), 0);
    });
    plugin_timer.join();
    wrap->DestroyCached();

    const std::atomic<bool> stop{false};
    run.RunFor(50, stop);
    EXPECT_EQ(second_port->Written(),
              (std::vector<std::vector<std::uint8_t>>{{frame, frame + sizeof frame}}));
    run.Stop();  // closes (and frees) the ports
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].port, "SOUTH");
    EXPECT_EQ(packets[0].source, 2);
    ASSERT_EQ(packets[0].items.size(), 2u);  // the row marker is not an item
    EXPECT_EQ(packets[0].items[1].second.AsInt64(), 315904);
    const RunCounts counts = run.Counts();
    EXPECT_EQ(counts.writes, 2u);
    EXPECT_EQ(counts.packets, 1u);
}

PortPacket SamplePacket() {
    PortPacket packet;
    packet.time = "2026-12-07T14:30:15.250";
    packet.port = "COM1";
    packet.source = 1;
    packet.items = {
        {"DATA_PACKET", Variant::Ansi(std::string("\x3F\x10", 2))},
        {"DATE_TIME_STAMP", Variant::Date(46363.5)},  // 2026-12-07 12:00
        {"DATA_SOURCE_ID", Variant::Int32(1)},
        {"DEVICE_ID", Variant::UInt32(63)},
        {"SERIAL_NO", Variant::UInt32(67012345)},
        {"E1", Variant::UInt32(315904)},
        {"E1_UNIT", Variant::Ansi("kWh")},
        {"V1", Variant::Double(27415.33)},
        {"V1_UNIT", Variant::Ansi("m3")},
        {"HR", Variant::Int64(-41877)},
        {"INFO", Variant::Ansi("a,\"b\"")},
        {"T3", Variant::Null()},
        {"$NEW_ROW$", Variant::Null()},
    };
    return packet;
}

TEST(HostRunOutput, PacketJsonHasEveryItemInItsJsonType) {
    EXPECT_EQ(PacketJson(SamplePacket()),
              "{\"time\": \"2026-12-07T14:30:15.250\", \"port\": \"COM1\", \"source\": 1, "
              "\"items\": {\"DATA_PACKET\": \"3F 10\", \"DATE_TIME_STAMP\": "
              "\"2026-12-07T12:00:00.000\", \"DATA_SOURCE_ID\": 1, \"DEVICE_ID\": 63, "
              "\"SERIAL_NO\": 67012345, \"E1\": 315904, \"E1_UNIT\": \"kWh\", \"V1\": 27415.33, "
              "\"V1_UNIT\": \"m3\", \"HR\": -41877, \"INFO\": \"a,\\\"b\\\"\", \"T3\": null}}");
}

// Numbers keep the form the console shows (15 significant digits) whatever the JSON library
// would choose, JSON's missing NaN and infinity become null, and a name that is not UTF-8 (the
// plug-in's 8-bit texts) is written with U+FFFD instead of failing; the report reads it all back.
TEST(HostRunOutput, PacketJsonKeepsItsNumberFormsAndSurvivesTextThatIsNotUtf8) {
    platform::OleVariant u64{};
    u64.vt = platform::kVtUI8;
    u64.ullVal = 18446744073709551615ull;
    PortPacket packet;
    packet.time = "2026-12-07T14:30:15.250";
    packet.port = "P\xB0";
    packet.source = -2;
    packet.items = {
        {"THIRD", Variant::Double(1.0 / 3)},
        {"TENTH", Variant::Double(0.1 + 0.2)},
        {"SMALL", Variant::Double(1e-7)},
        {"LARGE", Variant::Double(1e21)},
        {"WHOLE", Variant::Double(28.0)},
        {"NAN", Variant::Double(std::nan(""))},
        {"INF", Variant::Double(-HUGE_VAL)},
        {"U64", Variant::Take(u64)},
        {"I64", Variant::Int64(-9223372036854775807ll - 1)},
        {"OK", Variant::Bool(true)},
        {"T\xB0\xFF", Variant::Ansi("x")},
    };
    const std::string json = PacketJson(packet);
    EXPECT_EQ(json,
              "{\"time\": \"2026-12-07T14:30:15.250\", \"port\": \"P\xEF\xBF\xBD\", \"source\": "
              "-2, \"items\": {\"THIRD\": 0.333333333333333, \"TENTH\": 0.3, \"SMALL\": 1e-07, "
              "\"LARGE\": 1e+21, \"WHOLE\": 28, \"NAN\": null, \"INF\": null, \"U64\": "
              "18446744073709551615, \"I64\": -9223372036854775808, \"OK\": true, "
              "\"T\xEF\xBF\xBD\xEF\xBF\xBD\": \"x\"}}");
    const auto read = ParsePacketJson(json);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->source, -2);
    EXPECT_EQ(read->items.size(), packet.items.size());
    EXPECT_EQ(read->Find("THIRD")->number, 0.333333333333333);
    EXPECT_EQ(read->Find("NAN")->kind, ReportValue::Kind::kNull);
    // Backspace and form feed as kmptool's JSON writes them, not as \b and \f.
    packet.port = "P\b\f";
    packet.items.clear();
    EXPECT_EQ(PacketJson(packet),
              "{\"time\": \"2026-12-07T14:30:15.250\", \"port\": \"P\\u0008\\u000c\", \"source\": "
              "-2, \"items\": {}}");
}

TEST(HostRunOutput, CsvRowsAndThePrintedLineCarryEachRegisterWithItsUnit) {
    const auto packet = SamplePacket();
    const std::vector<std::string> rows = {
        "2026-12-07T14:30:15.250,COM1,63,67012345,E1,315904,kWh",
        "2026-12-07T14:30:15.250,COM1,63,67012345,V1,27415.33,m3",
        "2026-12-07T14:30:15.250,COM1,63,67012345,HR,-41877,",
        "2026-12-07T14:30:15.250,COM1,63,67012345,INFO,\"a,\"\"b\"\"\",",
        "2026-12-07T14:30:15.250,COM1,63,67012345,T3,,",
    };
    EXPECT_EQ(PacketCsvRows(packet), rows);
    EXPECT_EQ(PacketLine(packet),
              "2026-12-07T14:30:15.250 COM1 DEVICE_ID=63 SERIAL_NO=67012345 E1=315904 kWh, "
              "V1=27415.33 m3, HR=-41877, INFO=a,\"b\", T3=");
}

// Clock and date registers are told by the unit item that travels with them, not by their name;
// the packet's own time stamps carry no unit and stay full; the frame and any text with control
// bytes are bytes, written as hexadecimal.
TEST(HostRunOutput, ClockDateAndBinaryItemsAreWrittenAsPeopleReadThem) {
    struct Row {
        const char* name;
        Variant value;
        const char* unit;  // nullptr: the packet carries no unit item
        const char* json;  // the item's value in the JSON
        const char* text;  // in the console line and the CSV; nullptr: no register
    };
    const double clock = (14 * 3600 + 30 * 60 + 15) / 86400.0;
    const Row rows[] = {
        {"FULL_DATA_PACKET", Variant::Ansi("?A"), nullptr, "\"3F 41\"", nullptr},
        {"TIMESTAMP", Variant::Date(46363 + clock), nullptr, "\"2026-12-07T14:30:15.000\"",
         nullptr},
        {"T_METER", Variant::Date(clock), "hh:mm:ss", "\"14:30:15\"", "14:30:15"},
        {"D_METER", Variant::Date(46363), "yy:mm:dd", "\"2026-12-07\"", "2026-12-07"},
        {"D_LONG", Variant::Date(46363), "yyyy:mm:dd", "\"2026-12-07\"", "2026-12-07"},
        // A date-time with any other unit is no clock register.
        {"STAMP", Variant::Date(46363 + clock), "RTC", "\"2026-12-07T14:30:15.000\"",
         "2026-12-07T14:30:15.000"},
        // A meter clock the plug-in could not read as a time stays the number it is.
        {"CLOCK", Variant::UInt32(256015), "hh:mm:ss", "256015", "256015"},
        {"RAW", Variant::Ansi(std::string("\x3F\x00\x7F", 3)), nullptr, "\"3F 00 7F\"", "3F 00 7F"},
        {"E1", Variant::Double(1.5), "kWh", "1.5", "1.5"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PortPacket packet;
        packet.time = "2026-12-07T14:30:16.000";
        packet.port = "P1";
        packet.items = {{"DEVICE_ID", Variant::UInt32(63)}, {row.name, row.value}};
        if (row.unit != nullptr)
            packet.items.push_back({std::string(row.name) + "_UNIT", Variant::Ansi(row.unit)});
        const std::string unit_json =
            row.unit != nullptr ? std::string(", \"") + row.name + "_UNIT\": \"" + row.unit + "\""
                                : "";
        EXPECT_EQ(PacketJson(packet),
                  "{\"time\": \"2026-12-07T14:30:16.000\", \"port\": \"P1\", "
                  "\"source\": 0, \"items\": {\"DEVICE_ID\": 63, \"" +
                      std::string(row.name) + "\": " + row.json + unit_json + "}}");
        const std::string unit_text = row.unit != nullptr ? row.unit : "";
        const std::string head = "2026-12-07T14:30:16.000";
        if (row.text == nullptr) {
            EXPECT_TRUE(PacketCsvRows(packet).empty());
            EXPECT_EQ(PacketLine(packet), head + " P1 DEVICE_ID=63 SERIAL_NO=");
            continue;
        }
        EXPECT_EQ(PacketCsvRows(packet),
                  std::vector<std::string>{head + ",P1,63,," + row.name + "," + row.text + "," +
                                           unit_text});
        EXPECT_EQ(PacketLine(packet), head + " P1 DEVICE_ID=63 SERIAL_NO= " + row.name + "=" +
                                          row.text + (row.unit != nullptr ? " " + unit_text : ""));
    }
}

TEST(HostRunOutput, SummaryCountsTheModulesTimeoutAndChecksumLines) {
    RunCounts counts;
    for (const char* line :
         {"[63/Heat] . Heat. Request timeout", "[70/] . Request timeout",
          "Invalid CRC (BE71,BE70) [63,01]", "Received 12 bytes", "Request sent to 63"}) {
        CountLogLine(line, counts);
    }
    EXPECT_EQ(counts.timeouts, 2u);
    EXPECT_EQ(counts.crc_errors, 1u);
}

// The plug-in logs in the language its own file gives it; the summary must count those lines too,
// or a run in German reports no timeouts at all.
TEST(HostRunOutput, SummaryCountsTheLinesInThePluginsLanguage) {
    const std::string folder = "markers_" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string language_file = folder + "\\plugin.lng";
    {
        std::ofstream out(language_file, std::ios::binary);
        out << "// Encoding=utf-8\r\n[Languages]\r\nDefault=DE\r\n$DE=Deutsch\r\n\r\n"
               "EN:>Request timeout (ms)\r\nDE:>Zeit\xc3\xbc"
               "berschreitung der Anfrage (ms)\r\n\r\n"
               "EN:>Invalid CRC (%.4x,%.4x)\r\nDE:>Ung\xc3\xbcltige Pr\xc3\xbc"
               "fsumme (%.4x,%.4x)\r\n";
    }
    const LogMarkers markers = PluginLogMarkers(folder + "\\plugin.dll");
    DeleteFileA(language_file.c_str());
    RemoveDirectoryA(folder.c_str());

    // The lines as the host reads them: written in the system code page, UTF-8 once read.
    const std::vector<HostWindow::LogLine> lines = ParseLog(
        1, "\x02[70/Silent] . Silent. " +
               platform::Utf16ToAnsi(u"Zeit\u00fcberschreitung der Anfrage") + "\r\n\x02" +
               platform::Utf16ToAnsi(u"Ung\u00fcltige Pr\u00fcfsumme (BE71,BE70) [63,01]") +
               "\r\n\x02[63/Heat] . Heat. Request timeout\r\n\x03Zeitplan (Anfrage 3)\r\n");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].text,
              "[70/Silent] . Silent. Zeit\xc3\xbc"
              "berschreitung der Anfrage");
    RunCounts counts;
    for (const auto& line : lines) CountLogLine(line.text, counts, markers);
    EXPECT_EQ(counts.timeouts, 2u);
    EXPECT_EQ(counts.crc_errors, 1u);

    // Without its own language file the plug-in speaks English only.
    const LogMarkers english = PluginLogMarkers(folder + "\\plugin.dll");
    EXPECT_EQ(english.timeout, LogMarkers{}.timeout);
}

}  // namespace
}  // namespace zol::hostsim
