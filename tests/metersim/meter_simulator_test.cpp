#include "metersim/meter_simulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <variant>

#include "kmp/kmp_frame.h"
#include "kmp/kmp_registers.h"
#include "kmp/kmp_value.h"
#include "kmp/test_hex.h"
#include "zolShared/Public/Common/byte_order.h"
#include "zolShared/Public/Common/fifo_stream.h"

namespace zol::metersim {
namespace {

using kmp::test::Hex;
using kmp::test::ToHex;

// The master side of one conversation: sends a request, collects the deliveries due at `now`
// into a receive queue and scans it for the reply, the way a client does.
class Master {
   public:
    explicit Master(MeterSimulator& sim) : sim_(sim) {}

    std::optional<std::vector<std::uint8_t>> Ask(const std::vector<std::uint8_t>& request,
                                                 std::uint64_t wait_ms = 0) {
        sim_.Receive(kmp::KmpStuff(request), now_);
        now_ += wait_ms;
        const kmp::FrameAcceptor answers = [&](std::span<const std::uint8_t> b) {
            return b[0] == request[0] && b[1] == request[1];
        };
        const kmp::ScanLogger log = [&](int, std::string_view text) { errors.emplace_back(text); };
        while (auto bytes = sim_.TakeDelivery(now_)) {
            ++deliveries;
            fifo_.Write(*bytes);
            std::vector<std::uint8_t> body;
            const int n = kmp::FindFrame(fifo_, answers, log, body);
            if (n > 0) {
                fifo_.Discard(static_cast<std::size_t>(n));
                return body;
            }
        }
        return std::nullopt;
    }

    std::vector<std::string> errors;
    int deliveries = 0;

