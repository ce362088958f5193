#include "zolShared/Private/Plugins/call_record.h"

#include "platform/system.h"

namespace zol::plugins {

bool IsListObject(const void* pointer) noexcept {
    return pointer != nullptr && common::TzolParamsList::HasListSignature(pointer);
}

namespace {

// The scope of the export call running on this thread (calls may nest through the host).
thread_local CallRecordScope* innermost_scope = nullptr;

// An IzolParamsListA has the three methods of its base, nine list methods and eleven of its own.
constexpr std::size_t kListInterfaceMethods = 23;

// A pointer to a variable that holds nothing or a list interface that can be called.
bool IsUsableInterfaceVariable(const void* variable) noexcept {
    if (!platform::IsReadableMemory(variable, sizeof(void*))) return false;
    const void* list = *static_cast<const void* const*>(variable);
    return list == nullptr || platform::IsPlausibleInterface(list, kListInterfaceMethods);
}

std::optional<std::string> SlotFault(const TPluginData& slot, const char* name) {
    const bool usable = slot.Kind == kDataListUnchecked
                            ? slot.Value.Ptr == nullptr || IsListObject(slot.Value.Ptr)
                            : slot.Kind != kDataListInterface || slot.Value.Ptr == nullptr ||
                                  IsUsableInterfaceVariable(slot.Value.Ptr);
    if (usable) return std::nullopt;
    return std::string("Bad call record: ") + name + " holds no usable parameter list (kind " +
           std::to_string(slot.Kind) + ")";
}

}  // namespace

std::optional<std::string> RecordFault(const TPluginCallRec& rec, bool reads_input_bytes) {
    if (rec.Params != nullptr && !IsListObject(rec.Params) &&
        !IsUsableInterfaceVariable(rec.Params)) {
        return "Bad call record: Params is neither a parameter list nor a list interface";
    }
    if (auto fault = SlotFault(rec.InData, "InData")) return fault;
    if (auto fault = SlotFault(rec.OutData, "OutData")) return fault;
    const TPluginData& in = rec.InData;
    if (reads_input_bytes && in.Kind == kDataRawBytes) {
        if (in.Size < 0) {
            return "Bad call record: InData has a negative size (" + std::to_string(in.Size) + ")";
        }
        if (in.Size > 0 && in.Value.Ptr != nullptr &&
            !platform::IsReadableMemory(in.Value.Ptr, static_cast<std::size_t>(in.Size))) {
            return "Bad call record: the " + std::to_string(in.Size) +
                   " bytes in InData cannot be read";
        }
    }
    return std::nullopt;
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
    outer_ = innermost_scope;
    innermost_scope = this;
}

common::TzolParamsList* CallRecordScope::OwnList(const TPluginData& slot) noexcept {
    if (slot.Kind != kDataListInterface || slot.Value.Ptr == nullptr) return nullptr;
    for (const CallRecordScope* scope = innermost_scope; scope != nullptr; scope = scope->outer_) {
        for (const SlotCopy* copy : {&scope->in_, &scope->out_}) {
            if (copy->wrap != nullptr && slot.Value.Ptr == copy->wrap->AsInterfaceA()) {
                return copy->wrap->List();
            }
        }
    }
    return nullptr;
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
    innermost_scope = outer_;
    rec_.Flags = flags_;
    rec_.Params = params_;
    if (params_wrap_ != nullptr) params_wrap_->DestroyCached();
    RestoreSlot(rec_.InData, in_);
    RestoreSlot(rec_.OutData, out_);
}

}  // namespace zol::plugins
