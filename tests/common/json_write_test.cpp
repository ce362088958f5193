// The tools' JSON form, which other programs read byte for byte: number forms, escapes, the
// layout, and text that is not UTF-8.
#include "common/json_write.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

using zol::tools::Json;
using zol::tools::JsonLayout;
using zol::tools::JsonText;

TEST(JsonWrite, NumbersKeepTheToolsForms) {
    const struct {
        Json value;
        const char* text;
    } cases[] = {
        {315904.0, "315904"},  // the library alone would write 315904.0
        {0.1 + 0.2, "0.3"},    // and 0.30000000000000004
        {-12.34, "-12.34"},
        {1e20, "1e+20"},
        {std::nan(""), "null"},
        {std::numeric_limits<double>::infinity(), "null"},
        {std::uint32_t{4294967295u}, "4294967295"},
        {std::int64_t{-9007199254740993}, "-9007199254740993"},
        {true, "true"},
        {nullptr, "null"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(JsonText(c.value), c.text);
    }
}

TEST(JsonWrite, StringsEscapeAsTheToolsAlwaysDidAndBadUtf8IsReplaced) {
    const struct {
        std::string text;
        const char* json;
    } cases[] = {
        {"say \"hi\"\\", R"("say \"hi\"\\")"},
        {"\b\f\n\r\t\x01\x1f\x7f", "\"\\u0008\\u000c\\n\\r\\t\\u0001\\u001f\x7f\""},
        // A backslash followed by b or f in the text is no backspace or form feed.
        {"C:\\bin\\f", R"("C:\\bin\\f")"},
        {"Z\xC3\xA4hler", "\"Z\xC3\xA4hler\""},
        {"H\xE4t", "\"H\xEF\xBF\xBDt\""},  // a code-page byte, not UTF-8
        {"\xC3", "\"\xEF\xBF\xBD\""},      // UTF-8 cut off
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(JsonText(c.text), c.json);
        EXPECT_EQ(zol::tools::JsonStringText(c.text), c.json);
    }
    // Keys go through the same escaping, and nothing throws on them either.
    EXPECT_EQ(JsonText(Json{{"k\xFF", 1}}), "{\"k\xEF\xBF\xBD\": 1}");
}

TEST(JsonWrite, LayoutsKeepMemberOrderAndPutRowsOnLines) {
    const Json document = {{"z", 1},
                           {"a", Json::array({Json{{"x", 1}, {"y", Json::array()}}, 2})},
                           {"e", Json::array()}};
    EXPECT_EQ(JsonText(document), R"({"z": 1, "a": [{"x": 1, "y": []}, 2], "e": []})");
    EXPECT_EQ(JsonText(document, JsonLayout::kRowsOnLines),
              "{\"z\": 1, \"a\": [\n  {\"x\": 1, \"y\": []},\n  2\n], \"e\": []}");
}

}  // namespace
