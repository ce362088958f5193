// Language files under the real Windows code-page converters, and the plug-in's translation
// through its exports: its own language file switches translation on, and "TESTTRANSL" follows
// the host program's command line.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "hostsim/host_lib.h"
#include "platform/system.h"
#include "translation/language_file.h"
#include "translation/translator.h"

namespace zol::translation {
namespace {

std::vector<std::uint8_t> Bytes(std::string_view text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::vector<std::uint8_t> Utf16LeWithMark(std::u16string_view text) {
    std::vector<std::uint8_t> out = {0xFF, 0xFE};
    for (char16_t c : text) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return out;
}

struct CodePageFile {
    const char* name;
    const char* target;
    std::vector<std::uint8_t> bytes;
    const char* translation;  // UTF-8
};

// The 8-bit files' bytes were encoded independently of this code; the expected translations are
// the texts they were made from.
TEST(Win32LanguageFiles, EveryEncodingThroughTheSystemConverters) {
    const CodePageFile files[] = {
        {"utf-8", "DE",
         Bytes("//Encoding=utf-8\n\nEN:>Request timeout (ms)\nDE:>Zeit\xc3\xbc"
               "berschreitung der Anfrage (ms)\n"),
         "Zeitüberschreitung der Anfrage (ms)"},
        {"utf-16", "RU",
         Utf16LeWithMark(u"EN:>Request timeout (ms)\r\nRU:>Тайм-аут запроса (мс)\r\n"),
         "Тайм-аут запроса (мс)"},
        {"windows-1251", "RU",
         Bytes("//Charset=windows-1251\n\nEN:>Request timeout (ms)\nRU:>\xd2\xe0\xe9\xec-\xe0"
               "\xf3\xf2 \xe7\xe0\xef\xf0\xee\xf1\xe0 (\xec\xf1)\n"),
         "Тайм-аут запроса (мс)"},
        {"windows-1250", "PL",
         Bytes("//Charset=windows-1250\n\nEN:>Request timeout (ms)\nPL:>Przekroczenie czasu "
               "\xbf\xb9"
               "dania (ms)\n"),
         "Przekroczenie czasu żądania (ms)"},
        {"windows-1253", "EL",
         Bytes("//Charset=windows-1253\n\nEN:>Request timeout (ms)\nEL:>\xcb\xde\xee\xe7 "
               "\xf7\xf1\xfc\xed\xef\xf5 \xe1\xe9\xf4\xde\xec\xe1\xf4\xef\xf2 (ms)\n"),
         "Λήξη χρόνου αιτήματος (ms)"},
        {"shift-jis", "JA",
         Bytes("//Charset=shift-jis\n\nEN:>Request timeout (ms)\nJA:>\x97v\x8b\x81\x83^\x83"
               "C\x83\x80\x83\x41\x83\x45\x83g (ms)\n"),
         "要求タイムアウト (ms)"},
    };
    for (const auto& file : files) {
        SCOPED_TRACE(file.name);
        const auto content = ReadLanguageFile(file.bytes, "EN", file.target);
        ASSERT_EQ(content.entries.size(), 1u);
        EXPECT_EQ(content.entries[0].source, "Request timeout (ms)");
        EXPECT_EQ(content.entries[0].translation, file.translation);
    }
}

TEST(Win32LanguageFiles, CaseInsensitiveFallbackInEveryEncoding) {
    struct Row {
        const char* name;
        std::vector<std::uint8_t> bytes;
        const char* value;        // the property's value, differing from the source in case
        const char* translation;  // UTF-8
    };
    const Row rows[] = {
        {"utf-16", Utf16LeWithMark(u"EN:>Привет Мир\r\nXX:>Здравствуй\r\n"), "ПРИВЕТ мир",
         "Здравствуй"},
        {"windows-1251", Bytes("//Charset=windows-1251\n\nEN:>\xcf\xc0\xd0\xce\xcb\xdc\nXX:>ok\n"),
         "пароль", "ok"},
        {"windows-1250", Bytes("//Charset=windows-1250\n\nEN:>\xa3\xd3\x44\x8f\nXX:>ok\n"), "łódź",
         "ok"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TWtranslLanguagesList dictionary;
        for (const auto& entry : ReadLanguageFile(row.bytes, "EN", "XX").entries) {
            dictionary.Add(entry.source, entry.translation);
        }
        EXPECT_EQ(dictionary.Translate(row.value).value_or("<none>"), row.translation);
    }
}

// --- The plug-in through its exports ---------------------------------------------------------

// A copy of the plug-in under another name in a folder of its own, so that its own language
// file does not reach the other tests, which load kmpparser.dll beside them.
class Win32PluginTranslation : public ::testing::Test {
   protected:
    void SetUp() override {
        folder_ = "transl_" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(folder_.c_str(), nullptr);
        dll_ = folder_ + "\\kmptransl.dll";
        ASSERT_TRUE(CopyFileA("kmpparser.dll", dll_.c_str(), FALSE));
    }
    void TearDown() override {
        DeleteFileA(dll_.c_str());
        DeleteFileA((folder_ + "\\kmptransl.lng").c_str());
        RemoveDirectoryA(folder_.c_str());
    }
    void WriteOwnLanguageFile(const std::string& bytes) {
        HANDLE file = CreateFileA((folder_ + "\\kmptransl.lng").c_str(), GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(file);
    }
    // Logs the no-data message through ProcessData and returns the log.
    std::string NoDataLine(hostsim::HostInstance& host, const hostsim::PluginLibrary& library) {
        hostsim::CallRecord call(hostsim::ParamsMode::kListObject);
        call.Rec().Instance = host.Handle();
        call.Rec().Flags = 0x04;
        call.Rec().StateMask = 0x03;
        call.AttachParams();
        EXPECT_EQ(library.Exports().ProcessData(&call.Rec()), 0);
        return host.CollectLog();
    }

    std::string folder_;
    std::string dll_;
};

TEST_F(Win32PluginTranslation, OwnLanguageFileTranslatesTheInstanceAtCreation) {
    WriteOwnLanguageFile(
        "\xef\xbb\xbf[Languages]\r\nDefault=DE\r\n$DE=Deutsch\r\n\r\n"
        "EN:>No data for processing\r\nDE:>Keine Daten zur Verarbeitung\r\n");
    hostsim::PluginLibrary library;
    ASSERT_TRUE(library.Load(dll_)) << library.Error();
    hostsim::HostInstance host(library, hostsim::ParamsMode::kListObject);
    ASSERT_EQ(host.Create(), 0);
    ASSERT_EQ(host.Load({{"LANGUAGE", common::Variant::Ansi("EN")}}).result, 0);
    EXPECT_EQ(NoDataLine(host, library), "\x02Kamstrup. Keine Daten zur Verarbeitung\r\n");
    auto properties =
        host.Command("GET-MODULE-PARAMETER",
                     {{"PARAM", common::Variant::Ansi("TranslatorComponentProperties")}});
    EXPECT_NE(
        properties.Find("RESULT")
            .value_or(common::Variant())
            .AsAnsi()
            .find(
                "MsgNoData\r\nMsgWriteComplete\r\nMsgWriteCompleteError\r\nFilter\r\nColumns\r\n"),
        std::string::npos);
    EXPECT_EQ(host.Free(), 0);
}

// A damaged frame from a meter is logged in the language of the plug-in's own file, from the
// message table's checksum message, as the timeout is.
TEST_F(Win32PluginTranslation, ChecksumErrorLineComesFromTheTranslatedMessage) {
    WriteOwnLanguageFile(
        "\xef\xbb\xbf[Languages]\r\nDefault=DE\r\n$DE=Deutsch\r\n\r\n"
        "EN:>Invalid CRC (%.4x,%.4x)\r\nDE:>Ung\xc3\xbcltige Pr\xc3\xbc"
        "fsumme (%.4x,%.4x)\r\n");
    hostsim::PluginLibrary library;
    ASSERT_TRUE(library.Load(dll_)) << library.Error();
    hostsim::HostInstance host(library, hostsim::ParamsMode::kListObject);
    ASSERT_EQ(host.Create(), 0);
    ASSERT_EQ(host.Load().result, 0);
    ASSERT_EQ(host.SetState("1;COM1;COM1 port", 0x03, true).result, 0);
    host.CollectLog();
    // Meter 63 answers the type request; the right checksum of 3F 01 is 05 8A.
    const auto received = host.ProcessReceived(1, "COM1", {0x40, 0x3F, 0x01, 0x05, 0x8B, 0x0D});
    EXPECT_TRUE(received.packets.empty());
    const std::string log = host.CollectLog();
    EXPECT_NE(log.find("\x02Kamstrup. " +
                       platform::Utf16ToAnsi(u"Ung\u00fcltige Pr\u00fcfsumme (058B,058A) [63,01]") +
                       "\r\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("Invalid CRC"), std::string::npos) << log;
    EXPECT_EQ(host.Free(), 0);
}

TEST_F(Win32PluginTranslation, WithoutOwnLanguageFileNothingIsTranslated) {
    // The host's shared file alone does not switch translation on.
    const std::string shared = "plugins.lng";  // in the host program's folder
    HANDLE file = CreateFileA(shared.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const std::string text =
        "[Languages]\r\nDefault=DE\r\n$DE=Deutsch\r\n\r\n"
        "EN:>No data for processing\r\nDE:>Keine Daten zur Verarbeitung\r\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    struct Remove {
        const std::string& name;
        ~Remove() { DeleteFileA(name.c_str()); }
    } remove{shared};

    hostsim::PluginLibrary library;
    ASSERT_TRUE(library.Load(dll_)) << library.Error();
    hostsim::HostInstance host(library, hostsim::ParamsMode::kListObject);
    ASSERT_EQ(host.Create(), 0);
    ASSERT_EQ(host.Load({{"LANGUAGE", common::Variant::Ansi("DE")}}).result, 0);
    EXPECT_EQ(NoDataLine(host, library), "\x02Kamstrup. No data for processing\r\n");
    EXPECT_EQ(host.Free(), 0);
}

// Runs the host simulator with one extra argument and returns what it printed.
std::string RunHostWithArgument(const std::string& argument) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return "no pipe";
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process{};
    std::string command_line =
        "hostsim.exe --dll kmpparser.dll cmd GET-MODULE-PARAMETER PARAM=TESTTRANSL " + argument;
    const BOOL started = CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process);
    CloseHandle(write_end);
    std::string output;
    if (started) {
        char buffer[512];
        DWORD got = 0;
        while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            output.append(buffer, got);
        }
        WaitForSingleObject(process.hProcess, 60000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        output = "not started";
    }
    CloseHandle(read_end);
    return output;
}

TEST(Win32TestTranslation, FollowsTheHostCommandLineCaseSensitively) {
    EXPECT_NE(RunHostWithArgument("/TESTTRANSL").find("RESULT=True"), std::string::npos);
    EXPECT_NE(RunHostWithArgument("/testtransl").find("RESULT=False"), std::string::npos);
    EXPECT_NE(RunHostWithArgument("TESTTRANSL").find("RESULT=False"), std::string::npos);
}

}  // namespace
}  // namespace zol::translation
