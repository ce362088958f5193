#include "zolShared/Public/Common/zolParamLst.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zol::common {
namespace {

using platform::OleVariant;

// Builds a list from names; "|" stands for a row marker.
std::unique_ptr<TzolParamsList> ListOf(std::initializer_list<const char*> names) {
    auto list = std::make_unique<TzolParamsList>();
    int n = 0;
    for (const char* name : names) {
        if (std::strcmp(name, "|") == 0) {
            list->NewRow();
        } else {
            list->Add(name, Variant::Int32(n++));
        }
    }
    return list;
}

std::vector<std::string> Names(const TzolParamsList& list) {
    std::vector<std::string> out;
    for (int i = 0; i < list.Count(); ++i) {
        out.push_back(list.Item(i)->IsRowMarker() ? "|" : list.Item(i)->Name);
    }
    return out;
}

TEST(ParamsList, AddIgnoresNamesThatAreBlankAfterTrimmingButKeepsTheirBlanksOtherwise) {
    TzolParamsList list;
    EXPECT_EQ(list.Add("  ", Variant::Int32(1)), nullptr);
    EXPECT_EQ(list.Add("\t\r\n", Variant::Int32(1)), nullptr);
    EXPECT_EQ(list.Count(), 0);

    TzolParamsListItem* item = list.Add(" A ", Variant::Int32(7));
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->Name, " A ");
    EXPECT_EQ(item->Key, " a ");
    EXPECT_EQ(item->State, 2);
    EXPECT_EQ(list.IndexOf(" a "), 0);
    EXPECT_EQ(list.IndexOf("a"), -1);
}

TEST(ParamsList, KeysAreCaseInsensitiveIncludingWesternLetters) {
    TzolParamsList list;
    list.Add("GR\xD6\xDF\xC4", Variant::Int32(1));  // "GRÖßÄ" in the system code page
    list.Add("COMMAND", Variant::Ansi("LOAD"));
    EXPECT_EQ(list.IndexOf("command"), 1);
    EXPECT_EQ(list.IndexOf("gr\xF6\xDF\xE4"), 0);
    EXPECT_EQ(list.IndexOf("gr\xF6ss\xE4"), -1);
}

TEST(ParamsList, DuplicatesAreKeptAndLookupsFindTheFirstInRange) {
    auto list = ListOf({"x", "y", "x", "x"});
    EXPECT_EQ(list->Count(), 4);
    EXPECT_EQ(list->IndexOf("x"), 0);
    EXPECT_EQ(list->IndexOf("x", 1), 2);
    EXPECT_EQ(list->IndexOf("x", 3, 3), 3);
    EXPECT_EQ(list->IndexOf("x", 1, 1), -1);
    EXPECT_EQ(list->IndexOf("x", -5, 99), 0);
    EXPECT_EQ(list->GetValue("x", 1).AsInt64(), 2);
}

struct RowLookupCase {
    const char* name;
    std::initializer_list<const char*> items;
    std::int32_t from;
    std::int32_t to;
    std::int32_t expected;
};

TEST(ParamsList, LookupsWithRowEndStopAfterTheFirstMarker) {
    const RowLookupCase cases[] = {
        {"marker before x", {"a", "|", "x"}, 0, -2, -1},
        {"x inside the row", {"a", "x", "|"}, 0, -2, 1},
        {"plain -1 crosses rows", {"a", "|", "x"}, 0, -1, 2},
        {"second row from its start", {"a", "|", "x", "|", "x"}, 2, -2, 2},
        {"marker itself is compared", {"a", "|"}, 0, -2, -1},
        {"empty list", {}, 0, -2, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto list = ListOf(c.items);
        EXPECT_EQ(list->IndexOf("x", c.from, c.to), c.expected);
    }
    auto list = ListOf({"a", "|"});
    EXPECT_EQ(list->IndexOf("$new_row$", 0, -2), 1);
}

TEST(ParamsList, NewRowAddsOneMarkerAndNeverTwoInARow) {
    TzolParamsList list;
    list.NewRow();
    list.NewRow();
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Item(0)->Name, "$NEW_ROW$");
    EXPECT_EQ(list.Item(0)->DataType, 0xFF01);
    EXPECT_TRUE(list.Item(0)->Value.IsNull());
}

