#pragma once
// How many edits turn one name into another: the measure behind the field tools' "did you mean"
// guesses (command-line options and commands, element names of an options text). Each caller
// keeps its own rule of how near is near enough; the measure is the same.

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <vector>

namespace zol::tools {

struct EditRules {
    // "Device" and "device" are the same name.
    bool ignore_ascii_case = true;
    // Two neighbouring characters swapped ("--addr" typed "--adrd") count as one edit, not two.
    bool swap_is_one_edit = true;
};

// Edits (insert, delete, replace, and with `rules.swap_is_one_edit` the swap of two neighbouring
// characters) that turn `a` into `b`.
inline std::size_t EditDistance(std::string_view a, std::string_view b, EditRules rules = {}) {
    const auto same = [&rules](char x, char y) {
        if (!rules.ignore_ascii_case) return x == y;
        const auto lower = [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        };
        return lower(x) == lower(y);
    };
    // Optimal string alignment: Levenshtein plus the swap of two neighbours, the commonest slip
    // on a keyboard. Three rows of the table suffice.
    std::vector<std::size_t> before(b.size() + 1), previous(b.size() + 1), current(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) previous[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        current[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t cost = same(a[i - 1], b[j - 1]) ? 0 : 1;
            current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost});
            if (rules.swap_is_one_edit && i > 1 && j > 1 && same(a[i - 1], b[j - 2]) &&
                same(a[i - 2], b[j - 1])) {
                current[j] = std::min(current[j], before[j - 2] + 1);
            }
        }
        std::swap(before, previous);
        std::swap(previous, current);
    }
    return previous[b.size()];
}

}  // namespace zol::tools
