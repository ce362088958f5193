// Drives the real kmpparser.dll through its exports, the way the host does.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "hostsim/host_lib.h"

namespace zol::hostsim {
namespace {

using common::Variant;

class PluginExportCalls : public ::testing::TestWithParam<ParamsMode> {
   protected:
    void SetUp() override { ASSERT_TRUE(library_.Load("kmpparser.dll")) << library_.Error(); }

    PluginLibrary library_;
};

TEST_P(PluginExportCalls, CreateRefusesARecordThatAlreadyNamesAnInstance) {
    CallRecord call(GetParam());
    call.AttachParams();
    call.Rec().Instance = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(library_.Exports().CreatePluginInstance(&call.Rec()), -1);
    EXPECT_EQ(call.Rec().Instance, reinterpret_cast<void*>(0x1234));

    HostInstance host(library_, GetParam());
    ASSERT_EQ(host.Create(), 0);
    EXPECT_NE(host.Handle(), nullptr);
    EXPECT_EQ(host.Free(), 0);
    // The handle is gone now: freeing it again finds nothing.
    CallRecord again(GetParam());
    again.Rec().Instance = call.Rec().Instance;
    EXPECT_EQ(library_.Exports().FreePluginInstance(&again.Rec()), -1);
}

TEST_P(PluginExportCalls, ModuleInfoFillsTheHeaderAndTextsOnlyWhenTheBufferIsLargeEnough) {
    HostInstance host(library_, GetParam());
    ASSERT_EQ(host.Create(), 0);
    CallRecord call(GetParam());
    call.Rec().Instance = host.Handle();

    std::uint8_t small[33] = {};
    std::int32_t size = 33;
    std::memcpy(small, &size, 4);
    std::int32_t needed = -1;
    EXPECT_EQ(library_.Exports().GetModuleInfo(&call.Rec(), small, &needed), 0);
    const std::string description = "Kamstrup [KMP protocol]";
    EXPECT_EQ(needed, static_cast<std::int32_t>(33 + description.size()));
    std::uint32_t word = 0;
    std::memcpy(&word, small, 4);
    EXPECT_EQ(word, 33u);  // the size word is left as given
    std::memcpy(&word, small + 4, 4);
    EXPECT_EQ(word, 3u | (4u << 16));  // kinds 0 and 1; reads CONFIG-ID at LOAD
    std::memcpy(&word, small + 8, 4);
    EXPECT_EQ(word, 4u);
    float version = 0;
    std::memcpy(&version, small + 12, 4);
    EXPECT_EQ(version, 5.0f);
    EXPECT_EQ(small[16], 1);
    std::memcpy(&word, small + 17, 4);
    EXPECT_EQ(word, description.size());

    std::uint8_t tiny[32] = {};
    size = 32;
    std::memcpy(tiny, &size, 4);
    EXPECT_EQ(library_.Exports().GetModuleInfo(&call.Rec(), tiny, &needed), 0);
    EXPECT_EQ(tiny[16], 0);  // a buffer of 32 bytes or less is left alone

    auto info = host.GetModuleInfo(4096);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->description, description);
    EXPECT_EQ(info->custom_commands, "");

