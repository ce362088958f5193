// The plug-in frame through its export bodies, natively: record conversion, dispatch rules,
// ProcessData steps and the options-dialog packing.
#include "zolShared/Private/Plugins/zolPluginModule.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/native/host_link_native.h"
#include "platform/system.h"
#include "zolShared/Private/Plugins/call_params.h"
#include "zolShared/Private/Plugins/call_record.h"

namespace zol::plugins {
namespace {

using common::TzolParamsList;
using common::Variant;

// A module class whose handlers the tests set.
TzolPlugin* g_last_created = nullptr;
std::function<void(TzolPlugin&)> g_configure;

std::unique_ptr<TzolPlugin> MakeTestPlugin(TPluginCallRec* rec) {
    auto plugin = std::make_unique<TzolPlugin>(rec);
    plugin->LogTitle = "Test";
    if (g_configure) g_configure(*plugin);
    g_last_created = plugin.get();
    return plugin;
}

class PluginFrame : public ::testing::Test {
   protected:
    void SetUp() override {
        LibraryShutdown();
        RegisterPluginClass(&MakeTestPlugin);
        LibraryStartup();
        platform::native::TakePostedMessages();
    }
    void TearDown() override {
        g_configure = nullptr;
        LibraryShutdown();
    }

    TPluginCallRec NewRecord(TzolParamsList* params) {
        TPluginCallRec rec{};
        rec.RecSize = kCallRecSize;
        rec.Instance = handle_;
        rec.Params = params;
        return rec;
    }

    TzolPlugin& Create(std::function<void(TzolPlugin&)> configure = nullptr) {
        g_configure = std::move(configure);
        TzolParamsList params;
        TPluginCallRec rec = NewRecord(&params);
        rec.Instance = nullptr;
        EXPECT_EQ(CreatePluginInstanceCall(&rec), 0);
        handle_ = rec.Instance;
        return *g_last_created;
    }

    std::int32_t Command(const char* command, TzolParamsList* extra = nullptr) {
        TzolParamsList params;
        params.Add("COMMAND", Variant::Ansi(command));
        if (extra != nullptr) params.AddList(extra);
        TPluginCallRec rec = NewRecord(&params);
        return ExecutePluginCommandCall(&rec);
    }

    std::string TakeLog() {
        auto instance = FindInstance(handle_);
        return instance ? instance->HostLog().Text() : std::string();
    }

