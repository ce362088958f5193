// The KMP module's settings: its property map, and the settings object loaded at LOAD, stored
// and reloaded by the host's settings commands, and stored into a new INI file at the last UNLOAD.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "kmp/PluginDM.h"
#include "kmp/kmp_instance.h"
#include "platform/native/registry_native.h"
#include "platform/registry.h"
#include "zolShared/Private/Plugins/plugin_abi.h"

namespace zol::kmp {
namespace {

using common::TzolParamsList;
using common::Variant;
using plugins::TPluginCallRec;

TEST(KmpSettingsMap, PropertiesHolderReadsTheMapLines) {
    TaPlugin plugin(nullptr);
    ASSERT_NE(plugin.Properties, nullptr);
    EXPECT_EQ(plugin.Properties->KeyString(), "");
    EXPECT_EQ(plugin.Properties->Strings(),
              (std::vector<std::string>{
                  "Left,Left", "Top,Top", "Height,Height", "Width,Width", ";---short---",
                  "lblParams.Caption,Parser config", "OpenDialog.FileName,Open files dir",
                  "SaveDialog.FileName,Save files dir", "spMinInt.Value,Min interval"}));
    EXPECT_EQ(plugin.Config, nullptr);
    EXPECT_TRUE(plugin.Unloading);
}

class KmpSettings : public ::testing::Test {
   protected:
    void SetUp() override {
        platform::native::ResetRegistry();
        folder_ = std::filesystem::temp_directory_path() /
                  ("zol_kmp_settings_" +
                   std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
        kmp_.Create();
        ASSERT_NE(kmp_.plugin, nullptr);
        handle_ = kmp_.handle;
        plugin_ = kmp_.plugin;
    }
    void TearDown() override {
        plugin_ = nullptr;
        kmp_.Release();
        std::filesystem::remove_all(folder_);
        platform::native::ResetRegistry();
    }

    std::int32_t Run(const char* command,
                     std::initializer_list<std::pair<const char*, Variant>> params,
                     std::uint8_t state_mask = 0) {
        TzolParamsList list;
        list.Add("RESULT", Variant());
        list.Add("COMMAND", Variant::Ansi(command));
        for (const auto& [name, value] : params) {
            if (std::string_view(name) == "RESULT") {
                list.SetValue("RESULT", value, true);
            } else {
                list.Add(name, value);
            }
        }
        TPluginCallRec rec{};
        rec.RecSize = plugins::kCallRecSize;
        rec.Instance = handle_;
        rec.Params = &list;
        rec.StateMask = state_mask;
        return plugins::ExecutePluginCommandCall(&rec);
    }
    static std::optional<std::int32_t> RegistryLeft() {
        auto key = platform::OpenRegistryKey(platform::RegistryHive::kLocalMachine,
                                             "Software\\Test\\KMP", false);
        if (!key) return std::nullopt;
        auto value = key->Read("Left");
        if (!value || value->data.size() != 4) return std::nullopt;
        return static_cast<std::int32_t>(value->data[0] | (value->data[1] << 8));
    }
    std::string Ini(const char* name) const { return (folder_ / name).string(); }
    static std::string FileText(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    std::filesystem::path folder_;
    void* handle_ = nullptr;
    testing::KmpInstance kmp_;
    TaPlugin* plugin_ = nullptr;
};

TEST_F(KmpSettings, LoadReadsStoredSettingsAndTheCommandsStoreAndReload) {
    {
        auto key = platform::OpenRegistryKey(platform::RegistryHive::kLocalMachine,
                                             "Software\\Test\\KMP", true);
        ASSERT_TRUE(key);
        const std::vector<std::uint8_t> left{0x64, 0, 0, 0};
        key->Write("Left", platform::kRegDword, left);
    }
    EXPECT_EQ(Run("SAVE-SETTINGS-NOW", {}), -2);  // before LOAD: no settings object
    EXPECT_FALSE(platform::native::RegistryKeyExists(platform::RegistryHive::kCurrentUser,
                                                     "Software\\Test"));
    ASSERT_EQ(Run("LOAD", {{"REGISTRY-PATH", Variant::Ansi("\\Software\\Test\\KMP")}}), 0);
    ASSERT_NE(plugin_->Config, nullptr);
    EXPECT_FALSE(plugin_->Unloading);
    EXPECT_EQ(plugin_->Config->Left, 100);
    EXPECT_EQ(plugin_->Config->Top, 144);

    plugin_->Config->Left = 55;
    EXPECT_EQ(Run("SAVE-SETTINGS-NOW", {}), -2);
    EXPECT_EQ(RegistryLeft(), 55);

    // LOAD-SETTINGS-NOW from a file, then stored into the usual place (the registry).
    const std::string file = Ini("import.ini");
    std::ofstream(file, std::ios::binary) << "[Common]\r\nLeft=77\r\nParser config=a%0D%0Ab\r\n";
    EXPECT_EQ(Run("LOAD-SETTINGS-NOW", {{"INI-FILE", Variant::Utf8(file)}}), -2);
    EXPECT_EQ(plugin_->Config->Left, 77);
    EXPECT_EQ(plugin_->Config->lblParams_Caption, "a\r\nb");
    EXPECT_EQ(RegistryLeft(), 77);
    EXPECT_EQ(plugin_->INIFile, "");

    std::ofstream(file, std::ios::binary) << "[Common]\r\nLeft=88\r\n";
    EXPECT_EQ(Run("LOAD-SETTINGS-NOW",
                  {{"INI-FILE", Variant::Utf8(file)}, {"NO-SAVE", Variant::Int32(1)}}),
              -2);
    EXPECT_EQ(plugin_->Config->Left, 88);
    EXPECT_EQ(RegistryLeft(), 77);

    // SAVE-SETTINGS-NOW into a named file creates it.
    const std::string exported = Ini("export.ini");
    EXPECT_EQ(Run("SAVE-SETTINGS-NOW", {{"INI-FILE", Variant::Utf8(exported)}}), -2);
    EXPECT_NE(FileText(exported).find("[Common]\r\nLeft=88\r\n"), std::string::npos);

    // The last UNLOAD with another INI file stores into it, then the object is released.
    const std::string moved = Ini("moved.ini");
    EXPECT_EQ(Run("UNLOAD", {{"INI-FILE", Variant::Utf8(moved)}}), 0);
    EXPECT_NE(FileText(moved).find("Left=88\r\n"), std::string::npos);
    EXPECT_EQ(plugin_->Config, nullptr);
    EXPECT_TRUE(plugin_->Unloading);
}

TEST_F(KmpSettings, SettingsLiveInTheInstancesIniFileWithItsPrefix) {
    const std::string file = Ini("host.ini");
    std::ofstream(file, std::ios::binary) << "[KMP7.Common]\r\nWidth=900\r\n";
    ASSERT_EQ(Run("LOAD", {{"REGISTRY-PATH", Variant::Ansi("\\Software\\Test\\KMP")},
                           {"INI-FILE", Variant::Utf8(file)},
                           {"INI-SECTION-PREFIX", Variant::Ansi("KMP7")}}),
              0);
    EXPECT_EQ(plugin_->Config->Width, 900);
    EXPECT_EQ(Run("SAVE-SETTINGS-NOW", {{"INI-FILE", Variant::Utf8(file)}}), -2);
    EXPECT_EQ(FileText(file),
              "[KMP7.Common]\r\nWidth=900\r\nLeft=326\r\nTop=144\r\nHeight=435\r\n"
              "Parser config=\r\nOpen files dir=\r\nSave files dir=\r\nMin interval=0\r\n\r\n");
    EXPECT_FALSE(platform::native::RegistryKeyExists(platform::RegistryHive::kLocalMachine,
                                                     "Software\\Test"));
}

// A schedule that cannot run as written is logged when the configuration is loaded: once per
// load, however many ports and addresses share the entry.
TEST_F(KmpSettings, ScheduleProblemsAreLoggedOncePerLoad) {
    ASSERT_EQ(Run("LOAD", {{"REGISTRY-PATH", Variant::Ansi("\\Software\\Test\\KMP")}}), 0);
    plugin_->Config->lblParams_Caption =
        "<QUERY><S caption=\"Short\"><Enabled>1</Enabled><Device>1;2</Device>"
        "<MethodCron>1</MethodCron><CronTime> 0 0 12 </CronTime><Response><I><Register>3C"
        "</Register></I></Response></S><D caption=\"Doubled\"><Enabled>1</Enabled><Device>3"
        "</Device><MethodCron>1</MethodCron><CronTime>0  0 12 * *</CronTime><Response><I>"
        "<Register>3C</Register></I></Response></D><X caption=\"Bad\"><Enabled>1</Enabled>"
        "<MethodCron>1</MethodCron><CronTime>x * * * * *</CronTime><Response><I><Register>3C"
        "</Register></I></Response></X></QUERY>";
    ASSERT_EQ(Run("SAVE-SETTINGS-NOW", {}), -2);
    plugin_->HostLog().Clear();
    ASSERT_EQ(Run("SET-STATE",
                  {{"DATA-SOURCES-IN-CFG", Variant::Ansi("1;COM1;a\r\n2;COM2;b")},
                   {"RESULT", Variant::Int32(1)}},
                  0x03),
              0);
    ASSERT_EQ(plugin_->Ports().size(), 2u);
    const std::string expected =
        "\x02Kamstrup. Unable to parse expression \"0 0 12, 3 fields where 5 or 6 are needed: "
        "Short runs every day at midnight\". Error at: 7\r\n"
        "\x02Kamstrup. Unable to parse expression \"x * * * * * *, 'x' is not a valid integer "
        "value\". Error at: 1\r\n";
    EXPECT_EQ(plugin_->HostLog().Text(), expected);
    plugin_->HostLog().Clear();
    EXPECT_EQ(Run("LOAD-SETTINGS-NOW", {}), -2);
    EXPECT_EQ(plugin_->HostLog().Text(), expected);
}

}  // namespace
}  // namespace zol::kmp

namespace zol::kmp {
namespace {

// The module stores its settings through the property map it carries in stored form; the options
// dialog's package carries the same map as text. The two must never drift apart.
TEST(KmpPropertyMap, StoredFormMatchesTheOptionsDialogPackage) {
    common::TzolStrHolder holder;
    holder.ReadStoredForm(PropertiesStoredForm());
    std::ifstream in(std::string(ZOL_TEST_DATA_DIR) + "/../../src/kmp/options/property_map.txt");
    ASSERT_TRUE(in.good());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    EXPECT_EQ(holder.Strings(), lines);
}

}  // namespace
}  // namespace zol::kmp
