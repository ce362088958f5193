#include "kmptool/discover.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <map>
#include <utility>

#include "common/json_write.h"
#include "kmp/kmp_frame.h"
#include "kmp/kmp_value.h"
#include "kmptool/discover_config.h"
#include "zolShared/Public/Common/byte_order.h"

namespace zol::kmptool {

namespace {

// Address, CID, four data bytes and the checksum: the shortest type or serial-number reply that
// can be read (a type reply's two words, a serial number's four bytes).
constexpr std::size_t kIdentificationBodySize = 8;
// More unread bytes than this without a frame in them is line noise.
constexpr std::size_t kMaxPendingBytes = 4096;

// The type words whose catalogue is known; docs/discovery.md says where each comes from.
constexpr struct {
    std::uint16_t type;
    kmp::KmpCatalogue catalogue;
} kTypeRules[] = {
    {0x0210, kmp::KmpCatalogue::kHeat},
    {0x0401, kmp::KmpCatalogue::kElectricity},
};

enum class Asked : std::uint8_t { kAnswered, kSilent, kLineFailed, kStopped };

// The address and CID a checksum line names at its end (" [17,01]"); zeros when it names none.
std::pair<std::uint8_t, std::uint8_t> DamagedFrameOrigin(std::string_view text) {
    const auto open = text.rfind('[');
    const auto comma = text.rfind(',');
    if (open == std::string_view::npos || comma == std::string_view::npos || comma < open ||
        text.empty() || text.back() != ']') {
        return {0, 0};
    }
    unsigned address = 0, cid = 0;
    const char* first = text.data();
    std::from_chars(first + open + 1, first + comma, address);
    std::from_chars(first + comma + 1, first + text.size() - 1, cid, 16);
    return {static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(cid)};
}

// Copies of `frame` in `heard`, not overlapping.
std::size_t CountCopies(const std::vector<std::uint8_t>& heard,
                        const std::vector<std::uint8_t>& frame) {
    std::size_t copies = 0;
    for (auto at = heard.begin();;) {
        at = std::search(at, heard.end(), frame.begin(), frame.end());
        if (at == heard.end()) return copies;
        ++copies;
        at += static_cast<std::ptrdiff_t>(frame.size());
    }
}

// What the meter asked sent besides the answer waited for, so a failed exchange can say why.
struct AskNotes {
    bool damaged = false;  // a reply with a bad checksum, or too short to read
    bool wrong = false;    // a verified reply that was not the answer asked for
};

class Scan {
   public:
    Scan(Transport& line, const DiscoverOptions& options, const StopFunction& stop,
         DiscoverResult& result)
        : line_(line), options_(options), stop_(stop), result_(result) {}

    bool Stopped() const { return stop_ && stop_(); }

