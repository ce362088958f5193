// Heap allocations per delivered packet, counted natively: every operator new of this process is
// counted while the plug-in handles a call, so the figure is the plug-in's own (plus whatever the
// packet's items take with them to the host's list). Two runs, each with the host handing its
// lists over as list objects (as the scale bench does) and as interfaces:
//  - decode: one 8-register response through ProcessData for a passive request, found, checked,
//    decoded and delivered as a packet, again and again (the scale bench's decode);
//  - exchange: a polled meter, one exchange after another: the ticks that send the request and
//    the ProcessData call that hands back its answer and delivers the packet.
// The counters are allocations (and bytes) per packet; time per iteration is secondary here.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "kmp/PluginDM.h"
#include "kmp/kmp_frame.h"
#include "metersim/meter_simulator.h"
#include "platform/fake_clock.h"
#include "platform/message_window.h"
#include "platform/native/host_link_native.h"
#include "platform/native/registry_native.h"
#include "platform/shared_memory.h"
#include "zolShared/Private/Plugins/plugin_abi.h"
#include "zolShared/Private/Plugins/zolPluginModule.h"
#include "zolShared/Public/Common/zolParamLst.h"

namespace {

std::atomic<bool> counting{false};
std::atomic<std::int64_t> allocations{0};
std::atomic<std::int64_t> allocated_bytes{0};

void* CountedAllocation(std::size_t size) {
    if (counting.load(std::memory_order_relaxed)) {
        allocations.fetch_add(1, std::memory_order_relaxed);
        allocated_bytes.fetch_add(static_cast<std::int64_t>(size), std::memory_order_relaxed);
    }
    void* block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

// Counts what the plug-in allocates inside its lifetime.
class Counted {
   public:
    Counted() { counting.store(true); }
    ~Counted() { counting.store(false); }
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;
};

}  // namespace

void* operator new(std::size_t size) { return CountedAllocation(size); }
void* operator new[](std::size_t size) { return CountedAllocation(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace {

using namespace zol;
using common::TzolParamsList;
using common::Variant;
using plugins::TPluginCallRec;

constexpr std::uintptr_t kHostModule = 0x4000;
constexpr std::uint8_t kAddress = metersim::kDemoHeatAddress;
// What a heat meter is usually read for, as the scale bench polls it.
constexpr const char* kRegisters[] = {"003C", "0044", "03EB", "03EA",
                                      "0056", "0057", "004A", "0050"};

// The frames the plug-in wrote; the host's side is not counted.
std::vector<std::vector<std::uint8_t>>* written = nullptr;

std::int32_t SendDataEx(std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t kind,
                        std::intptr_t data, std::int32_t size) {
    if (kind != plugins::kSendRawBytes || written == nullptr) return 0;
    const bool was_counting = counting.exchange(false);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    written->emplace_back(bytes, bytes + size);
    counting.store(was_counting);
    return 0;
}

std::string OptionsText(bool polled) {
    std::string text = "<QUERY><Request caption=\"Heat\">";
    if (polled) text += "<Enabled>1</Enabled>";
    text += "<Device>" + std::to_string(kAddress) +
            "</Device><Timeout>2000</Timeout><MethodPoll>1</MethodPoll>"
            "<PollInterval>1</PollInterval><PollUnits>S</PollUnits><Response>";
    for (const char* reg : kRegisters) {
        text += std::string("<I><Register>") + reg + "</Register></I>";
    }
    return text + "</Response></Request></QUERY>";
}

// A loaded instance with one port; the host's lists as list objects or as interfaces.
class Site {
   public:
    Site(bool polled, bool interfaces) : interfaces_(interfaces) {
        platform::native::ResetRegistry();
        platform::native::RegisterModule("host.exe", kHostModule);
        platform::native::RegisterExport(kHostModule, "Vantor_SendDataEx",
                                         reinterpret_cast<void*>(&SendDataEx));
        written = &writes_;
        plugins::LibraryShutdown();
        kmp::RegisterKmpModule();
        plugins::LibraryStartup();
        TzolParamsList params;
        TPluginCallRec rec{};
        rec.RecSize = plugins::kCallRecSize;
        rec.Params = &params;
        if (plugins::CreatePluginInstanceCall(&rec) != 0) return;
        handle_ = rec.Instance;
        auto instance = plugins::FindInstance(handle_);
        auto* plugin = dynamic_cast<kmp::TaPlugin*>(instance.get());
        if (plugin == nullptr) return;
        if (Command("LOAD", {{"HANDLE", Variant::Int32(kHostModule)}}) != 0) return;
        plugin->Config->lblParams_Caption = OptionsText(polled);
        if (Command("SET-STATE",
                    {{"DATA-SOURCES-IN-CFG", Variant::Ansi("1;COM1;COM1 port")},
                     {"RESULT", Variant::Int32(1)}},
                    0x03) != 0) {
            return;
        }
        output_wrap_ = new common::TzolParamsListWrap(&output_, true);
        params_wrap_ = new common::TzolParamsListWrap(&params_, true);
        ready_ = true;
    }
    ~Site() {
        if (output_wrap_ != nullptr) output_wrap_->DestroyCached();
        if (params_wrap_ != nullptr) params_wrap_->DestroyCached();
        if (handle_ != nullptr) Command("UNLOAD", {});
        plugins::LibraryShutdown();
        platform::native::ResetRegistry();
        written = nullptr;
    }
    Site(const Site&) = delete;
    Site& operator=(const Site&) = delete;

    bool Ready() const noexcept { return ready_; }
    std::vector<std::vector<std::uint8_t>>& Writes() noexcept { return writes_; }

    // Hands `bytes` to ProcessData as the host does; the packets it delivered. Only the call
    // itself is counted.
    std::int32_t Deliver(const std::vector<std::uint8_t>& bytes) {
        output_.Clear();
        TPluginCallRec rec{};
        rec.RecSize = plugins::kCallRecSize;
        rec.Instance = handle_;
        rec.SourceId = 1;
        rec.StateMask = 0x03;
        void* buffer = platform::SharedAlloc(bytes.size());
        std::memcpy(buffer, bytes.data(), bytes.size());
        rec.InData.Kind = plugins::kDataRawBytes;
        rec.InData.Value.Ptr = buffer;
        rec.InData.Size = static_cast<std::int32_t>(bytes.size());
        if (interfaces_) {
            rec.Params = params_wrap_->AsInterfaceA();
            rec.OutData.Kind = plugins::kDataListInterface;
            rec.OutData.Value.Ptr = output_wrap_->AsInterfaceA();
        } else {
            rec.Params = &params_;
            rec.OutData.Kind = plugins::kDataListObject;
            rec.OutData.Value.Ptr = &output_;
        }
        {
            Counted counted;
            plugins::ProcessDataCall(&rec);
        }
        platform::SharedFree(rec.InData.Value.Ptr != nullptr ? rec.InData.Value.Ptr : buffer);
        return rec.OutData.Count;
    }
    const TzolParamsList& Output() const noexcept { return output_; }

   private:
    std::int32_t Command(const char* command,
                         std::initializer_list<std::pair<const char*, Variant>> params,
                         std::uint8_t state_mask = 0) {
        TzolParamsList list;
        list.Add("COMMAND", Variant::Ansi(command));
        for (const auto& [name, value] : params) list.Add(name, value);
        if (list.IndexOf("RESULT") < 0) list.Add("RESULT", Variant());
        TPluginCallRec rec{};
        rec.RecSize = plugins::kCallRecSize;
        rec.Instance = handle_;
        rec.Params = &list;
        rec.StateMask = state_mask;
        return plugins::ExecutePluginCommandCall(&rec);
    }

    bool interfaces_;
    bool ready_ = false;
    void* handle_ = nullptr;
    std::vector<std::vector<std::uint8_t>> writes_;
    TzolParamsList params_;
    TzolParamsList output_;
    common::TzolParamsListWrap* output_wrap_ = nullptr;
    common::TzolParamsListWrap* params_wrap_ = nullptr;
};

std::vector<std::uint16_t> RegisterIds() {
    std::vector<std::uint16_t> ids;
    for (const char* reg : kRegisters) {
        ids.push_back(static_cast<std::uint16_t>(std::strtoul(reg, nullptr, 16)));
    }
    return ids;
}

// The stuffed frame the demo heat meter answers `request` (a stuffed request frame) with.
std::vector<std::uint8_t> AnswerTo(const metersim::SimMeter& meter,
                                   const std::vector<std::uint8_t>& request) {
    std::vector<std::uint8_t> body;
    kmp::KmpUnstuff(std::span(request).subspan(1, request.size() - 2), body);
    const auto answer = metersim::MeterSimulator::Answer(meter, body);
    return answer ? kmp::KmpStuff(*answer, kmp::KmpRespStart) : std::vector<std::uint8_t>{};
}

void SetCounters(benchmark::State& state, std::int64_t packets, std::int64_t items) {
    if (packets == 0) {
        state.SkipWithError("no packet delivered");
        return;
    }
    const auto per_packet = [&](std::int64_t total) {
        return static_cast<double>(total) / static_cast<double>(packets);
    };
    state.counters["allocs_per_packet"] = per_packet(allocations.load());
    state.counters["bytes_per_packet"] = per_packet(allocated_bytes.load());
    state.counters["items"] = static_cast<double>(items);
}

void BM_DecodeAllocations(benchmark::State& state) {
    platform::FakeClock clock{1'000'000, 1'780'000'000'000};
    platform::ScopedFakeClock installed{clock};
    Site site(false, state.range(0) != 0);
    if (!site.Ready()) {
        state.SkipWithError("the plug-in could not be loaded");
        return;
    }
    metersim::MeterSimulator meters;
    for (auto& meter : metersim::DemoMeters()) meters.AddMeter(std::move(meter));
    const auto ids = RegisterIds();
    const auto response = AnswerTo(*meters.FindMeter(kAddress),
                                   kmp::KmpStuff(kmp::BuildRegisterRequest(kAddress, ids)));
    // The first delivery makes the client and its buffers.
    if (site.Deliver(response) != 1) {
        state.SkipWithError("the response was not delivered as a packet");
        return;
    }
    const std::int32_t items = site.Output().Count();
    allocations = 0;
    allocated_bytes = 0;
    std::int64_t packets = 0;
    for (auto _ : state) {
        packets += site.Deliver(response);
        clock.Advance(1);
    }
    SetCounters(state, packets, items);
}
BENCHMARK(BM_DecodeAllocations)->ArgName("interfaces")->Arg(0)->Arg(1);

void BM_ExchangeAllocations(benchmark::State& state) {
    platform::FakeClock clock{1'000'000, 1'780'000'000'000};
    platform::ScopedFakeClock installed{clock};
    Site site(true, state.range(0) != 0);
    if (!site.Ready()) {
        state.SkipWithError("the plug-in could not be loaded");
        return;
    }
    metersim::MeterSimulator meters;
    for (auto& meter : metersim::DemoMeters()) meters.AddMeter(std::move(meter));
    const metersim::SimMeter& meter = *meters.FindMeter(kAddress);
    // Time passes in steps; the meter answers each request at the next step. Returns the packets
    // delivered by the answers.
    std::size_t seen = 0;
    std::int32_t items = 0;
    std::int64_t dispatches = 0;
    const auto run = [&](std::uint64_t ms) {
        std::int64_t packets = 0;
        for (std::uint64_t t = 0; t < ms; t += 10) {
            clock.Advance(10);
            {
                Counted counted;
                platform::DispatchPendingMessages();
            }
            ++dispatches;
            while (seen < site.Writes().size()) {
                const auto answer = AnswerTo(meter, site.Writes()[seen++]);
                if (answer.empty()) continue;
                const std::int32_t delivered = site.Deliver(answer);
                if (delivered > 0) items = site.Output().Count();
                packets += delivered;
            }
        }
        return packets;
    };
    // The first exchanges identify the meter and make the client's buffers.
    if (run(5000) == 0) {
        state.SkipWithError("the meter was not read");
        return;
    }
    // The native message queue allocates for each dispatch, messages or not; a Windows thread's
    // queue is the system's. What a dispatch with nothing due costs is left out.
    allocations = 0;
    allocated_bytes = 0;
    {
        Counted counted;
        platform::DispatchPendingMessages();
    }
    const std::int64_t idle_allocations = allocations.load();
    const std::int64_t idle_bytes = allocated_bytes.load();
    allocations = 0;
    allocated_bytes = 0;
    dispatches = 0;
    std::int64_t packets = 0;
    for (auto _ : state) packets += run(1000);
    allocations -= idle_allocations * dispatches;
    allocated_bytes -= idle_bytes * dispatches;
    SetCounters(state, packets, items);
}
BENCHMARK(BM_ExchangeAllocations)->ArgName("interfaces")->Arg(0)->Arg(1)->Iterations(50);

}  // namespace