   private:
    MeterSimulator& sim_;
    common::TFIFOStream fifo_{common::TFIFOStream::kClientCapacity,
                              common::TFIFOStream::kClientStep, true};
    std::uint64_t now_ = 0;
};

MeterSimulator Demo() {
    MeterSimulator sim;
    for (auto& m : DemoMeters()) sim.AddMeter(std::move(m));
    return sim;
}

TEST(MeterSimulator, AnswersIdentificationRequestsWithTheMetersIdentity) {
    MeterSimulator sim;
    sim.AddMeter({0x3F, 0x0210, 0x0005, 12345678, {}, {}});
    Master master(sim);
    EXPECT_EQ(ToHex(*master.Ask(kmp::BuildIdentificationRequest(0x3F, kmp::CidGetType))),
              "3F 01 02 10 00 05 BE 70");
    EXPECT_EQ(ToHex(*master.Ask(kmp::BuildIdentificationRequest(0x3F, kmp::CidGetSerialNo))),
              "3F 02 00 BC 61 4E B4 83");
    EXPECT_FALSE(master.Ask(kmp::BuildIdentificationRequest(0x3E, kmp::CidGetType)));
}

TEST(MeterSimulator, RegisterReplyMatchesAHandBuiltBlockAndSkipsUnknownRegisters) {
    MeterSimulator sim;
    SimMeter meter{0x3F, 1, 1, 1, {SimRegister::Make(0x003C, 2, 0, 1234)}, {}};
    sim.AddMeter(meter);
    const std::vector<std::uint16_t> ids{0x0001, 0x003C};
    Master master(sim);
    const auto body = master.Ask(kmp::BuildRegisterRequest(0x3F, ids));
    ASSERT_TRUE(body);
    EXPECT_EQ(ToHex(*body).substr(0, 32), "3F 10 00 3C 02 04 00 00 00 04 D2");
    EXPECT_TRUE(kmp::KmpBodyVerified(*body));
}

// Every register of both catalogues goes out as a request, comes back as a reply frame, is found
// by the scan and decodes to the value the meter holds at the simulator's start (all requests
// are made at clock reading 0).
TEST(MeterSimulator, EveryCatalogueRegisterSurvivesTheRoundTrip) {
    auto sim = Demo();
    Master master(sim);
    const struct {
        std::uint8_t address;
        kmp::KmpCatalogue catalogue;
    } meters[] = {{kDemoHeatAddress, kmp::KmpCatalogue::kHeat},
                  {kDemoElectricityAddress, kmp::KmpCatalogue::kElectricity}};
    for (const auto& m : meters) {
        ASSERT_NE(sim.FindMeter(m.address), nullptr);
        const SimMeter at_start = MeterAt(*sim.FindMeter(m.address), sim.TimeBase(), 0);
        const SimMeter* meter = &at_start;
        int checked = 0;
        for (const auto& row : kmp::Catalogue(m.catalogue)) {
            if (row.Id == kmp::kKmpCatalogueEnd) break;
            SCOPED_TRACE(std::string(row.Name));
            const auto id = static_cast<std::uint16_t>(row.Id);
            const std::vector<std::uint16_t> ids{id};
            const auto body = master.Ask(kmp::BuildRegisterRequest(m.address, ids));
            ASSERT_TRUE(body);
            std::span<const std::uint8_t> data = std::span(*body).subspan(2, body->size() - 4);
            const auto block = kmp::ReadRegisterBlock(data);
            ASSERT_TRUE(block);
            EXPECT_TRUE(data.empty());
            const SimRegister* held = meter->FindRegister(id);
            ASSERT_NE(held, nullptr);
            EXPECT_EQ(block->id, id);
            EXPECT_EQ(block->unit, held->unit);
            EXPECT_EQ(block->sign_exponent, held->sign_exponent);
            EXPECT_EQ(std::vector<std::uint8_t>(block->value.begin(), block->value.end()),
                      held->value);
            ++checked;
        }
        EXPECT_GT(checked, 30);
    }
    EXPECT_TRUE(master.errors.empty());
}

TEST(MeterSimulator, DemoDateAndClockDecodeThroughTheCatalogue) {
    auto sim = Demo();
    Master master(sim);
    const std::vector<std::uint16_t> ids{1003, 1002};
    const auto body = master.Ask(kmp::BuildRegisterRequest(kDemoHeatAddress, ids));
    ASSERT_TRUE(body);
    std::span<const std::uint8_t> data = std::span(*body).subspan(2, body->size() - 4);
    const auto heat = kmp::Catalogue(kmp::KmpCatalogue::kHeat);
    std::vector<kmp::RegisterValue> values;
    while (const auto block = kmp::ReadRegisterBlock(data)) {
        kmp::RegisterValue v = kmp::DecodeRegisterValue(block->value, block->sign_exponent);
        const auto* row = kmp::FindRegister(heat, block->id);
        ASSERT_TRUE(row && row->Decoder);
        ASSERT_TRUE(row->Decoder(*row, kmp::RawMantissa(block->value), block->value, v));
        values.push_back(v);
    }
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0], kmp::RegisterValue(kmp::KmpDate{2026, 12, 7}));
    // The meter's clock is the simulator's start, 14:30:15, off by the meter's own offset.
    const int clock = 14 * 3600 + 30 * 60 + 15 + ClockOffsetSeconds(1, kDemoHeatAddress);
    EXPECT_EQ(values[1],
              kmp::RegisterValue(kmp::KmpTime{clock / 3600, clock / 60 % 60, clock % 60}));
}

