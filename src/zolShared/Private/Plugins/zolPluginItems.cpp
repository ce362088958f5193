#include "zolShared/Private/Plugins/zolPluginItems.h"

#include <cstring>

#include "platform/shared_memory.h"
#include "zolShared/Private/Plugins/call_record.h"
#include "zolShared/Private/Plugins/zolPluginModule.h"

namespace zol::plugins {

using common::Variant;

namespace {

// The state Add gives every new item.
constexpr std::uint8_t kAddedItemState = 2;

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> fields;
    std::size_t from = 0;
    for (;;) {
        std::size_t at = text.find(separator, from);
        if (at == std::string_view::npos) {
            fields.push_back(text.substr(from));
            return fields;
        }
        fields.push_back(text.substr(from, at - from));
        from = at + 1;
    }
}

bool SameTextAscii(std::string_view a, std::string_view b) { return common::SameTextAscii(a, b); }

}  // namespace

std::string_view ParserItemTypeName(std::uint8_t index) {
    auto names = Split(kParserItemTypeNames, '|');
    return index < names.size() ? names[index] : std::string_view();
}

std::uint8_t ParserItemTypeIndex(std::string_view name) {
    auto names = Split(kParserItemTypeNames, '|');
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (SameTextAscii(names[i], name)) return static_cast<std::uint8_t>(i);
    }
    return kParserTypeUnknown;
}

std::int32_t TParserItemList::Add(std::string name, std::string description,
                                  std::string default_value, std::uint8_t type) {
    items_.push_back(
        TParserItem{std::move(name), std::move(description), type, std::move(default_value)});
    return Count() - 1;
}

void TParserItemList::AddStandardItems(bool with_client_id) {
    Add("FULL_DATA_PACKET", "Full data packet", "", kParserTypeString);
    Add("DATA_PACKET", "Data packet", "", kParserTypeString);
    Add("DATE_TIME_STAMP", "Datetime stamp", "", kParserTypeDateTime);
    Add("DATA_SOURCE_ID", "Data source ID", "", kParserTypeInteger);
    Add("DATA_SOURCE_NAME", "Data source name", "", kParserTypeString);
    Add("DATA_SOURCE_FULL_NAME", "Data source long name", "", kParserTypeString);
    if (with_client_id) Add("CLIENTID", "Client ID", "", kParserTypeInteger);
}

std::string TParserItemList::Text() const {
    std::string text;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (i > 0) text.append("\r\n");
        const auto& item = items_[i];
        text.append(item.Description).append("|").append(item.Name).append("|");
        text.append(ParserItemTypeName(item.ItemType)).append("|").append(item.DefaultValue);
    }
    return text;
}

