#include "zolShared/Public/Common/zolParamLst.h"

#include <cstring>
#include <mutex>

#include "platform/crash_report.h"
#include "platform/system.h"
#include "zolShared/Public/Common/block_cache.h"

namespace zol::common {

using platform::OleVariant;

namespace {

constexpr const char* kSourceName = "zolParamLst";

[[noreturn]] void Assert(const char* message, int line) {
    throw ParamsListAssertion(message, line);
}

// Texts handed in by a caller are measured without reading past readable memory: a text that
// runs into memory that cannot be read has no end and is refused.
std::size_t CheckedLength(const void* text, std::size_t char_size) {
    const auto length = platform::ReadableTextLength(text, char_size);
    if (!length) throw std::invalid_argument("The text argument cannot be read");
    return *length;
}

std::u16string_view WideView(const char16_t* text) {
    if (text == nullptr) return {};
    return {text, CheckedLength(text, sizeof(char16_t))};
}

std::string AnsiFromWide(const char16_t* text) { return platform::Utf16ToAnsi(WideView(text)); }

std::string_view AnsiView(const char* text) {
    return text == nullptr ? std::string_view() : std::string_view(text, CheckedLength(text, 1));
}

// Out arguments must take what is written to them; a failing status is all that can be given
// when they cannot.
template <typename T>
bool Writable(T* out) noexcept {
    return platform::IsWritableMemory(out, sizeof(T));
}

// Method counts of the interfaces a caller hands in, for the plausibility probe.
constexpr std::size_t kUnknownMethods = 3;
constexpr std::size_t kDispatchMethods = 7;
constexpr std::size_t kItemAMethods = kUnknownMethods + 11;
constexpr std::size_t kItemWMethods = kItemAMethods + 4;
constexpr std::size_t kListMethods = kUnknownMethods + 9 + 11;

void CheckInterface(const void* object, std::size_t methods) {
    if (object != nullptr && !platform::IsPlausibleInterface(object, methods)) {
        throw std::invalid_argument("The interface argument is not a usable interface");
    }
}

// Runs a status method body: 0 on success, 0x8000FFFF when anything inside failed.
template <typename Body>
std::int32_t StatusCall(Body&& body) noexcept {
    try {
        body();
        return platform::kStatusOk;
    } catch (...) {
        return platform::kStatusFailed;
    }
}

// Runs a method that returns its value directly; a failure inside gives `fallback`, since nothing
// may be thrown to the caller.
template <typename T, typename Body>
T ValueCall(T fallback, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return fallback;
    }
}

template <typename ItemInterface>
void HandOutItem(TzolParamsListItem* item, ItemInterface** out) {
    // Callers check `out` before any work.
    if (item == nullptr) return;
    auto* wrap = new TzolParamsListItemWrap(item);
    wrap->AddRef();
    *out = wrap;
}

}  // namespace

ParamsListAssertion::ParamsListAssertion(const std::string& message, int line)
    : std::logic_error(message + " (" + kSourceName + ", line " + std::to_string(line) + ")"),
      message_(message) {}

std::string_view TrimControl(std::string_view text) noexcept {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= 32) text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32) text.remove_suffix(1);
    return text;
}

// ---------------------------------------------------------------------------------------------
// Items

ItemName::ItemName(std::string_view name) : Name(name), Key(platform::AnsiLowerCase(name)) {}

namespace {

// Address sanitizer builds keep no freed blocks, so that it still sees every item or adapter
// used after it was freed.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kKeepFreedBlocks = false;
#else
constexpr bool kKeepFreedBlocks = true;
#endif

// Enough for the items of the packets a busy host holds at once (some hundreds); a burst beyond
// it goes back to the heap.
constexpr std::size_t kCachedItems = kKeepFreedBlocks ? 4096 : 0;

// Built as a constant, so it works before any static is built; it gives its blocks back when
// the module is unloaded, so a host that loads and unloads the plug-in keeps no items of it.
constinit BlockCache<sizeof(TzolParamsListItem), kCachedItems> g_item_cache;

// Adapters live for one call (a few at once, more when calls nest or run on several threads).
constexpr std::size_t kCachedAdapters = kKeepFreedBlocks ? 64 : 0;
constinit BlockCache<sizeof(TzolParamsListWrap), kCachedAdapters> g_adapter_cache;

}  // namespace

