#pragma once
// Parameter lists: the ordered lists of named variant values that carry every parameter between
// the host and the plug-in (command arguments and results, events, module parameters, rows of
// parsed data), the reference-counted adapters that expose them as COM-style interfaces, and the
// binary interfaces themselves.
//
// Keys are the names lower-cased with the system's 8-bit mapping; duplicates are allowed; a list
// is flat, its rows separated by "$NEW_ROW$" marker items.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/abi.h"
#include "platform/com.h"
#include "platform/shared_mutex.h"
#include "zolShared/Public/Common/variant.h"

namespace zol::common {

constexpr std::uint32_t kParamsListSignature = 0xFDE2E4B;
constexpr std::uint32_t kParamsListMarker = 0x4C505A5A;  // "ZZPL" in memory
constexpr std::int32_t kRowMarkerDataType = 0xFF01;
constexpr std::string_view kNewRowName = "$NEW_ROW$";

// Raised by the list's own checks: a range outside the list, a list object with a wrong
// signature, or Values[] of a name that is not there. The interfaces turn it into a status.
class ParamsListAssertion : public std::logic_error {
   public:
    ParamsListAssertion(const std::string& message, int line);
    const std::string& Message() const noexcept { return message_; }

   private:
    std::string message_;
};

// An item name with its key, lower-cased once: for the names a module adds to every packet.
struct ItemName {
    explicit ItemName(std::string_view name);
    std::string Name;
    std::string Key;
};

// One named value.
class TzolParamsListItem {
   public:
    // Sets Name, Key and Value; State is 2 when the value is neither empty nor null, else 0.
    TzolParamsListItem(std::string_view name, Variant value);
    TzolParamsListItem(const ItemName& name, Variant value);

    // Items are made and freed with every packet for as long as the plug-in runs: their blocks
    // come from a bounded cache of their own (see block_cache.h).
    static void* operator new(std::size_t size);
    static void operator delete(void* block, std::size_t size) noexcept;
    // Freed item blocks the cache holds now.
    static std::size_t CachedBlocks() noexcept;

    // Copies Name, Key, DataType and State, not Value.
    void Assign(const TzolParamsListItem& other);
    bool IsRowMarker() const noexcept { return DataType == kRowMarkerDataType; }

    std::string Name;  // 8-bit text as given, untrimmed
    std::string Key;   // Name lower-cased; all lookups compare keys
    std::int32_t DataType = 0;
    std::uint8_t State = 0;
    Variant Value;
};

// The list itself. Ranges are (from, to): from below 0 counts as 0; to below 0 or at or past the
// count means the last item. to == -2 additionally stops a lookup after the first row marker, so
// it stays inside the current row.
class TzolParamsList {
   public:
    TzolParamsList();
    ~TzolParamsList();
    TzolParamsList(const TzolParamsList&) = delete;
    TzolParamsList& operator=(const TzolParamsList&) = delete;

    std::int32_t Count() const noexcept { return static_cast<std::int32_t>(items_.size()); }
    // The item, or nullptr outside 0..Count-1.
    TzolParamsListItem* Item(std::int32_t index) const noexcept;
    // Replaces (and frees) the item at index; the range is asserted.
    void Put(std::int32_t index, std::unique_ptr<TzolParamsListItem> item);

    std::int32_t IndexOf(std::string_view name, std::int32_t from = 0, std::int32_t to = -1) const;
    TzolParamsListItem* FindItem(std::string_view name, std::int32_t from = 0,
                                 std::int32_t to = -1) const;
    // A copy of the found value, or an empty value.
    Variant GetValue(std::string_view name, std::int32_t from = 0, std::int32_t to = -1) const;
    Variant GetValueDef(std::string_view name, const Variant& fallback, std::int32_t from = 0,
                        std::int32_t to = -1) const;

