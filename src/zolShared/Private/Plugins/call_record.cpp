#include "zolShared/Private/Plugins/call_record.h"

namespace zol::plugins {

bool IsListObject(const void* pointer) noexcept {
    return pointer != nullptr && common::TzolParamsList::HasListSignature(pointer);
}

CallRecordScope::CallRecordScope(TPluginCallRec& rec)
    : rec_(rec), flags_(rec.Flags), params_(rec.Params), caller_in_(rec.InData) {
    if (rec.Params != nullptr) {
        if (IsListObject(rec.Params)) {
            params_wrap_ = new common::TzolParamsListWrap(
                static_cast<common::TzolParamsList*>(rec.Params), true);
            rec.Params = params_wrap_->AsInterfaceA();
        } else {
            params_interface_ = true;
            rec.Flags = static_cast<std::uint8_t>(rec.Flags | kFlagParamsInterface);
        }
    }
    ConvertSlot(rec.InData, in_);
    ConvertSlot(rec.OutData, out_);
}

void CallRecordScope::ConvertSlot(TPluginData& slot, SlotCopy& copy) {
    const bool checked_list = slot.Kind == kDataListObject && IsListObject(slot.Value.Ptr);
    const bool unchecked_list = slot.Kind == kDataListUnchecked && slot.Value.Ptr != nullptr;
    if (!checked_list && !unchecked_list) return;
    copy.kind = slot.Kind;
    copy.value = slot.Value.Ptr;
    copy.wrap =
        new common::TzolParamsListWrap(static_cast<common::TzolParamsList*>(slot.Value.Ptr), true);
    slot.Kind = kDataListInterface;
    slot.Value.Ptr = copy.wrap->AsInterfaceA();
}

void CallRecordScope::RestoreSlot(TPluginData& slot, SlotCopy& copy) noexcept {
    if (copy.wrap == nullptr) return;
    // Put the caller's list object back unless the call replaced the slot: the adapter's
    // interface variable dies with this scope and must not be left in the caller's record.
    void* handed_out = copy.wrap->AsInterfaceA();
    if (slot.Kind == kDataListInterface && slot.Value.Ptr == handed_out) {
        slot.Kind = copy.kind;
        slot.Value.Ptr = copy.value;
    } else if (slot.Kind == kDataListInterface && slot.Value.Ptr == nullptr) {
        slot.Kind = copy.kind;
    }
    copy.wrap->DestroyCached();
    copy.wrap = nullptr;
}

CallRecordScope::~CallRecordScope() {
    rec_.Flags = flags_;
    rec_.Params = params_;
    if (params_wrap_ != nullptr) params_wrap_->DestroyCached();
    RestoreSlot(rec_.InData, in_);
    RestoreSlot(rec_.OutData, out_);
}

}  // namespace zol::plugins