    // Sends `request` (address, CID, ..., checksum) until the meter's own verified reply to it
    // comes and `readable` takes it (its body in `body`), or the attempts are used up. Each
    // attempt waits `timeout_ms`; a damaged reply of the meter asked ends it at once, so the
    // request goes again as soon as the damaged frame has ended.
    Asked Ask(const std::vector<std::uint8_t>& request, std::uint32_t timeout_ms,
              const std::function<bool(std::span<const std::uint8_t>)>& readable,
              std::vector<std::uint8_t>& body, std::uint32_t& resent, AskNotes& notes) {
        const std::uint8_t address = request[0];
        const std::uint8_t cid = request[1];
        const auto frame = kmp::KmpStuff(request);
        bool resend_now = false;
        // A stray that came during the exchange before this one (kept behind the reply taken
        // there), or answers its command (a second meter replying behind the first), is put
        // down to that exchange's address.
        // Of two exchanges of the same command (the test reads), a meter already heard
        // answering for the address before, and never for this one, is answering that one.
        bool carried = false;
        const auto answered_for = [&](std::uint8_t from, std::uint8_t asked) {
            return std::any_of(result_.strays.begin(), result_.strays.end(), [&](const auto& s) {
                return s.kind == StrayKind::kWrongAddress && s.from == from && s.asked == asked;
            });
        };
        const auto asked_for = [&](std::uint8_t from, std::uint8_t reply_cid) {
            if (carried || (reply_cid != cid && reply_cid == previous_cid_)) {
                return previous_address_;
            }
            if (reply_cid == previous_cid_ && from != previous_address_ &&
                answered_for(from, previous_address_) && !answered_for(from, address)) {
                return previous_address_;
            }
            return address;
        };
        const kmp::FrameAcceptor answers = [&](std::span<const std::uint8_t> reply) {
            const bool ours = reply[0] == address && reply[1] == cid;
            if (ours) {
                Heard(reply[0], reply[1]);
                if (readable(reply)) return true;
                if (cid == kmp::CidGetRegister) {
                    notes.wrong = true;
                } else {
                    result_.strays.push_back({StrayKind::kDamaged, address, reply[0], reply[1]});
                    notes.damaged = true;
                }
                resend_now = true;
                return false;
            }
            if (const auto after = Heard(reply[0], reply[1])) {
                // Within its own timeout it answered a send again of a request whose first
                // reply was the late one, already taken: nothing more to report.
                if (*after > sent_[{reply[0], reply[1]}].timeout_ms) {
                    result_.late.push_back({reply[0], reply[1], *after});
                }
                return false;
            }
            if (reply[0] == address) notes.wrong = true;
            result_.strays.push_back(
                {reply[0] != address ? StrayKind::kWrongAddress : StrayKind::kOutOfTurn,
                 asked_for(reply[0], reply[1]), reply[0], reply[1]});
            return false;
        };
        const kmp::ScanLogger damaged = [&](int, std::string_view text) {
            const auto [from, from_cid] = DamagedFrameOrigin(text);
            const bool ours = from == address && from_cid == cid;
            const bool late = Heard(from, from_cid).has_value() && !ours;
            result_.strays.push_back(
                {StrayKind::kDamaged, late ? from : asked_for(from, from_cid), from, from_cid});
            if (ours) {
                notes.damaged = true;
                resend_now = true;
            }
        };
        struct Remember {
            Scan& scan;
            std::uint8_t address, cid;
            ~Remember() {
                scan.previous_address_ = address;
                scan.previous_cid_ = cid;
            }
        } remember{*this, address, cid};
        for (std::uint32_t attempt = 0; attempt < options_.attempts; ++attempt) {
            if (Stopped()) return Asked::kStopped;
            if (attempt > 0) ++resent;
            ++result_.requests;
            if (!line_.Write(frame)) return Failed("writing the request failed");
            Sends& sends = sent_[{address, cid}];
            sends.ends.push_back(line_.NowMs());
            sends.timeout_ms = timeout_ms;
            resend_now = false;
            std::vector<std::uint8_t> heard;
            const auto take = [&](const std::vector<std::uint8_t>& bytes) {
                heard.insert(heard.end(), bytes.begin(), bytes.end());
                if (pending_.size() > kMaxPendingBytes) pending_.clear();
                pending_.insert(pending_.end(), bytes.begin(), bytes.end());
                const auto scanned = kmp::ScanFrames(pending_, answers, damaged, body);
                pending_.erase(pending_.begin(),
                               pending_.begin() + static_cast<std::ptrdiff_t>(scanned.passed_over +
                                                                              scanned.frame_size));
                return scanned.frame_size > 0;
            };
            carried = !pending_.empty();
            bool answered = carried && take({});
            carried = false;
            const std::uint64_t deadline = line_.NowMs() + timeout_ms;
            for (std::uint64_t now = line_.NowMs(); now < deadline && !answered && !resend_now;
                 now = line_.NowMs()) {
                const auto bytes = line_.Read(static_cast<std::uint32_t>(deadline - now));
                if (!line_.FailureText().empty()) return Failed("");
                if (Stopped()) return Asked::kStopped;
                if (!bytes.empty()) answered = take(bytes);
            }
            result_.echoes += CountCopies(heard, frame);
            if (answered) return Asked::kAnswered;
        }
        return Asked::kSilent;
    }

    // True when a send of `cid` to `address` has had no reply yet.
    bool Unanswered(std::uint8_t address, std::uint8_t cid) const {
        const auto it = sent_.find({address, cid});
        return it != sent_.end() && it->second.heard < it->second.ends.size();
    }