    // Appends an item; nothing (nullptr) when the name trimmed of characters up to 32 is empty.
    TzolParamsListItem* Add(std::string_view name, Variant value);
    TzolParamsListItem* Add(const ItemName& name, Variant value);
    TzolParamsListItem* Insert(std::int32_t index, std::string_view name, Variant value);
    // Frees and removes the item; an index outside the list does nothing.
    void Delete(std::int32_t index);
    // Frees all items, and whatever a derived list keeps beside them (see SetClearHook).
    void Clear();
    // Stores into the first item of that name (adding one when asked); nullptr when absent.
    TzolParamsListItem* SetValue(std::string_view name, Variant value, bool add_if_missing);
    TzolParamsListItem* AddItemCopy(const TzolParamsListItem& item);
    bool AddList(const TzolParamsList* other);
    bool AddListRange(const TzolParamsList* other, std::int32_t from, std::int32_t to);
    // Moves every item of `other` to the end of this list, in order, leaving `other` without
    // items (whatever it keeps beside them stays): a packet changes hands without a copy.
    void TakeItems(TzolParamsList& other);
    // Makes room for `count` items in all, so that adding them allocates only the items.
    void Reserve(std::int32_t count);

    // Walks from `from` to the first row marker or the last item; false when from is past the end.
    bool FindRowEnd(std::int32_t from, std::int32_t& index, bool& is_marker) const;
    // Appends a row marker unless the last item already is one.
    void NewRow();
    void AddRows(const TzolParamsList* other);

    // The value of an existing parameter; asserts "Parameter is not defined" when absent.
    const Variant& Values(std::string_view name) const;
    void SetValues(std::string_view name, Variant value);

    std::uint32_t Signature() const noexcept { return signature_; }
    // Made on first use: most lists (every decoded packet's) are never asked for it.
    const std::string& ListId() const;
    std::int32_t Tag() const noexcept { return tag_; }
    void SetTag(std::int32_t tag) noexcept { tag_ = tag; }

    // True when `object` is a live list: its fifth 32-bit word holds the signature.
    static bool HasListSignature(const void* object) noexcept;

   protected:
    // A derived list that keeps state beside its items (the raw bytes of parsed packets) clears
    // it here, so that Clear through the base class or through an adapter clears it too. This
    // stands in for a virtual Clear: a vtable would take the first word of the object, where
    // callers look for the marker that tells a list object from an interface variable.
    using ClearHook = void (*)(TzolParamsList& list) noexcept;
    void SetClearHook(ClearHook hook) noexcept { clear_hook_ = hook; }

   private:
    std::int32_t LastIndex(std::int32_t to) const noexcept;
    static void CheckOther(const TzolParamsList* other);

    // The signature must be the fifth 32-bit word of the object: that is where callers look to
    // tell a list object from a pointer to an interface variable. The first word carries a
    // marker that is checked first, so a pointer to a 4-byte interface variable is never read
    // past its end.
    std::array<std::uint32_t, 4> header_{kParamsListMarker, 0, 0, 0};
    std::uint32_t signature_ = kParamsListSignature;
    std::vector<std::unique_ptr<TzolParamsListItem>> items_;
    mutable std::string list_id_;
    std::int32_t tag_ = 0;
    ClearHook clear_hook_ = nullptr;
};

// The name trimmed of characters with codes up to 32 on both ends.
std::string_view TrimControl(std::string_view text) noexcept;

// ---------------------------------------------------------------------------------------------
// Binary interfaces. Every method is stdcall with the interface first; status methods return 0
// or 0x8000FFFF and zero their out VARIANT / out interface before working.

// NOLINTBEGIN(readability-identifier-naming): interface and method names are part of the ABI.
struct IzolParamsListItemA : platform::IUnknownAbi {
    virtual void ZOL_STDCALL SetKey(const char* key) = 0;
    virtual void ZOL_STDCALL SetDataType(std::int32_t data_type) = 0;
    virtual void ZOL_STDCALL SetState(std::uint8_t state) = 0;
    virtual const char* ZOL_STDCALL GetKey() = 0;
    virtual std::int32_t ZOL_STDCALL GetDataType() = 0;
    virtual std::uint8_t ZOL_STDCALL GetState() = 0;
    virtual std::int32_t ZOL_STDCALL SetValue(const platform::OleVariant* value) = 0;
    virtual std::int32_t ZOL_STDCALL GetValue(platform::OleVariant* value) = 0;
    virtual void ZOL_STDCALL SetName(const char* name) = 0;
    virtual const char* ZOL_STDCALL GetName() = 0;
    virtual std::uint8_t ZOL_STDCALL IsNewRow() = 0;