    void* handle_ = nullptr;
};

TEST_F(PluginFrame, InstancesWithoutACreatingListAreTemporary) {
    TPluginCallRec rec{};
    rec.RecSize = kCallRecSize;
    g_configure = nullptr;
    ASSERT_EQ(CreatePluginInstanceCall(&rec), 0);
    EXPECT_EQ(g_last_created->IsTemporaryLoad, 1);

    TzolParamsList params;
    params.Add("TEMPORARY-LOAD", Variant::Ansi("0"));
    TPluginCallRec with_list{};
    with_list.RecSize = kCallRecSize;
    with_list.Params = &params;
    ASSERT_EQ(CreatePluginInstanceCall(&with_list), 0);
    EXPECT_EQ(g_last_created->IsTemporaryLoad, 0);
    EXPECT_EQ(static_cast<void*>(with_list.Params), &params);  // restored
}

TEST_F(PluginFrame, LoadReadsItsParametersAndResolvesTheHostEntryPoints) {
    static int sent = 0;
    auto send = [](std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                   std::intptr_t, std::int32_t) -> std::int32_t { return ++sent; };
    platform::native::RegisterExport(0x4000, "Vantor_SendDataEx", reinterpret_cast<void*>(+send));
    TzolPlugin& plugin = Create([](TzolPlugin& p) { p.Capabilities = 0x04; });
    TzolParamsList load;
    load.Add("HANDLE", Variant::Int32(0x4000));
    load.Add("REGISTRY-PATH", Variant::Ansi("Software\\A\\B\\C"));
    load.Add("INI-FILE", Variant::Ansi("c:\\x.ini"));
    load.Add("CONFIG-ID", Variant::Ansi("42"));
    load.Add("MSG-PROC-HANDLE", Variant::Int32(77));
    EXPECT_EQ(Command("LOAD", &load), 0);
    EXPECT_EQ(plugin.ModuleRegistryPath, "Software\\A\\B\\C");
    EXPECT_EQ(plugin.INIFile, "c:\\x.ini");
    EXPECT_EQ(plugin.ConfigId, 42);
    EXPECT_EQ(plugin.HostModule, 0x4000u);
    EXPECT_EQ(plugin.HostWindow.load(), 77u);
    EXPECT_EQ(plugin.SendDataEx(1, 2, kSendRawBytes, 0, 0), 1);
    EXPECT_EQ(plugin.EntryPoints().Vantor_SendNotify, nullptr);
}

TEST_F(PluginFrame, NestedCommandsAreRefusedWithoutALogLine) {
    std::int32_t nested_result = 0;
    TzolPlugin& plugin = Create([&](TzolPlugin& p) {
        p.OnCommand = [&](TzolPlugin&, const std::string& text, std::int32_t& result,
                          TPluginCallRec& rec) {
            if (text == "OUTER") {
                TzolParamsList inner;
                inner.Add("COMMAND", Variant::Ansi("INNER"));
                TPluginCallRec nested = rec;
                nested.Params = &inner;
                nested_result = ExecutePluginCommandCall(&nested);
            }
            result = 5;
        };
    });
    EXPECT_EQ(Command("OUTER"), 5);
    EXPECT_EQ(nested_result, -3);
    EXPECT_EQ(plugin.CommandDepth.load(), 0);
    EXPECT_EQ(TakeLog(), "");
}

TEST_F(PluginFrame, FailingCommandHandlersAreLoggedWithTheCommand) {
    Create([](TzolPlugin& p) {
        p.OnCommand = [](TzolPlugin&, const std::string&, std::int32_t&, TPluginCallRec&) {
            throw std::runtime_error("boom");
        };
    });
    EXPECT_EQ(Command("CUSTOM"), -3);
    EXPECT_EQ(TakeLog(), "\x01Test. {CUSTOM} boom\r\n");
}

// A host list whose every method fails: the way to make a failure escape a command or a
// ProcessData call and reach the export's last-resort handler.
class FailingHostList final : public common::IzolParamsListA {
   public:
    using Item = common::IzolParamsListItemA;
    using List = common::TzolParamsList;
    using Wrap = common::TzolParamsListWrap;
    using Ole = platform::OleVariant;
    [[noreturn]] static void Fail() { throw std::runtime_error("host list failed"); }
    std::int32_t ZOL_STDCALL QueryInterface(const platform::Guid&, void**) override { Fail(); }
    std::uint32_t ZOL_STDCALL AddRef() override { return 1; }
    std::uint32_t ZOL_STDCALL Release() override { return 1; }
    std::int32_t ZOL_STDCALL GetCount() override { Fail(); }
    std::int32_t ZOL_STDCALL GetSignature() override { Fail(); }
    std::int32_t ZOL_STDCALL GetTag() override { Fail(); }
    void ZOL_STDCALL SetTag(std::int32_t) override { Fail(); }
    void ZOL_STDCALL Clear() override { Fail(); }
    void ZOL_STDCALL Delete(std::int32_t) override { Fail(); }
    std::uint8_t ZOL_STDCALL FindRowEnd(std::int32_t, std::int32_t*, std::uint8_t*) override {
        Fail();
    }
    void ZOL_STDCALL NewRow() override { Fail(); }
    void ZOL_STDCALL AddRows(Wrap*) override { Fail(); }
    std::int32_t ZOL_STDCALL GetItem(std::int32_t, Item**) override { Fail(); }
    std::int32_t ZOL_STDCALL AddList(List*, std::uint8_t*) override { Fail(); }
    std::int32_t ZOL_STDCALL AddListRange(List*, std::int32_t, std::int32_t,
                                          std::uint8_t*) override {
        Fail();
    }
    std::int32_t ZOL_STDCALL FindItem(const char*, std::int32_t, std::int32_t, Item**) override {
        Fail();
    }
    std::int32_t ZOL_STDCALL IndexOf(const char*, std::int32_t, std::int32_t,
                                     std::int32_t*) override {
        Fail();
    }
    std::int32_t ZOL_STDCALL GetValue(const char*, std::int32_t, std::int32_t, Ole*) override {
        Fail();
    }
    std::int32_t ZOL_STDCALL GetValueDef(const char*, const Ole*, std::int32_t, std::int32_t,
                                         Ole*) override {
        Fail();
    }
    std::int32_t ZOL_STDCALL Add(const char*, const Ole*, Item**) override { Fail(); }
    std::int32_t ZOL_STDCALL Insert(std::int32_t, const char*, const Ole*, Item**) override {
        Fail();
    }
    std::int32_t ZOL_STDCALL SetValue(const char*, const Ole*, std::uint8_t, Item**) override {
        Fail();
    }
    std::int32_t ZOL_STDCALL AddItem(Item*, Item**) override { Fail(); }
};

TEST_F(PluginFrame, FailuresReachingTheExportsGoToTheLogAndTheDebuggerOutput) {
    Create();
    ASSERT_EQ(Command("LOAD"), 0);
    FailingHostList failing;
    common::IzolParamsListA* failing_variable = &failing;
    TzolParamsList params;

    TPluginCallRec command = NewRecord(nullptr);
    command.Params = &failing_variable;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ExecutePluginCommandCall(&command), -3);

