// kmptool: exposes the protocol core for people debugging a meter link.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/exit_codes.h"
#include "kmptool/commands.h"

namespace zol::kmptool {

namespace {
std::vector<Command>& Registry() {
    static std::vector<Command> commands;
    return commands;
}
}  // namespace

CommandRegistrar::CommandRegistrar(Command command) { Registry().push_back(command); }

const std::vector<Command>& RegisteredCommands() { return Registry(); }

}  // namespace zol::kmptool

namespace {

void PrintUsage(std::FILE* out) {
    std::fprintf(out, "usage: kmptool COMMAND [ARGS...]\n");
    auto commands = zol::kmptool::RegisteredCommands();
    std::sort(commands.begin(), commands.end(),
              [](const auto& a, const auto& b) { return std::strcmp(a.name, b.name) < 0; });
    for (const auto& c : commands) std::fprintf(out, "  %s\n", c.usage);
    std::fprintf(out,
                 "exit codes: 0 done (read: the meter answered); 1 could not start, or the port "
                 "failed;\n"
                 "            2 usage error; 3 the meter never answered; 130 interrupted "
                 "(Ctrl-C)\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        PrintUsage(argc < 2 ? stderr : stdout);
        return argc < 2 ? zol::tools::kExitUsage : zol::tools::kExitDone;
    }
    std::vector<std::string> args(argv + 2, argv + argc);
    for (const auto& c : zol::kmptool::RegisteredCommands()) {
        if (std::strcmp(c.name, argv[1]) == 0) {
            try {
                return c.run(args);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "kmptool %s: %s\n", argv[1], e.what());
                return zol::tools::kExitFailed;
            }
        }
    }
    std::fprintf(stderr, "kmptool: unknown command '%s'\n", argv[1]);
    PrintUsage(stderr);
    return zol::tools::kExitUsage;
}