   protected:
    ~IzolParamsListItemA() = default;
};

struct IzolParamsListItemW : IzolParamsListItemA {
    virtual void ZOL_STDCALL SetNameW(const char16_t* name) = 0;
    virtual const char16_t* ZOL_STDCALL GetNameW() = 0;
    virtual std::int32_t ZOL_STDCALL SetValueW(const platform::OleVariant* value) = 0;
    virtual std::int32_t ZOL_STDCALL GetValueW(platform::OleVariant* value) = 0;

   protected:
    ~IzolParamsListItemW() = default;
};

class TzolParamsListWrap;

struct IzolParamsList_ : platform::IUnknownAbi {
    virtual std::int32_t ZOL_STDCALL GetCount() = 0;
    virtual std::int32_t ZOL_STDCALL GetSignature() = 0;
    virtual std::int32_t ZOL_STDCALL GetTag() = 0;
    virtual void ZOL_STDCALL SetTag(std::int32_t tag) = 0;
    virtual void ZOL_STDCALL Clear() = 0;
    virtual void ZOL_STDCALL Delete(std::int32_t index) = 0;
    virtual std::uint8_t ZOL_STDCALL FindRowEnd(std::int32_t from, std::int32_t* index,
                                                std::uint8_t* is_marker) = 0;
    virtual void ZOL_STDCALL NewRow() = 0;
    virtual void ZOL_STDCALL AddRows(TzolParamsListWrap* other) = 0;

   protected:
    ~IzolParamsList_() = default;
};

struct IzolParamsListA : IzolParamsList_ {
    virtual std::int32_t ZOL_STDCALL GetItem(std::int32_t index, IzolParamsListItemA** item) = 0;
    virtual std::int32_t ZOL_STDCALL AddList(TzolParamsList* other, std::uint8_t* result) = 0;
    virtual std::int32_t ZOL_STDCALL AddListRange(TzolParamsList* other, std::int32_t from,
                                                  std::int32_t to, std::uint8_t* result) = 0;
    virtual std::int32_t ZOL_STDCALL FindItem(const char* name, std::int32_t from, std::int32_t to,
                                              IzolParamsListItemA** item) = 0;
    virtual std::int32_t ZOL_STDCALL IndexOf(const char* name, std::int32_t from, std::int32_t to,
                                             std::int32_t* index) = 0;
    virtual std::int32_t ZOL_STDCALL GetValue(const char* name, std::int32_t from, std::int32_t to,
                                              platform::OleVariant* value) = 0;
    virtual std::int32_t ZOL_STDCALL GetValueDef(const char* name,
                                                 const platform::OleVariant* fallback,
                                                 std::int32_t from, std::int32_t to,
                                                 platform::OleVariant* value) = 0;
    virtual std::int32_t ZOL_STDCALL Add(const char* name, const platform::OleVariant* value,
                                         IzolParamsListItemA** item) = 0;
    virtual std::int32_t ZOL_STDCALL Insert(std::int32_t index, const char* name,
                                            const platform::OleVariant* value,
                                            IzolParamsListItemA** item) = 0;
    virtual std::int32_t ZOL_STDCALL SetValue(const char* name, const platform::OleVariant* value,
                                              std::uint8_t add_if_missing,
                                              IzolParamsListItemA** item) = 0;
    virtual std::int32_t ZOL_STDCALL AddItem(IzolParamsListItemA* source,
                                             IzolParamsListItemA** item) = 0;