void* TzolParamsListItem::operator new(std::size_t size) { return g_item_cache.TakeSized(size); }

void TzolParamsListItem::operator delete(void* block, std::size_t size) noexcept {
    g_item_cache.GiveSized(block, size);
}

std::size_t TzolParamsListItem::CachedBlocks() noexcept { return g_item_cache.Held(); }

void* TzolParamsListWrap::operator new(std::size_t size) { return g_adapter_cache.TakeSized(size); }

void TzolParamsListWrap::operator delete(void* block, std::size_t size) noexcept {
    g_adapter_cache.GiveSized(block, size);
}

TzolParamsListItem::TzolParamsListItem(std::string_view name, Variant value)
    : Name(name), Key(platform::AnsiLowerCase(name)), Value(std::move(value)) {
    State = Value.IsEmptyOrNull() ? 0 : 2;
}

TzolParamsListItem::TzolParamsListItem(const ItemName& name, Variant value)
    : Name(name.Name), Key(name.Key), Value(std::move(value)) {
    State = Value.IsEmptyOrNull() ? 0 : 2;
}

void TzolParamsListItem::Assign(const TzolParamsListItem& other) {
    Name = other.Name;
    Key = other.Key;
    DataType = other.DataType;
    State = other.State;
}

// ---------------------------------------------------------------------------------------------
// The list

TzolParamsList::TzolParamsList() = default;

const std::string& TzolParamsList::ListId() const {
    if (list_id_.empty()) list_id_ = platform::NewGuidText();
    return list_id_;
}

void TzolParamsList::Reserve(std::int32_t count) {
    if (count > 0) items_.reserve(static_cast<std::size_t>(count));
}

TzolParamsList::~TzolParamsList() {
    signature_ = 0;
    header_[0] = 0;
    items_.clear();
}

bool TzolParamsList::HasListSignature(const void* object) noexcept {
    // One probe for both words: memory that ends before the signature holds no list either.
    if (!platform::IsReadableMemory(object, 5 * sizeof(std::uint32_t))) return false;
    std::uint32_t marker = 0;
    std::memcpy(&marker, object, sizeof marker);
    if (marker != kParamsListMarker) return false;
    std::uint32_t word = 0;
    std::memcpy(&word, static_cast<const char*>(object) + 4 * sizeof(std::uint32_t), sizeof word);
    return word == kParamsListSignature;
}

TzolParamsListItem* TzolParamsList::Item(std::int32_t index) const noexcept {
    if (index < 0 || index >= Count()) return nullptr;
    return items_[static_cast<std::size_t>(index)].get();
}

void TzolParamsList::Put(std::int32_t index, std::unique_ptr<TzolParamsListItem> item) {
    if (index < 0 || index >= Count()) Assert("Assertion failure", __LINE__);
    items_[static_cast<std::size_t>(index)] = std::move(item);
}

std::int32_t TzolParamsList::LastIndex(std::int32_t to) const noexcept {
    return (to < 0 || to >= Count()) ? Count() - 1 : to;
}

std::int32_t TzolParamsList::IndexOf(std::string_view name, std::int32_t from,
                                     std::int32_t to) const {
    if (signature_ != kParamsListSignature) Assert("Assertion failure", __LINE__);
    if (items_.empty()) return -1;
    const bool stop_at_row_end = to == -2;
    const std::int32_t last = LastIndex(to);
    const std::string key = platform::AnsiLowerCase(name);
    for (std::int32_t i = from < 0 ? 0 : from; i <= last; ++i) {
        const auto& item = *items_[static_cast<std::size_t>(i)];
        if (item.Key == key) return i;
        if (stop_at_row_end && item.IsRowMarker()) break;
    }
    return -1;
}

TzolParamsListItem* TzolParamsList::FindItem(std::string_view name, std::int32_t from,
                                             std::int32_t to) const {
    return Item(IndexOf(name, from, to));
}

Variant TzolParamsList::GetValue(std::string_view name, std::int32_t from, std::int32_t to) const {
    const TzolParamsListItem* item = FindItem(name, from, to);
    return item != nullptr ? item->Value : Variant();
}

Variant TzolParamsList::GetValueDef(std::string_view name, const Variant& fallback,
                                    std::int32_t from, std::int32_t to) const {
    const TzolParamsListItem* item = FindItem(name, from, to);
    return item != nullptr ? item->Value : fallback;
}

