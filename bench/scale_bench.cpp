// The plug-in at the size of a large site, through its real exports and the real Win32 API (run
// under Wine by `make bench-win32`). Three measurements, printed as plain lines:
//  - scale: one instance, PORTS lines of METERS meters each, every line polled as fast as a
//    1200 baud 8N2 line carries the exchanges. CPU of the whole process (GetProcessTimes over a
//    minute after warm-up), private bytes grown per client, packets per second.
//  - decode: one 8-register response through ProcessData, found, checked, decoded and delivered
//    as a packet, again and again; beside it the same scan and decode by the core in-process.
//  - growth: the scale run for 1, 8, 64 and 256 clients, each in a process of its own so that
//    memory freed by one run cannot hide the growth of the next.
// A client is one line's conversation (the plug-in's client of that port) with its meters.
//
// The host here keeps one thread for all simulated lines (a real host has one per port): the
// figures are then the plug-in's, not the cost of idle host threads and their stacks.

// clang-format off
#include <windows.h>
// clang-format on

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory_resource>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <vector>

#include "hostsim/host_lib.h"
#include "hostsim/host_run.h"
#include "hostsim/port_transport.h"
#include "kmp_response_work.h"
#include "metersim/meter_simulator.h"
#include "parser/parser_CfgOptionsProxy.h"
#include "zolShared/Private/Plugins/plugin_abi.h"
#include "zolShared/Public/Common/zolRegSettings.h"

namespace {

using namespace zol;
using hostsim::NamedValue;
using Clock = std::chrono::steady_clock;

// 1200 baud with 8 data bits, no parity and 2 stop bits: 11 bit times per byte.
constexpr double kUsPerByte = 11.0 * 1'000'000.0 / 1200.0;
constexpr std::uint8_t kModuleKinds = 0x03;
// The meter of the decode measurement: the first address of the configured devices.
constexpr std::uint8_t kDecodeAddress = 1;
// The registers of one poll: what a heat meter is usually read for.
constexpr const char* kRegisters[] = {"003C", "0044", "03EB", "03EA",
                                      "0056", "0057", "004A", "0050"};

std::int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
        .count();
}

// The requests of every line: one polled request per meter address 1..meters, each every second
// (the line allows about one exchange a second, so the line is the limit). `enabled` false makes
// passive requests: nothing is sent, answers that arrive are decoded.
std::string OptionsText(int meters, bool enabled) {
    std::string devices;
    for (int address = 1; address <= meters; ++address) {
        if (!devices.empty()) devices += ";";
        devices += std::to_string(address);
    }
    std::string text = "<?xml version=\"1.0\"?>\r\n<QUERY>\r\n<Request caption=\"Heat\">";
    if (enabled) text += "<Enabled check=\"2\"/>";
    text += "<Device>" + devices +
            "</Device><Timeout>2000</Timeout><RequestMethod><MethodPoll check=\"2\">"
            "<PollInterval>1</PollInterval><PollUnits>S</PollUnits></MethodPoll>"
            "</RequestMethod><Response>";
    for (const char* reg : kRegisters) {
        text += std::string("<Item><Register>") + reg + "</Register></Item>";
    }
    return text + "</Response></Request>\r\n</QUERY>\r\n";
}

// The plug-in's settings in an INI file of this process, named by LOAD; removed at the end.
class SettingsFile {
   public:
    explicit SettingsFile(const std::string& options_text) {
        char temp[MAX_PATH + 1] = {};
        GetTempPathA(MAX_PATH, temp);
        path_ = std::string(temp) + "scale_bench_" + std::to_string(GetCurrentProcessId()) + ".ini";
        parser::TProxyCodeObject settings;
        settings.lblParams_Caption = options_text;
        common::TWreg store;
        store.INIFile = path_;
        store.Components = {"lblParams.Caption,Parser config"};
        store.Object = &settings;
        ok_ = store.Execute(common::TWregOperation::kStore);
    }
    ~SettingsFile() { DeleteFileA(path_.c_str()); }
    SettingsFile(const SettingsFile&) = delete;
    SettingsFile& operator=(const SettingsFile&) = delete;

