#include "hostsim/line_use.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "hostsim/report_record.h"

namespace zol::hostsim {
namespace {

// A request frame to `address` (start byte, address, CID, end).
std::vector<std::uint8_t> Frame(std::uint8_t address) { return {0x80, address, 0x10, 0x0D}; }

// What the host saw of a line: a write of a request to an address, or a chunk received.
struct Event {
    char kind;  // 'W' write, 'R' received
    double at_ms;
    std::uint8_t address_or_count;
};

TEST(LineUse, CountsTurnaroundsOnlyWhenTheNextRequestWasDue) {
    // Addresses 1 and 2 are polled every 100 ms; 3 has no poll interval (a cron request).
    const std::map<std::uint8_t, std::uint32_t> intervals = {{1, 100}, {2, 100}};
    struct Case {
        const char* what;
        std::vector<Event> events;
        std::uint32_t counted;
        double median, p99, max;
    } cases[] = {
        {"queued requests after their replies (a first write is not counted)",
         {{'W', 0, 1},
          {'R', 40, 9},
          {'W', 41, 2},
          {'R', 150, 9},
          {'W', 153, 1},
          {'R', 190, 9},
          {'W', 200, 2}},
         2,
         3,
         10,
         10},
        {"a request its timer sent on an idle line",
         {{'W', 0, 1}, {'R', 40, 9}, {'W', 41, 2}, {'R', 80, 9}, {'W', 100, 1}},
         0,
         0,
         0,
         0},
        {"a write after a timeout is no turnaround; the next reply's is",
         {{'W', 0, 1}, {'W', 2000, 1}, {'R', 2150, 9}, {'W', 2200, 1}},
         1,
         50,
         50,
         50},
        {"a meter without a poll interval",
         {{'W', 0, 3}, {'R', 500, 9}, {'W', 600, 3}},
         0,
         0,
         0,
         0},
        {"a reply in chunks ends with its last one",
         {{'W', 0, 1}, {'R', 120, 5}, {'R', 150, 5}, {'W', 151.5, 1}},
         1,
         1.5,
         1.5,
         1.5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LineUse use(LineTiming{}, intervals);
        for (const auto& e : c.events) {
            if (e.kind == 'W') {
                const auto frame = Frame(e.address_or_count);
                use.Written(e.at_ms, frame);
            } else {
                use.Received(e.at_ms, e.address_or_count);
            }
        }
        const LineUseFigures f = use.Figures(3000);
        EXPECT_EQ(f.turnarounds, c.counted);
        EXPECT_DOUBLE_EQ(f.median_ms, c.median);
        EXPECT_DOUBLE_EQ(f.p99_ms, c.p99);
        EXPECT_DOUBLE_EQ(f.max_ms, c.max);
        std::uint32_t binned = 0;
        for (const auto n : f.turnaround_bins) binned += n;
        EXPECT_EQ(binned, c.counted);
    }
}

TEST(LineUse, PercentilesByNearestRankAndBusyShareOverTime) {
    // One meter always due: turnarounds of 1, 2, ... 100 ms.
    LineUse use(LineTiming{}, {{1, 10}});
    double t = 0;
    use.Written(t, Frame(1));
    for (int i = 1; i <= 100; ++i) {
        t += 50;
        use.Received(t, 1);
        t += i;
        use.Written(t, Frame(1));
    }
    const LineUseFigures f = use.Figures(t);
    EXPECT_EQ(f.turnarounds, 100u);
    EXPECT_EQ(f.median_ms, 50);
    EXPECT_EQ(f.p99_ms, 99);
    EXPECT_EQ(f.max_ms, 100);
    // Bins up to 1, 2, 5, 10, 20, 50, 100 ms.
    EXPECT_EQ(f.turnaround_bins, (std::vector<std::uint32_t>{1, 1, 3, 5, 10, 30, 50, 0, 0, 0, 0}));

    // 1200 baud 8N2: 11/1200 s a byte. Ten bytes written at 0 and twenty received at 1100
    // (916.7 to 1100 ms on the line) in a run of 2.5 s.
    LineUse busy(LineTiming{}, {});
    busy.Written(0, std::vector<std::uint8_t>(10, 0x55));
    busy.Received(1100, 20);
    const double byte_ms = 11.0 / 1.2;
    const LineUseFigures b = busy.Figures(2500);
    EXPECT_NEAR(b.busy_ms, 30 * byte_ms, 1e-9);
    EXPECT_NEAR(b.busy_share, 30 * byte_ms / 2500, 1e-12);
    ASSERT_EQ(b.busy_over_time.size(), 3u);
    EXPECT_NEAR(b.busy_over_time[0], (10 * byte_ms + 1000 - (1100 - 20 * byte_ms)) / 1000, 1e-9);
    EXPECT_NEAR(b.busy_over_time[1], 100.0 / 1000, 1e-9);
    EXPECT_EQ(b.busy_over_time[2], 0);
    // Fewer points: stretches of two seconds, the last one half as long.
    const LineUseFigures two = busy.Figures(2500, 2);
    EXPECT_EQ(two.interval_s, 2);
    ASSERT_EQ(two.busy_over_time.size(), 2u);
    EXPECT_NEAR(two.busy_over_time[0], 30 * byte_ms / 2000, 1e-9);
}

TEST(LineUse, PortTimingAndTheJsonLineReadBack) {
    const struct {
        const char* connection;
        std::uint32_t baud;
        bool paced;
    } ports[] = {{"sim:63/baud=1200/latency=50,65", 1200, true},
                 {"sim:63,65/baud=2400", 2400, true},
                 {"sim:1,2,baud=4800,latency=50", 4800, true},
                 {"sim:63/pace=600,65", 9600, false},
                 {"sim:63/xbaud=300", 9600, false},
                 {"COM3", 9600, true},
                 {"rfc2217:host:4000", 9600, true}};
    for (const auto& p : ports) {
        const LineTiming timing = PortLineTiming(p.connection, 9600);
        EXPECT_EQ(timing.baud, p.baud) << p.connection;
        EXPECT_EQ(timing.paced, p.paced) << p.connection;
    }

    LineUse use(PortLineTiming("sim:1", 1200), {{1, 10}});
    use.Written(0, Frame(1));
    use.Received(100, 30);
    use.Written(102.5, Frame(1));
    LineUseFigures f = use.Figures(1500);
    f.port = "L1";
    f.source = 2;
    const std::string json = LineUseJson(f);
    for (const char* key :
         {"\"line_use\"", "\"port\": \"L1\"", "\"paced\": false", "\"busy_share\"",
          "\"turnaround_median_ms\": 2.5", "\"turnaround_p99_ms\"", "\"turnaround_max_ms\"",
          "\"busy_over_time\""}) {
        EXPECT_NE(json.find(key), std::string::npos) << key << " in " << json;
    }
    EXPECT_EQ(LineUseLine(f),
              "line L1: busy 23.2% of 1.5 s (1200 baud 8N2; not paced: its bytes at that speed); "
              "turnaround median 2.5 ms, 99th percentile 2.5 ms, max 2.5 ms (1 reply)");
    const auto back = ParseLineUseJson(json);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->port, "L1");
    EXPECT_EQ(back->source, 2);
    EXPECT_EQ(back->bytes_received, 30u);
    EXPECT_EQ(back->turnarounds, 1u);
    EXPECT_NEAR(back->busy_share, f.busy_share, 1e-4);
    EXPECT_EQ(back->busy_over_time.size(), 2u);
    // Neither form is taken for the other, nor is a line that is not JSON.
    EXPECT_FALSE(ParsePacketJson(json).has_value());
    EXPECT_FALSE(
        ParseLineUseJson(R"({"time": "2026-12-08T00:22:37.506", "port": "P", "items": {}})"));
    EXPECT_FALSE(ParseLineUseJson(R"({"line_use": {"port": 5}})"));
    EXPECT_FALSE(ParseLineUseJson("{\"line_use\": "));
}

}  // namespace
}  // namespace zol::hostsim
