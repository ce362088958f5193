#include "common/wire_time.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "kmp/kmp_frame.h"
#include "metersim/meter_simulator.h"

namespace zol::tools {
namespace {

TEST(WireTime, LineFramingTextsAndCharacterTimes) {
    struct Case {
        const char* text;
        bool valid;
        LineFraming line;
        double character_ms;  // bits per character over the speed, by hand
    };
    const Case cases[] = {
        {"1200 8N2", true, {1200, 8, 'N', 2}, 11 / 1.2},
        {"8N2", true, {1200, 8, 'N', 2}, 11 / 1.2},
        {"9600", true, {9600, 8, 'N', 2}, 11 / 9.6},
        {"9600 8n1", true, {9600, 8, 'N', 1}, 10 / 9.6},
        {"2400 7E1", true, {2400, 7, 'E', 1}, 10 / 2.4},
        {"300 8O2", true, {300, 8, 'O', 2}, 12 / 0.3},
        {"1200 8X2", false, {}, 0},
        {"1200 9N2", false, {}, 0},
        {"1200 8N3", false, {}, 0},
        {"1200  8N2", false, {}, 0},
        {"12OO", false, {}, 0},
        {"20", false, {}, 0},
        {"", false, {}, 0},
    };
    for (const auto& c : cases) {
        const auto parsed = ParseLineFraming(c.text);
        ASSERT_EQ(parsed.has_value(), c.valid) << c.text;
        if (!c.valid) continue;
        EXPECT_EQ(*parsed, c.line) << c.text;
        EXPECT_NEAR(CharacterMs(*parsed), c.character_ms, 1e-9) << c.text;
        EXPECT_EQ(ParseLineFraming(LineFramingText(*parsed)), parsed) << c.text;
    }
}

// Frames written out by hand (checksums computed apart from the plug-in), and the replies
// counted from their layout: start and stop bytes, address and command, per register the id,
// unit, length, exponent and four value bytes, checksum; escapes counted where the byte is known,
// one per 32 unknown bytes (rounded up) where it is not.
TEST(WireTime, ExchangesAgainstHandBuiltFrames) {
    const std::uint16_t heat[] = {60, 64, 68, 128, 86, 87, 1003, 1002};
    const std::uint16_t none[] = {0};
    struct Case {
        const char* what;
        std::uint8_t address;
        int kind;  // 0 type, 1 serial, 2 register read of `heat`
        std::vector<std::uint8_t> request;
        std::size_t reply_bytes;
    };
    const Case cases[] = {
        // 2 + address, command + 6 unknown + 1 escape allowed.
        {"type 3F", 0x3F, 0, {0x80, 0x3F, 0x01, 0x05, 0x8A, 0x0D}, 11},
        {"serial 3F", 0x3F, 1, {0x80, 0x3F, 0x02, 0x35, 0xE9, 0x0D}, 11},
        // The checksum's low byte goes out escaped.
        {"type 4C", 0x4C, 0, {0x80, 0x4C, 0x01, 0x58, 0x1B, 0x7F, 0x0D}, 11},
        // The address itself is escaped both ways.
        {"type 40", 0x40, 0, {0x80, 0x1B, 0xBF, 0x01, 0x1D, 0xED, 0x0D}, 12},
        // Register ids 0x0040 and 0x0080 are escaped both ways: 2 + 2 + 8 × 3 + 2 escapes,
        // 8 × 6 + 2 = 50 unknown, 2 escapes allowed.
        {"eight heat registers 3F",
         0x3F,
         2,
         {0x80, 0x3F, 0x10, 0x08, 0x00, 0x3C, 0x00, 0x1B, 0xBF, 0x00, 0x44, 0x00, 0x1B,
          0x7F, 0x00, 0x56, 0x00, 0x57, 0x03, 0xEB, 0x03, 0xEA, 0xEB, 0xCF, 0x0D},
         82},
        {"eight heat registers 0D",
         0x0D,
         2,
         {0x80, 0x1B, 0xF2, 0x10, 0x08, 0x00, 0x3C, 0x00, 0x1B, 0xBF, 0x00, 0x44, 0x00,
          0x1B, 0x7F, 0x00, 0x56, 0x00, 0x57, 0x03, 0xEB, 0x03, 0xEA, 0x17, 0x37, 0x0D},
         83},
    };
    const LineFraming line;  // 1200 8N2
    const double character = 11 / 1.2;
    for (const auto& c : cases) {
        const ExchangeWireTime time = c.kind == 0   ? TypeRequestWireTime(line, c.address)
                                      : c.kind == 1 ? SerialRequestWireTime(line, c.address)
                                                    : RegisterReadWireTime(line, c.address, heat);
        EXPECT_EQ(time.request_bytes, c.request.size()) << c.what;
        EXPECT_EQ(time.reply_bytes, c.reply_bytes) << c.what;
        const auto request = static_cast<double>(c.request.size());
        const auto reply = static_cast<double>(c.reply_bytes);
        EXPECT_NEAR(time.request_ms, request * character, 1e-9) << c.what;
        EXPECT_NEAR(time.reply_ms, reply * character, 1e-9) << c.what;
        EXPECT_NEAR(time.total_ms, (request + reply) * character + 50, 1e-9) << c.what;
    }
    // The eight-register read at 1200 8N2: 107 bytes and the latency, just over a second.
    EXPECT_NEAR(RegisterReadWireTime(line, 0x3F, heat).total_ms, 1030.833, 1e-3);
    // A ninth register is not requested, so it costs nothing.
    std::vector<std::uint16_t> nine(std::begin(heat), std::end(heat));
    nine.push_back(1);
    EXPECT_EQ(RegisterReadWireTime(line, 0x3F, nine).request_bytes, 25u);
    EXPECT_EQ(RegisterReadWireTime(line, 0x3F, nine).reply_bytes, 82u);
    // A meter not yet identified adds the type and serial exchanges, each with its latency.
    const auto first = RequestCycleWireTime(line, 0x3F, none, false, 20);
    const auto later = RequestCycleWireTime(line, 0x3F, none, true, 20);
    EXPECT_EQ(first.request_bytes - later.request_bytes, 12u);
    EXPECT_EQ(first.reply_bytes - later.reply_bytes, 22u);
    EXPECT_NEAR(first.latency_ms, 60, 1e-9);
    EXPECT_NEAR(first.total_ms - later.total_ms, 34 * character + 40, 1e-9);
}

// The computed time against the simulated heat meter talking at 1200 8N2 with 50 ms latency:
// from the first request byte written to the last reply byte arrived. Within 5% where the values
// are four bytes long; shorter values make the computed time high, never low.
TEST(WireTime, MatchesAMeterTalkingAtLineSpeed) {
    const struct {
        std::vector<std::uint16_t> ids;
        double low, high;  // computed / measured
    } reads[] = {
        {{60, 64, 68, 128, 86, 87, 1003, 1002}, 0.95, 1.05},  // escaped ids
        {{60}, 0.95, 1.05},
        {{91, 92, 99, 60, 94, 68, 69, 72}, 1.0, 1.12},  // one- and two-byte values among them
    };
    const LineFraming line;
    auto measure = [](std::vector<std::uint8_t> body) {
        metersim::MeterSimulator sim;
        auto meter = metersim::DemoMeters().front();
        meter.wire.baud = 1200;
        meter.wire.latency_ms = 50;
        sim.AddMeter(meter);
        sim.Receive(kmp::KmpStuff(body), 0);
        std::uint64_t last = 0;
        while (const auto due = sim.NextDue()) {
            last = *due;
            sim.TakeDelivery(*due);
        }
        return static_cast<double>(last);
    };
    const std::uint8_t address = metersim::kDemoHeatAddress;
    for (const auto& read : reads) {
        const double measured = measure(kmp::BuildRegisterRequest(address, read.ids));
        const double computed = RegisterReadWireTime(line, address, read.ids).total_ms;
        EXPECT_GE(computed, measured * read.low) << read.ids.size() << " from " << read.ids[0];
        EXPECT_LE(computed, measured * read.high) << read.ids.size() << " from " << read.ids[0];
    }
    const double type = measure(kmp::BuildIdentificationRequest(address, kmp::CidGetType));
    EXPECT_NEAR(type, TypeRequestWireTime(line, address).total_ms, type * 0.05);
    const double serial = measure(kmp::BuildIdentificationRequest(address, kmp::CidGetSerialNo));
    EXPECT_NEAR(serial, SerialRequestWireTime(line, address).total_ms, serial * 0.05);
}

}  // namespace
}  // namespace zol::tools
