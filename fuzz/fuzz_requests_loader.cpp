// Fuzz target for the request loader: an options text becomes the request list of a port. The
// first byte picks the catalogue and whether a port queue takes the schedules (which parses the
// cron strings and time lists and starts their schedules); the rest is the text. Texts that load
// nothing are normal results; only crashes, sanitizer reports and hangs fail.
#include <cstddef>
#include <cstdint>
#include <string>

#include "kmp/request_config.h"
#include "platform/fake_clock.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static zol::platform::FakeClock clock(1'000'000, 1'767'225'600'000);  // 2026-01-01
    static zol::platform::ScopedFakeClock installed(clock);
    zol::kmp::StandaloneLoadHost host((data[0] & 1) != 0 ? zol::kmp::KmpCatalogue::kElectricity
                                                         : zol::kmp::KmpCatalogue::kHeat);
    zol::kmp::TDataSourceCfg config;
    config.lblParams_Caption.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    config.spMinInt_Value = static_cast<double>(data[0]) * 1e7 - 5e8;
    if ((data[0] & 2) != 0) {
        zol::parser::TQueueControllerTimer queue;
        zol::kmp::LoadRequests(&host, &config, queue.Requests, &queue);
        queue.Tick();
    } else {
        zol::parser::TBasicRequestList list;
        zol::kmp::LoadRequests(&host, &config, list, nullptr);
    }
    return 0;
}
