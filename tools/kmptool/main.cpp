// kmptool: exposes the protocol core for people debugging a meter link.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "common/cli_support.h"
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

constexpr const char* kExitCodes =
    "Exit codes: 0 done (read: the meter answered); 1 could not start, or the port failed;\n"
    "            2 usage error; 3 the meter never answered (requests --check: findings);\n"
    "            130 interrupted (Ctrl-C)";

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("kmptool: the KMP protocol core on the command line", "kmptool");
    app.require_subcommand(1);
    auto commands = zol::kmptool::RegisteredCommands();
    std::sort(commands.begin(), commands.end(),
              [](const auto& a, const auto& b) { return std::strcmp(a.name, b.name) < 0; });
    std::map<const CLI::App*, zol::kmptool::CommandRunner> runners;
    for (const auto& command : commands) {
        CLI::App* sub = app.add_subcommand(command.name, command.summary);
        runners[sub] = command.define(*sub);
    }
    app.footer(kExitCodes);  // after the subcommands, which would inherit it
    if (const auto ended = zol::tools::ParseCommandLine(app, argc, argv)) return *ended;
    const CLI::App* chosen = app.get_subcommands().front();
    try {
        return runners.at(chosen)();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kmptool %s: %s\n", chosen->get_name().c_str(), e.what());
        return zol::tools::kExitFailed;
    }
}
