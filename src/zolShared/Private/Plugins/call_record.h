#pragma once
// Conversion of a caller's record for the length of one export call: list objects (in `Params`
// and in data slots of kind 1 with the right signature, or kind 8) are wrapped in borrowed
// adapters so that handlers only ever see interface references. The destructor puts the
// caller's `Flags`, `Params` and converted slots back and releases the adapters; everything
// else the call wrote into the record stays for the caller.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "zolShared/Private/Plugins/plugin_abi.h"
#include "zolShared/Public/Common/zolParamLst.h"

namespace zol::plugins {

// True when `pointer` (a Params value or a slot pointer) addresses a list object rather than an
// interface variable: it is not null and its fifth 32-bit word is the list signature.
bool IsListObject(const void* pointer) noexcept;

// What makes a record unusable for a call that reads its parameter list and list slots, as the
// text the export logs: a Params or list slot that is neither a list object nor a variable
// holding a usable list interface (a slot of kind 8 must hold a list object too), and, when
// `reads_input_bytes`, received bytes in the input slot that cannot be read. Nothing when the
// record can be used.
std::optional<std::string> RecordFault(const TPluginCallRec& rec, bool reads_input_bytes);

class CallRecordScope {
   public:
    explicit CallRecordScope(TPluginCallRec& rec);
    ~CallRecordScope();
    CallRecordScope(const CallRecordScope&) = delete;
    CallRecordScope& operator=(const CallRecordScope&) = delete;

    // True when Params was given as an interface reference.
    bool ParamsWereInterface() const noexcept { return params_interface_; }
    // The input slot as the caller gave it, before any conversion: what may be handed back to
    // the caller (the converted slot points into an adapter that dies with this scope).
    const TPluginData& CallerInData() const noexcept { return caller_in_; }

    // The list object behind `slot` when a scope on this thread made the slot's adapter for it:
    // this module's own code over a list object the caller handed in, which the call may fill
    // directly instead of through the adapter's interface (whose probes of every argument are
    // for callers that are not this module). Nothing for an interface the caller handed in.
    static common::TzolParamsList* OwnList(const TPluginData& slot) noexcept;

   private:
    struct SlotCopy {
        common::TzolParamsListWrap* wrap = nullptr;
        std::uint8_t kind = 0;
        void* value = nullptr;
    };
    void ConvertSlot(TPluginData& slot, SlotCopy& copy);
    void RestoreSlot(TPluginData& slot, SlotCopy& copy) noexcept;

    CallRecordScope* outer_ = nullptr;  // the scope of the call this one runs inside, if any
    TPluginCallRec& rec_;
    std::uint8_t flags_;
    void* params_;
    TPluginData caller_in_;
    bool params_interface_ = false;
    common::TzolParamsListWrap* params_wrap_ = nullptr;
    SlotCopy in_;
    SlotCopy out_;
};

}  // namespace zol::plugins
