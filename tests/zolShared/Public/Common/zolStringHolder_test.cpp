// The string holder: its stored form in each version, the key XOR, and the list's behaviour.
#include "zolShared/Public/Common/zolStringHolder.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace zol::common {
namespace {

TEST(StringHolder, LinesInEachStoredVersion) {
    struct Case {
        const char* name;
        std::int32_t version;
        const char* key;
        const char* item;
        const char* line;
    } cases[] = {
        {"plain hex", 2, "", "4c6566742c4c656674", "Left,Left"},
        {"key XOR", 2, "K", "0a09", "AB"},
        {"key repeats", 2, "ab", "191b1b", "xyz"},
        {"upper-case hex", 2, "K", "0A09", "AB"},
        {"UTF-8 line", 2, "", "c3bc", "\xC3\xBC"},
        {"UTF-8 key", 2, "\xC3\xA9", "0015", "\xC3\xBC"},
        {"not UTF-8", 2, "", "fc", "\xEF\xBF\xBD"},
        {"stops at a bad digit", 2, "", "4142zz43", "AB"},
        {"version 1 key XOR", 1, "K", "0a09", "AB"},
        {"version 1 is code page text", 1, "", "fc", "\xC3\xBC"},
        {"version 0 plain", 0, "", "plain", "plain"},
        {"version 0 key XOR", 0, "K", "\x0a\x09", "AB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DecodeHolderLine(c.item, c.key, c.version), c.line);
    }
    EXPECT_EQ(EncodeHolderLine("AB", "K"), "0a09");
    EXPECT_EQ(EncodeHolderLine("xyz", "ab"), "191b1b");
    EXPECT_EQ(EncodeHolderLine("\xC3\xBC", "\xC3\xA9"), "0015");
}

TEST(StringHolder, StoredFormRoundTripAndEmptyList) {
    TzolStrHolder holder;
    auto empty = holder.WriteStoredForm();
    EXPECT_EQ(empty.InternalVer, 2);
    EXPECT_FALSE(empty.StrData);

    holder.SetKeyString("secret");
    EXPECT_EQ(holder.WriteStoredForm().StrData, std::vector<std::string>{"secret"});

    holder.SetText("one\r\ntwo, \xC3\xA4\nthree");
    auto form = holder.WriteStoredForm();
    ASSERT_TRUE(form.StrData);
    ASSERT_EQ(form.StrData->size(), 4u);
    EXPECT_EQ((*form.StrData)[0], "secret");
    EXPECT_EQ((*form.StrData)[1], "1c0b06");  // "one" ^ "sec"

    TzolStrHolder copy;
    copy.ReadStoredForm(form);
    EXPECT_EQ(copy.KeyString(), "secret");
    EXPECT_EQ(copy.Strings(), (std::vector<std::string>{"one", "two, \xC3\xA4", "three"}));
}

TEST(StringHolder, EventsSortingAndDuplicates) {
    TzolStrHolder holder;
    int changing = 0;
    int changed = 0;
    holder.OnChanging = [&](TzolStrHolder&) { ++changing; };
    holder.OnChange = [&](TzolStrHolder&) { ++changed; };
    holder.Add("b");
    holder.Add("A");
    EXPECT_EQ(changing, 2);
    EXPECT_EQ(changed, 2);
    holder.ReadStoredForm({2, std::vector<std::string>{"", "78"}});
    EXPECT_EQ(changed, 2);  // not while loading
    EXPECT_EQ(holder.Strings(), std::vector<std::string>{"x"});

    holder.SetStrings({"c", "a", "B"});
    holder.SetSorted(true);
    EXPECT_EQ(holder.Strings(), (std::vector<std::string>{"a", "B", "c"}));
    EXPECT_EQ(holder.Add("b"), 1u);  // ignored: "B" is there
    EXPECT_EQ(holder.Count(), 3u);
    holder.SetDuplicates(TDuplicates::dupAccept);
    holder.Add("b");
    EXPECT_EQ(holder.Count(), 4u);
    holder.SetDuplicates(TDuplicates::dupError);
    EXPECT_THROW(holder.Add("C"), std::runtime_error);
    EXPECT_EQ(holder.Add("aa"), 1u);
}

}  // namespace
}  // namespace zol::common
