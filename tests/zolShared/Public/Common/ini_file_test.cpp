// The INI document: what is read from a file, and what is written back.
#include "zolShared/Public/Common/ini_file.h"

#include <gtest/gtest.h>

namespace zol::common {
namespace {

TEST(IniDocument, ReadsSectionsKeysAndValues) {
    const auto doc = IniDocument::Parse(
        "\xEF\xBB\xBFtop line\n[ One ]\r\n a = 1 \r\n;c=3\n\n[two]\rb=x=y\r[ONE]\nc=\nnoequals\n"
        "[broken\n");
    EXPECT_EQ(doc.Read("one", "A"), "1");
    EXPECT_EQ(doc.Read("One", "c"), "");  // a repeated section is the same section
    EXPECT_EQ(doc.Read("two", "b"), "x=y");
    EXPECT_FALSE(doc.Read("One", ";c"));
    EXPECT_FALSE(doc.Read("One", "noequals"));
    EXPECT_FALSE(doc.Read("three", "a"));
    EXPECT_EQ(doc.Read("One", "[broken"), std::nullopt);
    EXPECT_EQ(doc.Preamble(), std::vector<std::string>{"top line"});
    EXPECT_FALSE(doc.Changed());
    EXPECT_EQ(doc.Serialize(),
              "\xEF\xBB\xBFtop line\r\n\r\n[One]\r\na = 1\r\n;c=3\r\nc=\r\nnoequals\r\n[broken\r\n"
              "\r\n[two]\r\nb=x=y\r\n\r\n");
}

TEST(IniDocument, WritesInPlaceAppendsAndDropsEmptySections) {
    auto doc = IniDocument::Parse("[A]\r\nk=1\r\nm=2\r\n[B]\r\nz=0\r\n");
    doc.Write("a", "K", "1");
    EXPECT_FALSE(doc.Changed());  // the same text
    doc.Write("a", "m", "3");
    doc.Write("A", "n", "4");
    doc.Write("C", "q", "5");
    doc.Remove("B", "Z");
    EXPECT_TRUE(doc.Changed());
    EXPECT_EQ(doc.Serialize(), "[A]\r\nk=1\r\nm=3\r\nn=4\r\n\r\n[C]\r\nq=5\r\n\r\n");
}

TEST(IniDocument, CodePageTextNeverStartsLikeAUtf16File) {
    // Written at the top, "\xFF\xFE" or "\xFE\xFF" would make the file read back as UTF-16.
    for (const char* file :
         {"\r\n\xFF\xFEtop\r\n[A]\r\nk=1\r\n", " \xFE\xFF\xFF\xFEtop\n[A]\nk=1"}) {
        SCOPED_TRACE(file);
        const auto doc = IniDocument::Parse(file);
        EXPECT_EQ(doc.Serialize(), "top\r\n\r\n[A]\r\nk=1\r\n\r\n");
        EXPECT_EQ(IniDocument::Parse(doc.Serialize()).TextForm(), IniTextForm::kCodePage);
    }
}

TEST(IniDocument, Utf16BigEndianIsReadAndWrittenAsSuch) {
    using namespace std::string_literals;
    auto doc = IniDocument::Parse("\xFE\xFF\0[\0A\0]\0\n\0k\0=\0\xE4"s);
    EXPECT_EQ(doc.TextForm(), IniTextForm::kUtf16Be);
    EXPECT_EQ(doc.Read("a", "K"), "\xC3\xA4");  // held as UTF-8
    doc.Write("A", "n", "1");
    EXPECT_EQ(doc.Serialize(),
              "\xFE\xFF\0[\0A\0]\0\r\0\n\0k\0=\0\xE4\0\r\0\n\0n\0=\0"
              "1\0\r\0\n\0\r\0\n"s);
}

// A load reads through IniText, a store through the document: both must give one answer.
TEST(IniText, ReadsWhatTheDocumentReads) {
    using namespace std::string_literals;
    const std::string files[] = {
        "\xEF\xBB\xBFk=top\n[ One ]\r\n a = 1 \r\n;c=3\n\n[two]\rb=x=y\r[ONE]\nc=\na=2\n[broken\n",
        "[A]\nk=1\nk=8\n[B]\nk=2\n[a]\nk=3\nm=4\n \xEF\xBB\xBF n = 5\n#n=6\n[]\nk=7",
        "\xFE\xFF\0[\0A\0]\0\n\0k\0=\0\xE4"s,
        "\xFF\xFE[\0A\0]\0\r\0\n\0k\0=\0\xE4\0"s,
        "",
        "[A]",
    };
    const std::pair<const char*, const char*> queries[] = {
        {"", "k"},  {"one", "A"}, {"ONE", "c"}, {"two", "B"},    {"one", ";c"}, {"a", "k"},
        {"A", "m"}, {"a", "N"},   {"b", "k"},   {"broken", "a"}, {"", "K"},     {"c", "k"},
    };
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        const IniDocument doc = IniDocument::Parse(file);
        const IniText text(file);
        EXPECT_EQ(text.TextForm(), doc.TextForm());
        for (const auto& [section, key] : queries) {
            SCOPED_TRACE(std::string(section) + " / " + key);
            EXPECT_EQ(text.Read(section, key), doc.Read(section, key));
        }
    }
}

}  // namespace
}  // namespace zol::common