TzolParamsListItem* TzolParamsList::Add(std::string_view name, Variant value) {
    if (TrimControl(name).empty()) return nullptr;
    items_.push_back(std::make_unique<TzolParamsListItem>(name, std::move(value)));
    items_.back()->State = 2;
    return items_.back().get();
}

TzolParamsListItem* TzolParamsList::Add(const ItemName& name, Variant value) {
    if (TrimControl(name.Name).empty()) return nullptr;
    items_.push_back(std::make_unique<TzolParamsListItem>(name, std::move(value)));
    items_.back()->State = 2;
    return items_.back().get();
}

TzolParamsListItem* TzolParamsList::Insert(std::int32_t index, std::string_view name,
                                           Variant value) {
    if (TrimControl(name).empty()) return nullptr;
    if (index < 0 || index > Count()) {
        throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
    }
    auto item = std::make_unique<TzolParamsListItem>(name, std::move(value));
    item->State = 2;
    auto* raw = item.get();
    items_.insert(items_.begin() + index, std::move(item));
    return raw;
}

void TzolParamsList::Delete(std::int32_t index) {
    // Out-of-range indexes, negative ones included, leave the list as it is.
    if (index < 0 || index >= Count()) return;
    items_.erase(items_.begin() + index);
}

void TzolParamsList::Clear() {
    items_.clear();
    if (clear_hook_ != nullptr) clear_hook_(*this);
}

TzolParamsListItem* TzolParamsList::SetValue(std::string_view name, Variant value,
                                             bool add_if_missing) {
    TzolParamsListItem* item = FindItem(name);
    if (item == nullptr && add_if_missing) item = Add(name, Variant::Null());
    if (item != nullptr) item->Value = std::move(value);
    return item;
}

TzolParamsListItem* TzolParamsList::AddItemCopy(const TzolParamsListItem& item) {
    TzolParamsListItem* copy = Add(item.Name, item.Value);
    if (copy != nullptr) copy->Assign(item);
    return copy;
}

void TzolParamsList::CheckOther(const TzolParamsList* other) {
    // Probed, not read: a caller may hand in anything as "another list".
    if (other != nullptr && !HasListSignature(other)) {
        Assert("Assertion failure", __LINE__);
    }
}

bool TzolParamsList::AddList(const TzolParamsList* other) {
    CheckOther(other);
    if (other == nullptr || other->items_.empty()) return false;
    if (other == this) {
        // Copying a list onto itself must not chase its own growing end.
        const std::int32_t n = Count();
        for (std::int32_t i = 0; i < n; ++i) AddItemCopy(*items_[static_cast<std::size_t>(i)]);
        return true;
    }
    for (const auto& item : other->items_) AddItemCopy(*item);
    return true;
}

bool TzolParamsList::AddListRange(const TzolParamsList* other, std::int32_t from, std::int32_t to) {
    CheckOther(other);
    if (other == nullptr || other->items_.empty()) return false;
    const std::int32_t last = other->LastIndex(to);
    for (std::int32_t i = from < 0 ? 0 : from; i <= last; ++i) {
        AddItemCopy(*other->items_[static_cast<std::size_t>(i)]);
    }
    return true;
}

void TzolParamsList::TakeItems(TzolParamsList& other) {
    if (&other == this) return;
    if (items_.empty()) {
        items_.swap(other.items_);
        return;
    }
    items_.reserve(items_.size() + other.items_.size());
    for (auto& item : other.items_) items_.push_back(std::move(item));
    other.items_.clear();
}

bool TzolParamsList::FindRowEnd(std::int32_t from, std::int32_t& index, bool& is_marker) const {
    if (from < 0) from = 0;
    if (from >= Count()) return false;
    std::int32_t i = from;
    while (i < Count() - 1 && !items_[static_cast<std::size_t>(i)]->IsRowMarker()) ++i;
    index = i;
    is_marker = items_[static_cast<std::size_t>(i)]->IsRowMarker();
    return true;
}

void TzolParamsList::NewRow() {
    if (!items_.empty() && items_.back()->IsRowMarker()) return;
    static const ItemName kMarker(kNewRowName);
    TzolParamsListItem* marker = Add(kMarker, Variant::Null());
    marker->DataType = kRowMarkerDataType;
}