    bool Ok() const noexcept { return ok_; }
    common::Variant PathValue() const {
        return common::Variant::Utf16(std::u16string(path_.begin(), path_.end()));
    }

   private:
    std::string path_;
    bool ok_ = false;
};

// A loaded instance with its ports announced and opened; closed and unloaded on destruction.
class Plant {
   public:
    Plant(const hostsim::PluginLibrary& library, hostsim::HostWindow& window, int ports,
          const std::string& options_text)
        : settings_(options_text), instance_(library, hostsim::ParamsMode::kListObject) {
        instance_.UseWindow(&window);
        if (!settings_.Ok() || instance_.Create() != 0) return;
        if (instance_.Load({{"INI-FILE", settings_.PathValue()}}).result != 0) return;
        loaded_ = true;
        std::string sources;
        for (int id = 1; id <= ports; ++id) {
            if (!sources.empty()) sources += "\r\n";
            sources += std::to_string(id) + ";" + PortName(id) + ";Line " + std::to_string(id);
        }
        if (instance_.SetState(sources, kModuleKinds, true).result != 0) return;
        instance_.Command("ITEMS");
        for (int id = 1; id <= ports; ++id) {
            instance_.Command("EVENT", {{"EVENT-TYPE", common::Variant::Ansi("PORT-OPEN")},
                                        {"PORTSTR", common::Variant::Ansi(PortName(id))}});
        }
        ports_ = ports;
    }
    ~Plant() {
        if (loaded_) {
            for (int id = 1; id <= ports_; ++id) {
                instance_.Command("EVENT", {{"EVENT-TYPE", common::Variant::Ansi("PORT-CLOSE")},
                                            {"PORTSTR", common::Variant::Ansi(PortName(id))}});
            }
            instance_.Command("UNLOAD", {{"INI-FILE", settings_.PathValue()}});
        }
        instance_.Free();
    }
    Plant(const Plant&) = delete;
    Plant& operator=(const Plant&) = delete;

    bool Ready() const noexcept { return ports_ > 0; }
    hostsim::HostInstance& Instance() noexcept { return instance_; }
    static std::string PortName(int id) { return "LINE" + std::to_string(id); }

   private:
    SettingsFile settings_;
    hostsim::HostInstance instance_;
    bool loaded_ = false;
    int ports_ = 0;
};

// One ProcessData call with received bytes, on a record reused from call to call. The bytes go
// in a task-memory buffer as the host's do: the plug-in may grow it to hand back raw text.
class Receiver {
   public:
    Receiver(const hostsim::PluginLibrary& library, hostsim::HostInstance& instance, int port)
        : library_(library), call_(hostsim::ParamsMode::kListObject) {
        auto& rec = call_.Rec();
        rec.Instance = instance.Handle();
        rec.Tag = instance.Tag();
        rec.SourceId = port;
        rec.StateMask = 0x03;  // received data; no emptiness check of the input
        const std::string name = Plant::PortName(port);
        std::memcpy(rec.SourceName, name.data(), std::min(name.size(), sizeof rec.SourceName));
        output_ = &call_.AttachOutput();
        call_.AttachParams();
    }

    // The number of packets the call delivered.
    std::int32_t Deliver(const std::vector<std::uint8_t>& bytes) {
        auto& rec = call_.Rec();
        void* buffer = CoTaskMemAlloc(bytes.size());
        std::memcpy(buffer, bytes.data(), bytes.size());
        rec.InData.Kind = plugins::kDataRawBytes;
        rec.InData.Size = static_cast<std::int32_t>(bytes.size());
        rec.InData.Value.Ptr = buffer;
        rec.OutData.Count = 0;
        output_->Clear();
        library_.Exports().ProcessData(&rec);
        void* left = rec.InData.Value.Ptr;
        CoTaskMemFree(left != nullptr ? left : buffer);
        return rec.OutData.Count;
    }
    const common::TzolParamsList& Output() const noexcept { return *output_; }

