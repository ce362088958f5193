#include "hostsim/command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>

#include "common/cli_support.h"
#include "common/edit_distance.h"
#include "common/exit_codes.h"

namespace zol::hostsim {

namespace {

// "--config", "-o", ... of one (sub)command, with those of its parents it lets through.
std::vector<std::string> OptionNames(const CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::App* at = &app; at != nullptr; at = at->get_parent()) {
        for (const CLI::Option* option : at->get_options()) {
            for (const auto& name : option->get_lnames()) names.push_back("--" + name);
            for (const auto& name : option->get_snames()) names.push_back("-" + name);
        }
        if (!at->get_fallthrough()) break;
    }
    return names;
}

int Refuse(const std::string& text) {
    std::fprintf(stderr, "hostsim: %s\n", text.c_str());
    return tools::kExitUsage;
}

std::string UnknownOptionText(const std::string& argument, const std::vector<std::string>& known,
                              const std::string& path) {
    const std::string name = argument.substr(0, argument.find('='));  // "--confg=x"
    std::string text = "unknown option " + name;
    if (const auto nearest = NearestName(name, known))
        return text + "; did you mean " + *nearest + "?";
    return text + " (" + path + " --help lists the options)";
}

}  // namespace

std::optional<std::string> NearestName(std::string_view name,
                                       const std::vector<std::string>& known) {
    if (name.empty() || name.size() > 40) return std::nullopt;
    std::optional<std::string> best;
    std::size_t best_distance = 0;
    for (const auto& candidate : known) {
        const std::size_t limit = std::min<std::size_t>(2, (candidate.size() + 2) / 3);
        // Case counts on a command line, and a swap is two edits here.
        const std::size_t distance = tools::EditDistance(
            name, candidate, {.ignore_ascii_case = false, .swap_is_one_edit = false});
        if (distance > 0 && distance <= limit && (!best || distance < best_distance)) {
            best = candidate;
            best_distance = distance;
        }
    }
    return best;
}

int CommandLineExit(const CLI::App& app, const CLI::ParseError& error) {
    if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
        // --help: the usage of the command asked (the whole app's help goes down to it), on
        // stdout.
        std::fputs(app.help().c_str(), stdout);
        return tools::kExitDone;
    }
    const CLI::App& at = tools::SelectedCommand(app);
    const std::string path = tools::CommandPath(at);
    if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
        // The first argument not taken tells: the ones after it may only be its value.
        const auto extras = app.remaining(/*recurse=*/true);
        if (!extras.empty() && extras.front().size() > 1 && extras.front()[0] == '-') {
            return Refuse(UnknownOptionText(extras.front(), OptionNames(at), path));
        }
        const std::string first = extras.empty() ? std::string() : extras.front();
        if (at.get_parent() == nullptr) {
            std::vector<std::string> actions;
            for (const CLI::App* sub : at.get_subcommands([](const CLI::App*) { return true; })) {
                actions.push_back(sub->get_name());
            }
            std::string text = "unknown action '" + first + "'";
            if (const auto nearest = NearestName(first, actions)) {
                return Refuse(text + "; did you mean " + *nearest + "?");
            }
            return Refuse(text + " (hostsim --help lists the actions)");
        }
        return Refuse("'" + first + "' is not an option of " + at.get_name());
    }
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
        // "--seconds: 1 required N missing", "--seconds: At Most 1 required but received 2"
        const std::string what = error.what();
        const std::string name = what.substr(0, what.find(':'));
        if (what.find("missing") != std::string::npos) return Refuse(name + " lacks its value");
        return Refuse(what);
    }
    return Refuse(std::string(error.what()) + " (" + path + " --help)");
}

std::optional<int> UnknownScriptOption(const std::vector<std::string>& args) {
    const std::vector<std::string> known = {"--no-result", "--state-mask", "--help"};
    bool command_next = true;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (command_next || arg == "--") {
            command_next = arg == "--";
            continue;
        }
        if (arg == "--state-mask") {
            ++i;
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "--no-result") {
            return Refuse(UnknownOptionText(arg, known, "hostsim cmd"));
        }
    }
    return std::nullopt;
}

}  // namespace zol::hostsim
