// The plug-in's main road, natively: polls, identification, retries, reloads and hosts of
// several kinds, on a line of simulated meters (polling_line.h).
#include <gtest/gtest.h>

#include "kmp/polling_line.h"

namespace zol::kmp {
namespace {

TEST_F(Polling, OnePollIdentifiesTheMeterThenReadsItsRegistersIntoOnePacket) {
    Start(HeatRequest());
    Run(500);
    EXPECT_EQ(WrittenCids(), (std::vector<int>{CidGetType, CidGetSerialNo, CidGetRegister}));
    {
        // The frames on the wire, worked out by hand (CRC-16/XMODEM over address, CID and data).
        std::lock_guard<std::mutex> lock(fake_.mutex);
        ASSERT_EQ(fake_.writes.size(), 3u);
        EXPECT_EQ(fake_.writes[0], (std::vector<std::uint8_t>{0x80, 0x3F, 0x01, 0x05, 0x8A, 0x0D}));
        EXPECT_EQ(fake_.writes[1], (std::vector<std::uint8_t>{0x80, 0x3F, 0x02, 0x35, 0xE9, 0x0D}));
        EXPECT_EQ(fake_.writes[2],
                  (std::vector<std::uint8_t>{0x80, 0x3F, 0x10, 0x03, 0x00, 0x3C, 0x00, 0x56, 0x03,
                                             0xEB, 0xFB, 0xDD, 0x0D}));
    }
    ASSERT_EQ(returned_.size(), 1u);
    const Packet& packet = returned_[0];
    const metersim::SimMeter& meter = *meters_.FindMeter(metersim::kDemoHeatAddress);
    EXPECT_EQ(packet.at("DEVICE_ID"), "63");
    EXPECT_EQ(packet.at("SERIAL_NO"), std::to_string(meter.serial));
    char type[8];
    std::snprintf(type, sizeof type, "%04X", meter.type);
    EXPECT_EQ(packet.at("DEVICE_TYPE"), type);
    for (const char* item : {"E1", "E1_UNIT", "T1", "T1_UNIT", "DATE", "TIMESTAMP", "TIMESTAMP_UTC",
                             "DATA_SOURCE_ID", "DATE_TIME_STAMP"}) {
        EXPECT_EQ(packet.count(item), 1u) << item;
    }
    // The next poll reads at once: the meter is known.
    Run(2000);
    EXPECT_EQ(WrittenCids().back(), CidGetRegister);
    EXPECT_EQ(WrittenCids().size(), 4u);
    EXPECT_EQ(returned_.size(), 2u);
}

TEST_F(Polling, ATimeoutForgetsTheMeterAndTheNextPollIdentifiesAgain) {
    Start(HeatRequest());
    Run(500);
    meters_.FindMeter(metersim::kDemoHeatAddress)->faults.no_reply = true;
    Run(2000 + 3 * 400 + 100);  // the poll and its two retries go unanswered
    const std::string log = Log();
    EXPECT_NE(log.find("[63/Heat] . Heat. Request timeout"), std::string::npos) << log;
    meters_.FindMeter(metersim::kDemoHeatAddress)->faults.no_reply = false;
    const std::size_t before = WrittenCids().size();
    Run(2500);
    const std::vector<int> cids = WrittenCids();
    ASSERT_GT(cids.size(), before + 2);
    EXPECT_EQ(cids[before], CidGetType);
    EXPECT_EQ(cids[before + 1], CidGetSerialNo);
}

TEST_F(Polling, ASettingsReloadWhileAReplyIsOnTheLineKeepsItsExchange) {
    Start(HeatRequest());
    Run(500);
    ASSERT_EQ(returned_.size(), 1u);
    ASSERT_EQ(Command("SAVE-SETTINGS-NOW", {}), -2);
    // The next poll's answer takes 200 ms on the line; the settings are read again (unchanged)
    // while it is under way, and once more (changed) during the poll after it.
    meters_.FindMeter(metersim::kDemoHeatAddress)->faults.delay_ms = 200;
    const std::size_t writes = WrittenCids().size();
    while (WrittenCids().size() == writes) Run(5);
    Run(50);
    ASSERT_EQ(Command("LOAD-SETTINGS-NOW", {}), -2);
    Run(100);
    EXPECT_EQ(WrittenCids().size(), writes + 1);  // no second request while the first is open
    Run(200);
    ASSERT_EQ(returned_.size(), 2u) << Log();
    EXPECT_EQ(returned_[1].count("E1"), 1u);

    plugin_->Config->lblParams_Caption = HeatRequest("", "<I><Register>56</Register></I>");
    ASSERT_EQ(Command("SAVE-SETTINGS-NOW", {}), -2);
    while (WrittenCids().size() == writes + 1) Run(5);
    Run(50);
    ASSERT_EQ(Command("LOAD-SETTINGS-NOW", {}), -2);
    Run(300);
    // The request changed: its answer is not read as the new request's.
    EXPECT_EQ(returned_.size(), 2u);
}

TEST_F(Polling, AMissingRegisterDoesNotLoseTheOnesAfterIt) {
    // 0x3FF is no register of the meter: it leaves it out of its answer.
    Start(HeatRequest("",
                      "<I><Register>3C</Register></I><I><Register>3FF</Register><Name>X</Name>"
                      "</I><I><Register>56</Register></I>"));
    Run(500);
    ASSERT_EQ(returned_.size(), 1u);
    EXPECT_EQ(returned_[0].count("E1"), 1u);
    EXPECT_EQ(returned_[0].count("X"), 0u);
    EXPECT_EQ(returned_[0].count("T1"), 1u);
}

TEST_F(Polling, ARefusedWritePausesTheQueue) {
    fake_.write_result = -12;
    Start(HeatRequest());
    Run(990);
    EXPECT_EQ(WrittenCids().size(), 0u);
    fake_.write_result = 0;
    Run(20);
    EXPECT_TRUE(WrittenCids().empty());  // still pausing: 1000 ms from the refused write
    Run(100);
    ASSERT_FALSE(WrittenCids().empty());
    EXPECT_EQ(WrittenCids().front(), CidGetType);
}

TEST_F(Polling, APassiveRequestDecodesAnotherMastersTraffic) {
    Start(
        "<QUERY><Listen><Device>63</Device><Response><I><Register>3C</Register></I>"
        "</Response></Listen></QUERY>");
    Run(200);
    EXPECT_TRUE(WrittenCids().empty());
    const std::uint16_t id = 0x3C;
    const std::vector<std::uint8_t> request = BuildRegisterRequest(63, std::span(&id, 1));
    auto answer = metersim::MeterSimulator::Answer(*meters_.FindMeter(63), request);
    ASSERT_TRUE(answer.has_value());
    Deliver(KmpStuff(*answer, KmpRespStart));
    ASSERT_EQ(returned_.size(), 1u);
    EXPECT_EQ(returned_[0].at("DEVICE_ID"), "63");
    EXPECT_EQ(returned_[0].count("E1"), 1u);
    EXPECT_EQ(returned_[0].count("SERIAL_NO"), 0u);  // passive requests never identify
}

TEST_F(Polling, ProcessDataBeforeLoadAndAfterUnloadIsRefused) {
    const std::uint8_t bytes[] = {0x40, 0x3F, 0x0D};
    EXPECT_EQ(Deliver(bytes), -1);
    Start(HeatRequest());
    EXPECT_EQ(Deliver(bytes), 0);
    ASSERT_EQ(Command("UNLOAD", {}), 0);
    EXPECT_EQ(Deliver(bytes), -1);
    const std::size_t written = WrittenCids().size();
    Run(5000);
    EXPECT_EQ(WrittenCids().size(), written);  // an unloaded plug-in sends nothing more
}

// A packet's items as the host's list holds them: name, key, data type, state, value type and
// value, one packet per row.
using ItemRecord =
    std::tuple<std::string, std::string, std::int32_t, std::uint8_t, std::uint16_t, std::string>;

std::vector<std::vector<ItemRecord>> PacketsFrom(const TzolParamsList& list, std::int32_t from) {
    std::vector<std::vector<ItemRecord>> packets(1);
    for (std::int32_t i = from; i < list.Count(); ++i) {
        const common::TzolParamsListItem& item = *list.Item(i);
        if (item.IsRowMarker()) {
            packets.emplace_back();
            continue;
        }
        packets.back().emplace_back(item.Name, item.Key, item.DataType, item.State,
                                    item.Value.Type(), item.Value.AsUtf8());
    }
    if (packets.back().empty()) packets.pop_back();
    return packets;
}

// The packet list of a frame keeps its room from frame to frame, and the adapters of a call's
// lists are reused from call to call: whichever way the host takes its packets, the same answer
// must reach it as the same items every time.
TEST_F(Polling, RepeatedAnswersReachTheHostAlikeHoweverItTakesThePackets) {
    Start(
        "<QUERY><Listen><Device>63</Device><Response><I><Register>3C</Register></I>"
        "<I><Register>56</Register></I><I><Register>3EB</Register></I></Response></Listen>"
        "</QUERY>");
    Run(200);
    const std::uint16_t ids[] = {0x3C, 0x56, 0x3EB};
    const auto body =
        metersim::MeterSimulator::Answer(*meters_.FindMeter(63), BuildRegisterRequest(63, ids));
    ASSERT_TRUE(body.has_value());
    const std::vector<std::uint8_t> answer = KmpStuff(*body, KmpRespStart);

    struct HostKind {
        const char* name;
        bool interface;  // the output list as an interface, else as a list object
        bool clears;     // the host empties its list before each call, else it keeps adding
        int answers;     // answers in one call's bytes
    };
    const HostKind kinds[] = {
        {"list object emptied by the host", false, true, 1},
        {"list object the host keeps adding to", false, false, 1},
        {"interface", true, true, 1},
        {"two answers in one call", false, true, 2},
    };
    std::vector<ItemRecord> reference;
    for (const HostKind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        TzolParamsList output;
        auto* host_adapter = new common::TzolParamsListWrap(&output, true);
        for (int call = 0; call < 3; ++call) {
            if (kind.clears) output.Clear();
            const std::int32_t from = output.Count();
            std::vector<std::uint8_t> bytes;
            for (int i = 0; i < kind.answers; ++i)
                bytes.insert(bytes.end(), answer.begin(), answer.end());
            TzolParamsList params;
            TPluginCallRec rec = DeliveryRecord(params, bytes);
            void* buffer = rec.InData.Value.Ptr;
            rec.OutData.Kind =
                kind.interface ? plugins::kDataListInterface : plugins::kDataListObject;
            rec.OutData.Value.Ptr =
                kind.interface ? static_cast<void*>(host_adapter->AsInterfaceA())
                               : static_cast<void*>(&output);
            EXPECT_EQ(plugins::ProcessDataCall(&rec), 0);
            platform::SharedFree(rec.InData.Value.Ptr != nullptr ? rec.InData.Value.Ptr : buffer);
            // A copy: the record is packed, and a check takes its arguments by reference.
            const std::int32_t delivered = rec.OutData.Count;
            EXPECT_EQ(delivered, kind.answers);
            // The caller's list object is back in its slot.
            void* const slot = rec.OutData.Value.Ptr;
            EXPECT_EQ(slot, kind.interface ? static_cast<void*>(host_adapter->AsInterfaceA())
                                           : static_cast<void*>(&output));
            const auto packets = PacketsFrom(output, from);
            ASSERT_EQ(packets.size(), static_cast<std::size_t>(kind.answers));
            for (const auto& packet : packets) {
                if (reference.empty()) reference = packet;
                EXPECT_EQ(packet, reference);
            }
        }
        host_adapter->DestroyCached();
    }
    // The standard items, the meter's, and a value and a unit for each register.
    EXPECT_GE(reference.size(), 6u + 2u * std::size(ids));
}

TEST_F(Polling, RequestsOfOneGroupLeaveAsOnePacket) {
    // "63" and "063" are two requests for the same meter from the same entry.
    Start(
        "<QUERY><R caption=\"Heat\"><Enabled>1</Enabled><Device>63;063</Device>"
        "<MethodPoll>1</MethodPoll><PollInterval>10</PollInterval><PollUnits>S</PollUnits>"
        "<Response><I><Register>3C</Register></I></Response></R></QUERY>");
    Run(1000);
    EXPECT_EQ(WrittenCids(),
              (std::vector<int>{CidGetType, CidGetSerialNo, CidGetRegister, CidGetRegister}));
    ASSERT_EQ(returned_.size(), 1u);
}

TEST_F(Polling, StateChangesAddAndRemovePortsAndTheCatalogueAnswersItsQuery) {
    Start(HeatRequest());
    EXPECT_EQ(plugin_->Ports().size(), 1u);
    ASSERT_EQ(Command("SET-STATE",
                      {{"DATA-SOURCES-IN-CFG", Variant::Ansi("1;COM1;a\r\n2;COM2;b")},
                       {"RESULT", Variant::Int32(1)}},
                      0x03),
              0);
    ASSERT_EQ(plugin_->Ports().size(), 2u);
    EXPECT_EQ(plugin_->Ports()[1]->Name(), "COM2");
    EXPECT_EQ(plugin_->Ports()[1]->Queue->Requests.Count(), 1);
    ASSERT_EQ(
        Command("SET-STATE",
                {{"DATA-SOURCES-IN-CFG", Variant::Ansi("2;COM2;b")}, {"RESULT", Variant::Int32(1)}},
                0x03),
        0);
    ASSERT_EQ(plugin_->Ports().size(), 1u);
    EXPECT_EQ(plugin_->Ports()[0]->Id, 2);

    TzolParamsList list;
    list.Add("COMMAND", Variant::Ansi("EVENT"));
    list.Add("EVENT-TYPE", Variant::Ansi("GetFuncTypeList"));
    list.Add("RESULT", Variant());
    TPluginCallRec rec{};
    rec.RecSize = plugins::kCallRecSize;
    rec.Instance = handle_;
    rec.Params = &list;
    ASSERT_EQ(plugins::ExecutePluginCommandCall(&rec), 0);
    EXPECT_EQ(list.GetValue("RESULT").AsUtf8().rfind(
                  "Custom==0000||Current date==03EB||Energy register 1: Heat energy==003C", 0),
              0u);
}

// Packets arrive on one thread, the timers tick on the host's main thread and commands come on a
// third, as a host may do it. Run under TSan.
TEST_F(Polling, PacketsTicksAndCommandsOnThreeThreads) {
    Start(HeatRequest("", nullptr));
    std::mutex line;  // the simulated meters serve both threads
    std::atomic<bool> stop{false};
    std::atomic<int> steps{0};
    std::atomic<int> delivering{0};  // answers taken off the line, not yet handed over
    std::thread packets([&] {
        while (!stop) {
            std::optional<std::vector<std::uint8_t>> delivery;
            {
                std::lock_guard<std::mutex> lock(line);
                delivery = meters_.TakeDelivery(clock_.ReadTick());
                if (delivery) ++delivering;
            }
            if (delivery) {
                Deliver(*delivery);
                --delivering;
            }
        }
    });
    std::thread commands([&] {
        for (int i = 0; !stop; ++i) {
            // About one command every half second of the line's time.
            while (!stop && steps.load() < (i + 1) * 100) std::this_thread::yield();
            if (i % 3 == 0) Command("LOAD-SETTINGS-NOW", {});
            if (i % 3 == 1) Command("EVENT", {{"EVENT-TYPE", Variant::Ansi("PORT-OPEN")}});
            if (i % 3 == 2) Command("EVENT", {{"EVENT-TYPE", Variant::Ansi("PORT-CLOSE")}});
        }
    });
    for (int step = 0; step < 4000; ++step) {
        steps = step;
        clock_.Advance(5);
        platform::DispatchPendingMessages();
        {
            std::lock_guard<std::mutex> lock(line);
            std::lock_guard<std::mutex> written(fake_.mutex);
            for (; writes_seen_ < fake_.writes.size(); ++writes_seen_) {
                meters_.Receive(fake_.writes[writes_seen_], clock_.ReadTick());
            }
        }
        // The line keeps pace with the packet thread: answers due now are handed over before
        // the clock moves on.
        while (true) {
            {
                std::lock_guard<std::mutex> lock(line);
                const auto due = meters_.NextDue();
                if (delivering == 0 && (!due || *due > clock_.ReadTick())) break;
            }
            std::this_thread::yield();
        }
    }
    stop = true;
    packets.join();
    commands.join();
    EXPECT_GT(returned_.size(), 3u) << Log() << " writes " << WrittenCids().size();
}

// Hosts that behave as real ones may: one that hands the meter's answer back from inside the
// write (a loopback or an in-process meter), one that holds its own port lock while it delivers
// received bytes and takes it again in its write. Neither may lose an answer or deadlock.
TEST_F(Polling, AHostThatAnswersFromInsideTheWriteIsServed) {
    fake_.on_write = [this](const std::vector<std::uint8_t>& frame) {
        meters_.Receive(frame, clock_.ReadTick());
        while (auto delivery = meters_.TakeDelivery(clock_.ReadTick())) Deliver(*delivery);
    };
    Start(HeatRequest());
    Run(100);
    // The whole handshake and the reading within the first tick: every answer was read.
    EXPECT_EQ(WrittenCids(), (std::vector<int>{CidGetType, CidGetSerialNo, CidGetRegister}));
    ASSERT_EQ(returned_.size(), 1u) << Log();
    EXPECT_EQ(returned_[0].count("E1"), 1u);
    Run(2000);
    EXPECT_EQ(returned_.size(), 2u) << Log();
    EXPECT_EQ(Log().find("timeout"), std::string::npos) << Log();
}

TEST_F(Polling, AHostHoldingItsPortLockInBothDirectionsIsNotDeadlocked) {
    // The host's port lock, taken around every delivery and in every write. A write on the
    // timer thread waits until the port thread holds the lock and is delivering: a plug-in that
    // kept a lock of its own across the write would have the two threads wait for each other.
    std::recursive_mutex port_lock;
    std::mutex line;  // the meters, shared by both threads
    std::condition_variable changed;
    std::vector<std::vector<std::uint8_t>> to_deliver;
    int deliveries_begun = 0;
    bool stop = false;
    std::atomic<int> stuck{0};
    const std::thread::id timer_thread = std::this_thread::get_id();
    std::thread port([&] {
        std::unique_lock<std::mutex> lock(line);
        while (true) {
            changed.wait(lock, [&] { return stop || !to_deliver.empty(); });
            if (stop && to_deliver.empty()) return;
            auto bytes = std::move(to_deliver.front());
            to_deliver.erase(to_deliver.begin());
            lock.unlock();
            {
                std::lock_guard<std::recursive_mutex> held(port_lock);
                {
                    std::lock_guard<std::mutex> count(line);
                    ++deliveries_begun;
                }
                changed.notify_all();
                Deliver(bytes);
            }
            lock.lock();
        }
    });
    fake_.on_write = [&](const std::vector<std::uint8_t>& frame) {
        std::unique_lock<std::mutex> lock(line);
        const int begun = deliveries_begun + static_cast<int>(to_deliver.size());
        meters_.Receive(frame, clock_.ReadTick());
        while (auto delivery = meters_.TakeDelivery(clock_.ReadTick())) {
            to_deliver.push_back(std::move(*delivery));
        }
        changed.notify_all();
        if (std::this_thread::get_id() != timer_thread) return;  // the port thread, lock held
        // Let the port thread take its lock first, then want it too.
        changed.wait_for(lock, std::chrono::seconds(2), [&] { return deliveries_begun > begun; });
        lock.unlock();
        // (A timed lock would do, but the thread checker cannot follow one.)
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!port_lock.try_lock()) {
            if (std::chrono::steady_clock::now() > give_up) {
                ++stuck;  // the port thread waits for the plug-in, which waits for this write
                return;
            }
            std::this_thread::yield();
        }
        port_lock.unlock();
    };
    Start(HeatRequest());
    Run(5000);
    {
        std::lock_guard<std::mutex> lock(line);
        stop = true;
    }
    changed.notify_all();
    port.join();
    EXPECT_EQ(stuck.load(), 0);
    EXPECT_GE(returned_.size(), 2u) << Log();
}

// A line as the field has it: good meters beside one whose register replies are always
// damaged, one whose serial number reads 0 and one that identifies but never answers a register
// request. The good ones (serial 0 included) are read every poll or nearly; each bad one gets
// its attempts per trigger, one after the other, and the log names it.
TEST_F(Polling, OneBadMeterNeverStarvesItsLine) {
    AddHeatMeters({{65, ""}, {66, "garbled-registers"}, {67, "serial0"}, {68, "no-registers"}});
    Start(
        "<QUERY><R caption=\"Heat\"><Enabled>1</Enabled><Device>63;65;66;67;68</Device>"
        "<MethodPoll>1</MethodPoll><PollInterval>2</PollInterval><PollUnits>S</PollUnits>"
        "<Timeout>400</Timeout><Response><I><Register>3C</Register></I></Response></R></QUERY>");
    constexpr int kSeconds = 40;
    std::map<std::string, std::vector<int>> read_at;  // seconds at which each meter was read
    for (int second = 1; second <= kSeconds; ++second) {
        const std::size_t before = returned_.size();
        Run(1000);
        for (std::size_t i = before; i < returned_.size(); ++i) {
            read_at[returned_[i].at("DEVICE_ID")].push_back(second);
        }
    }
    for (const char* good : {"63", "65", "67"}) {
        SCOPED_TRACE(good);
        const std::vector<int>& seconds = read_at[good];
        // The two bad meters take 2 x 3 x 400 ms of every round: a round lasts about 2.4 s.
        ASSERT_GE(seconds.size(), static_cast<std::size_t>(kSeconds / 3)) << Log();
        for (std::size_t i = 1; i < seconds.size(); ++i) EXPECT_LE(seconds[i] - seconds[i - 1], 4);
        EXPECT_GE(seconds.back(), kSeconds - 4);
    }
    EXPECT_EQ(read_at.count("66") + read_at.count("68"), 0u);
    for (const Packet& packet : returned_) {
        if (packet.at("DEVICE_ID") == "67") {
            EXPECT_EQ(packet.count("SERIAL_NO"), 0u);
        }
    }
    // Attempts come in runs of frames to one meter; every attempt starts with its type request,
    // since a timeout forgets the meter.
    const auto frames = WrittenFrames();
    for (const int bad : {66, 68}) {
        SCOPED_TRACE(bad);
        std::vector<int> runs;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            if (frames[i].first != bad) continue;
            if (i == 0 || frames[i - 1].first != bad) runs.push_back(0);
            if (frames[i].second == CidGetType) ++runs.back();
        }
        ASSERT_GE(runs.size(), static_cast<std::size_t>(kSeconds / 3));
        runs.pop_back();  // the last may be cut short by the end of the run
        for (int attempts : runs) EXPECT_EQ(attempts, 3);
        EXPECT_NE(Log().find("[" + std::to_string(bad) + "/Heat] . Heat. Request timeout"),
                  std::string::npos);
    }
}