void TzolParamsList::AddRows(const TzolParamsList* other) {
    AddList(other);
    if (other == nullptr || other->items_.empty() || !other->items_.back()->IsRowMarker()) {
        NewRow();
    }
}

const Variant& TzolParamsList::Values(std::string_view name) const {
    const TzolParamsListItem* item = FindItem(name);
    if (item == nullptr) Assert("Parameter is not defined", __LINE__);
    return item->Value;
}

void TzolParamsList::SetValues(std::string_view name, Variant value) {
    TzolParamsListItem* item = FindItem(name);
    if (item == nullptr) Assert("Parameter is not defined", __LINE__);
    item->Value = std::move(value);
}

// ---------------------------------------------------------------------------------------------
// Values crossing the interfaces

Variant VariantFromAbi(const OleVariant* value, bool wide) {
    if (value == nullptr) return Variant();
    if (!platform::IsReadableMemory(value, sizeof *value)) {
        throw std::invalid_argument("The VARIANT argument cannot be read");
    }
    // What copying the value would follow: a string's characters, an interface's table.
    if (value->vt == platform::kVtBstr && value->bstrVal != nullptr) {
        CheckedLength(value->bstrVal, sizeof(char16_t));
    } else if (value->vt == platform::kVtUnknown || value->vt == platform::kVtDispatch) {
        CheckInterface(value->punkVal,
                       value->vt == platform::kVtUnknown ? kUnknownMethods : kDispatchMethods);
    } else if ((value->vt & platform::kVtArray) != 0 && (value->vt & platform::kVtByRef) == 0 &&
               value->byref != nullptr && !platform::IsReadableMemory(value->byref, 24)) {
        throw std::invalid_argument("The array in the VARIANT argument cannot be read");
    }
    if (value->vt == platform::kVtPlainString || value->vt == platform::kVtUnicodeString) {
        if (value->byref == nullptr) return Variant::Utf16(u"");
        if (value->vt == platform::kVtUnicodeString || wide) {
            return Variant::Utf16(WideView(static_cast<const char16_t*>(value->byref)));
        }
        return Variant::Ansi(AnsiView(static_cast<const char*>(value->byref)));
    }
    return Variant::CopyOf(*value);
}

// ---------------------------------------------------------------------------------------------
// Item adapter

TzolParamsListItemWrap::TzolParamsListItemWrap(TzolParamsListItem* item) : item_(item) {
    RefreshTexts();
}

void TzolParamsListItemWrap::RefreshTexts() {
    name_ansi_ = item_->Name;
    name_wide_ = platform::AnsiToUtf16(item_->Name);
    key_text_ = Utf16ToUtf8(platform::AnsiToUtf16(platform::AnsiLowerCase(item_->Name)));
}

std::int32_t TzolParamsListItemWrap::QueryInterface(const platform::Guid& iid, void** out) {
    if (out == nullptr) return platform::kStatusFailed;
    *out = nullptr;
    if (iid == kIidIzolParamsListItemA || iid == kIidIzolParamsListItemW ||
        iid == platform::kIidIUnknown) {
        AddRef();
        *out = static_cast<IzolParamsListItemW*>(this);
        return platform::kStatusOk;
    }
    return platform::kStatusNoInterface;
}

std::uint32_t TzolParamsListItemWrap::AddRef() {
    return static_cast<std::uint32_t>(ref_count_.fetch_add(1) + 1);
}

std::uint32_t TzolParamsListItemWrap::Release() {
    const std::int32_t left = ref_count_.fetch_sub(1) - 1;
    if (left == 0) delete this;
    return static_cast<std::uint32_t>(left < 0 ? 0 : left);
}

void TzolParamsListItemWrap::SetKey(const char* key) {
    ValueCall(0, [&] {
        key_text_ = AnsiView(key);
        return 0;
    });
}

void TzolParamsListItemWrap::SetDataType(std::int32_t data_type) { item_->DataType = data_type; }

void TzolParamsListItemWrap::SetState(std::uint8_t state) { item_->State = state; }

const char* TzolParamsListItemWrap::GetKey() {
    return key_text_.empty() ? nullptr : key_text_.c_str();
}

std::int32_t TzolParamsListItemWrap::GetDataType() { return item_->DataType; }

std::uint8_t TzolParamsListItemWrap::GetState() { return item_->State; }

