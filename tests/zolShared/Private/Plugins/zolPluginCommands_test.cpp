// The command vocabulary and the module parameters, through the export body as the host calls it.
#include <gtest/gtest.h>

#include <memory>

#include "zolShared/Private/Plugins/zolPluginModule.h"

namespace zol::plugins {
namespace {

using common::TzolParamsList;
using common::Variant;

TzolPlugin* g_plugin = nullptr;

std::unique_ptr<TzolPlugin> MakePlugin(TPluginCallRec* rec) {
    auto plugin = std::make_unique<TzolPlugin>(rec);
    g_plugin = plugin.get();
    return plugin;
}

struct Answer {
    std::int32_t result;
    Variant value;  // the RESULT item after the call
    bool has_result_item;
};

class PluginCommands : public ::testing::Test {
   protected:
    void SetUp() override {
        LibraryShutdown();
        RegisterPluginClass(&MakePlugin);
        LibraryStartup();
        TzolParamsList params;
        TPluginCallRec rec{};
        rec.RecSize = kCallRecSize;
        rec.Params = &params;
        ASSERT_EQ(CreatePluginInstanceCall(&rec), 0);
        handle_ = rec.Instance;
        plugin_ = g_plugin;
    }
    void TearDown() override { LibraryShutdown(); }

    // Runs a command; `with_result` puts a RESULT item in first, as a host wanting an answer does.
    Answer Run(const char* command, std::initializer_list<std::pair<const char*, Variant>> params,
               bool with_result = true, std::uint8_t state_mask = 0) {
        TzolParamsList list;
        if (with_result) list.Add("RESULT", Variant());
        list.Add("COMMAND", Variant::Ansi(command));
        for (const auto& [name, value] : params) list.Add(name, value);
        TPluginCallRec rec{};
        rec.RecSize = kCallRecSize;
        rec.Instance = handle_;
        rec.Params = &list;
        rec.StateMask = state_mask;
        Answer answer{ExecutePluginCommandCall(&rec), list.GetValue("RESULT"),
                      list.IndexOf("RESULT") >= 0};
        return answer;
    }
    Variant Get(const std::string& key) {
        return Run("GET-MODULE-PARAMETER", {{"PARAM", Variant::Ansi(key)}}).value;
    }
    bool Set(const std::string& key, Variant value) {
        return Run("SET-MODULE-PARAMETER", {{"PARAM", Variant::Ansi(key)}, {"VALUE", value}})
            .value.ToBool()
            .value_or(false);
    }

