#include "hostsim/soak_rates.h"

#include <gtest/gtest.h>

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
    LineRates line({kFrom, kTo, 400, 50, 100, 3});
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

}  // namespace
}  // namespace zol::hostsim
