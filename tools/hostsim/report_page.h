#pragma once
// The commissioning report: one self-contained HTML page (inline CSS and SVG, no script from
// elsewhere, no fonts) that shows a run at a glance: per port what was sent and received, one
// card per meter with its identity, last values and a chart per numeric register, the faults
// over time and the plug-in's log.

#include <string>
#include <string_view>

#include "hostsim/report_record.h"

namespace zol::hostsim {

// Text made safe for HTML element content and attribute values.
std::string HtmlText(std::string_view text);

// The whole page for `record`.
std::string ReportPage(const RunRecord& record);

}  // namespace zol::hostsim
