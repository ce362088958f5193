#include "parser/parser_DataSourceDM_Clients.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/fake_clock.h"
#include "platform/message_window.h"
#include "platform/system.h"
#include "scheduler/cron_test_support.h"

namespace zol::parser {
namespace {

using plugins::TPluginCallRec;

// A client whose frames are single bytes: FindFrame takes one byte of the buffer, ParseFrame
// records it, and the byte 0xFF asks the data source to stop the packet.
class ByteClient : public TCustomParserScheduledClient {
   public:
    using TCustomParserScheduledClient::TCustomParserScheduledClient;
    int FindFrame(bool&) override {
        const std::span<std::uint8_t> held = Fifo.LockData();
        const int found = held.empty() ? -1 : 1;
        if (!held.empty()) current_ = held[0];
        Fifo.Unlock();
        return found;
    }
    int ParseFrame(plugins::TParsedDataList&) override {
        parsed.push_back(current_);
        return current_ == 0xFF ? TDataSourceScheduledWithClients::kStopPacket : 0;
    }
    std::vector<std::uint8_t> parsed;

   private:
    std::uint8_t current_ = 0;
};

TPluginCallRec Packet(std::int32_t client_id, const char* source_name,
                      std::vector<std::uint8_t>* bytes = nullptr, std::uint32_t notice = 0) {
    TPluginCallRec packet{};
    packet.RecSize = plugins::kCallRecSize;
    packet.SourceId = 1;
    packet.ClientId = client_id;
    std::memcpy(packet.SourceName, source_name, std::strlen(source_name));
    if (notice != 0) {
        packet.InData.Kind = kNoticeKind;
        packet.InData.Value.Number = notice;
    } else if (bytes != nullptr) {
        packet.InData.Kind = plugins::kDataRawBytes;
        packet.InData.Value.Ptr = bytes->data();
        packet.InData.Size = static_cast<std::int32_t>(bytes->size());
    }
    return packet;
}

class DataSource : public ::testing::Test {
   protected:
    platform::FakeClock clock_{1'000'000, scheduler::testing::LocalMs("2026-03-01T11:59:00")};
    platform::ScopedFakeClock installed_{clock_};
    TDataSourceScheduledWithClients source_{nullptr};

