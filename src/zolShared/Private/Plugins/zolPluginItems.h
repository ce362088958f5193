#pragma once
// Parser items and data packets: the declarations of the items a module publishes (and their
// text form for the host), the list that gathers decoded packets with their raw bytes, and the
// two ways packets reach the host: as the output of a ProcessData call or pushed through the
// host's Vantor_SendDataEx.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "zolShared/Private/Plugins/plugin_abi.h"
#include "zolShared/Public/Common/zolParamLst.h"

namespace zol::plugins {

class TzolPlugin;

// Type names by index; index 17 is the empty name after the last "|" (no known type).
inline constexpr std::string_view kParserItemTypeNames =
    "String|Memo|Bytes|Blob|Boolean|Float|Smallint|Word|Integer|Date|Time|DateTime|DWord|Byte|"
    "Shortint|Int64|Currency|";
constexpr std::uint8_t kParserTypeString = 0;
constexpr std::uint8_t kParserTypeFloat = 5;
constexpr std::uint8_t kParserTypeInteger = 8;
constexpr std::uint8_t kParserTypeDateTime = 11;
constexpr std::uint8_t kParserTypeDWord = 12;
constexpr std::uint8_t kParserTypeUnknown = 17;

// The type name at `index` ("" for 17 and beyond).
std::string_view ParserItemTypeName(std::uint8_t index);
// The index of a type name, compared without regard to case; 17 when it is not one.
std::uint8_t ParserItemTypeIndex(std::string_view name);

struct TParserItem {
    std::string Name;
    std::string Description;
    std::uint8_t ItemType = kParserTypeUnknown;
    std::string DefaultValue;
};

class TParserItemList {
   public:
    // Appends a declaration; returns its index.
    std::int32_t Add(std::string name, std::string description, std::string default_value,
                     std::uint8_t type);
    void Clear() { items_.clear(); }
    // The first six standard packet items, and "CLIENTID" when asked.
    void AddStandardItems(bool with_client_id);
    // One line per declaration: Description|Name|TypeName|DefaultValue, joined by CR LF.
    std::string Text() const;
    // Parses the text form; `replace` makes the result the new list, else it is appended.
    // A non-empty line with fewer than two fields ends the parsing.
    void SetFromText(std::string_view text, bool replace);

    std::int32_t Count() const noexcept { return static_cast<std::int32_t>(items_.size()); }
    const TParserItem* At(std::int32_t index) const noexcept;
    const std::vector<TParserItem>& Items() const noexcept { return items_; }

   private:
    std::vector<TParserItem> items_;
};

// Packets gathered for delivery: items in rows, plus the raw bytes of every packet joined by
// the separator.
class TParsedDataList : public common::TzolParamsList {
   public:
    static constexpr std::string_view kRawSeparator = "<{[::]}>";

    TParsedDataList() {
        SetClearHook([](common::TzolParamsList& list) noexcept {
            static_cast<TParsedDataList&>(list).RawText.clear();
        });
    }

    // Cleared with the items, whichever way the list is cleared.
    std::string RawText;
};

// Adds the standard items of one packet to `list`; returns how many were added (4 to 7).
// `now_ole_date` is the local time stamp (OLE date).
std::int32_t AddPacketItems(common::TzolParamsList& list, std::string_view full_packet,
                            std::string_view packet, std::int32_t source_id,
                            std::string_view source_name, std::string_view source_full_name,
                            std::int32_t client_id, std::string_view client_source_name,
                            double now_ole_date);

// RawText becomes `bytes` when empty, else RawText + separator + bytes.
void AppendRaw(TParsedDataList& list, std::string_view bytes);

// Writes a batch of decoded packets into the record of a running ProcessData call: the raw
// text into the input slot (in a buffer of the shared allocator, see docs), one more count in
// the output slot, and the items into the output list. The items may be moved out of `list`.
void DeliverToCall(TPluginCallRec& rec, common::TzolParamsList& list, std::string_view raw,
                   bool append);

// Sends one packet list to the host as a kind-9 Vantor_SendDataEx call.
void PushPacket(TzolPlugin& instance, std::int32_t source_id, std::int32_t client_id,
                TParsedDataList& list);

}  // namespace zol::plugins
