#include "hostsim/meter_verdict.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "kmp/kmp_frame.h"

namespace zol::hostsim {
namespace {

std::vector<std::uint8_t> TypeRequest(std::uint8_t address) {
    return kmp::KmpStuff(kmp::BuildIdentificationRequest(address, kmp::CidGetType));
}

std::vector<std::string> Lines(const MeterLedger& ledger) {
    std::vector<std::string> lines;
    for (const auto& tally : ledger.Tallies()) lines.push_back(VerdictLine(tally));
    return lines;
}

TEST(MeterVerdict, ReadsTheMeterOfEveryKindOfLogLine) {
    const struct {
        const char* line;
        int address;  // -1: none
    } cases[] = {
        {"[70/Silent] . Silent. Request timeout", 70},
        {"Module. [063/Heat] . Heat. Request timeout", 63},  // as configured, after a prefix
        {"[$3F/Hex] . Hex. Request timeout", 63},
        {"[321/Wide] . Wide. Request timeout", 65},  // the plug-in sends the low byte
        {"Invalid CRC (ECD2,ECD1) [65,10]", 65},
        {"Module. Ung\xFCltige Pr\xFC"
         "fsumme (BE71,BE70) [7,01]\r\n",
         7},
        {"[x/y] ... Invalid CRC (ECD2,ECD1) [9,10]", 9},
        {"Invalid CRC (ECD2,ECD1) [300,10]", -1},
        {"Invalid CRC (ECD2,ECD1) [,10]", -1},
        {"Settings read: 3 requests", -1},
        {"[", -1},
        {"]", -1},
        {"", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto address = LoggedAddress(c.line);
        EXPECT_EQ(address ? *address : -1, c.address);
    }
}

TEST(MeterVerdict, DecodesTheAddressOfEveryRequestFrameWritten) {
    // Register request to 63 and a type request to 64, whose address goes out escaped (1B BF).
    std::vector<std::uint8_t> written = {0x80, 0x3F, 0x10, 0x01, 0x00, 0x3C, 0xB2, 0x5F,
                                         0x0D, 0x80, 0x1B, 0xBF, 0x01, 0x1D, 0xED, 0x0D};
    EXPECT_EQ(RequestAddresses(written), (std::vector<std::uint8_t>{63, 64}));
    // Noise, a frame too short to be one, and a frame without its stop byte count for nothing.
    EXPECT_TRUE(RequestAddresses(std::vector<std::uint8_t>{0x06, 0x80, 0x3F, 0x0D}).empty());
    EXPECT_TRUE(RequestAddresses(std::vector<std::uint8_t>{0x80, 0x3F, 0x01, 0x05, 0x8A}).empty());
    EXPECT_TRUE(RequestAddresses({}).empty());
}

TEST(MeterVerdict, ActiveMetersAreTheAddressesOfEnabledRequestsAsThePluginReadsThem) {
    const char* text =
        "<QUERY>"
        "<Request caption=\"Heat\"><Enabled check=\"2\"/><Device>065;063;x;63</Device>"
        "<Timeout>1500</Timeout><Response><I><Register>003C</Register></I></Response></Request>"
        "<Request caption=\"Clock\"><Enabled check=\"2\"/><Device>63</Device>"
        "<Timeout>800</Timeout><Response><I><Register>03EA</Register></I></Response></Request>"
        "<Request caption=\"Off\"><Enabled check=\"0\"/><Device>70;63</Device><Timeout>10</Timeout>"
        "<Response><I><Register>003C</Register></I></Response></Request>"
        "<Request caption=\"Typo\"><Enabled check=\"2\"/><Devise>80</Devise>"
        "<Response><I><Register>003C</Register></I></Response></Request>"
        "<Passive><Device>67</Device><Response><I><Register>003C</Register></I></Response>"
        "</Passive></QUERY>";
    // The misspelt <Devise> leaves the plug-in's default address 1, which it then polls with its
    // default timeout; an address of two requests waits as long as the shorter one says.
    EXPECT_EQ(ActiveAddresses(text), (std::vector<std::uint8_t>{1, 63, 65}));
    EXPECT_EQ(ReplyTimeouts(text),
              (std::map<std::uint8_t, std::uint32_t>{{1, 300}, {63, 800}, {65, 1500}}));
    EXPECT_TRUE(ActiveAddresses("not an options text").empty());
}

// One line, as the run sees it: 63 answers (one reply damaged on the way), 70 never does, 65 is
// configured but no request for it ever goes out.
TEST(MeterVerdict, ALineWithAGoodASilentAndANeverAskedMeter) {
    MeterLedger ledger({"P1"}, {63, 65, 70}, true);
    for (std::uint64_t round = 0; round < 3; ++round) {
        const std::uint64_t t = round * 1000;
        ledger.Written(0, TypeRequest(63), t);
        if (round == 1) ledger.Logged("Invalid CRC (ECD2,ECD1) [63,01]", t + 50);
        ledger.Delivered(0, 63, "67012345", "2026-12-07T10:14:4" + std::to_string(round) + ".250",
                         false);
        ledger.Written(0, TypeRequest(70), t + 100);
        ledger.Logged("[70/Heat] . Heat. Request timeout", t + 410);
    }
    EXPECT_EQ(Lines(ledger), (std::vector<std::string>{
                                 "meter P1/63 serial 67012345: 3 packets, last 10:14:42, "
                                 "1 checksum error",
                                 "meter P1/65: never asked",
                                 "meter P1/70: no answer to 3 requests",
                             }));
    EXPECT_EQ(ledger.Configured(), 3u);
    EXPECT_EQ(ledger.Heard(), 1u);
    const auto tallies = ledger.Tallies();
    EXPECT_EQ(StateOf(tallies[0]), MeterState::kFaults);
    EXPECT_EQ(StateOf(tallies[1]), MeterState::kNeverAsked);
    EXPECT_EQ(StateOf(tallies[2]), MeterState::kNoAnswer);
    EXPECT_EQ(tallies[2].timeouts, 3u);
}

// Two lines poll the same addresses and the log does not say which port a fault came from; its
// line reaches the host only after the plug-in has sent the next try. A timeout belongs to the
// request sent a reply timeout before it, a damaged reply to the oldest request still waiting.
TEST(MeterVerdict, FaultsGoToThePortWhoseRequestTheyConcern) {
    MeterLedger ledger({"NORTH", "SOUTH"}, {63, 70}, true, {}, {{63, 300}, {70, 300}});
    // 70 is silent on both: three tries each, NORTH 100 ms ahead, every retry sent at once.
    ledger.Written(0, TypeRequest(70), 0);
    ledger.Written(1, TypeRequest(70), 100);
    ledger.Written(0, TypeRequest(70), 301);
    ledger.Logged("[70/Heat] . Heat. Request timeout", 305);  // NORTH's first
    ledger.Written(1, TypeRequest(70), 401);
    ledger.Logged("[70/Heat] . Heat. Request timeout", 405);  // SOUTH's first
    ledger.Written(0, TypeRequest(70), 602);
    ledger.Logged("[70/Heat] . Heat. Request timeout", 606);
    ledger.Written(1, TypeRequest(70), 702);
    ledger.Logged("[70/Heat] . Heat. Request timeout", 706);
    ledger.Logged("[70/Heat] . Heat. Request timeout", 950);  // NORTH's last, late
    ledger.Logged("[70/Heat] . Heat. Request timeout", 1010);
    // 63 answers SOUTH; NORTH's first reply arrives damaged and its try times out.
    ledger.Written(0, TypeRequest(63), 2000);
    ledger.Written(1, TypeRequest(63), 2100);
    ledger.Logged("Invalid CRC (ECD2,ECD1) [63,01]", 2150);
    ledger.Delivered(1, 63, "2", "2026-12-07T10:00:02.200", false);
    ledger.Logged("[63/Heat] . Heat. Request timeout", 2310);
    ledger.Written(0, TypeRequest(63), 2311);
    ledger.Delivered(0, 63, "1", "2026-12-07T10:00:02.400", false);
    // A line that matches no open request: the port last written to for the address.
    ledger.Logged("[63/Heat] . Heat. Request timeout", 5000);
    EXPECT_EQ(Lines(ledger), (std::vector<std::string>{
                                 "meter NORTH/63 serial 1: 1 packet, last 10:00:02, 2 timeouts, "
                                 "1 checksum error",
                                 "meter NORTH/70: no answer to 3 requests",
                                 "meter SOUTH/63 serial 2: 1 packet, last 10:00:02",
                                 "meter SOUTH/70: no answer to 3 requests",
                             }));
    const auto tallies = ledger.Tallies();
    EXPECT_EQ(tallies[1].timeouts, 3u);
    EXPECT_EQ(tallies[3].timeouts, 3u);
}

// A report rebuilt from saved files knows no writes: a fault goes to the only port the meter was
// heard on, else stays without a port; a meter with nothing at all is only "no packet".
TEST(MeterVerdict, WithoutWritesFaultsGoWhereTheMeterWasHeardOrNowhere) {
    MeterLedger ledger({"A", "B"}, {63, 65, 70, 71}, false);
    ledger.Delivered(0, 63, "", "2026-12-07T10:00:00.000", true);
    ledger.Delivered(1, 63, "9", "2026-12-07T10:00:01.000", false);
    ledger.Delivered(0, 65, "8", "2026-12-07T10:00:02.000", false);
    ledger.Logged("[65/Heat] . Heat. Request timeout");
    ledger.Logged("[63/Heat] . Heat. Request timeout");
    ledger.Logged("[70/Heat] . Heat. Request timeout");
    ledger.Logged("Request timeout without a meter");
    EXPECT_EQ(Lines(ledger), (std::vector<std::string>{
                                 "meter A/63: 1 packet, last 10:00:00, 1 empty packet",
                                 "meter A/65 serial 8: 1 packet, last 10:00:02, 1 timeout",
                                 "meter A/70: no packet",
                                 "meter A/71: no packet",
                                 "meter B/63 serial 9: 1 packet, last 10:00:01",
                                 "meter B/65: no packet",
                                 "meter B/70: no packet",
                                 "meter B/71: no packet",
                                 "meter ?/63: no answer, 1 timeout",
                                 "meter ?/70: no answer, 1 timeout",
                             }));
}

TEST(MeterVerdict, ProgressSaysHowFarTheRunIsAndWhatItHeard) {
    EXPECT_EQ(ProgressLine(10'020, 60'000, 14, 2, 3),
              "0:10 elapsed, 0:50 left, 14 packets, meters heard 2 of 3");
    EXPECT_EQ(ProgressLine(3'723'000, 3'724'500, 1, 0, 1),
              "1:02:03 elapsed, 0:02 left, 1 packet, meters heard 0 of 1");
    EXPECT_EQ(ProgressLine(90'000, 60'000, 0, 0, 0),
              "1:30 elapsed, 0:00 left, 0 packets, meters heard 0 of 0");
}

}  // namespace
}  // namespace zol::hostsim