    CallRecord nobody(GetParam());
    needed = 77;
    EXPECT_EQ(library_.Exports().GetModuleInfo(&nobody.Rec(), small, &needed), 0);
    EXPECT_EQ(needed, 0);
}

// ProcessData with "expects input" and no input logs the no-data message: a handy way to put
// a known line into the log through the exports alone.
std::int32_t ProcessNothing(const PluginLibrary& library, void* instance, ParamsMode mode) {
    CallRecord call(mode);
    call.Rec().Instance = instance;
    call.Rec().Flags = 0x04;
    call.Rec().StateMask = 0x03;
    call.AttachParams();
    return library.Exports().ProcessData(&call.Rec());
}

TEST_P(PluginExportCalls, ProcessDataWithoutInputLogsTheNoDataMessage) {
    HostInstance host(library_, GetParam());
    ASSERT_EQ(host.Create(), 0);
    ASSERT_EQ(host.Load().result, 0);
    EXPECT_EQ(ProcessNothing(library_, host.Handle(), GetParam()), 0);
    EXPECT_EQ(host.CollectLog(), "\x02Kamstrup. No data for processing\r\n");
    EXPECT_EQ(host.CollectLog(), "");
}

TEST_P(PluginExportCalls, GetLogExHonoursTheBufferSize) {
    HostInstance host(library_, GetParam());
    ASSERT_EQ(host.Create(), 0);
    ASSERT_EQ(host.Load().result, 0);
    const std::string line = "\x02Kamstrup. No data for processing";
    for (int i = 0; i < 3; ++i) ProcessNothing(library_, host.Handle(), GetParam());
    const std::string expected = line + " x3\r\n";

    char buffer[128];
    auto take = [&](std::int32_t size) {
        CallRecord call(GetParam());
        call.Rec().Instance = host.Handle();
        call.Rec().InData.Size = size;
        call.Rec().InData.Value.Ptr = buffer;
        std::int32_t copied = library_.Exports().GetLogEx(&call.Rec());
        EXPECT_EQ(call.Rec().OutData.Kind, 5);
        return std::make_pair(copied, call.Rec().OutData.Value.Number);
    };
    auto too_small = take(10);
    EXPECT_EQ(too_small.first, 0);
    EXPECT_EQ(too_small.second, expected.size());
    // Asking again gives the folded line once, not with a second suffix.
    auto enough = take(sizeof buffer);
    ASSERT_EQ(enough.first, static_cast<std::int32_t>(expected.size()));
    EXPECT_EQ(std::string(buffer, expected.size()), expected);
    EXPECT_EQ(take(sizeof buffer).first, 0);

    ProcessNothing(library_, host.Handle(), GetParam());
    auto discard = take(0);
    EXPECT_EQ(discard.first, 0);
    EXPECT_EQ(discard.second, line.size() + 2);
    EXPECT_EQ(take(sizeof buffer).second, 0u);
}

// The module has a data handler, so the input is not copied; above all the host never gets the
// plug-in's adapter of its list back (the copying path without a handler is tested natively).
TEST_P(PluginExportCalls, AListInputNeverComesBackAsThePluginsAdapter) {
    HostInstance host(library_, GetParam());
    ASSERT_EQ(host.Create(), 0);
    ASSERT_EQ(host.Load().result, 0);
    common::TzolParamsList input;
    input.Add("A", Variant::Int32(1));
    CallRecord call(GetParam());
    call.AttachParams();
    call.Rec().Instance = host.Handle();
    call.Rec().Flags = 0x20;
    call.Rec().StateMask = 0x01;
    call.Rec().InData.Kind = 1;
    call.Rec().InData.Value.Ptr = &input;
    EXPECT_EQ(library_.Exports().ProcessData(&call.Rec()), 0);
    EXPECT_EQ(call.Rec().OutData.Kind, 0);
    EXPECT_EQ(call.Rec().OutData.Value.Ptr, nullptr);
}

TEST_P(PluginExportCalls, LoadAndUnloadAreCounted) {
    HostInstance host(library_, GetParam());
    ASSERT_EQ(host.Create(), 0);
    EXPECT_EQ(host.Load().result, 0);
    EXPECT_EQ(host.Load().result, 0);
    EXPECT_EQ(host.Command("UNLOAD").result, 0);
    // Still loaded: data are processed.
    EXPECT_EQ(ProcessNothing(library_, host.Handle(), GetParam()), 0);
    EXPECT_EQ(host.Command("UNLOAD").result, 0);
    // Unloaded now: ProcessData refuses.
    EXPECT_EQ(ProcessNothing(library_, host.Handle(), GetParam()), -1);
    EXPECT_EQ(host.Command("UNLOAD").result, 0);
    EXPECT_EQ(ProcessNothing(library_, host.Handle(), GetParam()), -1);
    EXPECT_EQ(host.Load().result, 0);
    EXPECT_EQ(ProcessNothing(library_, host.Handle(), GetParam()), 0);
}

TEST_P(PluginExportCalls, BadRecordsAreRefused) {
    HostInstance host(library_, GetParam());
    ASSERT_EQ(host.Create(), 0);
    CallRecord call(GetParam());
    call.List().Add("COMMAND", Variant::Ansi("LOAD"));
    call.AttachParams();
    call.Rec().Instance = host.Handle();
    call.Rec().RecSize = 101;
    EXPECT_EQ(library_.Exports().ExecutePluginCommand(&call.Rec()), -1);
    EXPECT_EQ(library_.Exports().ProcessData(&call.Rec()), -1);
    call.Rec().RecSize = 102;
    call.Rec().Instance = nullptr;
    EXPECT_EQ(library_.Exports().ExecutePluginCommand(&call.Rec()), -1);
    EXPECT_EQ(library_.Exports().ProcessData(&call.Rec()), -1);
    call.Rec().Instance = reinterpret_cast<void*>(16);  // not readable memory
    EXPECT_EQ(library_.Exports().ExecutePluginCommand(&call.Rec()), -1);
    int not_an_instance = 0;
    call.Rec().Instance = &not_an_instance;
    EXPECT_EQ(library_.Exports().ExecutePluginCommand(&call.Rec()), -1);
    call.Rec().Instance = host.Handle();
    call.Rec().Params = nullptr;
    EXPECT_EQ(library_.Exports().ExecutePluginCommand(&call.Rec()), -1);
    EXPECT_EQ(library_.Exports().ExecutePluginCommand(nullptr), -1);
    EXPECT_EQ(library_.Exports().GetLogEx(nullptr), 0);
}

TEST_P(PluginExportCalls, TheCallersRecordIsRestoredAfterACommand) {
    HostInstance host(library_, GetParam());
    ASSERT_EQ(host.Create(), 0);
    CallRecord call(GetParam());
    call.List().Add("RESULT", Variant());
    call.List().Add("COMMAND", Variant::Ansi("LOAD"));
    call.AttachParams();
    call.Rec().Instance = host.Handle();
    call.Rec().Flags = 0x08;
    void* params = call.Rec().Params;
    EXPECT_EQ(library_.Exports().ExecutePluginCommand(&call.Rec()), 0);
    EXPECT_EQ(call.Rec().Params, params);
    EXPECT_EQ(call.Rec().Flags, 0x08);
    EXPECT_EQ(call.List().Count(), 2);
}

TEST_P(PluginExportCalls, CommandsAreCaseSensitiveAndUnknownOnesGiveMinusTwo) {
    HostInstance host(library_, GetParam());
    ASSERT_EQ(host.Create(), 0);
    EXPECT_EQ(host.Command("load").result, -2);
    EXPECT_EQ(host.Command("").result, -1);
    EXPECT_EQ(host.Command("LOAD").result, 0);
}

TEST_P(PluginExportCalls, OptionsDialogAnswers) {
    HostInstance host(library_, GetParam());
    ASSERT_EQ(host.Create(), 0);
    CallRecord call(GetParam());
    call.Rec().Instance = host.Handle();
    char buffer[64] = {};
    call.Rec().InData.Value.Ptr = buffer;
    call.Rec().InData.Size = sizeof buffer;
    library_.Exports().GetOptionsDialog(&call.Rec());
    EXPECT_EQ(call.Rec().OutData.Kind, 5);
    EXPECT_EQ(call.Rec().OutData.Value.Number, 3u);  // the description needs a larger buffer

    CallRecord show(GetParam());
    show.Rec().Instance = host.Handle();
    library_.Exports().ShowOptionsDialog(&show.Rec());
    EXPECT_EQ(show.Rec().OutData.Kind, 5);
    EXPECT_EQ(show.Rec().OutData.Value.Number, 1u);  // the module's dialog changed the settings
    CallRecord none(GetParam());
    library_.Exports().ShowOptionsDialog(&none.Rec());
    EXPECT_EQ(none.Rec().OutData.Value.Number, 2u);  // no instance
}

INSTANTIATE_TEST_SUITE_P(BothListForms, PluginExportCalls,
                         ::testing::Values(ParamsMode::kListObject, ParamsMode::kInterface),
                         [](const auto& param_info) {
                             return param_info.param == ParamsMode::kListObject ? "ListObject"
                                                                                : "Interface";
                         });

TEST(PluginVersion, DisplayFullVersionComesFromTheVersionResource) {
    char path[MAX_PATH];
    HMODULE dll = LoadLibraryA("kmpparser.dll");
    ASSERT_NE(dll, nullptr);
    GetModuleFileNameA(dll, path, MAX_PATH);
    DWORD handle = 0;
    EXPECT_GT(GetFileVersionInfoSizeA(path, &handle), 0u);
    FreeLibrary(dll);
}

}  // namespace
}  // namespace zol::hostsim
