// kmptool scan: runs the receive-side frame scan over captured bytes, accepting every verified
// frame, to see what a client would make of them.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "kmp/kmp_frame.h"
#include "kmptool/cli.h"
#include "kmptool/commands.h"

namespace zol::kmptool {
namespace {

int RunScan(const std::vector<std::string>& args) {
    const auto stream = ParseHex(args);
    if (!stream) return UsageError("scan", "HEX must be pairs of hex digits");

    // Room for the whole capture, so nothing is dropped before the scan sees it.
    common::TFIFOStream fifo(std::max(common::TFIFOStream::kClientCapacity, stream->size()),
                             common::TFIFOStream::kClientStep, true);
    fifo.Write(*stream);

    const kmp::FrameAcceptor accept_all = [](std::span<const std::uint8_t>) { return true; };
    const kmp::ScanLogger log = [](int, std::string_view text) {
        std::printf("CRCERR %.*s\n", static_cast<int>(text.size()), text.data());
    };
    std::vector<std::uint8_t> body;
    for (int n; (n = kmp::FindFrame(fifo, accept_all, log, body)) > 0;) {
        std::printf("FRAME %s\n", HexBytes(body).c_str());
        fifo.Discard(static_cast<std::size_t>(n));
    }

    const auto rest = fifo.LockData();
    const std::string rest_hex = HexBytes(rest);
    fifo.Unlock();
    std::printf(rest_hex.empty() ? "REST\n" : "REST %s\n", rest_hex.c_str());
    return 0;
}

CommandRunner DefineScan(CLI::App& command) {
    auto given = std::make_shared<std::vector<std::string>>();
    command.add_option("HEX", *given, "received bytes in hex, as captured from the line")
        ->type_name("");
    return [given] { return RunScan(*given); };
}

const CommandRegistrar reg{{"scan", "the frames a client finds in captured bytes", &DefineScan}};

}  // namespace
}  // namespace zol::kmptool
