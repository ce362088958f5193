// The receive path of one poll: a typical 8-register response is queued, found, unstuffed and
// verified by the scan, and its register blocks are decoded.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "kmp/kmp_frame.h"
#include "kmp_response_work.h"

namespace {

using namespace zol;

void BM_ScanAndDecodeEightRegisterResponse(benchmark::State& state) {
    const auto frame = bench::EightRegisterResponse(0x3F);
    bench::ScanAndDecode scan(0x3F);
    std::int64_t decoded = 0;
    for (auto _ : state) {
        decoded +=
            scan.Run(frame, [](kmp::RegisterValue& value) { benchmark::DoNotOptimize(value); });
    }
    if (decoded != 8 * state.iterations()) state.SkipWithError("response not decoded");
}
BENCHMARK(BM_ScanAndDecodeEightRegisterResponse);

void BM_StuffRegisterRequest(benchmark::State& state) {
    const std::vector<std::uint16_t> ids{60, 68, 1003, 1002, 86, 87, 74, 80};
    for (auto _ : state) {
        auto frame = kmp::KmpStuff(kmp::BuildRegisterRequest(0x3F, ids));
        benchmark::DoNotOptimize(frame.data());
    }
}
BENCHMARK(BM_StuffRegisterRequest);

}  // namespace
