// The settings objects: initial values, published order, and property access by path.
#include "parser/parser_CfgOptionsProxy.h"

#include <gtest/gtest.h>

#include "zolShared/Public/Common/zolRegSettings.h"

namespace zol::parser {
namespace {

using common::PropertyKind;
using common::PropertyValue;

TEST(ProxyCodeObject, PublishesTheFormStateWithItsInitialValues) {
    TProxyCodeObject object;
    struct Case {
        const char* name;
        PropertyKind kind;
        PropertyValue value;
    } cases[] = {
        {"Left", PropertyKind::kInteger, std::int64_t{326}},
        {"Top", PropertyKind::kInteger, std::int64_t{144}},
        {"Height", PropertyKind::kInteger, std::int64_t{435}},
        {"Width", PropertyKind::kInteger, std::int64_t{481}},
        {"lblParams_Caption", PropertyKind::kString, std::string()},
        {"OpenDialog_FileName", PropertyKind::kString, std::string()},
        {"SaveDialog_FileName", PropertyKind::kString, std::string()},
        {"spMinInt_Value", PropertyKind::kFloat, 0.0},
        {"chkBlockIp_Checked", PropertyKind::kEnumeration, std::int64_t{0}},
    };
    const auto& published = object.PublishedProperties();
    ASSERT_EQ(published.size(), std::size(cases));
    for (std::size_t i = 0; i < published.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(published[i].name, cases[i].name);
        EXPECT_EQ(published[i].kind, cases[i].kind);
        EXPECT_EQ(published[i].get(), cases[i].value);
    }
}

TEST(ProxyCodeObject, PathsResolveWithDotsAsUnderscores) {
    TProxyCodeObject object;
    auto caption = common::ResolvePropertyPath(object, "lblParams.Caption");
    ASSERT_TRUE(caption);
    EXPECT_TRUE(caption->set(std::string("<QUERY/>")));
    EXPECT_EQ(object.lblParams_Caption, "<QUERY/>");
    EXPECT_TRUE(common::ResolvePropertyPath(object, "spMinInt_Value"));
    EXPECT_TRUE(common::ResolvePropertyPath(object, "LEFT"));
    EXPECT_FALSE(common::ResolvePropertyPath(object, "lblParams.Font.Size"));
    auto left = common::ResolvePropertyPath(object, "Left");
    EXPECT_FALSE(left->set(std::int64_t{1} << 40));  // does not fit 32 bits
    EXPECT_EQ(object.Left, 326);
}

// A component that is not a stand-in: paths walk owned components and object properties.
class Font : public common::PublishedObject {
   public:
    Font() { PublishInteger("Size", &Size); }
    std::int32_t Size = 8;
};

class Panel : public common::Component, public common::PublishedObject {
   public:
    explicit Panel(common::Component* owner, std::string name) : Component(owner, std::move(name)) {
        PublishObject("Font", [this] { return &font; });
        PublishString("Caption", &caption);
    }
    Font font;
    std::string caption;
};

TEST(ProxyCodeObject, OtherComponentsWalkOwnedComponentsAndObjectProperties) {
    common::Component form(nullptr, "Form");
    auto* panel = new Panel(&form, "Panel1");
    auto size = common::ResolvePropertyPath(form, "Panel1.Font.Size");
    ASSERT_TRUE(size);
    EXPECT_TRUE(size->set(std::int64_t{12}));
    EXPECT_EQ(panel->font.Size, 12);
    auto caption = common::ResolvePropertyPath(form, "panel1.Caption");
    ASSERT_TRUE(caption);
    EXPECT_EQ(caption->kind, PropertyKind::kString);
    EXPECT_TRUE(caption->set(std::string("Hello")));
    EXPECT_EQ(panel->caption, "Hello");
    EXPECT_TRUE(common::ResolvePropertyPath(*panel, "Font.Size"));
    EXPECT_FALSE(common::ResolvePropertyPath(form, "Panel1_Font_Size"));
    EXPECT_FALSE(common::ResolvePropertyPath(form, "Panel2.Caption"));
    EXPECT_FALSE(common::ResolvePropertyPath(form, "Panel1.Caption.Length"));
}

}  // namespace
}  // namespace zol::parser
