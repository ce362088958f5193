#pragma once
// Test helpers: ISO-like text <-> OLE dates, so vectors read as calendar times.

#include <cstdio>
#include <string>

#include "scheduler/date_helpers.h"

namespace zol::scheduler::testing {

// "YYYY-MM-DDTHH:MM:SS[.mmm]" to an OLE date; "-" gives 0 (none).
inline double Ole(const char* text) {
    if (text[0] == '-' && text[1] == 0) return 0;
    DateTimeParts p;
    int n = std::sscanf(text, "%d-%d-%dT%d:%d:%d.%d", &p.year, &p.month, &p.day, &p.hour, &p.minute,
                        &p.second, &p.millisecond);
    if (n < 6) p.millisecond = 0;
    return EncodeOle(p);
}

// The local-time milliseconds of such a text (for the fake clock).
inline std::int64_t LocalMs(const char* text) { return OleToMs(Ole(text)); }

// An OLE date back to "YYYY-MM-DDTHH:MM:SS" (milliseconds appended when not 0); 0 gives "-".
inline std::string Iso(double ole) {
    if (ole == 0) return "-";
    DateTimeParts p = SplitMs(OleToMs(ole));
    char buffer[40];
    if (p.millisecond != 0) {
        std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", p.year, p.month,
                      p.day, p.hour, p.minute, p.second, p.millisecond);
    } else {
        std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d", p.year, p.month,
                      p.day, p.hour, p.minute, p.second);
    }
    return buffer;
}

}  // namespace zol::scheduler::testing
