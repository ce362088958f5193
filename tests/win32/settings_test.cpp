// Settings on the real system: registry value types and root fallback, INI files that the
// system's own profile functions read back, two processes storing into one INI file at once, and
// the plug-in storing and loading its settings through the host's commands.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "hostsim/host_lib.h"
#include "parser/parser_CfgOptionsProxy.h"
#include "zolShared/Public/Common/zolRegSettings.h"

namespace zol::common {
namespace {

using parser::TProxyCodeObject;

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

struct RawValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

std::optional<RawValue> QueryValue(HKEY root, const std::wstring& path, const wchar_t* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
    RawValue value;
    DWORD size = 0;
    LONG status = RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size);
    if (status == ERROR_SUCCESS) {
        value.data.resize(size);
        status = RegQueryValueExW(key, name, nullptr, &value.type, value.data.data(), &size);
    }
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return std::nullopt;
    return value;
}

class WindowsSettings : public ::testing::Test {
   protected:
    void SetUp() override {
        const auto pid = std::to_wstring(GetCurrentProcessId());
        key_path_ = L"Software\\zol tests\\settings " + pid;
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        folder_ = std::string(temp) + "zol settings " + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(folder_.c_str(), nullptr);
        Cleanup();
    }
    void TearDown() override {
        Cleanup();
        RemoveDirectoryA(folder_.c_str());
    }
    void Cleanup() {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, key_path_.c_str());
        RegDeleteTreeW(HKEY_CURRENT_USER, key_path_.c_str());
        for (const char* name : {"\\settings.ini", "\\shared.ini", "\\host.ini"}) {
            DeleteFileA((folder_ + name).c_str());
        }
        DeleteFileW(WideFile("unicode.ini").c_str());
    }
    std::string RegistryPath() const {
        return "\\" + std::string(key_path_.begin(), key_path_.end());
    }
    std::string File(const char* name) const { return folder_ + "\\" + name; }
    std::wstring WideFile(const char* name) const {
        const std::string file = File(name);
        return std::wstring(file.begin(), file.end());
    }
    // Files left in the folder other than `keep`: a rewrite must leave no temporary file behind.
    std::vector<std::string> StrayFiles(const char* keep) const {
        std::vector<std::string> names;
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((folder_ + "\\*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return names;
        do {
            const std::string name = found.cFileName;
            if (name != "." && name != ".." && name != keep) names.push_back(name);
        } while (FindNextFileA(search, &found));
        FindClose(search);
        return names;
    }
    // Another program's handle on the file, sharing only what `share` allows.
    static HANDLE Hold(const std::string& file, DWORD share) {
        return CreateFileA(file.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    static std::string FileText(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    static std::string Profile(const std::string& file, const char* section, const char* key) {
        char buffer[4096] = {};
        GetPrivateProfileStringA(section, key, "<none>", buffer, sizeof buffer, file.c_str());
        return buffer;
    }

    std::wstring key_path_;
    std::string folder_;
};

TEST_F(WindowsSettings, RegistryValuesHaveTheirTypes) {
    TProxyCodeObject object;
    object.Left = 12;
    object.spMinInt_Value = 2.5;
    object.lblParams_Caption = "<QUERY>\r\n</QUERY>";
    TWreg wreg;
    wreg.RegistryPath = RegistryPath();
    wreg.Components = kMap;
    wreg.Object = &object;
    ASSERT_TRUE(wreg.Execute(TWregOperation::kStore));
    ASSERT_TRUE(wreg.OpenedRoot());
    const HKEY root = *wreg.OpenedRoot() == TRegistryRoot::rrHKEY_LOCAL_MACHINE ? HKEY_LOCAL_MACHINE
                                                                                : HKEY_CURRENT_USER;
    struct Case {
        const wchar_t* name;
        DWORD type;
        std::vector<BYTE> data;
    } cases[] = {
        {L"Left", REG_DWORD, {12, 0, 0, 0}},
        {L"Width", REG_DWORD, {0xE1, 0x01, 0, 0}},
        {L"Min interval", REG_BINARY, {0, 0, 0, 0, 0, 0, 0x04, 0x40}},
        {L"Parser config", REG_SZ, {'<', 0, 'Q', 0, 'U', 0, 'E', 0, 'R', 0, 'Y', 0, '>', 0, '%', 0,
                                    '0', 0, 'D', 0, '%', 0, '0', 0, 'A', 0, '<', 0, '/', 0, 'Q', 0,
                                    'U', 0, 'E', 0, 'R', 0, 'Y', 0, '>', 0, 0,   0}},
        {L"Open files dir", REG_SZ, {0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name, c.name + wcslen(c.name)));
        auto value = QueryValue(root, key_path_, c.name);
        ASSERT_TRUE(value);
        EXPECT_EQ(value->type, c.type);
        EXPECT_EQ(value->data, c.data);
    }

    // A value of the wrong type is deleted by the next load; the property keeps its value.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(root, key_path_.c_str(), 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    const wchar_t text[] = L"9";
    RegSetValueExW(key, L"Left", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
    RegCloseKey(key);
    TProxyCodeObject loaded;
    ASSERT_TRUE(wreg.Execute(TWregOperation::kLoad));  // into `object`
    wreg.Object = &loaded;
    ASSERT_TRUE(wreg.Execute(TWregOperation::kLoad));
    EXPECT_EQ(loaded.Left, 326);
    EXPECT_EQ(loaded.spMinInt_Value, 2.5);
    EXPECT_EQ(loaded.lblParams_Caption, "<QUERY>\r\n</QUERY>");
    EXPECT_FALSE(QueryValue(root, key_path_, L"Left"));
}

TEST_F(WindowsSettings, SecondRootWhenTheFirstCannotBeUsed) {
    TProxyCodeObject object;
    object.Top = 3;
    TWreg wreg;
    wreg.RegistryRoot = TRegistryRoot::rrNone;
    wreg.RegistryPath = RegistryPath();
    wreg.Components = kMap;
    wreg.Object = &object;
    ASSERT_TRUE(wreg.Execute(TWregOperation::kStore));
    EXPECT_EQ(wreg.OpenedRoot(), TRegistryRoot::rrHKEY_CURRENT_USER);
    EXPECT_TRUE(QueryValue(HKEY_CURRENT_USER, key_path_, L"Top"));
    EXPECT_FALSE(QueryValue(HKEY_LOCAL_MACHINE, key_path_, L"Top"));

    // Loading opens the path without creating it: absent from the first root, found in the
    // second.
    wreg.RegistryRoot = TRegistryRoot::rrHKEY_LOCAL_MACHINE;
    TProxyCodeObject loaded;
    wreg.Object = &loaded;
    ASSERT_TRUE(wreg.Execute(TWregOperation::kLoad));
    EXPECT_EQ(wreg.OpenedRoot(), TRegistryRoot::rrHKEY_CURRENT_USER);
    EXPECT_EQ(loaded.Top, 3);
}

TEST_F(WindowsSettings, IniFileIsCreatedAndReadableByTheSystem) {
    const std::string file = File("settings.ini");
    TProxyCodeObject object;
    object.lblParams_Caption = "line 1\r\nline 2 = 100%";
    object.OpenDialog_FileName = "C:\\Daten\\M\xC3\xA4rz";
    TWreg wreg;
    wreg.INIFile = file;
    wreg.Components = kMap;
    wreg.Object = &object;
    TProxyCodeObject untouched;
    wreg.Object = &untouched;
    ASSERT_FALSE(wreg.Execute(TWregOperation::kLoad));  // no file: the registry, which is empty
    wreg.Object = &object;
    ASSERT_TRUE(wreg.Execute(TWregOperation::kStore));
    EXPECT_EQ(Profile(file, "Common", "Left"), "326");
    EXPECT_EQ(Profile(file, "Common", "Parser config"), "line 1%0D%0Aline 2 = 100%%");
    EXPECT_EQ(Profile(file, "Common", "Open files dir"), "C:\\Daten\\M%C3%A4rz");
    EXPECT_EQ(Profile(file, "Common", "Min interval"), "0");

    // A value changed by the system's own writer is loaded.
    WritePrivateProfileStringA("common", "Top", "0x20", file.c_str());
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, file.c_str());  // flush
    TProxyCodeObject loaded;
    wreg.Object = &loaded;
    ASSERT_TRUE(wreg.Execute(TWregOperation::kLoad));
    EXPECT_EQ(loaded.Top, 32);
    EXPECT_EQ(loaded.lblParams_Caption, object.lblParams_Caption);
    EXPECT_EQ(loaded.OpenDialog_FileName, object.OpenDialog_FileName);
}

TEST_F(WindowsSettings, TwoProcessesStoringIntoOneIniFileLoseNothing) {
    const std::string file = File("shared.ini");
    constexpr int kRounds = 100;
    const std::string event_name = "zol_settings_start_" + std::to_string(GetCurrentProcessId());
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, event_name.c_str());
    ASSERT_NE(go, nullptr);
    auto start = [&](const char* prefix, int first) {
        std::string command = "zol_settings_writer.exe \"" + file + "\" " + prefix + " " +
                              std::to_string(first) + " " + std::to_string(kRounds) + " " +
                              event_name;
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        EXPECT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &startup, &info))
            << GetLastError();
        CloseHandle(info.hThread);
        return info.hProcess;
    };
    HANDLE processes[2] = {start("first", 1000), start("second", 2000)};
    ASSERT_NE(processes[0], nullptr);
    ASSERT_NE(processes[1], nullptr);
    SetEvent(go);  // kept open until both are done: a writer may not have opened it yet
    ASSERT_EQ(WaitForMultipleObjects(2, processes, TRUE, 120000), WAIT_OBJECT_0);
    CloseHandle(go);
    for (HANDLE process : processes) {
        DWORD code = 1;
        GetExitCodeProcess(process, &code);
        EXPECT_EQ(code, 0u);
        CloseHandle(process);
    }
    int missing = 0;
    for (int i = 0; i < kRounds; ++i) {
        const std::string key = "Round " + std::to_string(i);
        missing += Profile(file, "first.Common", key.c_str()) == "144" ? 0 : 1;
        missing += Profile(file, "second.Common", key.c_str()) == "144" ? 0 : 1;
    }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(Profile(file, "first.Common", "Left"), std::to_string(1000 + kRounds - 1));
    EXPECT_EQ(Profile(file, "second.Common", "Left"), std::to_string(2000 + kRounds - 1));
    EXPECT_EQ(Profile(file, "second.Common", "Parser config"),
              "round " + std::to_string(kRounds - 1) + "%0D%0Aof second");
}

TEST_F(WindowsSettings, FilesThatCannotBeUsedAreLeftAsTheyWere) {
    const std::string file = File("settings.ini");
    struct Case {
        const char* name;
        DWORD share;  // of the other program's handle; 0 for no handle
        bool long_name;
        const char* logged;
    } cases[] = {
        {"held without read sharing", FILE_SHARE_WRITE, false, "cannot be read"},
        {"held without delete sharing", FILE_SHARE_READ, false, "cannot be written"},
        {"a lock name longer than the system takes", 0, true, "refuses the lock"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WritePrivateProfileStringA("Host", "keep", "1", file.c_str());
        WritePrivateProfileStringA(nullptr, nullptr, nullptr, file.c_str());
        const std::string before = FileText(file);
        TProxyCodeObject object;
        TWreg wreg;
        wreg.INIFile = c.long_name ? folder_ + "\\" + std::string(300, 'n') + ".ini" : file;
        wreg.Components = kMap;
        wreg.Object = &object;
        std::vector<std::string> log;
        wreg.SetLog([&](int severity, std::string_view text) {
            log.push_back(std::to_string(severity) + " " + std::string(text));
        });
        HANDLE other = c.share != 0 ? Hold(file, c.share) : INVALID_HANDLE_VALUE;
        ASSERT_TRUE(c.share == 0 || other != INVALID_HANDLE_VALUE);
        EXPECT_FALSE(wreg.Execute(TWregOperation::kStore));
        if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].rfind("0 Settings not stored: ", 0), 0u) << log[0];
        EXPECT_NE(log[0].find(c.logged), std::string::npos) << log[0];
        EXPECT_EQ(FileText(file), before);
        EXPECT_EQ(StrayFiles("settings.ini"), std::vector<std::string>{});
    }
}

TEST_F(WindowsSettings, Utf16FileIsReadAndWrittenAsTheSystemDoes) {
    const std::wstring file = WideFile("unicode.ini");
    std::ofstream(File("unicode.ini"), std::ios::binary) << "\xFF\xFE";
    // The system's writer keeps a file Unicode once it begins with the mark.
    WritePrivateProfileStringW(L"Host", L"Name", L"Z\u00E4hler", file.c_str());
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, file.c_str());
    TProxyCodeObject object;
    object.Left = 7;
    object.OpenDialog_FileName = "C:\\W\xC3\xA4rme";
    TWreg wreg;
    wreg.INIFile = File("unicode.ini");
    wreg.INIFileSectionPrefix = "W\xC3\xA4rme \xE2\x82\xAC";
    wreg.Components = kMap;
    wreg.Object = &object;
    ASSERT_TRUE(wreg.Execute(TWregOperation::kStore));
    EXPECT_EQ(FileText(File("unicode.ini")).substr(0, 2), "\xFF\xFE");
    auto profile = [&](const wchar_t* section, const wchar_t* key) {
        wchar_t buffer[512] = {};
        GetPrivateProfileStringW(section, key, L"<none>", buffer, 512, file.c_str());
        return std::wstring(buffer);
    };
    EXPECT_EQ(profile(L"Host", L"Name"), L"Z\u00E4hler");
    EXPECT_EQ(profile(L"W\u00E4rme \u20AC.Common", L"Left"), L"7");
    EXPECT_EQ(profile(L"W\u00E4rme \u20AC.Common", L"Open files dir"), L"C:\\W%C3%A4rme");

