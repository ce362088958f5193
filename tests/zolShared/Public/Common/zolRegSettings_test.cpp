// The settings component: stored-string encoding, map lines, section and lock names, and whole
// load/store operations against the in-memory registry and real INI files.
#include "zolShared/Public/Common/zolRegSettings.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "parser/parser_CfgOptionsProxy.h"
#include "platform/named_mutex.h"
#include "platform/native/files_native.h"
#include "platform/native/registry_native.h"
#include "platform/registry.h"

namespace zol::common {
namespace {

using parser::TProxyCodeObject;
using platform::RegistryHive;

// The KMP module's map.
const std::vector<std::string> kMap = {
    "Left,Left",
    "Top,Top",
    "Height,Height",
    "Width,Width",
    ";---short---",
    "lblParams.Caption,Parser config",
    "OpenDialog.FileName,Open files dir",
    "SaveDialog.FileName,Save files dir",
    "spMinInt.Value,Min interval",
};

TEST(SettingString, EncodesByTheByteRules) {
    struct Case {
        const char* text;
        const char* stored;
    } cases[] = {
        {"abc", "abc"},
        {"a b", "a b"},
        {" a", "+a"},
        {"a  b", "a+ b"},
        {"a ", "a+"},
        {"100%", "100%%"},
        {"1+1", "1%2B1"},
        {"x\r\ny", "x%0D%0Ay"},
        {"tab\there", "tab%09here"},
        {"Gr\xC3\xBC\xC3\x9F"
         "e",
         "Gr%C3%BC%C3%9Fe"},
        {"~\x7F", "~\x7F"},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(EncodeSettingString(c.text), c.stored);
        EXPECT_EQ(DecodeSettingString(c.stored), c.text);
    }
}

TEST(SettingString, DecodesWhatTheEncoderNeverWrites) {
    struct Case {
        const char* stored;
        const char* text;
    } cases[] = {
        {"abc%4", "abc%4"},      // "%" and one hex digit: kept
        {"%zz%", "%zz%"},        // "%" without two hex digits: kept
        {"%c3%bc", "\xC3\xBC"},  // lower-case hex
        {"%%41", "%41"},         // "%%" first
        // Escaped bytes that are not UTF-8 (an 8-bit writer, CESU-8) are code page text.
        {"%FF", "\xC3\xBF"},
        {"d%E9j%E0+vu%0D%0A100%%", "d\xC3\xA9j\xC3\xA0 vu\r\n100%"},
        {"%ED%A0%BD%ED%B8%80", "\xC3\xAD\xC2\xA0\xC2\xBD\xC3\xAD\xC2\xB8\xE2\x82\xAC"},
        {"a+++b", "a   b"},
        // A raw non-ASCII character: escaped bytes are code page characters, not UTF-8.
        {"caf%C3%A9 \xC3\xBC", "caf\xC3\x83\xC2\xA9 \xC3\xBC"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        EXPECT_EQ(DecodeSettingString(c.stored), c.text);
    }
}

TEST(SettingString, MultiLineOptionsTextIsOneLine) {
    const std::string text = "<QUERY>\r\n <R1 Name=\"W\xC3\xA4rme\">100%</R1>\r\n</QUERY>";
    const std::string stored = EncodeSettingString(text);
    EXPECT_EQ(stored, "<QUERY>%0D%0A <R1 Name=\"W%C3%A4rme\">100%%</R1>%0D%0A</QUERY>");
    EXPECT_EQ(DecodeSettingString(stored), text);
}

TEST(PropertyMap, LinesSplitIntoPathSubPathAndName) {
    struct Case {
        const char* line;
        bool parsed;
        const char* path;
        const char* sub_path;
        const char* name;
    } cases[] = {
        {"Left,Left", true, "Left", "", "Left"},
        {";---short---", false, "", "", ""},
        {"lblParams.Caption,Parser config", true, "lblParams.Caption", "", "Parser config"},
        {"NoSeparator", false, "", "", ""},
        {"Prop;Name", true, "Prop", "", "Name"},
        {"  Prop , Sub\\\\Key\\Name ; comment", true, "Prop", "Sub\\Key", "Name"},
        {"Prop,\\Name", true, "Prop", "", "Name"},
        {"Prop,\\\\A\\B", true, "Prop", "A", "B"},
        {"a,b;c", true, "a", "", "b"},
        {",Name", false, "", "", ""},
        {"Prop,", false, "", "", ""},
        {"Prop,Sub\\", false, "", "", ""},
        {"   ", false, "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        auto line = ParsePropertyMapLine(c.line, true);
        ASSERT_EQ(line.has_value(), c.parsed);
        if (!line) continue;
        EXPECT_EQ(line->property_path, c.path);
        EXPECT_EQ(line->sub_path, c.sub_path);
        EXPECT_EQ(line->value_name, c.name);
    }
}

TEST(PropertyMap, SectionAndLockNames) {
    struct Case {
        const char* prefix;
        const char* sub_path;
        const char* section;
    } cases[] = {
        {"KMP1", "", "KMP1.Common"}, {"KMP1\\", "", "KMP1"},       {"", "", "Common"},
        {"A\\B", "", "A.B.Common"},  {"KMP1", "S\\X", "KMP1.S.X"}, {"", "Sub", "Sub"},
        {"P/", "Sub", "P.Sub"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.prefix) + "|" + c.sub_path);
        EXPECT_EQ(IniSectionName(c.prefix, c.sub_path), c.section);
    }
    EXPECT_EQ(IniLockName("C:\\Data\\Settings-1.INI"), "c__data_settings_1_ini");
    EXPECT_EQ(IniLockName("/tmp/\xC3\xA4 b.ini"), "_tmp___b_ini");  // one "_" per character
}

// --- Registry -------------------------------------------------------------------------------

class RegistrySettings : public ::testing::Test {
   protected:
    void SetUp() override { platform::native::ResetRegistry(); }
    void TearDown() override { platform::native::ResetRegistry(); }

    bool Run(TWregOperation operation, TProxyCodeObject& object) {
        TWreg wreg;
        wreg.RegistryPath = "\\Software\\Test Co\\Logger\\";
        wreg.Components = kMap;
        wreg.Object = &object;
        const bool done = wreg.Execute(operation);
        opened_ = wreg.OpenedRoot();
        return done;
    }
    static std::optional<platform::RegistryValue> Value(RegistryHive hive, const char* name) {
        auto key = platform::OpenRegistryKey(hive, "Software\\Test Co\\Logger", false);
        if (!key) return std::nullopt;
        return key->Read(name);
    }
    static void Put(RegistryHive hive, const char* name, std::uint32_t type,
                    std::vector<std::uint8_t> data) {
        auto key = platform::OpenRegistryKey(hive, "Software\\Test Co\\Logger", true);
        ASSERT_TRUE(key);
        ASSERT_TRUE(key->Write(name, type, data));
    }
    std::optional<TRegistryRoot> opened_;
};

TEST_F(RegistrySettings, StoreWritesEachTypeToTheFirstRoot) {
    TProxyCodeObject object;
    object.Left = -2;
    object.lblParams_Caption = "a b";
    object.spMinInt_Value = 2.5;
    ASSERT_TRUE(Run(TWregOperation::kStore, object));
    EXPECT_EQ(opened_, TRegistryRoot::rrHKEY_LOCAL_MACHINE);
    using V = std::vector<std::uint8_t>;
    struct Case {
        const char* name;
        std::uint32_t type;
        V data;
    } cases[] = {
        {"Left", platform::kRegDword, V{0xFE, 0xFF, 0xFF, 0xFF}},
        {"Top", platform::kRegDword, V{0x90, 0x00, 0x00, 0x00}},
        {"Height", platform::kRegDword, V{0xB3, 0x01, 0x00, 0x00}},
        {"Width", platform::kRegDword, V{0xE1, 0x01, 0x00, 0x00}},
        {"Parser config", platform::kRegSz, V{'a', 0, ' ', 0, 'b', 0, 0, 0}},
        {"Open files dir", platform::kRegSz, V{0, 0}},
        {"Save files dir", platform::kRegSz, V{0, 0}},
        {"Min interval", platform::kRegBinary, V{0, 0, 0, 0, 0, 0, 0x04, 0x40}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto value = Value(RegistryHive::kLocalMachine, c.name);
        ASSERT_TRUE(value);
        EXPECT_EQ(value->type, c.type);
        EXPECT_EQ(value->data, c.data);
    }
    EXPECT_FALSE(Value(RegistryHive::kLocalMachine, ";---short---"));
    EXPECT_FALSE(platform::native::RegistryKeyExists(RegistryHive::kCurrentUser, "Software"));

    TProxyCodeObject loaded;
    ASSERT_TRUE(Run(TWregOperation::kLoad, loaded));
    EXPECT_EQ(loaded.Left, -2);
    EXPECT_EQ(loaded.lblParams_Caption, "a b");
    EXPECT_EQ(loaded.spMinInt_Value, 2.5);
}

TEST_F(RegistrySettings, UnwritableFirstRootFallsBackToTheSecond) {
    platform::native::SetRegistryHiveWritable(RegistryHive::kLocalMachine, false);
    TProxyCodeObject object;
    object.Width = 800;
    ASSERT_TRUE(Run(TWregOperation::kStore, object));
    EXPECT_EQ(opened_, TRegistryRoot::rrHKEY_CURRENT_USER);
    EXPECT_FALSE(platform::native::RegistryKeyExists(RegistryHive::kLocalMachine, "Software"));
    TProxyCodeObject loaded;
    ASSERT_TRUE(Run(TWregOperation::kLoad, loaded));
    EXPECT_EQ(loaded.Width, 800);

    platform::native::SetRegistryHiveWritable(RegistryHive::kCurrentUser, false);
    EXPECT_FALSE(Run(TWregOperation::kStore, object));
    EXPECT_FALSE(opened_);
}

TEST_F(RegistrySettings, LoadKeepsMissingValuesAndDeletesWrongTypes) {
    Put(RegistryHive::kLocalMachine, "Left", platform::kRegSz, {'9', 0, 0, 0});
    Put(RegistryHive::kLocalMachine, "Top", platform::kRegDword, {0x0A, 0, 0, 0});
    Put(RegistryHive::kLocalMachine, "Min interval", platform::kRegBinary, {1, 2, 3});
    Put(RegistryHive::kLocalMachine, "Parser config", platform::kRegDword, {0x05, 0, 0, 0});
    Put(RegistryHive::kLocalMachine, "Open files dir", platform::kRegBinary,
        {0, 0, 0, 0, 0, 0, 0xF8, 0x3F});  // 1.5
    Put(RegistryHive::kLocalMachine, "Save files dir", platform::kRegMultiSz, {0, 0});
    TProxyCodeObject object;
    object.SaveDialog_FileName = "kept";
    ASSERT_TRUE(Run(TWregOperation::kLoad, object));
    EXPECT_EQ(object.Left, 326);
    EXPECT_EQ(object.Top, 10);
    EXPECT_EQ(object.Height, 435);
    EXPECT_EQ(object.spMinInt_Value, 0);
    EXPECT_EQ(object.lblParams_Caption, "5");
    EXPECT_EQ(object.OpenDialog_FileName, "1.5");
    EXPECT_EQ(object.SaveDialog_FileName, "kept");
    EXPECT_FALSE(Value(RegistryHive::kLocalMachine, "Left"));
    EXPECT_FALSE(Value(RegistryHive::kLocalMachine, "Min interval"));
    EXPECT_FALSE(Value(RegistryHive::kLocalMachine, "Save files dir"));
    EXPECT_TRUE(Value(RegistryHive::kLocalMachine, "Top"));
    EXPECT_TRUE(Value(RegistryHive::kLocalMachine, "Parser config"));
}

TEST_F(RegistrySettings, NothingStoredLoadsNothing) {
    TProxyCodeObject object;
    EXPECT_FALSE(Run(TWregOperation::kLoad, object));  // no key in either root
    EXPECT_EQ(object.Left, 326);
}

TEST_F(RegistrySettings, BooleansAreNamesAndSubPathsAreKeys) {
    TProxyCodeObject object;
    object.chkBlockIp_Checked = true;
    TWreg wreg;
    wreg.RegistryPath = "Software\\Test Co\\Logger";
    wreg.Components = {"chkBlockIp.Checked,Options\\\\Block", "Missing.Property,Gone"};
    wreg.Object = &object;
    ASSERT_TRUE(wreg.Execute(TWregOperation::kStore));
    auto key = platform::OpenRegistryKey(RegistryHive::kLocalMachine,
                                         "Software\\Test Co\\Logger\\Options", false);
    ASSERT_TRUE(key);
    auto value = key->Read("Block");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type, platform::kRegSz);
    EXPECT_EQ(value->data, (std::vector<std::uint8_t>{'T', 0, 'r', 0, 'u', 0, 'e', 0, 0, 0}));

    object.chkBlockIp_Checked = false;
    ASSERT_TRUE(key->Write("Block", platform::kRegSz,
                           std::vector<std::uint8_t>{'t', 0, 'R', 0, 'U', 0, 'e', 0}));
    ASSERT_TRUE(wreg.Execute(TWregOperation::kLoad));
    EXPECT_TRUE(object.chkBlockIp_Checked);
    ASSERT_TRUE(key->Write("Block", platform::kRegSz, std::vector<std::uint8_t>{'M', 0, 0, 0}));
    ASSERT_TRUE(wreg.Execute(TWregOperation::kLoad));
    EXPECT_TRUE(object.chkBlockIp_Checked);
    EXPECT_FALSE(key->Read("Block"));  // not a value name: deleted
}

TEST_F(RegistrySettings, CustomStoreAndNoRootDoNothing) {
    TProxyCodeObject object;
    TWreg wreg;
    wreg.Components = kMap;
    wreg.Object = &object;
    wreg.INIFile = "$CUSTOM$";
    EXPECT_FALSE(wreg.Execute(TWregOperation::kStore));
    wreg.INIFile.clear();
    wreg.RegistryPath = "\\";  // the root key itself is never used
    EXPECT_FALSE(wreg.Execute(TWregOperation::kStore));
    wreg.RegistryPath = "Software\\Test";
    wreg.RegistryRoot = TRegistryRoot::rrNone;
    wreg.SecondRegistryRoot = TRegistryRoot::rrNone;
    EXPECT_FALSE(wreg.Execute(TWregOperation::kStore));
    EXPECT_FALSE(platform::native::RegistryKeyExists(RegistryHive::kLocalMachine, "Software"));
}

// --- INI files ------------------------------------------------------------------------------

class IniSettings : public ::testing::Test {
   protected:
    void SetUp() override {
        platform::native::ResetRegistry();
        folder_ = std::filesystem::temp_directory_path() /
                  ("zol_ini_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                   "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
        file_ = (folder_ / "settings.ini").string();
    }
    void TearDown() override {
        platform::native::SetDecimalSeparator('.');
        std::filesystem::remove_all(folder_);
        platform::native::ResetRegistry();
    }
    std::unique_ptr<TWreg> Wreg(TProxyCodeObject& object, const char* prefix = "") {
        auto wreg = std::make_unique<TWreg>();
        wreg->INIFile = file_;
        wreg->INIFileSectionPrefix = prefix;
        wreg->Components = kMap;
        wreg->Object = &object;
        return wreg;
    }
    std::string FileText() const {
        std::ifstream in(file_, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    void WriteFile(const std::string& text) const {
        std::ofstream(file_, std::ios::binary) << text;
    }

    std::filesystem::path folder_;
    std::string file_;
};

TEST_F(IniSettings, StoreCreatesTheFileWithEverythingInCommon) {
    TProxyCodeObject object;
    object.lblParams_Caption = "<QUERY>\r\n <A/>\r\n</QUERY>";
    object.spMinInt_Value = 2.5;
    auto wreg = Wreg(object);
    ASSERT_TRUE(wreg->Execute(TWregOperation::kStore));
    EXPECT_EQ(FileText(),
              "[Common]\r\nLeft=326\r\nTop=144\r\nHeight=435\r\nWidth=481\r\n"
              "Parser config=<QUERY>%0D%0A <A/>%0D%0A</QUERY>\r\nOpen files dir=\r\n"
              "Save files dir=\r\nMin interval=2.5\r\n\r\n");
    EXPECT_FALSE(platform::native::RegistryKeyExists(RegistryHive::kLocalMachine, "Software"));

    TProxyCodeObject loaded;
    auto reader = Wreg(loaded);
    ASSERT_TRUE(reader->Execute(TWregOperation::kLoad));
    EXPECT_EQ(loaded.lblParams_Caption, object.lblParams_Caption);
    EXPECT_EQ(loaded.spMinInt_Value, 2.5);
}

TEST_F(IniSettings, MissingFileLoadsFromTheRegistry) {
    TProxyCodeObject object;
    object.Top = 7;
    TWreg registry;
    registry.Components = kMap;
    registry.Object = &object;
    ASSERT_TRUE(registry.Execute(TWregOperation::kStore));
    TProxyCodeObject loaded;
    auto wreg = Wreg(loaded);
    ASSERT_TRUE(wreg->Execute(TWregOperation::kLoad));
    EXPECT_EQ(loaded.Top, 7);
    EXPECT_FALSE(std::filesystem::exists(file_));
}

// Values are read where they stand in the file: a code-page value with foreign characters is
// still converted, a plain one is taken as it is, and a value padded with blanks comes trimmed.
TEST_F(IniSettings, ValuesLoadTrimmedAndInUtf8) {
    WriteFile(
        "[Common]\r\nOpen files dir = C:\\Z\xE4hler  \r\nSave files dir=\r\n"
        "Parser config=  <Q>%0D%0A+<A/>%0D%0A</Q>\t\r\n");
    TProxyCodeObject object;
    object.SaveDialog_FileName = "kept?";
    auto wreg = Wreg(object);
    ASSERT_TRUE(wreg->Execute(TWregOperation::kLoad));
    EXPECT_EQ(object.OpenDialog_FileName, "C:\\Z\xC3\xA4hler");
    EXPECT_EQ(object.SaveDialog_FileName, "");
    EXPECT_EQ(object.lblParams_Caption, "<Q>\r\n <A/>\r\n</Q>");
}

TEST_F(IniSettings, PrefixesNameTheSections) {
    TProxyCodeObject object;
    auto first = Wreg(object, "KMP1");
    ASSERT_TRUE(first->Execute(TWregOperation::kStore));
    auto second = Wreg(object, "{cfg:7}\\");
    ASSERT_TRUE(second->Execute(TWregOperation::kStore));
    const std::string text = FileText();
    EXPECT_EQ(text.find("[KMP1.Common]\r\nLeft=326\r\n"), 0u);
    EXPECT_NE(text.find("\r\n\r\n[{cfg:7}]\r\nLeft=326\r\n"), std::string::npos);
}

TEST_F(IniSettings, ExistingLinesAreReplacedInPlace) {
    WriteFile(
        "; written by hand\r\n[Other]\r\nx=1\r\n[common]\r\n; the window\r\nleft = 5\r\n"
        "Min interval=1,5\r\nTop=0x10\r\nHeight=abc\r\n[Empty]\r\n");
    TProxyCodeObject object;
    auto wreg = Wreg(object);
    ASSERT_TRUE(wreg->Execute(TWregOperation::kLoad));
    EXPECT_EQ(object.Left, 5);
    EXPECT_EQ(object.spMinInt_Value, 1.5);
    EXPECT_EQ(object.Top, 16);
    EXPECT_EQ(object.Height, 0);  // unreadable
    EXPECT_EQ(object.Width, 481);
    EXPECT_EQ(FileText().substr(0, 18), "; written by hand\r");  // a load never rewrites

    object.Left = 6;
    object.Height = 435;
    platform::native::SetDecimalSeparator(',');
    ASSERT_TRUE(wreg->Execute(TWregOperation::kStore));
    EXPECT_EQ(FileText(),
              "; written by hand\r\n\r\n[Other]\r\nx=1\r\n\r\n[common]\r\n; the window\r\n"
              "left=6\r\nMin interval=1,5\r\nTop=16\r\nHeight=435\r\nWidth=481\r\n"
              "Parser config=\r\nOpen files dir=\r\nSave files dir=\r\n\r\n");
}

TEST_F(IniSettings, TwoWritersAtOnceLoseNothing) {
    // Each writer rewrites the whole file many times; without the cross-process lock one
    // writer's rewrite would drop the other's section.
    constexpr int kRounds = 60;
    auto writer = [&](const char* prefix, std::int32_t base) {
        TProxyCodeObject object;
        auto wreg = Wreg(object, prefix);
        for (int i = 0; i < kRounds; ++i) {
            // A key per round: a lost rewrite shows as a missing key.
            wreg->Components = {"Left,Left", "Top,Round " + std::to_string(i)};
            object.Left = base + i;
            wreg->Execute(TWregOperation::kStore);
        }
    };
    std::thread a(writer, "A", 1000);
    std::thread b(writer, "B", 2000);
    a.join();
    b.join();
    TProxyCodeObject first;
    TProxyCodeObject second;
    auto read_a = Wreg(first, "A");
    auto read_b = Wreg(second, "B");
    ASSERT_TRUE(read_a->Execute(TWregOperation::kLoad));
    ASSERT_TRUE(read_b->Execute(TWregOperation::kLoad));
    EXPECT_EQ(first.Left, 1000 + kRounds - 1);
    const std::string text = FileText();
    auto section = [&](const char* header) {
        const auto from = text.find(header);
        return from == std::string::npos ? std::string()
                                         : text.substr(from, text.find("\r\n\r\n", from) - from);
    };
    const std::string section_a = section("[A.Common]");
    const std::string section_b = section("[B.Common]");
    for (int i = 0; i < kRounds; ++i) {
        const std::string key = "\r\nRound " + std::to_string(i) + "=144";
        EXPECT_NE(section_a.find(key), std::string::npos) << i;
        EXPECT_NE(section_b.find(key), std::string::npos) << i;
    }
    EXPECT_EQ(second.Left, 2000 + kRounds - 1);
}

// The file is replaced whole (a new file takes its place): a hard link taken before a store
// still holds the whole old text, and a store that runs out of room (the file size limit of the
// process) leaves the file byte for byte as it was. A rewrite in place fails both.
TEST_F(IniSettings, StoreReplacesTheFileAndNeverRewritesItInPlace) {
    std::string original = "; kept by the host\r\n[Host]\r\n";
    for (int i = 0; i < 40; ++i) original += "key" + std::to_string(i) + "=value\r\n";
    WriteFile(original);
    const std::filesystem::path link = folder_ / "taken-before.ini";
    std::filesystem::create_hard_link(file_, link);

    TProxyCodeObject object;
    object.Left = 7;
    auto wreg = Wreg(object);
    ASSERT_TRUE(wreg->Execute(TWregOperation::kStore));
    EXPECT_NE(FileText().find("Left=7\r\n"), std::string::npos);
    {
        std::ifstream in(link, std::ios::binary);
        EXPECT_EQ(
            std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()),
            original);
    }

    WriteFile(original);
    const std::uintmax_t size = std::filesystem::file_size(file_);
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = static_cast<rlim_t>(size / 2);  // room for half the old text, none for more
    // Past the limit a write fails with EFBIG instead of the process getting the signal.
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    object.Left = 8;
    std::vector<std::string> log;
    wreg->SetLog([&](int, std::string_view text) { log.emplace_back(text); });
    const bool stored = wreg->Execute(TWregOperation::kStore);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(stored);
    EXPECT_EQ(log.size(), 1u);
    EXPECT_EQ(FileText(), original);
    // Nothing is left behind beside it but the link.
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder_)) {
        ++entries;
    }
    EXPECT_EQ(entries, 2u);
}

TEST_F(IniSettings, UnusableStoresChangeNothingAndSaySo) {
    const std::string foreign = "[Host]\r\nkeep=1\r\n";
    std::unique_ptr<platform::NamedMutex> held;
    struct Case {
        const char* name;
        TWregOperation operation;
        std::function<void(TWreg&)> arrange;
        const char* logged;
    } cases[] = {
        {"a folder where the file should be", TWregOperation::kStore,
         [&](TWreg& wreg) {
             wreg.INIFile = (folder_ / "folder.ini").string();
             std::filesystem::create_directory(wreg.INIFile);
         },
         "Settings not stored: \""},
        {"a lock name longer than the system takes", TWregOperation::kStore,
         [&](TWreg& wreg) { wreg.INIFile = (folder_ / (std::string(300, 'n') + ".ini")).string(); },
         "Settings not stored: the system refuses the lock of"},
        {"the lock held by another writer", TWregOperation::kLoad,
         [&](TWreg& wreg) {
             held = platform::CreateNamedMutex(IniLockName(platform::FullFileName(file_)));
             ASSERT_TRUE(held && held->Lock(0));
             wreg.SetLockTimeout(1);
         },
         "Settings not loaded: \""},
        {"no registry root can be written", TWregOperation::kStore,
         [&](TWreg& wreg) {
             wreg.INIFile.clear();
             platform::native::SetRegistryHiveWritable(RegistryHive::kLocalMachine, false);
             platform::native::SetRegistryHiveWritable(RegistryHive::kCurrentUser, false);
         },
         "Settings not stored: the registry key"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(foreign);
        TProxyCodeObject object;
        auto wreg = Wreg(object);
        std::vector<std::pair<int, std::string>> log;
        wreg->SetLog(
            [&](int severity, std::string_view text) { log.emplace_back(severity, text); });
        c.arrange(*wreg);
        EXPECT_FALSE(wreg->Execute(c.operation));
        held.reset();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].first, 0);
        EXPECT_EQ(log[0].second.rfind(c.logged, 0), 0u) << log[0].second;
        EXPECT_EQ(FileText(), foreign);
        EXPECT_EQ(object.Left, 326);
    }
}

}  // namespace
}  // namespace zol::common