    // Sends nothing and listens `ms` for replies still due, a slow meter's to the last request
    // above all; what comes is judged as late or stray, never taken.
    Asked Listen(std::uint32_t ms) {
        const kmp::FrameAcceptor judge = [&](std::span<const std::uint8_t> reply) {
            if (const auto after = Heard(reply[0], reply[1])) {
                if (*after > sent_[{reply[0], reply[1]}].timeout_ms) {
                    result_.late.push_back({reply[0], reply[1], *after});
                }
            } else {
                result_.strays.push_back({reply[0] != previous_address_ ? StrayKind::kWrongAddress
                                                                        : StrayKind::kOutOfTurn,
                                          previous_address_, reply[0], reply[1]});
            }
            return false;
        };
        const kmp::ScanLogger damaged = [&](int, std::string_view text) {
            const auto [from, from_cid] = DamagedFrameOrigin(text);
            Heard(from, from_cid);
            result_.strays.push_back({StrayKind::kDamaged, previous_address_, from, from_cid});
        };
        std::vector<std::uint8_t> body;
        const std::uint64_t deadline = line_.NowMs() + ms;
        for (std::uint64_t now = line_.NowMs(); now < deadline; now = line_.NowMs()) {
            const auto bytes = line_.Read(static_cast<std::uint32_t>(deadline - now));
            if (!line_.FailureText().empty()) return Failed("");
            if (Stopped()) return Asked::kStopped;
            if (pending_.size() > kMaxPendingBytes) pending_.clear();
            pending_.insert(pending_.end(), bytes.begin(), bytes.end());
            const auto scanned = kmp::ScanFrames(pending_, judge, damaged, body);
            pending_.erase(pending_.begin(),
                           pending_.begin() + static_cast<std::ptrdiff_t>(scanned.passed_over));
        }
        return Asked::kSilent;
    }

   private:
    // Each request sent, by meter and command: when each send ended, and how many replies to it
    // were heard. A reply while one of its sends is still unanswered is that meter's answer,
    // however late, never another meter's.
    struct Sends {
        std::vector<std::uint64_t> ends;
        std::size_t heard = 0;
        std::uint32_t timeout_ms = 0;  // the wait of the last send
    };

    // Counts a reply of `from` to `cid`. When it answers a send still unanswered, the time from
    // the end of that send (replies taken to come in the order of the sends) to now; nothing
    // when no send of it is waiting for a reply.
    std::optional<std::uint32_t> Heard(std::uint8_t from, std::uint8_t cid) {
        const auto it = sent_.find({from, cid});
        if (it == sent_.end() || it->second.heard >= it->second.ends.size()) return std::nullopt;
        const std::uint64_t end = it->second.ends[it->second.heard++];
        return static_cast<std::uint32_t>(line_.NowMs() - end);
    }

    Asked Failed(const char* fallback) {
        result_.failure = line_.FailureText();
        if (result_.failure.empty()) result_.failure = fallback;
        return Asked::kLineFailed;
    }

