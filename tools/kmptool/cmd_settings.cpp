// kmptool settings: the encoding of stored setting strings, for reading or preparing a value of
// the registry or an INI file by hand. The result is printed as is, followed by a line end.
#include <cstdio>
#include <string>
#include <vector>

#include "kmptool/cli.h"
#include "kmptool/commands.h"
#include "platform/system.h"
#include "platform/utf.h"
#include "zolShared/Public/Common/zolRegSettings.h"

namespace zol::kmptool {
namespace {

// Command lines and the console carry 8-bit text of the system code page on Windows and UTF-8
// elsewhere; the settings code works on UTF-8.
std::string FromConsole(const std::string& text) {
#ifdef _WIN32
    return platform::Utf16ToUtf8(platform::AnsiToUtf16(text));
#else
    return text;
#endif
}

std::string ToConsole(const std::string& utf8) {
#ifdef _WIN32
    return platform::Utf16ToAnsi(platform::Utf8ToUtf16(utf8));
#else
    return utf8;
#endif
}

int RunSettings(const std::vector<std::string>& args) {
    if (args.size() != 2 || (args[0] != "encode" && args[0] != "decode")) {
        return UsageError("settings", "expected encode TEXT or decode TEXT");
    }
    const std::string text = FromConsole(args[1]);
    const std::string result =
        args[0] == "encode" ? common::EncodeSettingString(text) : common::DecodeSettingString(text);
    const std::string out = ToConsole(result) + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

const CommandRegistrar reg{
    {"settings", "settings encode TEXT | settings decode TEXT", &RunSettings}};

}  // namespace
}  // namespace zol::kmptool
