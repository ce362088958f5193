#include "hostsim/soak_rates.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>

#include "kmp/kmp_frame.h"

namespace zol::hostsim {
namespace {

constexpr std::uint8_t kGood = 21, kOther = 22, kBad = 25;
constexpr std::uint64_t kFrom = 2000, kTo = 20000;

// A reading: a register request answered and delivered 50 ms later.
std::uint64_t Read(LineRates& line, std::uint64_t t, std::uint8_t meter) {
    line.Add({t, meter, kmp::CidGetRegister, t + 50, true, true});
    return t + 55;
}

// One attempt at a meter that identifies itself but whose register reply never counts: type
// and serial answered, the register request waited on for its 300 ms timeout.
std::uint64_t FailedAttempt(LineRates& line, std::uint64_t t, std::uint8_t meter) {
    line.Add({t, meter, kmp::CidGetType, t + 40, true, false});
    line.Add({t + 45, meter, kmp::CidGetSerialNo, t + 85, true, false});
    line.Add({t + 90, meter, kmp::CidGetRegister, t + 390, false, false});
    return t + 400;
}

struct Outcome {
    double ratio = 0;  // readings of kGood over what the line allowed it
    std::uint32_t most_attempts = 0;
    std::uint32_t most_requests = 0;
};

Outcome Play(const std::function<void(LineRates&)>& play) {
    LineRates line({kFrom, kTo, 400, 50, 100, 3, 300});
    line.Judge(kGood);
    line.Watch(kBad);
    play(line);
    line.Finish();
    Outcome out;
    for (const auto& rate : line.Rates()) {
        if (rate.address == kGood && rate.allowed > 0)
            out.ratio = static_cast<double>(rate.readings) / rate.allowed;
    }
    for (const auto& attempts : line.Attempts()) {
        out.most_attempts = attempts.most_attempts;
        out.most_requests = attempts.most_requests;
    }
    return out;
}

// Whole timelines of one line, and how the good meter's rate and the bad meter's attempts per
// trigger come out: the check must tell a neighbour's bounded retries (the line's due) from a
// neighbour that never lets go (the starvation the check is for).
TEST(SoakRates, TellsANeighboursRetriesFromStarvation) {
    const struct {
        const char* name;
        std::function<void(LineRates&)> play;
        double low, high;  // the good meter's ratio lies in [low, high)
        std::uint32_t most_attempts, most_requests;
    } cases[] = {
        {"read every 425 ms on a quiet line",
         [](LineRates& line) {
             for (std::uint64_t t = 1000; t < kTo; t += 425) Read(line, t, kGood);
         },
         1.0, 1.1, 0, 0},
        {"read every 600 ms on a quiet line: polled too slowly",
         [](LineRates& line) {
             for (std::uint64_t t = 1000; t < kTo; t += 600) Read(line, t, kGood);
         },
         0.7, 0.8, 0, 0},
        {"a bad neighbour's three attempts per trigger, then the good meters",
         [](LineRates& line) {
             for (std::uint64_t t = 1000; t < kTo;) {
                 for (int attempt = 0; attempt < 3; ++attempt) t = FailedAttempt(line, t, kBad);
                 t = Read(line, t, kGood);
                 t = Read(line, t, kOther);
             }
         },
         0.9, 100, 3, 9},
        // Round by round, each of four neighbours read once (200 ms each) before the good meter
        // comes again: its waits are the line's due.
        {"a full line served in turn",
         [](LineRates& line) {
             for (std::uint64_t t = 1000; t < kTo; t += 1000) {
                 line.Add({t, kGood, kmp::CidGetRegister, t + 190, true, true});
                 std::uint64_t at = t;
                 for (const std::uint8_t neighbour :
                      {kOther, std::uint8_t{23}, std::uint8_t{24}, std::uint8_t{26}}) {
                     at += 200;
                     line.Add({at, neighbour, kmp::CidGetRegister, at + 190, true, true});
                 }
             }
         },
         1.0, 1.2, 0, 0},
        // A neighbour read every 400 ms while the good meter, due as well, waits 1.3 s: only
        // its first turn after the good meter fell due was its own.
        {"a neighbour served again and again while the good meter waits",
         [](LineRates& line) {
             for (std::uint64_t t = 1000; t < kTo; t += 1320) {
                 Read(line, t, kGood);
                 for (std::uint64_t at = t + 60; at < t + 1300; at += 400) Read(line, at, kOther);
             }
         },
         0.3, 0.5, 0, 0},
        {"a bad neighbour retried for ever after the good meter's first reading",
         [](LineRates& line) {
             std::uint64_t t = Read(line, 2100, kGood);
             while (t < kTo) t = FailedAttempt(line, t, kBad);
         },
         0, 0.1, 45, 135},
        {"a neighbour whose serial number reads 0 identified for ever",
         [](LineRates& line) {
             std::uint64_t t = Read(line, 2100, kGood);
             for (; t < kTo; t += 20) {
                 line.Add({t, kBad, kmp::CidGetType, t + 8, true, false});
                 line.Add({t + 10, kBad, kmp::CidGetSerialNo, t + 18, true, false});
             }
         },
         0, 0.1, 893, 1786},
        // Restarts (a reload, a port opened again) begin a fresh count of attempts.
        {"two attempts, a restart, two attempts",
         [](LineRates& line) {
             std::uint64_t t = FailedAttempt(line, 3000, kBad);
             t = FailedAttempt(line, t, kBad);
             line.Restart(t - 5, false);
             t = FailedAttempt(line, t, kBad);
             t = FailedAttempt(line, t, kBad);
             for (t += 400; t < kTo; t += 425) Read(line, t, kGood);
         },
         0.9, 1.1, 2, 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome out = Play(c.play);
        EXPECT_GE(out.ratio, c.low);
        EXPECT_LT(out.ratio, c.high);
        EXPECT_EQ(out.most_attempts, c.most_attempts);
        EXPECT_EQ(out.most_requests, c.most_requests);
    }
}

// Time the meter could not be read does not count against it: a port closed for 6 s, a reload
// that left the line idle for 3 s, a silent spell of the meter (its own attempts then fail);
// left unexplained, the same gaps pull its rate under 90%.
TEST(SoakRates, BlockedTimeIsLeftOutOfWhatTheLineAllows) {
    for (const bool explained : {true, false}) {
        SCOPED_TRACE(explained ? "explained" : "unexplained");
        const Outcome out = Play([&](LineRates& line) {
            if (explained) {
                line.Block(std::nullopt, 4000);
                line.EndBlock(std::nullopt, 4000, 10000);
                line.Restart(12000, true);
                line.Block(kGood, 16000, 19000);
            }
            for (std::uint64_t t = 1000; t < kTo; t += 425) {
                if (t >= 4000 && t < 10000) continue;
                if (t >= 12000 && t < 15000) continue;
                if (t >= 16000 && t < 19000) {
                    line.Add({t, kGood, kmp::CidGetType, t + 300, false, false});
                    continue;
                }
                Read(line, t, kGood);
            }
        });
        if (explained) {
            EXPECT_GE(out.ratio, 0.95);
        } else {
            EXPECT_LT(out.ratio, 0.6);
        }
    }
}

// A neighbour read by a poll and a cron request may go twice while the good meter waits (once
// for each request, and again each time its cron request fired meanwhile); a neighbour read by
// one request may not.
TEST(SoakRates, ANeighbourReadByTwoRequestsMayGoTwiceAhead) {
    for (const std::uint32_t requests : {2u, 1u}) {
        SCOPED_TRACE(requests);
        LineRates line({kFrom, kTo, 400, 50, 100, 3, 300});
        line.Judge(kGood);
        line.Requests(kOther, requests, requests > 1 ? 3000 : 0);
        // The good meter falls due 400 ms after each reading; after that the neighbour's two
        // failing triggers (900 ms each) come first.
        for (std::uint64_t t = 1000; t < kTo;) {
            t = Read(line, t, kGood) + 350;
            for (int trigger = 0; trigger < 2; ++trigger) {
                for (int attempt = 0; attempt < 3; ++attempt) {
                    line.Add({t, kOther, kmp::CidGetRegister, t + 300, false, false});
                    t += 300;
                }
                line.Add({t, static_cast<std::uint8_t>(24 + trigger), kmp::CidGetRegister, t + 50,
                          true, true});
                t += 60;
            }
        }
        line.Finish();
        const auto rate = line.Rates().front();
        const double ratio = static_cast<double>(rate.readings) / rate.allowed;
        if (requests > 1) {
            EXPECT_GE(ratio, 0.9);
        } else {
            EXPECT_LT(ratio, 0.7);
        }
    }
}

// The soak's memory verdict on commit-charge series as the run samples them (every 5 s, in whole
// pages, from a base near 48 MiB): the fitted slope after warm-up against the limit for the span
// measured. A two-hour run must catch a leak of a few KiB an hour, and a short run must neither
// fail on one heap step nor let a gross leak through.
TEST(SoakMemory, TheSlopeVerdictFitsTheRunLength) {
    constexpr double kPage = 4, kBase = 48576;
    const auto pages = [](double kib) { return kPage * std::floor(kib / kPage); };
    const struct {
        const char* name;
        std::uint32_t seconds;
        std::function<double(double)> memory;  // KiB at a second of the run
        bool leak;
    } cases[] = {
        {"two hours flat, a page taken and given back now and then", 7200,
         [](double t) { return kBase + (static_cast<int>(t / 5) % 97 == 0 ? kPage : 0); }, false},
        {"two hours, 1 KiB/h", 7200, [&](double t) { return pages(kBase + t / 3600); }, false},
        {"two hours, 4 KiB/h", 7200, [&](double t) { return pages(kBase + 4 * t / 3600); }, true},
        {"two hours, the hour soak's 56 KiB/h", 7200,
         [&](double t) { return pages(kBase + 56 * t / 3600); }, true},
        {"ten minutes, one 64 KiB heap step in the middle", 600,
         [](double t) { return kBase + (t > 360 ? 64 : 0); }, false},
        {"ten minutes, the ten-minute soak's 45 KiB/h", 600,
         [&](double t) { return pages(kBase + 45 * t / 3600); }, false},
        {"ten minutes, 40 bytes for each of 14 packets a second", 600,
         [&](double t) { return pages(kBase + 14 * 40 * t / 1024); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const double warm_up = std::clamp(c.seconds / 5.0, 30.0, 300.0);
        TrendFit fit;
        std::vector<double> times, values;
        for (double t = 0; t <= c.seconds; t += 5) {
            if (t < warm_up) continue;
            fit.Add(t / 3600, c.memory(t));
            times.push_back(t / 3600);
            values.push_back(c.memory(t));
        }
        ASSERT_GT(fit.Count(), 2u);
        EXPECT_EQ(fit.Slope() > MemorySlopeLimit(fit.Span()), c.leak)
            << fit.Slope() << " KiB/h over " << fit.Span() << " h, limit "
            << MemorySlopeLimit(fit.Span());
        // The fit kept no samples, yet agrees with the one over the whole list: large values
        // and small slopes lose nothing to cancellation.
        double mean_t = 0, mean_v = 0;
        for (std::size_t i = 0; i < times.size(); ++i) {
            mean_t += times[i] / static_cast<double>(times.size());
            mean_v += values[i] / static_cast<double>(times.size());
        }
        double num = 0, den = 0;
        for (std::size_t i = 0; i < times.size(); ++i) {
            num += (times[i] - mean_t) * (values[i] - mean_v);
            den += (times[i] - mean_t) * (times[i] - mean_t);
        }
        EXPECT_NEAR(fit.Slope(), num / den, 1e-6);
    }
    EXPECT_EQ(TrendFit{}.Slope(), 0);
}

}  // namespace
}  // namespace zol::hostsim
