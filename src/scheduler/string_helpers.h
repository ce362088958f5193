#pragma once
// Small text helpers of the scheduler: splitting at blanks and strict decimal conversion.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace zol::scheduler {

// Splits at runs of blanks (spaces and tabs); leading and trailing blanks give no empty parts.
std::vector<std::string_view> SplitAtBlanks(std::string_view text);

// A non-empty run of decimal digits that fits a signed 32-bit integer; nothing otherwise.
std::optional<std::int32_t> ParseDecimal(std::string_view text) noexcept;

}  // namespace zol::scheduler
