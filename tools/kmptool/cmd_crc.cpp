// kmptool crc: checksums from the catalogue, for checking a captured frame by hand.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "kmptool/cli.h"
#include "kmptool/commands.h"
#include "zolShared/Public/Common/CrcUtils.h"

namespace zol::kmptool {
namespace {

using common::CrcModels;

std::span<const std::uint8_t> CheckBytes() {
    return {reinterpret_cast<const std::uint8_t*>(common::kCrcCheckInput.data()),
            common::kCrcCheckInput.size()};
}

int Digits(std::size_t model) { return CrcModels[model].Width * 2; }

// The check value a model is listed with: the stored one for CRCs, the computed one for sums.
std::uint32_t ListedCheck(std::size_t model) {
    return common::IsSimpleChecksum(model) ? common::CrcCompute(model, CheckBytes())
                                           : CrcModels[model].Check;
}

int List() {
    for (std::size_t i = 0; i < common::kCrcModelCount; ++i) {
        std::printf("%zu %.*s %d %0*lX\n", i, static_cast<int>(CrcModels[i].Name.size()),
                    CrcModels[i].Name.data(), CrcModels[i].Width * 8, Digits(i),
                    static_cast<unsigned long>(ListedCheck(i)));
    }
    return 0;
}

int Check() {
    int checked = 0;
    int mismatches = 0;
    for (std::size_t i = 0; i < common::kCrcModelCount; ++i) {
        if (common::IsSimpleChecksum(i)) continue;
        const std::uint32_t got = common::CrcCompute(i, CheckBytes());
        const bool ok = got == CrcModels[i].Check;
        ++checked;
        if (!ok) ++mismatches;
        std::printf("%zu %.*s %0*lX %s\n", i, static_cast<int>(CrcModels[i].Name.size()),
                    CrcModels[i].Name.data(), Digits(i), static_cast<unsigned long>(got),
                    ok ? "ok" : "MISMATCH");
    }
    std::printf("%d models checked, %d mismatches\n", checked, mismatches);
    return mismatches == 0 ? 0 : 1;
}

struct CrcArguments {
    std::vector<std::string> words;  // MODEL HEX...
    bool list = false;
    bool check = false;
};

int RunCrc(const CrcArguments& arguments) {
    const auto& args = arguments.words;
    if (arguments.list + arguments.check + !args.empty() != 1) {
        return UsageError("crc", "expected MODEL HEX..., --list or --check");
    }
    if (arguments.list) return List();
    if (arguments.check) return Check();

    auto model = common::FindCrcModel(args[0]);
    if (!model) {
        if (const auto index = ParseNumber(args[0], common::kCrcModelCount - 1)) model = *index;
    }
    if (!model) return UsageError("crc", "unknown model '" + args[0] + "' (see crc --list)");
    const auto data = ParseHex(std::span(args).subspan(1));
    if (!data) return UsageError("crc", "HEX must be pairs of hex digits");
    std::printf("%0*lX\n", Digits(*model),
                static_cast<unsigned long>(common::CrcCompute(*model, *data)));
    return 0;
}

CommandRunner DefineCrc(CLI::App& command) {
    auto given = std::make_shared<CrcArguments>();
    command
        .add_option("MODEL", given->words,
                    "model name or number (see --list), then the bytes in hex: MODEL HEX...")
        ->type_name("");
    command.add_flag("--list", given->list, "list the models: number, name, width, check value");
    command.add_flag("--check", given->check, "check every model against its check value");
    return [given] { return RunCrc(*given); };
}

const CommandRegistrar reg{{"crc", "checksums of the catalogue over hex bytes", &DefineCrc}};

}  // namespace
}  // namespace zol::kmptool