void TParserItemList::SetFromText(std::string_view text, bool replace) {
    std::vector<TParserItem> parsed;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        // CR LF counts as one break; CR or LF alone as one too.
        start =
            end + ((end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n') ? 2 : 1);
        if (line.empty()) continue;
        auto fields = Split(line, '|');
        if (fields.size() < 2) break;
        TParserItem item;
        item.Description = fields[0];
        item.Name = fields[1];
        item.ItemType = fields.size() > 2 ? ParserItemTypeIndex(fields[2]) : kParserTypeUnknown;
        if (fields.size() > 2 && fields[2].empty()) item.ItemType = kParserTypeUnknown;
        if (fields.size() > 3) item.DefaultValue = fields[3];
        parsed.push_back(std::move(item));
    }
    if (replace) items_.clear();
    items_.insert(items_.end(), parsed.begin(), parsed.end());
}

const TParserItem* TParserItemList::At(std::int32_t index) const noexcept {
    if (index < 0 || index >= Count()) return nullptr;
    return &items_[static_cast<std::size_t>(index)];
}

std::int32_t AddPacketItems(common::TzolParamsList& list, std::string_view full_packet,
                            std::string_view packet, std::int32_t source_id,
                            std::string_view source_name, std::string_view source_full_name,
                            std::int32_t client_id, std::string_view client_source_name,
                            double now_ole_date) {
    // Every packet carries these names: their keys are worked out once.
    static const common::ItemName kFullDataPacket("FULL_DATA_PACKET");
    static const common::ItemName kDataPacket("DATA_PACKET");
    static const common::ItemName kDateTimeStamp("DATE_TIME_STAMP");
    static const common::ItemName kDataSourceId("DATA_SOURCE_ID");
    static const common::ItemName kDataSourceFullName("DATA_SOURCE_FULL_NAME");
    static const common::ItemName kClientId("CLIENTID");
    static const common::ItemName kDataSourceName("DATA_SOURCE_NAME");
    std::int32_t added = 0;
    if (!full_packet.empty()) {
        list.Add(kFullDataPacket, Variant::Ansi(full_packet));
        ++added;
    }
    if (!packet.empty()) {
        list.Add(kDataPacket, Variant::Ansi(packet));
        ++added;
    }
    list.Add(kDateTimeStamp, Variant::Date(now_ole_date));
    list.Add(kDataSourceId, Variant::Int32(source_id));
    list.Add(kDataSourceFullName, Variant::Ansi(source_full_name));
    added += 3;
    if (client_id != 0) {
        list.Add(kClientId, Variant::Int32(client_id));
        list.Add(kDataSourceName, Variant::Ansi(client_source_name));
        added += 2;
    } else {
        list.Add(kDataSourceName, Variant::Ansi(source_name));
        added += 1;
    }
    return added;
}

void AppendRaw(TParsedDataList& list, std::string_view bytes) {
    if (list.RawText.empty()) {
        list.RawText.assign(bytes);
    } else {
        list.RawText.append(TParsedDataList::kRawSeparator).append(bytes);
    }
}

void DeliverToCall(TPluginCallRec& rec, common::TzolParamsList& list, std::string_view raw,
                   bool append) {
    if (rec.OutData.Kind != kDataListInterface || rec.OutData.Value.Ptr == nullptr) return;
    auto* output = *static_cast<common::IzolParamsListA**>(rec.OutData.Value.Ptr);
    if (output == nullptr) return;

    if (!raw.empty()) {
        TPluginData& slot = rec.InData;
        if (slot.Kind == kDataRawBytes && slot.Size > 0 && slot.Value.Ptr != nullptr && append) {
            const auto existing = static_cast<std::size_t>(slot.Size);
            const auto* old_bytes = static_cast<const char*>(slot.Value.Ptr);
            const std::string_view sep = TParsedDataList::kRawSeparator;
            const bool needs_separator =
                existing > sep.size() &&
                std::string_view(old_bytes + existing - sep.size(), sep.size()) != sep;
            const std::size_t total = existing + (needs_separator ? sep.size() : 0) + raw.size();
            auto* grown = static_cast<char*>(platform::SharedRealloc(slot.Value.Ptr, total));
            if (grown == nullptr) throw std::bad_alloc();
            std::size_t at = existing;
            if (needs_separator) {
                std::memcpy(grown + at, sep.data(), sep.size());
                at += sep.size();
            }
            std::memcpy(grown + at, raw.data(), raw.size());
            slot.Value.Ptr = grown;
            slot.Size = static_cast<std::int32_t>(total);
        } else if (slot.Kind == kDataRawBytes && slot.Size > 0 && slot.Value.Ptr != nullptr) {
            // Not appending: the existing buffer is reused from its start.
            auto* reused = static_cast<char*>(platform::SharedRealloc(slot.Value.Ptr, raw.size()));
            if (reused == nullptr) throw std::bad_alloc();
            std::memcpy(reused, raw.data(), raw.size());
            slot.Value.Ptr = reused;
            slot.Size = static_cast<std::int32_t>(raw.size());
        } else {
            auto* fresh = static_cast<char*>(platform::SharedAlloc(raw.size()));
            if (fresh == nullptr) throw std::bad_alloc();
            std::memcpy(fresh, raw.data(), raw.size());
            slot.Kind = kDataRawBytes;
            slot.Value.Ptr = fresh;
            slot.Size = static_cast<std::int32_t>(raw.size());
        }
    }

    ++rec.OutData.Count;

    // A list object the caller handed in takes the items whole, as copying the list would give
    // them (name, key, value, data type and state); they are moved, the list is not used again.
    if (common::TzolParamsList* own = CallRecordScope::OwnList(rec.OutData)) {
        if (!append) own->Clear();
        own->TakeItems(list);
        return;
    }

    if (!append) output->Clear();
    for (std::int32_t i = 0; i < list.Count(); ++i) {
        const common::TzolParamsListItem* item = list.Item(i);
        // Add gives the new item data type 0 and state 2, which is what almost every item has;
        // only the others need the item's adapter (one allocation and three texts each) to be
        // set. A key set through an item adapter is that adapter's alone, so none is sent.
        const bool plain = item->DataType == 0 && item->State == kAddedItemState;
        common::IzolParamsListItemA* added = nullptr;
        if (output->Add(item->Name.c_str(), &item->Value.Raw(), plain ? nullptr : &added) != 0) {
            continue;
        }
        if (added == nullptr) continue;
        added->SetDataType(item->DataType);
        added->SetState(item->State);
        added->Release();
    }
}

void PushPacket(TzolPlugin& instance, std::int32_t source_id, std::int32_t client_id,
                TParsedDataList& list) {
    if (instance.EntryPoints().Vantor_SendDataEx == nullptr) return;
    TPluginCallRec rec{};
    rec.RecSize = kCallRecSize;
    rec.Flags = kFlagCreatedByPlugin;
    if (!list.RawText.empty()) {
        rec.InData.Kind = kDataRawBytes;
        rec.InData.Value.Ptr = list.RawText.data();
        rec.InData.Size = static_cast<std::int32_t>(list.RawText.size());
    }
    auto* wrap = new common::TzolParamsListWrap(&list, true);
    rec.OutData.Kind = kDataListInterface;
    rec.OutData.Value.Ptr = wrap->AsInterfaceA();
    instance.SendDataEx(source_id, client_id, kSendDataPacket,
                        reinterpret_cast<std::intptr_t>(&rec), 0);
    wrap->DestroyCached();
}

}  // namespace zol::plugins
