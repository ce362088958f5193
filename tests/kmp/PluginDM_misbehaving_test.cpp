// Meters and hosts that misbehave in ways the field has shown, natively on a simulated line: none
// may hold the line, deadlock the host, or have readings published under another meter's name.
#include <gtest/gtest.h>

#include <deque>

#include "kmp/polling_line.h"

namespace zol::kmp {
namespace {

using namespace std::chrono_literals;

// A reply frame of the meter at `address` as the line carries it.
std::vector<std::uint8_t> ReplyFrame(std::uint8_t address, std::uint8_t cid,
                                     std::initializer_list<std::uint8_t> data) {
    std::vector<std::uint8_t> body;
    body.reserve(4 + data.size());
    body.push_back(address);
    body.push_back(cid);
    for (const std::uint8_t byte : data) body.push_back(byte);
    AppendKmpCrc(body);
    return KmpStuff(body, KmpRespStart);
}

std::vector<std::uint8_t> SerialReply(std::uint8_t address, std::uint32_t serial) {
    return ReplyFrame(
        address, CidGetSerialNo,
        {static_cast<std::uint8_t>(serial >> 24), static_cast<std::uint8_t>(serial >> 16),
         static_cast<std::uint8_t>(serial >> 8), static_cast<std::uint8_t>(serial)});
}

class Misbehaving : public Polling {
   protected:
    // Runs the line for `ms` as Run does, except that `answer` may take a frame the plug-in wrote
    // and answer it itself: the bytes it returns reach the plug-in `delay_ms` later, ahead of
    // the simulated meters' replies due by then (none: the simulated meters handle the frame).
    // With `also_simulated` the simulated meters handle the frame as well.
    using Answer = std::function<std::optional<std::vector<std::uint8_t>>(int address, int cid)>;
    void RunWith(std::uint64_t ms, const Answer& answer, std::uint64_t delay_ms = 40,
                 bool also_simulated = false) {
        for (std::uint64_t t = 0; t < ms; t += 5) {
            clock_.Advance(5);
            platform::DispatchPendingMessages();
            std::vector<std::vector<std::uint8_t>> fresh;
            {
                std::lock_guard<std::mutex> lock(fake_.mutex);
                fresh.assign(fake_.writes.begin() + static_cast<std::ptrdiff_t>(writes_seen_),
                             fake_.writes.end());
                writes_seen_ = fake_.writes.size();
            }
            for (const auto& frame : fresh) {
                std::vector<std::uint8_t> body;
                KmpUnstuff(std::span(frame).subspan(1, frame.size() - 2), body);
                auto own = answer(body[0], body[1]);
                if (own) own_replies_.emplace_back(clock_.ReadTick() + delay_ms, std::move(*own));
                if (!own || also_simulated) meters_.Receive(frame, clock_.ReadTick());
            }
            while (!own_replies_.empty() && own_replies_.front().first <= clock_.ReadTick()) {
                Deliver(own_replies_.front().second);
                own_replies_.pop_front();
            }
            while (auto delivery = meters_.TakeDelivery(clock_.ReadTick())) Deliver(*delivery);
        }
    }
    std::deque<std::pair<std::uint64_t, std::vector<std::uint8_t>>> own_replies_;

