#pragma once
// Command-line conventions both field tools share on top of CLI11: help on stdout with exit code
// 0, and usage errors that name what was wrong (with the nearest known option or command when
// the text looks like a typing mistake) on stderr with exit code 2.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/edit_distance.h"

namespace CLI {
class App;
}

namespace zol::tools {

// The name in `known` that `typed` most likely was meant to be: one a few edits away by
// EditDistance's default rules (none for names of one or two characters, one up to five, two
// beyond), or the only known name that starts with `typed`. Leading dashes are compared like any
// other character. Nothing when no name is close or two are equally close.
std::optional<std::string> NearestName(std::string_view typed, std::span<const std::string> known);

// Reads `argv` into `app`, the tool with its subcommands and their options already declared.
// Every command gets a help layout with one line per option. Returns nothing when the command
// line was read and the selected command should run; otherwise the exit code to end with at
// once: kExitDone after --help (the selected command's usage on stdout), kExitUsage after an
// unknown option or command, an unexpected argument, a missing value or a missing required
// option (said on stderr as "TOOL [COMMAND...]: what", then where the options are listed).
std::optional<int> ParseCommandLine(CLI::App& app, int argc, const char* const* argv);

// The command the parse selected: the deepest subcommand given, or `app` itself.
CLI::App& SelectedCommand(CLI::App& app);
const CLI::App& SelectedCommand(const CLI::App& app);

// "TOOL COMMAND SUBCOMMAND" of a selected command, for messages.
std::string CommandPath(const CLI::App& command);

}  // namespace zol::tools