   private:
    const hostsim::PluginLibrary& library_;
    hostsim::CallRecord call_;
    common::TzolParamsList* output_;
};

// Simulated lines: what the plug-in writes reaches the line's meters, and each answer arrives
// after the request and the answer have crossed the line at 1200 baud, one after the other. One
// host thread hands every arrival to ProcessData when it is due. The meters and that thread are
// made first, so that the memory they take is not counted as the plug-in's (a thread's stack is
// committed whole under Wine: 3 MiB, once counted as the plug-in's); Attach opens the lines.
class Lines {
   public:
    Lines(int ports, int meters) {
        for (int id = 1; id <= ports; ++id) {
            auto line = std::make_unique<Line>();
            for (int address = 1; address <= meters; ++address) {
                line->sim.AddMeter(hostsim::SimulatedMeterAt(static_cast<std::uint8_t>(address)));
            }
            lines_.push_back(std::move(line));
        }
        reader_ = std::thread([this] { Run(); });
    }
    ~Lines() { Stop(); }

    void Attach(const hostsim::PluginLibrary& library, hostsim::HostInstance& instance) {
        for (std::size_t i = 0; i < lines_.size(); ++i) {
            lines_[i]->receiver =
                std::make_unique<Receiver>(library, instance, static_cast<int>(i + 1));
        }
        hostsim::SetPortWriter([this](std::int32_t id, std::span<const std::uint8_t> bytes) {
            return Write(id, bytes);
        });
        hostsim::SetSendObserver([this](const hostsim::RecordedSend& send) {
            if (send.kind == plugins::kSendDataPacket) ++pushed_;
        });
    }
    // Closes the lines: nothing is delivered any more, and writes fail as a closed port's.
    void Stop() {
        if (!reader_.joinable()) return;
        {
            std::lock_guard<std::mutex> guard(lock_);
            stop_ = true;
        }
        wake_.notify_all();
        reader_.join();
        hostsim::SetPortWriter(nullptr);
        hostsim::SetSendObserver(nullptr);
    }
    Lines(const Lines&) = delete;
    Lines& operator=(const Lines&) = delete;

    std::uint64_t Packets() const noexcept { return delivered_.load() + pushed_.load(); }
    std::uint64_t Writes() const noexcept { return writes_.load(); }

   private:
    // Orders byte strings of any kind, so that a written frame is looked up without a copy.
    struct BytesLess {
        using is_transparent = void;
        template <typename A, typename B>
        bool operator()(const A& a, const B& b) const {
            return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
        }
    };
    struct Line {
        metersim::MeterSimulator sim;
        std::unique_ptr<Receiver> receiver;
        std::int64_t free_at_us = 0;  // when the line is quiet again
        // The answers are kept in room taken with the line, before the plug-in's memory is
        // counted, so that they are not counted as the plug-in's.
        // (The room is a block of its own, so that the line's other fields share cache lines.)
        std::unique_ptr<std::array<std::byte, 32768>> answer_room =
            std::make_unique<std::array<std::byte, 32768>>();
        std::pmr::monotonic_buffer_resource answer_memory{answer_room->data(), answer_room->size()};
        std::pmr::map<std::pmr::vector<std::uint8_t>,
                      std::pmr::vector<std::pmr::vector<std::uint8_t>>, BytesLess>
            answers{&answer_memory};
    };
    struct Arrival {
        std::int64_t due_us;
        std::size_t line;
        std::vector<std::uint8_t> bytes;
        bool operator>(const Arrival& other) const noexcept { return due_us > other.due_us; }
    };