    TPluginCallRec data = NewRecord(&params);
    data.StateMask = 0x02;  // asks for the emptiness check of the input list
    data.InData.Kind = kDataListInterface;
    data.InData.Value.Ptr = &failing_variable;
    EXPECT_EQ(ProcessDataCall(&data), -3);
    const std::string debugger = testing::internal::GetCapturedStderr();

    EXPECT_EQ(TakeLog(),
              "\x01Test. {CMD?} host list failed\r\n\x01Test. {PROCESS} host list failed\r\n");
    for (const char* line : {"{CMD?} host list failed: ", "{PROCESS} host list failed: "}) {
        SCOPED_TRACE(line);
        const auto at = debugger.find(line);
        ASSERT_NE(at, std::string::npos) << debugger;
        // A stack trace follows, frame lines indented.
        EXPECT_EQ(debugger.compare(at + std::strlen(line), 2, "  "), 0) << debugger;
    }
}

TEST_F(PluginFrame, GetLogExWithoutAUsableBufferStillReportsThePendingLength) {
    TzolPlugin& plugin = Create();
    plugin.Log(1, "pending");
    std::string expected = "\x02Test. pending\r\n";
    for (void* buffer : {static_cast<void*>(nullptr), reinterpret_cast<void*>(16)}) {
        SCOPED_TRACE(buffer == nullptr ? "no buffer" : "unwritable buffer");
        // A buffer that is given but cannot be written is a fault of the call, logged once.
        if (buffer != nullptr) {
            expected += "\x01Test. {GETLOG} The log buffer of 100 bytes cannot be written\r\n";
        }
        TPluginCallRec rec = NewRecord(nullptr);
        rec.InData.Size = 100;
        rec.InData.Value.Ptr = buffer;
        EXPECT_EQ(GetLogExCall(&rec), 0);
        EXPECT_EQ(+rec.OutData.Kind, kDataResultValue);
        EXPECT_EQ(+rec.OutData.Value.Number, expected.size());
    }
    EXPECT_EQ(TakeLog(), expected);  // kept for a retry with a buffer
}

TEST_F(PluginFrame, HostEntryPointsGoWithTheHostAtUnload) {
    auto send = [](std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                   std::intptr_t, std::int32_t) -> std::int32_t { return 7; };
    platform::native::RegisterExport(0x4100, "Vantor_SendDataEx", reinterpret_cast<void*>(+send));
    TzolPlugin& plugin = Create();
    TzolParamsList with_host;
    with_host.Add("HANDLE", Variant::Int32(0x4100));
    ASSERT_EQ(Command("LOAD", &with_host), 0);
    EXPECT_EQ(plugin.SendDataEx(1, 0, kSendRawBytes, 0, 0), 7);
    ASSERT_EQ(Command("UNLOAD"), 0);
    EXPECT_EQ(plugin.SendDataEx(1, 0, kSendRawBytes, 0, 0), -1);
    // Loaded again by a host that gives no module handle: still nothing to call.
    ASSERT_EQ(Command("LOAD"), 0);
    EXPECT_EQ(plugin.EntryPoints().Vantor_SendDataEx, nullptr);
    EXPECT_EQ(plugin.SendDataEx(1, 0, kSendRawBytes, 0, 0), -1);
}

TEST_F(PluginFrame, UnloadStoresANewIniFileAndFiresSaveThenUnload) {
    std::vector<std::string> fired;
    TzolPlugin& plugin = Create([&](TzolPlugin& p) {
        p.OnSaveSettingsNow = [&](TzolPlugin& self) { fired.push_back("save " + self.INIFile); };
        p.OnUnload = [&](TzolPlugin&, TPluginCallRec&, std::int32_t&) {
            fired.push_back("unload");
        };
    });
    ASSERT_EQ(Command("LOAD"), 0);
    plugin.Enabled.fill(true);
    TzolParamsList unload;
    unload.Add("INI-FILE", Variant::Ansi("new.ini"));
    EXPECT_EQ(Command("UNLOAD", &unload), 0);
    EXPECT_EQ(fired, (std::vector<std::string>{"save new.ini", "unload"}));
    EXPECT_EQ(plugin.Unloaded.load(), 1);
    EXPECT_FALSE(plugin.Enabled[3]);
    EXPECT_EQ(plugin.HostWindow.load(), 0u);
}

TEST_F(PluginFrame, ProcessDataReportsTheOutcomeAndCopiesWithoutAHandler) {
    std::int32_t handler_result = 1;
    bool with_handler = true;
    TzolPlugin& plugin = Create();
    ASSERT_EQ(Command("LOAD"), 0);
    auto process = [&](std::uint8_t flags, void* input) {
        plugin.OnProcessData = nullptr;
        if (with_handler) {
            plugin.OnProcessData = [&](TzolPlugin&, TPluginCallRec&, std::int32_t& result) {
                result = handler_result;
            };
        }
        TzolParamsList params;
        TPluginCallRec rec = NewRecord(&params);
        rec.Flags = flags;
        rec.StateMask = 0x03;
        rec.InData.Kind = kDataRawBytes;
        rec.InData.Size = 3;
        rec.InData.Value.Ptr = input;
        std::int32_t result = ProcessDataCall(&rec);
        return std::make_pair(result, rec);
    };
    std::uint8_t bytes[3] = {1, 2, 3};
    EXPECT_EQ(process(0x08, bytes).first, 1);
    handler_result = -4;
    EXPECT_EQ(process(0x08, bytes).first, -4);
    handler_result = 7;
    EXPECT_EQ(process(0x00, nullptr).first, 0);  // positive result without input becomes 0
    EXPECT_EQ(TakeLog(),
              "\x03Test. Data have been processed successfully\r\n"
              "\x02Test. Data have been processed with errors\r\n");

    with_handler = false;
    auto [copied_result, rec] = process(0x20, bytes);
    EXPECT_EQ(copied_result, 0);
    EXPECT_EQ(+rec.OutData.Kind, kDataRawBytes);
    EXPECT_EQ(+rec.OutData.Size, 3);
    EXPECT_EQ(static_cast<void*>(rec.OutData.Value.Ptr), bytes);
    EXPECT_EQ(static_cast<void*>(rec.InData.Value.Ptr),
              nullptr);  // the input pointer is taken as consumed
}

TEST_F(PluginFrame, CopyingAListInputWithoutAHandlerHandsTheCallerItsOwnList) {
    Create();
    ASSERT_EQ(Command("LOAD"), 0);
    TzolParamsList input;
    input.Add("A", Variant::Int32(1));
    TzolParamsList params;
    TPluginCallRec rec = NewRecord(&params);
    rec.Flags = kFlagCopyInToOut;
    rec.StateMask = 0x01;
    rec.InData.Kind = kDataListObject;
    rec.InData.Value.Ptr = &input;
    EXPECT_EQ(ProcessDataCall(&rec), 0);
    // Read the output slot the way a host does, by its kind.
    void* output = rec.OutData.Value.Ptr;
    ASSERT_NE(output, nullptr);
    const std::int32_t count = rec.OutData.Kind == kDataListInterface
                                   ? (*static_cast<common::IzolParamsListA**>(output))->GetCount()
                                   : static_cast<TzolParamsList*>(output)->Count();
    EXPECT_EQ(count, 1);
    EXPECT_EQ(+rec.OutData.Kind, kDataListObject);
    EXPECT_EQ(output, &input);
}

TEST_F(PluginFrame, ListSlotsAreConvertedForTheCallAndPutBackAfterIt) {
    TzolParamsList slot_list;
    slot_list.Add("A", Variant::Int32(1));
    std::int32_t seen_count = -1;
    std::uint8_t seen_kind = 0;
    Create([&](TzolPlugin& p) {
        p.OnProcessData = [&](TzolPlugin&, TPluginCallRec& rec, std::int32_t&) {
            seen_kind = rec.InData.Kind;
            seen_count =
                (*static_cast<common::IzolParamsListA**>(rec.InData.Value.Ptr))->GetCount();
        };
    });
    ASSERT_EQ(Command("LOAD"), 0);
    for (std::uint8_t kind : {kDataListObject, kDataListUnchecked}) {
        SCOPED_TRACE(static_cast<int>(kind));
        TzolParamsList params;
        TPluginCallRec rec = NewRecord(&params);
        rec.StateMask = 0x01;
        rec.OutData.Kind = kind;
        rec.OutData.Value.Ptr = &slot_list;
        rec.InData.Kind = kind;
        rec.InData.Value.Ptr = &slot_list;
        seen_count = -1;
        ProcessDataCall(&rec);
        EXPECT_EQ(seen_kind, kDataListInterface);
        EXPECT_EQ(seen_count, 1);
        EXPECT_EQ(+rec.OutData.Kind, kind);
        EXPECT_EQ(static_cast<void*>(rec.OutData.Value.Ptr), &slot_list);
        EXPECT_EQ(static_cast<void*>(rec.Params), &params);
    }
}

TEST_F(PluginFrame, OptionsDialogPackingFollowsTheResources) {
    Create();
    auto call = [&](const char* name, std::int32_t size) {
        std::vector<char> buffer(static_cast<std::size_t>(size) + 1, '\0');
        if (name != nullptr) std::strcpy(buffer.data(), name);
        TPluginCallRec rec = NewRecord(nullptr);
        rec.InData.Value.Ptr = buffer.data();
        rec.InData.Size = size;
        GetOptionsDialogCall(&rec);
        return std::make_pair(rec, buffer);
    };
    EXPECT_EQ(call(nullptr, 64).first.OutData.Value.Number, 2u);

    platform::native::SetLibraryResource("FORM_NAME", std::string("mainform\0", 9));
    platform::native::SetLibraryResource("FORM_DATA", "code!");
    platform::native::SetLibraryResource("MAINFORM", "<form/>");
    auto [small, unused] = call(nullptr, 20);
    EXPECT_EQ(+small.OutData.Value.Number, 3u);
    EXPECT_EQ(+small.OutData.Size, 24 + 7 + 5);

    auto [rec, buffer] = call(nullptr, 64);
    EXPECT_EQ(+rec.OutData.Kind, kDataOptionsForm);
    EXPECT_EQ(+rec.OutData.Value.Number, 36u);
    std::int32_t header[6];
    std::memcpy(header, buffer.data(), sizeof header);
    EXPECT_EQ(header[0], 24);
    EXPECT_EQ(header[1], 7);
    EXPECT_EQ(header[2], 31);
    EXPECT_EQ(header[3], 0);
    EXPECT_EQ(header[4], 31);
    EXPECT_EQ(header[5], 5);
    EXPECT_EQ(std::string(buffer.data() + 24, 12), "<form/>code!");

    platform::native::SetLibraryResource("OTHER", "<o/>");
    platform::native::SetLibraryResource("OTHER_CODE", "oc");
    auto [named, named_buffer] = call("other", 64);
    EXPECT_EQ(+named.OutData.Value.Number, 30u);
    EXPECT_EQ(std::string(named_buffer.data() + 24, 6), "<o/>oc");

    for (const char* r : {"FORM_NAME", "FORM_DATA", "MAINFORM", "OTHER", "OTHER_CODE"}) {
        platform::native::SetLibraryResource(r, std::nullopt);
    }
}

TEST_F(PluginFrame, ShowOptionsDialogReloadsInstancesSharingTheRegistryPath) {
    int reloads = 0;
    auto configure = [&](TzolPlugin& p) {
        p.ModuleRegistryPath = "Software\\Same";
        p.OnLoadSettingsNow = [&](TzolPlugin&) { ++reloads; };
    };
    TzolPlugin& first = Create(configure);
    first.OnShowOptionsDialog = [](TzolPlugin& self, TPluginCallRec&, std::int32_t& result) {
        EXPECT_EQ(self.OptionsOpen, 1);
        result = 1;
    };
    void* first_handle = handle_;
    TzolPlugin& second = Create(configure);
    second.LoaderThread = platform::CurrentThreadId() + 1;  // lives on another thread
    second.HostWindow = 99;
    second.Tag = 5;
    first.LoaderThread = platform::CurrentThreadId();

    TPluginCallRec rec = NewRecord(nullptr);
    rec.Instance = first_handle;
    ShowOptionsDialogCall(&rec);
    EXPECT_EQ(+rec.OutData.Value.Number, 1u);
    EXPECT_EQ(reloads, 1);  // the first, directly
    auto messages = platform::native::TakePostedMessages();
    ASSERT_EQ(messages.size(), 1u);  // the second, by message to its own thread
    EXPECT_EQ(messages[0].window, 99u);
    EXPECT_EQ(messages[0].message, kMsgReloadSettings);
    EXPECT_EQ(messages[0].wparam, 5u);
    EXPECT_EQ(first.OptionsOpen, 0);
}

// The dialog's handler runs under the command lock, as commands do: a command of another host
// thread waits for it. The host's own calls back from the dialog's thread (its script asks for
// the register list through an event) still get through and are not refused as nested.
TEST_F(PluginFrame, ShowOptionsDialogHandlerHoldsTheCommandLockButLetsItsThreadCallBack) {
    TzolPlugin& plugin = Create();
    int events = 0;
    plugin.OnEvent = [&](TzolPlugin&, const std::string& name, std::int32_t& result,
                         TPluginCallRec&) {
        EXPECT_EQ(name, "GetFuncTypeList");
        ++events;
        result = 0;
    };
    bool other_thread_got_lock = true;
    std::int32_t callback_result = -99;
    plugin.OnShowOptionsDialog = [&](TzolPlugin& self, TPluginCallRec&, std::int32_t& result) {
        std::thread other([&] {
            other_thread_got_lock = self.CommandLock.try_lock();
            if (other_thread_got_lock) self.CommandLock.unlock();
        });
        other.join();
        TzolParamsList event;
        event.Add("EVENT-TYPE", Variant::Ansi("GetFuncTypeList"));
        callback_result = Command("EVENT", &event);
        result = 0;
    };
    TPluginCallRec rec = NewRecord(nullptr);
    ShowOptionsDialogCall(&rec);
    EXPECT_FALSE(other_thread_got_lock);
    EXPECT_EQ(callback_result, 0);
    EXPECT_EQ(events, 1);
    EXPECT_EQ(plugin.OptionsOpen, 0);
    // Free again for the next command.
    EXPECT_TRUE(plugin.CommandLock.try_lock());
    plugin.CommandLock.unlock();
}

TEST_F(PluginFrame, ReleaseEverythingRunsTheShutdownRoutinesOnce) {
    int runs = 0;
    AddShutdownRoutine([&] { ++runs; });
    TPluginCallRec rec{};
    rec.InData.Kind = kDataReleaseAll;
    rec.InData.Value.Number = kReleaseAllValue;
    EXPECT_EQ(FreePluginInstanceCall(&rec), 0);
    EXPECT_EQ(FreePluginInstanceCall(&rec), 0);
    EXPECT_EQ(runs, 1);
}

TEST(CallParams, PresenceNeedsAValueAndResultsAreNeverAdded) {
    TzolParamsList list;
    list.Add("EMPTY", Variant());
    list.Add("NULL", Variant::Null());
    list.Add("TEXT", Variant::Ansi(""));
    common::TzolParamsListWrap* wrap = new common::TzolParamsListWrap(&list, true);
    CallParams params(*wrap->AsInterfaceA());
    EXPECT_FALSE(params.Present("empty"));
    EXPECT_FALSE(params.Present("null"));
    EXPECT_TRUE(params.Present("text"));
    EXPECT_FALSE(params.Present("absent"));
    EXPECT_TRUE(params.Find("empty").has_value());
    EXPECT_FALSE(params.SetResult(Variant::Int32(1)));
    EXPECT_EQ(list.Count(), 3);
    list.Add("Result", Variant());
    EXPECT_TRUE(params.SetResult(Variant::Int32(1)));
    EXPECT_EQ(list.GetValue("RESULT").AsInt64(), 1);
    wrap->DestroyCached();
}

}  // namespace
}  // namespace zol::plugins
