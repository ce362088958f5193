#include "scheduler/string_helpers.h"

#include <limits>

namespace zol::scheduler {

std::vector<std::string_view> SplitAtBlanks(std::string_view text) {
    std::vector<std::string_view> parts;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        std::size_t begin = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
        if (i > begin) parts.push_back(text.substr(begin, i - begin));
    }
    return parts;
}

std::optional<std::int32_t> ParseDecimal(std::string_view text) noexcept {
    if (text.empty()) return std::nullopt;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace zol::scheduler