    // The meters' answers to what was written. The simulated meters work at one moment (their
    // values do not move), so a whole request frame always gets the same answer; it is built
    // once and replayed, because building it (the meters' arithmetic) is a meter's work, not the
    // host's, and would otherwise be counted in this process's CPU. Pieces of frames go to the
    // meters as they come.
    static std::vector<std::vector<std::uint8_t>> Answers(Line& line,
                                                          std::span<const std::uint8_t> bytes) {
        const bool whole_frame = bytes.size() >= 2 && bytes.front() == 0x80 && bytes.back() == 0x0D;
        std::vector<std::vector<std::uint8_t>> replies;
        if (whole_frame) {
            if (const auto known = line.answers.find(bytes); known != line.answers.end()) {
                for (const auto& reply : known->second)
                    replies.emplace_back(reply.begin(), reply.end());
                return replies;
            }
        }
        line.sim.Receive(bytes, 0);
        while (auto reply = line.sim.TakeDelivery(0)) replies.push_back(std::move(*reply));
        if (whole_frame) {
            auto& kept = line.answers[std::pmr::vector<std::uint8_t>(bytes.begin(), bytes.end())];
            for (const auto& reply : replies) kept.emplace_back(reply.begin(), reply.end());
        }
        return replies;
    }

    bool Write(std::int32_t id, std::span<const std::uint8_t> bytes) {
        if (id < 1 || static_cast<std::size_t>(id) > lines_.size()) return false;
        ++writes_;
        const auto index = static_cast<std::size_t>(id - 1);
        Line& line = *lines_[index];
        {
            std::lock_guard<std::mutex> guard(lock_);
            const std::int64_t now = NowUs();
            line.free_at_us =
                std::max(line.free_at_us, now) +
                static_cast<std::int64_t>(static_cast<double>(bytes.size()) * kUsPerByte);
            for (auto& reply : Answers(line, bytes)) {
                line.free_at_us +=
                    static_cast<std::int64_t>(static_cast<double>(reply.size()) * kUsPerByte);
                arrivals_.push({line.free_at_us, index, std::move(reply)});
            }
        }
        wake_.notify_one();
        return true;
    }

    void Run() {
        std::unique_lock<std::mutex> guard(lock_);
        while (!stop_) {
            if (arrivals_.empty()) {
                wake_.wait(guard);
                continue;
            }
            // The threads library waits in whole milliseconds and returns at once from a wait
            // shorter than one, so waiting out the last fraction would spin. An answer handed
            // over less than a millisecond early is still later than a byte takes at 1200 baud.
            const std::int64_t wait = arrivals_.top().due_us - NowUs();
            if (wait >= 1000) {
                wake_.wait_for(guard, std::chrono::milliseconds((wait + 999) / 1000));
                continue;
            }
            Arrival arrival = arrivals_.top();
            arrivals_.pop();
            guard.unlock();
            delivered_ += static_cast<std::uint64_t>(
                std::max(0, lines_[arrival.line]->receiver->Deliver(arrival.bytes)));
            guard.lock();
        }
    }

    std::vector<std::unique_ptr<Line>> lines_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::priority_queue<Arrival, std::vector<Arrival>, std::greater<>> arrivals_;
    bool stop_ = false;
    std::atomic<std::uint64_t> delivered_{0};
    std::atomic<std::uint64_t> pushed_{0};
    std::atomic<std::uint64_t> writes_{0};
    std::thread reader_;
};

std::uint64_t ProcessCpuUs() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto us = [](const FILETIME& t) {
        return ((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10;
    };
    return us(kernel) + us(user);
}

// The step in which the process's CPU clock moves, in microseconds: Windows and Wine charge CPU
// time in whole ticks (10 - 20 ms), not by the instruction. A row's CPU per packet is only as
// fine as one step spread over the packets of its window, which is why the window is a minute:
// at 64 lines 20 s held about 1 340 packets, Wine's 20-ms step was 15 us a packet, and one run
// read 29.8 us where the next read 44.6 us of the same work.
double CpuClockStepUs() {
    std::uint64_t last = ProcessCpuUs();
    std::uint64_t step = 0;
    // Spin across two changes; the first may be a partial step.
    for (int changes = 0; changes < 2;) {
        const std::uint64_t now = ProcessCpuUs();
        if (now == last) continue;
        if (changes == 1) step = now - last;
        last = now;
        ++changes;
    }
    return static_cast<double>(step);
}

// Committed private memory of the process: the sum of its committed private regions, what
// Windows counts as private bytes (Wine's process counters leave that figure empty).
std::uint64_t PrivateBytes() {
    std::uint64_t total = 0;
    MEMORY_BASIC_INFORMATION info{};
    for (const char* address = nullptr; VirtualQuery(address, &info, sizeof info) == sizeof info;
         address = static_cast<const char*>(info.BaseAddress) + info.RegionSize) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) total += info.RegionSize;
        if (static_cast<const char*>(info.BaseAddress) + info.RegionSize < address) break;
    }
    return total;
}