    Transport& line_;
    const DiscoverOptions& options_;
    const StopFunction& stop_;
    DiscoverResult& result_;
    // Bytes received and not yet taken: what came behind an accepted reply (a second meter
    // answering the same request) is judged in the next exchange, not thrown away.
    std::vector<std::uint8_t> pending_;
    std::map<std::pair<std::uint8_t, std::uint8_t>, Sends> sent_;
    std::uint8_t previous_address_ = 0;
    std::uint8_t previous_cid_ = 0;
};

std::string_view CatalogueWord(kmp::KmpCatalogue catalogue) noexcept {
    return catalogue == kmp::KmpCatalogue::kElectricity ? "electricity" : "heat";
}

std::string Hex4(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

}  // namespace

CatalogueChoice CatalogueOfType(std::uint16_t type) noexcept {
    for (const auto& rule : kTypeRules) {
        if (rule.type == type) return {rule.catalogue, true};
    }
    return {kmp::KmpCatalogue::kHeat, false};
}

std::size_t DiscoverResult::Count(StrayKind kind) const noexcept {
    return static_cast<std::size_t>(std::count_if(
        strays.begin(), strays.end(), [kind](const StrayReply& s) { return s.kind == kind; }));
}

std::size_t DiscoverResult::FailedReads() const noexcept {
    return static_cast<std::size_t>(std::count_if(meters.begin(), meters.end(), [](const auto& m) {
        return !TestReadFailure(m.test_read).empty();
    }));
}

DiscoverResult Discover(Transport& line, const DiscoverOptions& options,
                        const ProgressFunction& progress, const StopFunction& stop) {
    DiscoverResult result;
    Scan scan(line, options, stop, result);
    const std::uint64_t start = line.NowMs();
    const std::size_t total = options.addresses.size();
    const auto report = [&] {
        if (!progress) return;
        const std::uint64_t elapsed = line.NowMs() - start;
        const std::uint64_t left =
            result.asked == 0 ? 0 : elapsed * (total - result.asked) / result.asked;
        progress({result.asked, total, result.meters.size(), left});
    };
    const auto readable = [](std::span<const std::uint8_t> reply) {
        return reply.size() >= kIdentificationBodySize;
    };
    // Asks `address` for its type and serial number, each reply waited for `timeout_ms`; a meter
    // that answers its type is listed, in the order of the addresses.
    const auto identify = [&](std::uint8_t address, std::uint32_t timeout_ms) {
        FoundMeter meter;
        meter.address = address;
        std::vector<std::uint8_t> body;
        AskNotes notes;
        Asked asked = scan.Ask(kmp::BuildIdentificationRequest(address, kmp::CidGetType),
                               timeout_ms, readable, body, meter.resent, notes);
        if (asked != Asked::kAnswered) return asked;
        const std::span<const std::uint8_t> data(body);
        meter.type = common::ReadBe16(data.subspan<2, 2>());
        meter.revision = common::ReadBe16(data.subspan<4, 2>());
        meter.catalogue = CatalogueOfType(meter.type);
        asked = scan.Ask(kmp::BuildIdentificationRequest(address, kmp::CidGetSerialNo), timeout_ms,
                         readable, body, meter.resent, notes);
        if (asked == Asked::kAnswered) {
            meter.serial = common::ReadBe32(std::span<const std::uint8_t>(body).subspan<2, 4>());
        }
        const auto order = [&](std::uint8_t a) {
            return std::find(options.addresses.begin(), options.addresses.end(), a);
        };
        result.meters.insert(std::upper_bound(result.meters.begin(), result.meters.end(), meter,
                                              [&](const FoundMeter& a, const FoundMeter& b) {
                                                  return order(a.address) < order(b.address);
                                              }),
                             meter);
        return asked == Asked::kSilent ? Asked::kAnswered : asked;
    };
    const auto listed = [&](std::uint8_t address) {
        return std::any_of(result.meters.begin(), result.meters.end(),
                           [&](const FoundMeter& m) { return m.address == address; });
    };
    // A meter too slow for the timeout: its type reply came while later addresses were asked.
    // It is asked again, waiting twice as long as it took, so it is listed with its serial number.
    std::size_t late_seen = 0;
    const auto ask_slow_meters = [&] {
        for (; late_seen < result.late.size(); ++late_seen) {
            const LateReply late = result.late[late_seen];
            if (late.cid != kmp::CidGetType || listed(late.from)) continue;
            const auto asked = identify(late.from, std::max(options.timeout_ms, 2 * late.after_ms));
            if (asked != Asked::kAnswered) return asked;
        }
        return Asked::kAnswered;
    };
    report();
    for (const std::uint8_t address : options.addresses) {
        Asked asked = identify(address, options.timeout_ms);
        if (asked != Asked::kLineFailed && asked != Asked::kStopped) asked = ask_slow_meters();
        if (asked == Asked::kLineFailed) {
            result.end = DiscoverEnd::kLineFailed;
            break;
        }
        if (asked == Asked::kStopped) {
            result.end = DiscoverEnd::kStopped;
            break;
        }
        ++result.asked;
        report();
    }
    // The last address silent: a slow meter there answers only after the scan, so the line is
    // heard a while longer (at least a second) before the scan is taken as done.
    if (result.end == DiscoverEnd::kDone && !options.addresses.empty() &&
        scan.Unanswered(options.addresses.back(), kmp::CidGetType)) {
        Asked asked = scan.Listen(std::max<std::uint32_t>(options.timeout_ms, 1000));
        if (asked == Asked::kSilent) asked = ask_slow_meters();
        if (asked == Asked::kLineFailed) result.end = DiscoverEnd::kLineFailed;
        if (asked == Asked::kStopped) result.end = DiscoverEnd::kStopped;
    }
    const auto note_late = [&] {
        for (FoundMeter& meter : result.meters) {
            for (const LateReply& late : result.late) {
                if (late.from == meter.address)
                    meter.late_ms = std::max(meter.late_ms, late.after_ms);
            }
        }
    };
    // The test read: one register of each meter, as its written configuration will read it. A
    // slow meter whose type reply came only during the test reads is identified and read too.
    for (bool more = options.test_read; more && result.end == DiscoverEnd::kDone;) {
        note_late();
        more = false;
        for (FoundMeter& meter : result.meters) {
            if (meter.test_read != TestRead::kNotDone) continue;
            meter.test_register =
                RegistersToRead(meter.catalogue.catalogue, RegisterChoice::kDefault).front();
            const std::uint16_t id = meter.test_register;
            const auto has_register = [id](std::span<const std::uint8_t> reply) {
                std::span<const std::uint8_t> data = reply.subspan(2, reply.size() - 4);
                while (const auto block = kmp::ReadRegisterBlock(data)) {
                    if (block->id == id) return true;
                }
                return false;
            };
            std::vector<std::uint8_t> body;
            std::uint32_t resent = 0;
            AskNotes notes;
            const Asked asked = scan.Ask(kmp::BuildRegisterRequest(meter.address, {&id, 1}),
                                         std::max(options.timeout_ms, 2 * meter.late_ms),
                                         has_register, body, resent, notes);
            if (asked == Asked::kLineFailed) result.end = DiscoverEnd::kLineFailed;
            if (asked == Asked::kStopped) result.end = DiscoverEnd::kStopped;
            if (asked != Asked::kAnswered && asked != Asked::kSilent) break;
            meter.test_read = asked == Asked::kAnswered ? TestRead::kPassed
                              : notes.damaged           ? TestRead::kDamaged
                              : notes.wrong             ? TestRead::kWrongReply
                                                        : TestRead::kNoReply;
        }
        if (result.end != DiscoverEnd::kDone) break;
        const std::size_t before = result.meters.size();
        const Asked asked = ask_slow_meters();
        if (asked == Asked::kLineFailed) result.end = DiscoverEnd::kLineFailed;
        if (asked == Asked::kStopped) result.end = DiscoverEnd::kStopped;
        more = result.meters.size() > before;
    }
    note_late();
    result.elapsed_ms = line.NowMs() - start;
    return result;
}

std::optional<std::vector<std::uint8_t>> ParseAddressList(std::string_view text,
                                                          std::string& error) {
    std::vector<std::uint8_t> addresses;
    bool seen[256] = {};
    const auto number = [](std::string_view digits) -> std::optional<unsigned> {
        unsigned value = 0;
        const auto [end, problem] =
            std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (digits.empty() || problem != std::errc{} || end != digits.data() + digits.size() ||
            value < 1 || value > 254) {
            return std::nullopt;
        }
        return value;
    };
    if (text.empty()) {
        error = "no address given";
        return std::nullopt;
    }
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        const auto dash = item.find('-');
        const auto first = number(item.substr(0, dash));
        const auto last = dash == std::string_view::npos ? first : number(item.substr(dash + 1));
        if (first && last && *last < *first) {
            error = "address range '" + std::string(item) + "' is reversed: write " +
                    std::to_string(*last) + "-" + std::to_string(*first);
            return std::nullopt;
        }
        if (!first || !last) {
            error = "bad address range '" + std::string(item) + "' (addresses 1 to 254)";
            return std::nullopt;
        }
        for (unsigned a = *first; a <= *last; ++a) {
            if (seen[a]) continue;
            seen[a] = true;
            addresses.push_back(static_cast<std::uint8_t>(a));
        }
    }
    return addresses;
}

std::string AddressListText(const std::vector<std::uint8_t>& addresses) {
    std::string text;
    for (std::size_t i = 0; i < addresses.size();) {
        std::size_t j = i;
        while (j + 1 < addresses.size() && addresses[j + 1] == addresses[j] + 1) ++j;
        if (!text.empty()) text += ",";
        text += std::to_string(addresses[i]);
        if (j > i) text += "-" + std::to_string(addresses[j]);
        i = j + 1;
    }
    return text;
}

std::string_view TestReadFailure(TestRead read) noexcept {
    switch (read) {
        case TestRead::kNoReply:
            return "no reply";
        case TestRead::kDamaged:
            return "damaged reply";
        case TestRead::kWrongReply:
            return "wrong reply";
        case TestRead::kNotDone:
        case TestRead::kPassed:
            break;
    }
    return {};
}

std::string FoundMeterLine(const FoundMeter& meter) {
    const std::string serial = meter.serial ? std::to_string(*meter.serial) : "-";
    std::string line = "METER " + std::to_string(meter.address) + " TYPE " + Hex4(meter.type) +
                       " REVISION " + Hex4(meter.revision) + " SERIAL " + serial + " CATALOGUE " +
                       std::string(CatalogueWord(meter.catalogue.catalogue));
    const auto failure = TestReadFailure(meter.test_read);
    if (!failure.empty()) {
        line += " READ FAILED (register " + Hex4(meter.test_register) + ": " +
                std::string(failure) + ")";
    }
    return line;
}

std::string FoundMetersJson(const std::vector<FoundMeter>& meters) {
    tools::Json list = tools::Json::array();
    for (const FoundMeter& meter : meters) {
        tools::Json item;
        item["address"] = meter.address;
        item["type"] = Hex4(meter.type);
        item["revision"] = Hex4(meter.revision);
        item["serial"] = meter.serial ? tools::Json(*meter.serial) : tools::Json(nullptr);
        item["catalogue"] = CatalogueWord(meter.catalogue.catalogue);
        const auto failure = TestReadFailure(meter.test_read);
        item["read"] = meter.test_read == TestRead::kNotDone ? tools::Json(nullptr)
                       : failure.empty()                     ? tools::Json("ok")
                                                             : tools::Json(std::string(failure));
        list.push_back(std::move(item));
    }
    return tools::JsonText(list);
}

std::vector<std::string> StrayReport(const DiscoverResult& result) {
    std::vector<std::string> lines;
    if (result.echoes > 0) {
        lines.push_back("echoes of the requests: " + std::to_string(result.echoes) +
                        " (the line repeats what is sent; not taken for replies)");
    }
    static constexpr struct {
        StrayKind kind;
        const char* what;
        const char* from;
    } kKinds[] = {
        {StrayKind::kDamaged, "damaged replies", "from"},
        {StrayKind::kWrongAddress, "replies from the wrong address", "answered by"},
        {StrayKind::kOutOfTurn, "replies out of turn", "from"},
    };
    for (const auto& kind : kKinds) {
        // How often each (asked, from) pair occurred, in address order.
        std::map<std::pair<std::uint8_t, std::uint8_t>, std::size_t> pairs;
        for (const StrayReply& stray : result.strays) {
            if (stray.kind == kind.kind) ++pairs[{stray.asked, stray.from}];
        }
        if (pairs.empty()) continue;
        std::string line =
            std::string(kind.what) + ": " + std::to_string(result.Count(kind.kind)) + " (";
        const char* separator = "";
        for (const auto& [pair, count] : pairs) {
            line += separator;
            line += "asked " + std::to_string(pair.first) + ", " + kind.from + " " +
                    std::to_string(pair.second) + (count > 1 ? " x" + std::to_string(count) : "");
            separator = "; ";
        }
        line += ")";
        lines.push_back(line);
    }
    // The slowest late reply of each meter, in address order.
    std::map<std::uint8_t, std::uint32_t> slowest;
    for (const LateReply& late : result.late) {
        slowest[late.from] = std::max(slowest[late.from], late.after_ms);
    }
    for (const auto& [from, after] : slowest) {
        lines.push_back(std::to_string(from) + " answered after " + std::to_string(after) +
                        " ms: raise --timeout");
    }
    return lines;
}

}  // namespace zol::kmptool
