#pragma once
// Reading and answering the parameter list of a call. After the record conversion a call's
// `Params` always points at an IzolParamsListA variable, so handlers go through the interface
// whether the host passed a list object or its own interface.

#include <optional>
#include <string_view>

#include "zolShared/Private/Plugins/plugin_abi.h"
#include "zolShared/Public/Common/variant.h"
#include "zolShared/Public/Common/zolParamLst.h"

namespace zol::plugins {

class CallParams {
   public:
    explicit CallParams(const TPluginCallRec& rec) noexcept;
    explicit CallParams(common::IzolParamsListA* list) noexcept : list_(list) {}

    common::IzolParamsListA* List() const noexcept { return list_; }
    // The value of the first item of that name, or nothing when there is none.
    std::optional<common::Variant> Find(std::string_view name) const;
    // A parameter is present when it is found and is neither empty nor null.
    bool Present(std::string_view name) const;
    // The value when present, else nothing.
    std::optional<common::Variant> GetPresent(std::string_view name) const;
    // Stores into an existing "RESULT" item; without one the answer is dropped. True when stored.
    bool SetResult(const common::Variant& value) const;
    // Stores into an existing item of that name.
    bool SetExisting(std::string_view name, const common::Variant& value) const;

   private:
    common::IzolParamsListA* list_ = nullptr;
};

}  // namespace zol::plugins
