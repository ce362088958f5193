#pragma once
// Subcommand registry of kmptool. Each cmd_<name>.cpp registers itself with a static
// CommandRegistrar; main() looks the first argument up here.

#include <string>
#include <vector>

namespace zol::kmptool {

// Arguments after the subcommand name. Returns the process exit code.
using CommandFunction = int (*)(const std::vector<std::string>& args);

struct Command {
    const char* name;
    const char* usage;  // one line, shown by `kmptool --help`
    CommandFunction run;
};

struct CommandRegistrar {
    explicit CommandRegistrar(Command command);
};

const std::vector<Command>& RegisteredCommands();

}  // namespace zol::kmptool
