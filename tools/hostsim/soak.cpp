#include "hostsim/soak.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <variant>

#include "hostsim/host_run.h"
#include "hostsim/packet_output.h"
#include "hostsim/port_transport.h"
#include "kmp/kmp_frame.h"
#include "kmp/kmp_registers.h"
#include "kmp/kmp_value.h"

namespace zol::hostsim {

namespace {

constexpr int kPorts = 4;
constexpr std::uint8_t kAddresses[] = {21, 22, 23, 24};
constexpr std::uint64_t kTimeoutMs = 300;
// A reply counts as in time when it is out within half the timeout; late ones are sent at twice
// the timeout, so none falls near the edge.
constexpr std::uint64_t kInTimeMs = kTimeoutMs / 2;
constexpr std::uint32_t kLateMs = 2 * kTimeoutMs;
// The counter register: every meter's value goes up by one with every request written to its
// line, so each reply is told apart from every other by it.
constexpr std::uint16_t kCounterRegister = 0x003C;
// Replies due this close to the end of the run, or to a port being closed, are not required.
constexpr std::uint64_t kEndGraceMs = 2000;
constexpr std::uint64_t kCloseGraceMs = 300;
constexpr std::uint64_t kSampleEveryMs = 5000;

// Two requests to every meter of every line: eight registers polled every 400 ms, and four of
// them by a cron schedule every three seconds for two of the meters; and a passive device.
const char* const kSoakOptionsText = R"(<?xml version="1.0"?>
<QUERY>
  <Request caption="Fast">
    <Enabled check="2"/>
    <Device>21;22;23;24</Device>
    <Timeout>300</Timeout>
    <RequestMethod><MethodPoll check="2"><PollInterval>400</PollInterval><PollUnits>MS</PollUnits></MethodPoll></RequestMethod>
    <Response><Item><Register>003C</Register></Item><Item><Register>005E</Register></Item><Item><Register>0044</Register></Item><Item><Register>0045</Register></Item><Item><Register>0048</Register></Item><Item><Register>0056</Register></Item><Item><Register>0057</Register></Item><Item><Register>0050</Register></Item></Response>
  </Request>
  <Request caption="Energy">
    <Enabled check="2"/>
    <Device>21;23</Device>
    <Timeout>300</Timeout>
    <RequestMethod><MethodCron check="2"><CronTime>*/3 * * * * *</CronTime></MethodCron></RequestMethod>
    <Response><Item><Register>003C</Register></Item><Item><Register>0044</Register></Item><Item><Register>0056</Register></Item><Item><Register>0057</Register></Item></Response>
  </Request>
  <Passive><Device>29</Device><Response><Item><Register>003C</Register></Item></Response></Passive>
</QUERY>
)";

std::uint64_t SteadyMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

std::optional<double> AsNumber(const kmp::RegisterValue& value) {
    return std::visit(
        [](const auto& v) -> std::optional<double> {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_arithmetic_v<T>) {
                return static_cast<double>(v);
            } else {
                return std::nullopt;
            }
        },
        value);
}

// One reply (or silence) of a simulated meter, with the values it carried.
struct LedgerEntry {
    metersim::SimReply reply;
    std::optional<std::uint32_t> counter;
    std::vector<double> values;  // the register values in the reply's order
    int packets = 0;             // packets found carrying this reply
};

LedgerEntry MakeEntry(const metersim::SimReply& reply) {
    LedgerEntry entry{reply, std::nullopt, {}, 0};
    if (reply.silent || reply.cid != kmp::CidGetRegister || reply.body.size() < 4) return entry;
    std::span<const std::uint8_t> data(reply.body.data() + 2, reply.body.size() - 4);
    while (auto block = kmp::ReadRegisterBlock(data)) {
        const auto number = AsNumber(kmp::DecodeRegisterValue(block->value, block->sign_exponent));
        entry.values.push_back(number.value_or(std::nan("")));
        if (block->id == kCounterRegister) entry.counter = kmp::RawMantissa(block->value);
    }
    return entry;
}

