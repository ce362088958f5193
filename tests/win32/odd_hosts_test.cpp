// Hosts that behave oddly, through the real kmpparser.dll: one port fed from two threads at once,
// a settings load that replaces the requests under a port's packets, UNLOAD while packets and
// housekeeping ticks run elsewhere, a host that never collects the log, a host that loads and
// frees the library a thousand times with ports open, and calls made after UNLOAD and after the
// instance was freed. Every call must return: waits are bounded and a call that never returns
// fails the run instead of holding it.
// clang-format off
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
// clang-format on

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hostsim/host_lib.h"
#include "hostsim/soak.h"
#include "kmp/kmp_frame.h"
#include "parser/parser_CfgOptionsProxy.h"
#include "zolShared/Public/Common/zolRegSettings.h"

namespace zol::hostsim {
namespace {

using common::Variant;

constexpr std::uint8_t kMeter = 63;

// Passive requests for meter 63: every energy answer that arrives is decoded into one packet.
// The second form adds a register, so a load of it replaces the request.
const char* const kListenEnergy =
    "<QUERY><Listen><Device>63</Device><Response><I><Register>3C</Register></I>"
    "</Response></Listen></QUERY>";
const char* const kListenEnergyAndVolume =
    "<QUERY><Listen><Device>63</Device><Response><I><Register>3C</Register></I>"
    "<I><Register>44</Register></I></Response></Listen></QUERY>";

// The settings of one test in an INI file of its own, removed at the end.
class SettingsFile {
   public:
    explicit SettingsFile(const char* name) {
        char temp[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, temp);
        path_ = std::string(temp) + "odd_hosts_" + name + "_" +
                std::to_string(GetCurrentProcessId()) + ".ini";
    }
    ~SettingsFile() { DeleteFileA(path_.c_str()); }
    bool Store(const char* options) const {
        parser::TProxyCodeObject settings;
        settings.lblParams_Caption = options;
        common::TWreg store;
        store.INIFile = path_;
        store.Components = {"lblParams.Caption,Parser config"};
        store.Object = &settings;
        return store.Execute(common::TWregOperation::kStore);
    }
    const std::string& Path() const noexcept { return path_; }

   private:
    std::string path_;
};

// Meter 63's answer to an energy read: register 0x3C, kWh, 4 bytes, exponent 0, `value`. A
// `damaged` answer has its last data byte changed after the checksum was taken.
std::vector<std::uint8_t> EnergyAnswer(std::uint32_t value, bool damaged = false) {
    std::vector<std::uint8_t> body = {kMeter,
                                      0x10,
                                      0x00,
                                      0x3C,
                                      0x02,
                                      0x04,
                                      0x00,
                                      static_cast<std::uint8_t>(value >> 24),
                                      static_cast<std::uint8_t>(value >> 16),
                                      static_cast<std::uint8_t>(value >> 8),
                                      static_cast<std::uint8_t>(value)};
    kmp::AppendKmpCrc(body);
    if (damaged) body[10] ^= 0x5A;
    return kmp::KmpStuff(body, kmp::KmpRespStart);
}

// The energy values of the packets a ProcessData call gave back.
std::vector<std::int64_t> EnergyValues(const HostInstance::Received& received) {
    std::vector<std::int64_t> values;
    for (const auto& packet : received.packets) {
        for (const auto& [name, value] : packet) {
            if (name == "E1") values.push_back(value.AsInt64());
        }
    }
    return values;
}

// A loaded instance with port COM1 announced, enabled and open.
std::unique_ptr<HostInstance> OpenPort(const PluginLibrary& library, const SettingsFile& settings,
                                       HostWindow* window = nullptr) {
    auto host = std::make_unique<HostInstance>(library, ParamsMode::kInterface);
    if (host->Create() != 0) return nullptr;
    if (window != nullptr) host->UseWindow(window);
    if (host->Load({{"INI-FILE", Variant::Ansi(settings.Path())}}).result != 0) return nullptr;
    if (host->SetState("1;COM1;COM1 port", 0x03, true).result != 0) return nullptr;
    host->Command("EVENT",
                  {{"EVENT-TYPE", Variant::Ansi("PORT-OPEN")}, {"PORTSTR", Variant::Ansi("COM1")}});
    return host;
}

// Runs `work` on a thread of its own. Finish waits a bounded time for it; a call that never
// returns ends the whole program with a failure, since the thread cannot be taken back.
class BoundedThread {
   public:
    explicit BoundedThread(std::function<void()> work)
        : done_(promise_.get_future()), thread_([this, work = std::move(work)] {
              work();
              promise_.set_value();
          }) {}
    ~BoundedThread() {
        if (thread_.joinable()) Finish();
    }
    void Finish(std::chrono::seconds limit = std::chrono::seconds(60)) {
        if (done_.wait_for(limit) != std::future_status::ready) {
            std::fprintf(stderr, "a host call did not return within %lld s\n",
                         static_cast<long long>(limit.count()));
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);
        }
        thread_.join();
    }

