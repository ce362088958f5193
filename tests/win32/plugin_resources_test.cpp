// What an unattended host repeats for months must not cost the plug-in a handle each time:
// settings reloads and ports closed and opened again, against the real DLL while it polls.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "hostsim/host_run.h"
#include "hostsim/port_transport.h"
#include "hostsim/soak.h"

namespace zol::hostsim {
namespace {

// A fast poll and a cron schedule (reloads stop and start schedules), on one meter.
constexpr const char* kOptions = R"(<?xml version="1.0"?>
<QUERY>
  <Request caption="Fast"><Enabled check="2"/><Device>21</Device><Timeout>300</Timeout>
    <RequestMethod><MethodPoll check="2"><PollInterval>200</PollInterval><PollUnits>MS</PollUnits></MethodPoll></RequestMethod>
    <Response><Item><Register>003C</Register></Item></Response></Request>
  <Request caption="Cron"><Enabled check="2"/><Device>21</Device><Timeout>300</Timeout>
    <RequestMethod><MethodCron check="2"><CronTime>*/2 * * * * *</CronTime></MethodCron></RequestMethod>
    <Response><Item><Register>0056</Register></Item></Response></Request>
</QUERY>
)";

TEST(PluginResources, ReloadsAndPortCyclesLeaveNoHandlesBehind) {
    PluginLibrary library;
    ASSERT_TRUE(library.Load("kmpparser.dll")) << library.Error();
    HostRun run(library, ParamsMode::kListObject);
    run.AddPort("P1", "line one", OpenSimulatedPort({SimulatedMeterAt(21)}));
    std::atomic<int> packets{0};
    run.OnPacket = [&](const PortPacket&) { ++packets; };
    run.OnLogLine = [](const HostWindow::LogLine&) {};
    std::string error;
    ASSERT_TRUE(run.Start(kOptions, std::nullopt, error)) << error;
    const std::atomic<bool> never{false};
    const auto cycle = [&] {
        EXPECT_EQ(run.ReloadSettings(), -2);
        EXPECT_EQ(run.PortEvent("P1", false), 0);
        run.RunFor(10, never);
        EXPECT_EQ(run.PortEvent("P1", true), 0);
        run.RunFor(10, never);
    };
    run.RunFor(500, never);
    for (int i = 0; i < 5; ++i) cycle();  // whatever is made once on first use
    const double before = ProcessHandleCount();
    ASSERT_GT(before, 0);
    for (int i = 0; i < 100; ++i) cycle();
    const double after = ProcessHandleCount();
    // A handle per cycle would add 100. The threads library gives a mutex its event, and a
    // condition variable its semaphores, the first time a thread has to wait for them, so on a
    // loaded machine a few long-lived ones get theirs only after the warm-up (five were seen).
    EXPECT_LT(after - before, 20) << before << " handles before, " << after << " after";
    // And the port still polls.
    const int seen = packets;
    run.RunFor(1500, never);
    EXPECT_GT(packets.load(), seen);
    run.Stop();
}

}  // namespace
}  // namespace zol::hostsim