    // The frames written to `address` and the packets of the meter at `address`.
    std::size_t FramesTo(int address) {
        std::size_t count = 0;
        for (const auto& frame : WrittenFrames()) count += frame.first == address ? 1 : 0;
        return count;
    }
    std::vector<Packet> AllPackets() {
        std::vector<Packet> all = returned_;
        std::lock_guard<std::mutex> lock(fake_.mutex);
        all.insert(all.end(), fake_.pushed.begin(), fake_.pushed.end());
        return all;
    }
};

constexpr const char* kTwoMeters =
    "<QUERY><R caption=\"Heat\"><Enabled>1</Enabled><Device>63;65</Device>"
    "<MethodPoll>1</MethodPoll><PollInterval>2</PollInterval><PollUnits>S</PollUnits>"
    "<Timeout>400</Timeout><Response><I><Register>3C</Register></I></Response></R></QUERY>";

// A meter that identifies, then answers every register request with its serial-number reply:
// that reply is not the answer to the step just sent. The meter has its attempts per trigger and
// no more (each at most three frames), the timeouts are logged, and its neighbour is read on.
TEST_F(Misbehaving, AMeterAnsweringRegistersWithItsSerialHasItsAttemptsAndNoMore) {
    AddHeatMeters({{65, ""}});
    Start(kTwoMeters);
    RunWith(20'000, [](int address, int cid) -> std::optional<std::vector<std::uint8_t>> {
        if (address != 65 || cid != CidGetRegister) return std::nullopt;
        return SerialReply(65, 67012365);
    });
    std::map<std::string, int> packets;
    for (const Packet& packet : AllPackets()) ++packets[packet.at("DEVICE_ID")];
    EXPECT_GE(packets["63"], 4) << Log();
    EXPECT_EQ(packets.count("65"), 0u);
    EXPECT_LE(FramesTo(65), 10u * 3u * 3u);  // ten triggers at most
    EXPECT_NE(Log().find("[65/Heat] . Heat. Request timeout"), std::string::npos) << Log();
}

// A good meter whose serial reply comes once more, late, while its register request is under
// way: the copy is not the answer awaited, and the meter is read every poll as its neighbour is.
TEST_F(Misbehaving, ALateCopyOfAnIdentificationReplyIsNotTakenForTheAnswer) {
    AddHeatMeters({{65, ""}});
    Start(kTwoMeters);
    RunWith(
        20'000,
        [](int address, int cid) -> std::optional<std::vector<std::uint8_t>> {
            if (address != 65 || cid != CidGetRegister) return std::nullopt;
            return SerialReply(65, 67012365);
        },
        0, true);
    std::map<std::string, int> packets;
    for (const Packet& packet : AllPackets()) ++packets[packet.at("DEVICE_ID")];
    EXPECT_GE(packets["63"], 9) << Log();
    EXPECT_GE(packets["65"], 9) << Log();
    EXPECT_LE(FramesTo(65), 10u + 2u);  // one register request a poll, after one identification
}

// A host whose write entry point hands the write to its main thread and waits until it is done,
// as a host built on window messages does; the same main thread runs the host's commands. A state
// change that comes while an answer handled on the port's thread is being written must not wait
// for that write: the plug-in holds none of its locks while it calls the host.
TEST_F(Misbehaving, AHostThatWritesOnItsMainThreadIsNotDeadlockedByItsCommands) {
    // Every attempt to 68 identifies the meter again, so answers on the port's thread write.
    AddHeatMeters({{68, "no-registers"}});
    std::mutex mutex;  // the handed writes and the simulated meters
    std::condition_variable changed;
    std::deque<std::vector<std::uint8_t>> handed;
    int handed_count = 0;
    int served_count = 0;
    bool stop = false;
    std::atomic<int> stuck{0};
    std::atomic<int> delivering{0};
    const std::thread::id main_thread = std::this_thread::get_id();
    fake_.on_write = [&](const std::vector<std::uint8_t>& frame) {
        std::unique_lock<std::mutex> lock(mutex);
        if (std::this_thread::get_id() == main_thread) {
            meters_.Receive(frame, clock_.ReadTick());
            return;
        }
        handed.push_back(frame);
        const int ticket = ++handed_count;
        changed.notify_all();
        if (!changed.wait_for(lock, 3s, [&] { return served_count >= ticket; })) ++stuck;
    };
    Start(
        "<QUERY><R caption=\"Heat\"><Enabled>1</Enabled><Device>63;68</Device>"
        "<MethodPoll>1</MethodPoll><PollInterval>1</PollInterval><PollUnits>S</PollUnits>"
        "<Timeout>400</Timeout><Response><I><Register>3C</Register></I></Response></R></QUERY>");
    std::thread port([&] {
        std::unique_lock<std::mutex> lock(mutex);
        while (!stop) {
            auto delivery = meters_.TakeDelivery(clock_.ReadTick());
            if (!delivery) {
                changed.wait_for(lock, 1ms);
                continue;
            }
            ++delivering;
            lock.unlock();
            Deliver(*delivery);
            --delivering;
            lock.lock();
        }
    });
    int state_changes = 0;
    for (int step = 0; step < 2000 && stuck == 0; ++step) {
        clock_.Advance(5);
        platform::DispatchPendingMessages();
        std::deque<std::vector<std::uint8_t>> to_write;
        {
            std::unique_lock<std::mutex> lock(mutex);
            to_write.swap(handed);
        }
        if (!to_write.empty() && state_changes < 5) {
            // The host's main thread runs a command before it gets to the write.
            ++state_changes;
            Command("SET-STATE",
                    {{"DATA-SOURCES-IN-CFG", Variant::Ansi("1;COM1;COM1 port")},
                     {"RESULT", Variant::Int32(1)}},
                    0x03);
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (const auto& frame : to_write) meters_.Receive(frame, clock_.ReadTick());
            served_count += static_cast<int>(to_write.size());
        }
        changed.notify_all();
        // The answers due now are handled before the clock moves on, unless one of them waits
        // for a write of this thread.
        while (true) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                const auto due = meters_.NextDue();
                if (!handed.empty()) break;
                if (delivering == 0 && (!due || *due > clock_.ReadTick())) break;
            }
            std::this_thread::yield();
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
        served_count = INT32_MAX;
    }
    changed.notify_all();
    port.join();
    EXPECT_EQ(stuck.load(), 0) << "a write on the port's thread waited for a command";
    EXPECT_EQ(state_changes, 5);
    std::size_t read = 0;
    for (const Packet& packet : AllPackets()) read += packet.at("DEVICE_ID") == "63" ? 1 : 0;
    EXPECT_GE(read, 3u) << Log();
}

