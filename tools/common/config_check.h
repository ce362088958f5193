#pragma once
// The configuration check of the field tools: what in an options text the plug-in will read
// differently from what its writer meant (misspelt element names, units, register texts, address
// and time lists it drops, short cron strings, elements left open, methods ticked together, times
// written twice, requests under a near miss of their name). The plug-in's own readers
// decide every value, so the check agrees with what the plug-in does; only the line numbers come
// from a scan of its own (config_markup.h), because the plug-in's reader forgives what the check
// has to point at.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "kmp/kmp_registers.h"

namespace zol::tools {

struct ConfigFinding {
    // The request the finding is about (its caption, or "Request #n" as the plug-in names it),
    // or "document" for the text as a whole.
    std::string where;
    std::string what;      // starts with "line N: " when the finding has a place
    std::size_t line = 0;  // 0: no place in the text
};

// Every finding on `text`, in the order of the text. The catalogue is the one the plug-in names
// registers from (heat unless the electricity configuration is chosen).
std::vector<ConfigFinding> CheckOptionsText(std::string_view text,
                                            kmp::KmpCatalogue catalogue = kmp::KmpCatalogue::kHeat);

// "warning: <where>: <what>", without a line end.
std::string FindingLine(const ConfigFinding& finding);

}  // namespace zol::tools
