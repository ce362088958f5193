#include "kmp/kmp_frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kmp/test_hex.h"

namespace zol::kmp {
namespace {

using common::TFIFOStream;
using test::Hex;
using test::ToHex;

TEST(FrameCodec, RequestFramesMatchTheWorkedExamples) {
    const std::vector<std::uint16_t> e1{0x003C};
    const struct {
        const char* name;
        std::vector<std::uint8_t> body;
        const char* frame;
    } cases[] = {
        {"register E1 at 0x3F", BuildRegisterRequest(0x3F, e1), "80 3F 10 01 00 3C B2 5F 0D"},
        {"type at 0x3F", BuildIdentificationRequest(0x3F, CidGetType), "80 3F 01 05 8A 0D"},
        {"serial at 0x3F", BuildIdentificationRequest(0x3F, CidGetSerialNo), "80 3F 02 35 E9 0D"},
        {"escaped checksum low byte", BuildIdentificationRequest(0x4C, CidGetType),
         "80 4C 01 58 1B 7F 0D"},
        {"escaped address", BuildIdentificationRequest(0x40, CidGetType), "80 1B BF 01 1D ED 0D"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ToHex(KmpStuff(c.body)), c.frame);
    }
}

TEST(FrameCodec, RegisterRequestCarriesAtMostEightIds) {
    const std::vector<std::uint16_t> ids{1, 2, 3, 4, 5, 6, 7, 8, 0x0440};
    const auto body = BuildRegisterRequest(0x01, ids);
    ASSERT_EQ(body.size(), 3u + 16u + 2u);
    EXPECT_EQ(body[2], 8u);
    EXPECT_EQ(body[17], 0x00);
    EXPECT_EQ(body[18], 0x08);
    EXPECT_TRUE(KmpBodyVerified(body));
}

TEST(FrameCodec, StuffingEscapesExactlyTheReservedBytesAndUnstuffRestoresEveryByte) {
    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    const auto frame = KmpStuff(all, KmpRespStart);
    EXPECT_EQ(frame.size(), 256u + 5u + 2u);  // five reserved values gain an escape byte
    EXPECT_EQ(frame.front(), KmpRespStart);
    EXPECT_EQ(frame.back(), KmpStop);
    const std::vector<std::uint8_t> inner(frame.begin() + 1, frame.end() - 1);
    for (std::uint8_t b : inner) {
        EXPECT_NE(b, KmpStop);
        EXPECT_NE(b, KmpRespStart);
        EXPECT_NE(b, KmpReqStart);
        EXPECT_NE(b, KmpAck);
    }
    std::vector<std::uint8_t> body;
    KmpUnstuff(inner, body);
    EXPECT_EQ(body, all);

    const auto reserved = KmpStuff(Hex("80 40 0D 06 1B"));
    EXPECT_EQ(ToHex(reserved), "80 1B 7F 1B BF 1B F2 1B F9 1B E4 0D");
}

TEST(FrameCodec, UnstuffDropsATrailingEscapeByte) {
    std::vector<std::uint8_t> body;
    KmpUnstuff(Hex("3F 1B BF 1B"), body);
    EXPECT_EQ(ToHex(body), "3F 40");
}

TEST(FrameCodec, InvalidCrcLineFollowsTheLogFormat) {
    EXPECT_EQ(InvalidCrcMessage(0x12AB, 0x34CD, 63, 0x10), "Invalid CRC (12AB,34CD) [63,10]");
    EXPECT_EQ(InvalidCrcMessage(0x0001, 0x000A, 0, 0x02), "Invalid CRC (0001,000A) [0,02]");
    // The message as a language file gives it, including a translator's slips.
    const struct {
        const char* format;
        const char* line;
    } translated[] = {
        {"Ungültige Prüfsumme (%.4x,%.4x)", "Ungültige Prüfsumme (12AB,34CD) [63,10]"},
        {"CRC %1:.4x != %0:.4x", "CRC 34CD != 12AB [63,10]"},
        {"CRC (%.4x,%.4x,%s) %n", "CRC (12AB,34CD,%s) %n [63,10]"},
    };
    for (const auto& t : translated) {
        EXPECT_EQ(InvalidCrcMessage(0x12AB, 0x34CD, 63, 0x10, t.format), t.line);
    }
}

// Runs the scan the way a client with every frame accepted does: each accepted frame is
// reported and then removed by the caller; CRC errors are reported in stream order.
std::vector<std::string> ScanAll(TFIFOStream& fifo) {
    std::vector<std::string> events;
    std::vector<std::uint8_t> body;
    const FrameAcceptor accept_all = [](std::span<const std::uint8_t>) { return true; };
    const ScanLogger log = [&](int level, std::string_view text) {
        EXPECT_EQ(level, 1);
        events.push_back("CRCERR " + std::string(text));
    };
    for (int n; (n = FindFrame(fifo, accept_all, log, body)) > 0;) {
        events.push_back("FRAME " + ToHex(body));
        fifo.Discard(static_cast<std::size_t>(n));
    }
    return events;
}

std::string Rest(TFIFOStream& fifo) {
    const auto data = fifo.LockData();
    std::vector<std::uint8_t> copy(data.begin(), data.end());
    fifo.Unlock();
    return ToHex(copy);
}

TEST(FrameScan, FindsChecksAndReportsFramesInAStream) {
    const struct {
        const char* name;
        const char* stream;
        std::vector<std::string> events;
        const char* rest;
    } cases[] = {
        {"five bytes, even a short complete frame, are left alone",
         "40 01 02 03 0D",
         {},
         "40 01 02 03 0D"},
        {"noise and stray acknowledges before a frame",
         "00 06 55 06 40 3F 01 05 8A 0D",
         {"FRAME 3F 01 05 8A"},
         ""},
        {"escaped checksum byte", "40 4C 01 58 1B 7F 0D", {"FRAME 4C 01 58 80"}, ""},
        {"escaped address", "40 1B BF 01 1D ED 0D", {"FRAME 40 01 1D ED"}, ""},
        {"type response", "40 3F 01 02 10 00 05 BE 70 0D", {"FRAME 3F 01 02 10 00 05 BE 70"}, ""},
        {"two frames",
         "40 3F 01 05 8A 0D 40 3F 02 35 E9 0D",
         {"FRAME 3F 01 05 8A", "FRAME 3F 02 35 E9"},
         ""},
        {"bad checksum, then the unexamined tail stays",
         "40 3F 10 01 00 3C B2 5E 0D",
         {"CRCERR Invalid CRC (B25E,B25F) [63,10]"},
         "00 3C B2 5E 0D"},
        {"bad checksum does not hide the next frame",
         "40 3F 10 01 00 3C B2 5E 0D 40 3F 01 05 8A 0D",
         {"CRCERR Invalid CRC (B25E,B25F) [63,10]", "FRAME 3F 01 05 8A"},
         ""},
        // A start byte is escaped inside a body: one before the frame's own is noise.
        {"stray start byte before a frame", "40 55 40 3F 01 05 8A 0D", {"FRAME 3F 01 05 8A"}, ""},
        {"a run of start bytes before a bad frame gives one checksum error",
         "40 40 40 40 3F 10 01 00 3C B2 5E 0D",
         {"CRCERR Invalid CRC (B25E,B25F) [63,10]"},
         "00 3C B2 5E 0D"},
        {"a body too short for address, CID and checksum is noise",
         "40 00 00 0D 40 3F 01 05 8A 0D",
         {"FRAME 3F 01 05 8A"},
         ""},
        {"trailing escape before the stop byte is dropped",
         "40 3F 01 05 8A 1B 0D",
         {"FRAME 3F 01 05 8A"},
         ""},
        {"incomplete frame is kept", "06 06 40 3F 10 01 00 3C B2", {}, "40 3F 10 01 00 3C B2"},
        {"frame then a partial one",
         "40 3F 01 05 8A 0D 40 3F 02 35 E9",
         {"FRAME 3F 01 05 8A"},
         "40 3F 02 35 E9"},
        {"only noise: the last five bytes are never examined",
         "01 02 03 04 05 06 07 08",
         {},
         "04 05 06 07 08"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TFIFOStream fifo(TFIFOStream::kClientCapacity, TFIFOStream::kClientStep, true);
        fifo.Write(Hex(c.stream));
        EXPECT_EQ(ScanAll(fifo), c.events);
        EXPECT_EQ(Rest(fifo), c.rest);
    }
}

TEST(FrameScan, RemovesOnlyWhatItPassedOverAndReturnsTheAcceptedFrameSize) {
    // A verified frame for another meter, then the awaited one, then the start of a third.
    TFIFOStream fifo(256, 64, true);
    fifo.Write(Hex("06 40 4C 01 58 1B 7F 0D 40 3F 01 05 8A 0D 40 3F 02"));
    std::vector<std::uint8_t> body;
    const FrameAcceptor only_3f = [](std::span<const std::uint8_t> b) { return b[0] == 0x3F; };
    const int n = FindFrame(fifo, only_3f, {}, body);
    ASSERT_EQ(n, 6);
    EXPECT_EQ(ToHex(body), "3F 01 05 8A");
    EXPECT_EQ(Rest(fifo), "40 3F 01 05 8A 0D 40 3F 02");  // the accepted frame is at the front
    fifo.Discard(static_cast<std::size_t>(n));
    EXPECT_EQ(Rest(fifo), "40 3F 02");
}

TEST(FrameScan, FrameAfterTheAcceptedOneIsLeftForTheNextScan) {
    TFIFOStream fifo(256, 64, true);
    fifo.Write(Hex("40 3F 01 05 8A 0D 40 3F 02 35 E9 0D"));
    std::vector<std::uint8_t> body;
    int offered = 0;
    const FrameAcceptor first = [&](std::span<const std::uint8_t>) { return ++offered == 1; };
    EXPECT_EQ(FindFrame(fifo, first, {}, body), 6);
    EXPECT_EQ(offered, 1);
    EXPECT_EQ(fifo.Count(), 12u);
}

TEST(FrameScan, RejectedFramesAreConsumedWithoutMessage) {
    TFIFOStream fifo(256, 64, true);
    fifo.Write(Hex("40 3F 01 05 8A 0D 40 3F 02 35 E9 0D"));
    std::vector<std::uint8_t> body;
    int logged = 0;
    const FrameAcceptor none = [](std::span<const std::uint8_t>) { return false; };
    EXPECT_EQ(FindFrame(
                  fifo, none, [&](int, std::string_view) { ++logged; }, body),
              -1);
    EXPECT_EQ(logged, 0);
    EXPECT_EQ(fifo.Count(), 0u);
    EXPECT_TRUE(body.empty());
}

TEST(FrameScan, ResponseDeliveredByteByByteIsFoundOnceItsStopByteArrives) {
    const auto stream =
        Hex("06 55 40 3F 10 00 3C 02 04 00 00 04 D2 00 44 28 04 42 00 01 E2 1B BF 9F F1 0D 06");
    const std::size_t stop_index = stream.size() - 2;
    TFIFOStream fifo(TFIFOStream::kClientCapacity, TFIFOStream::kClientStep, true);
    std::vector<std::uint8_t> body;
    int logged = 0;
    const FrameAcceptor all = [](std::span<const std::uint8_t>) { return true; };
    const ScanLogger log = [&](int, std::string_view) { ++logged; };
    for (std::size_t i = 0; i < stream.size(); ++i) {
        fifo.Write(std::span(stream).subspan(i, 1));
        const int n = FindFrame(fifo, all, log, body);
        if (i != stop_index) {
            EXPECT_EQ(n, -1) << "after byte " << i;
            continue;
        }
        ASSERT_EQ(n, 24);
        EXPECT_EQ(ToHex(body), "3F 10 00 3C 02 04 00 00 04 D2 00 44 28 04 42 00 01 E2 40 9F F1");
        fifo.Discard(static_cast<std::size_t>(n));
    }
    EXPECT_EQ(logged, 0);
    EXPECT_EQ(Rest(fifo), "06");
}

}  // namespace
}  // namespace zol::kmp