// Every register answer the line carried becomes exactly one packet: none dropped, none handed
// over twice, over enough polls that a loss of one in ten shows. Three meters share the line, one
// of them never answering its registers, so exchanges end by answer and by timeout alike.
TEST_F(Polling, EveryRegisterAnswerBecomesExactlyOnePacket) {
    AddHeatMeters({{65, ""}, {68, "no-registers"}});
    std::map<std::string, int> answered;
    meters_.OnReply = [&](const metersim::SimReply& reply) {
        if (reply.cid == CidGetRegister && !reply.silent && !reply.corrupt) {
            ++answered[std::to_string(reply.address)];
        }
    };
    Start(
        "<QUERY><R caption=\"Heat\"><Enabled>1</Enabled><Device>63;65;68</Device>"
        "<MethodPoll>1</MethodPoll><PollInterval>1</PollInterval><PollUnits>S</PollUnits>"
        "<Timeout>400</Timeout><Response><I><Register>3C</Register></I></Response></R></QUERY>");
    Run(40'000);
    // The meters fall silent; what they already answered still arrives.
    for (const int address : {63, 65, 68}) {
        meters_.FindMeter(static_cast<std::uint8_t>(address))->faults.no_reply = true;
    }
    Run(3000);
    std::map<std::string, int> packets;
    {
        std::lock_guard<std::mutex> lock(fake_.mutex);
        for (const Packet& packet : fake_.pushed) ++packets[packet.at("DEVICE_ID")];
    }
    for (const Packet& packet : returned_) ++packets[packet.at("DEVICE_ID")];
    EXPECT_GE(answered["63"], 20);
    EXPECT_GE(answered["65"], 20);
    EXPECT_EQ(packets, answered);
}

// A retry that falls into the min-interval pause goes out when the pause ends: the event that
// asked for the reading comes only once.
TEST_F(Polling, ARetryHeldBackByThePauseGoesOutWhenItEnds) {
    Start(
        "<QUERY><R caption=\"Heat\"><Enabled>1</Enabled><Device>63</Device>"
        "<MethodEvent>1</MethodEvent><EventId>READ</EventId><Timeout>400</Timeout>"
        "<Response><I><Register>3C</Register></I></Response></R></QUERY>",
        1000);
    Run(200);
    ASSERT_TRUE(WrittenCids().empty());
    meters_.FindMeter(metersim::kDemoHeatAddress)->faults.no_reply = true;
    ASSERT_EQ(Command("EVENT", {{"EVENT-TYPE", Variant::Ansi("READ")}}), 0);
    Run(600);  // the first attempt timed out at 400 ms; the pause runs to 1000 ms
    ASSERT_EQ(WrittenCids().size(), 1u);
    meters_.FindMeter(metersim::kDemoHeatAddress)->faults.no_reply = false;
    Run(600);
    EXPECT_EQ(WrittenCids(),
              (std::vector<int>{CidGetType, CidGetType, CidGetSerialNo, CidGetRegister}));
    ASSERT_EQ(returned_.size(), 1u) << Log();
    EXPECT_EQ(returned_[0].count("E1"), 1u);
}

// A tick that comes between finding an answer and decoding it, after the answer's deadline: the
// exchange is in the client's hands, so the tick neither calls it a timeout nor sends again.
TEST_F(Polling, ATickBetweenFindingAndDecodingAnAnswerLeavesItsExchangeAlone) {
    Start(HeatRequest());
    Run(500);
    ASSERT_EQ(returned_.size(), 1u);
    const std::size_t writes = WrittenCids().size();
    while (WrittenCids().size() == writes) Idle(5);  // the next poll's register request
    std::vector<std::uint8_t> frame;
    {
        std::lock_guard<std::mutex> lock(fake_.mutex);
        frame = fake_.writes.back();
    }
    meters_.Receive(frame, clock_.ReadTick());
    const auto answer = meters_.TakeDelivery(clock_.ReadTick());
    ASSERT_TRUE(answer.has_value());

    TKmpParserClient* client = Client();
    ASSERT_NE(client, nullptr);
    plugins::TParsedDataList list;
    client->Fifo.LockData();
    client->AddData(*answer);
    bool more = false;
    const int consumed = client->FindFrame(more);
    ASSERT_GE(consumed, 0);
    clock_.Advance(1000);
    client->Queue->Tick();
    EXPECT_EQ(WrittenCids().size(), writes + 1);  // nothing sent by the tick
    client->ParseFrame(list);
    client->Fifo.Discard(static_cast<std::size_t>(consumed));
    client->Fifo.Unlock();
    client->FlushSends();

    EXPECT_EQ(Log().find("timeout"), std::string::npos) << Log();
    Packet items;
    for (std::int32_t i = 0; i < list.Count(); ++i) {
        if (!list.Item(i)->IsRowMarker()) items[list.Item(i)->Name] = list.Item(i)->Value.AsUtf8();
    }
    EXPECT_EQ(items["DEVICE_ID"], "63");
    EXPECT_EQ(items.count("SERIAL_NO"), 1u);  // the meter was not forgotten
    EXPECT_EQ(items.count("E1"), 1u);
}

// A client's idle-timeout estimate reads the port's schedules on the packet thread while a
// settings load stops and registers them again on the command thread. Run under TSan/ASan.
TEST_F(Polling, TheExpectedGapIsReadWhileASettingsLoadReplacesTheSchedules) {
    Start(
        "<QUERY><R caption=\"Daily\"><Enabled>1</Enabled><Device>63</Device>"
        "<MethodCron>1</MethodCron><CronTime>0 0 12 * * *</CronTime>"
        "<Response><I><Register>3C</Register></I></Response></R></QUERY>");
    TSerialPortDM* port = plugin_->Ports()[0];
    std::atomic<bool> stop{false};
    std::vector<std::int64_t> gaps;
    std::thread reader([&] {
        while (!stop) gaps.push_back(port->LongestExpectedGap());
    });
    for (int i = 0; i < 40; ++i) ASSERT_EQ(Command("LOAD-SETTINGS-NOW", {}), -2);
    stop = true;
    reader.join();
    // A day between runs, or nothing while the requests are being replaced.
    for (std::int64_t gap : gaps) EXPECT_TRUE(gap == 86'400'000 || gap == -1) << gap;
    EXPECT_EQ(port->LongestExpectedGap(), 86'400'000);
}

// Another master's answers reach the port's thread while the command thread loads the settings
// again and again, switching between two passive requests that both take the energy register.
// Each answer is one packet: a load may neither leave the client without a request for a frame
// nor drop one it has found. Run under TSan as well.
TEST_F(Polling, PassiveAnswersDuringSettingsLoadsAreEachDeliveredOnce) {
    const std::string energy =
        "<QUERY><Listen><Device>63</Device><Response><I><Register>3C</Register></I>"
        "</Response></Listen></QUERY>";
    const std::string energy_and_volume =
        "<QUERY><Listen><Device>63</Device><Response><I><Register>3C</Register></I>"
        "<I><Register>44</Register></I></Response></Listen></QUERY>";
    Start(energy);
    ASSERT_EQ(Command("SAVE-SETTINGS-NOW", {}), -2);
    const auto answer = [](std::uint32_t value) {
        std::vector<std::uint8_t> body = {63,
                                          CidGetRegister,
                                          0x00,
                                          0x3C,
                                          0x02,
                                          0x04,
                                          0x00,
                                          static_cast<std::uint8_t>(value >> 24),
                                          static_cast<std::uint8_t>(value >> 16),
                                          static_cast<std::uint8_t>(value >> 8),
                                          static_cast<std::uint8_t>(value)};
        AppendKmpCrc(body);
        return KmpStuff(body, KmpRespStart);
    };
    constexpr int kAnswers = 2000;
    std::atomic<bool> port_done{false};
    std::atomic<int> loads{0};
    std::uint32_t sent = 0;
    std::thread port([&] {
        // At least kAnswers, and on until some loads have run among them.
        for (; sent < kAnswers || loads < 20; ++sent) Deliver(answer(sent));
        port_done = true;
    });
    std::string failed;
    for (int i = 0; !port_done; ++i) {
        plugin_->Config->lblParams_Caption = i % 2 == 0 ? energy_and_volume : energy;
        if (Command("SAVE-SETTINGS-NOW", {}) != -2 || Command("LOAD-SETTINGS-NOW", {}) != -2) {
            failed = "a settings command failed";
        }
        ++loads;
    }
    port.join();
    EXPECT_EQ(failed, "");
    std::vector<std::int64_t> values;
    for (const Packet& packet : returned_) {
        if (packet.count("E1") != 0) values.push_back(std::stoll(packet.at("E1")));
    }
    std::sort(values.begin(), values.end());
    EXPECT_EQ(std::adjacent_find(values.begin(), values.end()), values.end()) << "one twice";
    EXPECT_EQ(values.size(), sent) << sent - values.size() << " answers lost";
    EXPECT_EQ(returned_.size(), values.size());  // nothing but the answers' packets
}

}  // namespace
}  // namespace zol::kmp