   protected:
    ~IzolParamsListA() = default;
};

struct IzolParamsListW : IzolParamsList_ {
    virtual std::int32_t ZOL_STDCALL GetItem(std::int32_t index, IzolParamsListItemW** item) = 0;
    virtual std::int32_t ZOL_STDCALL AddList(TzolParamsListWrap* other, std::uint8_t* result) = 0;
    virtual std::int32_t ZOL_STDCALL AddListRange(TzolParamsListWrap* other, std::int32_t from,
                                                  std::int32_t to, std::uint8_t* result) = 0;
    virtual std::int32_t ZOL_STDCALL FindItem(const char16_t* name, std::int32_t from,
                                              std::int32_t to, IzolParamsListItemW** item) = 0;
    virtual std::int32_t ZOL_STDCALL IndexOf(const char16_t* name, std::int32_t from,
                                             std::int32_t to, std::int32_t* index) = 0;
    virtual std::int32_t ZOL_STDCALL GetValue(const char16_t* name, std::int32_t from,
                                              std::int32_t to, platform::OleVariant* value) = 0;
    virtual std::int32_t ZOL_STDCALL GetValueDef(const char16_t* name,
                                                 const platform::OleVariant* fallback,
                                                 std::int32_t from, std::int32_t to,
                                                 platform::OleVariant* value) = 0;
    virtual std::int32_t ZOL_STDCALL Add(const char16_t* name, const platform::OleVariant* value,
                                         IzolParamsListItemW** item) = 0;
    virtual std::int32_t ZOL_STDCALL Insert(std::int32_t index, const char16_t* name,
                                            const platform::OleVariant* value,
                                            IzolParamsListItemW** item) = 0;
    virtual std::int32_t ZOL_STDCALL SetValue(const char16_t* name,
                                              const platform::OleVariant* value,
                                              std::uint8_t add_if_missing,
                                              IzolParamsListItemW** item) = 0;
    virtual std::int32_t ZOL_STDCALL AddItem(IzolParamsListItemW* source,
                                             IzolParamsListItemW** item) = 0;

   protected:
    ~IzolParamsListW() = default;
};
// NOLINTEND(readability-identifier-naming)

constexpr platform::Guid kIidIzolParamsListA = {
    0x33316D29, 0x0F86, 0x41C4, {0x8D, 0xB4, 0x3F, 0xE9, 0x75, 0x61, 0x58, 0xB1}};
constexpr platform::Guid kIidIzolParamsListW = {
    0x33316D29, 0x0F86, 0x41C4, {0x8D, 0xB4, 0x3F, 0xE9, 0x75, 0x61, 0x58, 0xB2}};
constexpr platform::Guid kIidIzolParamsListItemA = {
    0x33316D29, 0x0F86, 0x41C4, {0x8D, 0xB4, 0x3F, 0xE9, 0x75, 0x61, 0x58, 0xB4}};
constexpr platform::Guid kIidIzolParamsListItemW = {
    0x33316D29, 0x0F86, 0x41C4, {0x8D, 0xB4, 0x3F, 0xE9, 0x75, 0x61, 0x58, 0xB6}};

// Converts a VARIANT handed in through an interface into a stored value: type 0x100 with a
// payload carries zero-terminated text (8-bit, or UTF-16 when `wide`), type 0x102 UTF-16 text;
// both become BSTR. Every other VARIANT is copied as it is; a null pointer reads as empty.
Variant VariantFromAbi(const platform::OleVariant* value, bool wide);

// The item adapter: a fresh one is made for every call that hands out an item, freed at count 0.
// It borrows the item; the list must outlive it.
class TzolParamsListItemWrap final : public IzolParamsListItemW {
   public:
    explicit TzolParamsListItemWrap(TzolParamsListItem* item);

    std::int32_t ZOL_STDCALL QueryInterface(const platform::Guid& iid, void** out) override;
    std::uint32_t ZOL_STDCALL AddRef() override;
    std::uint32_t ZOL_STDCALL Release() override;

    void ZOL_STDCALL SetKey(const char* key) override;
    void ZOL_STDCALL SetDataType(std::int32_t data_type) override;
    void ZOL_STDCALL SetState(std::uint8_t state) override;
    const char* ZOL_STDCALL GetKey() override;
    std::int32_t ZOL_STDCALL GetDataType() override;
    std::uint8_t ZOL_STDCALL GetState() override;
    std::int32_t ZOL_STDCALL SetValue(const platform::OleVariant* value) override;
    std::int32_t ZOL_STDCALL GetValue(platform::OleVariant* value) override;
    void ZOL_STDCALL SetName(const char* name) override;
    const char* ZOL_STDCALL GetName() override;
    std::uint8_t ZOL_STDCALL IsNewRow() override;
    void ZOL_STDCALL SetNameW(const char16_t* name) override;
    const char16_t* ZOL_STDCALL GetNameW() override;
    std::int32_t ZOL_STDCALL SetValueW(const platform::OleVariant* value) override;
    std::int32_t ZOL_STDCALL GetValueW(platform::OleVariant* value) override;

