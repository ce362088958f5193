// Fuzz target for reading a saved run back into a commissioning report: the packet JSON lines,
// the stderr log lines, the meters they name, and the page written from what they yield. The
// first byte picks where the rest goes (JSON lines, log text or both halves); a copy in its own
// allocation lets the sanitizer see any read past its end. Lines that do not parse are normal
// results.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "hostsim/report_page.h"
#include "hostsim/report_record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t variant = data[0] % 3;
    auto copy = std::make_unique<char[]>(size - 1);
    for (std::size_t i = 1; i < size; ++i) copy[i - 1] = static_cast<char>(data[i]);
    const std::string_view text(copy.get(), size - 1);
    const std::string_view json = variant == 1 ? std::string_view() : text;
    const std::string_view log = variant == 0 ? std::string_view() : text;
    std::size_t skipped = 0;
    auto record =
        zol::hostsim::ReadRunRecord(json.substr(0, variant == 2 ? json.size() / 2 : json.size()),
                                    log.substr(variant == 2 ? log.size() / 2 : 0), skipped);
    record.requests = zol::hostsim::ConfiguredRequests(text);
    record.active = zol::hostsim::ActiveAddresses(text);  // the verdict per configured meter
    (void)zol::hostsim::ReportPage(record);
    return 0;
}
