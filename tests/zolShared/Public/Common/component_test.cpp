#include "zolShared/Public/Common/component.h"

#include <gtest/gtest.h>

#include <vector>

namespace zol::common {
namespace {

// Records its destruction so the tests can see the order in which an owner frees its children.
class Probe : public Component {
   public:
    Probe(Component* owner, std::string name, std::vector<std::string>* log)
        : Component(owner, std::move(name)), log_(log) {
        PublishString("Caption", &caption_);
    }
    ~Probe() override { log_->push_back(Name()); }
    std::string caption_ = "initial";

   private:
    std::vector<std::string>* log_;
};

TEST(Component, OwnerDestroysChildrenNewestFirstAndChildrenBeforeGrandchildren) {
    std::vector<std::string> log;
    {
        Component root(nullptr, "root");
        auto* a = new Probe(&root, "a", &log);
        new Probe(a, "a1", &log);
        new Probe(&root, "b", &log);
        EXPECT_EQ(root.ComponentCount(), 2u);
    }
    EXPECT_EQ(log, (std::vector<std::string>{"b", "a", "a1"}));
}

TEST(Component, DeletingAChildDetachesItFromItsOwner) {
    std::vector<std::string> log;
    Component root(nullptr, "root");
    auto* a = new Probe(&root, "a", &log);
    new Probe(&root, "b", &log);
    delete a;
    ASSERT_EQ(root.ComponentCount(), 1u);
    EXPECT_EQ(root.ComponentAt(0)->Name(), "b");
    EXPECT_EQ(root.ComponentAt(1), nullptr);
}

TEST(Component, FindsChildrenAndPropertiesWithoutRegardToCase) {
    std::vector<std::string> log;
    Component root(nullptr, "root");
    auto* a = new Probe(&root, "lblTitle", &log);
    EXPECT_EQ(root.FindComponent("LBLTITLE"), a);
    EXPECT_EQ(root.FindComponent("lbl"), nullptr);

    EXPECT_EQ(a->GetStringProperty("caption"), "initial");
    EXPECT_TRUE(a->SetStringProperty("CAPTION", "changed"));
    EXPECT_EQ(a->caption_, "changed");
    EXPECT_FALSE(a->SetStringProperty("Hint", "x"));
    EXPECT_FALSE(a->GetStringProperty("Hint").has_value());
    EXPECT_EQ(a->PublishedStringProperties(), std::vector<std::string>{"Caption"});
}

TEST(Component, ReparentingMovesOwnership) {
    std::vector<std::string> log;
    Component first(nullptr, "first");
    {
        Component second(nullptr, "second");
        auto* a = new Probe(&second, "a", &log);
        a->SetOwner(&first);
        EXPECT_EQ(second.ComponentCount(), 0u);
    }
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(first.ComponentCount(), 1u);
}

}  // namespace
}  // namespace zol::common
