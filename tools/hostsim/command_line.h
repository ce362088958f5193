#pragma once
// hostsim's command line on CLI11: how a mistake on it is told (the option named, the nearest
// known one suggested, exit code 2) and how help is printed (stdout, exit 0).

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
class ParseError;
}  // namespace CLI

namespace zol::hostsim {

// The name of `known` nearest to a misspelt `name` ("--confg" -> "--config"), when one is near
// enough to be what was meant: at most two edits, and fewer than a third of the name.
std::optional<std::string> NearestName(std::string_view name,
                                       const std::vector<std::string>& known);

// Reports what CLI11 refused and returns the exit code: help is printed on stdout (0); an unknown
// option or action, a missing value or a bad count is one line on stderr (2). `app` is the whole
// command line; the line names the subcommand that refused.
int CommandLineExit(const CLI::App& app, const CLI::ParseError& error);

// An unknown option among the arguments of `cmd`: the first argument in a parameter's place that
// starts with a dash and is none of `known` (the value after --state-mask is not looked at).
// Prints it as CommandLineExit does and gives 2; nothing when there is none.
std::optional<int> UnknownScriptOption(const std::vector<std::string>& args);

}  // namespace zol::hostsim