    WritePrivateProfileStringW(L"W\u00E4rme \u20AC.Common", L"Top", L"0x20", file.c_str());
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, file.c_str());
    TProxyCodeObject loaded;
    wreg.Object = &loaded;
    ASSERT_TRUE(wreg.Execute(TWregOperation::kLoad));
    EXPECT_EQ(loaded.Top, 32);
    EXPECT_EQ(loaded.Left, 7);
    EXPECT_EQ(loaded.OpenDialog_FileName, object.OpenDialog_FileName);
}

class PluginSettings : public WindowsSettings {
   protected:
    // A loaded instance whose settings live under this test's registry path.
    std::unique_ptr<hostsim::HostInstance> StartInstance(std::int32_t tag) {
        EXPECT_TRUE(library_.Load("kmpparser.dll")) << library_.Error();
        auto host =
            std::make_unique<hostsim::HostInstance>(library_, hostsim::ParamsMode::kInterface, tag);
        EXPECT_EQ(host->Create(), 0);
        EXPECT_EQ(host->Load({{"REGISTRY-PATH", Variant::Ansi(RegistryPath())}}).result, 0);
        return host;
    }

    hostsim::PluginLibrary library_;
};

TEST_F(PluginSettings, HostCommandsStoreAndLoadTheModulesSettings) {
    auto instance = StartInstance(3);
    ASSERT_FALSE(HasFailure());
    hostsim::HostInstance& host = *instance;
    EXPECT_EQ(host.Command("SAVE-SETTINGS-NOW").result, -2);
    auto left = QueryValue(HKEY_LOCAL_MACHINE, key_path_, L"Left");
    if (!left) left = QueryValue(HKEY_CURRENT_USER, key_path_, L"Left");
    ASSERT_TRUE(left);
    EXPECT_EQ(left->type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(left->data, (std::vector<BYTE>{0x46, 0x01, 0, 0}));  // 326

    // Load from a host file, and store it into an exported one.
    const std::string file = File("host.ini");
    WritePrivateProfileStringA("Common", "Width", "640", file.c_str());
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, file.c_str());
    EXPECT_EQ(host.Command("LOAD-SETTINGS-NOW",
                           {{"INI-FILE", Variant::Ansi(file)}, {"NO-SAVE", Variant::Int32(1)}})
                  .result,
              -2);
    const std::string exported = File("settings.ini");
    EXPECT_EQ(host.Command("SAVE-SETTINGS-NOW", {{"INI-FILE", Variant::Ansi(exported)}}).result,
              -2);
    EXPECT_EQ(Profile(exported, "Common", "Width"), "640");
    EXPECT_EQ(Profile(exported, "Common", "Height"), "435");
    EXPECT_EQ(host.Command("UNLOAD").result, 0);
    EXPECT_EQ(host.Free(), 0);
}

