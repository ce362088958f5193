#include "hostsim/report_page.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <string>

#include "hostsim/report_record.h"

namespace zol::hostsim {
namespace {

std::string ReadFile(const std::string& name) {
    std::ifstream in(std::string(ZOL_TEST_DATA_DIR) + "/report/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(ReportRecord, ReadsPacketLinesAsRunWritesThem) {
    // Captured from a run: raw frame bytes escaped as \u, Latin-1 bytes as UTF-8.
    const auto packet = ParsePacketJson(
        R"({"time": "2026-12-08T00:22:37.506", "port": "SIM1", "source": 1, "items": )"
        R"({"DATA_PACKET": "?\u0010\u0000<\u0004Ò", "DEVICE_ID": 63, "SERIAL_NO": 67012345, )"
        R"("E1": 315904, "E1_UNIT": "kWh", "V1": -2.5e-3, "OK": true, "GONE": null}})");
    ASSERT_TRUE(packet.has_value());
    EXPECT_EQ(packet->time, "2026-12-08T00:22:37.506");
    EXPECT_EQ(packet->port, "SIM1");
    EXPECT_EQ(packet->Find("DATA_PACKET")->text, std::string("?\x10\0<\x04\xC3\x92", 7));
    EXPECT_EQ(packet->Find("SERIAL_NO")->number, 67012345);
    EXPECT_EQ(packet->Find("V1")->number, -0.0025);
    EXPECT_EQ(packet->Find("OK")->kind, ReportValue::Kind::kBoolean);
    EXPECT_EQ(packet->Find("GONE")->kind, ReportValue::Kind::kNull);

    const char* refused[] = {
        "",
        R"({"time": "2026-12-08T00:22:37.506", "port": "P", "items": {"A": 1})",
        R"({"time": "2026-12-08T00:22:37.506", "port": "P", "items": {"A": [1]}})",
        R"({"time": "2026-12-08T00:22:37.506", "port": "P", "items": {"A": "x}})",
        R"({"time": "2026-12-08T00:22:37.506", "port": "P", "items": {"A": 1}} x)",
        R"({"time": "yesterday", "port": "P", "items": {}})",
        R"({"time": "2026-12-08T00:22:37.506", "port": "", "items": {}})",
        R"({"time": "2026-12-08T00:22:37.506", "port": "P"})",
        R"({"time": "2026-12-08T00:22:37.506", "port": "P", "items": {"A": "\u12"}})",
    };
    for (const char* line : refused) {
        SCOPED_TRACE(line);
        EXPECT_FALSE(ParsePacketJson(line).has_value());
    }
}

