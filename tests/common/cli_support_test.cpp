// The nearest-name guess behind "unknown option --adr; did you mean --addr?": it must find the
// typing slips people make and stay quiet when a guess would mislead.
#include "common/cli_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using zol::tools::EditDistance;
using zol::tools::NearestName;

TEST(CliSupport, EditDistanceCountsSlipsAndIgnoresCase) {
    const struct {
        const char* a;
        const char* b;
        std::size_t distance;
    } cases[] = {
        {"--addr", "--addr", 0},  {"--adr", "--addr", 1}, {"--aDDr", "--addr", 0},
        {"--json", "--jsno", 1},  // two neighbours swapped: one slip, not two
        {"reed", "read", 1},      {"", "abc", 3},         {"abc", "", 3},
        {"kitten", "sitting", 3}, {"ca", "abc", 3},  // swapping and then inserting is no shortcut
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " / " + c.b);
        EXPECT_EQ(EditDistance(c.a, c.b), c.distance);
        EXPECT_EQ(EditDistance(c.b, c.a), c.distance);
    }
}

// hostsim's command line compares case exactly and the configuration check counts a swap as two
// edits: the same measure must honour both rules, alone and together.
TEST(CliSupport, EditDistanceRulesForCaseAndSwaps) {
    using zol::tools::EditRules;
    const struct {
        const char* a;
        const char* b;
        EditRules rules;
        std::size_t distance;
    } cases[] = {
        {"--Addr", "--addr", {.ignore_ascii_case = false, .swap_is_one_edit = true}, 1},
        {"--jsno", "--json", {.ignore_ascii_case = true, .swap_is_one_edit = false}, 2},
        {"Devise", "device", {.ignore_ascii_case = true, .swap_is_one_edit = false}, 1},
        {"ab", "BA", {.ignore_ascii_case = true, .swap_is_one_edit = true}, 1},
        {"ab", "BA", {.ignore_ascii_case = false, .swap_is_one_edit = true}, 2},
        {"ab", "BA", {.ignore_ascii_case = true, .swap_is_one_edit = false}, 2},
        {"ab", "ba", {.ignore_ascii_case = false, .swap_is_one_edit = false}, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " / " + c.b);
        EXPECT_EQ(EditDistance(c.a, c.b, c.rules), c.distance);
        EXPECT_EQ(EditDistance(c.b, c.a, c.rules), c.distance);
    }
}

TEST(CliSupport, NearestNameGuessesOnlyWhenOneNameIsClose) {
    const std::vector<std::string> options = {"--port",    "--sim",  "--sim-fault",
                                              "--addr",    "--regs", "--catalogue",
                                              "--timeout", "--json", "-n"};
    const struct {
        const char* typed;
        const char* meant;  // "" for no guess
    } cases[] = {
        {"--adr", "--addr"},
        {"--ADDR", "--addr"},
        {"--sim-fualt", "--sim-fault"},
        {"--catalog", "--catalogue"},  // an abbreviation of one name
        {"--cat", "--catalogue"},
        {"--timout", "--timeout"},
        {"--regs", "--regs"},
        {"--si", "--sim"},
        {"--s", ""},
        {"-x", ""},  // short names are too alike for a guess
        {"--verbose", ""},
        {"--", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        const auto guess = NearestName(c.typed, options);
        EXPECT_EQ(guess.value_or(""), c.meant);
    }
    // Two names equally close: no guess rather than a coin toss.
    const std::vector<std::string> twins = {"--axb", "--ayb"};
    EXPECT_FALSE(NearestName("--ab", twins));
    EXPECT_FALSE(NearestName("read", std::vector<std::string>{}));
}

}  // namespace
