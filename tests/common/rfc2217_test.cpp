// The Telnet COM-port client against a captured device-server session and hand-written server
// bytes: what reaches the meter line, what is answered, and that no Telnet byte slips into the
// line data however the server's bytes are cut into reads.
#include "common/rfc2217.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kmp/test_hex.h"

namespace zol::tools {
namespace {

using kmp::test::Hex;
using kmp::test::ToHex;
using Stage = Rfc2217Client::Stage;

// What the client sends first, and the line settings for 1200 8N2 with no flow control and DTR
// and RTS on, each as a COM-port subnegotiation (RFC 2217).
constexpr const char* kOpening = "FF FB 00 FF FB 03 FF FB 2C FF FD 00 FF FD 03";
constexpr const char* kSettings1200_8N2 =
    "FF FA 2C 01 00 00 04 B0 FF F0  FF FA 2C 02 08 FF F0  FF FA 2C 03 01 FF F0  "
    "FF FA 2C 04 02 FF F0  FF FA 2C 05 01 FF F0  FF FA 2C 05 08 FF F0  FF FA 2C 05 0B FF F0";

// A session with a Debian device server (ser2net 4.3, telnet(rfc2217) accepter) as captured: its
// greeting, its answers to the opening and to the settings, then a reply from the line holding
// 0xFF (doubled), a CR and a NUL.
constexpr const char* kServerGreeting =
    "FF FB 03 FF FD 03 FF FB 01 FF FE 01 FF FD 00 FF FB 00 FF FD 2C";
constexpr const char* kServerAfterOpening = "FF FD 03 FF FA 2C 6B 00 FF F0";
constexpr const char* kServerAcks =
    "FF FA 2C 65 00 00 04 B0 FF F0 FF FA 2C 66 08 FF F0 FF FA 2C 67 01 FF F0 "
    "FF FA 2C 68 02 FF F0 FF FA 2C 69 01 FF F0";
constexpr const char* kServerLineData = "40 FF FF 0D 00 61 62 63";

struct Decoded {
    std::vector<std::uint8_t> data;
    std::vector<std::uint8_t> answers;
};

Decoded Feed(Rfc2217Client& client, const std::vector<std::uint8_t>& bytes) {
    Decoded out;
    client.Decode(bytes, out.data, out.answers);
    return out;
}

// A client that has sent its opening and been told DO COM-PORT-OPTION and DO BINARY, so its
// settings are out and its data goes binary.
Rfc2217Client AgreedClient(LineFormat line = {}, std::string signature = {}) {
    Rfc2217Client client(line, std::move(signature));
    std::vector<std::uint8_t> opening;
    client.Start(opening);
    Feed(client, Hex("FF FD 2C FF FD 00 FF FB 00"));
    return client;
}

std::string Concat(std::initializer_list<const char*> parts) {
    std::string out;
    for (const char* p : parts) out += std::string(p) + " ";
    return out;
}

TEST(Rfc2217Client, CapturedSessionSetsTheLineAndPassesOnlyLineData) {
    Rfc2217Client client({}, "kmptool");
    std::vector<std::uint8_t> opening;
    client.Start(opening);
    EXPECT_EQ(ToHex(opening), ToHex(Hex(kOpening)));

    // The greeting: the server's ECHO is refused, everything else answers the opening, and its
    // DO COM-PORT-OPTION brings the settings.
    auto step = Feed(client, Hex(kServerGreeting));
    EXPECT_TRUE(step.data.empty());
    EXPECT_EQ(ToHex(step.answers), ToHex(Hex(Concat({"FF FE 01", kSettings1200_8N2}))));
    EXPECT_EQ(client.LineStage(), Stage::kNegotiating);

    step = Feed(client, Hex(kServerAfterOpening));
    EXPECT_TRUE(step.data.empty());
    EXPECT_TRUE(step.answers.empty());
    EXPECT_EQ(client.ModemState(), std::optional<std::uint8_t>(0));

    step = Feed(client, Hex(kServerAcks));
    EXPECT_TRUE(step.data.empty() && step.answers.empty());
    EXPECT_EQ(client.LineStage(), Stage::kLineSet);
    EXPECT_EQ(LineFormatText(client.ServerLine()), "1200 8N2");

    // Binary both ways: the NUL after the CR is the meter's, 0xFF comes undoubled.
    step = Feed(client, Hex(kServerLineData));
    EXPECT_EQ(ToHex(step.data), "40 FF 0D 00 61 62 63");
    EXPECT_TRUE(step.answers.empty());
    std::vector<std::uint8_t> to_server;
    client.EncodeData(Hex("80 3F 01 05 8A 0D FF"), to_server);
    EXPECT_EQ(ToHex(to_server), "80 3F 01 05 8A 0D FF FF");
}

TEST(Rfc2217Client, AnyCutOfTheServerBytesGivesTheSameDataAndAnswers) {
    const auto stream =
        Hex(Concat({kServerGreeting, kServerAfterOpening, kServerAcks,
                    "FF FA 2C 64 73 32 6E FF F0 FF F1 41 FF FF FF FF 42", kServerLineData}));
    const auto run = [&](const std::vector<std::size_t>& cuts) {
        Rfc2217Client client({}, "kmptool");
        std::vector<std::uint8_t> ignored;
        client.Start(ignored);
        Decoded total;
        std::size_t from = 0;
        for (std::size_t cut : cuts) {
            const std::vector<std::uint8_t> piece(stream.begin() + static_cast<long>(from),
                                                  stream.begin() + static_cast<long>(cut));
            const auto d = Feed(client, piece);
            total.data.insert(total.data.end(), d.data.begin(), d.data.end());
            total.answers.insert(total.answers.end(), d.answers.begin(), d.answers.end());
            from = cut;
        }
        EXPECT_EQ(client.LineStage(), Stage::kLineSet);
        EXPECT_EQ(client.ServerSignature(), "s2n");
        return ToHex(total.data) + " | " + ToHex(total.answers);
    };
    const std::string whole = run({stream.size()});
    EXPECT_EQ(whole, "41 FF FF 42 40 FF 0D 00 61 62 63 | " +
                         ToHex(Hex(Concat({"FF FE 01", kSettings1200_8N2}))));
    std::vector<std::size_t> bytewise;
    for (std::size_t i = 1; i <= stream.size(); ++i) bytewise.push_back(i);
    EXPECT_EQ(run(bytewise), whole);
    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
        SCOPED_TRACE(cut);
        EXPECT_EQ(run({cut, stream.size()}), whole);
    }
}

TEST(Rfc2217Client, AnswersTheServersNegotiationWithoutLooping) {
    const struct {
        const char* name;
        const char* server;
        std::string answers;
        const char* data;
        Stage stage;
    } cases[] = {
        {"an option asked of the client that it does not do", "FF FD 18", "FF FC 18", "",
         Stage::kNegotiating},
        {"an option the server offers that the client does not want", "FF FB 01 FF FB 05",
         "FF FE 01 FF FE 05", "", Stage::kNegotiating},
        {"agreement to the client's own requests is not answered", "FF FD 00 FF FB 00 FF FD 03", "",
         "", Stage::kNegotiating},
        {"the same agreement twice is answered never", "FF FB 03 FF FB 03 FF FD 00 FF FD 00", "",
         "", Stage::kNegotiating},
        {"binary withdrawn after it was agreed is acknowledged", "FF FB 00 FF FC 00 FF FC 00",
         "FF FE 00", "", Stage::kNegotiating},
        {"go-ahead suppression refused from this side", "FF FD 03 FF FE 03", "FF FC 03", "",
         Stage::kNegotiating},
        {"refusals of what was never on say nothing", "FF FC 05 FF FE 18", "", "",
         Stage::kNegotiating},
        {"the COM-port option refused", "FF FE 2C", "", "", Stage::kRefused},
        {"a refusal after the line is set changes nothing",
         "FF FD 2C FF FA 2C 65 00 00 04 B0 FF F0 FF FA 2C 66 08 FF F0 FF FA 2C 67 01 FF F0 "
         "FF FA 2C 68 02 FF F0 FF FE 2C",
         Concat({kSettings1200_8N2, "FF FC 2C"}), "", Stage::kLineSet},
        {"plain commands between data are dropped", "41 FF F1 42 FF F2 FF F3 FF F4 FF F9 FF F0 43",
         "", "41 42 43", Stage::kNegotiating},
        {"an undefined command code is dropped with its IAC", "41 FF 07 42", "", "41 42",
         Stage::kNegotiating},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rfc2217Client client({});
        std::vector<std::uint8_t> opening;
        client.Start(opening);
        const auto d = Feed(client, Hex(c.server));
        EXPECT_EQ(ToHex(d.answers), ToHex(Hex(c.answers)));
        EXPECT_EQ(ToHex(d.data), ToHex(Hex(c.data)));
        EXPECT_EQ(client.LineStage(), c.stage);
    }
}

TEST(Rfc2217Client, ReadsTheServersSubnegotiations) {
    std::string overlong = "FF FA 2C 64";
    for (int i = 0; i < 300; ++i) overlong += " 41";
    overlong += " FF F0 42";
    const struct {
        const char* name;
        std::string server;
        const char* answers;
        const char* data;
        Stage stage;
        const char* line;  // the settings the server reported
    } cases[] = {
        {"other settings than asked for",
         "FF FA 2C 65 00 00 25 80 FF F0 FF FA 2C 66 08 FF F0 FF FA 2C 67 01 FF F0 "
         "FF FA 2C 68 01 FF F0",
         "", "", Stage::kOtherLine, "9600 8N1"},
        {"settings still missing", "FF FA 2C 65 00 00 04 B0 FF F0 FF FA 2C 66 08 FF F0", "", "",
         Stage::kNegotiating, "1200 8??"},
        {"a doubled IAC inside a value", "FF FA 2C 65 00 00 FF FF FF FF FF F0", "", "",
         Stage::kNegotiating, "65535 0??"},
        {"a baud rate of the wrong length is not read", "FF FA 2C 65 04 B0 FF F0", "", "",
         Stage::kNegotiating, "0 0??"},
        {"a one-byte setting of the wrong length is not read", "FF FA 2C 66 08 08 FF F0", "", "",
         Stage::kNegotiating, "0 0??"},
        {"the server asks for the client's signature", "FF FA 2C 64 FF F0",
         "FF FA 2C 00 6B 6D 70 74 6F 6F 6C FF F0", "", Stage::kNegotiating, "0 0??"},
        {"another option's subnegotiation is dropped", "FF FA 18 01 FF F0 41", "", "41",
         Stage::kNegotiating, "0 0??"},
        {"an overlong subnegotiation is skipped to its end", overlong, "", "42",
         Stage::kNegotiating, "0 0??"},
        {"a subnegotiation cut short by a command", "FF FA 2C 6A 60 FF FB 01 62", "FF FE 01", "62",
         Stage::kNegotiating, "0 0??"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rfc2217Client client = AgreedClient({}, "kmptool");
        const auto d = Feed(client, Hex(c.server));
        EXPECT_EQ(ToHex(d.answers), ToHex(Hex(c.answers)));
        EXPECT_EQ(ToHex(d.data), ToHex(Hex(c.data)));
        EXPECT_EQ(client.LineStage(), c.stage);
        EXPECT_EQ(LineFormatText(client.ServerLine()), c.line);
    }
    Rfc2217Client client = AgreedClient();
    Feed(client, Hex("FF FA 2C 6A 60 FF F0 FF FA 2C 6B B0 FF F0 FF FA 2C 64 73 65 72 FF F0"));
    EXPECT_EQ(client.LineState(), std::optional<std::uint8_t>(0x60));
    EXPECT_EQ(client.ModemState(), std::optional<std::uint8_t>(0xB0));
    EXPECT_EQ(client.ServerSignature(), "ser");
}

TEST(Rfc2217Client, AStrayIacAtTheEndOfAReadIsFinishedByTheNext) {
    const struct {
        const char* name;
        const char* first;
        const char* second;
        const char* data;
        const char* answers;
    } cases[] = {
        {"a doubled 0xFF", "41 FF", "FF 42", "41 FF 42", ""},
        {"a negotiation", "41 FF", "FB 01 42", "41 42", "FF FE 01"},
        {"a negotiation without its option", "41 FF FB", "01 42", "41 42", "FF FE 01"},
        {"the SE of a subnegotiation", "FF FA 2C 6A 60 FF", "F0 42", "42", ""},
        {"a doubled 0xFF inside a subnegotiation", "FF FA 2C 6A FF", "FF FF F0 43", "43", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rfc2217Client client = AgreedClient();
        auto d = Feed(client, Hex(c.first));
        const auto second = Feed(client, Hex(c.second));
        d.data.insert(d.data.end(), second.data.begin(), second.data.end());
        d.answers.insert(d.answers.end(), second.answers.begin(), second.answers.end());
        EXPECT_EQ(ToHex(d.data), ToHex(Hex(c.data)));
        EXPECT_EQ(ToHex(d.answers), ToHex(Hex(c.answers)));
    }
}

TEST(Rfc2217Client, TextModeCarriesCarriageReturnsAsCrNul) {
    // The server refuses binary both ways: Telnet's text mode sends a bare CR as CR NUL.
    Rfc2217Client client({});
    std::vector<std::uint8_t> opening;
    client.Start(opening);
    auto d = Feed(client, Hex("FF FE 00 FF FC 00 FF FD 2C"));
    std::vector<std::uint8_t> to_server;
    client.EncodeData(Hex("40 0D FF 0D"), to_server);
    EXPECT_EQ(ToHex(to_server), "40 0D 00 FF FF 0D 00");
    // Received: the NUL after a CR is dropped, also when the CR ended the previous read; CR LF
    // and a NUL elsewhere are line data.
    d = Feed(client, Hex("0D 00 41 0D 0A 00 0D"));
    const auto next = Feed(client, Hex("00 42"));
    EXPECT_EQ(ToHex(d.data) + " " + ToHex(next.data), "0D 41 0D 0A 00 0D 42");
}

TEST(Rfc2217Client, LineSettingsGoOutWithTheirValuesEscaped) {
    const struct {
        LineFormat line;
        const char* settings;  // up to SET-CONTROL, which is always the same
        const char* text;
    } cases[] = {
        {{9600, 7, Parity::kEven, StopBits::kOne},
         "FF FA 2C 01 00 00 25 80 FF F0 FF FA 2C 02 07 FF F0 FF FA 2C 03 03 FF F0 "
         "FF FA 2C 04 01 FF F0",
         "9600 7E1"},
        {{0xFFFF, 8, Parity::kNone, StopBits::kOneAndHalf},
         "FF FA 2C 01 00 00 FF FF FF FF FF F0 FF FA 2C 02 08 FF F0 FF FA 2C 03 01 FF F0 "
         "FF FA 2C 04 03 FF F0",
         "65535 8N1.5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(LineFormatText(c.line), c.text);
        Rfc2217Client client(c.line);
        std::vector<std::uint8_t> opening;
        client.Start(opening);
        const auto d = Feed(client, Hex("FF FD 2C"));
        const auto expected = Hex(c.settings);
        ASSERT_GE(d.answers.size(), expected.size());
        EXPECT_EQ(ToHex(std::vector(d.answers.begin(),
                                    d.answers.begin() + static_cast<long>(expected.size()))),
                  ToHex(expected));
    }
}

}  // namespace
}  // namespace zol::tools
