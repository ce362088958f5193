// The queue controller's tick and the request loader. A tick runs every 50 ms per queue, so its
// cost over a full list (64 polling requests, none due: every one is looked at) and with one
// exchange per tick (the chosen request sent and answered) must stay far below that; the loader
// runs at every settings load.
#include <benchmark/benchmark.h>

#include <string>

#include "kmp/request_config.h"
#include "platform/fake_clock.h"

namespace {

using zol::parser::TBasicRequestItem;
using zol::parser::TQueueControllerTimer;
using zol::parser::TRequestMethod;

void FillPolls(TQueueControllerTimer& queue, int count, std::int32_t interval) {
    for (int i = 0; i < count; ++i) {
        auto item = std::make_unique<zol::kmp::TRequestItem>();
        item->Enabled = true;
        item->Method = item->MethodParams.Method = TRequestMethod::rmPoll;
        item->PollInterval = interval;
        queue.Requests.Add(std::move(item));
    }
}

void TickNothingDue(benchmark::State& state) {
    zol::platform::FakeClock clock(1'000'000, 0);
    zol::platform::ScopedFakeClock installed(clock);
    TQueueControllerTimer queue;
    FillPolls(queue, static_cast<int>(state.range(0)), 3'600'000);
    queue.OnSendRequest = [](auto&, auto&, std::uint32_t&, std::int32_t&) { return true; };
    queue.ResetSchedule();
    // Send each once, answered at once; afterwards none is due for an hour.
    for (int i = 0; i < state.range(0); ++i) {
        queue.Tick();
        queue.ReleaseCurrent(1);
        queue.Current = nullptr;
    }
    for (auto _ : state) queue.Tick();
}
BENCHMARK(TickNothingDue)->Arg(64);

void TickWithOneExchange(benchmark::State& state) {
    zol::platform::FakeClock clock(1'000'000, 0);
    zol::platform::ScopedFakeClock installed(clock);
    TQueueControllerTimer queue;
    FillPolls(queue, static_cast<int>(state.range(0)), 0);
    queue.OnSendRequest = [](auto&, auto&, std::uint32_t& timeout, std::int32_t&) {
        timeout = 300;
        return true;
    };
    queue.ResetSchedule();
    for (auto _ : state) {
        clock.Advance(1);
        queue.Tick();
        queue.ReleaseCurrent(1);
        queue.Current = nullptr;
    }
}
BENCHMARK(TickWithOneExchange)->Arg(64);

std::string Configuration(int entries) {
    std::string text = "<?xml version=\"1.0\"?>\r\n<QUERY>\r\n";
    for (int i = 0; i < entries; ++i) {
        text += "<Request caption=\"Meter " + std::to_string(i) +
                "\"><Enabled check=\"2\"/><Device>" + std::to_string(i % 250 + 1) +
                "</Device><Timeout>1600</Timeout><RequestMethod><MethodPoll check=\"2\">"
                "<PollInterval>5</PollInterval><PollUnits>S</PollUnits></MethodPoll>"
                "</RequestMethod><Response>";
        for (const char* reg : {"003C", "0044", "0056", "0057", "004A", "0050", "03EC", "03EB"}) {
            text += std::string("<Item><Register>") + reg + "</Register><Name></Name></Item>";
        }
        text += "</Response></Request>\r\n";
    }
    return text + "</QUERY>\r\n";
}

void LoadRequestsEntries(benchmark::State& state) {
    zol::kmp::TDataSourceCfg config;
    config.lblParams_Caption = Configuration(static_cast<int>(state.range(0)));
    zol::parser::TBasicRequestList list;
    for (auto _ : state) {
        zol::kmp::LoadRequests(nullptr, &config, list, nullptr);
        benchmark::DoNotOptimize(list.Count());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(config.lblParams_Caption.size()));
}
BENCHMARK(LoadRequestsEntries)->Arg(100);

}  // namespace