TEST(ParamsList, FindRowEndWalksToTheMarkerOrTheLastItem) {
    auto list = ListOf({"a", "b", "|", "c"});
    std::int32_t index = -1;
    bool marker = false;
    ASSERT_TRUE(list->FindRowEnd(-3, index, marker));
    EXPECT_EQ(index, 2);
    EXPECT_TRUE(marker);
    ASSERT_TRUE(list->FindRowEnd(3, index, marker));
    EXPECT_EQ(index, 3);
    EXPECT_FALSE(marker);
    EXPECT_FALSE(list->FindRowEnd(4, index, marker));
}

TEST(ParamsList, AddRowsClosesTheCopiedRowOnce) {
    auto rows = std::make_unique<TzolParamsList>();
    rows->AddRows(ListOf({"a", "b"}).get());
    rows->AddRows(ListOf({"c", "|"}).get());
    rows->AddRows(ListOf({}).get());
    EXPECT_EQ(Names(*rows), (std::vector<std::string>{"a", "b", "|", "c", "|"}));
    rows->AddRows(nullptr);
    EXPECT_EQ(rows->Count(), 5);
}

TEST(ParamsList, AddListCopiesTypeStateAndKeyAndReportsEmptySources) {
    TzolParamsList source;
    TzolParamsListItem* item = source.Add("Name", Variant::Ansi("v"));
    item->DataType = 8;
    item->State = 5;
    item->Key = "custom";
    TzolParamsList target;
    EXPECT_FALSE(target.AddList(nullptr));
    TzolParamsList empty;
    EXPECT_FALSE(target.AddList(&empty));
    EXPECT_TRUE(target.AddList(&source));
    ASSERT_EQ(target.Count(), 1);
    EXPECT_EQ(target.Item(0)->DataType, 8);
    EXPECT_EQ(target.Item(0)->State, 5);
    EXPECT_EQ(target.Item(0)->Key, "custom");
    EXPECT_EQ(target.Item(0)->Value.AsAnsi(), "v");

    EXPECT_TRUE(target.AddList(&target));  // doubling itself terminates
    EXPECT_EQ(target.Count(), 2);
}

TEST(ParamsList, AddListRangeTakesTheInclusiveRange) {
    auto source = ListOf({"a", "b", "c", "d"});
    TzolParamsList target;
    EXPECT_TRUE(target.AddListRange(source.get(), 1, 2));
    EXPECT_TRUE(target.AddListRange(source.get(), 3, -1));
    EXPECT_TRUE(target.AddListRange(source.get(), 9, -1));  // empty range still succeeds
    EXPECT_EQ(Names(target), (std::vector<std::string>{"b", "c", "d"}));
}

TEST(ParamsList, DeleteOutsideTheListChangesNothing) {
    auto list = ListOf({"a", "b"});
    list->Delete(2);
    list->Delete(-1);
    EXPECT_EQ(list->Count(), 2);
    list->Delete(0);
    EXPECT_EQ(Names(*list), std::vector<std::string>{"b"});
}