// Pumps the host window (the plug-in's timers tick on this thread) for `ms`. It waits for
// messages up to a second at a time, as a host's message loop waits for the next message: waking
// more often to collect the packets and log lines recorded meanwhile would be the bench's own
// work, counted in the process's CPU.
void PumpFor(hostsim::HostWindow& window, std::uint32_t ms, hostsim::RunCounts& counts,
             const hostsim::LogMarkers& markers) {
    const std::int64_t end = NowUs() + std::int64_t{ms} * 1000;
    for (std::int64_t now = NowUs(); now < end; now = NowUs()) {
        window.Pump(static_cast<unsigned>(std::min<std::int64_t>((end - now) / 1000 + 1, 1000)));
        hostsim::TakeRecordedSends();  // handled as they came; the record would only grow
        for (const auto& line : window.TakeLogLines()) {
            hostsim::CountLogLine(line.text, counts, markers);
        }
    }
}

struct ScaleResult {
    int clients = 0;
    int meters = 0;
    double seconds = 0;
    double cpu_percent = 0;
    double packets_per_second = 0;
    double exchanges_per_port_second = 0;
    double private_kib_per_client = 0;
    std::uint32_t timeouts = 0;
    bool ok = false;
};

ScaleResult RunScale(const hostsim::PluginLibrary& library, int ports, int meters,
                     std::uint32_t warmup_ms, std::uint32_t measure_ms) {
    ScaleResult result;
    result.clients = ports;
    result.meters = meters;
    hostsim::HostWindow window;
    const hostsim::LogMarkers markers;
    hostsim::RunCounts counts;
    Lines lines(ports, meters);
    const std::uint64_t private_before = PrivateBytes();
    Plant plant(library, window, ports, OptionsText(meters, true));
    if (!plant.Ready()) return result;
    {
        lines.Attach(library, plant.Instance());
        PumpFor(window, warmup_ms, counts, markers);
        const std::uint64_t private_after = PrivateBytes();
        const std::uint32_t timeouts_before = counts.timeouts;
        const std::uint64_t packets_before = lines.Packets();
        const std::uint64_t writes_before = lines.Writes();
        const std::uint64_t cpu_before = ProcessCpuUs();
        const std::int64_t wall_before = NowUs();
        PumpFor(window, measure_ms, counts, markers);
        const double wall_us = static_cast<double>(NowUs() - wall_before);
        const auto cpu_us = static_cast<double>(ProcessCpuUs() - cpu_before);
        result.seconds = wall_us / 1e6;
        result.cpu_percent = 100.0 * cpu_us / wall_us;
        result.packets_per_second =
            static_cast<double>(lines.Packets() - packets_before) / result.seconds;
        result.exchanges_per_port_second = static_cast<double>(lines.Writes() - writes_before) /
                                           result.seconds / static_cast<double>(ports);
        result.private_kib_per_client =
            (static_cast<double>(private_after) - static_cast<double>(private_before)) / 1024.0 /
            static_cast<double>(ports);
        result.timeouts = counts.timeouts - timeouts_before;
        result.ok = true;
        lines.Stop();
    }
    return result;
}

// Microseconds per call: the best of several rounds, so a busy machine shows the cost and not
// the moments another process had the core.
template <typename Call>
double BestUsPerCall(int rounds, int calls, Call&& call) {
    double best = 1e300;
    for (int round = 0; round < rounds; ++round) {
        const std::int64_t start = NowUs();
        for (int i = 0; i < calls; ++i) call();
        best = std::min(best, static_cast<double>(NowUs() - start) / calls);
    }
    return best;
}