   private:
    std::promise<void> promise_;
    std::future<void> done_;
    std::thread thread_;
};

// Every value once: nothing delivered twice, and each of `sent` delivered.
void ExpectEachOnce(std::vector<std::int64_t> delivered, const std::set<std::int64_t>& sent) {
    std::sort(delivered.begin(), delivered.end());
    const auto twice = std::adjacent_find(delivered.begin(), delivered.end());
    EXPECT_EQ(twice, delivered.end()) << "delivered twice: " << *twice;
    const std::set<std::int64_t> got(delivered.begin(), delivered.end());
    std::vector<std::int64_t> lost;
    std::set_difference(sent.begin(), sent.end(), got.begin(), got.end(), std::back_inserter(lost));
    EXPECT_TRUE(lost.empty()) << lost.size() << " answers lost, the first " << lost.front();
}

// ---------------------------------------------------------------------------------------------
// One port, several threads.

TEST(OddHosts, OnePortFedFromTwoHostThreadsAtOnceDeliversEachAnswerOnce) {
    SettingsFile settings("two_threads");
    ASSERT_TRUE(settings.Store(kListenEnergy));
    PluginLibrary library;
    ASSERT_TRUE(library.Load("kmpparser.dll")) << library.Error();
    auto host = OpenPort(library, settings);
    ASSERT_NE(host, nullptr);

    constexpr int kAnswers = 400;
    std::mutex lock;
    std::vector<std::int64_t> delivered;
    std::set<std::int64_t> sent;
    std::atomic<int> refused{0};
    std::vector<std::unique_ptr<BoundedThread>> threads;
    for (int t = 0; t < 2; ++t) {
        for (int i = 0; i < kAnswers; ++i) sent.insert(t * 100000 + i);
        threads.push_back(std::make_unique<BoundedThread>([&, t] {
            for (int i = 0; i < kAnswers; ++i) {
                const auto received =
                    host->ProcessReceived(1, "COM1", EnergyAnswer(t * 100000u + i));
                if (received.result != 0) ++refused;
                const auto values = EnergyValues(received);
                std::lock_guard<std::mutex> guard(lock);
                delivered.insert(delivered.end(), values.begin(), values.end());
            }
        }));
    }
    for (auto& thread : threads) thread->Finish();
    EXPECT_EQ(refused.load(), 0);
    ExpectEachOnce(delivered, sent);
    EXPECT_EQ(host->Command("UNLOAD").result, 0);
}

// Answers that arrive while LOAD-SETTINGS-NOW replaces the requests: none lost, none twice.
TEST(OddHosts, ASettingsLoadReplacingTheRequestsLosesNoAnswerOfThePortsThread) {
    SettingsFile settings("reload");
    ASSERT_TRUE(settings.Store(kListenEnergy));
    PluginLibrary library;
    ASSERT_TRUE(library.Load("kmpparser.dll")) << library.Error();
    auto host = OpenPort(library, settings);
    ASSERT_NE(host, nullptr);

    // The port's thread delivers until it has handed over 600 answers and 20 loads have run.
    constexpr int kAnswers = 600;
    std::atomic<bool> port_done{false};
    std::atomic<int> loads{0}, failed_loads{0};
    std::vector<std::int64_t> delivered;
    std::set<std::int64_t> sent;
    int refused = 0;
    BoundedThread port([&] {
        for (int i = 0; i < kAnswers || (loads < 20 && failed_loads == 0); ++i) {
            sent.insert(i);
            const auto received = host->ProcessReceived(1, "COM1", EnergyAnswer(i));
            if (received.result != 0) ++refused;
            const auto values = EnergyValues(received);
            delivered.insert(delivered.end(), values.begin(), values.end());
        }
        port_done = true;
    });
    // The host's command thread loads the settings again and again, each time with the other
    // request list, while the port's thread delivers.
    BoundedThread commands([&] {
        while (!port_done) {
            settings.Store(loads % 2 == 0 ? kListenEnergyAndVolume : kListenEnergy);
            const auto load = host->Command(
                "LOAD-SETTINGS-NOW",
                {{"INI-FILE", Variant::Ansi(settings.Path())}, {"NO-SAVE", Variant::Int32(1)}});
            // The command answers -2 once it has run, as SAVE-SETTINGS-NOW does.
            if (load.result == -2) {
                ++loads;
            } else {
                ++failed_loads;
            }
        }
    });
    port.Finish();
    commands.Finish();
    EXPECT_GE(loads.load(), 20);
    EXPECT_EQ(failed_loads.load(), 0);
    EXPECT_EQ(refused, 0);
    ExpectEachOnce(delivered, sent);
    EXPECT_EQ(host->Command("UNLOAD").result, 0);
}

TEST(OddHosts, UnloadWhilePacketsAndTicksRunElsewhereLetsEveryCallReturn) {
    SettingsFile settings("unload");
    ASSERT_TRUE(settings.Store(kListenEnergy));
    PluginLibrary library;
    ASSERT_TRUE(library.Load("kmpparser.dll")) << library.Error();

    // The host's main thread creates and loads the instance, so the port's housekeeping ticks
    // there while it pumps; it frees the instance at the end.
    std::promise<HostInstance*> made;
    auto made_future = made.get_future();
    std::atomic<bool> stop_pumping{false}, free_now{false};
    BoundedThread main_thread([&] {
        HostWindow window;
        auto host = OpenPort(library, settings, &window);
        made.set_value(host.get());
        while (!stop_pumping) window.Pump(5);
        while (!free_now) window.Pump(5);
        if (host) {
            EXPECT_EQ(host->Free(), 0);
        }
        host.reset();
        window.Pump();
    });
    ASSERT_EQ(made_future.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    HostInstance* host = made_future.get();
    if (host == nullptr) {
        free_now = stop_pumping = true;
        main_thread.Finish();
        FAIL() << "the instance could not be loaded";
    }

    // Two port threads deliver answers; each call notes whether it ended before UNLOAD began.
    struct Call {
        std::int64_t value;
        bool ended_before_unload;
        bool started_after_unload;
        std::int32_t result;
        std::vector<std::int64_t> delivered;
    };
    std::atomic<bool> unload_started{false}, unload_done{false}, stop_ports{false};
    std::atomic<int> calls_made{0};
    std::mutex lock;
    std::vector<Call> calls;
    std::vector<std::unique_ptr<BoundedThread>> ports;
    for (int t = 0; t < 2; ++t) {
        ports.push_back(std::make_unique<BoundedThread>([&, t] {
            for (int i = 0; !stop_ports; ++i) {
                const std::int64_t value = t * 1000000 + i;
                const bool after = unload_done;
                const auto received = host->ProcessReceived(
                    1, "COM1", EnergyAnswer(static_cast<std::uint32_t>(value)));
                const bool before = !unload_started;
                ++calls_made;
                std::lock_guard<std::mutex> guard(lock);
                calls.push_back({value, before, after, received.result, EnergyValues(received)});
            }
        }));
    }
    while (calls_made < 300) Sleep(1);
    std::int32_t unload_result = 0;
    BoundedThread command([&] {
        unload_started = true;
        unload_result = host->Command("UNLOAD").result;
        unload_done = true;
    });
    command.Finish();
    const int at_unload = calls_made;
    while (calls_made < at_unload + 100) Sleep(1);
    stop_ports = true;
    for (auto& port : ports) port->Finish();
    stop_pumping = true;
    // Calls after UNLOAD while the instance still exists are refused plainly.
    EXPECT_EQ(host->ProcessReceived(1, "COM1", EnergyAnswer(7)).result, -1);
    EXPECT_EQ(host->Command("ITEMS").result, 0);
    free_now = true;
    main_thread.Finish();

    EXPECT_EQ(unload_result, 0);
    std::vector<std::int64_t> delivered;
    std::set<std::int64_t> must_arrive;
    int refused_after = 0, calls_after = 0;
    for (const auto& call : calls) {
        delivered.insert(delivered.end(), call.delivered.begin(), call.delivered.end());
        if (call.ended_before_unload) {
            EXPECT_EQ(call.result, 0);
            must_arrive.insert(call.value);
        }
        if (call.started_after_unload) {
            ++calls_after;
            if (call.result == -1 && call.delivered.empty()) ++refused_after;
        }
    }
    // Nothing twice; every answer handed over before UNLOAD began was delivered; every call that
    // began after UNLOAD had returned was refused with nothing delivered.
    std::sort(delivered.begin(), delivered.end());
    EXPECT_EQ(std::adjacent_find(delivered.begin(), delivered.end()), delivered.end());
    std::set<std::int64_t> got(delivered.begin(), delivered.end());
    std::vector<std::int64_t> lost;
    std::set_difference(must_arrive.begin(), must_arrive.end(), got.begin(), got.end(),
                        std::back_inserter(lost));
    EXPECT_TRUE(lost.empty()) << lost.size() << " answers lost";
    EXPECT_GT(must_arrive.size(), 250u);
    EXPECT_GT(calls_after, 0);
    EXPECT_EQ(refused_after, calls_after);
}

// ---------------------------------------------------------------------------------------------
// A host that never collects the log.

std::size_t CommitCharge() {
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    K32GetProcessMemoryInfo(GetCurrentProcess(),
                            reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory);
    return memory.PagefileUsage;
}

TEST(OddHosts, ALogNobodyCollectsStaysAtItsCapacityAndMemoryStopsGrowing) {
    SettingsFile settings("log");
    ASSERT_TRUE(settings.Store(kListenEnergy));
    PluginLibrary library;
    ASSERT_TRUE(library.Load("kmpparser.dll")) << library.Error();
    auto host = OpenPort(library, settings);
    ASSERT_NE(host, nullptr);
    host->CollectLog();

    // Damaged answers, each logged with its own checksum text, so no line folds into the one
    // before it; the store holds its last 51200 lines. Twice its capacity after the first fill
    // must not add to the process's memory.
    constexpr std::uint32_t kCapacity = 51200;
    std::uint32_t value = 0;
    auto damaged = [&](std::uint32_t count) {
        for (std::uint32_t i = 0; i < count; ++i) {
            host->ProcessReceived(1, "COM1", EnergyAnswer(++value, true));
        }
    };
    damaged(kCapacity);
    const std::size_t full = CommitCharge();
    damaged(2 * kCapacity);
    const std::size_t later = CommitCharge();
    EXPECT_LT(later, full + 512 * 1024) << full / 1024 << " -> " << later / 1024 << " KiB";

    const auto lines = ParseLog(0, host->CollectLog());
    EXPECT_EQ(lines.size(), kCapacity);
    // The newest lines are the ones kept: the last answer's complaint is the last line.
    const auto last = ParseLog(
        0, (host->ProcessReceived(1, "COM1", EnergyAnswer(++value, true)), host->CollectLog()));
    ASSERT_EQ(last.size(), 1u);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().text, last.back().text);
    EXPECT_EQ(lines.back().text.substr(0, 20), last.back().text.substr(0, 20));
    EXPECT_EQ(host->Command("UNLOAD").result, 0);
}

// ---------------------------------------------------------------------------------------------
// Loading and freeing, and calls after the end.

struct Usage {
    double handles = 0;
    double commit_kib = 0;
    int threads = 0;
    DWORD free_tls_index = 0;  // the TLS index a new allocation gets: the lowest free one
};

Usage MeasureUsage() {
    Usage usage;
    usage.handles = ProcessHandleCount();
    usage.commit_kib = static_cast<double>(CommitCharge()) / 1024.0;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        THREADENTRY32 entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Thread32First(snapshot, &entry); more;
             more = Thread32Next(snapshot, &entry)) {
            if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++usage.threads;
        }
        CloseHandle(snapshot);
    }
    usage.free_tls_index = TlsAlloc();
    TlsFree(usage.free_tls_index);
    return usage;
}