TEST(MeterSimulator, InjectedFaultsShowOnTheLine) {
    const auto type_request = kmp::BuildIdentificationRequest(kDemoHeatAddress, kmp::CidGetType);
    {
        SCOPED_TRACE("corrupt checksum");
        auto sim = Demo();
        sim.FindMeter(kDemoHeatAddress)->faults.corrupt_checksum = true;
        Master master(sim);
        EXPECT_FALSE(master.Ask(type_request));
        ASSERT_EQ(master.errors.size(), 1u);
        EXPECT_EQ(master.errors[0], "Invalid CRC (BE71,BE70) [63,01]");
    }
    {
        SCOPED_TRACE("every third reply corrupt");
        auto sim = Demo();
        ASSERT_TRUE(ApplyFaultList("corrupt=3", sim.FindMeter(kDemoHeatAddress)->faults));
        Master master(sim);
        std::string answered;
        for (int i = 0; i < 6; ++i) answered += master.Ask(type_request) ? "y" : "n";
        EXPECT_EQ(answered, "yynyyn");
        EXPECT_EQ(master.errors.size(), 2u);
    }
    {
        SCOPED_TRACE("no reply");
        auto sim = Demo();
        sim.FindMeter(kDemoHeatAddress)->faults.no_reply = true;
        Master master(sim);
        EXPECT_FALSE(master.Ask(type_request, 60000));
        EXPECT_FALSE(sim.NextDue());
    }
    {
        SCOPED_TRACE("late reply");
        auto sim = Demo();
        sim.FindMeter(kDemoHeatAddress)->faults.delay_ms = 500;
        Master early(sim);
        EXPECT_FALSE(early.Ask(type_request, 499));
        EXPECT_EQ(sim.NextDue(), 500u);
    }
    {
        SCOPED_TRACE("split into single bytes behind noise and stray acknowledges");
        auto sim = Demo();
        auto& faults = sim.FindMeter(kDemoHeatAddress)->faults;
        faults.split_size = 1;
        faults.noise = Hex("06 55 06 0D");
        Master master(sim);
        const auto body = master.Ask(type_request);
        ASSERT_TRUE(body);
        EXPECT_EQ(ToHex(*body), "3F 01 02 10 00 05 BE 70");
        EXPECT_EQ(master.deliveries, 4 + 10);
        EXPECT_TRUE(master.errors.empty());
    }
}

// Every frame on the line due by `now`, in order: "ADDR CID-name", "serial=N" for a serial
// reply, the register count of a register reply, " damaged" when its checksum is off.
std::string WireDue(MeterSimulator& sim, std::uint64_t now) {
    std::vector<std::uint8_t> line;
    while (auto bytes = sim.TakeDelivery(now)) {
        line.insert(line.end(), bytes->begin(), bytes->end());
    }
    std::string out;
    for (auto it = line.begin(); it != line.end();) {
        const auto start = std::find(it, line.end(), kmp::KmpRespStart);
        const auto stop = std::find(start, line.end(), kmp::KmpStop);
        if (stop == line.end()) break;
        std::vector<std::uint8_t> body;
        kmp::KmpUnstuff(std::span(start + 1, stop), body);
        it = stop + 1;
        if (!out.empty()) out += " | ";
        out += std::to_string(body[0]);
        if (body[1] == kmp::CidGetType) out += " type";
        if (body[1] == kmp::CidGetSerialNo) {
            out += " serial=" +
                   std::to_string(common::ReadBe32(std::span(body).subspan(2).first<4>()));
        }
        if (body[1] == kmp::CidGetRegister) {
            std::span<const std::uint8_t> data = std::span(body).subspan(2, body.size() - 4);
            int count = 0;
            while (kmp::ReadRegisterBlock(data)) ++count;
            out += " registers(" + std::to_string(count) + ")";
        }
        if (!kmp::KmpBodyVerified(body)) out += " damaged";
    }
    return out;
}

// The frames on the line after one request at time 0.
std::string WireAfter(MeterSimulator& sim, const std::vector<std::uint8_t>& request) {
    sim.Receive(kmp::KmpStuff(request), 0);
    return WireDue(sim, 0);
}

