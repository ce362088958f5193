// NextRun cost for typical schedules: a dense one, a daily one, and the two sparse calendar ones.
// The time per call is reported by the benchmark; each call starts from the previous run so the
// walk covers a realistic spread of bases.
#include <benchmark/benchmark.h>

#include "scheduler/cron_scheduler.h"
#include "scheduler/date_helpers.h"

namespace {

void NextRunChain(benchmark::State& state, const char* cron) {
    auto parsed = zol::scheduler::ParseCronString(cron);
    if (!parsed.Ok()) {
        state.SkipWithError(parsed.error.c_str());
        return;
    }
    const double origin = zol::scheduler::EncodeOle({2026, 1, 1, 0, 0, 7, 250});
    double from = origin;
    for (auto _ : state) {
        auto next = zol::scheduler::NextRun(parsed.entries, from, 0, 0);
        benchmark::DoNotOptimize(next);
        from = next.time != 0 ? next.time : origin;
        // Stay within the years "*" allows.
        if (from > origin + 365.0 * 500) from = origin;
    }
}

BENCHMARK_CAPTURE(NextRunChain, Every15Seconds, "*/15 * * * * * *");
BENCHMARK_CAPTURE(NextRunChain, DailyNoon, "0 0 12 * * * *");
BENCHMARK_CAPTURE(NextRunChain, FridayThe13th, "0 0 0 13 * 5 *");
BENCHMARK_CAPTURE(NextRunChain, LeapDay, "0 0 0 29 2 * *");

}  // namespace
