#pragma once
// Typed published properties: the properties a component exposes by name so that the settings
// component can store and load them. Each has a kind that decides how it is stored (integer,
// floating point, enumeration with its value names, string, or a reference to another object
// whose own properties can be walked).

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zol::common {

class PublishedObject;

enum class PropertyKind : std::uint8_t { kInteger, kFloat, kEnumeration, kString, kObject };

// Integer and enumeration values travel as std::int64_t (the enumeration's ordinal), floating
// point as double, strings as UTF-8, objects as a pointer (null for none).
using PropertyValue = std::variant<std::int64_t, double, std::string, PublishedObject*>;

struct PublishedProperty {
    std::string name;
    PropertyKind kind = PropertyKind::kString;
    // Enumerations: the value names by ordinal ("False", "True" for Booleans).
    std::vector<std::string> value_names;
    std::function<PropertyValue()> get;
    // Returns false when the value does not fit the property (it is then unchanged).
    std::function<bool(const PropertyValue&)> set;
};

// Mixin for classes that publish typed properties, in the order they were published.
class PublishedObject {
   public:
    virtual ~PublishedObject() = default;

    const std::vector<PublishedProperty>& PublishedProperties() const noexcept {
        return properties_;
    }
    // The property of that name (ASCII case-insensitive), or null.
    const PublishedProperty* FindPublished(std::string_view name) const noexcept;

    // True for objects that stand in for a form: their properties are named after the form's
    // property paths with "." replaced by "_", and a path resolves to one of them directly.
    virtual bool FlattensPropertyPaths() const noexcept { return false; }

   protected:
    void PublishInteger(std::string name, std::int32_t* field);
    void PublishFloat(std::string name, double* field);
    void PublishBoolean(std::string name, bool* field);
    void PublishText(std::string name, std::string* field);
    void PublishObject(std::string name, std::function<PublishedObject*()> get);

   private:
    std::vector<PublishedProperty> properties_;
};

}  // namespace zol::common