// Saved runs are outside input: numbers no run writes and texts that are not JSON's are refused
// or read as what they say, never cast out of range (the source id once was) nor thrown.
TEST(ReportRecord, HostileNumbersAndTextsAreRefusedOrReadExactly) {
    const std::string head = R"({"time": "2026-12-08T00:22:37.506", "port": "P", )";
    struct Case {
        const char* name;
        std::string rest;                    // after the head, up to the end of the line
        std::optional<std::int32_t> source;  // nothing: the line is refused
    };
    const Case cases[] = {
        {"fuzzer's float", R"("source": 4.44444e+17, "items": {}})", std::nullopt},
        {"one past int32", R"("source": 2147483648, "items": {}})", std::nullopt},
        {"one below int32", R"("source": -2147483649, "items": {}})", std::nullopt},
        {"uint64 max", R"("source": 18446744073709551615, "items": {}})", std::nullopt},
        {"beyond uint64", R"("source": 1e400, "items": {}})", std::nullopt},
        {"fraction", R"("source": 1.5, "items": {}})", std::nullopt},
        {"int32 max", R"("source": 2147483647, "items": {}})", 2147483647},
        {"int32 min", R"("source": -2147483648, "items": {}})", -2147483647 - 1},
        {"whole float", R"("source": 3.0, "items": {}})", 3},
        {"negative zero", R"("source": -0.0, "items": {}})", 0},
        {"not a number", R"("source": "7", "items": {}})", 0},
        {"nested items", R"("source": 1, "items": {"A": {"B": 1}}})", std::nullopt},
        {"lone surrogate", R"("source": 1, "items": {"A": "\ud800"}})", std::nullopt},
        {"invalid UTF-8",
         "\"source\": 1, \"items\": {\"A\": \"\xB0"
         "C\"}}",
         std::nullopt},
        {"NaN", R"("source": 1, "items": {"A": NaN}})", std::nullopt},
        {"deep", R"("source": 1, "x": )" + std::string(5000, '[') + std::string(5000, ']') + "}",
         std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto packet = ParsePacketJson(head + c.rest);
        ASSERT_EQ(packet.has_value(), c.source.has_value());
        if (packet) {
            EXPECT_EQ(packet->source, *c.source);
        }
    }
    // Values the run never writes but JSON allows are read as they are.
    const auto packet = ParsePacketJson(
        head +
        R"("items": {"BIG": 18446744073709551615, "HUGE": 1e308, "LOW": -9223372036854775808, )"
        R"("SMILE": "\ud83d\ude00", "NUL": "a\u0000b"}})");
    ASSERT_TRUE(packet.has_value());
    EXPECT_EQ(packet->Find("BIG")->number, 18446744073709551615.0);
    EXPECT_EQ(packet->Find("HUGE")->number, 1e308);
    EXPECT_EQ(packet->Find("LOW")->number, -9223372036854775808.0);
    EXPECT_EQ(packet->Find("SMILE")->text, "\xF0\x9F\x98\x80");
    EXPECT_EQ(packet->Find("NUL")->text, std::string("a\0b", 3));
    // A refused line is counted, and the lines around it are kept.
    std::size_t skipped = 0;
    const RunRecord record = ReadRunRecord(head + R"("source": 1, "items": {}})" + "\n" + head +
                                               R"("source": 4.44444e+17, "items": {}})" + "\n",
                                           "", skipped);
    EXPECT_EQ(record.packets.size(), 1u);
    EXPECT_EQ(skipped, 1u);
}

TEST(ReportRecord, ReadsLogLinesAndTellsFaultsApart) {
    struct Case {
        const char* line;
        bool parsed;
        const char* time;
        int severity;
        FaultKind kind;
        const char* port;
    };
    const Case cases[] = {
        {"2026-12-07T06:00:04.000 log[1]: [70/Silent] . Silent. Request timeout", true,
         "2026-12-07T06:00:04.000", 1, FaultKind::kTimeout, ""},
        {"log[1]: Invalid CRC (ECD2,ECD1) [65,10]\r", true, "", 1, FaultKind::kChecksumError, ""},
        {"log[0]: {LOAD} settings missing", true, "", 0, FaultKind::kNone, ""},
        {"2026-12-07T06:01:30.000 hostsim: port LINE2 failed: reset; it is closed", true,
         "2026-12-07T06:01:30.000", 0, FaultKind::kPortClosed, "LINE2"},
        {"hostsim: port COM3 refused a write", true, "", 0, FaultKind::kRefusedWrite, "COM3"},
        {"summary: writes=1 packets=0 timeouts=0 crc_errors=0", false, "", 0, FaultKind::kNone, ""},
        {"log[x]: text", false, "", 0, FaultKind::kNone, ""},
        {"log[1] text", false, "", 0, FaultKind::kNone, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto line = ParseRunLogLine(c.line);
        ASSERT_EQ(line.has_value(), c.parsed);
        if (!line) continue;
        EXPECT_EQ(line->time, c.time);
        EXPECT_EQ(line->severity, c.severity);
        const LogFault fault = ClassifyLogLine(line->text);
        EXPECT_EQ(fault.kind, c.kind);
        EXPECT_EQ(fault.port, c.port);
    }
}

TEST(ReportRecord, TimesCountFromTheEpochAndRefuseImpossibleDates) {
    // Expected values from Python's calendar.timegm.
    EXPECT_EQ(TimeMs("2026-12-07T06:00:00"), 1796623200000);
    EXPECT_EQ(TimeMs("2000-02-29T23:59:59.999"), 951868799999);
    EXPECT_EQ(TimeMs("1899-12-30T14:30:15.000"), -2209109385000);
    for (const char* bad : {"2026-13-01T00:00:00", "2026-12-07 06:00:00", "2026-12-07T06:00:00.5",
                            "2026-12-07T24:00:00", "", "2026-12-07T06:00:0x"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(TimeMs(bad).has_value());
    }
}

// The saved run in tests/data/report: three meters on two ports; LINE1/65 misses four polls,
// LINE2 refuses a write and fails; 63 on LINE1 also answers a clock request.
TEST(ReportPage, ShowsEveryMeterItsChartsAndTheFaultsOfASavedRun) {
    std::size_t skipped = 99;
    // The run's last line tells how full LINE1 was: read back, not skipped, and paneled.
    RunRecord record = ReadRunRecord(
        ReadFile("run.jsonl") + "not json\n" +
            R"({"line_use": {"port": "LINE1", "source": 1, "baud": 1200, "framing": "8N2", )"
            R"("paced": true, "seconds": 2.5, "busy_share": 0.8123, "turnarounds": 7, )"
            R"("turnaround_median_ms": 1.5, "turnaround_p99_ms": 12.25, )"
            R"("turnaround_max_ms": 12.25, "turnaround_bins": [0, 6, 0, 0, 1], )"
            R"("interval_s": 1, "busy_over_time": [0.9, 0.8, 0.7]}})"
            "\n",
        ReadFile("run.log"), skipped);
    EXPECT_EQ(skipped, 1u);
    ASSERT_EQ(record.line_use.size(), 1u);
    record.requests = ConfiguredRequests(ReadFile("site.xml"));
    record.active = ActiveAddresses(ReadFile("site.xml"));
    record.requests.push_back({"67", "passive"});  // listened to, never asked: not "no answer"
    ASSERT_EQ(record.ports.size(), 2u);
    EXPECT_EQ(record.start, "2026-12-07T06:00:00.100");

    const std::string page = ReportPage(record);
    EXPECT_EQ(Count(page, "<details class=\"card\""), 3u);
    EXPECT_EQ(Count(page, "<svg class=\"chart\""), 9u) << "E1, T1 and VALUE per meter; no clock";
    EXPECT_NE(page.find("No answer from address 70 (Silent)."), std::string::npos);
    EXPECT_NE(page.find("Nothing heard from listened-to address 67 (passive)."), std::string::npos);
    // The clock request reads 63 ("063" in the configuration) and only that meter.
    EXPECT_EQ(Count(page, "Heat, Meter clock"), 2u);
    // Clock readings without a date show as times of day.
    EXPECT_EQ(Count(page, "1899-12-30"), 0u);
    EXPECT_EQ(Count(page, "<td>06:00:02.000</td>"), 1u);
    // LINE1/65's lines are broken once by the missed polls; LINE2/63 stops without a break.
    const std::regex line_path("class=\"line\" d=\"([^\"]*)\"");
    std::vector<std::size_t> moves;
    for (auto it = std::sregex_iterator(page.begin(), page.end(), line_path);
         it != std::sregex_iterator(); ++it) {
        moves.push_back(Count((*it)[1].str(), "M"));
    }
    ASSERT_EQ(moves.size(), 9u);
    EXPECT_EQ(moves[0], 1u);
    EXPECT_EQ(moves[3], 2u);
    EXPECT_EQ(moves[6], 1u);
    EXPECT_EQ(Count(page, "class=\"f-closed\" d="), 1u);
    EXPECT_EQ(Count(page, "class=\"f-write\" d="), 1u);
    EXPECT_EQ(Count(page, "class=\"f-timeout\" d="), 10u);
    EXPECT_NE(page.find("10 timeouts"), std::string::npos);
    for (const char* part :
         {"<h2>Line use</h2>", "<td>LINE1</td><td>1200 baud 8N2</td><td class=\"num\">81.2%</td>",
          "<td class=\"num\">1.5 ms</td><td class=\"num\">12.2 ms</td>",
          "<svg class=\"chart busy\" data-port=\"LINE1\"",
          "<svg class=\"chart turnaround\" data-port=\"LINE1\""}) {
        EXPECT_EQ(Count(page, part), 1u) << part;
    }
    // Three stretches of busy share; two bins of turnarounds with a count.
    const std::regex bars("class=\"bars\" d=\"([^\"]*)\"");
    std::vector<std::size_t> bar_counts;
    for (auto it = std::sregex_iterator(page.begin(), page.end(), bars);
         it != std::sregex_iterator(); ++it) {
        bar_counts.push_back(Count((*it)[1].str(), "M"));
    }
    EXPECT_EQ(bar_counts, (std::vector<std::size_t>{3, 2}));
}

// A run writes clock and date registers as "HH:MM:SS" and "YYYY-MM-DD" with their unit items:
// the page tables them as clock readings (not charted), a text register without such a unit is
// neither, and the hexadecimal frame stays out of the card.
TEST(ReportPage, TablesClockAndDateRegistersByTheirUnit) {
    std::string lines;
    for (const char* second : {"15", "25", "35"}) {
        lines += std::string(R"({"time": "2026-12-07T14:30:)") + second +
                 R"(.000", "port": "P1", "source": 1, "items": {"DATA_PACKET": "3F 10", )"
                 R"("DEVICE_ID": 63, "SERIAL_NO": 67012345, "CLOCK": "14:30:)" +
                 second +
                 R"(", "CLOCK_UNIT": "hh:mm:ss", "DATE": "2026-12-07", "DATE_UNIT": "yy:mm:dd", )"
                 R"("NOTE": "14:30", "E1": 3159, "E1_UNIT": "kWh"}})" +
                 "\n";
    }
    std::size_t skipped = 99;
    const RunRecord record = ReadRunRecord(lines, "", skipped);
    EXPECT_EQ(skipped, 0u);
    ASSERT_EQ(record.packets.size(), 3u);
    EXPECT_EQ(record.packets[0].Find("CLOCK")->text, "14:30:15");

    const std::string page = ReportPage(record);
    EXPECT_EQ(Count(page, "<svg class=\"chart\""), 1u);
    EXPECT_EQ(Count(page, "data-register=\"E1\""), 1u);
    EXPECT_EQ(
        Count(page, "<table class=\"clock\"><tr><th>Received</th><th>CLOCK</th><th>DATE</th></tr>"),
        1u);
    EXPECT_EQ(Count(page, "<td>14:30:25</td><td>14:30:25</td><td>2026-12-07</td>"), 1u);
    EXPECT_EQ(Count(page, "<th>NOTE</th>"), 0u);
    EXPECT_EQ(Count(page, "3F 10"), 0u);
}

// The verdict of every meter of the saved run, from the packets and the log alone: LINE1/65's
// timeouts and damaged reply are its own (no other port heard 65), 70's cannot be put on a port
// (both lines poll it, neither heard it), and the meters no packet came from are listed apart.
TEST(ReportPage, GivesEveryMeterItsOwnCountsAndVerdict) {
    std::size_t skipped = 0;
    RunRecord record = ReadRunRecord(ReadFile("run.jsonl"), ReadFile("run.log"), skipped);
    record.requests = ConfiguredRequests(ReadFile("site.xml"));
    record.active = ActiveAddresses(ReadFile("site.xml"));
    const std::string page = ReportPage(record);
    const auto card = [&](const std::string& port, const std::string& address) {
        const auto at = page.find("data-port=\"" + port + "\" data-address=\"" + address + "\"");
        return at == std::string::npos ? std::string()
                                       : page.substr(at, page.find("</table>", at) - at);
    };
    // Requests written are not in the saved files: "-"; then packets, empty packets, timeouts
    // and checksum errors, each counted above zero in red.
    const std::string line1_65 =
        "<td class=\"num\">&ndash;</td><td class=\"num\">8</td><td class=\"num\">0</td>"
        "<td class=\"num bad\">4</td><td class=\"num bad\">1</td>";
    EXPECT_NE(card("LINE1", "65").find("v-faults\">faults</span>"), std::string::npos);
    EXPECT_NE(card("LINE1", "65").find(line1_65), std::string::npos) << card("LINE1", "65");
    EXPECT_NE(card("LINE1", "63").find("v-good\">good</span>"), std::string::npos);
    EXPECT_NE(card("LINE2", "63").find("v-good\">good</span>"), std::string::npos);
    const auto table = page.substr(page.find("<table class=\"unheard\">"));
    const std::string rows = table.substr(0, table.find("</table>"));
    for (const char* row :
         {"<tr><td>LINE1</td><td>70</td><td><span class=\"verdict v-none\">no packet</span>",
          "<tr><td>LINE2</td><td>65</td><td><span class=\"verdict v-none\">no packet</span>",
          "<tr><td>LINE2</td><td>70</td><td><span class=\"verdict v-none\">no packet</span>",
          "<tr><td>not known</td><td>70</td><td><span class=\"verdict v-none\">no "
          "answer</span></td><td class=\"num\">&ndash;</td><td class=\"num bad\">6</td>"}) {
        EXPECT_NE(rows.find(row), std::string::npos) << row << "\n" << rows;
    }
    EXPECT_EQ(Count(rows, "<tr><td>"), 4u);
    // Severity in words; no banner for a run that went its course.
    EXPECT_NE(page.find("<td title=\"1\">warning</td>"), std::string::npos);
    EXPECT_EQ(page.find("class=\"bad interrupted\""), std::string::npos);
}

// A run cut short says so at the top, with the time from its own log line; a plug-in line that
// happens to say "interrupted" does not count.
TEST(ReportPage, AnInterruptedRunSaysSoAndWhen) {
    std::size_t skipped = 0;
    const std::string log =
        "2026-12-07T06:00:00.000 log[0]: interrupted by the meter\n"
        "2026-12-07T06:00:12.345 hostsim: interrupted: 0:12 elapsed, 0:48 left, 3 packets, "
        "meters heard 1 of 2\n";
    RunRecord record = ReadRunRecord(ReadFile("run.jsonl"), log, skipped);
    ASSERT_TRUE(record.interrupted.has_value());
    EXPECT_EQ(*record.interrupted, "2026-12-07T06:00:12.345");
    EXPECT_NE(ReportPage(record).find("<p class=\"bad interrupted\">Interrupted at "
                                      "2026-12-07T06:00:12.345: the run was cut short"),
              std::string::npos);
    record = ReadRunRecord(ReadFile("run.jsonl"), log.substr(0, log.find('\n') + 1), skipped);
    EXPECT_FALSE(record.interrupted.has_value());
}

TEST(ReportPage, EscapesWhatTheMetersAndPortsSay) {
    RunRecord record;
    record.ports.push_back({"<b>P&1</b>", "tcp:\"x\"", std::nullopt, 0});
    record.packets.push_back(*ParsePacketJson(
        R"({"time": "2026-12-07T06:00:00.000", "port": "<b>P&1</b>", "source": 1, "items": )"
        R"({"DEVICE_ID": 1, "NOTE": "<script>alert(1)</script>"}})"));
    record.log.push_back({"", 0, "</td><img src=x>"});
    const std::string page = ReportPage(record);
    EXPECT_EQ(page.find("<b>P&1"), std::string::npos);
    EXPECT_EQ(page.find("<script>alert"), std::string::npos);
    EXPECT_EQ(page.find("<img"), std::string::npos);
    EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_EQ(Count(page, "<script"), 1u) << "only the page's own print helper";
}

}  // namespace
}  // namespace zol::hostsim