std::int32_t TzolParamsListItemWrap::SetValue(const OleVariant* value) {
    return StatusCall([&] { item_->Value = VariantFromAbi(value, false); });
}

std::int32_t TzolParamsListItemWrap::GetValue(OleVariant* value) {
    if (value == nullptr || !Writable(value)) return platform::kStatusFailed;
    std::memset(value, 0, sizeof *value);
    return StatusCall([&] {
        if (item_->Value.CopyTo(*value) != platform::kStatusOk) throw std::runtime_error("copy");
    });
}

void TzolParamsListItemWrap::SetName(const char* name) {
    ValueCall(0, [&] {
        item_->Name = AnsiView(name);
        RefreshTexts();
        return 0;
    });
}

const char* TzolParamsListItemWrap::GetName() {
    return name_ansi_.empty() ? nullptr : name_ansi_.c_str();
}

std::uint8_t TzolParamsListItemWrap::IsNewRow() { return item_->IsRowMarker() ? 1 : 0; }

void TzolParamsListItemWrap::SetNameW(const char16_t* name) {
    ValueCall(0, [&] {
        item_->Name = AnsiFromWide(name);
        RefreshTexts();
        return 0;
    });
}

const char16_t* TzolParamsListItemWrap::GetNameW() {
    return name_wide_.empty() ? nullptr : name_wide_.c_str();
}

std::int32_t TzolParamsListItemWrap::SetValueW(const OleVariant* value) {
    return StatusCall([&] { item_->Value = VariantFromAbi(value, true); });
}

std::int32_t TzolParamsListItemWrap::GetValueW(OleVariant* value) { return GetValue(value); }

// ---------------------------------------------------------------------------------------------
// List adapter

TzolParamsListWrap::TzolParamsListWrap() : borrowed_(0), list_(new TzolParamsList()) {}

TzolParamsListWrap::TzolParamsListWrap(TzolParamsList* list, bool borrowed)
    : borrowed_(list != nullptr && borrowed ? 1 : 0),
      list_(list != nullptr ? list : new TzolParamsList()) {}

TzolParamsListWrap::~TzolParamsListWrap() {
    if (borrowed_ == 0) delete list_.load();
}

IzolParamsListA** TzolParamsListWrap::AsInterfaceA() {
    if (self_slot_.load() == nullptr) {
        self_ = static_cast<IzolParamsListA*>(this);
        AddRef();
        self_slot_.store(&self_);
    }
    return self_slot_.load();
}

void TzolParamsListWrap::DestroyCached() {
    if (self_slot_.load() == nullptr) {
        // Never handed out as an interface variable: nobody else can hold it unless they AddRef'd.
        if (ref_count_.load() <= 0) delete this;
        return;
    }
    // Detach first: once the self reference is given up, a Release on a host thread may free
    // the adapter, and nothing of it may be touched here after that.
    if (borrowed_ != 0) list_.store(nullptr);
    self_ = nullptr;
    self_slot_.store(nullptr);
    const std::int32_t left = ref_count_.fetch_sub(1) - 1;
    if (left <= 0) {
        delete this;
        return;
    }
    platform::DebugOutput("TzolParamsListWrap.Destroy. Reference counter should be zero!");
}

TzolParamsList& TzolParamsListWrap::ListOrThrow() const {
    TzolParamsList* list = list_.load();
    if (list == nullptr) throw std::logic_error("The list of this adapter is gone");
    return *list;
}

std::int32_t TzolParamsListWrap::QueryInterface(const platform::Guid& iid, void** out) {
    if (out == nullptr) return platform::kStatusFailed;
    *out = nullptr;
    if (iid == kIidIzolParamsListW || iid == platform::kIidIUnknown) {
        *out = static_cast<IzolParamsListW*>(this);
    } else if (iid == kIidIzolParamsListA) {
        *out = static_cast<IzolParamsListA*>(this);
    } else {
        return platform::kStatusNoInterface;
    }
    AddRef();
    return platform::kStatusOk;
}

std::uint32_t TzolParamsListWrap::AddRef() {
    return static_cast<std::uint32_t>(ref_count_.fetch_add(1) + 1);
}

std::uint32_t TzolParamsListWrap::Release() {
    const std::int32_t left = ref_count_.fetch_sub(1) - 1;
    if (left <= 0 && self_slot_.load() == nullptr) {
        delete this;
        return 0;
    }
    return static_cast<std::uint32_t>(left < 0 ? 0 : left);
}