// A host that pumps its messages inside the write, which a tick calls: housekeeping may run in
// there and expire the very client whose tick is writing. The client goes when that tick has
// ended, not under it (run under ASan), and nothing is written for it after.
TEST_F(Misbehaving, AClientExpiredInsideItsOwnTickGoesWhenTheTickEnds) {
    Start(kTwoMeters);
    TzolParamsList params;
    TPluginCallRec notice = DeliveryRecord(params, std::vector<std::uint8_t>{0});
    platform::SharedFree(notice.InData.Value.Ptr);
    notice.InData.Kind = parser::kNoticeKind;
    notice.InData.Value.Number = parser::kNoticeConnected;
    notice.InData.Size = 0;
    notice.ClientId = 5;
    ASSERT_EQ(plugins::ProcessDataCall(&notice), 0);
    ASSERT_NE(Client(), nullptr);
    ASSERT_EQ(Client()->ClientId, 5);
    int pumped = 0;
    fake_.on_write = [&](const std::vector<std::uint8_t>&) {
        if (pumped++ > 0) return;
        // Long past the client's idle timeout, and the host's messages are handled in here.
        clock_.Advance(120'000);
        platform::DispatchPendingMessages();
        clock_.Advance(1000);
        platform::DispatchPendingMessages();
    };
    Idle(100);
    EXPECT_EQ(pumped, 1);
    EXPECT_EQ(Client(), nullptr) << "the idle client was not expired";
    const std::size_t writes = WrittenFrames().size();
    Idle(5000);
    EXPECT_EQ(WrittenFrames().size(), writes);
}

// A group read in part whose next request the host refuses to write: its items must not be taken
// up by the next meter's answer. Every packet carries the identity of the meter whose registers it
// holds.
TEST_F(Misbehaving, AGroupCutShortByARefusedWriteKeepsItsOwnIdentity) {
    AddHeatMeters({{65, ""}});
    Start(
        "<QUERY><R caption=\"Energy\"><Enabled>1</Enabled><Device>63;063</Device>"
        "<MethodPoll>1</MethodPoll><PollInterval>5</PollInterval><PollUnits>S</PollUnits>"
        "<Timeout>400</Timeout><Response><I><Register>3C</Register></I></Response></R>"
        "<R caption=\"Flow\"><Enabled>1</Enabled><Device>65</Device>"
        "<MethodPoll>1</MethodPoll><PollInterval>5</PollInterval><PollUnits>S</PollUnits>"
        "<Timeout>400</Timeout><Response><I><Register>56</Register></I></Response></R>"
        "</QUERY>");
    // Every meter is known after the first round. In the second, 63's first request is answered
    // and the host refuses the group's second one; then it writes again, and 65 (known, so read
    // at once) answers next.
    int registers_to_63 = 0;
    const Answer refuse_once = [&](int address,
                                   int cid) -> std::optional<std::vector<std::uint8_t>> {
        if (address == 63 && cid == CidGetRegister && ++registers_to_63 == 3) {
            fake_.write_result = TKmpParserClient::kPortNotWritten;
        }
        return std::nullopt;
    };
    RunWith(5400, refuse_once);
    ASSERT_EQ(registers_to_63, 3);
    ASSERT_GT(Client()->PendingItems.Count(), 0);
    fake_.write_result = 0;
    RunWith(4000, refuse_once);
    const std::vector<Packet> packets = AllPackets();
    ASSERT_GE(packets.size(), 2u) << Log();
    const std::string serial63 =
        std::to_string(meters_.FindMeter(metersim::kDemoHeatAddress)->serial);
    for (const Packet& packet : packets) {
        const std::string& id = packet.at("DEVICE_ID");
        SCOPED_TRACE(id);
        EXPECT_TRUE(packet.count("T1") == 0 || id == "65");
        EXPECT_TRUE(packet.count("E1") == 0 || id == "63");
        EXPECT_EQ(packet.at("SERIAL_NO"), id == "63" ? serial63 : "67012365");
    }
}

// A request sent once, to a meter that never answers: after its attempts it rests, with its
// timeouts logged, until the port opens again or the settings are read again.
TEST_F(Misbehaving, AOnceRequestToASilentMeterRestsAfterItsAttempts) {
    Start(
        "<QUERY><R caption=\"Once\"><Enabled>1</Enabled><Device>9</Device>"
        "<MethodOnce>1</MethodOnce><Timeout>400</Timeout>"
        "<Response><I><Register>3C</Register></I></Response></R></QUERY>");
    Run(30'000);
    EXPECT_EQ(FramesTo(9), 3u) << Log();
    EXPECT_NE(Log().find("[9/Once] . Once. Request timeout"), std::string::npos) << Log();
    ASSERT_EQ(Command("EVENT", {{"EVENT-TYPE", Variant::Ansi("PORT-OPEN")}}), 0);
    Run(10'000);
    EXPECT_EQ(FramesTo(9), 6u);
    ASSERT_EQ(Command("LOAD-SETTINGS-NOW", {}), -2);
    Run(10'000);
    EXPECT_EQ(FramesTo(9), 9u);
}

}  // namespace
}  // namespace zol::kmp
