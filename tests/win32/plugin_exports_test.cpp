// Drives the real kmpparser.dll through its exports, the way the host does.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "hostsim/host_lib.h"
#include "parser/parser_CfgOptionsProxy.h"
#include "win32/helpers/stored_options.h"
#include "zolShared/Private/Plugins/zolPluginModule.h"
#include "zolShared/Public/Common/zolRegSettings.h"

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

    // The header alone: 33 bytes on the 32-bit target, its texts' pointers wider in 64-bit code.
    constexpr std::int32_t kHeader = sizeof(plugins::TModuleInfo);
    std::uint8_t small[kHeader] = {};
    std::int32_t size = kHeader;
    std::memcpy(small, &size, 4);
    std::int32_t needed = -1;
    EXPECT_EQ(library_.Exports().GetModuleInfo(&call.Rec(), small, &needed), 0);
    // The module's configurations, one per line: heat meters, then electricity meters.
    const std::string description =
        "Kamstrup [KMP protocol]\r\nKamstrup electricity [KMP protocol]";
    EXPECT_EQ(needed, static_cast<std::int32_t>(kHeader + description.size()));
    std::uint32_t word = 0;
    std::memcpy(&word, small, 4);
    EXPECT_EQ(word, static_cast<std::uint32_t>(kHeader));  // the size word is left as given
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
    void* text = &word;  // no texts in a buffer too small for them: their pointers are null
    std::memcpy(&text, small + offsetof(plugins::TModuleInfo, Description), sizeof text);
    EXPECT_EQ(text, nullptr);

    std::uint8_t tiny[kHeader - 1] = {};
    size = kHeader - 1;
    std::memcpy(tiny, &size, 4);
    EXPECT_EQ(library_.Exports().GetModuleInfo(&call.Rec(), tiny, &needed), 0);
    EXPECT_EQ(tiny[16], 0);  // a buffer smaller than the header is left alone

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

using test::StoredOptions;

// The declaration lines the module adds behind its catalogue, and the catalogue query's answer,
// for a configuration loaded under the module configuration `config_name` (none: the default).
struct Declared {
    std::vector<std::string> lines;  // every declaration line of ITEMS
    std::string function_types;      // GetFuncTypeList
};
Declared DeclaredFor(const std::string& options, const char* config_name) {
    Declared declared;
    const StoredOptions stored(options, "plugin_items");
    EXPECT_TRUE(stored.Stored());
    PluginLibrary library;
    EXPECT_TRUE(library.Load("kmpparser.dll")) << library.Error();
    HostInstance host(library, ParamsMode::kInterface);
    EXPECT_EQ(host.Create(), 0);
    std::vector<NamedValue> load = {{"INI-FILE", Variant::Ansi(stored.File())}};
    if (config_name != nullptr) {
        const auto key = plugins::TModuleConfigList::KeyOf(config_name);
        load.emplace_back("CONFIG-ID", Variant::Int32(static_cast<std::int32_t>(key)));
    }
    EXPECT_EQ(host.Load(load).result, 0);
    EXPECT_EQ(host.SetState("1;COM1;COM1 port", 0x03, true).result, 0);
    const auto items = host.Command("ITEMS");
    EXPECT_EQ(items.result, 0);
    const std::string text = items.Find("RESULT").value_or(Variant()).AsAnsi();
    for (std::size_t from = 0; from <= text.size();) {
        const std::size_t end = std::min(text.find("\r\n", from), text.size());
        declared.lines.push_back(text.substr(from, end - from));
        from = end + 2;
    }
    const auto types = host.Command("EVENT", {{"EVENT-TYPE", Variant::Ansi("GetFuncTypeList")}});
    declared.function_types = types.Find("RESULT").value_or(Variant()).AsAnsi();
    EXPECT_EQ(host.Free(), 0);
    return declared;
}

// The lines behind the last catalogue declaration (the catalogue's own and the frame's standard
// items come first, in the form they always had).
std::vector<std::string> LinesAfter(const std::vector<std::string>& lines,
                                    const std::string& last) {
    const auto found = std::find(lines.begin(), lines.end(), last);
    if (found == lines.end()) return {"<" + last + " not declared>"};
    return std::vector<std::string>(found + 1, lines.end());
}

// A host that offers only declared items for export must find every item a packet can carry:
// the meter's identity, the reading's times, each register of the configuration under the name
// it is published with, and its unit; none of them twice.
TEST(PluginItems, EveryPublishedItemOfTheConfigurationIsDeclaredOnce) {
    const std::string options =
        "<QUERY><R caption=\"Heat\"><Enabled>1</Enabled><Device>63;64</Device><Response>"
        "<I><Register>3C</Register></I><I><Register>56</Register><Name>Flow_T</Name></I>"
        "<I><Register>3FF</Register></I><I><Register>3EB</Register><Name>READ_DAY</Name></I>"
        "</Response></R><S caption=\"Again\"><Device>65</Device><Response><I><Register>3C"
        "</Register></I><I><Register>3ff</Register></I></Response></S></QUERY>";
    const Declared heat = DeclaredFor(options, nullptr);
    ASSERT_GT(heat.lines.size(), 80u);
    EXPECT_EQ(heat.lines[6], "Device ID|DEVICE_ID|Integer|");
    EXPECT_EQ(LinesAfter(heat.lines, "Liter/imp value for input B|IN_B_LITER_IMP|Float|0"),
              (std::vector<std::string>{
                  // SERIAL_NO is a register of the heat catalogue, declared with it already.
                  "Device type|DEVICE_TYPE|String|",
                  "Timestamp|TIMESTAMP|DateTime|",
                  "Timestamp (UTC)|TIMESTAMP_UTC|DateTime|",
                  "Energy register 1: Heat energy (unit)|E1_UNIT|String|",
                  "Current flow temperature|Flow_T|Float|0",
                  "Current flow temperature (unit)|Flow_T_UNIT|String|",
                  "REG_03FF|REG_03FF|Float|0",
                  "REG_03FF (unit)|REG_03FF_UNIT|String|",
                  "Current date|READ_DAY|DateTime|0",
                  "Current date (unit)|READ_DAY_UNIT|String|",
              }));

    // Under the electricity configuration the same ids mean that catalogue's registers.
    const Declared electricity = DeclaredFor(
        "<QUERY><R><Enabled>1</Enabled><Device>64</Device><Response><I><Register>1</Register>"
        "</I><I><Register>56</Register></I><I><Register>3C</Register><Name>E1</Name></I>"
        "</Response></R></QUERY>",
        "Kamstrup electricity [KMP protocol]");
    EXPECT_EQ(electricity.function_types, "Custom==0000");
    EXPECT_EQ(LinesAfter(electricity.lines, "Power p3 Out|REG_0542|Float|0"),
              (std::vector<std::string>{
                  "Serial no.|SERIAL_NO|DWord|",
                  "Device type|DEVICE_TYPE|String|",
                  "Timestamp|TIMESTAMP|DateTime|",
                  "Timestamp (UTC)|TIMESTAMP_UTC|DateTime|",
                  "Energy in (unit)|REG_0001_UNIT|String|",
                  "Current flow temperature (unit)|REG_0056_UNIT|String|",
                  "E1|E1|Float|0",
                  "E1 (unit)|E1_UNIT|String|",
              }));
    EXPECT_EQ(std::count(electricity.lines.begin(), electricity.lines.end(),
                         "Energy in|REG_0001|Float|0"),
              1);
}

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
