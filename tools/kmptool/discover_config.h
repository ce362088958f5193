#pragma once
// The options text that reads every meter a scan found, written as the plug-in's options dialog
// writes it: one polled request per meter, captioned with its serial number, reading the
// registers of the meter's catalogue.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/wire_time.h"
#include "kmp/kmp_registers.h"
#include "kmptool/discover.h"

namespace zol::kmptool {

// Which registers each meter's requests read.
enum class RegisterChoice : std::uint8_t {
    kDefault,  // energy, volume, temperatures, power, date and time: one request
    kAll,      // every register of the catalogue, eight to a request
};

// A polling interval as the dialog stores it: a whole number and a unit ("S", "M", "H", "MS").
struct PollInterval {
    std::uint32_t value = 15;
    std::string units = "M";
};
// Reads "15M", "30S", "1H", "500MS" (units in any case). Nothing for a missing unit, a number
// that is 0 or above 100000, or anything else.
std::optional<PollInterval> ParsePollInterval(std::string_view text);

struct ConfigOptions {
    PollInterval poll;
    RegisterChoice registers = RegisterChoice::kDefault;
    // Each request's timeout is its exchange's time on this line (request and reply frames) plus
    // `timeout_ms` for the meter to answer: the time the scan allowed it, or twice the time a
    // slow meter took. A comment above the request says so.
    tools::LineFraming line;
    std::uint32_t timeout_ms = 300;
    // Written at the top as a comment when the scan did not ask every address (interrupted):
    // which addresses are missing and how to go on.
    std::string incomplete;
};

// The register ids a meter of `catalogue` is read with, in the order they are requested.
std::vector<std::uint16_t> RegistersToRead(kmp::KmpCatalogue catalogue, RegisterChoice choice);

// The options text for `meters`, in their order. Each request reads at most eight registers, the
// most one register request carries, so `all` gives a meter several requests, captioned
// "SERIAL (k/n)". A meter without a serial number is captioned "meter ADDRESS". A meter whose
// test read failed gets a comment saying so above its requests.
std::string WriteOptionsText(const std::vector<FoundMeter>& meters, const ConfigOptions& options);

}  // namespace zol::kmptool