    void SetUp() override {
        source_.ClientClass = [](TDataSourceScheduledWithClients& source,
                                 const TPluginCallRec& packet) {
            return std::unique_ptr<TCustomParserScheduledClient>(
                std::make_unique<ByteClient>(source, packet));
        };
    }
    ByteClient* Client(std::int32_t id) {
        ByteClient* found = nullptr;
        source_.Clients.ForEach([&](std::intptr_t, TCustomParserClient& client) {
            if (client.ClientId == id) found = static_cast<ByteClient*>(&client);
            return found == nullptr;
        });
        return found;
    }
    void Advance(std::uint64_t ms, std::uint64_t step = 100) {
        for (std::uint64_t t = 0; t < ms; t += step) {
            clock_.Advance(step);
            platform::DispatchPendingMessages();
        }
    }
    void AddMasterRequest(TRequestMethod method, std::int32_t interval) {
        auto item = std::make_unique<TBasicRequestItem>();
        item->Enabled = true;
        item->Method = item->MethodParams.Method = method;
        item->PollInterval = interval;
        if (method == TRequestMethod::rmCron) {
            item->MethodParams.CronParams = CronParamsFromText("0 0 3 * * *");
            source_.Queue->AddSchedules(*item);
        }
        source_.Queue->Requests.Add(std::move(item));
    }
};

TEST_F(DataSource, PacketsFindOrMakeTheirClientAndParseEveryFrameUpToAStop) {
    std::vector<std::uint8_t> bytes{1, 2, 0xFF, 3};
    TPluginCallRec packet = Packet(7, "COM3:1", &bytes);
    EXPECT_EQ(source_.DispatchPacket(packet), 0);
    ByteClient* client = Client(7);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->BaseName, "COM3");
    EXPECT_EQ(client->parsed, (std::vector<std::uint8_t>{1, 2, 0xFF}));
    EXPECT_EQ(client->Fifo.Count(), 1u);  // examined with the next packet
    std::vector<std::uint8_t> more{4};
    packet = Packet(7, "COM3:1", &more);
    source_.DispatchPacket(packet);
    EXPECT_EQ(client->parsed, (std::vector<std::uint8_t>{1, 2, 0xFF, 3, 4}));
    EXPECT_EQ(source_.Clients.Count(), 1);
    EXPECT_TRUE(BaseNameOf("ABC").empty());
}

TEST_F(DataSource, DataAfterALongSilenceStartsAFreshBuffer) {
    std::vector<std::uint8_t> bytes{9};
    TPluginCallRec packet = Packet(1, "A", &bytes);
    source_.DispatchPacket(packet);
    ByteClient* client = Client(1);
    client->DataGapReset = 15000;
    client->Fifo.Write(std::vector<std::uint8_t>{0xFF, 5});  // a half frame left behind
    clock_.Advance(20000);
    source_.DispatchPacket(packet);
    EXPECT_EQ(client->parsed, (std::vector<std::uint8_t>{9, 9}));
}

TEST_F(DataSource, APlaceholderIsAdoptedByTheFirstPacketButRemovedByAConnectNotice) {
    TPluginCallRec placeholder = Packet(0, "__UT__0000ABCD");
    TCustomParserScheduledClient* made =
        source_.FindOrCreateClient(placeholder, false, &source_.ClientClass);
    ASSERT_NE(made, nullptr);
    EXPECT_TRUE(made->IsPlaceholder);
    source_.Clients.HasPlaceholder = true;
    std::vector<std::uint8_t> bytes{1};
    TPluginCallRec data = Packet(5, "COM1", &bytes);
    source_.DispatchPacket(data);
    EXPECT_EQ(source_.Clients.Count(), 1);
    EXPECT_EQ(made->ClientId, 5);  // the same client, taken over
    EXPECT_FALSE(made->IsPlaceholder);

    TDataSourceScheduledWithClients other(nullptr);
    other.ClientClass = source_.ClientClass;
    other.FindOrCreateClient(placeholder, false, &other.ClientClass);
    other.Clients.HasPlaceholder = true;
    TPluginCallRec connect = Packet(9, "TCP:9", nullptr, kNoticeConnected);
    other.DispatchPacket(connect);
    ASSERT_EQ(other.Clients.Count(), 1);
    other.Clients.ForEach([](std::intptr_t key, TCustomParserClient& client) {
        EXPECT_EQ(key, 9);
        EXPECT_TRUE(client.AutoExpire);
        EXPECT_TRUE(client.IsActive());
        return true;
    });
}

TEST_F(DataSource, ADisconnectedClientExpiresAfterATenthOfItsIdleTimeout) {
    AddMasterRequest(TRequestMethod::rmOnce, 0);
    TPluginCallRec connect = Packet(3, "TCP:3", nullptr, kNoticeConnected);
    source_.DispatchPacket(connect);
    TPluginCallRec never = Packet(4, "TCP:4", nullptr, kNoticeConnected);
    source_.DispatchPacket(never);
    Client(4)->IdleTimeout = kNeverExpires;
    EXPECT_EQ(Client(3)->IdleTimeout, 60000u);
    TPluginCallRec gone = Packet(3, "TCP:3", nullptr, kNoticeDisconnected);
    source_.DispatchPacket(gone);
    TPluginCallRec gone_too = Packet(4, "TCP:4", nullptr, kNoticeDisconnected);
    source_.DispatchPacket(gone_too);
    Advance(5500);
    EXPECT_NE(Client(3), nullptr);
    Advance(1000);
    EXPECT_EQ(Client(3), nullptr);
    EXPECT_NE(Client(4), nullptr);
}

// Housekeeping only expires clients, so its round runs only while some client can expire: on
// a large site of clients that never expire it would visit every data source three times a
// second for nothing.
TEST_F(DataSource, HousekeepingRunsOnlyWhileAClientCanExpire) {
    AddMasterRequest(TRequestMethod::rmOnce, 0);
    std::vector<std::uint8_t> bytes{1};
    TPluginCallRec data = Packet(2, "COM1", &bytes);
    source_.DispatchPacket(data);
    ASSERT_NE(Client(2), nullptr);
    EXPECT_FALSE(source_.HousekeepingTimer->Enabled());

    TPluginCallRec connect = Packet(3, "TCP:3", nullptr, kNoticeConnected);
    source_.DispatchPacket(connect);
    EXPECT_TRUE(source_.HousekeepingTimer->Enabled());
    TPluginCallRec gone = Packet(3, "TCP:3", nullptr, kNoticeDisconnected);
    source_.DispatchPacket(gone);
    Advance(6500);
    EXPECT_EQ(Client(3), nullptr);
    EXPECT_NE(Client(2), nullptr);
    EXPECT_FALSE(source_.HousekeepingTimer->Enabled());
}

TEST_F(DataSource, IdleTimeoutsGrowWithTheLongestExpectedGap) {
    AddMasterRequest(TRequestMethod::rmPoll, 600000);
    TPluginCallRec connect = Packet(3, "TCP:3", nullptr, kNoticeConnected);
    source_.DispatchPacket(connect);
    EXPECT_EQ(Client(3)->IdleTimeout, 780000u);
    EXPECT_EQ(Client(3)->Queue->Requests.Count(), 1);

    TDataSourceScheduledWithClients daily(nullptr);
    daily.ClientClass = source_.ClientClass;
    auto item = std::make_unique<TBasicRequestItem>();
    item->Method = item->MethodParams.Method = TRequestMethod::rmCron;
    item->MethodParams.CronParams = CronParamsFromText("0 0 3 * * *");
    daily.Queue->AddSchedules(*item);
    daily.Queue->Requests.Add(std::move(item));
    EXPECT_EQ(daily.LongestExpectedGap(), 86'400'000);
    daily.DispatchPacket(connect);
    daily.Clients.ForEach([](std::intptr_t, TCustomParserClient& client) {
        EXPECT_EQ(client.IdleTimeout, 112'320'000u);
        return true;
    });
}

TEST_F(DataSource, AFiredScheduleMarksTheClientsCopiesPending) {
    AddMasterRequest(TRequestMethod::rmCron, 0);
    TPluginCallRec connect = Packet(3, "TCP:3", nullptr, kNoticeConnected);
    source_.DispatchPacket(connect);
    std::vector<std::string> sent;
    Client(3)->Queue->OnSendRequest = [&](TQueueController&, TBasicRequestItem&, std::uint32_t&,
                                          std::int32_t&) {
        sent.push_back("cron");
        return true;
    };
    constexpr std::uint64_t kHour = 3600 * 1000;
    Advance(15 * kHour, 60000);  // 11:59 to 02:59 the next day
    EXPECT_TRUE(sent.empty());
    Advance(kHour, 60000);
    EXPECT_EQ(sent, (std::vector<std::string>{"cron"}));
}

// A client made by a connection notice on a thread that never handles window messages (the
// host's port thread) polls like any other: its queue ticks on the data source's own thread, and
// data handed over on yet another thread reaches it.
TEST_F(DataSource, AClientMadeOnAThreadWithoutAMessageLoopPollsOnTheDataSourcesThread) {
    AddMasterRequest(TRequestMethod::rmPoll, 1000);
    std::thread port([&] {
        TPluginCallRec connect = Packet(3, "TCP:3", nullptr, kNoticeConnected);
        source_.DispatchPacket(connect);
    });
    port.join();
    ByteClient* client = Client(3);
    ASSERT_NE(client, nullptr);
    std::vector<std::uint32_t> sent_on;
    client->Queue->OnSendRequest = [&](TQueueController&, TBasicRequestItem&, std::uint32_t&,
                                       std::int32_t&) {
        sent_on.push_back(platform::CurrentThreadId());
        return true;
    };
    Advance(3000);
    ASSERT_FALSE(sent_on.empty());
    for (const std::uint32_t thread : sent_on) EXPECT_EQ(thread, platform::CurrentThreadId());
    std::thread data([&] {
        std::vector<std::uint8_t> bytes{7};
        TPluginCallRec packet = Packet(3, "TCP:3", &bytes);
        source_.DispatchPacket(packet);
    });
    data.join();
    EXPECT_EQ(client->parsed, (std::vector<std::uint8_t>{7}));
    EXPECT_EQ(source_.Clients.Count(), 1);
}

}  // namespace
}  // namespace zol::parser
