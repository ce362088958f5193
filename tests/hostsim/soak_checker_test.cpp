#include "hostsim/soak_checker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kmp/kmp_frame.h"
#include "kmp/kmp_value.h"
#include "metersim/meter_simulator.h"

namespace zol::hostsim {
namespace {

// Meters 21, 22 and 23 on one line, each with a counter and a temperature of its own; 23's
// serial-number reply reads 0. Their serial numbers and type words are what the judge is told.
constexpr std::uint32_t kSerial21 = 67100021, kSerial22 = 67100022;

metersim::SimMeter Meter(std::uint8_t address, std::uint32_t serial, const char* faults = "") {
    metersim::SimMeter meter;
    meter.address = address;
    meter.type = static_cast<std::uint16_t>(0x0200 + address);
    meter.serial = serial;
    meter.registers = {metersim::SimRegister::Make(soak::kCounterRegister, 0x1E, 0, 1000 + address),
                       metersim::SimRegister::Make(0x0056, 0x2C, 0x42, 6000 + address)};
    EXPECT_TRUE(metersim::ApplyFaultList(faults, meter.faults));
    return meter;
}

std::vector<SoakMeter> Judged() {
    return {{21, kSerial21, 0x0215, true, 0, false, ""},
            {22, kSerial22, 0x0216, true, 0, false, ""},
            {23, 0, 0x0217, true, 0, false, ""}};
}

// The line's meters on a fake clock: every request is answered by the meter simulator, and what
// it answered becomes the ledger the judge is given. As on the soak's lines, every request
// moves every meter's counter on by one, so no two replies of a meter carry the same counter.
class Line {
   public:
    explicit Line(const char* faults21 = "") {
        sim_.AddMeter(Meter(21, kSerial21, faults21));
        sim_.AddMeter(Meter(22, kSerial22));
        sim_.AddMeter(Meter(23, 67100023, "serial0"));
        sim_.OnReply = [this](const metersim::SimReply& reply) {
            entries_.push_back(MakeEntry(reply));
            entries_.back().seq = entries_.size() - 1;
        };
    }
    // The entries of the request, in the order the simulator made them (a late copy first).
    std::vector<LedgerEntry> Ask(const std::vector<std::uint8_t>& request, std::uint64_t now) {
        entries_.clear();
        sim_.Receive(kmp::KmpStuff(request), now);
        for (const std::uint8_t address : {std::uint8_t{21}, std::uint8_t{22}, std::uint8_t{23}}) {
            auto& counter = sim_.FindMeter(address)->registers[0];
            counter = metersim::SimRegister::Make(counter.id, counter.unit, counter.sign_exponent,
                                                  kmp::RawMantissa(counter.value) + 1u);
        }
        return entries_;
    }
    std::vector<LedgerEntry> AskRegisters(std::uint8_t address, std::uint64_t now) {
        return Ask(kmp::BuildRegisterRequest(address, std::vector<std::uint16_t>{0x003C, 0x0056}),
                   now);
    }

