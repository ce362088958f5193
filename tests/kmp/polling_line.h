#pragma once
// A line for the plug-in's main road, natively: a host that loads the plug-in, announces a port
// and hands back what simulated meters answer to what the plug-in writes. Packets come back in
// the ProcessData record or pushed through the host's entry point. Time is a fake clock; the
// timers tick when the test lets this thread handle its messages, as the host's thread would.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "kmp/PluginDM.h"
#include "kmp/PluginDM_KmpClient.h"
#include "kmp/PluginDM_SerialPort.h"
#include "kmp/kmp_frame.h"
#include "kmp/kmp_instance.h"
#include "metersim/meter_simulator.h"
#include "platform/fake_clock.h"
#include "platform/message_window.h"
#include "platform/native/host_link_native.h"
#include "platform/native/registry_native.h"
#include "platform/shared_memory.h"
#include "scheduler/cron_test_support.h"
#include "zolShared/Private/Plugins/plugin_abi.h"

namespace zol::kmp {
namespace {

using common::TzolParamsList;
using common::Variant;
using plugins::TPluginCallRec;

using Packet = std::map<std::string, std::string>;

// The host's side of Vantor_SendDataEx: port writes and pushed packets.
struct FakeHost {
    std::mutex mutex;
    std::vector<std::vector<std::uint8_t>> writes;
    std::vector<Packet> pushed;
    std::int32_t write_result = 0;
    // A host of its own kind: sees each port write as it happens, on the plug-in's thread,
    // outside the recorder's lock (the line is then the test's to serve).
    std::function<void(const std::vector<std::uint8_t>&)> on_write;
};
FakeHost* host = nullptr;

Packet ItemsOf(common::IzolParamsListA* list) {
    Packet items;
    for (std::int32_t i = 0; list != nullptr && i < list->GetCount(); ++i) {
        common::IzolParamsListItemA* item = nullptr;
        if (list->GetItem(i, &item) != 0 || item == nullptr) continue;
        if (item->IsNewRow() == 0) {
            Variant value;
            item->GetValue(&value.Raw());
            items[item->GetName()] = value.AsUtf8();
        }
        item->Release();
    }
    return items;
}

std::int32_t SendDataEx(std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t kind,
                        std::intptr_t data, std::int32_t size) {
    std::unique_lock<std::mutex> lock(host->mutex);
    if (kind == plugins::kSendRawBytes) {
        if (host->write_result != 0) return host->write_result;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
        host->writes.emplace_back(bytes, bytes + size);
        if (host->on_write) {
            const std::vector<std::uint8_t> frame(bytes, bytes + size);
            auto on_write = host->on_write;
            lock.unlock();
            on_write(frame);
        }
        return 0;
    }
    const auto* rec = reinterpret_cast<const TPluginCallRec*>(data);
    host->pushed.push_back(
        ItemsOf(*static_cast<common::IzolParamsListA**>(rec->OutData.Value.Ptr)));
    return 0;
}

constexpr std::uintptr_t kHostModule = 0x4000;

class Polling : public ::testing::Test {
   protected:
    platform::FakeClock clock_{1'000'000, scheduler::testing::LocalMs("2026-03-01T11:59:00")};
    platform::ScopedFakeClock installed_{clock_};
    FakeHost fake_;
    metersim::MeterSimulator meters_;
    std::vector<Packet> returned_;  // packets delivered in ProcessData records
    std::size_t writes_seen_ = 0;
    void* handle_ = nullptr;
    testing::KmpInstance kmp_;
    TaPlugin* plugin_ = nullptr;