TEST_F(PluginSettings, SavingIntoAFileOthersHoldUnreadableKeepsTheirSections) {
    auto instance = StartInstance(4);
    ASSERT_FALSE(HasFailure());
    hostsim::HostInstance& host = *instance;
    host.CollectLog();
    const std::string file = File("host.ini");
    WritePrivateProfileStringA("Host window", "Left", "10", file.c_str());
    WritePrivateProfileStringA("Channels", "Count", "12", file.c_str());
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, file.c_str());

    // The host's own writer has the file open: it lets others write but not read.
    HANDLE writer = Hold(file, FILE_SHARE_WRITE);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    host.Command("SAVE-SETTINGS-NOW", {{"INI-FILE", Variant::Ansi(file)}});
    CloseHandle(writer);
    const std::string log = host.CollectLog();
    EXPECT_EQ(log.rfind("\x01", 0), 0u) << log;  // severity 0
    EXPECT_NE(log.find("Settings not stored: \"" + file + "\" exists but cannot be read"),
              std::string::npos)
        << log;
    EXPECT_EQ(Profile(file, "Host window", "Left"), "10");
    EXPECT_EQ(Profile(file, "Channels", "Count"), "12");
    EXPECT_EQ(Profile(file, "Common", "Left"), "<none>");

    // Once the file is free again, the next save adds the plug-in's section beside theirs.
    host.Command("SAVE-SETTINGS-NOW", {{"INI-FILE", Variant::Ansi(file)}});
    EXPECT_EQ(host.CollectLog(), "");
    EXPECT_EQ(Profile(file, "Channels", "Count"), "12");
    EXPECT_EQ(Profile(file, "Common", "Left"), "326");
    EXPECT_EQ(host.Command("UNLOAD").result, 0);
    EXPECT_EQ(host.Free(), 0);
}

}  // namespace
}  // namespace zol::common
