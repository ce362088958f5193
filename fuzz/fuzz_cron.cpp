// Fuzz target for the cron parser and the next-run search. The first byte picks the base time
// (one of a few fixed instants, including ones before the OLE origin and near the year bounds);
// the rest is the cron string. Parse errors and "Invalid cron format" are normal results; only
// crashes, sanitizer reports and hangs (a broken step limit) fail.
#include <cstddef>
#include <cstdint>
#include <string>

#include "scheduler/cron_scheduler.h"
#include "scheduler/date_helpers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    using zol::scheduler::DateTimeParts;
    static const DateTimeParts kBases[] = {
        {2026, 3, 1, 12, 0, 0, 400},     {1899, 12, 29, 6, 0, 0, 0},
        {2999, 12, 31, 23, 59, 59, 999}, {2024, 2, 29, 23, 59, 59, 0},
        {100, 1, 1, 0, 0, 0, 0},         {9999, 12, 31, 23, 59, 59, 0},
        {1970, 1, 1, 0, 0, 0, 0},        {2026, 12, 31, 23, 59, 59, 500}};
    const DateTimeParts& base = kBases[data[0] % (sizeof kBases / sizeof kBases[0])];
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    auto parsed = zol::scheduler::ParseCronString(text);
    if (!parsed.Ok()) return 0;
    double from = zol::scheduler::EncodeOle(base);
    double start = (data[0] & 0x40) != 0 ? from + 1.5 : 0;
    double end = (data[0] & 0x80) != 0 ? from + 40.25 : 0;
    for (int i = 0; i < 4; ++i) {
        auto next = zol::scheduler::NextRun(parsed.entries, from, start, end);
        if (!next.Ok() || next.time == 0) break;
        // A run is always strictly later than its base.
        if (zol::scheduler::OleToMs(next.time) <= zol::scheduler::OleToMs(from)) __builtin_trap();
        from = next.time;
    }
    for (const auto& entry : parsed.entries) {
        (void)zol::scheduler::TChronEntryHelper::FirstValid(entry, entry.Min);
        (void)zol::scheduler::TChronEntryHelper::NextValid(entry, entry.Max);
    }
    return 0;
}