// A line of simulated meters whose faults the soak changes as it runs, and which keeps the
// ledger of every reply it sends. Closed, it refuses writes and drops what the meters send;
// refusing, it refuses writes only.
class SoakPort : public PortTransport {
   public:
    explicit SoakPort(std::vector<metersim::SimMeter> meters) {
        for (auto& meter : meters) sim_.AddMeter(std::move(meter));
        sim_.OnReply = [this](const metersim::SimReply& reply) {
            ledger_.push_back(MakeEntry(reply));
        };
    }

    bool Write(std::span<const std::uint8_t> bytes) override {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (closed_ || refusing_) {
                ++refused_;
                return false;
            }
            for (const auto& meter : sim_.Meters()) BumpCounter(meter.address);
            sim_.Receive(bytes, SteadyMs());
        }
        wake_.notify_all();
        return true;
    }

    bool Read(std::uint32_t timeout_ms, std::vector<std::uint8_t>& out) override {
        std::unique_lock<std::mutex> guard(lock_);
        const std::uint64_t deadline = SteadyMs() + timeout_ms;
        for (;;) {
            const std::uint64_t now = SteadyMs();
            while (auto delivery = sim_.TakeDelivery(now)) {
                if (closed_) continue;  // a closed port hears nothing
                out.insert(out.end(), delivery->begin(), delivery->end());
                return true;
            }
            if (now >= deadline) return true;
            const std::uint64_t until = std::min(deadline, sim_.NextDue().value_or(deadline));
            wake_.wait_for(guard, std::chrono::milliseconds(until > now ? until - now : 0));
        }
    }

    void SetFaults(std::uint8_t address, const metersim::SimFaults& faults) {
        std::lock_guard<std::mutex> guard(lock_);
        if (auto* meter = sim_.FindMeter(address)) meter->faults = faults;
    }
    void SetClosed(bool closed) {
        std::lock_guard<std::mutex> guard(lock_);
        closed_ = closed;
    }
    void SetRefusing(bool refusing) {
        std::lock_guard<std::mutex> guard(lock_);
        refusing_ = refusing;
    }
    std::size_t LedgerSize() {
        std::lock_guard<std::mutex> guard(lock_);
        return ledger_.size();
    }
    std::vector<LedgerEntry> TakeLedger() {
        std::lock_guard<std::mutex> guard(lock_);
        return std::move(ledger_);
    }
    std::uint32_t Refused() {
        std::lock_guard<std::mutex> guard(lock_);
        return refused_;
    }

   private:
    void BumpCounter(std::uint8_t address) {
        auto* meter = sim_.FindMeter(address);
        for (auto& r : meter->registers) {
            if (r.id != kCounterRegister) continue;
            r = metersim::SimRegister::Make(r.id, r.unit, r.sign_exponent,
                                            kmp::RawMantissa(r.value) + 1u, r.value.size());
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    metersim::MeterSimulator sim_;
    std::vector<LedgerEntry> ledger_;
    bool closed_ = false;
    bool refusing_ = false;
    std::uint32_t refused_ = 0;
};

struct Window {
    std::uint64_t from = 0, to = 0;
};

struct SilentSpell {
    int port = 0;
    std::uint8_t address = 0;
    Window when;
};

struct Sample {
    double seconds = 0;
    double private_kib = 0;
    double handles = 0;
    double threads = 0;
};

// The handles this process holds. Wine leaves the process's own count at 0; its list of all
// handles of the system is complete, so the count comes from there when needed.
double HandleCount() {
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles) && handles > 0) return handles;
    using QueryFunction = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<QueryFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return 0;
    struct Entry {  // one handle of the system's list
        ULONG process;
        BYTE type, flags;
        USHORT handle;
        PVOID object;
        ACCESS_MASK access;
    };
    constexpr ULONG kSystemHandleInformation = 16;
    std::vector<ULONG> buffer(1 << 18);
    for (int attempt = 0; attempt < 4; ++attempt) {
        ULONG needed = 0;
        const auto size = static_cast<ULONG>(buffer.size() * sizeof(ULONG));
        const LONG status = query(kSystemHandleInformation, buffer.data(), size, &needed);
        if (status == 0) {
            const ULONG count = buffer[0];
            const auto* entries = reinterpret_cast<const Entry*>(buffer.data() + 1);
            if (sizeof(ULONG) + std::uint64_t{count} * sizeof(Entry) > size) return 0;
            double mine = 0;
            for (ULONG i = 0; i < count; ++i) {
                if (entries[i].process == GetCurrentProcessId()) ++mine;
            }
            return mine;
        }
        buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed / sizeof(ULONG) + 1024));
    }
    return 0;
}