    void* handle_ = nullptr;
    TzolPlugin* plugin_ = nullptr;
};

TEST_F(PluginCommands, ResultsOfTheVocabulary) {
    struct Case {
        const char* command;
        bool with_result;
        std::int32_t expected;
    };
    const Case cases[] = {
        {"load", true, -2},
        {"EVENTS-SUPPORT", true, 0},
        {"ITEMS", false, -1},
        {"ITEMS", true, 0},
        {"SET-ITEMS", true, -1},
        {"SET-STATE", false, -1},
        {"SAVE-SETTINGS-NOW", true, -2},
        {"LOAD-SETTINGS-NOW", true, -2},
        {"GET-MODULE-PARAMETER", true, -2},
        {"SET-MODULE-PARAMETER", true, -2},
        {"EVENT", true, -1},
        {"SOMETHING", true, -2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        EXPECT_EQ(Run(c.command, {}, c.with_result).result, c.expected);
    }
}

TEST_F(PluginCommands, AnswersAreWrittenOnlyIntoAnExistingResultItem) {
    plugin_->EventsSupported = "PORT-OPEN;PORT-CLOSE";
    Answer with = Run("EVENTS-SUPPORT", {});
    EXPECT_EQ(with.value.AsAnsi(), "PORT-OPEN;PORT-CLOSE");
    Answer without = Run("EVENTS-SUPPORT", {}, false);
    EXPECT_EQ(without.result, 0);
    EXPECT_FALSE(without.has_result_item);
}

TEST_F(PluginCommands, ItemsFiresTheModuleFirstAndKeepsTheText) {
    int fired = 0;
    plugin_->OnBeforeGetParserItems = [&](TzolPlugin& p) {
        ++fired;
        p.ParserItems.Clear();
        p.ParserItems.AddStandardItems(false);
    };
    EXPECT_EQ(Run("ITEMS", {}, false).result, -1);
    EXPECT_EQ(fired, 0);
    Answer answer = Run("ITEMS", {});
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(answer.value.AsAnsi().substr(0, 35), "Full data packet|FULL_DATA_PACKET|S");
    EXPECT_EQ(plugin_->ParserItemsText, answer.value.AsAnsi());
}

TEST_F(PluginCommands, SetItemsNeedsTextAndAnnouncesTheChange) {
    int changed = 0;
    plugin_->OnItemsChanged = [&](TzolPlugin&) { ++changed; };
    EXPECT_EQ(Run("SET-ITEMS", {{"ITEMS", Variant::Int32(3)}}).result, -1);
    EXPECT_EQ(Run("SET-ITEMS", {{"ITEMS", Variant::Ansi("A|a|Integer|0\r\nB|b|String|")}}).result,
              0);
    EXPECT_EQ(changed, 1);
    EXPECT_EQ(Get("ParserItemsCount").AsInt64(), 2);
    // Characters 15 to 17 of the key are the index; what follows them is ignored.
    const std::pair<const char*, const char*> keys[] = {
        {"ParserItemName1", "b"},
        {"ParserItemDesc0", "A"},
        {"ParserItemType0", "8"},
        {"ParserItemName001 and more", "b"},
        {"ParserItemName0011", "b"},
        {"ParserItemDesc000A", "A"},
        {"ParserItemTypeX", ""},
        {"ParserItemType0 x", ""},  // a blank inside the three index characters
        {"parseritemtype0", ""},    // the prefix is case-sensitive
        {"ParserItemType7", ""},    // past the declared items
    };
    for (const auto& [key, expected] : keys) {
        SCOPED_TRACE(key);
        const Variant value = Get(key);
        EXPECT_EQ(value.IsEmpty() ? "" : value.AsAnsi(), expected);
    }
}

TEST_F(PluginCommands, SetStateReplacesTheSourcesAndSetsEnabledFlags) {
    std::vector<std::uint8_t> masks;
    plugin_->OnChangeState = [&](TzolPlugin&, std::uint8_t mask) { masks.push_back(mask); };
    Answer no_result = Run("SET-STATE",
                           {{"DATA-SOURCES-IN-CFG", Variant::Ansi("1;COM1;Port one\r\nx;bad;skip\n"
                                                                  "7;COM7;Port seven")},
                            {"DATA-SOURCE-LOAD", Variant::Ansi("COM7")}},
                           false);
    EXPECT_EQ(no_result.result, -1);
    ASSERT_EQ(plugin_->DataSources.size(), 2u);
    EXPECT_EQ(plugin_->DataSources[1].Id, 7);
    EXPECT_EQ(plugin_->DataSources[1].Name, "COM7");
    EXPECT_EQ(plugin_->DataSources[1].FullName, "Port seven");
    EXPECT_EQ(plugin_->DataSources[0].Line, "1;COM1;Port one");
    EXPECT_EQ(plugin_->DataSourceLoadFor, "COM7");
    EXPECT_TRUE(masks.empty());

    TzolParamsList list;
    Answer on = Run("SET-STATE", {{"RESULT", Variant::Int32(1)}}, false, 0x05);
    EXPECT_EQ(on.result, 0);
    EXPECT_TRUE(plugin_->Enabled[0]);
    EXPECT_FALSE(plugin_->Enabled[1]);
    EXPECT_TRUE(plugin_->Enabled[2]);
    EXPECT_EQ(Get("ModuleEnabled").AsInt64(), 5);
    Run("SET-STATE", {{"RESULT", Variant::Int32(0)}}, false, 0x01);
    EXPECT_FALSE(plugin_->Enabled[0]);
    EXPECT_EQ(masks, (std::vector<std::uint8_t>{0x05, 0x01}));
}

TEST_F(PluginCommands, EventsReachTheModuleWithTheirName) {
    EXPECT_EQ(Run("EVENT", {{"EVENT-TYPE", Variant::Ansi("PORT-OPEN")}}).result, 0);
    std::string seen;
    plugin_->OnEvent = [&](TzolPlugin&, const std::string& name, std::int32_t& result,
                           TPluginCallRec&) {
        seen = name;
        EXPECT_EQ(result, -1);
        result = 4;
    };
    EXPECT_EQ(Run("EVENT", {{"EVENT-TYPE", Variant::Ansi("PORT-CLOSE")}}).result, 4);
    EXPECT_EQ(seen, "PORT-CLOSE");
    plugin_->OnEvent = [](TzolPlugin&, const std::string&, std::int32_t&, TPluginCallRec&) {
        throw std::runtime_error("port gone");
    };
    EXPECT_EQ(Run("EVENT", {{"EVENT-TYPE", Variant::Ansi("PORT-CLOSE")}}).result, -3);
    EXPECT_EQ(plugin_->HostLog().Text(), "\x01{EVENT} port gone\r\n");
}

TEST_F(PluginCommands, SettingsCommandsSwapTheIniFileForTheCallOnly) {
    plugin_->INIFile = "own.ini";
    std::vector<std::string> fired;
    plugin_->OnSaveSettingsNow = [&](TzolPlugin& p) { fired.push_back("save " + p.INIFile); };
    plugin_->OnLoadSettingsNow = [&](TzolPlugin& p) { fired.push_back("load " + p.INIFile); };
    EXPECT_EQ(Run("SAVE-SETTINGS-NOW", {{"INI-FILE", Variant::Ansi("other.ini")}}).result, -2);
    EXPECT_EQ(Run("SAVE-SETTINGS-NOW", {{"NO-SAVE", Variant::Int32(1)}}).result, -2);
    EXPECT_EQ(Run("LOAD-SETTINGS-NOW",
                  {{"INI-FILE", Variant::Ansi("x.ini")}, {"NO-SAVE", Variant::Ansi("0")}})
                  .result,
              -2);
    EXPECT_EQ(fired, (std::vector<std::string>{"save other.ini", "load x.ini", "save own.ini"}));
    EXPECT_EQ(plugin_->INIFile, "own.ini");
}

TEST_F(PluginCommands, CustomStoreKeysIndexesAndCount) {
    EXPECT_TRUE(Set("Custom:Alpha", Variant::Int32(1)));
    EXPECT_TRUE(Set("Custom_Beta", Variant::Ansi("two")));
    EXPECT_TRUE(Set("CustomGamma", Variant::Int32(3)));
    EXPECT_EQ(Get("Custom COUNT").AsInt64(), 3);
    EXPECT_EQ(Get("Custom:alpha").AsInt64(), 1);
    EXPECT_EQ(Get("Custom_1").AsAnsi(), "two");
    EXPECT_TRUE(Get("Custom_9").IsNull());
    EXPECT_TRUE(Get("Custom:missing").IsNull());
    EXPECT_TRUE(Set("Custom:2", Variant::Int32(30)));
    EXPECT_EQ(Get("CustomGamma").AsInt64(), 30);
    EXPECT_TRUE(Set("Custom:9", Variant::Int32(99)));  // past the end: nothing
    EXPECT_EQ(Get("Custom_COUNT").AsInt64(), 3);
    EXPECT_TRUE(Set("Custom:COUNT", Variant()));
    EXPECT_EQ(Get("Custom_COUNT").AsInt64(), 0);
    EXPECT_TRUE(Get("Custom").IsEmpty());    // no name: not a Custom key
    EXPECT_TRUE(Get("custom:x").IsEmpty());  // "Custom" is case-sensitive
    EXPECT_FALSE(Set("Custom:", Variant::Int32(1)));
}

TEST_F(PluginCommands, ModuleParametersReadAndWrite) {
    EXPECT_TRUE(Set("logtitle", Variant::Ansi("Meter")));
    EXPECT_EQ(Get("LOGTITLE").AsAnsi(), "Meter");
    EXPECT_TRUE(Set("ModuleType", Variant::Ansi("3")));
    EXPECT_EQ(Get("ModuleType").AsInt64(), 3);
    EXPECT_FALSE(Set("ModuleType", Variant::Ansi("three")));
    EXPECT_TRUE(Set("CustomCommands", Variant::Ansi("GO|Go now|Starts|1|0\r\nshort|x\r\n")));
    EXPECT_EQ(Get("CustomCommands").AsAnsi(), "GO|Go now|Starts|1|0\r\n");
    EXPECT_TRUE(Set("TranslatorComponentProperties", Variant::Ansi("Filter;Columns|Hint")));
    EXPECT_EQ(Get("TranslatorComponentProperties").AsAnsi(),
              "CAPTION\r\nHINT\r\nTEXT\r\nTITLE\r\nCAPTIONS\r\nMsgNoData\r\nMsgWriteComplete\r\n"
              "MsgWriteCompleteError\r\nFilter\r\nColumns\r\n");
    EXPECT_TRUE(Set("SUBSCRIBE-FOR-DATA", Variant::Int32(2)));
    EXPECT_EQ(plugin_->SubscribeForData, 2);
    EXPECT_FALSE(Set("ModuleLoadCount", Variant::Int32(5)));
    EXPECT_FALSE(Set("NoSuchKey", Variant::Int32(5)));
    EXPECT_TRUE(Get("NoSuchKey").IsEmpty());
    EXPECT_EQ(Get("ModuleLoadCount").AsInt64(), 0);
    EXPECT_EQ(Get("TerminateNow").ToBool(), false);
    EXPECT_EQ(Get("ModuleRegistryRoot1").AsInt64(), 2);
    EXPECT_EQ(Get("TESTTRANSL").ToBool(), false);
    EXPECT_EQ(Get("ModulePluginHandle").AsInt64(),
              static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(handle_)));
}

TEST_F(PluginCommands, DerivedFoldersFollowTheRegistryPathAndConfiguration) {
    plugin_->ModuleRegistryPath = "Software\\Vendor\\Host\\My:Config*1\\More";
    plugin_->INISectionPrefix = "x{CFG:Station7}y";
    plugin_->Description = "Meter module\r\nsecond line";
    const std::string base = plugin_->AppDataPath();
    EXPECT_EQ(base.substr(base.size() - 12), "My Config 1\\");
    EXPECT_EQ(plugin_->ModuleConfigIdText(), "Station7");
    EXPECT_EQ(plugin_->ModuleDataPath(), base + "Station7\\Meter module\\");
    plugin_->ModuleConfigs.Add("Electricity/Power");
    plugin_->ConfigId = static_cast<std::int32_t>(TModuleConfigList::KeyOf("Electricity/Power"));
    EXPECT_EQ(plugin_->ModuleDataPath(), base + "Station7\\Electricity-Power\\");
    plugin_->INISectionPrefix = "{plain}";
    EXPECT_EQ(plugin_->ModuleConfigIdText(), "plain");
    plugin_->INISectionPrefix = "{trailing:}";
    EXPECT_EQ(plugin_->ModuleConfigIdText(), "trailing:");
}

TEST(ModuleConfigList, KeysAreJamCrcOfTheName) {
    // CRC-32/JAMCRC of "123456789" is the published check value 0x340BC6D9.
    EXPECT_EQ(TModuleConfigList::KeyOf("123456789"), 0x340BC6D9u);
    TModuleConfigList list;
    list.Add("Heat");
    list.Add("Electricity");
    auto found = list.FindByKey(TModuleConfigList::KeyOf("Electricity"));
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->first, 1);
    EXPECT_FALSE(list.FindByKey(1).has_value());
    EXPECT_EQ(list.Names("\r\n"), "Heat\r\nElectricity");
}

TEST(CleanFileName, ReplacesForbiddenCharactersAndGuardsDeviceNames) {
    const std::pair<const char*, const char*> cases[] = {
        {"a/b:c", "a-b-c"},     {"con", "_con"}, {"COM1", "_COM1"},  {"lpt9x", "_lpt9x"},
        {"Console", "Console"}, {"nul", "_nul"}, {"plain", "plain"},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(CleanFileName(input, '-'), expected) << input;
    }
}

}  // namespace
}  // namespace zol::plugins
