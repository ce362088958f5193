#pragma once
// Discovery: which meters answer on a line. Each address is asked for its meter type and every
// one that answers for its serial number, over any transport. Replies that are not the answer
// waited for (another meter's, damaged ones, the line's echo of the request) are counted and
// kept apart, never taken for a meter, so a line with an impostor or a noisy meter still yields
// each meter once, at its own address.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kmp/kmp_registers.h"
#include "kmptool/transport.h"

namespace zol::kmptool {

struct DiscoverOptions {
    std::vector<std::uint8_t> addresses;  // asked in this order
    std::uint32_t timeout_ms = 300;       // for each reply
    std::uint32_t attempts = 2;           // sends of each request before the meter counts as silent
};

// Which catalogue names a meter's registers, by its type word.
struct CatalogueChoice {
    kmp::KmpCatalogue catalogue = kmp::KmpCatalogue::kHeat;
    bool known = false;  // false: the type word is not in the rule; heat was taken
};
CatalogueChoice CatalogueOfType(std::uint16_t type) noexcept;

struct FoundMeter {
    std::uint8_t address = 0;
    std::uint16_t type = 0;
    std::uint16_t revision = 0;
    std::optional<std::uint32_t> serial;  // nothing when no valid serial-number reply came
    CatalogueChoice catalogue;
    std::uint32_t resent = 0;  // requests sent again before the meter's answers came through
};

// A reply that did not answer the request it came during.
enum class StrayKind : std::uint8_t {
    kWrongAddress,  // verified, but from another address than the one asked
    kDamaged,       // a bad checksum, or an identification reply too short to read
    kOutOfTurn,     // verified and from the meter asked, but answering another request
};
struct StrayReply {
    StrayKind kind = StrayKind::kDamaged;
    std::uint8_t asked = 0;  // the address being asked when it came
    std::uint8_t from = 0;   // the address the reply carries (as received, for a damaged one)
    std::uint8_t cid = 0;    // the command it answers (as received)
};

struct DiscoverProgress {
    std::size_t done = 0;       // addresses asked to the end
    std::size_t total = 0;      // addresses to ask
    std::size_t found = 0;      // meters that answered so far
    std::uint64_t left_ms = 0;  // estimated from the time taken per address so far
};

enum class DiscoverEnd : std::uint8_t { kDone, kLineFailed, kStopped };

struct DiscoverResult {
    std::vector<FoundMeter> meters;  // in the order asked
    std::vector<StrayReply> strays;
    std::size_t echoes = 0;  // copies of the request heard back from the line
    std::size_t requests = 0;
    std::size_t asked = 0;  // addresses asked to the end
    DiscoverEnd end = DiscoverEnd::kDone;
    std::string failure;  // kLineFailed: why the line is gone
    std::uint64_t elapsed_ms = 0;

    std::size_t Count(StrayKind kind) const noexcept;
};

using ProgressFunction = std::function<void(const DiscoverProgress&)>;
// Asked between exchanges; true ends the scan (kStopped) with what was found so far.
using StopFunction = std::function<bool()>;

// Asks every address of `options` on `line`. `progress` (may be empty) is called once before the
// first address and after each one.
DiscoverResult Discover(Transport& line, const DiscoverOptions& options,
                        const ProgressFunction& progress = {}, const StopFunction& stop = {});

// Reads "1-254" or "1-10,63,70-80": addresses 1 to 254, ranges inclusive, in the order written,
// each once. Nothing, with `error` set, for anything else.
std::optional<std::vector<std::uint8_t>> ParseAddressList(std::string_view text,
                                                          std::string& error);

// One line for a found meter: "meter 17: type 0210 revision 0005 serial 67012345 heat".
std::string FoundMeterLine(const FoundMeter& meter);
// The found meters as one JSON array of {"address", "type", "revision", "serial", "catalogue"}.
std::string FoundMetersJson(const std::vector<FoundMeter>& meters);
// What the scan heard besides the meters, one line each; empty when nothing: echoes, damaged
// replies and wrong-address replies with the addresses they concern.
std::vector<std::string> StrayReport(const DiscoverResult& result);

}  // namespace zol::kmptool