// What goes on the wire for each fault of meter 63 and each kind of request. Meter 65 is a plain
// heat meter beside it; no meter sits at 66.
TEST(MeterSimulator, FaultsPerCommandOnTheWire) {
    const struct {
        const char* faults;
        std::uint8_t to;
        const char *type, *serial, *registers;
    } cases[] = {
        {"", 63, "63 type", "63 serial=67012345", "63 registers(2)"},
        {"corrupt", 63, "63 type damaged", "63 serial=67012345 damaged", "63 registers(2) damaged"},
        {"garbled-registers", 63, "63 type", "63 serial=67012345", "63 registers(2) damaged"},
        {"serial0", 63, "63 type", "63 serial=0", "63 registers(2)"},
        {"no-registers", 63, "63 type", "63 serial=67012345", ""},
        {"silent,serial0", 63, "", "", ""},
        // An impostor answers after the meter it imitates, with its own address and values.
        {"answers=65", 65, "65 type | 63 type", "65 serial=67012365 | 63 serial=67012345",
         "65 registers(2) | 63 registers(2)"},
        {"answers=66", 66, "63 type", "63 serial=67012345", "63 registers(2)"},
        {"answers=66", 63, "63 type", "63 serial=67012345", "63 registers(2)"},
        {"answers=65,garbled-registers,serial0", 65, "65 type | 63 type",
         "65 serial=67012365 | 63 serial=0", "65 registers(2) | 63 registers(2) damaged"},
        {"answers=65,no-registers", 65, "65 type | 63 type",
         "65 serial=67012365 | 63 serial=67012345", "65 registers(2)"},
        // Identified as usual, then the serial-number reply for every register request.
        {"serial-for-registers", 63, "63 type", "63 serial=67012345", "63 serial=67012345"},
        {"serial-for-registers,serial0", 63, "63 type", "63 serial=0", "63 serial=0"},
        {"serial-for-registers,garbled-registers", 63, "63 type", "63 serial=67012345",
         "63 serial=67012345 damaged"},
        // Each identification reply again, ahead of the reply to the next request.
        {"late-duplicate-ident=0", 63, "63 type", "63 type | 63 serial=67012345",
         "63 serial=67012345 | 63 registers(2)"},
        {"late-duplicate-ident=0,serial-for-registers", 63, "63 type",
         "63 type | 63 serial=67012345", "63 serial=67012345 | 63 serial=67012345"},
        {"late-duplicate-ident=0,answers=65", 65, "65 type | 63 type",
         "63 type | 65 serial=67012365 | 63 serial=67012345",
         "63 serial=67012345 | 65 registers(2) | 63 registers(2)"},
    };
    const std::vector<std::uint16_t> ids{0x003C, 0x0056};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.faults) + " asked at " + std::to_string(c.to));
        auto sim = Demo();
        SimMeter beside = *sim.FindMeter(kDemoHeatAddress);
        beside.address = 65;
        beside.serial = 67012365;
        sim.AddMeter(beside);
        ASSERT_TRUE(ApplyFaultList(c.faults, sim.FindMeter(kDemoHeatAddress)->faults));
        std::vector<std::pair<int, int>> handled;  // handling meter, request address
        sim.OnReply = [&](const SimReply& r) {
            if (!r.copy) handled.emplace_back(r.address, r.request_address);
        };
        EXPECT_EQ(WireAfter(sim, kmp::BuildIdentificationRequest(c.to, kmp::CidGetType)), c.type);
        EXPECT_EQ(WireAfter(sim, kmp::BuildIdentificationRequest(c.to, kmp::CidGetSerialNo)),
                  c.serial);
        EXPECT_EQ(WireAfter(sim, kmp::BuildRegisterRequest(c.to, ids)), c.registers);
        // Silent meters report what they were asked too, so a line's ledger sees every request a
        // meter had, its own and those it answers for another.
        for (const auto& [by, to] : handled) EXPECT_EQ(to, c.to);
        EXPECT_EQ(std::count(handled.begin(), handled.end(), std::pair(63, int{c.to})), 3);
    }
}

