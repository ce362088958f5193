// The plug-in's 8-bit texts as the tools write them. Built natively (the Windows-1252 stand-in)
// and for Windows, where the system's own converter does the work: the vectors are those of a
// Western system, whose code page is Windows-1252.
#include "common/text_encoding.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/system.h"

namespace zol::tools {
namespace {

bool SystemCodePageIsWestern() { return platform::AnsiToUtf16("\x80") == u"\u20AC"; }

// Expected UTF-8 spelled out byte by byte, from the Unicode charts, not from the converter.
TEST(TextEncoding, PluginTextBecomesUtf8) {
    if (!SystemCodePageIsWestern()) GTEST_SKIP() << "the system code page is not Windows-1252";
    const struct {
        const char* name;
        std::string system_text;
        std::string utf8;
    } cases[] = {
        {"ascii unchanged", "[70/Silent] . Silent. Request timeout",
         "[70/Silent] . Silent. Request timeout"},
        {"empty", "", ""},
        {"umlaut",
         "Zeit\xFC"
         "berschreitung",
         "Zeit\xC3\xBC"
         "berschreitung"},
        {"several",
         "Ung\xFCltige Pr\xFC"
         "fsumme (BE71,BE70)",
         "Ung\xC3\xBCltige Pr\xC3\xBC"
         "fsumme (BE71,BE70)"},
        {"sharp s and capitals",
         "Schlie\xDF"
         "en \xC4\xD6\xDC",
         "Schlie\xC3\x9F"
         "en \xC3\x84\xC3\x96\xC3\x9C"},
        // 0x80..0x9F are where Windows-1252 differs from ISO-8859-1.
        {"euro sign", "5 \x80", "5 \xE2\x82\xAC"},
        {"caron and quotes", "\x8A\x9A \x93x\x94", "\xC5\xA0\xC5\xA1 \xE2\x80\x9Cx\xE2\x80\x9D"},
        {"degree and micro",
         "\xB0"
         "C \xB5s",
         "\xC2\xB0"
         "C \xC2\xB5s"},
        {"last byte", "\xFF", "\xC3\xBF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(PluginTextToUtf8(c.system_text), c.utf8);
    }
}

// What the plug-in can say in the system code page survives the trip; what it cannot comes out
// as "?", one for each character, as in its own log. (Windows maps some letters to a near one,
// "\u0142" to "l"; Cyrillic has no such neighbour.)
TEST(TextEncoding, TextThroughThePluginsCodePageLosesOnlyWhatItCannotHold) {
    if (!SystemCodePageIsWestern()) GTEST_SKIP() << "the system code page is not Windows-1252";
    const struct {
        const char* name;
        std::string utf8;
        std::string after;
    } cases[] = {
        {"german",
         "Zeit\xC3\xBC"
         "berschreitung der Anfrage",
         "Zeit\xC3\xBC"
         "berschreitung der Anfrage"},
        {"euro", "\xE2\x82\xAC 5", "\xE2\x82\xAC 5"},
        {"cyrillic", "\xD0\x9F\xD1\x80\xD0\xB8 (ms)", "??? (ms)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ThroughPluginCodePage(c.utf8), c.after);
    }
}

// A file is no console: it gets the UTF-8 bytes as they are, in the order written.
TEST(TextEncoding, WrittenTextReachesAFileAsUtf8Bytes) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    std::fputs("log[1]: ", file);
    WriteLine(file,
              "Zeit\xC3\xBC"
              "berschreitung");
    WriteText(file, "\xE2\x82\xAC");
    std::rewind(file);
    char read[64] = {};
    const std::size_t n = std::fread(read, 1, sizeof read, file);
    std::fclose(file);
    EXPECT_EQ(std::string(read, n),
              "log[1]: Zeit\xC3\xBC"
              "berschreitung\n\xE2\x82\xAC");
}

}  // namespace
}  // namespace zol::tools
