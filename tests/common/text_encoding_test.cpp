// The plug-in's 8-bit texts as the tools write them. Built natively (the Windows-1252 stand-in)
// and for Windows, where the system's own converter does the work: the vectors are those of a
// Western system, whose code page is Windows-1252.
#include "common/text_encoding.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/system.h"

namespace zol::tools {
namespace {

bool SystemCodePageIsWestern() { return platform::AnsiToUtf16("\x80") == u"\u20AC"; }

// Expected UTF-8 spelled out byte by byte from the Unicode charts, not from a converter. What
// the plug-in cannot say in the system code page comes back as "?", as in its own log.
TEST(TextEncoding, PluginTextBecomesUtf8AndTextThroughItsCodePageKeepsWhatItCanHold) {
    if (!SystemCodePageIsWestern()) GTEST_SKIP() << "the system code page is not Windows-1252";
    const struct {
        const char* name;
        std::string system_text;
        std::string utf8;
    } cases[] = {
        {"ascii unchanged", "[70/Silent] . Request timeout", "[70/Silent] . Request timeout"},
        {"umlauts",
         "Zeit\xFC"
         "berschreitung \xC4\xDF",
         "Zeit\xC3\xBC"
         "berschreitung \xC3\x84\xC3\x9F"},
        // 0x80..0x9F are where Windows-1252 differs from ISO-8859-1.
        {"euro, caron, quotes", "\x80 \x8A \x93x\x94",
         "\xE2\x82\xAC \xC5\xA0 \xE2\x80\x9Cx\xE2\x80\x9D"},
        {"degree, last byte",
         "\xB0"
         "C \xFF",
         "\xC2\xB0"
         "C \xC3\xBF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(PluginTextToUtf8(c.system_text), c.utf8);
        EXPECT_EQ(ThroughPluginCodePage(c.utf8), c.utf8);
    }
    // Windows maps some letters to a near one ("\u0142" to "l"); Cyrillic has no such neighbour.
    EXPECT_EQ(ThroughPluginCodePage("\xD0\x9F\xD1\x80\xD0\xB8 (ms)"), "??? (ms)");
}

}  // namespace
}  // namespace zol::tools