// The same work in-process with the core: scan, unstuff, check, decode eight registers.
double CoreScanDecodeUs(const std::vector<std::uint8_t>& frame, bool& ok) {
    bench::ScanAndDecode scan(kDecodeAddress);
    std::int64_t decoded = 0;
    std::int64_t calls = 0;
    volatile double sink = 0;
    const double us = BestUsPerCall(5, 20000, [&] {
        ++calls;
        decoded += scan.Run(frame, [&](const kmp::RegisterValue& value) {
            sink = sink + static_cast<double>(value.index());
        });
    });
    ok = decoded == 8 * calls;
    return us;
}

int RunDecode(const hostsim::PluginLibrary& library) {
    hostsim::HostWindow window;
    // Passive requests: an answer that arrives with nothing in flight is matched to the passive
    // request of its meter, so every call finds, checks, decodes and delivers.
    Plant plant(library, window, 1, OptionsText(1, false));
    if (!plant.Ready()) {
        std::printf("decode: the plug-in could not be loaded\n");
        return 1;
    }
    Receiver receiver(library, plant.Instance(), 1);
    const auto frame = bench::EightRegisterResponse(kDecodeAddress);
    if (receiver.Deliver(frame) != 1) {
        std::printf("decode: the response was not delivered as a packet\n");
        return 1;
    }
    const std::int32_t items = receiver.Output().Count();
    std::int64_t bad = 0;
    const double export_us = BestUsPerCall(5, 20000, [&] {
        if (receiver.Deliver(frame) != 1 || receiver.Output().Count() != items) ++bad;
    });
    window.TakeLogLines();
    bool core_ok = false;
    const double core_us = CoreScanDecodeUs(frame, core_ok);
    if (bad != 0 || !core_ok) {
        std::printf("decode: %lld calls did not deliver the packet\n", static_cast<long long>(bad));
        return 1;
    }
    std::printf(
        "decode: ProcessData, one 8-register response to a packet of %d items: %.2f us "
        "per call (target < 10 us)\n",
        static_cast<int>(items), export_us);
    std::printf("decode: core scan + decode of the same response, in-process: %.2f us per call\n",
                core_us);
    return 0;
}

void PrintScale(const ScaleResult& r) {
    std::printf("scale: %d clients x %d meters, one instance, %.0f s measured after warm-up\n",
                r.clients, r.meters, r.seconds);
    std::printf("scale: CPU %.2f %% of one core (target < 2 %%)\n", r.cpu_percent);
    std::printf("scale: private bytes %.1f KiB per client (target < 64 KiB)\n",
                r.private_kib_per_client);
    std::printf("scale: %.1f packets/s, %.2f exchanges/s per line, %u timeouts\n",
                r.packets_per_second, r.exchanges_per_port_second, r.timeouts);
}