std::int32_t TzolParamsListWrap::GetCount() {
    return ValueCall(0, [&] { return ListOrThrow().Count(); });
}

std::int32_t TzolParamsListWrap::GetSignature() {
    return ValueCall(0, [&] { return static_cast<std::int32_t>(ListOrThrow().Signature()); });
}

std::int32_t TzolParamsListWrap::GetTag() {
    return ValueCall(0, [&] { return ListOrThrow().Tag(); });
}

void TzolParamsListWrap::SetTag(std::int32_t tag) {
    ValueCall(0, [&] {
        ListOrThrow().SetTag(tag);
        return 0;
    });
}

void TzolParamsListWrap::Clear() {
    ValueCall(0, [&] {
        ListOrThrow().Clear();
        return 0;
    });
}

void TzolParamsListWrap::Delete(std::int32_t index) {
    ValueCall(0, [&] {
        ListOrThrow().Delete(index);
        return 0;
    });
}

std::uint8_t TzolParamsListWrap::FindRowEnd(std::int32_t from, std::int32_t* index,
                                            std::uint8_t* is_marker) {
    if ((index != nullptr && !Writable(index)) || (is_marker != nullptr && !Writable(is_marker))) {
        return 0;
    }
    return ValueCall<std::uint8_t>(0, [&]() -> std::uint8_t {
        std::int32_t found = 0;
        bool marker = false;
        if (!ListOrThrow().FindRowEnd(from, found, marker)) return 0;
        if (index != nullptr) *index = found;
        if (is_marker != nullptr) *is_marker = marker ? 1 : 0;
        return 1;
    });
}

void TzolParamsListWrap::NewRow() {
    ValueCall(0, [&] {
        ListOrThrow().NewRow();
        return 0;
    });
}

void TzolParamsListWrap::AddRows(TzolParamsListWrap* other) {
    ValueCall(0, [&] {
        ListOrThrow().AddRows(ListOfAdapter(other));
        return 0;
    });
}

TzolParamsList* TzolParamsListWrap::ListOfAdapter(const TzolParamsListWrap* other) {
    if (other == nullptr) return nullptr;
    if (!platform::IsReadableMemory(other, sizeof *other)) {
        throw std::invalid_argument("The list adapter argument cannot be read");
    }
    CheckInterface(static_cast<const IzolParamsListW*>(other), kListMethods);
    TzolParamsList* list = other->List();
    if (list != nullptr && !TzolParamsList::HasListSignature(list)) {
        throw std::invalid_argument("The list adapter argument holds no list");
    }
    return list;
}

// The 8-bit and UTF-16 methods differ only in how names and text payloads arrive; both go
// through these bodies. `Name` turns the caller's name into the list's 8-bit key text.