Sample TakeSample(double seconds) {
    Sample sample{seconds, 0, 0, 0};
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof(memory);
    if (K32GetProcessMemoryInfo(GetCurrentProcess(),
                                reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                                sizeof(memory))) {
        // The commit charge: the process's private memory (Wine fills only this field).
        sample.private_kib = static_cast<double>(memory.PagefileUsage) / 1024.0;
    }
    sample.handles = HandleCount();
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        THREADENTRY32 entry{};
        entry.dwSize = sizeof(entry);
        for (BOOL more = Thread32First(snapshot, &entry); more;
             more = Thread32Next(snapshot, &entry)) {
            if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++sample.threads;
        }
        CloseHandle(snapshot);
    }
    return sample;
}

// A packet as the soak checks it: where it came from and the register values it carried.
struct SeenPacket {
    int port = 0;
    std::uint8_t address = 0;
    std::optional<std::uint32_t> counter;
    std::vector<double> values;
};

SeenPacket ReadPacket(const PortPacket& packet, const std::string& counter_name) {
    SeenPacket seen;
    seen.port = packet.source - 1;
    for (const auto& [name, value] : packet.items) {
        if (name == "DEVICE_ID") seen.address = static_cast<std::uint8_t>(value.AsInt64());
    }
    for (const auto& r : RegisterValues(packet.items)) {
        const std::string text = PlainText(r.value);
        char* end = nullptr;
        const double number = std::strtod(text.c_str(), &end);
        seen.values.push_back(end != text.c_str() ? number : std::nan(""));
        if (r.name == counter_name && end != text.c_str()) {
            seen.counter = static_cast<std::uint32_t>(number);
        }
    }
    return seen;
}

// The packet's values `a` against the reply's `b`: all of them, or (`prefix`) the first ones.
bool SameValues(const std::vector<double>& a, const std::vector<double>& b, bool prefix) {
    if (prefix ? a.size() > b.size() : a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::isnan(a[i]) != std::isnan(b[i])) return false;
        if (!std::isnan(a[i]) && std::fabs(a[i] - b[i]) > 1e-9 * std::max(1.0, std::fabs(b[i]))) {
            return false;
        }
    }
    return true;
}

// The faults a meter shows next, and for how long.
struct FaultChoice {
    metersim::SimFaults faults;
    std::uint64_t duration_ms = 0;
    bool silent = false;
};

FaultChoice ChooseFaults(std::mt19937& random) {
    const auto between = [&](std::uint64_t low, std::uint64_t high) {
        return std::uniform_int_distribution<std::uint64_t>(low, high)(random);
    };
    FaultChoice choice;
    choice.duration_ms = between(3000, 8000);
    const auto roll = between(0, 99);
    if (roll < 40) {
        // healthy
    } else if (roll < 55) {
        choice.faults.corrupt_every = 3;
    } else if (roll < 70) {
        choice.faults.split_size = 1;
    } else if (roll < 82) {
        metersim::ApplyFaultList("noise", choice.faults);
        if (between(0, 1) == 1) choice.faults.split_size = 1;
    } else if (roll < 88) {
        choice.faults.delay_ms = kLateMs;
        choice.duration_ms = between(1000, 2000);
    } else {
        choice.faults.no_reply = true;
        choice.silent = true;
        choice.duration_ms = between(2000, 5000);
    }
    return choice;
}

bool Overlaps(const Window& a, std::uint64_t from, std::uint64_t to) {
    return from <= a.to && to >= a.from;
}

}  // namespace

double Slope(const std::vector<double>& times, const std::vector<double>& values) {
    const std::size_t n = std::min(times.size(), values.size());
    if (n < 2) return 0;
    double mean_t = 0, mean_v = 0;
    for (std::size_t i = 0; i < n; ++i) {
        mean_t += times[i];
        mean_v += values[i];
    }
    mean_t /= static_cast<double>(n);
    mean_v /= static_cast<double>(n);
    double num = 0, den = 0;
    for (std::size_t i = 0; i < n; ++i) {
        num += (times[i] - mean_t) * (values[i] - mean_v);
        den += (times[i] - mean_t) * (times[i] - mean_t);
    }
    return den > 0 ? num / den : 0;
}

