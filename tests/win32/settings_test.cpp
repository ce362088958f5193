// Settings on the real system: registry value types and root fallback, INI files that the
// system's own profile functions read back, two processes storing into one INI file at once, and
// the plug-in storing and loading its settings through the host's commands.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <iterator>
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
    }
    std::string RegistryPath() const {
        return "\\" + std::string(key_path_.begin(), key_path_.end());
    }
    std::string File(const char* name) const { return folder_ + "\\" + name; }
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

class PluginSettings : public WindowsSettings {};

TEST_F(PluginSettings, HostCommandsStoreAndLoadTheModulesSettings) {
    hostsim::PluginLibrary library;
    ASSERT_TRUE(library.Load("kmpparser.dll")) << library.Error();
    hostsim::HostInstance host(library, hostsim::ParamsMode::kInterface, 3);
    ASSERT_EQ(host.Create(), 0);
    ASSERT_EQ(host.Load({{"REGISTRY-PATH", Variant::Ansi(RegistryPath())}}).result, 0);
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

}  // namespace
}  // namespace zol::common