    TzolParamsListItem* Item() const noexcept { return item_; }

   private:
    ~TzolParamsListItemWrap() = default;
    void RefreshTexts();

    std::u16string name_wide_;
    std::string name_ansi_;
    std::string key_text_;
    TzolParamsListItem* item_;
    std::atomic<std::int32_t> ref_count_{0};
};

// The list adapter. Owns its list unless it was made over a borrowed one.
class TzolParamsListWrap final : public IzolParamsListW, public IzolParamsListA {
   public:
    // An adapter over a new list of its own.
    TzolParamsListWrap();
    // An adapter over `list`; when borrowed, the list is not freed with the adapter. A null
    // list gives a new owned one.
    TzolParamsListWrap(TzolParamsList* list, bool borrowed);

    // An adapter is made and freed by every call that hands over a list object: the blocks come
    // from a small cache of their own, as items' do, and not from the host's heap each time.
    static void* operator new(std::size_t size);
    static void operator delete(void* block, std::size_t size) noexcept;

    // The address of the adapter's own cached IzolParamsListA reference (set on first use):
    // the "pointer to an interface variable" that call records carry.
    IzolParamsListA** AsInterfaceA();
    // The list, or nullptr once a borrowed list was detached (see DestroyCached).
    TzolParamsList* List() const noexcept { return list_.load(); }
    IzolParamsListA* AsA() noexcept { return this; }
    IzolParamsListW* AsW() noexcept { return this; }

    // Frees an adapter that holds a cached self reference, once the call that needed it is over.
    // When somebody still holds a reference, the adapter is not freed under them: a borrowed
    // list is detached (later calls fail cleanly), the problem is reported, and the last Release
    // frees the adapter. The host may make that last Release on another thread at any moment,
    // so the adapter is detached before its own reference is given up.
    void DestroyCached();

    // QueryInterface, AddRef and Release serve both interfaces.
    std::int32_t ZOL_STDCALL QueryInterface(const platform::Guid& iid, void** out) override;
    std::uint32_t ZOL_STDCALL AddRef() override;
    std::uint32_t ZOL_STDCALL Release() override;

    std::int32_t ZOL_STDCALL GetCount() override;
    std::int32_t ZOL_STDCALL GetSignature() override;
    std::int32_t ZOL_STDCALL GetTag() override;
    void ZOL_STDCALL SetTag(std::int32_t tag) override;
    void ZOL_STDCALL Clear() override;
    void ZOL_STDCALL Delete(std::int32_t index) override;
    std::uint8_t ZOL_STDCALL FindRowEnd(std::int32_t from, std::int32_t* index,
                                        std::uint8_t* is_marker) override;
    void ZOL_STDCALL NewRow() override;
    void ZOL_STDCALL AddRows(TzolParamsListWrap* other) override;

    std::int32_t ZOL_STDCALL GetItem(std::int32_t index, IzolParamsListItemA** item) override;
    std::int32_t ZOL_STDCALL AddList(TzolParamsList* other, std::uint8_t* result) override;
    std::int32_t ZOL_STDCALL AddListRange(TzolParamsList* other, std::int32_t from, std::int32_t to,
                                          std::uint8_t* result) override;
    std::int32_t ZOL_STDCALL FindItem(const char* name, std::int32_t from, std::int32_t to,
                                      IzolParamsListItemA** item) override;
    std::int32_t ZOL_STDCALL IndexOf(const char* name, std::int32_t from, std::int32_t to,
                                     std::int32_t* index) override;
    std::int32_t ZOL_STDCALL GetValue(const char* name, std::int32_t from, std::int32_t to,
                                      platform::OleVariant* value) override;
    std::int32_t ZOL_STDCALL GetValueDef(const char* name, const platform::OleVariant* fallback,
                                         std::int32_t from, std::int32_t to,
                                         platform::OleVariant* value) override;
    std::int32_t ZOL_STDCALL Add(const char* name, const platform::OleVariant* value,
                                 IzolParamsListItemA** item) override;
    std::int32_t ZOL_STDCALL Insert(std::int32_t index, const char* name,
                                    const platform::OleVariant* value,
                                    IzolParamsListItemA** item) override;
    std::int32_t ZOL_STDCALL SetValue(const char* name, const platform::OleVariant* value,
                                      std::uint8_t add_if_missing,
                                      IzolParamsListItemA** item) override;
    std::int32_t ZOL_STDCALL AddItem(IzolParamsListItemA* source,
                                     IzolParamsListItemA** item) override;