namespace {

std::string NameOf(const char* name) { return std::string(AnsiView(name)); }
std::string NameOf(const char16_t* name) { return AnsiFromWide(name); }

template <typename Item>
std::int32_t GetItemBody(TzolParamsList* list, std::int32_t index, Item** item) {
    if (item == nullptr || !Writable(item)) return platform::kStatusFailed;
    *item = nullptr;
    return StatusCall([&] {
        if (list == nullptr) throw std::logic_error("no list");
        HandOutItem(list->Item(index), item);
    });
}

std::int32_t AddListBody(TzolParamsList* list, const TzolParamsList* other, std::int32_t from,
                         std::int32_t to, bool whole, std::uint8_t* result) {
    if (result != nullptr && !Writable(result)) return platform::kStatusFailed;
    return StatusCall([&] {
        if (list == nullptr) throw std::logic_error("no list");
        bool added = whole ? list->AddList(other) : list->AddListRange(other, from, to);
        if (result != nullptr) *result = added ? 1 : 0;
    });
}

template <typename Char, typename Item>
std::int32_t FindItemBody(TzolParamsList* list, const Char* name, std::int32_t from,
                          std::int32_t to, Item** item) {
    if (item == nullptr || !Writable(item)) return platform::kStatusFailed;
    *item = nullptr;
    return StatusCall([&] {
        if (list == nullptr) throw std::logic_error("no list");
        HandOutItem(list->FindItem(NameOf(name), from, to), item);
    });
}

template <typename Char>
std::int32_t IndexOfBody(TzolParamsList* list, const Char* name, std::int32_t from, std::int32_t to,
                         std::int32_t* index) {
    if (index != nullptr && !Writable(index)) return platform::kStatusFailed;
    return StatusCall([&] {
        if (list == nullptr) throw std::logic_error("no list");
        std::int32_t found = list->IndexOf(NameOf(name), from, to);
        if (index != nullptr) *index = found;
    });
}

// GetValue (no fallback) and GetValueDef: the out VARIANT is zeroed first and receives a copy.
// A type 0x100 fallback is 8-bit text in both interfaces: only the W methods that store a value
// (Add, Insert, SetValue) read it as UTF-16.
template <typename Char>
std::int32_t GetValueBody(TzolParamsList* list, const Char* name, const OleVariant* fallback,
                          bool has_fallback, std::int32_t from, std::int32_t to,
                          OleVariant* value) {
    if (value == nullptr || !Writable(value)) return platform::kStatusFailed;
    std::memset(value, 0, sizeof *value);
    return StatusCall([&] {
        if (list == nullptr) throw std::logic_error("no list");
        Variant found = has_fallback ? list->GetValueDef(NameOf(name),
                                                         VariantFromAbi(fallback, false), from, to)
                                     : list->GetValue(NameOf(name), from, to);
        *value = found.Raw();
        platform::OleVariantInit(found.Raw());  // ownership moved to the caller
    });
}

// Add, Insert and SetValue: `store` does the list operation and returns the item to hand out.
template <typename Item, typename Store>
std::int32_t StoreBody(TzolParamsList* list, Item** item, Store&& store) {
    if (item != nullptr && !Writable(item)) return platform::kStatusFailed;
    if (item != nullptr) *item = nullptr;
    return StatusCall([&] {
        if (list == nullptr) throw std::logic_error("no list");
        TzolParamsListItem* stored = store(*list);
        if (item != nullptr) HandOutItem(stored, item);
    });
}

}  // namespace

// --- 8-bit interface

std::int32_t TzolParamsListWrap::GetItem(std::int32_t index, IzolParamsListItemA** item) {
    return GetItemBody(List(), index, item);
}

std::int32_t TzolParamsListWrap::AddList(TzolParamsList* other, std::uint8_t* result) {
    return AddListBody(List(), other, 0, -1, true, result);
}

std::int32_t TzolParamsListWrap::AddListRange(TzolParamsList* other, std::int32_t from,
                                              std::int32_t to, std::uint8_t* result) {
    return AddListBody(List(), other, from, to, false, result);
}

std::int32_t TzolParamsListWrap::FindItem(const char* name, std::int32_t from, std::int32_t to,
                                          IzolParamsListItemA** item) {
    return FindItemBody(List(), name, from, to, item);
}

std::int32_t TzolParamsListWrap::IndexOf(const char* name, std::int32_t from, std::int32_t to,
                                         std::int32_t* index) {
    return IndexOfBody(List(), name, from, to, index);
}

std::int32_t TzolParamsListWrap::GetValue(const char* name, std::int32_t from, std::int32_t to,
                                          OleVariant* value) {
    return GetValueBody(List(), name, nullptr, false, from, to, value);
}

std::int32_t TzolParamsListWrap::GetValueDef(const char* name, const OleVariant* fallback,
                                             std::int32_t from, std::int32_t to,
                                             OleVariant* value) {
    return GetValueBody(List(), name, fallback, true, from, to, value);
}

std::int32_t TzolParamsListWrap::Add(const char* name, const OleVariant* value,
                                     IzolParamsListItemA** item) {
    return StoreBody(List(), item, [&](TzolParamsList& list) {
        return list.Add(NameOf(name), VariantFromAbi(value, false));
    });
}

std::int32_t TzolParamsListWrap::Insert(std::int32_t index, const char* name,
                                        const OleVariant* value, IzolParamsListItemA** item) {
    return StoreBody(List(), item, [&](TzolParamsList& list) {
        return list.Insert(index, NameOf(name), VariantFromAbi(value, false));
    });
}

std::int32_t TzolParamsListWrap::SetValue(const char* name, const OleVariant* value,
                                          std::uint8_t add_if_missing, IzolParamsListItemA** item) {
    return StoreBody(List(), item, [&](TzolParamsList& list) {
        return list.SetValue(NameOf(name), VariantFromAbi(value, false), add_if_missing != 0);
    });
}

