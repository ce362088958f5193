// kmptool settings: the encoding of stored setting strings, for reading or preparing a value of
// the registry or an INI file by hand. The result is printed as is, followed by a line end.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
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

struct SettingsArguments {
    bool encode = false;  // else decode
    std::string text;
};

int RunSettings(const SettingsArguments& arguments) {
    const std::string text = FromConsole(arguments.text);
    const std::string result =
        arguments.encode ? common::EncodeSettingString(text) : common::DecodeSettingString(text);
    const std::string out = ToConsole(result) + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

CommandRunner DefineSettings(CLI::App& command) {
    command.require_subcommand(1);
    auto given = std::make_shared<SettingsArguments>();
    CLI::App* encode = command.add_subcommand("encode", "the stored form of a text");
    CLI::App* decode = command.add_subcommand("decode", "the text of a stored value");
    for (CLI::App* sub : {encode, decode}) {
        sub->add_option("TEXT", given->text,
                        "the text, quoted; after -- when it begins with a dash")
            ->type_name("")
            ->required();
    }
    encode->callback([given] { given->encode = true; });
    return [given] { return RunSettings(*given); };
}

const CommandRegistrar reg{
    {"settings", "encode or decode a stored setting string", &DefineSettings}};

}  // namespace
}  // namespace zol::kmptool
