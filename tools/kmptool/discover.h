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
    // After the scan, each meter found is asked for one register (the first its written
    // configuration reads), so a meter that identifies itself but will never deliver a reading
    // is known before the configuration is trusted.
    bool test_read = true;
};

// Which catalogue names a meter's registers, by its type word.
struct CatalogueChoice {
    kmp::KmpCatalogue catalogue = kmp::KmpCatalogue::kHeat;
    bool known = false;  // false: the type word is not in the rule; heat was taken
};
CatalogueChoice CatalogueOfType(std::uint16_t type) noexcept;

// How the one-register test read of a found meter went.
enum class TestRead : std::uint8_t {
    kNotDone,     // the scan ended before it (stopped, line failed) or it was not asked for
    kPassed,      // the register came back, verified
    kNoReply,     // nothing came from the meter within its attempts
    kDamaged,     // only replies with a bad checksum came
    kWrongReply,  // the meter answered with something else than the register asked
};

struct FoundMeter {
    std::uint8_t address = 0;
    std::uint16_t type = 0;
    std::uint16_t revision = 0;
    std::optional<std::uint32_t> serial;  // nothing when no valid serial-number reply came
    CatalogueChoice catalogue;
    std::uint32_t resent = 0;  // requests sent again before the meter's answers came through
    // The slowest reply of the meter that came after its timeout, from the end of the request to
    // the end of the reply; 0 when every reply came in time.
    std::uint32_t late_ms = 0;
    TestRead test_read = TestRead::kNotDone;
    std::uint16_t test_register = 0;  // the register the test read asked for
};

// A verified reply that came after its request's timeout, while another request was waited for:
// the answer of a slow meter, never another meter's.
struct LateReply {
    std::uint8_t from = 0;       // the meter that sent it
    std::uint8_t cid = 0;        // the command it answers
    std::uint32_t after_ms = 0;  // from the end of its request to the end of the reply
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
    std::vector<LateReply> late;
    std::size_t echoes = 0;  // copies of the request heard back from the line
    std::size_t requests = 0;
    std::size_t asked = 0;  // addresses asked to the end (a prefix of the addresses given)
    DiscoverEnd end = DiscoverEnd::kDone;
    std::string failure;  // kLineFailed: why the line is gone
    std::uint64_t elapsed_ms = 0;

    std::size_t Count(StrayKind kind) const noexcept;
    // Meters whose test read failed.
    std::size_t FailedReads() const noexcept;
};

using ProgressFunction = std::function<void(const DiscoverProgress&)>;
// Asked between exchanges; true ends the scan (kStopped) with what was found so far.
using StopFunction = std::function<bool()>;

// Asks every address of `options` on `line`. `progress` (may be empty) is called once before the
// first address and after each one.
DiscoverResult Discover(Transport& line, const DiscoverOptions& options,
                        const ProgressFunction& progress = {}, const StopFunction& stop = {});

// Reads "1-254" or "1-10,63,70-80": addresses 1 to 254, ranges inclusive, in the order written,
// each once. Nothing, with `error` set, for anything else (a range written high to low is named
// as reversed).
std::optional<std::vector<std::uint8_t>> ParseAddressList(std::string_view text,
                                                          std::string& error);
// The text ParseAddressList reads back as `addresses`: runs of consecutive ascending addresses
// as ranges ("17,63-65,200").
std::string AddressListText(const std::vector<std::uint8_t>& addresses);

// Why a test read failed, in words ("no reply"); "" when it passed or was not done.
std::string_view TestReadFailure(TestRead read) noexcept;

// One line for a found meter:
// "METER 17 TYPE 0210 REVISION 0005 SERIAL 67012345 CATALOGUE heat", followed by
// " READ FAILED (register 003C: no reply)" when its test read failed.
std::string FoundMeterLine(const FoundMeter& meter);
// The found meters as one JSON array of {"address", "type", "revision", "serial", "catalogue",
// "read"}: "read" is "ok", why the test read failed, or null when it was not done.
std::string FoundMetersJson(const std::vector<FoundMeter>& meters);
// What the scan heard besides the meters, one line each; empty when nothing: echoes, damaged
// replies and wrong-address replies with the addresses they concern, and each slow meter's
// slowest late reply ("65 answered after 520 ms: raise --timeout").
std::vector<std::string> StrayReport(const DiscoverResult& result);

}  // namespace zol::kmptool
