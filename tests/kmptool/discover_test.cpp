// Discovery on a drawn line of twelve meters with a meter whose replies are damaged now and then
// and an impostor that also answers an empty address and another meter's: in-process on the
// virtual clock over all 254 addresses, and through a pseudo-terminal against metersim.
#include "kmptool/discover.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "common/config_check.h"
#include "kmp/request_config.h"
#include "kmptool/discover_config.h"
#include "kmptool/sim_line.h"
#include "metersim/meter_line.h"

namespace zol::kmptool {
namespace {

using metersim::SimMeter;

// A line of 8 heat and 4 electricity meters drawn from `seed`, with its two misfits.
struct Scenario {
    std::vector<SimMeter> meters;
    std::uint8_t damaged = 0;   // every second reply has a bad checksum
    std::uint8_t impostor = 0;  // answers `empty` and `answered` too, with its own address
    std::uint8_t empty = 0;     // no meter there
    std::uint8_t answered = 0;  // a meter whose every reply the impostor's follows
};

Scenario MakeScenario(std::uint32_t seed) {
    Scenario s;
    s.meters = metersim::DrawMeterLine({8, 4, 0}, seed);
    s.damaged = s.meters[2].address;
    s.impostor = s.meters[7].address;
    s.answered = s.meters[10].address;
    for (std::uint8_t a = 1; s.empty == 0; ++a) {
        const bool taken = std::any_of(s.meters.begin(), s.meters.end(),
                                       [a](const SimMeter& m) { return m.address == a; });
        if (!taken) s.empty = a;
    }
    s.meters[2].faults.corrupt_every = 2;
    s.meters[7].faults.answers_for = {s.empty, s.answered};
    return s;
}

bool HasStray(const DiscoverResult& result, StrayKind kind, std::uint8_t asked, std::uint8_t from) {
    return std::any_of(result.strays.begin(), result.strays.end(), [&](const StrayReply& s) {
        return s.kind == kind && s.asked == asked && s.from == from;
    });
}

// Every meter once, at its own address, with its own identity; the damaged one after a resend;
// the impostor's replies for other addresses counted against them, never listed.
void ExpectScenarioFound(const Scenario& s, const DiscoverResult& result) {
    ASSERT_EQ(result.end, DiscoverEnd::kDone) << result.failure;
    ASSERT_EQ(result.meters.size(), s.meters.size());
    for (std::size_t i = 0; i < s.meters.size(); ++i) {
        const SimMeter& sim = s.meters[i];
        const FoundMeter& found = result.meters[i];
        SCOPED_TRACE(FoundMeterLine(found));
        EXPECT_EQ(found.address, sim.address);
        EXPECT_EQ(found.type, sim.type);
        EXPECT_EQ(found.revision, sim.revision);
        EXPECT_EQ(found.serial.value_or(0), sim.serial);
        EXPECT_TRUE(found.catalogue.known);
        EXPECT_EQ(found.catalogue.catalogue, sim.life == metersim::SimLife::kElectricity
                                                 ? kmp::KmpCatalogue::kElectricity
                                                 : kmp::KmpCatalogue::kHeat);
        EXPECT_EQ(found.resent > 0, sim.address == s.damaged);
    }
    EXPECT_TRUE(HasStray(result, StrayKind::kDamaged, s.damaged, s.damaged));
    EXPECT_TRUE(HasStray(result, StrayKind::kWrongAddress, s.empty, s.impostor));
    EXPECT_TRUE(HasStray(result, StrayKind::kWrongAddress, s.answered, s.impostor));
    for (const StrayReply& stray : result.strays) {
        if (stray.kind != StrayKind::kWrongAddress) continue;
        EXPECT_EQ(stray.from, s.impostor);
        EXPECT_TRUE(stray.asked == s.empty || stray.asked == s.answered) << int{stray.asked};
    }
    const auto report = StrayReport(result);
    const std::string wrong =
        "asked " + std::to_string(s.empty) + ", answered by " + std::to_string(s.impostor);
    EXPECT_TRUE(std::any_of(report.begin(), report.end(), [&](const std::string& line) {
        return line.find(wrong) != std::string::npos;
    })) << wrong;
}

TEST(Discover, FindsEveryMeterOfADrawnLineOnceWhateverTheMisfitsSend) {
    for (const bool echo : {false, true}) {
        SCOPED_TRACE(echo ? "echoing line" : "quiet line");
        const Scenario s = MakeScenario(7);
        metersim::MeterSimulator sim;
        for (const auto& m : s.meters) sim.AddMeter(m);
        SimulatedMeterLine line(std::move(sim), 1200, echo);
        DiscoverOptions options;
        std::string error;
        options.addresses = *ParseAddressList("1-254", error);
        std::vector<DiscoverProgress> seen;
        const auto result =
            Discover(line, options, [&](const DiscoverProgress& p) { seen.push_back(p); });
        ExpectScenarioFound(s, result);
        EXPECT_EQ(result.echoes, echo ? result.requests : 0u);
        ASSERT_EQ(seen.size(), 255u);
        EXPECT_EQ(seen.back().done, 254u);
        EXPECT_EQ(seen.back().found, 12u);
        EXPECT_EQ(seen.back().left_ms, 0u);

        // Bounded by the wire: every silent address costs its two requests (six bytes, 55 ms
        // each at 1200 baud 8N2) and two timeouts, and the meters little more than their bytes.
        const std::uint64_t silent = (254 - 12) * 2 * (55 + 300);
        EXPECT_GE(result.elapsed_ms, silent);
        EXPECT_LE(result.elapsed_ms, silent + 12 * 2 * (55 + 300) + 5 * 300);
    }
}

TEST(Discover, ReportsAMeterWhoseRepliesAreAlwaysDamagedWithoutListingIt) {
    Scenario s = MakeScenario(11);
    s.meters[2].faults.corrupt_every = 0;
    s.meters[2].faults.corrupt_checksum = true;
    metersim::MeterSimulator sim;
    for (const auto& m : s.meters) sim.AddMeter(m);
    SimulatedMeterLine line(std::move(sim));
    DiscoverOptions options;
    for (const auto& m : s.meters) options.addresses.push_back(m.address);
    const auto result = Discover(line, options);
    EXPECT_EQ(result.meters.size(), 11u);
    EXPECT_TRUE(std::none_of(result.meters.begin(), result.meters.end(),
                             [&](const FoundMeter& m) { return m.address == s.damaged; }));
    EXPECT_EQ(result.Count(StrayKind::kDamaged), options.attempts);
    EXPECT_TRUE(HasStray(result, StrayKind::kDamaged, s.damaged, s.damaged));
}

// A damaged reply is sent again as soon as the damaged frame has ended: on the virtual clock a
// meter damaging its serial-number reply costs the damaged frame and one more exchange, not the
// timeout as well.
TEST(Discover, SendsAgainAtOnceAfterADamagedReply) {
    const auto scan = [](const std::string& meters) {
        std::string error;
        const auto line = metersim::ParseMeterLine(meters, error);
        metersim::MeterSimulator sim;
        for (const auto& m : *line) sim.AddMeter(m);
        SimulatedMeterLine wire(std::move(sim));
        DiscoverOptions options;
        options.addresses = {63, 64, 65, 66};
        options.test_read = false;
        return Discover(wire, options);
    };
    const auto clean = scan("63");
    const auto damaged = scan("63/corrupt=2");
    ASSERT_EQ(damaged.meters.size(), 1u);
    EXPECT_EQ(damaged.meters[0].resent, 1u);
    EXPECT_GT(damaged.elapsed_ms, clean.elapsed_ms);
    EXPECT_LT(damaged.elapsed_ms - clean.elapsed_ms, 300u);
}

// A line that fails part way (a device server hanging up) ends the scan with what was found and
// why; a stop request ends it between exchanges.
TEST(Discover, EndsWithWhatItFoundWhenTheLineFailsOrItIsStopped) {
    class FailingLine : public SimulatedMeterLine {
       public:
        using SimulatedMeterLine::SimulatedMeterLine;
        bool Write(std::span<const std::uint8_t> bytes) override {
            if (++writes_ > 5) return false;
            return SimulatedMeterLine::Write(bytes);
        }
        std::string FailureText() const override {
            return writes_ > 5 ? "the device server hung up" : "";
        }

       private:
        int writes_ = 0;
    };
    metersim::MeterSimulator sim;
    for (const auto& m : metersim::DemoMeters()) sim.AddMeter(m);
    DiscoverOptions options;
    options.addresses = {63, 64, 65, 66};
    FailingLine failing(sim);
    const auto failed = Discover(failing, options);
    EXPECT_EQ(failed.end, DiscoverEnd::kLineFailed);
    EXPECT_EQ(failed.failure, "the device server hung up");
    ASSERT_EQ(failed.meters.size(), 2u);  // 63 and 64 took four requests, 65 the fifth
    EXPECT_EQ(failed.asked, 2u);

    SimulatedMeterLine line(sim);
    std::size_t calls = 0;
    const auto stopped = Discover(
        line, options, [&](const DiscoverProgress&) { ++calls; }, [&] { return calls > 1; });
    EXPECT_EQ(stopped.end, DiscoverEnd::kStopped);
    EXPECT_EQ(stopped.asked, 1u);
    EXPECT_EQ(stopped.meters.size(), 1u);
}

TEST(Discover, ReadsAddressListsAndPollIntervals) {
    std::string error;
    EXPECT_EQ(ParseAddressList("1-254", error)->size(), 254u);
    for (const char* text : {"17", "1,3,5", "1-254", "63-65,200,17-18,20"}) {
        EXPECT_EQ(AddressListText(*ParseAddressList(text, error)), text);
    }
    EXPECT_EQ(AddressListText({5, 3, 4, 6, 9}), "5,3-4,6,9");
    EXPECT_EQ(*ParseAddressList("70-72,63,71,1", error),
              (std::vector<std::uint8_t>{70, 71, 72, 63, 1}));
    for (const char* bad : {"", "0", "255", "1-255", "5-3", "a", "1-", "-4", "1,,2", "63 "}) {
        EXPECT_FALSE(ParseAddressList(bad, error)) << bad;
    }
    EXPECT_EQ(ParsePollInterval("15m")->units, "M");
    EXPECT_EQ(ParsePollInterval("500MS")->value, 500u);
    for (const char* bad : {"15", "0M", "M", "15 M", "15min", "100001S", "-5S"}) {
        EXPECT_FALSE(ParsePollInterval(bad)) << bad;
    }
}

// The written options text passes the configuration check and loads, through the plug-in's own
// loader, into requests for every meter with the registers meant: one request each by default,
// eight registers at most each with all of them, every register of the catalogue read once.
TEST(DiscoverConfig, WritesATextThePluginLoadsForEveryMeterFound) {
    std::vector<FoundMeter> meters(3);
    meters[0] = {17, 0x0210, 5, 67012345u, CatalogueOfType(0x0210), 0};
    meters[1] = {64, 0x0401, 0x0102, 5512093u, CatalogueOfType(0x0401), 0};
    meters[2] = {200, 0x7F01, 1, std::nullopt, CatalogueOfType(0x7F01), 0};
    EXPECT_FALSE(meters[2].catalogue.known);
    for (const auto choice : {RegisterChoice::kDefault, RegisterChoice::kAll}) {
        SCOPED_TRACE(choice == RegisterChoice::kAll ? "all" : "default");
        ConfigOptions options;
        options.registers = choice;
        options.poll = *ParsePollInterval("30s");
        const std::string text = WriteOptionsText(meters, options);
        for (const auto& finding : tools::CheckOptionsText(text)) {
            ADD_FAILURE() << tools::FindingLine(finding) << "\n" << text;
        }
        kmp::TDataSourceCfg config;
        config.lblParams_Caption = text;
        parser::TBasicRequestList list;
        kmp::LoadRequests(nullptr, &config, list, nullptr);
        for (const FoundMeter& meter : meters) {
            SCOPED_TRACE(meter.address);
            std::vector<std::uint16_t> read;
            std::size_t requests = 0;
            for (std::int32_t i = 0; i < list.Count(); ++i) {
                const auto* request = static_cast<const kmp::TRequestItem*>(list.Item(i));
                if (request->Parameters.Address != meter.address) continue;
                ++requests;
                EXPECT_TRUE(request->Enabled);
                EXPECT_EQ(request->PollInterval, 30000);
                EXPECT_LE(request->ResponseCount(), 8u);
                for (std::size_t r = 0; r < request->ResponseCount(); ++r)
                    read.push_back(request->Response(r).Parameters.Register);
            }
            const auto expected = RegistersToRead(meter.catalogue.catalogue, choice);
            EXPECT_EQ(read, expected);
            EXPECT_EQ(requests, (expected.size() + 7) / 8);
            if (choice == RegisterChoice::kAll) {
                EXPECT_EQ(std::set<std::uint16_t>(read.begin(), read.end()).size(), read.size());
            }
        }
        EXPECT_NE(text.find("caption=\"67012345"), std::string::npos);
        EXPECT_NE(text.find("caption=\"meter 200"), std::string::npos);
    }
}

// The same line served by the metersim program on a pseudo-terminal, with the line echoing every
// request, read through kmptool's own serial port.
TEST(Discover, FindsTheDrawnLineThroughAPseudoTerminal) {
    const Scenario s = MakeScenario(7);
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const std::string damaged = std::to_string(s.damaged) + ":corrupt=2";
    const std::string impostor = std::to_string(s.impostor) +
                                 ":answers=" + std::to_string(s.empty) +
                                 ",answers=" + std::to_string(s.answered);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        const std::string program = std::string(ZOL_BIN_DIR) + "/metersim";
        const char* argv[] = {"metersim",
                              "--pty",
                              "--echo",
                              "--meters",
                              "12",
                              "--mix",
                              "heat:8,electricity:4",
                              "--seed",
                              "7",
                              "--fault",
                              damaged.c_str(),
                              "--fault",
                              impostor.c_str(),
                              nullptr};
        ::execv(program.c_str(), const_cast<char* const*>(argv));
        ::_exit(127);
    }
    ::close(out[1]);
    FILE* lines = ::fdopen(out[0], "r");
    char path[128] = {};
    const bool started = std::fgets(path, sizeof path, lines) != nullptr;
    std::string device(path);
    if (!device.empty() && device.back() == '\n') device.pop_back();

