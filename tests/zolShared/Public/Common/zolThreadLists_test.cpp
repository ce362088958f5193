#include "zolShared/Public/Common/zolThreadLists.h"

#include <gtest/gtest.h>

namespace zol::common {
namespace {

TEST(LogStore, RepeatedLinesFoldIntoOneWithTheirCount) {
    TLogDataList log;
    for (int i = 0; i < 5; ++i) log.AddLine("same");
    log.AddLine("other");
    EXPECT_EQ(log.Count(), 2u);
    EXPECT_EQ(log.Text(), "same x5\r\nother\r\n");
}

TEST(LogStore, TakingAFoldedLastLineWritesItsSuffixOnce) {
    TLogDataList log;
    log.AddLine("a");
    log.AddLine("a");
    log.AddLine("a");
    std::int32_t length = 0;
    char small[4];
    EXPECT_EQ(log.Take(small, sizeof small, length), 0);
    EXPECT_EQ(length, 6);
    char big[64];
    ASSERT_EQ(log.Take(big, sizeof big, length), 6);
    EXPECT_EQ(std::string(big, 6), "a x3\r\n");
    EXPECT_EQ(log.Count(), 0u);
    EXPECT_EQ(log.Take(big, sizeof big, length), 0);
    EXPECT_EQ(length, 0);

    // Several lines into a buffer of exactly their length, nothing written past it.
    log.AddLine("one");
    log.AddLine("two");
    log.AddLine("two");
    std::string exact(13, '#');
    exact.push_back('!');
    EXPECT_EQ(log.Take(exact.data(), 12, length), 0);
    EXPECT_EQ(length, 13);
    ASSERT_EQ(log.Take(exact.data(), 13, length), 13);
    EXPECT_EQ(exact, "one\r\ntwo x2\r\n!");
}

TEST(LogStore, ABufferOfSizeZeroDiscardsTheLog) {
    TLogDataList log;
    log.AddLine("x");
    std::int32_t length = 0;
    EXPECT_EQ(log.Take(nullptr, 0, length), 0);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(log.Count(), 0u);
}

TEST(LogStore, CapacityDropsTheOldestLines) {
    TLogDataList log(3);
    for (const char* line : {"1", "2", "3", "4"}) log.AddLine(line);
    EXPECT_EQ(log.Text(), "2\r\n3\r\n4\r\n");

    TLogDataList full;
    for (std::size_t i = 0; i <= TLogDataList::kCapacity; ++i) full.AddLine(std::to_string(i));
    EXPECT_EQ(full.Count(), TLogDataList::kCapacity);
    EXPECT_EQ(full.Text().substr(0, 3), "1\r\n");
}

TEST(LogStore, LineFormat) {
    struct Case {
        int severity;
        const char* module;
        const char* text;
        bool marked;
        std::string expected;
    };
    const Case cases[] = {
        {0, "Kamstrup", "boom", false, "\x01Kamstrup. boom"},
        {1, "", "no module", false, "\x02no module"},
        {2, "M", "two\r\nlines", false, "\x03M. two  lines"},
        {1, "M", "marked", true, "\x82M. marked"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TLogDataList::FormatLine(c.severity, c.module, c.text, c.marked), c.expected);
    }
}

}  // namespace
}  // namespace zol::common
