// The host's styles of serving the plug-in's calls (hostsim/host_style.h): first the host's own
// machinery without a plug-in, then the real kmpparser.dll under each style. A host whose main
// thread does every port write deadlocks with a plug-in that writes while holding what the main
// thread waits for; a host that pumps messages inside its entry points lets the plug-in's timers
// tick inside a tick, and may stop the module from there. Each suite is a process of its own: a
// watchdog that ends a hung one fails that suite alone.
// clang-format off
#include <windows.h>
// clang-format on

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hostsim/host_run.h"
#include "hostsim/host_style.h"
#include "hostsim/port_transport.h"
#include "win32/hostsim_program.h"
#include "zolShared/Private/Plugins/plugin_abi.h"

extern "C" std::int32_t __stdcall Vantor_SendDataEx(std::int32_t tag, std::int32_t source_id,
                                                    std::int32_t client_id, std::int32_t zero,
                                                    std::int32_t kind, std::intptr_t data,
                                                    std::int32_t size);

namespace zol::hostsim {
namespace {

// Ends the whole program with a failure when it is not disarmed within `limit`: a host call that
// never returns cannot be taken back, and must not hold the suite for ever.
class Watchdog {
   public:
    Watchdog(std::chrono::seconds limit, std::string what)
        : what_(std::move(what)), thread_([this, limit] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!changed_.wait_for(lock, limit, [this] { return disarmed_; })) {
                  std::fprintf(stderr, "watchdog: %s did not end within %lld s\n", what_.c_str(),
                               static_cast<long long>(limit.count()));
                  std::fflush(stderr);
                  TerminateProcess(GetCurrentProcess(), 3);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            disarmed_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

   private:
    std::string what_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool disarmed_ = false;
    std::thread thread_;
};

// Puts the host back to plain when a test ends, however it ends.
struct StyleScope {
    StyleScope(HostStyle style, HostWindow& window, std::uint32_t hang_limit_ms) {
        SetHostStyle(style, &window, hang_limit_ms);
    }
    ~StyleScope() {
        SetHostStyle(HostStyle::kPlain, nullptr);
        SetHangObserver(nullptr);
        SetPortWriter(nullptr);
        TakeRecordedSends();
    }
};

std::int32_t WriteThroughEntryPoint(std::int32_t source_id, std::vector<std::uint8_t> bytes) {
    return Vantor_SendDataEx(1, source_id, 0, 0, plugins::kSendRawBytes,
                             reinterpret_cast<std::intptr_t>(bytes.data()),
                             static_cast<std::int32_t>(bytes.size()));
}

// ---------------------------------------------------------------------------------------------
// The host's machinery, without a plug-in.

TEST(HostStyles, MainThreadWriteDoesOtherThreadsWritesOnTheMainThreadWhileTheyWait) {
    HostWindow window;
    StyleScope style(HostStyle::kMainThreadWrite, window, 30000);
    std::mutex lock;
    std::vector<DWORD> writers;
    SetPortWriter([&](std::int32_t, std::span<const std::uint8_t>) {
        std::lock_guard<std::mutex> guard(lock);
        writers.push_back(GetCurrentThreadId());
        return true;
    });
    const HostStyleCounts before = HostStyleTotals();
    // The main thread's own write is done at once; another thread's waits for the main thread.
    EXPECT_EQ(WriteThroughEntryPoint(1, {0x80, 0x0D}), 0);
    std::atomic<bool> done{false};
    std::int32_t result = 1;
    DWORD other = 0;
    std::thread port([&] {
        other = GetCurrentThreadId();
        result = WriteThroughEntryPoint(2, {0x80, 0x0D});
        done = true;
    });
    Sleep(200);
    EXPECT_FALSE(done.load());  // nobody served the window yet
    while (!done) window.Pump(10);
    port.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(writers, (std::vector<DWORD>{GetCurrentThreadId(), GetCurrentThreadId()}));
    EXPECT_NE(other, GetCurrentThreadId());
    const HostStyleCounts did = HostStyleTotals() - before;
    EXPECT_EQ(did.writes_handed, 1u);
    EXPECT_EQ(did.hangs, 0u);
}

// A main thread that stays inside a plug-in call without serving its window: the waiting write
// is given up after the hang limit, answered as not written, reported with the call the main
// thread was inside, and never done afterwards.
TEST(HostStyles, AWriteTheMainThreadNeverTakesUpIsReportedAsAHangAndNotDone) {
    HostWindow window;
    StyleScope style(HostStyle::kMainThreadWrite, window, 300);
    std::atomic<int> written{0};
    SetPortWriter([&](std::int32_t, std::span<const std::uint8_t>) {
        ++written;
        return true;
    });
    std::vector<HostHang> hangs;
    SetHangObserver([&](const HostHang& hang) { hangs.push_back(hang); });
    std::int32_t result = 1;
    {
        const MainThreadCall inside("SET-STATE");
        std::thread port([&] { result = WriteThroughEntryPoint(3, {0x80, 0x0D}); });
        port.join();  // waits without serving the window, as a lock would
    }
    window.Pump(50);  // the given-up write is still queued: it must not be done now
    EXPECT_EQ(result, -12);
    EXPECT_EQ(written.load(), 0);
    ASSERT_EQ(hangs.size(), 1u);
    EXPECT_EQ(hangs[0].source_id, 3);
    EXPECT_EQ(hangs[0].main_thread_calls, "SET-STATE");
    EXPECT_GE(hangs[0].waited_ms, 300u);
}

// A timer of the main thread that writes to port 1 from its tick, as the plug-in's queue does;
// how deep its ticks went inside each other.
std::atomic<int> g_ticking{0}, g_deepest{0}, g_ticks{0};
void CALLBACK WritingTick(HWND, UINT, UINT_PTR, DWORD) {
    const int depth = ++g_ticking;
    if (depth > g_deepest) g_deepest = depth;
    ++g_ticks;
    WriteThroughEntryPoint(1, {0x80, 0x0D});
    --g_ticking;
}

// A timer that pushes one packet for source 2 from its tick, and stops.
void CALLBACK PushingTick(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    Vantor_SendDataEx(1, 2, 0, 0, plugins::kSendDataPacket, 0, 0);
}

// A pumping host dispatches the main thread's messages inside its entry points: a timer that
// writes from its tick ticks again inside that write, and a job waiting for the next pump runs
// there, inside the call.
TEST(HostStyles, PumpingRunsTimersAndHostJobsInsideTheEntryPoint) {
    HostWindow window;
    StyleScope style(HostStyle::kPumping, window, 30000);
    SetPortWriter([](std::int32_t, std::span<const std::uint8_t>) { return true; });
    g_ticking = g_deepest = g_ticks = 0;
    const UINT_PTR timer = SetTimer(nullptr, 0, 5, WritingTick);
    ASSERT_NE(timer, 0u);
    std::uint32_t job_depth = 0;
    int jobs = 0;
    RunInsideNextPump(
        [&] {
            ++jobs;
            job_depth = DispatchDepth();
        },
        2);
    const HostStyleCounts before = HostStyleTotals();
    for (int i = 0; i < 40 && g_ticks < 20; ++i) window.Pump(20);
    EXPECT_EQ(jobs, 0);  // waits for an entry point of source 2
    KillTimer(nullptr, timer);
    // The plug-in's push of a packet for source 2, from inside a tick.
    ASSERT_NE(SetTimer(nullptr, 0, 1, PushingTick), 0u);
    for (int i = 0; i < 40 && jobs == 0; ++i) window.Pump(20);
    const HostStyleCounts did = HostStyleTotals() - before;
    EXPECT_GE(g_deepest.load(), 2) << "no tick inside a tick";
    EXPECT_GT(did.nested_ticks, 0u);
    EXPECT_GT(did.pumps, 0u);
    EXPECT_LE(did.deepest, kMaxPumpDepth);
    EXPECT_EQ(jobs, 1);
    EXPECT_GE(job_depth, 1u);  // inside the dispatched tick that pushed
}

// ---------------------------------------------------------------------------------------------
// hostsim's option.

// A run of the whole program; one that does not end within two minutes is ended.
ProgramRun RunHostsimProgram(const std::string& arguments) {
    return RunHostsim(arguments, {}, "hostsim.exe --dll kmpparser.dll", 120000);
}

TEST(HostStyleProgram, TheStyleOptionIsCheckedAndARunSaysWhatItsStyleDid) {
    const struct {
        const char* arguments;
        const char* error;
    } refused[] = {
        {"run --host-style sideways",
         "--host-style needs plain, main-thread-write, pumping or "
         "rotate, not 'sideways'"},
        {"run --host-style rotate", "--host-style rotate takes each style in turn in the soak"},
        {"run --soak --host-style", "--host-style lacks its value"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.arguments);
        const ProgramRun run = RunHostsimProgram(c.arguments);
        EXPECT_EQ(run.exit_code, 2u);
        EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
    const struct {
        const char* style;
        const char* line;  // starts the line before the summary
    } runs[] = {
        {"main-thread-write", "host style: main-thread-write: writes handed to the main thread "},
        {"pumping", "host style: pumping: entry points pumping "},
    };
    for (const auto& c : runs) {
        SCOPED_TRACE(c.style);
        const ProgramRun run = RunHostsimProgram(std::string("run --seconds 3 --host-style ") +
                                                 c.style + " --port P1=sim:63,65 --port P2=sim:63");
        const auto line = run.out.find(std::string("\n") + c.line);
        const auto summary = run.out.find("\nsummary: writes=");
        ASSERT_NE(line, std::string::npos) << run.out;
        EXPECT_LT(line, summary);
        EXPECT_EQ(run.err.find("the host hangs"), std::string::npos) << run.err;
    }
    const ProgramRun plain = RunHostsimProgram("run --seconds 1 --port P1=sim:63");
    EXPECT_EQ(plain.out.find("host style"), std::string::npos) << plain.out;
}

// ---------------------------------------------------------------------------------------------
// The real plug-in under each style.

// Meters 21 and 22 polled every 200 ms.
const char* const kTwoMeters = R"(<?xml version="1.0"?>
<QUERY>
  <Request caption="Fast">
    <Enabled check="2"/>
    <Device>21;22</Device>
    <Timeout>300</Timeout>
    <RequestMethod><MethodPoll check="2"><PollInterval>200</PollInterval><PollUnits>MS</PollUnits></MethodPoll></RequestMethod>
    <Response><Item><Register>003C</Register></Item><Item><Register>0056</Register></Item></Response>
  </Request>
</QUERY>
)";

std::unique_ptr<PortTransport> SimulatedLine(const std::string& meters) {
    std::string error;
    const auto address = ParsePortAddress("sim:" + meters, error);
    EXPECT_TRUE(address.has_value()) << error;
    return address ? OpenPort(*address, {}, error) : nullptr;
}

// Packets per port and meter, as the run delivers them.
class PacketCount {
   public:
    void Add(const PortPacket& packet) {
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto& [name, value] : packet.items) {
            if (name == "DEVICE_ID") ++counts_[{packet.source, value.AsInt64()}];
        }
    }
    int Of(std::int32_t source, std::int64_t address) {
        std::lock_guard<std::mutex> guard(lock_);
        return counts_[{source, address}];
    }
    int OfSource(std::int32_t source) {
        std::lock_guard<std::mutex> guard(lock_);
        int total = 0;
        for (const auto& [key, count] : counts_) {
            if (key.first == source) total += count;
        }
        return total;
    }

