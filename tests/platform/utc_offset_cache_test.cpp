#include "platform/utc_offset_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace zol::platform {
namespace {

constexpr std::int64_t kMinute = 60'000;
constexpr std::int64_t kHour = 3'600'000;
// 2026-03-29 01:00 UTC: central European summer time begins (UTC+1 becomes UTC+2).
constexpr std::int64_t kChange = 1'774'746'000'000;

// A zone whose offset changes at kChange, as the OS would report it for the minute asked for.
struct ChangingZone {
    std::vector<std::int64_t> asked;  // the minute starts the cache asked about
    std::int64_t operator()(std::int64_t minute_start) {
        asked.push_back(minute_start);
        return minute_start < kChange ? kHour : 2 * kHour;
    }
};

// Each reading must get the offset of its own minute, however the readings jump: forwards over
// the change, back across it (the clock set back), to an old time and before 1970.
TEST(UtcOffsetCache, EveryReadingGetsTheOffsetOfItsOwnMinute) {
    struct Reading {
        const char* name;
        std::int64_t utc_ms;
        std::int64_t offset;
        std::int64_t asked;  // the minute the OS is asked about, or kNotAsked
    };
    constexpr std::int64_t kNotAsked = INT64_MIN;
    const Reading readings[] = {
        {"a minute before the change", kChange - kMinute, kHour, kChange - kMinute},
        {"later in that minute", kChange - kMinute + 30'000, kHour, kNotAsked},
        {"its last millisecond", kChange - 1, kHour, kNotAsked},
        {"the change", kChange, 2 * kHour, kChange},
        {"the end of the first new minute", kChange + kMinute - 1, 2 * kHour, kNotAsked},
        {"the clock set back over the change", kChange - 1, kHour, kChange - kMinute},
        {"forwards again", kChange + 5, 2 * kHour, kChange},
        {"a day earlier", kChange - 24 * kHour + 1, kHour, kChange - 24 * kHour},
        {"just before 1970", -1, kHour, -kMinute},
        {"just before 1970 again", -1, kHour, -kMinute},
        {"the start of 1970", 0, kHour, 0},
    };
    UtcOffsetCache cache;
    ChangingZone zone;
    for (const Reading& reading : readings) {
        SCOPED_TRACE(reading.name);
        zone.asked.clear();
        EXPECT_EQ(cache.OffsetMs(reading.utc_ms, [&](std::int64_t at) { return zone(at); }),
                  reading.offset);
        if (reading.asked == kNotAsked) {
            EXPECT_TRUE(zone.asked.empty());
        } else {
            EXPECT_EQ(zone.asked, std::vector<std::int64_t>{reading.asked});
        }
    }
}

// Readers on several threads, each jumping between minutes with different offsets, must never
// get one minute's offset for another: minute and offset are stored and read as one.
TEST(UtcOffsetCache, ConcurrentReadersNeverMixOneMinutesOffsetWithAnother) {
    UtcOffsetCache cache;
    const auto offset_of = [](std::int64_t minute_start) {
        return (minute_start / kMinute % 7 - 3) * 15 * kMinute;
    };
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int id = 0; id < 4; ++id) {
        readers.emplace_back([&, id] {
            for (int i = 0; i < 20000; ++i) {
                const std::int64_t minute = 29'000'000 + (i * (id + 1)) % 5;
                const std::int64_t utc = minute * kMinute + (i % kMinute);
                if (cache.OffsetMs(utc, offset_of) != offset_of(minute * kMinute)) ++wrong;
            }
        });
    }
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace zol::platform
