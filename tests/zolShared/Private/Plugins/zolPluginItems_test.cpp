#include "zolShared/Private/Plugins/zolPluginItems.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/shared_memory.h"
#include "zolShared/Private/Plugins/call_record.h"

namespace zol::plugins {
namespace {

using common::TzolParamsList;
using common::Variant;

struct ParseCase {
    const char* name;
    const char* text;
    std::vector<TParserItem> expected;
    const char* written_back;  // nullptr: identical to the input
};

TEST(ParserItems, DeclarationTextParsesAndWritesBack) {
    const ParseCase cases[] = {
        {"standard line",
         "Full data packet|FULL_DATA_PACKET|String|",
         {{"FULL_DATA_PACKET", "Full data packet", 0, ""}},
         nullptr},
        {"unknown type name", "Energy|E1|Kilowatts", {{"E1", "Energy", 17, ""}}, "Energy|E1||"},
        {"type names ignore case, default kept",
         "Volume|V1|float|0\r\nWhen|T|DATETIME|",
         {{"V1", "Volume", 5, "0"}, {"T", "When", 11, ""}},
         "Volume|V1|Float|0\r\nWhen|T|DateTime|"},
        {"second line without a bar ends the parsing",
         "A|a|Integer|1\nbroken\nC|c|String|",
         {{"a", "A", 8, "1"}},
         "A|a|Integer|1"},
        {"empty lines are skipped",
         "\r\nA|a|Currency|\r\n\r\nB|b",
         {{"a", "A", 16, ""}, {"b", "B", 17, ""}},
         "A|a|Currency|\r\nB|b||"},
        {"empty text", "", {}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TParserItemList list;
        list.SetFromText(c.text, true);
        ASSERT_EQ(list.Items().size(), c.expected.size());
        for (std::size_t i = 0; i < c.expected.size(); ++i) {
            EXPECT_EQ(list.Items()[i].Name, c.expected[i].Name);
            EXPECT_EQ(list.Items()[i].Description, c.expected[i].Description);
            EXPECT_EQ(list.Items()[i].ItemType, c.expected[i].ItemType);
            EXPECT_EQ(list.Items()[i].DefaultValue, c.expected[i].DefaultValue);
        }
        EXPECT_EQ(list.Text(), c.written_back != nullptr ? c.written_back : c.text);
    }
}

TEST(ParserItems, StandardItemsAndAppendingDeclarations) {
    TParserItemList list;
    list.AddStandardItems(false);
    EXPECT_EQ(list.Count(), 6);
    list.SetFromText("X|x|Integer|0", false);
    EXPECT_EQ(list.Count(), 7);
    list.SetFromText("Y|y|Integer|0", true);
    EXPECT_EQ(list.Count(), 1);
    list.Clear();
    list.AddStandardItems(true);
    ASSERT_EQ(list.Count(), 7);
    EXPECT_EQ(list.Text(),
              "Full data packet|FULL_DATA_PACKET|String|\r\n"
              "Data packet|DATA_PACKET|String|\r\n"
              "Datetime stamp|DATE_TIME_STAMP|DateTime|\r\n"
              "Data source ID|DATA_SOURCE_ID|Integer|\r\n"
              "Data source name|DATA_SOURCE_NAME|String|\r\n"
              "Data source long name|DATA_SOURCE_FULL_NAME|String|\r\n"
              "Client ID|CLIENTID|Integer|");
    EXPECT_EQ(ParserItemTypeName(17), "");
    EXPECT_EQ(ParserItemTypeName(200), "");
}

std::vector<std::string> NamesOf(const TzolParamsList& list) {
    std::vector<std::string> names;
    for (int i = 0; i < list.Count(); ++i) names.push_back(list.Item(i)->Name);
    return names;
}

TEST(DataPackets, PacketItemsDependOnTheClient) {
    TzolParamsList without_client;
    EXPECT_EQ(AddPacketItems(without_client, "", "", 3, "COM3", "Port 3", 0, "client", 45000.5), 4);
    EXPECT_EQ(NamesOf(without_client),
              (std::vector<std::string>{"DATE_TIME_STAMP", "DATA_SOURCE_ID",
                                        "DATA_SOURCE_FULL_NAME", "DATA_SOURCE_NAME"}));
    EXPECT_EQ(without_client.GetValue("DATA_SOURCE_NAME").AsAnsi(), "COM3");
    EXPECT_EQ(without_client.GetValue("DATE_TIME_STAMP").Type(), platform::kVtDate);

    TzolParamsList with_client;
    EXPECT_EQ(AddPacketItems(with_client, "full", "part", 3, "COM3", "Port 3", 9, "meter 9", 1.0),
              7);
    EXPECT_EQ(NamesOf(with_client),
              (std::vector<std::string>{"FULL_DATA_PACKET", "DATA_PACKET", "DATE_TIME_STAMP",
                                        "DATA_SOURCE_ID", "DATA_SOURCE_FULL_NAME", "CLIENTID",
                                        "DATA_SOURCE_NAME"}));
    EXPECT_EQ(with_client.GetValue("DATA_SOURCE_NAME").AsAnsi(), "meter 9");
    EXPECT_EQ(with_client.GetValue("CLIENTID").AsInt64(), 9);
}

TEST(DataPackets, RawTextJoinsPacketsWithTheSeparatorAndGoesWithEveryClear) {
    using ClearWay = void (*)(TParsedDataList&);
    const std::pair<const char*, ClearWay> ways[] = {
        {"the list itself", [](TParsedDataList& list) { list.Clear(); }},
        {"the base class",
         [](TParsedDataList& list) { static_cast<TzolParamsList&>(list).Clear(); }},
        {"an adapter",
         [](TParsedDataList& list) {
             auto* wrap = new common::TzolParamsListWrap(&list, true);
             (*wrap->AsInterfaceA())->Clear();
             wrap->DestroyCached();
         }},
    };
    for (const auto& [name, clear] : ways) {
        SCOPED_TRACE(name);
        TParsedDataList list;
        AppendRaw(list, "ABC");
        AppendRaw(list, "X");
        EXPECT_EQ(list.RawText, "ABC<{[::]}>X");
        list.Add("a", Variant::Int32(1));
        clear(list);
        EXPECT_EQ(list.Count(), 0);
        EXPECT_EQ(list.RawText, "");
    }
}

// A record whose output slot holds a list object, converted as ProcessData would.
struct DeliveryFixture {
    TzolParamsList output;
    common::TzolParamsListWrap* wrap = new common::TzolParamsListWrap(&output, true);
    TPluginCallRec rec{};
    DeliveryFixture() {
        rec.RecSize = kCallRecSize;
        rec.OutData.Kind = kDataListInterface;
        rec.OutData.Value.Ptr = wrap->AsInterfaceA();
    }
    ~DeliveryFixture() {
        wrap->DestroyCached();
        if (rec.InData.Kind == kDataRawBytes) platform::SharedFree(rec.InData.Value.Ptr);
    }
    void SetInput(std::string_view bytes) {
        void* buffer = platform::SharedAlloc(bytes.size());
        std::memcpy(buffer, bytes.data(), bytes.size());
        rec.InData.Kind = kDataRawBytes;
        rec.InData.Size = static_cast<std::int32_t>(bytes.size());
        rec.InData.Value.Ptr = buffer;
    }
    std::string Input() const {
        return std::string(static_cast<const char*>(rec.InData.Value.Ptr),
                           static_cast<std::size_t>(rec.InData.Size));
    }
};

TEST(DataPackets, DeliveryAppendsRawBytesWithASeparatorOnlyWhenNeeded) {
    struct Case {
        const char* name;
        const char* existing;
        bool append;
        const char* expected;
    };
    const Case cases[] = {
        {"short existing bytes get no separator", "ABC", true, "ABCX"},
        {"longer bytes get one", "123456789012", true, "123456789012<{[::]}>X"},
        {"no second separator", "1234<{[::]}>", true, "1234<{[::]}>X"},
        {"without append the buffer is reused", "123456789012", false, "X"},
        {"no input yet makes a new buffer", nullptr, true, "X"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeliveryFixture f;
        if (c.existing != nullptr) f.SetInput(c.existing);
        TzolParamsList packet;
        packet.Add("A", Variant::Int32(1));
        DeliverToCall(f.rec, packet, "X", c.append);
        EXPECT_EQ(+f.rec.InData.Kind, kDataRawBytes);
        EXPECT_EQ(f.Input(), c.expected);
        EXPECT_EQ(+f.rec.OutData.Count, 1);
    }
}

TEST(DataPackets, DeliveryCopiesItemsAndClearsUnlessAppending) {
    DeliveryFixture f;
    f.output.Add("old", Variant::Int32(0));
    TzolParamsList packet;
    auto* item = packet.Add("Value", Variant::Double(2.5));
    item->DataType = 5;
    item->State = 7;
    packet.Add("Plain", Variant::Int32(3));
    packet.Add("Unset", Variant::Int32(4))->State = 0;
    packet.NewRow();
    DeliverToCall(f.rec, packet, "", false);
    ASSERT_EQ(f.output.Count(), 4);
    EXPECT_EQ(f.output.Item(0)->Name, "Value");
    EXPECT_EQ(f.output.Item(0)->DataType, 5);
    EXPECT_EQ(f.output.Item(0)->State, 7);
    // Items as Add makes them and items that differ only in their state both arrive as they are.
    EXPECT_EQ(f.output.Item(1)->Key, "plain");
    EXPECT_EQ(f.output.Item(1)->DataType, 0);
    EXPECT_EQ(f.output.Item(1)->State, 2);
    EXPECT_EQ(f.output.Item(2)->State, 0);
    EXPECT_TRUE(f.output.Item(3)->IsRowMarker());
    DeliverToCall(f.rec, packet, "", true);
    EXPECT_EQ(f.output.Count(), 8);
    EXPECT_EQ(+f.rec.OutData.Count, 2);
    EXPECT_NE(+f.rec.InData.Kind, kDataRawBytes);  // nothing raw was delivered
}

// A list object handed in by the caller takes the items whole, even while a call nested inside
// (the host calling back into the plug-in) has list objects of its own; each batch lands in the
// list of its own record.
TEST(DataPackets, ListObjectsOfNestedCallsEachTakeTheirOwnBatches) {
    TzolParamsList outer_output;
    TzolParamsList inner_output;
    outer_output.Add("old", Variant::Int32(0));
    TPluginCallRec outer{};
    outer.RecSize = kCallRecSize;
    outer.OutData.Kind = kDataListObject;
    outer.OutData.Value.Ptr = &outer_output;
    TPluginCallRec inner = outer;
    inner.OutData.Kind = kDataListUnchecked;
    inner.OutData.Value.Ptr = &inner_output;
    const auto batch = [](const char* name, std::int32_t data_type, std::uint8_t state) {
        auto list = std::make_unique<TzolParamsList>();
        auto* item = list->Add(name, Variant::Int32(1));
        item->Key = "key of " + std::string(name);
        item->DataType = data_type;
        item->State = state;
        return list;
    };
    {
        CallRecordScope outer_scope(outer);
        DeliverToCall(outer, *batch("A", 5, 7), "", false);
        {
            CallRecordScope inner_scope(inner);
            DeliverToCall(inner, *batch("Inner", 0, 2), "", true);
            DeliverToCall(outer, *batch("B", 0, 0), "", true);
        }
        DeliverToCall(outer, *batch("C", 0, 2), "", true);
    }
    ASSERT_EQ(outer_output.Count(), 3);  // "old" was cleared by the first batch
    const char* names[] = {"A", "B", "C"};
    for (std::int32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(outer_output.Item(i)->Name, names[i]);
        EXPECT_EQ(outer_output.Item(i)->Key, "key of " + std::string(names[i]));
    }
    EXPECT_EQ(outer_output.Item(0)->DataType, 5);
    EXPECT_EQ(outer_output.Item(0)->State, 7);
    EXPECT_EQ(outer_output.Item(1)->State, 0);
    ASSERT_EQ(inner_output.Count(), 1);
    EXPECT_EQ(inner_output.Item(0)->Name, "Inner");
    // The records are the caller's again, and count their batches.
    EXPECT_EQ(+outer.OutData.Kind, kDataListObject);
    const void* restored = outer.OutData.Value.Ptr;  // a packed field: read, not bound
    EXPECT_EQ(restored, &outer_output);
    EXPECT_EQ(+outer.OutData.Count, 3);
    EXPECT_EQ(+inner.OutData.Kind, kDataListUnchecked);
}

}  // namespace
}  // namespace zol::plugins
