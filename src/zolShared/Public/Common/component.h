#pragma once
// The component base shared by every unit: a name, a free `Tag`, an owner that destroys what it
// owns (in reverse order of insertion), and a table of published string properties that can be
// read and written by name. The translation engine walks owners, children and these properties.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zol::common {

class Component {
   public:
    // Registers the new component with `owner` (when given); the owner then destroys it.
    explicit Component(Component* owner = nullptr, std::string name = {});
    virtual ~Component();

    Component(const Component&) = delete;
    Component& operator=(const Component&) = delete;

    const std::string& Name() const noexcept { return name_; }
    void SetName(std::string name) { name_ = std::move(name); }
    std::int32_t Tag() const noexcept { return tag_; }
    void SetTag(std::int32_t tag) noexcept { tag_ = tag; }

    Component* Owner() const noexcept { return owner_; }
    // Moves this component under another owner (or none); the old owner forgets it.
    void SetOwner(Component* owner);

    std::size_t ComponentCount() const noexcept { return children_.size(); }
    Component* ComponentAt(std::size_t index) const noexcept;
    // First owned component whose name equals `name`, compared without regard to ASCII case.
    Component* FindComponent(std::string_view name) const noexcept;

    // Takes ownership of a component created without an owner; returns it for convenience.
    template <typename T>
    T* Adopt(std::unique_ptr<T> child) {
        T* raw = child.release();
        raw->SetOwner(this);
        return raw;
    }

    // Published string properties, in the order they were published.
    std::vector<std::string> PublishedStringProperties() const;
    bool HasStringProperty(std::string_view name) const noexcept;
    // The property's value, or nothing when no such property is published (ASCII case-insensitive).
    std::optional<std::string> GetStringProperty(std::string_view name) const;
    // False when no such property is published.
    bool SetStringProperty(std::string_view name, std::string value);

   protected:
    // Publishes a string field of the derived class under `name`.
    void PublishString(std::string name, std::string* field);
    // Publishes a computed property.
    void PublishString(std::string name, std::function<std::string()> get,
                       std::function<void(std::string)> set);

   private:
    struct Property {
        std::string name;
        std::function<std::string()> get;
        std::function<void(std::string)> set;
    };
    const Property* FindProperty(std::string_view name) const noexcept;
    void RemoveChild(Component* child) noexcept;

    std::string name_;
    std::int32_t tag_ = 0;
    Component* owner_ = nullptr;
    std::vector<Component*> children_;
    std::vector<Property> properties_;
};

// ASCII case-insensitive equality, the comparison used for component and property names.
bool SameTextAscii(std::string_view a, std::string_view b) noexcept;

}  // namespace zol::common