   private:
    std::mutex lock_;
    std::map<std::pair<std::int32_t, std::int64_t>, int> counts_;
};

// A line whose every received chunk first gives the host's main thread some work of its own:
// `before_chunk` runs on the port's thread after the chunk arrived and before the host hands it
// to the plug-in.
class LineWithHostWork : public PortTransport {
   public:
    LineWithHostWork(std::unique_ptr<PortTransport> line, std::function<void()> before_chunk)
        : line_(std::move(line)), before_chunk_(std::move(before_chunk)) {}
    bool Write(std::span<const std::uint8_t> bytes) override { return line_->Write(bytes); }
    bool Read(std::uint32_t timeout_ms, std::vector<std::uint8_t>& out) override {
        const bool ok = line_->Read(timeout_ms, out);
        if (ok && !out.empty()) before_chunk_();
        return ok;
    }

   private:
    std::unique_ptr<PortTransport> line_;
    std::function<void()> before_chunk_;
};

// The host's main thread stops and starts the module's data sources (SET-STATE off, then on: the
// meters are identified anew), announces them again and loads the settings again while the
// port's thread answers the meters. The host's work reaches its main thread as a message queued
// as an answer arrives, so it runs while the plug-in handles that answer on the port's thread:
// right after a restart, while the meters' identification replies come in, and every half
// second otherwise. Every write of the port's thread waits for the main thread. A plug-in that
// writes while holding what those commands wait for deadlocks the host; the host gives the
// write up after 5 s and counts a hang.
TEST(HostStyleMainThreadWrite, SetStateAndSettingsLoadsOnTheMainThreadLeaveThePollingRunning) {
    const Watchdog watchdog(std::chrono::seconds(120), "the main-thread-write run");
    PluginLibrary library;
    ASSERT_TRUE(library.Load("kmpparser.dll")) << library.Error();
    HostRun run(library, ParamsMode::kListObject);
    std::atomic<bool> commands_on{false}, command_queued{false};
    std::atomic<ULONGLONG> next_command{0};  // 0: at the next answer
    int commands = 0, set_states = 0, loads = 0, failed_set_states = 0, failed_loads = 0;
    const auto command = [&] {
        switch (commands++ % 4) {
            case 0:
                set_states += 2;
                if (run.Announce({}, false) != 0) ++failed_set_states;
                if (run.Announce() != 0) ++failed_set_states;
                next_command = 0;
                break;
            case 1:
            case 3:
                ++set_states;
                if (run.Announce() != 0) ++failed_set_states;
                next_command = GetTickCount64() + 500;
                break;
            default:
                ++loads;
                if (run.ReloadSettings() != -2) ++failed_loads;  // its designed result
                next_command = GetTickCount64() + 500;
                break;
        }
        command_queued = false;
    };
    run.AddPort(
        "SIM1", "simulated line",
        std::make_unique<LineWithHostWork>(SimulatedLine("21/delay=30,22/delay=30"), [&] {
            if (commands_on && GetTickCount64() >= next_command && !command_queued.exchange(true)) {
                run.PostToMainThread(command);
            }
        }));
    run.hang_limit_ms = 5000;
    run.SetStyle(HostStyle::kMainThreadWrite);
    std::mutex lock;
    std::vector<std::string> hangs;
    run.OnHostHang = [&](const std::string& text) {
        std::lock_guard<std::mutex> guard(lock);
        hangs.push_back(text);
    };
    PacketCount packets;
    run.OnPacket = [&](const PortPacket& packet) { packets.Add(packet); };
    std::string error;
    ASSERT_TRUE(run.Start(kTwoMeters, std::nullopt, error)) << error;
    const std::atomic<bool> never{false};
    run.RunFor(1000, never);
    const int before_21 = packets.Of(1, 21), before_22 = packets.Of(1, 22);
    commands_on = true;
    run.RunFor(15000, never);
    commands_on = false;
    run.RunFor(1000, never);
    const HostStyleCounts did = run.StyleCounts();
    run.Stop();

    std::printf("%d SET-STATE, %d LOAD-SETTINGS-NOW; %s\n", set_states, loads,
                HostStyleText(HostStyle::kMainThreadWrite, did).c_str());
    EXPECT_GT(did.writes_handed, 0u);  // the port's thread wrote through the main thread
    EXPECT_GT(commands, 20);           // the main thread ran the host's commands again and again
    EXPECT_EQ(hangs.size(), 0u) << hangs.front();
    EXPECT_EQ(failed_set_states, 0);
    EXPECT_EQ(failed_loads, 0);
    // Polled every 200 ms, stopped and started every second or so: each meter is read again and
    // again.
    EXPECT_GE(packets.Of(1, 21) - before_21, 10);
    EXPECT_GE(packets.Of(1, 22) - before_22, 10);
}

// Heap blocks the process's heaps find damaged (HeapValidate).
int DamagedHeaps() {
    HANDLE heaps[64];
    const DWORD count = std::min<DWORD>(GetProcessHeaps(64, heaps), 64);
    int damaged = 0;
    for (DWORD i = 0; i < count; ++i) {
        if (!HeapValidate(heaps[i], 0, nullptr)) ++damaged;
    }
    return damaged;
}

// Inside one of the plug-in's writes for SIM1, made from its tick, the pumping host handles a
// user's command that takes SIM1's module away (or the whole module's settings). The tick that
// wrote is still under way when the command returns, and the timers of the plug-in have ticked
// inside it. What was taken away must not be used again: no write and no packet for it after
// the command, no damaged heap, and the module brought back polls again.
TEST(HostStylePumping, AModuleTakenAwayInsideANestedTickIsNeverUsedAgain) {
    const Watchdog watchdog(std::chrono::seconds(240), "the pumping run");
    struct Case {
        const char* name;
        std::function<std::int32_t(HostRun&)> take_away;
        std::function<std::int32_t(HostRun&)> bring_back;
        std::vector<std::int32_t> gone;  // the ports that hear nothing after it
        std::int32_t result;             // what taking it away answers
    };
    const Case cases[] = {
        {"SET-STATE without SIM1",
         [](HostRun& run) { return run.Announce({"SIM2"}); },
         [](HostRun& run) { return run.Announce(); },
         {1},
         0},
        {"UNLOAD",
         [](HostRun& run) { return run.Unload(); },
         [](HostRun& run) { return run.LoadAgain(); },
         {1, 2},
         0},
    };
    PluginLibrary library;
    ASSERT_TRUE(library.Load("kmpparser.dll")) << library.Error();
    std::uint64_t nested_ticks = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HostRun run(library, ParamsMode::kListObject);
        run.AddPort("SIM1", "simulated line 1", SimulatedLine("21/delay=20,22/delay=20"));
        run.AddPort("SIM2", "simulated line 2", SimulatedLine("21/delay=20,22/delay=20"));
        run.SetStyle(HostStyle::kPumping);
        PacketCount packets;
        run.OnPacket = [&](const PortPacket& packet) { packets.Add(packet); };
        std::string error;
        ASSERT_TRUE(run.Start(kTwoMeters, std::nullopt, error)) << error;
        const std::atomic<bool> never{false};
        for (int round = 0; round < 5; ++round) {
            SCOPED_TRACE("round " + std::to_string(round));
            for (int i = 0; i < 100 && (packets.OfSource(1) == 0 || packets.OfSource(2) == 0);
                 ++i) {
                run.RunFor(100, never);
            }
            ASSERT_GT(packets.OfSource(1), 0);
            bool ran = false;
            std::uint32_t depth = 0;
            std::int32_t result = 1;
            std::vector<std::uint32_t> writes_then;
            std::vector<int> packets_then;
            RunInsideNextPump(
                [&] {
                    ran = true;
                    depth = DispatchDepth();
                    result = c.take_away(run);
                    writes_then = run.PortWrites();
                    packets_then = {packets.OfSource(1), packets.OfSource(2)};
                },
                1);
            for (int i = 0; i < 100 && !ran; ++i) run.RunFor(100, never);
            ASSERT_TRUE(ran) << "no write for SIM1 from the main thread in 10 s";
            EXPECT_GE(depth, 1u);  // inside the dispatched tick that wrote
            EXPECT_EQ(result, c.result);
            // The timers of what is gone would tick in this time.
            run.RunFor(2000, never);
            const std::vector<std::uint32_t> writes_now = run.PortWrites();
            for (std::int32_t port : c.gone) {
                const auto at = static_cast<std::size_t>(port - 1);
                EXPECT_EQ(writes_now[at], writes_then[at]) << "writes for SIM" << port;
                EXPECT_EQ(packets.OfSource(port), packets_then[at]) << "packets for SIM" << port;
            }
            EXPECT_EQ(DamagedHeaps(), 0);
            EXPECT_EQ(c.bring_back(run), 0);
            const int back_from = packets.OfSource(1);
            for (int i = 0; i < 100 && packets.OfSource(1) == back_from; ++i)
                run.RunFor(100, never);
            EXPECT_GT(packets.OfSource(1), back_from) << "SIM1 polls no more";
        }
        const HostStyleCounts did = run.StyleCounts();
        run.Stop();
        std::printf("%s: %s\n", c.name, HostStyleText(HostStyle::kPumping, did).c_str());
        nested_ticks += did.nested_ticks;
    }
    EXPECT_GT(nested_ticks, 0u);  // the plug-in's timers ticked inside its ticks
}

}  // namespace
}  // namespace zol::hostsim
