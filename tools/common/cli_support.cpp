#include "common/cli_support.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "common/exit_codes.h"

namespace zol::tools {

namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// How many edits a name of this length may be away from the typed text and still count as what
// was meant: short names are too alike for a guess.
std::size_t AllowedEdits(std::size_t length) {
    if (length <= 2) return 0;
    return length <= 5 ? 1 : 2;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    if (prefix.size() > text.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (LowerAscii(text[i]) != LowerAscii(prefix[i])) return false;
    }
    return true;
}

// An argument CLI11 left over reads as an option when it starts with a dash and is more than
// the dash alone ("-" names standard input).
bool LooksLikeOption(std::string_view argument) {
    return argument.size() > 1 && argument.front() == '-';
}

std::vector<std::string> OptionNames(const CLI::App& command) {
    std::vector<std::string> names;
    for (const CLI::Option* option : command.get_options()) {
        for (const auto& name : option->get_lnames()) names.push_back("--" + name);
        for (const auto& name : option->get_snames()) names.push_back("-" + name);
    }
    return names;
}

// Every subcommand declared, not only the ones the parse selected.
std::vector<const CLI::App*> Declared(const CLI::App& command) {
    return command.get_subcommands([](const CLI::App*) { return true; });
}
std::vector<CLI::App*> Declared(CLI::App& command) {
    return command.get_subcommands([](CLI::App*) { return true; });
}

std::vector<std::string> SubcommandNames(const CLI::App& command) {
    std::vector<std::string> names;
    for (const CLI::App* sub : Declared(command)) names.push_back(sub->get_name());
    return names;
}

// Help with one line per option and per subcommand: the name column is as wide as the widest
// name with its value placeholder, so no description is pushed to a line of its own.
void ApplyHelpLayout(CLI::App& command) {
    std::size_t widest = 20;
    for (const CLI::Option* option : command.get_options()) {
        std::string shown = option->get_name(false, true) + " " + option->get_type_name();
        if (option->get_required()) shown += " REQUIRED";
        widest = std::max(widest, shown.size());
    }
    for (const CLI::App* sub : Declared(std::as_const(command))) {
        widest = std::max(widest, sub->get_name().size());
    }
    auto formatter = std::make_shared<CLI::Formatter>();
    formatter->column_width(widest + 4);
    command.formatter(formatter);
    command.allow_extras();
    for (CLI::App* sub : Declared(command)) ApplyHelpLayout(*sub);
}

// The selected commands from `app` down to the deepest one.
std::vector<CLI::App*> SelectedChain(CLI::App& app) {
    std::vector<CLI::App*> chain{&app};
    while (!chain.back()->get_subcommands().empty()) {
        chain.push_back(chain.back()->get_subcommands().front());
    }
    return chain;
}

void SayUsageError(const CLI::App& command, const std::string& what) {
    const std::string path = CommandPath(command);
    std::fprintf(stderr, "%s: %s\n%s --help lists the options\n", path.c_str(), what.c_str(),
                 path.c_str());
}

// The first argument a command did not take, named as an unknown option, an unknown command or
// an unexpected argument; false when every command took all of its arguments.
bool ReportLeftOver(const std::vector<CLI::App*>& chain) {
    for (auto level = chain.rbegin(); level != chain.rend(); ++level) {
        const CLI::App& command = **level;
        const auto left = command.remaining();
        if (left.empty()) continue;
        const std::string& first = left.front();
        std::string what;
        std::optional<std::string> nearest;
        if (LooksLikeOption(first)) {
            const std::string typed = first.substr(0, first.find('='));
            what = "unknown option " + typed;
            nearest = NearestName(typed, OptionNames(command));
        } else if (command.get_subcommands().empty() && !Declared(command).empty()) {
            what = "unknown command '" + first + "'";
            nearest = NearestName(first, SubcommandNames(command));
        } else {
            what = "unexpected argument '" + first + "'";
        }
        if (nearest) what += "; did you mean " + *nearest + "?";
        SayUsageError(command, what);
        return true;
    }
    return false;
}

// CLI11's messages in the words of the other usage errors: an option given without its value
// ("NAME: 1 required TYPE missing"), no command at all.
std::string Reworded(const CLI::ParseError& error) {
    std::string text = error.what();
    if (text == "A subcommand is required") return "a command is required";
    const auto marker = text.find(": 1 required ");
    if (marker != std::string::npos && text.size() > 8 &&
        text.compare(text.size() - 8, 8, " missing") == 0) {
        const std::string type = text.substr(marker + 13, text.size() - 8 - (marker + 13));
        return text.substr(0, marker) + " needs a value (" + type + ")";
    }
    return text;
}

}  // namespace

std::optional<std::string> NearestName(std::string_view typed, std::span<const std::string> known) {
    std::optional<std::string> best;
    std::size_t best_distance = AllowedEdits(typed.size()) + 1;
    bool tie = false;
    for (const auto& name : known) {
        const std::size_t distance = EditDistance(typed, name);
        if (distance < best_distance) {
            best = name;
            best_distance = distance;
            tie = false;
        } else if (distance == best_distance && best && *best != name) {
            tie = true;
        }
    }
    if (best && !tie) return best;
    // An abbreviation ("--cat") stands for the one name it begins.
    std::optional<std::string> only;
    const std::string_view bare =
        typed.substr(std::min(typed.find_first_not_of('-'), typed.size()));
    if (bare.size() < 2) return std::nullopt;
    for (const auto& name : known) {
        if (name.size() <= typed.size() || !StartsWith(name, typed)) continue;
        if (only && *only != name) return std::nullopt;
        only = name;
    }
    return only;
}

CLI::App& SelectedCommand(CLI::App& app) { return *SelectedChain(app).back(); }

const CLI::App& SelectedCommand(const CLI::App& app) {
    const CLI::App* at = &app;
    while (!at->get_subcommands().empty()) at = at->get_subcommands().front();
    return *at;
}

std::string CommandPath(const CLI::App& command) {
    std::string path = command.get_name();
    for (const CLI::App* parent = command.get_parent(); parent != nullptr;
         parent = parent->get_parent()) {
        path = parent->get_name() + " " + path;
    }
    return path;
}

std::optional<int> ParseCommandLine(CLI::App& app, int argc, const char* const* argv) {
    ApplyHelpLayout(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        const std::string help = app.help();
        std::fwrite(help.data(), 1, help.size(), stdout);
        return kExitDone;
    } catch (const CLI::CallForAllHelp&) {
        const std::string help = app.help("", CLI::AppFormatMode::All);
        std::fwrite(help.data(), 1, help.size(), stdout);
        return kExitDone;
    } catch (const CLI::ParseError& error) {
        // A word CLI11 could not place is the likelier cause of a requirement it then found
        // missing ("kmptool reed" lacks a command because "reed" is none).
        const auto chain = SelectedChain(app);
        if (!ReportLeftOver(chain)) SayUsageError(*chain.back(), Reworded(error));
        return kExitUsage;
    }
    if (ReportLeftOver(SelectedChain(app))) return kExitUsage;
    return std::nullopt;
}

}  // namespace zol::tools
