// kmptool registers: the plug-in's register catalogue, so a technician can find the code or id
// to give to `read --regs` and to the options text. One row per line, in catalogue order:
//   ID      CODE                 DECODER  NAME
//   0x003C  E1                   -        Energy register 1: Heat energy
// The id is written as `read --regs` takes it; a row without code shows "-"; the decoder says
// how the raw number is read ("date" yymmdd, "time" hhmmss, "-" the plain number); the name is
// last as it holds spaces.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/exit_codes.h"
#include "kmp/kmp_registers.h"
#include "kmptool/cli.h"
#include "kmptool/commands.h"

namespace zol::kmptool {
namespace {

const char* DecoderName(kmp::RegisterDecoder decoder) {
    if (decoder == nullptr) return "-";
    if (decoder == &kmp::DecodeKmpDate) return "date";
    if (decoder == &kmp::DecodeKmpTime) return "time";
    return "other";
}

int RunRegisters(const std::optional<std::string>& catalogue_text) {
    const auto which = ParseCatalogue(catalogue_text.value_or("heat"));
    if (!which) return UsageError("registers", "--catalogue must be heat or electricity");
    std::printf("%-7s %-20s %-8s %s\n", "ID", "CODE", "DECODER", "NAME");
    const auto catalogue = kmp::Catalogue(*which);
    for (std::size_t i = 0; i < catalogue.size() && i < kmp::kKmpCatalogueMaxRows; ++i) {
        const auto& row = catalogue[i];
        if (row.Id == kmp::kKmpCatalogueEnd) break;
        // The code `read --regs` takes, one per register; the published name of the value is
        // the row's own Code, which differs for heat's power (VALUE) and electricity's rows.
        const std::string_view lookup = kmp::RegisterCode(row.Id);
        const std::string code = lookup.empty() ? "-" : std::string(lookup);
        std::printf("0x%04X  %-20s %-8s %.*s\n", static_cast<unsigned>(row.Id), code.c_str(),
                    DecoderName(row.Decoder), static_cast<int>(row.Name.size()), row.Name.data());
    }
    return tools::kExitDone;
}

CommandRunner DefineRegisters(CLI::App& command) {
    auto catalogue = std::make_shared<std::optional<std::string>>();
    command.add_option("--catalogue", *catalogue, kCatalogueHelp)->type_name("heat|electricity");
    return [catalogue] { return RunRegisters(*catalogue); };
}

const CommandRegistrar reg{{"registers",
                            "list the register catalogue: id, code, decoder and name of every row",
                            &DefineRegisters}};

}  // namespace
}  // namespace zol::kmptool