   private:
    metersim::MeterSimulator sim_;
    std::vector<LedgerEntry> entries_;
};

// Gives the judge a line's entries, each handed to the host 20 ms after its request.
void Hand(SoakChecker& checker, const std::vector<LedgerEntry>& entries) {
    checker.AddEntries(0, entries);
    for (const auto& entry : entries) {
        checker.AddDelivered(0, entry.seq, entry.reply.received_ms + 20);
    }
}

SeenPacket PacketOf(const LedgerEntry& entry) {
    SeenPacket seen;
    seen.port = 0;
    seen.address = entry.reply.address;
    seen.counter = entry.counter;
    seen.values = entry.values;
    return seen;
}

// A packet carries the registers of meter 21's reply; what it names its meter by decides.
TEST(SoakChecker, APacketMustNameTheMeterWhoseRegistersItCarries) {
    const struct {
        const char* name;
        std::uint8_t device_id;
        std::uint32_t counter;  // what the packet's counter reads (0: the reply's)
        std::optional<std::uint32_t> serial_no;
        std::optional<std::string> device_type;
        std::uint64_t violations;  // the reply of 21 unread counts as one more
        std::uint64_t wrong;
        const char* first;  // the first violation, in part
    } cases[] = {
        {"its own identity", 21, 0, kSerial21, "0215", 0, 0, ""},
        {"without serial number or type", 21, 0, std::nullopt, std::nullopt, 0, 0, ""},
        {"another meter's DEVICE_ID", 22, 0, kSerial22, "0216", 2, 1,
         "the packet of 22 on port 1 carries the registers of meter 21 (counter 1021)"},
        {"the DEVICE_ID of no meter on the line", 24, 0, std::nullopt, std::nullopt, 2, 1,
         "the packet of 24 on port 1 carries the registers of meter 21"},
        {"another meter's SERIAL_NO", 21, 0, kSerial22, "0215", 1, 1,
         "carries SERIAL_NO 67100022, meter 22's; its meter's is 67100021"},
        {"another meter's DEVICE_TYPE", 21, 0, kSerial21, "0216", 1, 1,
         "carries DEVICE_TYPE 0216; its meter's is 0215"},
        {"a counter no reply carried", 21, 77, kSerial21, "0215", 2, 0,
         "a packet from 21 on port 1 matches no reply the meter sent"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Line line;
        SoakChecker checker(0, 100000, {Judged()});
        const auto entries = line.AskRegisters(21, 1000);
        ASSERT_EQ(entries.size(), 1u);
        Hand(checker, entries);
        SeenPacket packet = PacketOf(entries[0]);
        packet.address = c.device_id;
        if (c.counter != 0) packet.counter = c.counter;
        packet.serial_no = c.serial_no;
        packet.device_type = c.device_type;
        checker.AddPacket(packet);
        checker.Settle(100000, true);
        EXPECT_EQ(checker.violation_count, c.violations);
        EXPECT_EQ(checker.identities_wrong, c.wrong);
        if (c.violations > 0) {
            ASSERT_FALSE(checker.violations.empty());
            EXPECT_NE(checker.violations[0].find(c.first), std::string::npos)
                << checker.violations[0];
        }
    }
}

TEST(SoakChecker, AMeterWhoseSerialReadsZeroHasNoSerialNumberInItsPackets) {
    Line line;
    SoakChecker checker(0, 100000, {Judged()});
    const auto first = line.AskRegisters(23, 1000);
    const auto second = line.AskRegisters(23, 2000);
    Hand(checker, first);
    Hand(checker, second);
    SeenPacket plain = PacketOf(first[0]);
    plain.device_type = "0217";
    checker.AddPacket(plain);
    SeenPacket with_serial = PacketOf(second[0]);
    with_serial.serial_no = 67100023;
    checker.AddPacket(with_serial);
    checker.Settle(100000, true);
    ASSERT_EQ(checker.violation_count, 1u);
    EXPECT_NE(checker.violations[0].find("carries SERIAL_NO; the meter's serial is 0"),
              std::string::npos);
    EXPECT_EQ(checker.identities_checked, 2u);
}

// The serial-number reply to a register request and the late copy of an identification reply
// answer nothing the plug-in waits for: neither is required to end in a packet, and a copy
// crossing an exchange excuses nothing of it.
TEST(SoakChecker, AnswersToAnotherCommandAndLateCopiesAreCountedNotRequired) {
    {
        SCOPED_TRACE("serial-for-registers");
        Line line("serial-for-registers");
        SoakChecker checker(0, 100000, {Judged()});
        const auto entries = line.AskRegisters(21, 1000);
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_TRUE(entries[0].values.empty());
        Hand(checker, entries);
        checker.Settle(100000, true);
        EXPECT_EQ(checker.violation_count, 0u);
        EXPECT_EQ(checker.other_answers, 1u);
        EXPECT_EQ(checker.required, 0u);
    }
    {
        SCOPED_TRACE("late-duplicate-ident");
        Line line("late-duplicate-ident=0");
        SoakChecker checker(0, 100000, {Judged()});
        Hand(checker, line.Ask(kmp::BuildIdentificationRequest(21, kmp::CidGetType), 1000));
        const auto registers = line.AskRegisters(21, 2000);
        ASSERT_EQ(registers.size(), 2u);
        EXPECT_TRUE(registers[0].reply.copy);
        Hand(checker, registers);
        checker.AddPacket(PacketOf(registers[1]));
        checker.Settle(100000, true);
        EXPECT_EQ(checker.violation_count, 0u) << checker.violations[0];
        EXPECT_EQ(checker.late_copies, 1u);
        EXPECT_EQ(checker.late, 0u);
        EXPECT_EQ(checker.required, 1u);
        EXPECT_EQ(checker.excused, 0u);
    }
}

}  // namespace
}  // namespace zol::hostsim
