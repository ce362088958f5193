#include "translation/text_resources.h"

#include "translation/translator.h"

namespace zol::translation {

TCustomTextResources::TCustomTextResources(common::Component* owner, std::string name)
    : Component(owner, std::move(name)) {
    SetTag(kTagTextResources);
}

void TCustomTextResources::RegisterMessage(std::string* field) { messages_.push_back(field); }

bool TCustomTextResources::TranslateMessages(const Lookup& lookup) {
    if (translated_) return false;
    for (std::string* message : messages_) {
        auto translation = lookup(*message);
        if (translation && *translation != *message) *message = std::move(*translation);
    }
    translated_ = true;
    return true;
}

}  // namespace zol::translation
