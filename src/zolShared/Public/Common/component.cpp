#include "zolShared/Public/Common/component.h"

#include <algorithm>

namespace zol::common {

bool SameTextAscii(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) {
            return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

Component::Component(Component* owner, std::string name) : name_(std::move(name)) {
    SetOwner(owner);
}

Component::~Component() {
    // Children go first, newest first, so a child never outlives what it was built on.
    while (!children_.empty()) {
        Component* child = children_.back();
        children_.pop_back();
        child->owner_ = nullptr;
        delete child;
    }
    if (owner_ != nullptr) owner_->RemoveChild(this);
}

void Component::SetOwner(Component* owner) {
    if (owner == owner_) return;
    if (owner_ != nullptr) owner_->RemoveChild(this);
    owner_ = owner;
    if (owner_ != nullptr) owner_->children_.push_back(this);
}

void Component::RemoveChild(Component* child) noexcept {
    auto it = std::find(children_.begin(), children_.end(), child);
    if (it != children_.end()) children_.erase(it);
}

Component* Component::ComponentAt(std::size_t index) const noexcept {
    return index < children_.size() ? children_[index] : nullptr;
}

Component* Component::FindComponent(std::string_view name) const noexcept {
    for (Component* child : children_) {
        if (SameTextAscii(child->Name(), name)) return child;
    }
    return nullptr;
}

std::vector<std::string> Component::PublishedStringProperties() const {
    std::vector<std::string> names;
    names.reserve(properties_.size());
    for (const auto& p : properties_) names.push_back(p.name);
    return names;
}

const Component::Property* Component::FindProperty(std::string_view name) const noexcept {
    for (const auto& p : properties_) {
        if (SameTextAscii(p.name, name)) return &p;
    }
    return nullptr;
}

bool Component::HasStringProperty(std::string_view name) const noexcept {
    return FindProperty(name) != nullptr;
}

std::optional<std::string> Component::GetStringProperty(std::string_view name) const {
    const Property* p = FindProperty(name);
    if (p == nullptr) return std::nullopt;
    return p->get();
}

bool Component::SetStringProperty(std::string_view name, std::string value) {
    const Property* p = FindProperty(name);
    if (p == nullptr) return false;
    p->set(std::move(value));
    return true;
}

void Component::PublishString(std::string name, std::string* field) {
    PublishString(
        std::move(name), [field] { return *field; },
        [field](std::string value) { *field = std::move(value); });
}

void Component::PublishString(std::string name, std::function<std::string()> get,
                              std::function<void(std::string)> set) {
    properties_.push_back(Property{std::move(name), std::move(get), std::move(set)});
}

}  // namespace zol::common
