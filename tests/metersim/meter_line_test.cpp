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

// baud= and latency= as items of the line (every meter that does not give its own) or of one
// meter (after its /); a speed alone brings the usual latency; bad values name what is allowed.
TEST(MeterLine, SpeedAndLatencyItemsPaceTheLineOrOneMeter) {
    const struct {
        const char* text;
        std::uint32_t baud[2];
        std::uint32_t latency[2];
    } good[] = {
        {"21,22", {0, 0}, {0, 0}},
        {"21,22,baud=1200", {1200, 1200}, {50, 50}},
        {"baud=9600,latency=5,21,22", {9600, 9600}, {5, 5}},
        {"21/baud=2400,22,baud=1200,latency=0", {2400, 1200}, {0, 0}},
        {"21/latency=80,22,baud=1200", {1200, 1200}, {80, 50}},
        {"21/corrupt/baud=300/latency=60000,22", {300, 0}, {60000, 0}},
        {"21,22/latency=20", {0, 0}, {0, 20}},
    };
    for (const auto& c : good) {
        SCOPED_TRACE(c.text);
        std::string error;
        const auto line = ParseMeterLine(c.text, error);
        ASSERT_TRUE(line) << error;
        ASSERT_EQ(line->size(), 2u);
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_EQ((*line)[i].wire.baud, c.baud[i]) << i;
            EXPECT_EQ((*line)[i].wire.latency_ms, c.latency[i]) << i;
            EXPECT_EQ((*line)[i].wire.data_bits, 8);
            EXPECT_EQ((*line)[i].wire.stop_bits, 2);
        }
    }
    const struct {
        const char* text;
        const char* error;
    } bad[] = {
        {"21,baud=1234", "bad speed 'baud=1234' (300, 600, 1200, 2400, 4800, 9600, 19200, 38400, "
                         "57600 or 115200)"},
        {"21,baud=", "bad speed 'baud='"},
        {"21/baud=12OO", "bad speed 'baud=12OO'"},
        {"21,latency=60001", "bad latency 'latency=60001' (0 to 60000 ms)"},
        {"21/latency=-5", "bad latency 'latency=-5'"},
        {"21,baud=1200,baud=9600", "baud given twice"},
        {"21/latency=1/latency=2", "latency given twice"},
        {"baud=1200", "no simulated meter given"},
        {"21,bauds=1200", "bad meter address 'bauds=1200'"},
    };
    for (const auto& c : bad) {
        std::string error;
        EXPECT_FALSE(ParseMeterLine(c.text, error)) << c.text;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.text << ": " << error;
    }
}

}  // namespace
}  // namespace zol::metersim