// The copy of an identification reply waits for the line's next request, whoever it is for, and
// goes out the fault's delay after it, queued ahead of that request's reply; it goes once, and
// the ledger hears of it as a copy when it is queued.
TEST(MeterSimulator, LateIdentificationCopiesFollowTheLinesNextRequest) {
    auto sim = Demo();
    ASSERT_TRUE(ApplyFaultList("late-duplicate-ident=30", sim.FindMeter(kDemoHeatAddress)->faults));
    std::vector<SimReply> replies;
    sim.OnReply = [&](const SimReply& r) { replies.push_back(r); };
    const std::vector<std::uint16_t> ids{0x003C};

    sim.Receive(kmp::KmpStuff(kmp::BuildIdentificationRequest(kDemoHeatAddress, kmp::CidGetType)),
                0);
    EXPECT_EQ(WireDue(sim, 0), "63 type");
    EXPECT_FALSE(sim.NextDue());  // held, not scheduled: an idle line carries no copy
    EXPECT_EQ(WireDue(sim, 5000), "");

    // The electricity meter's request lets the copy go, 30 ms after it came in.
    sim.Receive(kmp::KmpStuff(
                    kmp::BuildIdentificationRequest(kDemoElectricityAddress, kmp::CidGetSerialNo)),
                6000);
    EXPECT_EQ(sim.NextDue(), 6030u);
    EXPECT_EQ(WireDue(sim, 6029), "");
    EXPECT_EQ(WireDue(sim, 6030), "63 type | 64 serial=5512093");

    // Register replies have no copy; the type reply's copy went once.
    sim.Receive(kmp::KmpStuff(kmp::BuildRegisterRequest(kDemoHeatAddress, ids)), 7000);
    EXPECT_EQ(WireDue(sim, 7000), "63 registers(1)");
    sim.Receive(kmp::KmpStuff(kmp::BuildRegisterRequest(kDemoHeatAddress, ids)), 8000);
    EXPECT_EQ(WireDue(sim, 9000), "63 registers(1)");

    ASSERT_EQ(replies.size(), 5u);
    const SimReply& copy = replies[1];
    EXPECT_TRUE(copy.copy);
    EXPECT_EQ(copy.address, kDemoHeatAddress);
    EXPECT_EQ(copy.request_address, kDemoHeatAddress);
    EXPECT_EQ(copy.cid, kmp::CidGetType);
    EXPECT_EQ(copy.received_ms, 6000u);
    EXPECT_EQ(copy.due_ms, 6030u);
    EXPECT_EQ(copy.body, replies[0].body);
    EXPECT_EQ(std::count_if(replies.begin(), replies.end(), [](auto& r) { return r.copy; }), 1);
}

TEST(MeterSimulator, IgnoresBrokenRequestsAndReassemblesSplitOnes) {
    auto sim = Demo();
    sim.Receive(Hex("80 3F 01 05 8B 0D"), 0);  // bad checksum
    EXPECT_FALSE(sim.NextDue());
    EXPECT_EQ(sim.RequestsRejected(), 1u);
    const auto frame = kmp::KmpStuff(
        kmp::BuildIdentificationRequest(kDemoElectricityAddress, kmp::CidGetSerialNo));
    EXPECT_EQ(ToHex(frame), "80 1B BF 02 2D 8E 0D");
    for (std::uint8_t b : frame) sim.Receive(std::span(&b, 1), 0);
    const auto reply = sim.TakeDelivery(0);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->front(), kmp::KmpRespStart);
    EXPECT_EQ(sim.RequestsAnswered(), 1u);
}

TEST(MeterSimulator, FaultListsParseOrAreRefused) {
    SimFaults faults;
    EXPECT_TRUE(ApplyFaultList("corrupt,delay=1500,split=3,noise", faults));
    EXPECT_TRUE(faults.corrupt_checksum);
    EXPECT_FALSE(faults.no_reply);
    EXPECT_EQ(faults.delay_ms, 1500u);
    EXPECT_EQ(faults.split_size, 3u);
    EXPECT_FALSE(faults.noise.empty());
    EXPECT_TRUE(ApplyFaultList("answers=65,answers=66,serial0", faults));
    EXPECT_EQ(faults.answers_for, (std::vector<std::uint8_t>{65, 66}));
    EXPECT_TRUE(faults.serial_zero);
    EXPECT_FALSE(faults.late_copy_ms);
    EXPECT_TRUE(ApplyFaultList("serial-for-registers,late-duplicate-ident", faults));
    EXPECT_TRUE(faults.serial_for_registers);
    EXPECT_EQ(faults.late_copy_ms, kLateCopyMs);
    EXPECT_TRUE(ApplyFaultList("late-duplicate-ident=250", faults));
    EXPECT_EQ(faults.late_copy_ms, 250u);
    for (const char* bad : {"split=0", "delay=", "delay=x", "loud", "silent=1", "corrupt=0",
                            "answers=0", "answers=255", "answers", "serial0=1", "no-registers=1",
                            "garbled-registers=2", "serial-for-registers=1",
                            "late-duplicate-ident=", "late-duplicate-ident=x", "late-duplicate"}) {
        SimFaults f;
        EXPECT_FALSE(ApplyFaultList(bad, f)) << bad;
    }
}

}  // namespace
}  // namespace zol::metersim