    std::int32_t ZOL_STDCALL GetItem(std::int32_t index, IzolParamsListItemW** item) override;
    std::int32_t ZOL_STDCALL AddList(TzolParamsListWrap* other, std::uint8_t* result) override;
    std::int32_t ZOL_STDCALL AddListRange(TzolParamsListWrap* other, std::int32_t from,
                                          std::int32_t to, std::uint8_t* result) override;
    std::int32_t ZOL_STDCALL FindItem(const char16_t* name, std::int32_t from, std::int32_t to,
                                      IzolParamsListItemW** item) override;
    std::int32_t ZOL_STDCALL IndexOf(const char16_t* name, std::int32_t from, std::int32_t to,
                                     std::int32_t* index) override;
    std::int32_t ZOL_STDCALL GetValue(const char16_t* name, std::int32_t from, std::int32_t to,
                                      platform::OleVariant* value) override;
    std::int32_t ZOL_STDCALL GetValueDef(const char16_t* name, const platform::OleVariant* fallback,
                                         std::int32_t from, std::int32_t to,
                                         platform::OleVariant* value) override;
    std::int32_t ZOL_STDCALL Add(const char16_t* name, const platform::OleVariant* value,
                                 IzolParamsListItemW** item) override;
    std::int32_t ZOL_STDCALL Insert(std::int32_t index, const char16_t* name,
                                    const platform::OleVariant* value,
                                    IzolParamsListItemW** item) override;
    std::int32_t ZOL_STDCALL SetValue(const char16_t* name, const platform::OleVariant* value,
                                      std::uint8_t add_if_missing,
                                      IzolParamsListItemW** item) override;
    std::int32_t ZOL_STDCALL AddItem(IzolParamsListItemW* source,
                                     IzolParamsListItemW** item) override;

   private:
    ~TzolParamsListWrap();
    TzolParamsList& ListOrThrow() const;
    // The list of an adapter handed in by a caller, after probing that it is one; throws when
    // it is not.
    static TzolParamsList* ListOfAdapter(const TzolParamsListWrap* other);

    // The self slot and the list are read by Release and the interface methods on the host's
    // threads while DestroyCached clears them on the plug-in's, hence atomic.
    IzolParamsListA* self_ = nullptr;                    // cached self reference
    std::atomic<IzolParamsListA**> self_slot_{nullptr};  // points at self_ once cached
    std::uint8_t borrowed_ = 0;
    std::atomic<TzolParamsList*> list_{nullptr};
    std::atomic<std::int32_t> ref_count_{0};
};

// A list shared between threads: readers take ReadLock, writers WriteLock, each paired with
// its Unlock. Used for the module-parameter store.
class TzolThreadParamsList {
   public:
    TzolParamsList& ReadLock();
    void ReadUnlock();
    TzolParamsList& WriteLock();
    void WriteUnlock();

   private:
    TzolParamsList list_;
    platform::SharedMutex lock_;
};

struct TStorageDataType {
    std::string_view Name;
    std::int32_t VarType;
};

// Storage type names and the OLE variant types they are kept as.
inline constexpr std::array<TStorageDataType, 18> StorageDataTypes = {{
    {"string", 8},
    {"memo", 8},
    {"bytes", 8},
    {"blob", 8},
    {"boolean", 11},
    {"double", 5},
    {"float", 5},
    {"smallint", 2},
    {"word", 18},
    {"integer", 3},
    {"date", 7},
    {"time", 7},
    {"datetime", 7},
    {"dword", 19},
    {"byte", 17},
    {"shortint", 16},
    {"int64", 20},
    {"currency", 6},
}};

}  // namespace zol::common
