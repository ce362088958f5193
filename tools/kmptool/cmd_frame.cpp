// kmptool frame: the request frame the plug-in would send, stuffed and ready for the wire.
#include <cstdio>
#include <string>
#include <vector>

#include "kmp/kmp_frame.h"
#include "kmptool/cli.h"
#include "kmptool/commands.h"

namespace zol::kmptool {
namespace {

int RunFrame(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = arguments;
    bool missing = false;
    const auto addr_text = TakeOption(args, "--addr", missing);
    const auto cid_text = TakeOption(args, "--cid", missing);
    const auto regs_text = TakeOption(args, "--regs", missing);
    if (missing || !args.empty() || !addr_text || !cid_text) {
        return UsageError("frame", "usage: frame --addr A --cid C [--regs R,R,...]");
    }
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
            if (!id) return UsageError("frame", "unknown register '" + item + "'");
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

const CommandRegistrar reg{{"frame", "frame --addr A --cid C [--regs R,R,...]", &RunFrame}};

}  // namespace
}  // namespace zol::kmptool