    void SetUp() override {
        host = &fake_;
        platform::native::ResetRegistry();
        platform::native::RegisterModule("host.exe", kHostModule);
        platform::native::RegisterExport(kHostModule, "Vantor_SendDataEx",
                                         reinterpret_cast<void*>(&SendDataEx));
        kmp_.Create();
        ASSERT_NE(kmp_.plugin, nullptr);
        handle_ = kmp_.handle;
        plugin_ = kmp_.plugin;
        for (auto& meter : metersim::DemoMeters()) meters_.AddMeter(std::move(meter));
    }
    void TearDown() override {
        plugin_ = nullptr;
        kmp_.Release();
        platform::native::ResetRegistry();
        host = nullptr;
    }

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
    // LOAD with a configuration, then one port (id 1, "COM1").
    void Start(const std::string& options, double min_interval_ms = 0) {
        ASSERT_EQ(Command("LOAD", {{"HANDLE", Variant::Int32(kHostModule)}}), 0);
        plugin_->Config->lblParams_Caption = options;
        plugin_->Config->spMinInt_Value = min_interval_ms;
        ASSERT_EQ(Command("SET-STATE",
                          {{"DATA-SOURCES-IN-CFG", Variant::Ansi("1;COM1;COM1 port")},
                           {"RESULT", Variant::Int32(1)}},
                          0x03),
                  0);
    }
    // A ProcessData record of port 1 handing in `bytes`, copied into memory from the host's
    // allocator; the caller frees what InData points at after the call.
    TPluginCallRec DeliveryRecord(TzolParamsList& params, std::span<const std::uint8_t> bytes) {
        TPluginCallRec rec{};
        rec.RecSize = plugins::kCallRecSize;
        rec.Instance = handle_;
        rec.Params = &params;
        rec.SourceId = 1;
        rec.StateMask = 0x02;
        void* buffer = platform::SharedAlloc(bytes.size());
        std::memcpy(buffer, bytes.data(), bytes.size());
        rec.InData.Kind = plugins::kDataRawBytes;
        rec.InData.Value.Ptr = buffer;
        rec.InData.Size = static_cast<std::int32_t>(bytes.size());
        return rec;
    }
    std::int32_t Deliver(std::span<const std::uint8_t> bytes) {
        TzolParamsList params;
        TzolParamsList output;
        TPluginCallRec rec = DeliveryRecord(params, bytes);
        void* buffer = rec.InData.Value.Ptr;
        rec.OutData.Kind = plugins::kDataListUnchecked;
        rec.OutData.Value.Ptr = &output;
        const std::int32_t result = plugins::ProcessDataCall(&rec);
        platform::SharedFree(rec.InData.Value.Ptr != nullptr ? rec.InData.Value.Ptr : buffer);
        // Each row of the output is a packet of its own: a call that hands back two packets
        // (or the same one twice) counts two.
        Packet items;
        for (std::int32_t i = 0; i < output.Count(); ++i) {
            const common::TzolParamsListItem& item = *output.Item(i);
            if (!item.IsRowMarker()) {
                items[item.Name] = item.Value.AsUtf8();
            } else if (!items.empty()) {
                returned_.push_back(std::move(items));
                items.clear();
            }
        }
        if (!items.empty()) returned_.push_back(std::move(items));
        return result;
    }
    // Runs the line for `ms`: timers tick, the meters hear what the plug-in wrote and their
    // answers come back through ProcessData.
    void Run(std::uint64_t ms) {
        for (std::uint64_t t = 0; t < ms; t += 5) {
            clock_.Advance(5);
            platform::DispatchPendingMessages();
            std::vector<std::vector<std::uint8_t>> fresh;
            {
                std::lock_guard<std::mutex> lock(fake_.mutex);
                if (fake_.on_write) continue;  // the host of the test serves the line
                fresh.assign(fake_.writes.begin() + static_cast<std::ptrdiff_t>(writes_seen_),
                             fake_.writes.end());
                writes_seen_ = fake_.writes.size();
            }
            for (const auto& frame : fresh) meters_.Receive(frame, clock_.ReadTick());
            while (auto delivery = meters_.TakeDelivery(clock_.ReadTick())) Deliver(*delivery);
        }
    }
    // The CID of every frame the plug-in wrote, in order.
    std::vector<int> WrittenCids() {
        std::vector<int> cids;
        std::lock_guard<std::mutex> lock(fake_.mutex);
        for (const auto& frame : fake_.writes) {
            std::vector<std::uint8_t> body;
            KmpUnstuff(std::span(frame).subspan(1, frame.size() - 2), body);
            cids.push_back(body.size() > 1 ? body[1] : -1);
        }
        return cids;
    }
    std::string Log() { return plugin_->HostLog().Text(); }

    // Heat meters like the demo one at more addresses, each with a serial number of its own and
    // the simulator's faults given by name ("" for a good meter).
    void AddHeatMeters(std::initializer_list<std::pair<std::uint8_t, const char*>> meters) {
        for (const auto& [address, faults] : meters) {
            metersim::SimMeter meter = *meters_.FindMeter(metersim::kDemoHeatAddress);
            meter.address = address;
            meter.serial = 67012300u + address;
            meter.faults = {};
            ASSERT_TRUE(metersim::ApplyFaultList(faults, meter.faults)) << faults;
            meters_.AddMeter(std::move(meter));
        }
    }
    // The address and CID of every frame the plug-in wrote, in order.
    std::vector<std::pair<int, int>> WrittenFrames() {
        std::vector<std::pair<int, int>> frames;
        std::lock_guard<std::mutex> lock(fake_.mutex);
        for (const auto& frame : fake_.writes) {
            std::vector<std::uint8_t> body;
            KmpUnstuff(std::span(frame).subspan(1, frame.size() - 2), body);
            frames.emplace_back(body.size() > 1 ? body[0] : -1, body.size() > 1 ? body[1] : -1);
        }
        return frames;
    }
    // Time passes and the timers tick, but nothing reaches the line.
    void Idle(std::uint64_t ms) {
        for (std::uint64_t t = 0; t < ms; t += 5) {
            clock_.Advance(5);
            platform::DispatchPendingMessages();
        }
    }
    // The one client of the port.
    TKmpParserClient* Client() {
        TKmpParserClient* found = nullptr;
        plugin_->Ports()[0]->Clients.ForEach([&](std::intptr_t, parser::TCustomParserClient& c) {
            found = dynamic_cast<TKmpParserClient*>(&c);
            return false;
        });
        return found;
    }
};

[[maybe_unused]] std::string HeatRequest(const std::string& extra = "",
                                         const char* registers = nullptr) {
    return std::string(
               "<QUERY><R caption=\"Heat\"><Enabled>1</Enabled><Device>63</Device>"
               "<MethodPoll>1</MethodPoll><PollInterval>2</PollInterval>"
               "<PollUnits>S</PollUnits><Timeout>400</Timeout>") +
           extra + "<Response>" +
           (registers != nullptr ? registers
                                 : "<I><Register>3C</Register></I><I><Register>56</Register></I>"
                                   "<I><Register>3EB</Register></I>") +
           "</Response></R></QUERY>";
}

}  // namespace
}  // namespace zol::kmp
