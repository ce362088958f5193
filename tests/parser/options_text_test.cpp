#include "parser/options_text.h"

#include <gtest/gtest.h>

#include <string>

namespace zol::parser {
namespace {

// A request as the options dialog's tree writes it.
constexpr const char* kTwoRequests =
    "<?xml version=\"1.0\"?>\r\n"
    "<QUERY>\r\n"
    "  <Request caption=\"Heat meter\">\r\n"
    "    <Enabled check=\"2\"/>\r\n"
    "    <Device>12;13</Device>\r\n"
    "    <Timeout>1600</Timeout>\r\n"
    "    <RequestMethod>\r\n"
    "      <MethodPoll check=\"2\">\r\n"
    "        <PollInterval>5000</PollInterval>\r\n"
    "        <PollUnits>MS</PollUnits>\r\n"
    "      </MethodPoll>\r\n"
    "    </RequestMethod>\r\n"
    "    <Response>\r\n"
    "      <Item><Register>003C</Register><Custom>0</Custom><Name>HEAT</Name></Item>\r\n"
    "      <Item><Register>03EB</Register><Name>DATE</Name></Item>\r\n"
    "    </Response>\r\n"
    "  </Request>\r\n"
    "  <Request><Device>7</Device></Request>\r\n"
    "</QUERY>\r\n";

TEST(OptionsText, ReadsTheTreeTheDialogWrites) {
    const auto document = ReadOptionsText(kTwoRequests);
    EXPECT_FALSE(document.truncated);
    EXPECT_EQ(document.root.name, "root");
    ASSERT_EQ(document.root.children.size(), 1u);  // the declaration is no element
    const auto* query = document.root.FindChild("QUERY");
    ASSERT_NE(query, nullptr);
    ASSERT_EQ(query->children.size(), 2u);
    const auto& first = query->children[0];
    EXPECT_EQ(OptionsCaption(first, "Request", 1), "Heat meter");
    EXPECT_EQ(OptionsCaption(query->children[1], "Request", 2), "Request #2");
    EXPECT_TRUE(OptionsBooleanValue(first, "Enabled", false));
    EXPECT_EQ(OptionsTextValue(first, "Device", ""), "12;13");
    EXPECT_EQ(OptionsIntegerValue(first, "Timeout", 0), 1600);
    EXPECT_EQ(OptionsIntegerValue(first, "PollInterval", 0), 5000);
    const auto* response = first.FindChild("Response");
    ASSERT_NE(response, nullptr);
    ASSERT_EQ(response->children.size(), 2u);
    // The stored register is hexadecimal and is read with a "$" in front.
    EXPECT_EQ(ParseOptionsInteger("$" + OptionsTextValue(response->children[1], "Register", "")),
              0x03EB);
    EXPECT_EQ(OptionsTextValue(response->children[1], "Custom", "none"), "none");
    // Depth first: the first Name below the request is the first item's.
    EXPECT_EQ(OptionsTextValue(first, "name", ""), "HEAT");
    // A getter on the element itself reads that element.
    EXPECT_EQ(OptionsTextValue(response->children[0].children[0], "REGISTER", ""), "003C");
    // Without a match the default comes back; the second request has no timeout.
    EXPECT_EQ(OptionsIntegerValue(query->children[1], "Timeout", 1234), 1234);
}

TEST(OptionsText, NamesMatchInAnyCaseAttributesOnlyExactly) {
    const auto document = ReadOptionsText("<q><ENABLED Check=\"2\" check=\"0\">x</ENABLED></q>");
    EXPECT_NE(document.root.FindDescendant("enabled"), nullptr);
    EXPECT_NE(document.root.FindDescendant("Enabled"), nullptr);
    EXPECT_EQ(document.root.FindChild("enabled"), nullptr);  // not a direct child of the root
    const auto* element = document.root.FindDescendant("enabled");
    ASSERT_NE(element, nullptr);
    EXPECT_EQ(element->Attribute("Check").value_or(""), "2");
    EXPECT_EQ(element->Attribute("check").value_or(""), "0");
    EXPECT_FALSE(element->Attribute("CHECK").has_value());
}

TEST(OptionsText, DescendantSearchGoesBelowEachChildBeforeTheNext) {
    const auto document = ReadOptionsText("<a><b><x>deep</x></b><x>shallow</x></a>");
    EXPECT_EQ(OptionsTextValue(document.root, "x", ""), "deep");
    const auto* a = document.root.FindChild("a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->FindChild("x")->text, "shallow");
}

TEST(OptionsText, TextRules) {
    struct Case {
        const char* name;
        const char* input;
        const char* expected;  // text of element e
    };
    const Case cases[] = {
        {"trimmed", "<e>  a b  </e>", "a b"},
        {"line breaks and tabs become spaces", "<e>\r\n\ta\r\nb\t</e>", "a b"},
        {"each lone CR or LF is a space", "<e>a\rb\nc\n\rd</e>", "a b c  d"},
        {"CR LF after CR is one more space", "<e>a\r\r\nb\tc</e>", "a  b c"},
        {"five entities", "<e>&lt;&amp;&gt;&apos;&quot;</e>", "<&>'\""},
        {"other entities stay", "<e>&#65;&nbsp;&amp</e>", "&#65;&nbsp;&amp"},
        {"no double decoding", "<e>&amp;lt;</e>", "&lt;"},
        {"later text replaces earlier", "<e>one<c/>two</e>", "two"},
        {"blank text keeps earlier", "<e>one<c/>  \r\n </e>", "one"},
        {"cdata taken literally", "<e><![CDATA[ a&lt;<b> ]]></e>", " a&lt;<b> "},
        {"cdata escapes", "<e><![CDATA[a\\n b\\t c\\n]]></e>", "a\r\nb\tc\\n"},
        {"cdata may be empty", "<e>x<![CDATA[]]></e>", ""},
        {"comment is not text", "<e>a<!-- <x>b</x> --></e>", "a"},
        {"quoted > inside a tag", "<e k=\"a>b\" j='>'>t</e>", "t"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto document = ReadOptionsText(c.input);
        const auto* e = document.root.FindDescendant("e");
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->text, c.expected);
        EXPECT_EQ(e->FindDescendant("x"), nullptr);
    }
}

TEST(OptionsText, AttributesKeepTheirOrderAndDecodeEntities) {
    const auto document = ReadOptionsText("<e b='1' a=\"x &amp; y\" c = \"it's\" d=bare/>");
    const auto* e = document.root.FindChild("e");
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(e->attributes.size(), 4u);
    EXPECT_EQ(e->attributes[0].name, "b");
    EXPECT_EQ(e->attributes[1].value, "x & y");
    EXPECT_EQ(e->attributes[2].value, "it's");
    EXPECT_EQ(e->attributes[3].value, "bare");
    EXPECT_TRUE(e->children.empty());
}

TEST(OptionsText, ClosingTagClosesTheOpenElementWhateverItsName) {
    const auto document = ReadOptionsText("<a><b></z><c/></a></a></a><d/>");
    ASSERT_EQ(document.root.children.size(), 2u);
    EXPECT_EQ(document.root.children[0].name, "a");
    ASSERT_EQ(document.root.children[0].children.size(), 2u);  // b closed by </z>, then c
    EXPECT_EQ(document.root.children[1].name, "d");
    EXPECT_FALSE(document.truncated);
}

TEST(OptionsText, BrokenTextsKeepWhatWasRead) {
    struct Case {
        const char* name;
        std::string input;
        std::size_t elements_below_root;
        bool truncated;
    };
    const Case cases[] = {
        {"empty", "", 0, false},
        {"plain text", "just text", 0, false},
        {"unterminated tag", "<a><b", 1, true},
        {"unterminated quote", "<a><b k='>", 1, true},
        {"unterminated declaration", "<a/><?xml ", 1, true},
        {"unterminated comment", "<a/><!-- <b/>", 1, true},
        {"unterminated cdata", "<a><![CDATA[xyz", 1, true},
        {"too deep",
         [] {
             std::string s;
             for (int i = 0; i < 1000; ++i) s += "<a>";
             return s;
         }(),
         kMaxOptionsDepth, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto document = ReadOptionsText(c.input);
        std::size_t count = 0;
        const OptionsElement* e = &document.root;
        while (!e->children.empty()) {
            e = &e->children.front();
            ++count;
        }
        EXPECT_EQ(count, c.elements_below_root);
        EXPECT_EQ(document.truncated, c.truncated);
    }
}

TEST(OptionsText, IntegerReading) {
    struct Case {
        const char* text;
        std::int32_t expected;  // 77 is the default
    };
    const Case cases[] = {
        {"1600", 1600},
        {"-5", -5},
        {"+7", 7},
        {"$03EB", 1003},
        {"$ff", 255},
        {"$FFFFFFFF", -1},
        {"$7FFFFFFF", 2147483647},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"2147483648", 77},
        {"$100000000", 77},
        {"", 77},
        {"$", 77},
        {"-", 77},
        {"12a", 77},
        {"0x10", 77},
        {"1 2", 77},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto document = ReadOptionsText(std::string("<v><![CDATA[") + c.text + "]]></v>");
        EXPECT_EQ(OptionsIntegerValue(document.root, "v", 77), c.expected);
    }
}

TEST(OptionsText, BooleanReading) {
    struct Case {
        const char* element;
        bool fallback;
        bool expected;
    };
    const Case cases[] = {
        {"<b>1</b>", false, true},
        {"<b>true</b>", true, false},  // only "1" is true
        {"<b>0</b>", true, false},
        {"<b check='2'/>", false, true},
        {"<b check='0'/>", true, false},
        {"<b check='1'/>", true, false},
        {"<b check='3'/>", true, false},
        {"<b check='5'/>", true, false},
        {"<b check='4'/>", true, true},  // 4 keeps the default
        {"<b check='4'/>", false, false},
        {"<b check='6'/>", true, true},
        {"<b check='x'/>", false, false},
        {"<b/>", true, true},
        {"<b Check='2'/>", false, false},     // attribute names are exact
        {"<b check='0'>1</b>", false, true},  // text wins over the attribute
        {"<other/>", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.element);
        const auto document = ReadOptionsText(c.element);
        EXPECT_EQ(OptionsBooleanValue(document.root, "B", c.fallback), c.expected);
    }
}

}  // namespace
}  // namespace zol::parser
