#pragma once
// Subcommand registry of kmptool. Each cmd_<name>.cpp registers itself with a static
// CommandRegistrar; main() declares every registered subcommand on the command line and runs the
// one given.

#include <functional>
#include <vector>

namespace CLI {
class App;
}

namespace zol::kmptool {

// Runs a subcommand once the command line is read; returns the process exit code.
using CommandRunner = std::function<int()>;
// Declares a subcommand's options and positionals on `command` and returns its runner, which
// reads the values the parse stored.
using CommandDefinition = CommandRunner (*)(CLI::App& command);

struct Command {
    const char* name;
    const char* summary;  // one line, shown in the list of `kmptool --help`
    CommandDefinition define;
};

struct CommandRegistrar {
    explicit CommandRegistrar(Command command);
};

const std::vector<Command>& RegisteredCommands();

}  // namespace zol::kmptool
