#include "zolShared/Private/Plugins/call_params.h"

#include <string>

#include "platform/system.h"

namespace zol::plugins {

using common::Variant;

CallParams::CallParams(const TPluginCallRec& rec) noexcept {
    if (rec.Params != nullptr && platform::IsReadableMemory(rec.Params, sizeof(void*))) {
        list_ = *static_cast<common::IzolParamsListA**>(rec.Params);
    }
}

std::optional<Variant> CallParams::Find(std::string_view name) const {
    if (list_ == nullptr) return std::nullopt;
    const std::string key(name);
    std::int32_t index = -1;
    if (list_->IndexOf(key.c_str(), 0, -1, &index) != platform::kStatusOk || index < 0) {
        return std::nullopt;
    }
    platform::OleVariant raw{};
    if (list_->GetValue(key.c_str(), 0, -1, &raw) != platform::kStatusOk) return std::nullopt;
    return Variant::Take(raw);
}

bool CallParams::Present(std::string_view name) const { return GetPresent(name).has_value(); }

std::optional<Variant> CallParams::GetPresent(std::string_view name) const {
    auto value = Find(name);
    if (!value || value->IsEmptyOrNull()) return std::nullopt;
    return value;
}

bool CallParams::SetExisting(std::string_view name, const Variant& value) const {
    if (list_ == nullptr) return false;
    const std::string key(name);
    common::IzolParamsListItemA* item = nullptr;
    if (list_->SetValue(key.c_str(), &value.Raw(), 0, &item) != platform::kStatusOk) return false;
    if (item == nullptr) return false;
    item->Release();
    return true;
}

bool CallParams::SetResult(const Variant& value) const { return SetExisting("RESULT", value); }

}  // namespace zol::plugins