std::int32_t TzolParamsListWrap::AddItem(IzolParamsListItemA* source, IzolParamsListItemA** item) {
    return StoreBody(List(), item, [&](TzolParamsList& list) {
        if (source == nullptr) throw std::invalid_argument("no source item");
        CheckInterface(source, kItemAMethods);
        OleVariant raw{};
        if (source->GetValue(&raw) != platform::kStatusOk) throw std::runtime_error("GetValue");
        return list.Add(NameOf(source->GetName()), Variant::Take(raw));
    });
}

// --- UTF-16 interface

std::int32_t TzolParamsListWrap::GetItem(std::int32_t index, IzolParamsListItemW** item) {
    return GetItemBody(List(), index, item);
}

std::int32_t TzolParamsListWrap::AddList(TzolParamsListWrap* other, std::uint8_t* result) {
    return StatusCall([&] {
        if (AddListBody(List(), ListOfAdapter(other), 0, -1, true, result) != 0) {
            throw std::runtime_error("AddList");
        }
    });
}

std::int32_t TzolParamsListWrap::AddListRange(TzolParamsListWrap* other, std::int32_t from,
                                              std::int32_t to, std::uint8_t* result) {
    return StatusCall([&] {
        if (AddListBody(List(), ListOfAdapter(other), from, to, false, result) != 0) {
            throw std::runtime_error("AddListRange");
        }
    });
}

std::int32_t TzolParamsListWrap::FindItem(const char16_t* name, std::int32_t from, std::int32_t to,
                                          IzolParamsListItemW** item) {
    return FindItemBody(List(), name, from, to, item);
}

std::int32_t TzolParamsListWrap::IndexOf(const char16_t* name, std::int32_t from, std::int32_t to,
                                         std::int32_t* index) {
    return IndexOfBody(List(), name, from, to, index);
}

std::int32_t TzolParamsListWrap::GetValue(const char16_t* name, std::int32_t from, std::int32_t to,
                                          OleVariant* value) {
    return GetValueBody(List(), name, nullptr, false, from, to, value);
}

std::int32_t TzolParamsListWrap::GetValueDef(const char16_t* name, const OleVariant* fallback,
                                             std::int32_t from, std::int32_t to,
                                             OleVariant* value) {
    return GetValueBody(List(), name, fallback, true, from, to, value);
}

std::int32_t TzolParamsListWrap::Add(const char16_t* name, const OleVariant* value,
                                     IzolParamsListItemW** item) {
    return StoreBody(List(), item, [&](TzolParamsList& list) {
        return list.Add(NameOf(name), VariantFromAbi(value, true));
    });
}

std::int32_t TzolParamsListWrap::Insert(std::int32_t index, const char16_t* name,
                                        const OleVariant* value, IzolParamsListItemW** item) {
    return StoreBody(List(), item, [&](TzolParamsList& list) {
        return list.Insert(index, NameOf(name), VariantFromAbi(value, true));
    });
}

std::int32_t TzolParamsListWrap::SetValue(const char16_t* name, const OleVariant* value,
                                          std::uint8_t add_if_missing, IzolParamsListItemW** item) {
    return StoreBody(List(), item, [&](TzolParamsList& list) {
        return list.SetValue(NameOf(name), VariantFromAbi(value, true), add_if_missing != 0);
    });
}

std::int32_t TzolParamsListWrap::AddItem(IzolParamsListItemW* source, IzolParamsListItemW** item) {
    return StoreBody(List(), item, [&](TzolParamsList& list) {
        if (source == nullptr) throw std::invalid_argument("no source item");
        CheckInterface(source, kItemWMethods);
        OleVariant raw{};
        if (source->GetValueW(&raw) != platform::kStatusOk) throw std::runtime_error("GetValueW");
        return list.Add(NameOf(source->GetNameW()), Variant::Take(raw));
    });
}

// ---------------------------------------------------------------------------------------------
// Shared list

TzolParamsList& TzolThreadParamsList::ReadLock() {
    lock_.lock_shared();
    return list_;
}

void TzolThreadParamsList::ReadUnlock() { lock_.unlock_shared(); }

TzolParamsList& TzolThreadParamsList::WriteLock() {
    lock_.lock();
    return list_;
}

void TzolThreadParamsList::WriteUnlock() { lock_.unlock(); }

}  // namespace zol::common
