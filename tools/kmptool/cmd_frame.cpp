// kmptool frame: the request frame the plug-in would send, stuffed and ready for the wire.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kmp/kmp_frame.h"
#include "kmptool/cli.h"
#include "kmptool/commands.h"

namespace zol::kmptool {
namespace {

struct FrameArguments {
    std::string addr, cid;
    std::optional<std::string> regs;
};

int RunFrame(const FrameArguments& arguments) {
    const std::optional<std::string> addr_text = arguments.addr;
    const std::optional<std::string> cid_text = arguments.cid;
    const auto& regs_text = arguments.regs;
    const auto address = ParseNumber(*addr_text, 0xFF);
    const auto cid = ParseNumber(*cid_text, 0xFF);
    if (!address) return UsageError("frame", "--addr must be a number from 0 to 255");
    if (!cid) return UsageError("frame", "--cid must be a number from 0 to 255");

    std::vector<std::uint8_t> body;
    if (*cid == kmp::CidGetRegister) {
        std::vector<std::uint16_t> ids;
        const auto heat = kmp::Catalogue(kmp::KmpCatalogue::kHeat);
        for (const auto& item : SplitList(regs_text.value_or(""))) {
            const auto id = ParseRegister(item, heat);
            if (!id) {
                return UsageError("frame", UnknownRegisterText(item, kmp::KmpCatalogue::kHeat));
            }
            ids.push_back(*id);
        }
        if (ids.size() > kmp::kMaxRequestRegisters) {
            std::fprintf(stderr, "kmptool frame: only the first %zu registers are requested\n",
                         kmp::kMaxRequestRegisters);
        }
        body = kmp::BuildRegisterRequest(static_cast<std::uint8_t>(*address), ids);
    } else {
        if (regs_text) return UsageError("frame", "--regs needs --cid 0x10");
        body = kmp::BuildIdentificationRequest(static_cast<std::uint8_t>(*address),
                                               static_cast<std::uint8_t>(*cid));
    }
    std::printf("%s\n", HexBytes(kmp::KmpStuff(body)).c_str());
    return 0;
}

CommandRunner DefineFrame(CLI::App& command) {
    auto given = std::make_shared<FrameArguments>();
    command.add_option("--addr", given->addr, "meter address, 0 to 255 (0x3F or 63)")
        ->type_name("A")
        ->required();
    command.add_option("--cid", given->cid, "command id: 1 type, 2 serial number, 0x10 registers")
        ->type_name("C")
        ->required();
    command
        .add_option("--regs", given->regs,
                    "with --cid 0x10: heat catalogue codes (E1) or ids (0x3C, 60)")
        ->type_name("R,...");
    return [given] { return RunFrame(*given); };
}

const CommandRegistrar reg{
    {"frame", "the request frame the plug-in would send, stuffed", &DefineFrame}};

}  // namespace
}  // namespace zol::kmptool
