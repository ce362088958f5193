#include "zolShared/Public/Common/published_properties.h"

#include <limits>

#include "zolShared/Public/Common/component.h"

namespace zol::common {

const PublishedProperty* PublishedObject::FindPublished(std::string_view name) const noexcept {
    for (const auto& p : properties_) {
        if (SameTextAscii(p.name, name)) return &p;
    }
    return nullptr;
}

void PublishedObject::PublishInteger(std::string name, std::int32_t* field) {
    PublishedProperty p;
    p.name = std::move(name);
    p.kind = PropertyKind::kInteger;
    p.get = [field]() -> PropertyValue { return std::int64_t{*field}; };
    p.set = [field](const PropertyValue& value) {
        const auto* number = std::get_if<std::int64_t>(&value);
        if (number == nullptr || *number < std::numeric_limits<std::int32_t>::min() ||
            *number > std::numeric_limits<std::int32_t>::max()) {
            return false;
        }
        *field = static_cast<std::int32_t>(*number);
        return true;
    };
    properties_.push_back(std::move(p));
}

void PublishedObject::PublishFloat(std::string name, double* field) {
    PublishedProperty p;
    p.name = std::move(name);
    p.kind = PropertyKind::kFloat;
    p.get = [field]() -> PropertyValue { return *field; };
    p.set = [field](const PropertyValue& value) {
        const auto* number = std::get_if<double>(&value);
        if (number == nullptr) return false;
        *field = *number;
        return true;
    };
    properties_.push_back(std::move(p));
}

void PublishedObject::PublishBoolean(std::string name, bool* field) {
    PublishedProperty p;
    p.name = std::move(name);
    p.kind = PropertyKind::kEnumeration;
    p.value_names = {"False", "True"};
    p.get = [field]() -> PropertyValue { return std::int64_t{*field ? 1 : 0}; };
    p.set = [field](const PropertyValue& value) {
        const auto* ordinal = std::get_if<std::int64_t>(&value);
        if (ordinal == nullptr || (*ordinal != 0 && *ordinal != 1)) return false;
        *field = *ordinal == 1;
        return true;
    };
    properties_.push_back(std::move(p));
}

void PublishedObject::PublishText(std::string name, std::string* field) {
    PublishedProperty p;
    p.name = std::move(name);
    p.kind = PropertyKind::kString;
    p.get = [field]() -> PropertyValue { return *field; };
    p.set = [field](const PropertyValue& value) {
        const auto* text = std::get_if<std::string>(&value);
        if (text == nullptr) return false;
        *field = *text;
        return true;
    };
    properties_.push_back(std::move(p));
}

void PublishedObject::PublishObject(std::string name, std::function<PublishedObject*()> get) {
    PublishedProperty p;
    p.name = std::move(name);
    p.kind = PropertyKind::kObject;
    p.get = [get = std::move(get)]() -> PropertyValue { return get(); };
    p.set = [](const PropertyValue&) { return false; };
    properties_.push_back(std::move(p));
}

}  // namespace zol::common
