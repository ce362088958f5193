#pragma once
// The base of a module's message table: a component (Tag 9997) that keeps references to its
// message texts in a fixed order and translates them once. Later translations leave them as they
// are, so the messages keep the language of their first translation.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zolShared/Public/Common/component.h"

namespace zol::translation {

class TCustomTextResources : public common::Component {
   public:
    // Finds the translation of one text, or nothing.
    using Lookup = std::function<std::optional<std::string>(std::string_view)>;

    explicit TCustomTextResources(common::Component* owner = nullptr,
                                  std::string name = "TextResources");

    // The registered messages in order.
    std::size_t MessageCount() const noexcept { return messages_.size(); }
    const std::string& Message(std::size_t index) const { return *messages_.at(index); }

    // Set once the messages have been translated.
    bool Translated() const noexcept { return translated_; }
    // The first time: replaces each message that `lookup` translates and sets the mark. Later
    // calls do nothing. Returns whether the messages were looked up.
    bool TranslateMessages(const Lookup& lookup);

   protected:
    // A subclass registers its message fields in their fixed order.
    void RegisterMessage(std::string* field);

   private:
    std::vector<std::string*> messages_;
    bool translated_ = false;
};

}  // namespace zol::translation
