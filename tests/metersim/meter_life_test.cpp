// Living meters on a fake clock: counters that follow their power and flow, temperatures that
// stay in their band, clocks that tell the start plus the time gone by, and answers that depend
// on nothing but the seed, the address and the clock readings passed in.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <optional>
#include <type_traits>
#include <variant>
#include <vector>

#include "kmp/kmp_frame.h"
#include "kmp/kmp_registers.h"
#include "metersim/meter_line.h"
#include "metersim/meter_simulator.h"

namespace zol::metersim {
namespace {

constexpr std::uint64_t kMinute = 60'000, kHour = 60 * kMinute, kDay = 24 * kHour;

MeterSimulator Demo(std::uint32_t seed = 1) {
    MeterSimulator sim;
    SimTimeBase base;
    base.origin_ms = 5000;  // the caller's clock need not start at 0
    base.seed = seed;
    sim.SetTimeBase(base);
    for (auto& m : DemoMeters()) sim.AddMeter(std::move(m));
    return sim;
}

// The registers a meter answers at clock reading `now`, by id: value in its unit and mantissa.
struct Reading {
    double value = 0;
    std::uint64_t mantissa = 0;
    std::size_t length = 0;
};
std::map<std::uint16_t, Reading> Read(MeterSimulator& sim, std::uint8_t address,
                                      const std::vector<std::uint16_t>& ids, std::uint64_t now) {
    sim.Receive(kmp::KmpStuff(kmp::BuildRegisterRequest(address, ids)), now);
    std::vector<std::uint8_t> wire;
    while (auto bytes = sim.TakeDelivery(now))
        wire.insert(wire.end(), bytes->begin(), bytes->end());
    std::map<std::uint16_t, Reading> out;
    if (wire.size() < 2) return out;
    std::vector<std::uint8_t> body;
    kmp::KmpUnstuff(std::span(wire).subspan(1, wire.size() - 2), body);
    EXPECT_TRUE(kmp::KmpBodyVerified(body));
    std::span<const std::uint8_t> data = std::span(body).subspan(2, body.size() - 4);
    while (const auto block = kmp::ReadRegisterBlock(data)) {
        const double number = std::visit(
            [](const auto& v) {
                if constexpr (std::is_arithmetic_v<std::decay_t<decltype(v)>>) {
                    return static_cast<double>(v);
                } else {
                    return std::nan("");
                }
            },
            kmp::DecodeRegisterValue(block->value, block->sign_exponent));
        out[block->id] = {number, kmp::RawMantissa(block->value), block->value.size()};
    }
    return out;
}

// A counter grows by what its rate register says, read once a minute and summed up: the counter
// follows the power or flow it shows, whatever the meter's swing, size or table values.
TEST(MeterLife, CountersGrowAtTheRateTheirMeterShows) {
    SimMeter small_heat = DemoMeters()[0];
    small_heat.address = 70;
    for (auto& r : small_heat.registers) {
        if (r.id == 80) r = SimRegister::Make(80, r.unit, r.sign_exponent, 100);  // 10.0 kW
        if (r.id == 60) r = SimRegister::Make(60, r.unit, r.sign_exponent, 0);    // from 0 kWh
    }
    const struct {
        const char* what;
        std::uint8_t address;
        std::uint16_t counter, rate;
        double rate_to_counter;  // counter units per rate unit and hour
        std::uint64_t hours;
    } cases[] = {
        {"heat energy kWh from kW, 1 h", 63, 60, 80, 1, 1},
        {"heat energy kWh from kW, 26 h", 63, 60, 80, 1, 26},
        {"heat energy GJ from kW, 12 h", 63, 94, 80, 0.0036, 12},
        {"heat volume m3 from l/h, 12 h", 63, 68, 74, 0.001, 12},
        {"10 kW heat meter, 24 h", 70, 60, 80, 1, 24},
        {"electricity kWh from total kW, 1 h", 64, 1, 1023, 1, 1},
        {"electricity kWh from total kW, 30 h", 64, 1, 1023, 1, 30},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto sim = Demo();
        sim.AddMeter(small_heat);
        const std::uint64_t from = 3 * kDay;  // not at the start
        const auto first = Read(sim, c.address, {c.counter, c.rate}, from);
        ASSERT_EQ(first.size(), 2u);
        double expected = 0;
        double previous_rate = first.at(c.rate).value;
        double lowest = previous_rate, highest = previous_rate;
        Reading last;
        for (std::uint64_t m = 1; m <= c.hours * 60; ++m) {
            const auto now = Read(sim, c.address, {c.counter, c.rate}, from + m * kMinute);
            const double rate = now.at(c.rate).value;
            expected += (previous_rate + rate) / 2 / 60 * c.rate_to_counter;
            previous_rate = rate;
            lowest = std::min(lowest, rate);
            highest = std::max(highest, rate);
            last = now.at(c.counter);
        }
        const double counted = last.value - first.at(c.counter).value;
        const double step =
            last.value / static_cast<double>(std::max<std::uint64_t>(last.mantissa, 1));
        EXPECT_GT(counted, 0);
        EXPECT_NEAR(counted, expected, expected * 0.01 + 2 * step);
        EXPECT_GT(highest, lowest);  // the rate moves, the counter still follows it
        if (c.address == 70) {
            EXPECT_NEAR(counted, 10.0 * 24, 10.0 * 24 * 0.5);
        }
    }
}

// Over a day, read every ten minutes, the temperatures stay within 2 K of the table's value,
// move by more than half a kelvin, and never jump (at most 0.5 K in ten minutes).
TEST(MeterLife, TemperaturesMoveSlowlyWithinTheirBand) {
    const std::map<std::uint16_t, double> table{{86, 70.12}, {87, 41.88}, {89, 28.24}};
    for (std::uint32_t seed : {1u, 2u, 977u}) {
        SCOPED_TRACE(seed);
        auto sim = Demo(seed);
        std::map<std::uint16_t, std::vector<double>> seen;
        for (std::uint64_t t = 0; t <= kDay; t += 10 * kMinute) {
            for (const auto& [id, r] : Read(sim, kDemoHeatAddress, {86, 87, 89}, 5000 + t)) {
                seen[id].push_back(r.value);
            }
        }
        ASSERT_EQ(seen.size(), 3u);
        for (const auto& [id, values] : seen) {
            SCOPED_TRACE(id);
            const auto [low, high] = std::minmax_element(values.begin(), values.end());
            EXPECT_GE(*low, table.at(id) - 2.0);
            EXPECT_LE(*high, table.at(id) + 2.0);
            EXPECT_GT(*high - *low, 0.5);
            for (std::size_t i = 1; i < values.size(); ++i) {
                EXPECT_LT(std::abs(values[i] - values[i - 1]), 0.5) << "at reading " << i;
            }
        }
        // Voltages move a little about 230 V.
        for (const auto& [id, r] : Read(sim, kDemoElectricityAddress, {1054, 1055, 1056}, kDay)) {
            EXPECT_NEAR(r.value, 230, 4) << id;
        }
    }
}

// The clock and date registers tell the start plus the whole seconds gone by plus the meter's
// offset, across midnight, a month's and a year's end; the expected date comes from the
// standard calendar.
TEST(MeterLife, ClockAndDateTellStartPlusElapsedPlusOffset) {
    using namespace std::chrono;
    const sys_seconds start =
        sys_days{year{2026} / December / 7} + hours{14} + minutes{30} + seconds{15};
    // Two heat meters (the electricity catalogue has no clock), each with its own offset.
    for (std::uint8_t address : {kDemoHeatAddress, std::uint8_t{65}}) {
        const std::int32_t offset = ClockOffsetSeconds(1, address);
        EXPECT_GE(offset, -90);
        EXPECT_LE(offset, 90);
        for (std::uint64_t elapsed : {std::uint64_t{0}, std::uint64_t{999}, std::uint64_t{59'999},
                                      9 * kHour + 29 * kMinute + 44'000, 10 * kHour,
                                      24 * kDay + 10 * kHour, 400 * kDay + 1234}) {
            SCOPED_TRACE(elapsed);
            auto sim = Demo();
            sim.AddMeter(SimulatedMeterAt(65));
            const auto regs = Read(sim, address, {1002, 1003}, 5000 + elapsed);
            ASSERT_EQ(regs.size(), 2u);
            const sys_seconds at = start + seconds{elapsed / 1000} + seconds{offset};
            const auto day = floor<days>(at);
            const year_month_day date{day};
            const hh_mm_ss time{at - day};
            EXPECT_EQ(
                regs.at(1002).mantissa,
                static_cast<std::uint64_t>(time.hours().count() * 10000 +
                                           time.minutes().count() * 100 + time.seconds().count()));
            EXPECT_EQ(regs.at(1003).mantissa,
                      static_cast<std::uint64_t>(
                          (static_cast<int>(date.year()) % 100) * 10000 +
                          static_cast<int>(static_cast<unsigned>(date.month())) * 100 +
                          static_cast<int>(static_cast<unsigned>(date.day()))));
        }
    }
    EXPECT_NE(ClockOffsetSeconds(1, kDemoHeatAddress), ClockOffsetSeconds(1, 65));
    // A clock reading before the origin reads as the start.
    auto sim = Demo();
    EXPECT_EQ(Read(sim, kDemoHeatAddress, {1002}, 0).at(1002).mantissa,
              Read(sim, kDemoHeatAddress, {1002}, 5000).at(1002).mantissa);
}

// The whole conversation of two simulators with the same seed is byte for byte the same; another
// seed or another address answers differently; a value read twice in one millisecond is the same.
TEST(MeterLife, AnswersDependOnlyOnSeedAddressAndClock) {
    const std::vector<std::uint16_t> heat{60, 94, 68, 80, 74, 86, 1002, 1004};  // eight at most
    const std::vector<std::uint16_t> electricity{1, 1023, 1054, 1076, 1080};
    auto wire = [&](std::uint32_t seed) {
        auto sim = Demo(seed);
        std::vector<std::uint8_t> all;
        for (std::uint64_t now = 0; now < 2 * kDay; now += 37 * kMinute + 123) {
            sim.Receive(kmp::KmpStuff(kmp::BuildRegisterRequest(kDemoHeatAddress, heat)), now);
            sim.Receive(
                kmp::KmpStuff(kmp::BuildRegisterRequest(kDemoElectricityAddress, electricity)),
                now);
            while (auto bytes = sim.TakeDelivery(now))
                all.insert(all.end(), bytes->begin(), bytes->end());
        }
        return all;
    };
    const auto one = wire(7);
    EXPECT_FALSE(one.empty());
    EXPECT_EQ(one, wire(7));
    EXPECT_NE(one, wire(8));

    auto sim = Demo();
    SimMeter twin = DemoMeters()[0];
    twin.address = 65;
    sim.AddMeter(twin);
    const std::uint64_t at = 5 * kHour + 17;
    const auto a = Read(sim, kDemoHeatAddress, heat, at);
    const auto b = Read(sim, kDemoHeatAddress, heat, at);
    const auto other = Read(sim, 65, heat, at);
    for (const auto id : heat) {
        EXPECT_EQ(a.at(id).mantissa, b.at(id).mantissa) << id;
    }
    EXPECT_NE(a.at(80).mantissa, other.at(80).mantissa);
}

// Counters never go backwards: not over a month of irregular readings, not when the caller's
// clock steps back, and not past their byte length, where they stop instead of wrapping.
TEST(MeterLife, CountersNeverGoBackwardsNorOverflow) {
    SimMeter full = DemoMeters()[0];
    full.address = 71;
    for (auto& r : full.registers) {
        if (r.id == 60) r = SimRegister::Make(60, r.unit, r.sign_exponent, 0xFFFFFFF0u);
        if (r.id == 1004) r = SimRegister::Make(1004, r.unit, r.sign_exponent, 0xFFF0, 2);
    }
    auto sim = Demo();
    sim.AddMeter(full);
    const struct {
        std::uint8_t address;
        std::vector<std::uint16_t> counters;
    } meters[] = {{kDemoHeatAddress, {60, 94, 68, 69, 72, 1004}},
                  {kDemoElectricityAddress, {1}},
                  {71, {60, 1004}}};
    std::map<std::pair<std::uint8_t, std::uint16_t>, std::uint64_t> last;
    std::uint64_t now = 0;
    for (int i = 0; i < 400; ++i) {
        // Mostly forwards by up to a few hours, now and then a step back.
        now = i % 17 == 5 ? now - std::min<std::uint64_t>(now, 90 * kMinute)
                          : now + (static_cast<std::uint64_t>(i) * 7919 % 211) * kMinute + 3;
        for (const auto& m : meters) {
            for (const auto& [id, r] : Read(sim, m.address, m.counters, now)) {
                auto& before = last[{m.address, id}];
                EXPECT_GE(r.mantissa, before) << int(m.address) << "/" << id << " at " << now;
                EXPECT_LT(r.mantissa, std::uint64_t{1} << (8 * r.length));
                before = r.mantissa;
            }
        }
    }
    EXPECT_EQ((last[{71, 60}]), 0xFFFFFFFFu);
    EXPECT_EQ((last[{71, 1004}]), 0xFFFFu);
    EXPECT_GT((last[{kDemoHeatAddress, 60}]), 315904u + 10000u);
}

// A line's "pace=N" makes a meter count and move N times faster while its clock keeps the
// simulator's time; bad paces are refused with the line.
TEST(MeterLife, PacedMetersCountFasterButKeepTime) {
    std::string error;
    const auto line = ParseMeterLine("63/pace=60,65/corrupt=4/pace=60,66", error);
    ASSERT_TRUE(line) << error;
    ASSERT_EQ(line->size(), 3u);
    EXPECT_EQ((*line)[1].faults.corrupt_every, 4u);
    for (const char* bad : {"63/pace=0", "63/pace=", "63/pace=x", "63/pace=100001", "63/pace=2x"}) {
        EXPECT_FALSE(ParseMeterLine(bad, error)) << bad;
    }
    MeterSimulator sim;
    for (const auto& m : *line) sim.AddMeter(m);
    const std::vector<std::uint16_t> ids{60, 1002};
    // Paced 60 times, a minute counts what an hour does unpaced; the clock tells a minute.
    MeterSimulator plain;
    SimMeter unpaced = (*line)[0];
    unpaced.pace = 1;
    plain.AddMeter(unpaced);
    const auto fast = Read(sim, 63, ids, kMinute);
    const auto clock = Read(plain, 63, {1002}, kMinute).at(1002).mantissa;
    EXPECT_EQ(fast.at(1002).mantissa, clock);
    EXPECT_EQ(fast.at(60).mantissa, Read(plain, 63, {60}, kHour).at(60).mantissa);
}

}  // namespace
}  // namespace zol::metersim
