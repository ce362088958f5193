// Lines drawn from a seed: distinct addresses and serial numbers, the mix asked for, the same
// line for the same seed, and a text form that reads back as the same meters.
#include "metersim/meter_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

namespace zol::metersim {
namespace {

TEST(MeterLine, DrawnLinesAreDistinctRepeatableAndReadBackFromTheirText) {
    const struct {
        MeterMix mix;
        std::uint32_t seed;
    } cases[] = {{{8, 4, 1}, 7}, {{8, 4, 1}, 8}, {{0, 3, 0}, 1}, {{254, 0, 0}, 99}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seed);
        const auto meters = DrawMeterLine(c.mix, c.seed);
        ASSERT_EQ(meters.size(), c.mix.Total());
        std::set<std::uint8_t> addresses;
        std::set<std::uint32_t> serials;
        std::size_t electricity = 0, other = 0;
        for (const auto& m : meters) {
            EXPECT_GE(m.address, 1);
            EXPECT_LE(m.address, 254);
            EXPECT_GE(m.serial, 10000000u);
            EXPECT_LE(m.serial, 99999999u);
            addresses.insert(m.address);
            serials.insert(m.serial);
            electricity += m.life == SimLife::kElectricity ? 1 : 0;
            other += m.type == kOtherMeterType ? 1 : 0;
        }
        EXPECT_EQ(addresses.size(), meters.size());
        EXPECT_EQ(serials.size(), meters.size());
        EXPECT_EQ(electricity, c.mix.electricity);
        EXPECT_EQ(other, c.mix.other);
        EXPECT_TRUE(std::is_sorted(meters.begin(), meters.end(), [](const auto& a, const auto& b) {
            return a.address < b.address;
        }));

        const auto again = DrawMeterLine(c.mix, c.seed);
        const std::string text = MeterLineText(meters);
        EXPECT_EQ(MeterLineText(again), text);
        std::string error;
        const auto read = ParseMeterLine(text, error);
        ASSERT_TRUE(read) << error << ": " << text;
        ASSERT_EQ(read->size(), meters.size());
        for (std::size_t i = 0; i < meters.size(); ++i) {
            EXPECT_EQ((*read)[i].address, meters[i].address);
            EXPECT_EQ((*read)[i].type, meters[i].type);
            EXPECT_EQ((*read)[i].serial, meters[i].serial);
            EXPECT_EQ((*read)[i].life, meters[i].life);
            EXPECT_EQ((*read)[i].registers.size(), meters[i].registers.size());
        }
    }
    EXPECT_NE(MeterLineText(DrawMeterLine({8, 4, 1}, 7)),
              MeterLineText(DrawMeterLine({8, 4, 1}, 8)));
}

TEST(MeterLine, MixesAndMeterOptionsThatDoNotReadAreRefused) {
    std::string error;
    const auto mix = ParseMeterMix("electricity:4,heat:8", error);
    ASSERT_TRUE(mix) << error;
    EXPECT_EQ(mix->heat, 8u);
    EXPECT_EQ(mix->electricity, 4u);
    for (const char* bad : {"", "heat", "heat:", "heat:x", "gas:2", "heat:1,heat:2", "heat:0",
                            "heat:200,electricity:55"}) {
        EXPECT_FALSE(ParseMeterMix(bad, error)) << bad;
    }
    const auto line = ParseMeterLine("64/heat/type=7f01,63/electricity/serial=12/corrupt=2", error);
    ASSERT_TRUE(line) << error;
    EXPECT_EQ((*line)[0].life, SimLife::kHeat);
    EXPECT_EQ((*line)[0].type, 0x7F01);
    EXPECT_EQ((*line)[1].life, SimLife::kElectricity);
    EXPECT_EQ((*line)[1].serial, 12u);
    EXPECT_EQ((*line)[1].faults.corrupt_every, 2u);
    for (const char* bad : {"63/type=12", "63/type=GGGG", "63/serial=", "63/serial=x", "63/",
                            "63/loud", "63/type=12345"}) {
        EXPECT_FALSE(ParseMeterLine(bad, error)) << bad;
    }
}

// baud= and latency= for the whole line or one meter (its own wins); a speed alone brings the
// usual latency; a bad value is named with what is allowed.
TEST(MeterLine, SpeedAndLatencyItemsPaceTheLineOrOneMeter) {
    const struct {
        const char* text;
        std::uint32_t baud[2], latency[2];
        const char* error;  // what the error starts with; "" when the text reads
    } cases[] = {
        {"21,22", {0, 0}, {0, 0}, ""},
        {"21,22,baud=1200", {1200, 1200}, {50, 50}, ""},
        {"21/baud=2400,22,baud=1200,latency=0", {2400, 1200}, {0, 0}, ""},
        {"21/latency=80,22,baud=1200", {1200, 1200}, {80, 50}, ""},
        {"21,baud=1234", {}, {}, "bad speed 'baud=1234' (300, 600, 1200, 2400, 4800, 9600, "},
        {"21/latency=60001", {}, {}, "bad latency 'latency=60001' (0 to 60000 ms)"},
        {"21,baud=1200,baud=9600", {}, {}, "baud given twice"},
        {"baud=1200", {}, {}, "no simulated meter given"},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto line = ParseMeterLine(c.text, error);
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.text << ": " << error;
        for (std::size_t i = 0; line && i < 2; ++i) {
            EXPECT_EQ((*line)[i].wire.baud, c.baud[i]) << c.text << " " << i;
            EXPECT_EQ((*line)[i].wire.latency_ms, c.latency[i]) << c.text << " " << i;
        }
        EXPECT_EQ(line.has_value(), *c.error == '\0') << c.text;
    }
}

}  // namespace
}  // namespace zol::metersim