// What the machine charges for memory a thread comes back to: microseconds per page to read
// `pages` pages again after `idle_ms` of sleep, the median of several rounds. Every packet here
// is handled by a thread that has just woken, so on a machine (or virtual machine) where this
// is high, the plug-in's CPU per packet follows the number of pages it touches, not the
// instructions it runs; the figure puts the scale rows of different machines side by side.
double PageAgainUs(std::size_t pages, DWORD idle_ms) {
    constexpr std::size_t kPage = 4096;
    auto* memory = static_cast<volatile char*>(
        VirtualAlloc(nullptr, pages * kPage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (memory == nullptr) return 0;
    for (std::size_t i = 0; i < pages; ++i) memory[i * kPage] = 1;
    std::vector<double> rounds;
    long sum = 0;
    for (int round = 0; round < 9; ++round) {
        Sleep(idle_ms);
        const std::int64_t start = NowUs();
        for (std::size_t i = 0; i < pages; ++i) sum += memory[i * kPage];
        rounds.push_back(static_cast<double>(NowUs() - start) / static_cast<double>(pages));
    }
    VirtualFree(const_cast<char*>(memory), 0, MEM_RELEASE);
    std::nth_element(rounds.begin(), rounds.begin() + 4, rounds.end());
    return sum >= 0 ? rounds[4] : 0;
}

// One scale run's figures on one line, for the parent process that prints the table.
void PrintRow(const ScaleResult& r) {
    std::printf("ROW %d %d %.3f %.4f %.3f %.4f %.3f %u\n", r.clients, r.meters, r.seconds,
                r.cpu_percent, r.packets_per_second, r.exchanges_per_port_second,
                r.private_kib_per_client, r.timeouts);
}

std::optional<ScaleResult> RunChild(const std::string& self, const std::string& dll, int clients,
                                    std::uint32_t warmup_ms, std::uint32_t measure_ms) {
    const std::string command =
        "\"\"" + self + "\" --dll \"" + dll + "\" --row " + std::to_string(clients) + " --warmup " +
        std::to_string(warmup_ms / 1000) + " --seconds " + std::to_string(measure_ms / 1000) + "\"";
    FILE* pipe = _popen(command.c_str(), "r");
    if (pipe == nullptr) return std::nullopt;
    std::optional<ScaleResult> result;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        ScaleResult r;
        if (std::sscanf(line, "ROW %d %d %lf %lf %lf %lf %lf %u", &r.clients, &r.meters, &r.seconds,
                        &r.cpu_percent, &r.packets_per_second, &r.exchanges_per_port_second,
                        &r.private_kib_per_client, &r.timeouts) == 8) {
            r.ok = true;
            result = r;
        }
    }
    _pclose(pipe);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dll = "kmpparser.dll";
    std::string mode = "all";
    int row_clients = 0;
    int meters = 8;
    std::uint32_t warmup_ms = 15000;
    std::uint32_t measure_ms = 60000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--dll" && has_value) {
            dll = argv[++i];
        } else if (arg == "--row" && has_value) {
            mode = "row";
            row_clients = std::atoi(argv[++i]);
        } else if (arg == "--decode") {
            mode = "decode";
        } else if (arg == "--warmup" && has_value) {
            warmup_ms = static_cast<std::uint32_t>(std::atoi(argv[++i])) * 1000;
        } else if (arg == "--seconds" && has_value) {
            measure_ms = static_cast<std::uint32_t>(std::atoi(argv[++i])) * 1000;
        } else {
            std::printf(
                "usage: scale_bench [--dll PATH] [--decode | --row CLIENTS] [--warmup S] "
                "[--seconds S]\n");
            return 2;
        }
    }
    hostsim::PluginLibrary library;
    if (!library.Load(dll)) {
        std::printf("scale_bench: %s\n", library.Error().c_str());
        return 1;
    }
    OleInitialize(nullptr);
    if (mode == "row") {
        const ScaleResult r = RunScale(library, row_clients, meters, warmup_ms, measure_ms);
        if (!r.ok) return 1;
        PrintRow(r);
        return 0;
    }
    if (RunDecode(library) != 0 || mode == "decode") return mode == "decode" ? 0 : 1;

    char self[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::vector<ScaleResult> rows;
    for (int clients : {1, 8, 64, 256}) {
        auto r = RunChild(self, dll, clients, warmup_ms, measure_ms);
        if (!r) {
            std::printf("growth: the run with %d clients failed\n", clients);
            return 1;
        }
        rows.push_back(*r);
        if (clients == 64) PrintScale(*r);
    }
    std::printf(
        "machine: reading a page again costs %.2f us after a second asleep, %.3f us after a "
        "millisecond\n",
        PageAgainUs(64, 1000), PageAgainUs(64, 1));
    std::printf("machine: the process's CPU clock moves in steps of %.1f ms\n",
                CpuClockStepUs() / 1000.0);
    std::printf("growth: clients  meters  packets/s  CPU %%   CPU us/packet  KiB/client\n");
    for (const auto& r : rows) {
        const double us_per_packet =
            r.packets_per_second > 0 ? r.cpu_percent * 1e4 / r.packets_per_second : 0;
        std::printf("growth: %7d  %6d  %9.1f  %5.2f  %13.1f  %10.1f\n", r.clients,
                    r.clients * r.meters, r.packets_per_second, r.cpu_percent, us_per_packet,
                    r.private_kib_per_client);
    }
    return 0;
}