int RunSoak(const std::string& dll, ParamsMode mode, const SoakArguments& arguments) {
    const auto fail = [](const std::string& message) {
        std::fprintf(stderr, "hostsim: %s\n", message.c_str());
        return 1;
    };
    std::ofstream json;
    if (arguments.json_file) {
        json.open(*arguments.json_file, std::ios::binary | std::ios::trunc);
        if (!json) return fail("cannot write " + *arguments.json_file);
    }
    PluginLibrary library;
    if (!library.Load(dll)) return fail(library.Error());
    HostRun run(library, mode);
    std::vector<SoakPort*> ports;
    std::vector<std::string> names;
    for (int p = 0; p < kPorts; ++p) {
        std::vector<metersim::SimMeter> meters;
        for (auto address : kAddresses) meters.push_back(SimulatedMeterAt(address));
        auto port = std::make_unique<SoakPort>(std::move(meters));
        ports.push_back(port.get());
        names.push_back("SOAK" + std::to_string(p + 1));
        run.AddPort(names.back(), "soak line " + std::to_string(p + 1), std::move(port));
    }

    const auto* counter_row =
        kmp::FindRegister(kmp::Catalogue(kmp::KmpCatalogue::kHeat), kCounterRegister);
    const std::string counter_name(counter_row != nullptr ? counter_row->Code : "");
    std::mutex seen_lock;
    std::vector<SeenPacket> packets;
    run.OnPacket = [&](const PortPacket& packet) {
        SeenPacket seen = ReadPacket(packet, counter_name);
        if (json.is_open()) json << PacketJson(packet) << "\n";
        std::lock_guard<std::mutex> guard(seen_lock);
        packets.push_back(std::move(seen));
    };
    const LogMarkers markers = PluginLogMarkers(dll);
    std::vector<std::pair<std::uint64_t, std::string>> timeouts;  // when, line
    std::uint32_t log_lines = 0;
    run.OnLogLine = [&](const HostWindow::LogLine& line) {
        ++log_lines;
        RunCounts counts;
        CountLogLine(line.text, counts, markers);
        if (counts.timeouts > 0) timeouts.emplace_back(SteadyMs(), line.text);
    };
    std::uint32_t port_faults = 0;
    run.OnPortFault = [&](const std::string&) { ++port_faults; };

    std::string error;
    if (!run.Start(kSoakOptionsText, std::nullopt, error)) return fail(error);
    std::printf("soak: %u s, seed %u, %d ports x %zu meters\n", arguments.seconds, arguments.seed,
                kPorts, std::size(kAddresses));
    std::fflush(stdout);

    std::mt19937 random(arguments.seed);
    const auto between = [&](std::uint64_t low, std::uint64_t high) {
        return std::uniform_int_distribution<std::uint64_t>(low, high)(random);
    };
    const std::uint64_t start = SteadyMs();
    const std::uint64_t end = start + std::uint64_t{arguments.seconds} * 1000;
    // Faults stop a little before the end, so the last replies are plain ones.
    const std::uint64_t faults_end = end > start + 10000 ? end - 5000 : end;
    const std::uint64_t reload_every =
        std::clamp<std::uint64_t>(std::uint64_t{arguments.seconds} * 1000 / 3, 10000, 60000);

    std::vector<std::vector<std::uint64_t>> meter_until(
        kPorts, std::vector<std::uint64_t>(std::size(kAddresses), start));
    std::vector<std::vector<std::optional<std::uint64_t>>> silent_since(
        kPorts, std::vector<std::optional<std::uint64_t>>(std::size(kAddresses)));
    std::vector<SilentSpell> spells;
    std::vector<std::vector<Window>> closed(kPorts);
    int refusing = -1, closing = -1;  // the port refusing writes, the port closed; -1: none
    std::uint64_t refusing_until = 0, closing_until = 0;
    std::uint64_t next_refusal = start + between(5000, 15000);
    std::uint64_t next_close = start + between(10000, 20000);
    std::uint64_t next_reload = start + reload_every;
    std::uint64_t next_sample = start;
    std::uint64_t next_progress = start + 60000;
    std::uint32_t reloads = 0, reload_failures = 0, cycles = 0, event_failures = 0;
    std::vector<Sample> samples;
    const std::atomic<bool> never{false};

    const auto end_silence = [&](int p, std::size_t m, std::uint64_t now) {
        if (silent_since[p][m]) spells.push_back({p, kAddresses[m], {*silent_since[p][m], now}});
        silent_since[p][m].reset();
    };

    for (std::uint64_t now = SteadyMs(); now < end; now = SteadyMs()) {
        run.RunFor(static_cast<std::uint32_t>(std::min<std::uint64_t>(100, end - now)), never);
        now = SteadyMs();
        const bool injecting = now < faults_end;
        for (int p = 0; p < kPorts; ++p) {
            for (std::size_t m = 0; m < std::size(kAddresses); ++m) {
                if (now < meter_until[p][m] && injecting) continue;
                end_silence(p, m, now);
                FaultChoice choice = injecting ? ChooseFaults(random) : FaultChoice{};
                if (!injecting) choice.duration_ms = end - now + 1000;
                ports[p]->SetFaults(kAddresses[m], choice.faults);
                if (choice.silent) silent_since[p][m] = now;
                meter_until[p][m] = now + choice.duration_ms;
            }
        }
        if (refusing >= 0 && (now >= refusing_until || !injecting)) {
            ports[refusing]->SetRefusing(false);
            refusing = -1;
        } else if (refusing < 0 && injecting && now >= next_refusal) {
            refusing = static_cast<int>(between(0, kPorts - 1));
            ports[refusing]->SetRefusing(true);
            refusing_until = now + between(1000, 3000);
            next_refusal = now + between(15000, 25000);
        }
        if (closing >= 0 && (now >= closing_until || !injecting)) {
            // Opened again: the line first, then the plug-in is told.
            ports[closing]->SetClosed(false);
            if (run.PortEvent(names[closing], true) != 0) ++event_failures;
            closed[closing].back().to = SteadyMs();
            closing = -1;
            ++cycles;
        } else if (closing < 0 && injecting && now >= next_close) {
            closing = static_cast<int>(between(0, kPorts - 1));
            closed[closing].push_back({now, end});
            ports[closing]->SetClosed(true);
            if (run.PortEvent(names[closing], false) != 0) ++event_failures;
            closing_until = now + between(2000, 4000);
            next_close = now + between(20000, 40000);
        }
        if (now >= next_reload) {
            // The command's designed result is -2; -3 reports a failure inside.
            if (run.ReloadSettings() == -3) ++reload_failures;
            ++reloads;
            next_reload += reload_every;
        }
        if (now >= next_sample) {
            samples.push_back(TakeSample(static_cast<double>(now - start) / 1000.0));
            next_sample += kSampleEveryMs;
        }
        if (now >= next_progress) {
            std::size_t replies = 0;
            for (auto* port : ports) replies += port->LedgerSize();
            std::size_t seen = 0;
            {
                std::lock_guard<std::mutex> guard(seen_lock);
                seen = packets.size();
            }
            std::printf("soak: %llu s, replies %zu, packets %zu\n",
                        static_cast<unsigned long long>((now - start) / 1000), replies, seen);
            std::fflush(stdout);
            next_progress += 60000;
        }
    }
    for (int p = 0; p < kPorts; ++p) {
        for (std::size_t m = 0; m < std::size(kAddresses); ++m) end_silence(p, m, end);
    }
    std::vector<std::uint32_t> refused;
    for (auto* port : ports) refused.push_back(port->Refused());
    std::vector<std::vector<LedgerEntry>> ledgers;
    for (auto* port : ports) ledgers.push_back(port->TakeLedger());
    run.Stop();  // the last packets are in when the readers have stopped
    std::lock_guard<std::mutex> guard(seen_lock);

    // ---- What the host saw against what the meters sent ----
    std::vector<std::string> violations;
    const auto violation = [&](std::string text) {
        if (violations.size() < 20) std::fprintf(stderr, "soak: %s\n", text.c_str());
        violations.push_back(std::move(text));
    };
    std::map<std::tuple<int, std::uint8_t, std::uint32_t>, LedgerEntry*> by_counter;
    std::size_t replies = 0, damaged = 0, late = 0, silent = 0;
    for (int p = 0; p < kPorts; ++p) {
        for (auto& entry : ledgers[p]) {
            if (entry.reply.silent) {
                ++silent;
                continue;
            }
            ++replies;
            if (entry.reply.corrupt) ++damaged;
            if (entry.reply.due_ms - entry.reply.received_ms >= kInTimeMs) ++late;
            if (entry.counter) by_counter[{p, entry.reply.address, *entry.counter}] = &entry;
        }
    }
    std::size_t matched = 0, from_late = 0;
    for (const auto& seen : packets) {
        const auto found = seen.counter ? by_counter.find({seen.port, seen.address, *seen.counter})
                                        : by_counter.end();
        if (found == by_counter.end()) {
            violation("a packet from " + std::to_string(seen.address) + " on port " +
                      std::to_string(seen.port + 1) + " matches no reply the meter sent");
            continue;
        }
        LedgerEntry& entry = *found->second;
        if (++entry.packets == 2) {
            violation("the reply of " + std::to_string(seen.address) + " with counter " +
                      std::to_string(*seen.counter) + " was delivered twice");
        }
        if (entry.reply.corrupt) {
            violation("a damaged reply of " + std::to_string(seen.address) + " was delivered");
        }
        // A late reply may be taken for the answer to a later request of the same meter; its
        // registers are then read as far as they match that request's.
        const bool late_reply = entry.reply.due_ms - entry.reply.received_ms >= kInTimeMs;
        if (!SameValues(seen.values, entry.values, late_reply)) {
            const auto list = [](const std::vector<double>& values) {
                std::string text;
                for (double v : values) text += (text.empty() ? "" : " ") + std::to_string(v);
                return text;
            };
            violation("the packet of " + std::to_string(seen.address) + " on port " +
                      std::to_string(seen.port + 1) + " with counter " +
                      std::to_string(*seen.counter) + " carries " + list(seen.values) +
                      (late_reply ? ", the late reply " : ", the reply ") + list(entry.values));
        }
        if (late_reply) {
            ++from_late;
        } else {
            ++matched;
        }
    }
    std::size_t required = 0, excused = 0;
    for (int p = 0; p < kPorts; ++p) {
        for (const auto& entry : ledgers[p]) {
            const auto& r = entry.reply;
            if (r.silent || r.corrupt || r.cid != kmp::CidGetRegister ||
                r.due_ms - r.received_ms >= kInTimeMs) {
                continue;
            }
            // A late reply of another request on the same line, arriving just before or during
            // this exchange, may be taken for its answer: the protocol cannot tell them apart.
            const bool crossed =
                std::any_of(ledgers[p].begin(), ledgers[p].end(), [&](const LedgerEntry& other) {
                    const auto& o = other.reply;
                    return &other != &entry && !o.silent && o.due_ms - o.received_ms >= kInTimeMs &&
                           o.due_ms + 1000 >= r.received_ms && o.due_ms <= r.due_ms + 100;
                });
            const bool near_close =
                std::any_of(closed[p].begin(), closed[p].end(), [&](const Window& w) {
                    return Overlaps({w.from - kCloseGraceMs, w.to + kCloseGraceMs}, r.received_ms,
                                    r.due_ms);
                });
            if (crossed || near_close || r.due_ms + kEndGraceMs > end) {
                ++excused;
                continue;
            }
            ++required;
            if (entry.packets == 0) {
                violation("the reply of " + std::to_string(r.address) + " on port " +
                          std::to_string(p + 1) + " with counter " +
                          std::to_string(entry.counter.value_or(0)) + " at " +
                          std::to_string(r.due_ms - start) + " ms was lost");
            }
        }
    }
    std::size_t spells_checked = 0, spells_unpolled = 0;
    for (const auto& spell : spells) {
        const auto& ledger = ledgers[spell.port];
        const bool polled = std::any_of(ledger.begin(), ledger.end(), [&](const LedgerEntry& e) {
            return e.reply.silent && e.reply.address == spell.address &&
                   e.reply.received_ms >= spell.when.from && e.reply.received_ms <= spell.when.to;
        });
        const auto next = std::find_if(ledger.begin(), ledger.end(), [&](const LedgerEntry& e) {
            return e.reply.address == spell.address && e.reply.received_ms >= spell.when.to;
        });
        if (!polled || next == ledger.end()) {
            ++spells_unpolled;
            continue;
        }
        ++spells_checked;
        const std::string tag = "[" + std::to_string(spell.address) + "/";
        const bool logged = std::any_of(timeouts.begin(), timeouts.end(), [&](const auto& t) {
            return t.first >= spell.when.from && t.first <= spell.when.to + 1500 &&
                   t.second.find(tag) != std::string::npos;
        });
        if (!logged) {
            violation("no timeout was logged while " + std::to_string(spell.address) + " on port " +
                      std::to_string(spell.port + 1) + " was silent");
        }
        if (next->reply.cid != kmp::CidGetType) {
            violation("after its silence " + std::to_string(spell.address) + " on port " +
                      std::to_string(spell.port + 1) + " was asked CID " +
                      std::to_string(next->reply.cid) + " before it was identified again");
        }
    }
    if (reload_failures > 0) violation(std::to_string(reload_failures) + " reloads failed");
    if (event_failures > 0) violation(std::to_string(event_failures) + " port events failed");

    // ---- Memory, handles and threads after warm-up ----
    const double warm_up = std::clamp(arguments.seconds / 5.0, 30.0, 300.0);
    std::vector<double> times, memory, handles, threads;
    for (const auto& s : samples) {
        if (s.seconds < warm_up) continue;
        times.push_back(s.seconds / 3600.0);
        memory.push_back(s.private_kib);
        handles.push_back(s.handles);
        threads.push_back(s.threads);
    }
    const double span_h = times.size() > 1 ? times.back() - times.front() : 0;
    const double memory_slope = Slope(times, memory), handle_slope = Slope(times, handles);
    const double thread_slope = Slope(times, threads);
    const auto [min_threads, max_threads] = std::minmax_element(threads.begin(), threads.end());
    // Flat: over the measured span the fitted line rises by less than 2 MiB of private memory
    // (a leak of a few bytes per exchange would pass it within minutes), 16 handles, 1 thread.
    if (times.size() > 2) {
        if (memory_slope * span_h > 2048) violation("private memory grows");
        if (handle_slope * span_h > 16) violation("handles grow");
        if (*max_threads - *min_threads > 1 && thread_slope * span_h > 1) {
            violation("threads grow");
        }
    }

    std::size_t refused_total = 0;
    for (auto n : refused) refused_total += n;
    std::printf(
        "soak: replies %zu (damaged %zu, late %zu), silent requests %zu, writes refused %zu\n",
        replies, damaged, late, silent, refused_total);
    std::printf(
        "soak: packets %zu (in-time replies %zu, late replies %zu); required %zu, excused "
        "%zu\n",
        packets.size(), matched, from_late, required, excused);
    std::printf(
        "soak: silent spells %zu (checked %zu, not polled %zu); port close/open %u; "
        "reloads %u; timeouts logged %zu; log lines %u; port faults %u\n",
        spells.size(), spells_checked, spells_unpolled, cycles, reloads, timeouts.size(), log_lines,
        port_faults);
    if (!samples.empty()) {
        const Sample& first = samples.front();
        const Sample& last = samples.back();
        std::printf(
            "soak: private memory %.0f -> %.0f KiB, slope %.1f KiB/h; handles %.0f -> "
            "%.0f, slope %.1f/h; threads %.0f -> %.0f, slope %.2f/h (after %.0f s "
            "warm-up, %zu samples)\n",
            first.private_kib, last.private_kib, memory_slope, first.handles, last.handles,
            handle_slope, first.threads, last.threads, thread_slope, warm_up, times.size());
    }
    if (required == 0) violation("no reply was required: the run proved nothing");
    std::printf("soak: %s (%zu violations)\n", violations.empty() ? "PASS" : "FAIL",
                violations.size());
    std::fflush(stdout);
    return violations.empty() ? 0 : 1;
}

}  // namespace zol::hostsim
