#include "kmp/request_config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/fake_clock.h"
#include "scheduler/cron_test_support.h"

namespace zol::kmp {
namespace {

class Host : public RequestLoadHost {
   public:
    bool AcceptsRequests() const noexcept override { return accepts; }
    KmpCatalogue CatalogueInUse() const noexcept override { return catalogue; }
    void SetPassiveCount(std::int32_t count) noexcept override { passive = count; }
    std::int32_t PassiveRequestCount() const noexcept override { return passive; }
    bool accepts = true;
    KmpCatalogue catalogue = KmpCatalogue::kHeat;
    std::int32_t passive = -1;
};

struct Loaded {
    std::vector<std::string> addresses;  // AddressText of each request, in list order
    std::vector<const TRequestItem*> items;
};

Loaded Collect(parser::TBasicRequestList& list) {
    Loaded loaded;
    common::SharedSection lock(list.Lock());
    for (std::int32_t i = 0; i < list.CountLocked(); ++i) {
        const auto* item = static_cast<const TRequestItem*>(list.Item(i));
        loaded.items.push_back(item);
        loaded.addresses.push_back(item->Parameters.AddressText);
    }
    return loaded;
}

std::string Entry(const std::string& body) {
    return "<Request>" + body +
           "<Response><Item><Register>3C</Register></Item></Response></Request>";
}

TEST(RequestConfig, DeviceListsAreSortedAsTextCleanedAndDeduplicated) {
    struct Case {
        const char* device;
        std::vector<std::string> addresses;
        std::vector<int> numbers;
    };
    const Case cases[] = {
        {"3;1,3, 2", {"1", " 2", "3"}, {1, 2, 3}},
        {"x;-5", {"1"}, {1}},
        {"10;9", {"10", "9"}, {10, 9}},
        {"$1F;257; 0 ;1 0", {"$1F", " 0 ", "257"}, {31, 0, 1}},
        {"99999999999999999999", {"1"}, {1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.device);
        TDataSourceCfg config;
        config.lblParams_Caption =
            "<QUERY>" + Entry(std::string("<Device>") + c.device + "</Device>") + "</QUERY>";
        parser::TBasicRequestList list;
        LoadRequests(nullptr, &config, list, nullptr);
        const Loaded loaded = Collect(list);
        EXPECT_EQ(loaded.addresses, c.addresses);
        std::vector<int> numbers;
        for (const auto* item : loaded.items) numbers.push_back(item->Parameters.Address);
        EXPECT_EQ(numbers, c.numbers);
    }
}

TEST(RequestConfig, RegistersAreNamedFromTheCatalogueInUse) {
    TDataSourceCfg config;
    config.lblParams_Caption =
        "<QUERY><Request><Enabled>1</Enabled><Device>5</Device><Timeout>900</Timeout>"
        "<Response><A><Register>3C</Register></A><B><Custom>1003</Custom><Name>Today</Name></B>"
        "<C><Register>zz</Register></C><D><Register>0001</Register><Name>X</Name></D></Response>"
        "</Request><NoRegisters><Device>6</Device></NoRegisters>"
        "<Passive><Device>7;8</Device><Response/></Passive></QUERY>";
    Host host;
    parser::TBasicRequestList list;
    LoadRequests(&host, &config, list, nullptr);
    EXPECT_EQ(host.passive, 1);  // one passive entry, however many addresses it has
    const Loaded loaded = Collect(list);
    ASSERT_EQ(loaded.addresses, (std::vector<std::string>{"5", "7", "8"}));
    const TRequestItem& request = *loaded.items[0];
    EXPECT_EQ(request.Parameters.Timeout, 900);
    EXPECT_EQ(request.Parameters.Cid, 0x10);
    EXPECT_EQ(request.Parameters.Group, 0);
    EXPECT_EQ(loaded.items[1]->Parameters.Group, 2);
    EXPECT_EQ(request.MaxRetries, 3);
    ASSERT_EQ(request.ResponseCount(), 4u);
    const auto& e1 = request.Response(0).Parameters;
    EXPECT_EQ(e1.Register, 0x3C);
    EXPECT_EQ(e1.Name, "E1");
    EXPECT_EQ(e1.Caption, "Energy register 1: Heat energy");
    const auto& today = request.Response(1).Parameters;
    EXPECT_EQ(today.Register, 1003);
    EXPECT_EQ(today.Name, "Today");
    ASSERT_NE(today.Info, nullptr);
    EXPECT_NE(today.Info->Decoder, nullptr);  // read as a date
    const auto& unusable = request.Response(2).Parameters;
    EXPECT_EQ(unusable.Register, 0);
    EXPECT_EQ(unusable.Name, "VALUE");
    const auto& unknown = request.Response(3).Parameters;
    EXPECT_EQ(unknown.Info, nullptr);
    EXPECT_EQ(unknown.Caption, "X");
    EXPECT_EQ(&request.Response(0).Owner->Parameters, &request.Parameters);

    host.catalogue = KmpCatalogue::kElectricity;
    LoadRequests(&host, &config, list, nullptr);
    const Loaded electricity = Collect(list);
    EXPECT_EQ(electricity.items[0]->Parameters.CatalogueKind, 1);
    EXPECT_NE(electricity.items[0]->Response(0).Parameters.Caption,
              "Energy register 1: Heat energy");
    // Electricity rows have no code: an unnamed register is still published, under its id.
    EXPECT_EQ(electricity.items[0]->Response(0).Parameters.Name, "REG_003C");
}

TEST(RequestConfig, APortQueueGetsItsScheduleMinimumIntervalAndReset) {
    platform::FakeClock clock{1'000'000, scheduler::testing::LocalMs("2026-03-01T07:00:00")};
    platform::ScopedFakeClock installed{clock};
    TDataSourceCfg config;
    config.spMinInt_Value = 250.9;
    config.lblParams_Caption =
        "<QUERY>" +
        Entry(
            "<Enabled>1</Enabled><Device>1;2</Device><MethodAtTime>1</MethodAtTime>"
            "<AtTime>8:00;9:00</AtTime>") +
        Entry("<Enabled>1</Enabled><MethodPoll>1</MethodPoll><PollInterval>20</PollInterval>") +
        "</QUERY>";
    Host host;
    parser::TQueueControllerTimer queue;
    LoadRequests(&host, &config, queue.Requests, &queue);
    EXPECT_EQ(queue.MinInterval, 250);
    EXPECT_EQ(queue.Events.Count(), 2u);
    EXPECT_EQ(queue.TickInterval, 20u);
    EXPECT_TRUE(queue.Timer->Enabled());
    const Loaded loaded = Collect(queue.Requests);
    ASSERT_EQ(loaded.items.size(), 3u);
    EXPECT_FALSE(loaded.items[0]->ScheduleId.empty());
    EXPECT_EQ(loaded.items[0]->ScheduleId, loaded.items[1]->ScheduleId);
    EXPECT_TRUE(loaded.items[2]->ScheduleId.empty());

    // Loading again replaces the schedules; a plug-in that takes no requests leaves none.
    LoadRequests(&host, &config, queue.Requests, &queue);
    EXPECT_EQ(queue.Events.Count(), 2u);
    host.accepts = false;
    LoadRequests(&host, &config, queue.Requests, &queue);
    EXPECT_EQ(queue.Requests.Count(), 0);
    EXPECT_FALSE(queue.Timer->Enabled());
}

}  // namespace
}  // namespace zol::kmp
