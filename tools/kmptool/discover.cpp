#include "kmptool/discover.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <map>
#include <utility>

#include "common/json_write.h"
#include "kmp/kmp_frame.h"
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

class Scan {
   public:
    Scan(Transport& line, const DiscoverOptions& options, const StopFunction& stop,
         DiscoverResult& result)
        : line_(line), options_(options), stop_(stop), result_(result) {}

    bool Stopped() const { return stop_ && stop_(); }

    // Sends the identification request `cid` to `address` until the meter's own verified reply
    // comes (its body in `body`), or the attempts are used up.
    Asked Ask(std::uint8_t address, std::uint8_t cid, std::vector<std::uint8_t>& body,
              std::uint32_t& resent) {
        const auto frame = kmp::KmpStuff(kmp::BuildIdentificationRequest(address, cid));
        // A stray answering the command of the exchange before this one (a second meter
        // replying behind the first) is put down to that exchange's address.
        const auto asked_for = [&](std::uint8_t reply_cid) {
            return reply_cid != cid && reply_cid == previous_cid_ ? previous_address_ : address;
        };
        const kmp::FrameAcceptor answers = [&](std::span<const std::uint8_t> reply) {
            if (reply[0] != address) {
                result_.strays.push_back(
                    {StrayKind::kWrongAddress, asked_for(reply[1]), reply[0], reply[1]});
                return false;
            }
            if (reply[1] != cid) {
                result_.strays.push_back(
                    {StrayKind::kOutOfTurn, asked_for(reply[1]), reply[0], reply[1]});
                return false;
            }
            if (reply.size() < kIdentificationBodySize) {
                result_.strays.push_back({StrayKind::kDamaged, address, reply[0], reply[1]});
                return false;
            }
            return true;
        };
        const kmp::ScanLogger damaged = [&](int, std::string_view text) {
            const auto [from, from_cid] = DamagedFrameOrigin(text);
            result_.strays.push_back({StrayKind::kDamaged, asked_for(from_cid), from, from_cid});
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
            bool answered = !pending_.empty() && take({});
            const std::uint64_t deadline = line_.NowMs() + options_.timeout_ms;
            for (std::uint64_t now = line_.NowMs(); now < deadline && !answered;
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

   private:
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
    report();
    for (const std::uint8_t address : options.addresses) {
        FoundMeter meter;
        meter.address = address;
        std::vector<std::uint8_t> body;
        Asked asked = scan.Ask(address, kmp::CidGetType, body, meter.resent);
        if (asked == Asked::kAnswered) {
            const std::span<const std::uint8_t> data(body);
            meter.type = common::ReadBe16(data.subspan<2, 2>());
            meter.revision = common::ReadBe16(data.subspan<4, 2>());
            meter.catalogue = CatalogueOfType(meter.type);
            asked = scan.Ask(address, kmp::CidGetSerialNo, body, meter.resent);
            if (asked == Asked::kAnswered) {
                meter.serial =
                    common::ReadBe32(std::span<const std::uint8_t>(body).subspan<2, 4>());
            }
            result.meters.push_back(meter);
        }
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
        if (!first || !last || *last < *first) {
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

std::string FoundMeterLine(const FoundMeter& meter) {
    const std::string serial = meter.serial ? std::to_string(*meter.serial) : "-";
    return "METER " + std::to_string(meter.address) + " TYPE " + Hex4(meter.type) + " REVISION " +
           Hex4(meter.revision) + " SERIAL " + serial + " CATALOGUE " +
           std::string(CatalogueWord(meter.catalogue.catalogue));
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
    return lines;
}

}  // namespace zol::kmptool