TEST(ParamsList, InsertAndSetValue) {
    auto list = ListOf({"a", "c"});
    list->Insert(1, "b", Variant::Int32(9));
    EXPECT_EQ(Names(*list), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_THROW(list->Insert(5, "z", Variant()), std::out_of_range);

    EXPECT_EQ(list->SetValue("missing", Variant::Int32(1), false), nullptr);
    TzolParamsListItem* added = list->SetValue("NEW", Variant::Int32(4), true);
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(list->Count(), 4);
    EXPECT_EQ(list->GetValue("new").AsInt64(), 4);
    list->SetValue("b", Variant::Ansi("text"), false);
    EXPECT_EQ(list->GetValue("B").Type(), platform::kVtBstr);
}

TEST(ParamsList, ValuesOfAnAbsentNameIsAnAssertion) {
    auto list = ListOf({"a"});
    EXPECT_EQ(list->Values("A").AsInt64(), 0);
    try {
        (void)list->Values("b");
        FAIL() << "no assertion";
    } catch (const ParamsListAssertion& e) {
        EXPECT_EQ(e.Message(), "Parameter is not defined");
        EXPECT_NE(std::string(e.what()).find("zolParamLst"), std::string::npos);
    }
    EXPECT_THROW(list->SetValues("b", Variant()), ParamsListAssertion);
    EXPECT_THROW(list->Put(1, nullptr), ParamsListAssertion);
}

TEST(ParamsList, SignatureSitsInTheFifthWordAndListIdsAreFreshGuids) {
    auto a = std::make_unique<TzolParamsList>();
    TzolParamsList b;
    EXPECT_TRUE(TzolParamsList::HasListSignature(a.get()));
    std::uint32_t words[5];
    std::memcpy(words, a.get(), sizeof words);
    EXPECT_EQ(words[4], 0xFDE2E4Bu);
    EXPECT_EQ(words[0], kParamsListMarker);
    EXPECT_NE(a->ListId(), b.ListId());
    EXPECT_EQ(a->ListId().size(), 38u);
    EXPECT_EQ(a->ListId().front(), '{');
    EXPECT_EQ(a->ListId()[9], '-');

    IzolParamsListA* iface = nullptr;
    EXPECT_FALSE(TzolParamsList::HasListSignature(&iface));
}

TEST(ParamsList, StorageDataTypesAreTheOleTypes) {
    ASSERT_EQ(StorageDataTypes.size(), 18u);
    EXPECT_EQ(StorageDataTypes[0].Name, "string");
    EXPECT_EQ(StorageDataTypes[4].VarType, 11);
    EXPECT_EQ(StorageDataTypes[16].Name, "int64");
    EXPECT_EQ(StorageDataTypes[17].VarType, 6);
}

// --- Interfaces ------------------------------------------------------------------------------

class ParamsListInterface : public ::testing::Test {
   protected:
    void SetUp() override {
        wrap_ = new TzolParamsListWrap();
        a_ = *wrap_->AsInterfaceA();
        void* w = nullptr;
        ASSERT_EQ(a_->QueryInterface(kIidIzolParamsListW, &w), 0);
        w_ = static_cast<IzolParamsListW*>(w);
    }
    void TearDown() override {
        w_->Release();
        wrap_->DestroyCached();
    }

    TzolParamsListWrap* wrap_ = nullptr;
    IzolParamsListA* a_ = nullptr;
    IzolParamsListW* w_ = nullptr;
};

TEST_F(ParamsListInterface, GetValueOfAnAbsentNameIsOkAndEmpty) {
    OleVariant out;
    std::memset(&out, 0xAB, sizeof out);
    EXPECT_EQ(a_->GetValue("nothing", 0, -1, &out), 0);
    EXPECT_EQ(out.vt, platform::kVtEmpty);
    EXPECT_EQ(out.llVal, 0);
}

TEST_F(ParamsListInterface, TextPayloadsAreStoredAsOleStrings) {
    const char16_t wide[] = u"wïde";
    const char narrow[] = "n\xE4rrow";  // "närrow" in the system code page
    struct Case {
        const char* name;
        std::uint16_t vt;
        const void* payload;
        bool through_w;
        std::u16string expected;
    };
    const Case cases[] = {
        {"0x100 through A is 8-bit", 0x100, narrow, false, u"n\u00E4rrow"},
        {"0x100 through W is UTF-16", 0x100, wide, true, u"wïde"},
        {"0x102 through A is UTF-16", 0x102, wide, false, u"wïde"},
        {"0x102 through W is UTF-16", 0x102, wide, true, u"wïde"},
        {"0x100 without payload is empty", 0x100, nullptr, false, u""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OleVariant in{};
        in.vt = c.vt;
        in.byref = const_cast<void*>(c.payload);
        if (c.through_w) {
            EXPECT_EQ(w_->Add(u"k", &in, nullptr), 0);
        } else {
            EXPECT_EQ(a_->Add("k", &in, nullptr), 0);
        }
        TzolParamsListItem* stored = wrap_->List()->Item(wrap_->List()->Count() - 1);
        EXPECT_EQ(stored->Value.Type(), platform::kVtBstr);
        EXPECT_EQ(stored->Value.ToUtf16().value(), c.expected);
    }
}

TEST_F(ParamsListInterface, OutValuesAreIndependentCopies) {
    Variant text = Variant::Utf16(u"hello");
    ASSERT_EQ(a_->Add("t", &text.Raw(), nullptr), 0);
    OleVariant out{};
    ASSERT_EQ(w_->GetValue(u"T", 0, -1, &out), 0);
    Variant got = Variant::Take(out);
    EXPECT_EQ(got.ToUtf16().value(), u"hello");
    EXPECT_NE(got.Raw().bstrVal, wrap_->List()->Item(0)->Value.Raw().bstrVal);

    Variant fallback = Variant::Int32(42);
    ASSERT_EQ(a_->GetValueDef("absent", &fallback.Raw(), 0, -1, &out), 0);
    EXPECT_EQ(Variant::Take(out).AsInt64(), 42);
}

TEST_F(ParamsListInterface, GetValueDefReadsAn8BitDefaultAs8BitTextInBothInterfaces) {
    // Heap copies of odd length, so that reading the text as UTF-16 would run past its end.
    const auto narrow = std::make_unique<char[]>(4);
    std::memcpy(narrow.get(), "abc", 4);
    OleVariant fallback{};
    fallback.vt = 0x100;
    fallback.byref = narrow.get();
    OleVariant out{};
    ASSERT_EQ(w_->GetValueDef(u"absent", &fallback, 0, -1, &out), 0);
    EXPECT_EQ(Variant::Take(out).ToUtf16().value(), u"abc");
    ASSERT_EQ(a_->GetValueDef("absent", &fallback, 0, -1, &out), 0);
    EXPECT_EQ(Variant::Take(out).ToUtf16().value(), u"abc");
}

TEST_F(ParamsListInterface, StatusMethodsReportFailuresAndClearTheirOutputs) {
    Variant v = Variant::Int32(1);
    IzolParamsListItemA* item = reinterpret_cast<IzolParamsListItemA*>(0x1234);
    // Insert past the end is a list error, reported as a status, never thrown.
    EXPECT_EQ(a_->Insert(3, "x", &v.Raw(), &item), static_cast<std::int32_t>(0x8000FFFF));
    EXPECT_EQ(item, nullptr);

    // A list object with a broken signature is refused the same way.
    std::uint32_t fake[8] = {};
    std::uint8_t added = 7;
    EXPECT_EQ(a_->AddList(reinterpret_cast<TzolParamsList*>(fake), &added),
              static_cast<std::int32_t>(0x8000FFFF));
    EXPECT_EQ(added, 7);  // out booleans are written only on success

    std::int32_t index = 99;
    EXPECT_EQ(a_->IndexOf("x", 0, -1, &index), 0);
    EXPECT_EQ(index, -1);
}

TEST_F(ParamsListInterface, ItemAdaptersExposeAndChangeTheItem) {
    Variant v = Variant::Int32(5);
    IzolParamsListItemA* item = nullptr;
    ASSERT_EQ(a_->Add("Name", &v.Raw(), &item), 0);
    ASSERT_NE(item, nullptr);
    EXPECT_STREQ(item->GetName(), "Name");
    EXPECT_STREQ(item->GetKey(), "name");
    EXPECT_EQ(item->GetState(), 2);
    EXPECT_EQ(item->IsNewRow(), 0);
    item->SetKey("other");
    EXPECT_STREQ(item->GetKey(), "other");
    EXPECT_EQ(wrap_->List()->Item(0)->Key, "name");  // only the adapter's key text changes
    item->SetName("Renamed");
    EXPECT_EQ(wrap_->List()->Item(0)->Name, "Renamed");
    EXPECT_EQ(wrap_->List()->Item(0)->Key, "name");
    item->SetDataType(0xFF01);
    EXPECT_EQ(item->IsNewRow(), 1);

    void* as_w = nullptr;
    ASSERT_EQ(item->QueryInterface(kIidIzolParamsListItemW, &as_w), 0);
    auto* w = static_cast<IzolParamsListItemW*>(as_w);
    EXPECT_EQ(std::u16string(w->GetNameW()), u"Renamed");
    OleVariant text{};
    text.vt = 0x100;
    text.byref = const_cast<char16_t*>(u"wide");
    EXPECT_EQ(w->SetValueW(&text), 0);
    EXPECT_EQ(wrap_->List()->Item(0)->Value.ToUtf16().value(), u"wide");
    w->Release();
    item->Release();

    item = nullptr;
    EXPECT_EQ(a_->GetItem(1, &item), 0);
    EXPECT_EQ(item, nullptr);
}

TEST_F(ParamsListInterface, AddItemCopiesNameAndValueFromAnotherAdapter) {
    Variant v = Variant::Utf16(u"value");
    IzolParamsListItemW* source = nullptr;
    ASSERT_EQ(w_->Add(u"Src", &v.Raw(), &source), 0);
    IzolParamsListItemW* copy = nullptr;
    ASSERT_EQ(w_->AddItem(source, &copy), 0);
    EXPECT_EQ(wrap_->List()->Count(), 2);
    EXPECT_EQ(wrap_->List()->Item(1)->Name, "Src");
    EXPECT_EQ(wrap_->List()->Item(1)->Value.ToUtf16().value(), u"value");
    copy->Release();
    source->Release();
}

TEST_F(ParamsListInterface, RowOperationsThroughTheInterface) {
    Variant v = Variant::Int32(1);
    a_->Add("a", &v.Raw(), nullptr);
    a_->NewRow();
    a_->Add("b", &v.Raw(), nullptr);
    std::int32_t index = -1;
    std::uint8_t marker = 9;
    EXPECT_EQ(a_->FindRowEnd(0, &index, &marker), 1);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(marker, 1);
    EXPECT_EQ(a_->GetCount(), 3);
    EXPECT_EQ(a_->GetSignature(), 0xFDE2E4B);
    a_->Delete(3);
    EXPECT_EQ(a_->GetCount(), 3);
    a_->SetTag(12);
    EXPECT_EQ(w_->GetTag(), 12);
    a_->Clear();
    EXPECT_EQ(w_->GetCount(), 0);
}

TEST(ParamsListWrap, BorrowedListsOutliveTheAdapterAndOwnedOnesDoNot) {
    TzolParamsList list;
    list.Add("a", Variant::Int32(1));
    auto* wrap = new TzolParamsListWrap(&list, true);
    IzolParamsListA** slot = wrap->AsInterfaceA();
    EXPECT_EQ(slot, wrap->AsInterfaceA());
    EXPECT_EQ((*slot)->GetCount(), 1);
    wrap->DestroyCached();
    EXPECT_EQ(list.Count(), 1);
    EXPECT_TRUE(TzolParamsList::HasListSignature(&list));
}

TEST(ParamsListWrap, AnAdapterStillReferencedIsDetachedNotFreed) {
    TzolParamsList list;
    auto* wrap = new TzolParamsListWrap(&list, true);
    IzolParamsListA* held = *wrap->AsInterfaceA();
    held->AddRef();  // somebody kept a reference past the call
    wrap->DestroyCached();
    // The adapter is still alive, but no longer reaches the caller's list.
    EXPECT_EQ(held->GetCount(), 0);
    Variant v = Variant::Int32(1);
    EXPECT_EQ(held->Add("x", &v.Raw(), nullptr), static_cast<std::int32_t>(0x8000FFFF));
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(held->Release(), 0u);
}

TEST(ParamsListWrap, AHostReleasingOnAnotherThreadAsTheCallEndsNeverMeetsAFreedAdapter) {
    // The host's last Release may come at any moment of DestroyCached; whichever side drops the
    // last reference frees the adapter, and the other must not touch it after that.
    for (int round = 0; round < 64; ++round) {
        TzolParamsList list;
        auto* wrap = new TzolParamsListWrap(&list, true);
        IzolParamsListA* held = *wrap->AsInterfaceA();
        held->AddRef();
        std::atomic<bool> go{false};
        std::thread host([&] {
            while (!go.load()) {
            }
            held->Release();
        });
        go = true;
        wrap->DestroyCached();
        host.join();
        EXPECT_TRUE(TzolParamsList::HasListSignature(&list));
    }
}

TEST(ThreadParamsList, ReadersShareWritersExclude) {
    TzolThreadParamsList shared;
    shared.WriteLock().Add("Custom0", Variant::Int32(3));
    shared.WriteUnlock();
    TzolParamsList& first = shared.ReadLock();
    TzolParamsList& second = shared.ReadLock();  // a second reader gets in at once
    EXPECT_EQ(first.GetValue("custom0").AsInt64(), 3);
    EXPECT_EQ(&first, &second);
    shared.ReadUnlock();
    shared.ReadUnlock();
}

}  // namespace
}  // namespace zol::common

