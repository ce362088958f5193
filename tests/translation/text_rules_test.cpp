// The text rules of the lookup and the message formatter, against hand-written vectors.
#include "translation/text_rules.h"

#include <gtest/gtest.h>

#include "translation/text_format.h"

namespace zol::translation {
namespace {

struct Pair {
    const char* input;
    const char* expected;
};

TEST(TextRules, ControlCharactersRoundTripThroughPercentForm) {
    const Pair escapes[] = {
        {"plain", "plain"},       {"a\r\nb", "a%0D%0Ab"},     {"\ttab", "%09tab"},
        {"\x1f|\x01", "%1F|%01"}, {"100% sure", "100% sure"},
    };
    for (const auto& row : escapes) {
        SCOPED_TRACE(row.input);
        EXPECT_EQ(EscapeControls(row.input), row.expected);
        EXPECT_EQ(UnescapeControls(row.expected), row.input);
    }
    // Only codes below 0x20 come back; other "%" sequences and short tails stay.
    const Pair unescapes[] = {{"%0d%0a", "\r\n"}, {"%41%20", "%41%20"}, {"50%", "50%"},
                              {"%0", "%0"},       {"%G1", "%G1"},       {"%%0A", "%\n"}};
    for (const auto& row : unescapes) {
        SCOPED_TRACE(row.input);
        EXPECT_EQ(UnescapeControls(row.input), row.expected);
    }
}

TEST(TextRules, AcceleratorMarks) {
    struct Row {
        const char* input;
        const char* stripped;  // lookup form
        const char* dropped;   // translation form
    };
    const Row rows[] = {
        {"&Open", "Open", "Open"},
        {"Save && Close", "Save & Close", "Save && Close"},
        {"&Save && &Close", "Save & Close", "Save && Close"},
        {"end&", "end", "end"},
        {"none", "none", "none"},
        {"&&&x", "&x", "&&x"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input);
        EXPECT_EQ(StripAccelerator(row.input), row.stripped);
        EXPECT_EQ(DropSingleAmpersands(row.input), row.dropped);
    }
}

TEST(TextRules, TrimAndLowerCase) {
    EXPECT_EQ(TrimText(" \t\r\n text \x01"), "text");
    EXPECT_EQ(TrimText("   "), "");
    const Pair lower[] = {
        {"Request Timeout (MS)", "request timeout (ms)"},
        {"ÄÖÜ ÀÉ ×", "äöü àé ×"},
        {"ŁÓDŹ ŻÓŁW Ÿ", "łódź żółw ÿ"},
        {"ПРИВЕТ МИР ЁЖ Ї", "привет мир ёж ї"},
        {"ΑΒΓ ΆΈ", "αβγ άέ"},
    };
    for (const auto& row : lower) {
        SCOPED_TRACE(row.input);
        EXPECT_EQ(LowerCaseText(row.input), row.expected);
    }
}

TEST(TextFormat, MessageConversions) {
    struct Row {
        const char* name;
        std::string result;
        const char* expected;
    };
    const Row rows[] = {
        {"crc values", FormatText("Invalid CRC (%.4x,%.4x)", {0x1a2b, 0xf}),
         "Invalid CRC (1A2B,000F)"},
        {"wide crc", FormatText("%.4x", {0x12345}), "12345"},
        {"expression",
         FormatText("Unable to parse expression \"%s\". Error at: %d", {"*/5 * *", 4}),
         "Unable to parse expression \"*/5 * *\". Error at: 4"},
        {"negative", FormatText("%d|%.3d", {-7, -7}), "-7|-007"},
        {"indexes", FormatText("%1:s-%0:s-%s", {"a", "b"}), "b-a-b"},
        {"width", FormatText("[%5s][%-3d]", {"ab", 7}), "[   ab][7  ]"},
        {"percent", FormatText("100%% %s", {"done"}), "100% done"},
        {"text cut", FormatText("%.2s", {"Ölfass"}), "Öl"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.result, row.expected);
    }
}

// A translated format text is outside input: a wrong letter or count must not fault.
TEST(TextFormat, TranslatorMistakesStayVisibleInsteadOfFaulting) {
    EXPECT_EQ(FormatText("%s %s %s", {"one"}), "one %s %s");
    EXPECT_EQ(FormatText("%d", {"text"}), "text");
    EXPECT_EQ(FormatText("%s", {42}), "42");
    EXPECT_EQ(FormatText("%f and %n", {1, 2}), "%f and %n");
    EXPECT_EQ(FormatText("%9:s", {"x"}), "%9:s");
    EXPECT_EQ(FormatText("tail %", {1}), "tail %");
    EXPECT_EQ(FormatText("%99999999999999d", {1}), "%99999999999999d");
}

}  // namespace
}  // namespace zol::translation
