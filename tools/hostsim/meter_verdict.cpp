#include "hostsim/meter_verdict.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "kmp/kmp_frame.h"
#include "kmp/request_config.h"

namespace zol::hostsim {

namespace {

// "1 packet", "2 packets".
std::string Counted(std::uint64_t n, std::string_view one, std::string_view many) {
    return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

// "0:05", "12:40", "1:02:03".
std::string Clock(std::uint64_t ms) {
    const std::uint64_t s = ms / 1000;
    char text[32];
    if (s >= 3600) {
        std::snprintf(
            text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(s / 3600),
            static_cast<unsigned long long>(s / 60 % 60), static_cast<unsigned long long>(s % 60));
    } else {
        std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(s / 60),
                      static_cast<unsigned long long>(s % 60));
    }
    return text;
}

bool HasAny(std::string_view text, const std::vector<std::string>& marks) {
    return std::any_of(marks.begin(), marks.end(), [&](const std::string& mark) {
        return !mark.empty() && text.find(mark) != std::string_view::npos;
    });
}

std::optional<std::uint8_t> AddressOf(std::string_view text) {
    const std::int64_t number = kmp::DeviceNumber(text);
    if (number < 0) return std::nullopt;
    // The plug-in sends the low byte of whatever number the configuration holds.
    return static_cast<std::uint8_t>(number & 0xFF);
}

}  // namespace

void ForEachEnabledRequest(std::string_view options_text,
                           const std::function<void(const kmp::TRequestItem&)>& visit) {
    kmp::TDataSourceCfg config;
    config.lblParams_Caption = std::string(options_text);
    kmp::StandaloneLoadHost host;
    parser::TBasicRequestList requests;
    kmp::LoadRequests(&host, &config, requests, nullptr);
    common::SharedSection lock(requests.Lock());
    for (std::int32_t i = 0; i < requests.CountLocked(); ++i) {
        const auto& request = static_cast<const kmp::TRequestItem&>(*requests.Item(i));
        if (request.Enabled) visit(request);
    }
}

std::vector<std::uint8_t> ActiveAddresses(std::string_view options_text) {
    std::vector<std::uint8_t> addresses;
    ForEachEnabledRequest(options_text, [&addresses](const kmp::TRequestItem& request) {
        addresses.push_back(request.Parameters.Address);
    });
    std::sort(addresses.begin(), addresses.end());
    addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
    return addresses;
}

std::map<std::uint8_t, std::uint32_t> ReplyTimeouts(std::string_view options_text) {
    std::map<std::uint8_t, std::uint32_t> timeouts;
    ForEachEnabledRequest(options_text, [&timeouts](const kmp::TRequestItem& request) {
        const auto timeout = static_cast<std::uint32_t>(std::max(request.Parameters.Timeout, 0));
        const auto [at, added] = timeouts.emplace(request.Parameters.Address, timeout);
        if (!added) at->second = std::min(at->second, timeout);
    });
    return timeouts;
}

std::optional<std::uint8_t> LoggedAddress(std::string_view text) {
    // A request's own lines: "[63/Heat] . Heat. Request timeout", after the module's prefix.
    for (auto open = text.find('['); open != std::string_view::npos;
         open = text.find('[', open + 1)) {
        const auto slash = text.find('/', open);
        const auto close = text.find(']', open);
        if (slash == std::string_view::npos || close == std::string_view::npos || close < slash) {
            continue;
        }
        if (const auto address = AddressOf(text.substr(open + 1, slash - open - 1))) {
            return address;
        }
    }
    // A damaged reply: "... [65,10]", the frame's address in decimal and its CID.
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    if (text.empty() || text.back() != ']') return std::nullopt;
    const auto open = text.rfind('[');
    if (open == std::string_view::npos) return std::nullopt;
    const std::string_view inside = text.substr(open + 1, text.size() - open - 2);
    const auto comma = inside.find(',');
    if (comma == std::string_view::npos || comma == 0) return std::nullopt;
    const std::string_view digits = inside.substr(0, comma);
    if (digits.find_first_not_of("0123456789") != std::string_view::npos || digits.size() > 3) {
        return std::nullopt;
    }
    const int number = std::stoi(std::string(digits));
    if (number > 255) return std::nullopt;
    return static_cast<std::uint8_t>(number);
}

std::vector<std::uint8_t> RequestAddresses(std::span<const std::uint8_t> written) {
    std::vector<std::uint8_t> addresses;
    std::size_t at = 0;
    while (at < written.size()) {
        const auto start = std::find(written.begin() + static_cast<std::ptrdiff_t>(at),
                                     written.end(), kmp::KmpReqStart);
        if (start == written.end()) break;
        const auto stop = std::find(start + 1, written.end(), kmp::KmpStop);
        if (stop == written.end()) break;
        std::vector<std::uint8_t> body;
        kmp::KmpUnstuff(std::span<const std::uint8_t>(start + 1, stop), body);
        if (body.size() >= kmp::kMinBodySize) addresses.push_back(body[0]);
        at = static_cast<std::size_t>(stop - written.begin()) + 1;
    }
    return addresses;
}

MeterState StateOf(const MeterTally& tally) {
    if (tally.packets > 0) {
        return tally.timeouts + tally.checksum_errors + tally.empty_packets > 0
                   ? MeterState::kFaults
                   : MeterState::kGood;
    }
    if ((tally.requests && *tally.requests > 0) || tally.timeouts + tally.checksum_errors > 0) {
        return MeterState::kNoAnswer;
    }
    return tally.requests ? MeterState::kNeverAsked : MeterState::kNoPacket;
}

const char* StateWord(MeterState state) {
    switch (state) {
        case MeterState::kGood:
            return "good";
        case MeterState::kFaults:
            return "faults";
        case MeterState::kNoAnswer:
            return "no answer";
        case MeterState::kNeverAsked:
            return "never asked";
        case MeterState::kNoPacket:
            break;
    }
    return "no packet";
}

std::string VerdictLine(const MeterTally& tally) {
    std::string line = "meter " + (tally.port.empty() ? std::string("?") : tally.port) + "/" +
                       std::to_string(tally.address);
    const auto faults = [&] {
        std::string text;
        if (tally.timeouts > 0) text += ", " + Counted(tally.timeouts, "timeout", "timeouts");
        if (tally.checksum_errors > 0) {
            text += ", " + Counted(tally.checksum_errors, "checksum error", "checksum errors");
        }
        return text;
    };
    switch (StateOf(tally)) {
        case MeterState::kGood:
        case MeterState::kFaults:
            if (!tally.serial.empty()) line += " serial " + tally.serial;
            line += ": " + Counted(tally.packets, "packet", "packets");
            if (tally.last_time.size() >= 19) line += ", last " + tally.last_time.substr(11, 8);
            line += faults();
            if (tally.empty_packets > 0) {
                line += ", " + Counted(tally.empty_packets, "empty packet", "empty packets");
            }
            return line;
        case MeterState::kNoAnswer:
            line += ": no answer";
            if (tally.requests) {
                line += " to " + Counted(*tally.requests, "request", "requests");
                if (tally.checksum_errors > 0) {
                    line +=
                        ", " + Counted(tally.checksum_errors, "checksum error", "checksum errors");
                }
            } else {
                line += faults();
            }
            return line;
        case MeterState::kNeverAsked:
            return line + ": never asked";
        case MeterState::kNoPacket:
            break;
    }
    return line + ": no packet";
}

std::string ProgressLine(std::uint64_t elapsed_ms, std::uint64_t total_ms, std::uint32_t packets,
                         std::size_t heard, std::size_t configured) {
    return Clock(elapsed_ms) + " elapsed, " +
           Clock(total_ms > elapsed_ms ? total_ms - elapsed_ms + 999 : 0) + " left, " +
           Counted(packets, "packet", "packets") + ", meters heard " + std::to_string(heard) +
           " of " + std::to_string(configured);
}

MeterLedger::MeterLedger(std::vector<std::string> ports, std::vector<std::uint8_t> active,
                         bool writes_known, LogMarkers markers,
                         std::map<std::uint8_t, std::uint32_t> reply_timeouts)
    : ports_(std::move(ports)),
      active_(std::move(active)),
      writes_known_(writes_known),
      markers_(std::move(markers)),
      reply_timeouts_(std::move(reply_timeouts)) {}

MeterLedger::Entry& MeterLedger::At(std::size_t port, std::uint8_t address) {
    Entry& entry = entries_[{port, address}];
    if (entry.tally.port.empty()) {
        entry.tally.port = port < ports_.size() ? ports_[port] : std::to_string(port + 1);
        entry.tally.address = address;
        entry.tally.configured =
            std::find(active_.begin(), active_.end(), address) != active_.end();
    }
    return entry;
}

std::uint32_t MeterLedger::ReplyTimeout(std::uint8_t address) const {
    const auto found = reply_timeouts_.find(address);
    // The plug-in's own default for a request without <Timeout>.
    return found != reply_timeouts_.end() ? found->second : 300;
}

void MeterLedger::Written(std::size_t port, std::span<const std::uint8_t> bytes,
                          std::uint64_t now_ms) {
    // More open requests than this are a meter never answered nor timed out (a log that does
    // not reach the host); only the latest matter for matching.
    constexpr std::size_t kMaxOpen = 64;
    for (const std::uint8_t address : RequestAddresses(bytes)) {
        Entry& entry = At(port, address);
        entry.tally.requests = entry.tally.requests.value_or(0) + 1;
        entry.last_write = ++writes_;
        entry.open.push_back(now_ms);
        if (entry.open.size() > kMaxOpen) entry.open.pop_front();
    }
}

void MeterLedger::Delivered(std::size_t port, std::uint8_t address, std::string serial,
                            std::string time, bool empty) {
    Entry& entry = At(port, address);
    ++entry.tally.packets;
    if (empty) ++entry.tally.empty_packets;
    if (!serial.empty()) entry.tally.serial = std::move(serial);
    if (time > entry.tally.last_time) entry.tally.last_time = std::move(time);
    entry.open.clear();  // answered
}

MeterLedger::Entry* MeterLedger::Blame(std::uint8_t address, bool timeout, std::uint64_t now_ms) {
    const std::uint64_t reply_timeout = ReplyTimeout(address);
    Entry* match = nullptr;
    std::size_t match_index = 0;
    std::uint64_t match_score = 0;
    Entry* written = nullptr;
    Entry* heard = nullptr;
    std::size_t heard_ports = 0;
    for (auto& [key, entry] : entries_) {
        if (key.second != address) continue;
        for (std::size_t i = 0; i < entry.open.size(); ++i) {
            const std::uint64_t age = now_ms >= entry.open[i] ? now_ms - entry.open[i] : 0;
            std::uint64_t score = 0;
            if (timeout) {
                // A try sent just now is the next one, not the one that timed out; the one that
                // did was sent about a reply timeout ago.
                if (age * 2 < reply_timeout) continue;
                score = age > reply_timeout ? age - reply_timeout : reply_timeout - age;
            } else {
                // A damaged reply answers the oldest request still waiting for one.
                if (age > reply_timeout * 3 / 2) continue;
                score = UINT64_MAX - age;
            }
            if (match == nullptr || score < match_score) {
                match = &entry;
                match_index = i;
                match_score = score;
            }
        }
        if (entry.last_write > 0 &&
            (written == nullptr || entry.last_write > written->last_write)) {
            written = &entry;
        }
        if (entry.tally.packets > 0) {
            heard = &entry;
            ++heard_ports;
        }
    }
    if (match != nullptr) {
        // The timeout ends that try, and whatever of the port's was older.
        if (timeout) {
            match->open.erase(match->open.begin(),
                              match->open.begin() + static_cast<std::ptrdiff_t>(match_index) + 1);
        }
        return match;
    }
    if (written != nullptr) return written;
    if (heard_ports == 1) return heard;
    if (ports_.size() == 1) return &At(0, address);
    return nullptr;
}

void MeterLedger::Logged(std::string_view text, std::uint64_t now_ms) {
    const bool timeout = HasAny(text, markers_.timeout);
    const bool crc_error = HasAny(text, markers_.crc_error);
    if (!timeout && !crc_error) return;
    const auto address = LoggedAddress(text);
    if (!address) return;
    Entry* entry = Blame(*address, timeout, now_ms);
    MeterTally* tally = entry != nullptr ? &entry->tally : &unplaced_[*address];
    tally->address = *address;
    if (timeout) ++tally->timeouts;
    if (crc_error) ++tally->checksum_errors;
}

std::vector<MeterTally> MeterLedger::Tallies() const {
    std::vector<MeterTally> out;
    for (std::size_t port = 0; port < ports_.size(); ++port) {
        std::vector<std::uint8_t> addresses = active_;
        for (const auto& [key, entry] : entries_) {
            if (key.first == port && entry.tally.packets > 0) addresses.push_back(key.second);
        }
        std::sort(addresses.begin(), addresses.end());
        addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
        for (const std::uint8_t address : addresses) {
            const auto found = entries_.find({port, address});
            MeterTally tally;
            if (found != entries_.end()) {
                tally = found->second.tally;
            } else {
                tally.port = ports_[port];
                tally.address = address;
                tally.configured = true;
            }
            if (!writes_known_) {
                tally.requests.reset();
            } else if (!tally.requests) {
                tally.requests = 0;
            }
            out.push_back(std::move(tally));
        }
    }
    for (const auto& [address, tally] : unplaced_) {
        MeterTally copy = tally;
        copy.configured = std::find(active_.begin(), active_.end(), address) != active_.end();
        out.push_back(std::move(copy));
    }
    return out;
}

std::size_t MeterLedger::Configured() const { return ports_.size() * active_.size(); }

std::size_t MeterLedger::Heard() const {
    std::size_t heard = 0;
    for (const auto& [key, entry] : entries_) {
        if (entry.tally.configured && entry.tally.packets > 0) ++heard;
    }
    return heard;
}

}  // namespace zol::hostsim