namespace zol::common {
namespace {

// Packets are made on the port threads and freed on the host's, so item blocks cross threads on
// their way back to the cache. Each packet carries its own number in every item: a block handed
// out twice, or taken back while in use, shows as another packet's number.
TEST(ParamsListItemCache, PacketsMadeAndFreedOnDifferentThreadsKeepTheirOwnItems) {
    constexpr int kMakers = 3;
    constexpr int kPackets = 400;
    constexpr int kItems = 24;
    std::mutex lock;
    std::vector<std::unique_ptr<TzolParamsList>> handed;
    std::atomic<int> made{0};
    std::atomic<int> wrong{0};
    std::atomic<int> checked{0};
    std::vector<std::thread> threads;
    for (int maker = 0; maker < kMakers; ++maker) {
        threads.emplace_back([&, maker] {
            for (int n = 0; n < kPackets; ++n) {
                auto packet = std::make_unique<TzolParamsList>();
                const int id = maker * kPackets + n;
                for (int i = 0; i < kItems; ++i)
                    packet->Add("E" + std::to_string(i), Variant::Int32(id));
                std::lock_guard guard(lock);
                handed.push_back(std::move(packet));
            }
            made.fetch_add(1);
        });
    }
    threads.emplace_back([&] {
        for (;;) {
            std::vector<std::unique_ptr<TzolParamsList>> batch;
            {
                std::lock_guard guard(lock);
                batch.swap(handed);
            }
            if (batch.empty() && made.load() == kMakers) {
                std::lock_guard guard(lock);
                if (handed.empty()) break;
                continue;
            }
            for (const auto& packet : batch) {
                const auto id = packet->Item(0)->Value.AsInt64(-1);
                for (int i = 0; i < packet->Count(); ++i) {
                    if (packet->Item(i)->Value.AsInt64(-2) != id) wrong.fetch_add(1);
                }
                checked.fetch_add(1);
            }
        }
    });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(checked.load(), kMakers * kPackets);
    EXPECT_EQ(wrong.load(), 0);
}

// The cache gives back what it holds before it asks the heap, and never holds more than its
// bound however many items were freed at once.
TEST(ParamsListItemCache, FreedItemsAreReusedAndABurstIsNotKept) {
    {
        TzolParamsList burst;
        for (int i = 0; i < 10000; ++i) burst.Add("V", Variant::Int32(i));
    }
    const std::size_t held = TzolParamsListItem::CachedBlocks();
    EXPECT_LE(held, 4096u);
#if !defined(__SANITIZE_ADDRESS__)
    ASSERT_GT(held, 10u);
    TzolParamsList list;
    for (int i = 0; i < 10; ++i) list.Add("V", Variant::Int32(i));
    EXPECT_EQ(TzolParamsListItem::CachedBlocks(), held - 10);
#endif
}

}  // namespace
}  // namespace zol::common