    std::string error;
    auto port = started ? OpenSerialPort(device, SerialSettings{}, error) : nullptr;
    DiscoverResult result;
    DiscoverOptions options;
    if (port) {
        for (const auto& m : s.meters) options.addresses.push_back(m.address);
        options.addresses.push_back(s.empty);
        std::sort(options.addresses.begin(), options.addresses.end());
        result = Discover(*port, options);
        port.reset();
    }
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    std::fclose(lines);
    ASSERT_TRUE(started) << "metersim printed no device path";
    ASSERT_TRUE(error.empty()) << error;
    ExpectScenarioFound(s, result);
    EXPECT_EQ(result.echoes, result.requests);
}

// Ctrl-C part way through a scan of a pseudo-terminal served by metersim: the meters found so far
// are written, marked incomplete, and the command printed goes on at the next address, asking
// them again so that its file is whole.
TEST(Discover, InterruptedWritesWhatItFoundAndPrintsTheCommandThatGoesOn) {
    const auto spawn = [](const std::vector<std::string>& args, int out_fd, int err_fd) {
        const pid_t pid = ::fork();
        if (pid != 0) return pid;
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(out_fd >= 0 ? out_fd : null, 1);
        ::dup2(err_fd >= 0 ? err_fd : null, 2);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    };
    const std::string bin = ZOL_BIN_DIR;
    // Every pipe end closes on exec, so that the stderr pipe ends when kmptool does, whatever
    // metersim holds.
    int sim_out[2], tool_err[2];
    ASSERT_EQ(::pipe2(sim_out, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(tool_err, O_CLOEXEC), 0);
    const pid_t sim = spawn({bin + "/metersim", "--pty", "--line", "1,2"}, sim_out[1], -1);
    ::close(sim_out[1]);
    FILE* sim_lines = ::fdopen(sim_out[0], "r");
    char path[128] = {};
    const bool started = std::fgets(path, sizeof path, sim_lines) != nullptr;
    std::string device(path);
    if (!device.empty() && device.back() == '\n') device.pop_back();

    const std::string file = ::testing::TempDir() + "discover_interrupted.xml";
    std::remove(file.c_str());
    const pid_t tool = spawn({bin + "/kmptool", "discover", "--port", device, "--timeout", "20",
                              "--attempts", "1", "--write-config", file},
                             -1, tool_err[1]);
    ::close(tool_err[1]);
    FILE* said = ::fdopen(tool_err[0], "r");
    std::string err;
    bool sent = false;
    for (char line[512]; std::fgets(line, sizeof line, said) != nullptr;) {
        err += line;
        // Progress lines come a tenth of the addresses apart: the first one is well past 1 and 2.
        if (!sent && std::string(line).find("%") != std::string::npos) {
            ::kill(tool, SIGINT);
            sent = true;
        }
    }
    int status = 0;
    ::waitpid(tool, &status, 0);
    std::fclose(said);
    ::kill(sim, SIGTERM);
    ::waitpid(sim, nullptr, 0);
    std::fclose(sim_lines);
    ASSERT_TRUE(started) << "metersim printed no device path";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130) << err;

    const auto at = err.find("interrupted at address ");
    ASSERT_NE(at, std::string::npos) << err;
    const unsigned next = static_cast<unsigned>(std::stoul(err.substr(at + 23)));
    EXPECT_GT(next, 2u);
    std::vector<std::uint8_t> resumed = {1, 2};
    for (unsigned a = next; a <= 254; ++a) resumed.push_back(static_cast<std::uint8_t>(a));
    const std::string command = "to go on from there: kmptool discover --port " + device +
                                " --timeout 20 --attempts 1 --addresses " +
                                AddressListText(resumed) + " --write-config " + file + " --force\n";
    EXPECT_NE(err.find(command), std::string::npos) << command << err;
    EXPECT_NE(err.find("wrote " + file + " (2 meters, incomplete)"), std::string::npos) << err;

    std::string text;
    if (FILE* written = std::fopen(file.c_str(), "rb")) {
        for (int c; (c = std::fgetc(written)) != EOF;) text += static_cast<char>(c);
        std::fclose(written);
    }
    EXPECT_NE(
        text.find("<!-- INCOMPLETE: the scan was interrupted at address " + std::to_string(next) +
                  "; addresses " + std::to_string(next) + "-254 were not asked."),
        std::string::npos)
        << text;
    for (const char* device_item : {"<Device>1</Device>", "<Device>2</Device>"})
        EXPECT_NE(text.find(device_item), std::string::npos) << text;
    for (const auto& finding : tools::CheckOptionsText(text))
        ADD_FAILURE() << tools::FindingLine(finding);
    std::remove(file.c_str());
}

}  // namespace
}  // namespace zol::kmptool