// One life of an instance as a host lives it: create, LOAD, open a port, decode an answer on it,
// UNLOAD, free.
bool OneLife(const PluginLibrary& library, const SettingsFile& settings, std::uint32_t value) {
    auto host = OpenPort(library, settings);
    if (host == nullptr) return false;
    const auto received = host->ProcessReceived(1, "COM1", EnergyAnswer(value));
    const bool decoded = EnergyValues(received) == std::vector<std::int64_t>{value};
    const bool unloaded = host->Command("UNLOAD").result == 0;
    const bool freed = host->Free() == 0;
    return decoded && unloaded && freed;
}

// A thread of the host that lives on across the library's loads and frees, such as the one
// that passes the port's data on: it runs each job to its end while the caller waits.
class HostThread {
   public:
    HostThread() : thread_([this] { Loop(); }) {}
    ~HostThread() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    HostThread(const HostThread&) = delete;
    HostThread& operator=(const HostThread&) = delete;

    void Run(std::function<void()> job) {
        std::unique_lock<std::mutex> lock(mutex_);
        job_ = std::move(job);
        changed_.notify_all();
        changed_.wait(lock, [this] { return !job_; });
    }

   private:
    void Loop() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (true) {
            changed_.wait(lock, [this] { return stop_ || job_; });
            if (stop_) return;
            lock.unlock();
            job_();
            lock.lock();
            job_ = nullptr;
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::function<void()> job_;
    bool stop_ = false;
    std::thread thread_;
};

// The library loaded and freed once, lived in as a host does: one instance lives a whole life,
// its data passed on by the host's other thread, with calls after its UNLOAD and after its free;
// a second instance is still open on its port when the library is freed, and the library frees
// it. `module` is where the library was loaded.
bool OneLibraryLife(const SettingsFile& settings, std::uint32_t value, HostThread& data_thread,
                    HMODULE& module) {
    PluginLibrary library;
    if (!library.Load("kmpparser.dll")) return false;
    module = library.Handle();
    auto host = OpenPort(library, settings);
    if (host == nullptr) return false;
    bool decoded = false;
    data_thread.Run([&] {
        const auto received = host->ProcessReceived(1, "COM1", EnergyAnswer(value));
        decoded = EnergyValues(received) == std::vector<std::int64_t>{value};
    });
    const bool unloaded = host->Command("UNLOAD").result == 0;
    bool refused_after_unload = false;
    data_thread.Run([&] {
        refused_after_unload = host->ProcessReceived(1, "COM1", EnergyAnswer(value)).result == -1;
    });
    void* const stale = host->Handle();
    const bool freed = host->Free() == 0;
    CallRecord after_free(ParamsMode::kInterface);
    after_free.Rec().Instance = stale;
    const bool refused_after_free = library.Exports().FreePluginInstance(&after_free.Rec()) == -1;

    auto open = OpenPort(library, settings);
    if (open == nullptr) return false;
    const bool decoded_open =
        EnergyValues(open->ProcessReceived(1, "COM1", EnergyAnswer(value + 1))) ==
        std::vector<std::int64_t>{value + 1};
    open->Abandon();
    return decoded && unloaded && refused_after_unload && freed && refused_after_free &&
           decoded_open;
}

// A thousand lives of an instance in one loaded library.
TEST(OddHosts, AThousandLivesWithPortsOpenLeaveHandlesMemoryAndThreadsAsTheyWere) {
    SettingsFile settings("lives");
    ASSERT_TRUE(settings.Store(kListenEnergy));
    PluginLibrary library;
    ASSERT_TRUE(library.Load("kmpparser.dll")) << library.Error();
    for (std::uint32_t i = 0; i < 20; ++i) ASSERT_TRUE(OneLife(library, settings, i));  // warm up
    const Usage before = MeasureUsage();
    int failed = 0;
    for (std::uint32_t i = 0; i < 1000; ++i) {
        if (!OneLife(library, settings, 1000 + i)) ++failed;
    }
    const Usage after = MeasureUsage();
    std::printf("1000 lives: handles %.0f -> %.0f, commit %.0f -> %.0f KiB, threads %d -> %d\n",
                before.handles, after.handles, before.commit_kib, after.commit_kib, before.threads,
                after.threads);
    EXPECT_EQ(failed, 0);
    EXPECT_LE(after.handles, before.handles + 8);
    EXPECT_LE(after.commit_kib, before.commit_kib + 512);
    EXPECT_LE(after.threads, before.threads);
}

// A thousand loads and frees of the library, each lived in as above (about 30 s under Wine). The
// statically linked runtime used to keep, on every load, a record of the host's thread (an
// event and a thread handle), a TLS index and its exception pool, and aborted the host when the
// TLS indexes ran out after about a thousand loads. Handles, threads and the free TLS index come
// back exactly, bar a few handles Wine opens once on its own (a handle left per load would be a
// thousand). Memory may grow by 128 bytes a load: the runtime keeps, out of our reach, the
// 20-byte blocks of three of its own static mutexes (60 bytes a load with 36 KiB measured for
// the thousand; docs/plugin-frame.md), while a thread record or an exception pool left per load
// would be several times the allowance.
TEST(OddHosts, AThousandLibraryLoadsLeaveHandlesMemoryThreadsAndTlsAsTheyWere) {
    SettingsFile settings("library_lives");
    ASSERT_TRUE(settings.Store(kListenEnergy));
    HostThread data_thread;
    HMODULE module = nullptr;
    for (std::uint32_t i = 0; i < 5; ++i) {  // warm up
        ASSERT_TRUE(OneLibraryLife(settings, 2 * i, data_thread, module));
    }
    constexpr std::uint32_t kLoads = 1000;
    const Usage before = MeasureUsage();
    int failed = 0;
    for (std::uint32_t i = 0; i < kLoads; ++i) {
        if (!OneLibraryLife(settings, 100 + 2 * i, data_thread, module)) ++failed;
    }
    const Usage after = MeasureUsage();
    std::printf(
        "%u library loads: handles %.0f -> %.0f, commit %.0f -> %.0f KiB, threads %d -> %d, "
        "free TLS index %lu -> %lu\n",
        kLoads, before.handles, after.handles, before.commit_kib, after.commit_kib, before.threads,
        after.threads, before.free_tls_index, after.free_tls_index);
    EXPECT_EQ(failed, 0);
    EXPECT_LE(after.handles, before.handles + 8);
    EXPECT_LE(after.commit_kib, before.commit_kib + kLoads * 128 / 1024);
    EXPECT_LE(after.threads, before.threads);
    EXPECT_EQ(after.free_tls_index, before.free_tls_index);
    // The library's window class went with it: a class outliving its library would keep a
    // procedure pointing into freed code.
    WNDCLASSEXA window_class{};
    window_class.cbSize = sizeof window_class;
    EXPECT_FALSE(GetClassInfoExA(module, "ZolMessageWindow", &window_class));
}

TEST(OddHosts, CallsAfterUnloadAndAfterTheInstanceIsFreedGetPlainAnswers) {
    SettingsFile settings("after");
    ASSERT_TRUE(settings.Store(kListenEnergy));
    PluginLibrary library;
    ASSERT_TRUE(library.Load("kmpparser.dll")) << library.Error();
    const PluginExports& exports = library.Exports();
    auto host = OpenPort(library, settings);
    ASSERT_NE(host, nullptr);
    ASSERT_EQ(EnergyValues(host->ProcessReceived(1, "COM1", EnergyAnswer(5))),
              std::vector<std::int64_t>{5});
    ASSERT_EQ(host->Command("UNLOAD").result, 0);

    // After UNLOAD the instance is still the host's: data are refused, commands, the log and
    // the module information still answer, and LOAD brings it back.
    EXPECT_EQ(host->ProcessReceived(1, "COM1", EnergyAnswer(6)).result, -1);
    EXPECT_EQ(host->Command("ITEMS").result, 0);
    EXPECT_EQ(host->Command("UNLOAD").result, 0);
    EXPECT_TRUE(host->GetModuleInfo().has_value());
    host->CollectLog();
    EXPECT_EQ(host->Load({{"INI-FILE", Variant::Ansi(settings.Path())}}).result, 0);
    EXPECT_EQ(host->SetState("1;COM1;COM1 port", 0x03, true).result, 0);
    EXPECT_EQ(EnergyValues(host->ProcessReceived(1, "COM1", EnergyAnswer(8))),
              std::vector<std::int64_t>{8});
    EXPECT_EQ(host->Command("UNLOAD").result, 0);

    // After the last free the handle names nothing: every export gives its "no instance"
    // answer and touches nothing, a second free included.
    void* const stale = host->Handle();
    ASSERT_EQ(host->Free(), 0);
    auto record = [&] {
        auto call = std::make_unique<CallRecord>(ParamsMode::kInterface);
        call->Rec().Instance = stale;
        return call;
    };
    {
        auto call = record();
        EXPECT_EQ(exports.FreePluginInstance(&call->Rec()), -1);
    }
    {
        auto call = record();
        call->List().Add("COMMAND", Variant::Ansi("LOAD"));
        call->AttachParams();
        EXPECT_EQ(exports.ExecutePluginCommand(&call->Rec()), -1);
    }
    {
        auto call = record();
        call->AttachParams();
        call->Rec().StateMask = 0x03;
        EXPECT_EQ(exports.ProcessData(&call->Rec()), -1);
    }
    {
        auto call = record();
        char buffer[256] = {};
        call->Rec().InData.Size = sizeof buffer;
        call->Rec().InData.Value.Ptr = buffer;
        EXPECT_EQ(exports.GetLogEx(&call->Rec()), 0);
        EXPECT_EQ(buffer[0], 0);
    }
    {
        auto call = record();
        std::uint8_t buffer[256] = {};
        std::int32_t size = sizeof buffer, needed = -7;
        std::memcpy(buffer, &size, 4);
        EXPECT_EQ(exports.GetModuleInfo(&call->Rec(), buffer, &needed), 0);
    }
    {
        auto call = record();
        call->Rec().OutData.Value.Number = 77;
        exports.GetOptionsDialog(&call->Rec());
        EXPECT_EQ(call->Rec().OutData.Value.Number, 1u);  // its refusal
    }
    // The library itself goes on serving: a new instance works as the first did.
    auto again = OpenPort(library, settings);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(EnergyValues(again->ProcessReceived(1, "COM1", EnergyAnswer(9))),
              std::vector<std::int64_t>{9});
    EXPECT_EQ(again->Command("UNLOAD").result, 0);
}

}  // namespace
}  // namespace zol::hostsim
