// Hosts that hand the module its clients on threads of their own, through the real DLL: a client
// made by a connection notice on the host's port thread, which never handles window messages,
// and fed on yet another thread, must poll like a client made on the host's main thread.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "hostsim/host_lib.h"
#include "metersim/meter_simulator.h"
#include "parser/parser_CfgOptionsProxy.h"
#include "win32/helpers/stored_options.h"
#include "zolShared/Private/Plugins/zolPluginModule.h"
#include "zolShared/Public/Common/zolRegSettings.h"

namespace zol::hostsim {
namespace {

using common::Variant;

constexpr std::int32_t kClient = 5;

using test::StoredOptions;

// Hands `bytes` to ProcessData for the client, as a host's port thread does; a connection notice
// when `notice` is not 0. Returns the packets decoded into the call's output list.
std::vector<std::vector<NamedValue>> HandOver(const PluginLibrary& library, void* instance,
                                              const std::vector<std::uint8_t>& bytes,
                                              std::uint32_t notice = 0) {
    CallRecord call(ParamsMode::kInterface);
    call.Rec().Instance = instance;
    call.Rec().Tag = 1;
    call.Rec().SourceId = 1;
    call.Rec().ClientId = kClient;
    call.Rec().StateMask = 0x03;
    const char name[] = "TCP1:5";
    std::memcpy(call.Rec().SourceName, name, sizeof name - 1);
    common::TzolParamsList& output = call.AttachOutput();
    void* buffer = nullptr;
    if (notice != 0) {
        call.Rec().InData.Kind = 7;  // a connection notice
        call.Rec().InData.Value.Number = notice;
    } else {
        buffer = CoTaskMemAlloc(bytes.size());
        std::memcpy(buffer, bytes.data(), bytes.size());
        call.Rec().InData.Kind = plugins::kDataRawBytes;
        call.Rec().InData.Size = static_cast<std::int32_t>(bytes.size());
        call.Rec().InData.Value.Ptr = buffer;
    }
    call.AttachParams();
    EXPECT_EQ(library.Exports().ProcessData(&call.Rec()), 0);
    if (notice == 0) {
        void* left = call.Rec().InData.Value.Ptr;
        CoTaskMemFree(left != nullptr ? left : buffer);
    }
    return SplitRows(ItemsOf(output));
}

// How long any one step may take before the test fails rather than waits on.
constexpr DWORD kStepLimitMs = 30000;

// Handles this thread's messages, as a host's main thread does in its message loop, until
// `done` holds or kStepLimitMs passed. Returns whether `done` holds.
bool PumpUntil(const std::function<bool()>& done) {
    const ULONGLONG start = GetTickCount64();
    while (!done()) {
        if (GetTickCount64() - start >= kStepLimitMs) return done();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return true;
}

// Joins a thread of the test that sets `finished` last, handling this thread's messages
// meanwhile: a call into the module on that thread may wait for this one. A thread that never
// finishes can be neither joined nor left running on the test's objects, so the run ends there
// as a failure instead of hanging.
void JoinPumping(std::thread& thread, const std::atomic<bool>& finished, const char* what) {
    if (!PumpUntil([&] { return finished.load(); })) {
        ADD_FAILURE() << what << " did not return within " << kStepLimitMs << " ms";
        std::fflush(stdout);
        std::abort();
    }
    thread.join();
}

TEST(ClientThreads, AClientMadeOnAPortThreadWithoutAMessageLoopPolls) {
    const StoredOptions stored(
        "<QUERY><R caption=\"Heat\"><Enabled>1</Enabled><Device>63</Device><MethodPoll>1"
        "</MethodPoll><PollInterval>1</PollInterval><PollUnits>S</PollUnits><Timeout>400"
        "</Timeout><Response><I><Register>3C</Register></I></Response></R></QUERY>",
        "client_threads");
    ASSERT_TRUE(stored.Stored());
    PluginLibrary library;
    ASSERT_TRUE(library.Load("kmpparser.dll")) << library.Error();
    HostInstance host(library, ParamsMode::kInterface);
    ASSERT_EQ(host.Create(), 0);
    ASSERT_EQ(host.Load({{"INI-FILE", Variant::Ansi(stored.File())}}).result, 0);

    // The client's writes go to a line served on a thread of the test's: the meter's answers
    // come back on it, never on the thread that wrote.
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::vector<std::uint8_t>> written;
    std::vector<std::vector<NamedValue>> packets;
    bool stop = false;
    SetPortWriter([&](std::int32_t, std::span<const std::uint8_t> bytes) {
        std::lock_guard<std::mutex> lock(mutex);
        written.emplace_back(bytes.begin(), bytes.end());
        changed.notify_all();
        return true;
    });
    ASSERT_EQ(host.SetState("1;TCP1;TCP server", 0x03, true).result, 0);
    // The notice replaces the placeholder client made on this thread: its timer is stopped
    // here, so this thread handles messages while it waits, as a host's main thread would.
    std::atomic<bool> port_done = false;
    std::thread port([&] {
        HandOver(library, host.Handle(), {}, 257);
        port_done = true;
    });
    JoinPumping(port, port_done, "the connection notice");  // the client's maker is gone
    std::atomic<bool> line_done = false;
    std::thread line([&] {
        metersim::MeterSimulator meters;
        for (auto& meter : metersim::DemoMeters()) meters.AddMeter(std::move(meter));
        std::unique_lock<std::mutex> lock(mutex);
        while (!stop) {
            changed.wait(lock, [&] { return stop || !written.empty(); });
            if (stop) break;
            std::vector<std::uint8_t> frame = std::move(written.front());
            written.pop_front();
            lock.unlock();
            meters.Receive(frame, 0);
            std::vector<std::vector<NamedValue>> decoded;
            // Due at once: the simulator's time never moves here.
            while (auto reply = meters.TakeDelivery(~std::uint64_t{0})) {
                auto rows = HandOver(library, host.Handle(), *reply);
                decoded.insert(decoded.end(), rows.begin(), rows.end());
            }
            lock.lock();
            packets.insert(packets.end(), decoded.begin(), decoded.end());
            changed.notify_all();
        }
        line_done = true;
    });
    // This thread handles the module's window messages, as the host's main thread does, until
    // two readings came.
    PumpUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return packets.size() >= 2;
    });
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
        changed.notify_all();
    }
    JoinPumping(line, line_done, "the line's thread");
    SetPortWriter(nullptr);
    ASSERT_GE(packets.size(), 2u) << host.CollectLog();
    for (const auto& packet : packets) {
        bool device = false;
        for (const auto& [name, value] : packet) {
            if (name == "DEVICE_ID") device = value.AsInt64() == metersim::kDemoHeatAddress;
        }
        EXPECT_TRUE(device);
    }
    EXPECT_EQ(host.Free(), 0);
}

}  // namespace
}  // namespace zol::hostsim
