#include "hostsim/soak_checker.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <span>
#include <variant>

#include "kmp/kmp_frame.h"
#include "kmp/kmp_registers.h"
#include "kmp/kmp_value.h"

namespace zol::hostsim {

using namespace soak;

namespace {

std::optional<double> AsNumber(const kmp::RegisterValue& value) {
    return std::visit(
        [](const auto& v) -> std::optional<double> {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_arithmetic_v<T>) {
                return static_cast<double>(v);
            } else {
                return std::nullopt;
            }
        },
        value);
}

// The packet's values `a` against the reply's `b`: all of them, or (`part`) some of them in the
// reply's order.
bool SameValues(const std::vector<double>& a, const std::vector<double>& b, bool part) {
    const auto same = [](double x, double y) {
        if (std::isnan(x) || std::isnan(y)) return std::isnan(x) && std::isnan(y);
        return std::fabs(x - y) <= 1e-9 * std::max(1.0, std::fabs(y));
    };
    if (!part) return std::equal(a.begin(), a.end(), b.begin(), b.end(), same);
    std::size_t j = 0;
    for (double x : a) {
        while (j < b.size() && !same(x, b[j])) ++j;
        if (j == b.size()) return false;
        ++j;
    }
    return true;
}

// Not handed to the host within half the timeout (or not at all).
bool IsLate(const LedgerEntry& entry) {
    return !entry.delivered_ms || *entry.delivered_ms - entry.reply.received_ms >= kInTimeMs;
}

// An answer a meter gave to a request for another address (an impostor's).
bool IsStray(const LedgerEntry& entry) {
    return entry.reply.request_address != entry.reply.address;
}

// A late second copy of an identification reply: no request of the line belongs to it.
bool IsCopy(const LedgerEntry& entry) { return entry.reply.copy; }

// A reply that answers another command than the one asked (a serial number for registers).
bool AnswersOtherCommand(const LedgerEntry& entry) {
    return entry.reply.body.size() >= 2 && entry.reply.body[1] != entry.reply.cid;
}

// A type word as the plug-in writes DEVICE_TYPE: four upper-case hexadecimal digits.
std::string TypeText(std::uint16_t type) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(type));
    return text;
}

std::string ListText(const std::vector<double>& values) {
    std::string text;
    for (double v : values) {
        char number[32];
        std::snprintf(number, sizeof(number), "%s%g", text.empty() ? "" : " ", v);
        text += number;
    }
    return text;
}

}  // namespace

LedgerEntry MakeEntry(const metersim::SimReply& reply) {
    LedgerEntry entry{reply, std::nullopt, {}, 0, 0, std::nullopt, {}};
    // Only a register reply to a register request carries values (a meter may answer a register
    // request with something else).
    if (reply.silent || reply.cid != kmp::CidGetRegister || reply.body.size() < 4 ||
        reply.body[1] != kmp::CidGetRegister) {
        return entry;
    }
    std::span<const std::uint8_t> data(reply.body.data() + 2, reply.body.size() - 4);
    while (auto block = kmp::ReadRegisterBlock(data)) {
        const auto number = AsNumber(kmp::DecodeRegisterValue(block->value, block->sign_exponent));
        entry.values.push_back(number.value_or(std::nan("")));
        if (block->id == kCounterRegister) entry.counter = kmp::RawMantissa(block->value);
    }
    return entry;
}

SoakChecker::SoakChecker(std::uint64_t start, std::uint64_t end,
                         std::vector<std::vector<SoakMeter>> lines)
    : start_(start), end_(end), meters_(std::move(lines)), lines_(meters_.size()) {
    const RateSettings settings{start + kRateFromMs, end - kEndGraceMs, kPollMs,   kTickMs,
                                kTickMs * 2,         kMaxRetries,       kTimeoutMs};
    for (const auto& meters : meters_) {
        LineRates& rates = rates_.emplace_back(settings);
        for (const SoakMeter& meter : meters) {
            if (meter.judged) {
                rates.Judge(meter.address, meter.cron_ms);
                // A meter read by cron too has two requests a neighbour may wait for.
                if (meter.cron_ms > 0) rates.Requests(meter.address, 2, meter.cron_ms);
            }
            if (meter.watched) rates.Watch(meter.address);
        }
    }
}

void SoakChecker::AddEntries(int port, std::vector<LedgerEntry> entries) {
    Line& line = lines_[port];
    for (auto& entry : entries) {
        const auto& r = entry.reply;
        if (IsCopy(entry)) {
            // Kept for the timeline of deliveries only: it answers no request.
            ++late_copies;
            line.entries.push_back(std::move(entry));
            line.by_seq[line.entries.back().seq] = &line.entries.back();
            continue;
        }
        for (auto& spell : spells_) {
            if (spell.port != port || spell.address != r.address) continue;
            if (r.silent && r.received_ms >= spell.from && r.received_ms <= spell.to) {
                spell.polled = true;
            } else if (spell.to != kOpen && r.received_ms >= spell.to && !spell.next_cid) {
                spell.next_cid = r.cid;
            }
        }
        // Silent requests stay in the ledger too: the line's timeline needs every request.
        if (IsStray(entry)) ++strays;
        if (AnswersOtherCommand(entry)) ++other_answers;
        if (r.silent) {
            ++silent_requests;
        } else {
            ++replies;
            if (r.corrupt) ++damaged;
        }
        line.entries.push_back(std::move(entry));
        LedgerEntry& kept = line.entries.back();
        line.by_seq[kept.seq] = &kept;
        if (kept.counter) line.by_counter[{r.address, *kept.counter}] = &kept;
    }
}

void SoakChecker::AddDelivered(int port, std::uint64_t seq, std::uint64_t when) {
    Line& line = lines_[port];
    const auto found = line.by_seq.find(seq);
    if (found == line.by_seq.end()) return;
    LedgerEntry& entry = *found->second;
    entry.delivered_ms = when;
    if (IsCopy(entry)) {
        // Neither late nor another meter's: a copy the plug-in must see through.
    } else if (IsStray(entry)) {
        line.strays.emplace_back(entry.reply.address, when);
    } else if (IsLate(entry)) {
        ++late;
        line.late_due.push_back(when);
    }
    for (const auto& values : entry.unchecked) CheckValues(port, entry, values);
    entry.unchecked.clear();
    // An answer the meter sent before a silent spell began, reaching the plug-in during it,
    // may identify the meter again by itself.
    for (auto& spell : spells_) {
        if (spell.port == port && spell.address == entry.reply.address &&
            entry.reply.received_ms < spell.from && when >= spell.from &&
            (spell.to == kOpen || when <= spell.to + kTimeoutMs)) {
            spell.answered_across = true;
        }
    }
}

void SoakChecker::AddPacket(const SeenPacket& seen) {
    ++packets;
    Line* line = seen.port >= 0 && static_cast<std::size_t>(seen.port) < lines_.size()
                     ? &lines_[static_cast<std::size_t>(seen.port)]
                     : nullptr;
    LedgerEntry* entry = nullptr;
    if (line != nullptr && seen.counter) {
        const auto found = line->by_counter.find({seen.address, *seen.counter});
        if (found != line->by_counter.end()) entry = found->second;
    }
    const std::string where =
        std::to_string(seen.address) + " on port " + std::to_string(seen.port + 1);
    if (entry == nullptr) {
        // Another meter's registers under this one's DEVICE_ID are worse than values from
        // nowhere: the host files them under the wrong meter.
        if (const LedgerEntry* owner = line != nullptr ? OwnerOfValues(*line, seen) : nullptr) {
            ++identities_checked;
            ++identities_wrong;
            Violation("the packet of " + where + " carries the registers of meter " +
                      std::to_string(owner->reply.address) + " (counter " +
                      std::to_string(*seen.counter) + "): its DEVICE_ID names another meter");
            return;
        }
        Violation("a packet from " + where + " matches no reply the meter sent");
        return;
    }
    const std::string which = where + " with counter " + std::to_string(*seen.counter);
    CheckIdentity(seen, entry->reply.address, which);
    if (++entry->packets == 2) Violation("the reply of " + which + " was delivered twice");
    if (entry->reply.corrupt) Violation("a damaged reply of " + which + " was delivered");
    // The packet may come before the line says when the plug-in was through with it.
    if (!entry->delivered_ms) {
        entry->unchecked.push_back(seen.values);
    } else {
        CheckValues(seen.port, *entry, seen.values);
    }
}

const SoakMeter* SoakChecker::FindMeter(int port, std::uint8_t address) const {
    if (port < 0 || static_cast<std::size_t>(port) >= meters_.size()) return nullptr;
    for (const SoakMeter& meter : meters_[static_cast<std::size_t>(port)]) {
        if (meter.address == address) return &meter;
    }
    return nullptr;
}

const LedgerEntry* SoakChecker::OwnerOfValues(const Line& line, const SeenPacket& seen) const {
    if (!seen.counter) return nullptr;
    for (const LedgerEntry& entry : line.entries) {
        if (entry.reply.address != seen.address && entry.counter == seen.counter &&
            !entry.values.empty() && SameValues(seen.values, entry.values, true)) {
            return &entry;
        }
    }
    return nullptr;
}

void SoakChecker::CheckIdentity(const SeenPacket& seen, std::uint8_t address,
                                const std::string& which) {
    const SoakMeter* meter = FindMeter(seen.port, address);
    if (meter == nullptr) return;
    ++identities_checked;
    bool wrong = false;
    if (seen.serial_no && meter->serial == 0) {
        Violation("the packet of " + which + " carries SERIAL_NO; the meter's serial is 0");
        wrong = true;
    } else if (seen.serial_no && *seen.serial_no != meter->serial) {
        std::string named;
        for (const SoakMeter& other : meters_[static_cast<std::size_t>(seen.port)]) {
            if (other.serial == *seen.serial_no)
                named = ", meter " + std::to_string(other.address) + "'s";
        }
        Violation("the packet of " + which + " carries SERIAL_NO " +
                  std::to_string(*seen.serial_no) + named + "; its meter's is " +
                  std::to_string(meter->serial));
        wrong = true;
    }
    if (seen.device_type && *seen.device_type != TypeText(meter->type)) {
        Violation("the packet of " + which + " carries DEVICE_TYPE " + *seen.device_type +
                  "; its meter's is " + TypeText(meter->type));
        wrong = true;
    }
    if (wrong) ++identities_wrong;
}

void SoakChecker::CheckValues(int port, const LedgerEntry& entry,
                              const std::vector<double>& values) {
    // A late reply may be taken for the answer to a later request of the same meter; the
    // registers that request names are then read from it. The answer it displaced is then
    // read for the request after that, whatever that one names.
    const bool late_reply = IsLate(entry);
    const bool stray = IsStray(entry);
    if (!SameValues(values, entry.values, late_reply || stray || Crossed(lines_[port], entry))) {
        Violation("the packet of " + std::to_string(entry.reply.address) + " on port " +
                  std::to_string(port + 1) + " with counter " +
                  std::to_string(entry.counter.value_or(0)) + " carries " + ListText(values) +
                  (late_reply ? ", the late reply " : ", the reply ") + ListText(entry.values) +
                  History(port, entry));
    }
    ++(stray ? packets_from_strays : late_reply ? packets_from_late : packets_in_time);
}

std::string SoakChecker::History(int port, const LedgerEntry& entry) const {
    std::string text;
    for (const auto& other : lines_[port].entries) {
        const auto& o = other.reply;
        if (o.received_ms + 2000 < entry.reply.received_ms ||
            o.received_ms > entry.reply.received_ms + 1000) {
            continue;
        }
        char line[160];
        std::snprintf(
            line, sizeof(line), "\n  %s%+lld ms: %u CID %u, %zu values%s, handled %s",
            &other == &entry ? "> " : "  ",
            static_cast<long long>(o.received_ms) - static_cast<long long>(entry.reply.received_ms),
            o.address, o.cid, other.values.size(),
            o.silent                     ? " (silent)"
            : IsCopy(other)              ? " (a late copy)"
            : IsStray(other)             ? " (answering another address)"
            : AnswersOtherCommand(other) ? " (answering another command)"
            : o.corrupt                  ? " (damaged)"
                                         : "",
            other.delivered_ms
                ? std::to_string(*other.delivered_ms - o.received_ms).append(" ms later").c_str()
                : "not (yet)");
        text += line;
    }
    return text;
}

void SoakChecker::AddTimeoutLine(std::uint64_t when, std::string text) {
    timeouts_.emplace_back(when, std::move(text));
    ++timeouts_logged;
}

void SoakChecker::PortClosed(int port, std::uint64_t when) {
    lines_[port].closed.push_back({when, kOpen});
    rates_[port].Block(std::nullopt, when - kCloseGraceMs);
}

void SoakChecker::PortOpened(int port, std::uint64_t opened, std::uint64_t when) {
    if (lines_[port].closed.empty()) return;
    Window& closed = lines_[port].closed.back();
    closed.to = when;
    rates_[port].EndBlock(std::nullopt, closed.from - kCloseGraceMs, when + kCloseGraceMs);
    rates_[port].Restart(opened, false);
}

void SoakChecker::Refusing(int port, std::uint64_t from, std::optional<std::uint64_t> to,
                           std::uint64_t last) {
    if (!to) {
        rates_[port].Block(std::nullopt, from);
    } else {
        rates_[port].EndBlock(std::nullopt, from, *to);
        rates_[port].Hold(*to, std::max(*to, last + kRefusedPauseMs + 2 * kTickMs));
    }
}

void SoakChecker::MeterUnable(int port, std::uint8_t address, std::uint64_t from,
                              std::optional<std::uint64_t> to) {
    if (!to) {
        rates_[port].Block(address, from);
    } else {
        rates_[port].EndBlock(address, from, *to);
    }
}

void SoakChecker::HostHung(std::uint64_t from, std::uint64_t to, const std::string& text) {
    ++host_hangs;
    Violation(text);
    for (auto& rates : rates_) rates.Block(std::nullopt, from, to);
}

void SoakChecker::Reloaded(std::uint64_t when) {
    for (auto& rates : rates_) rates.Restart(when, true);
}

void SoakChecker::SpellStarted(int port, std::uint8_t address, std::uint64_t when) {
    spells_.push_back({port, address, when, kOpen, false, false, std::nullopt});
}

bool SoakChecker::SpellAsked(int port, std::uint8_t address) const {
    return std::any_of(spells_.begin(), spells_.end(), [&](const Spell& spell) {
        return spell.port == port && spell.address == address && spell.to == kOpen && spell.polled;
    });
}

void SoakChecker::SpellEnded(int port, std::uint8_t address, std::uint64_t when) {
    for (auto& spell : spells_) {
        if (spell.port == port && spell.address == address && spell.to == kOpen) spell.to = when;
    }
}

void SoakChecker::Settle(std::uint64_t now, bool final) {
    for (int p = 0; p < static_cast<int>(lines_.size()); ++p) {
        Line& line = lines_[p];
        while (!line.entries.empty() &&
               (final || line.entries.front().reply.due_ms + kSettleMs < now)) {
            const LedgerEntry& front = line.entries.front();
            AddToTimeline(p, front);
            Judge(p, front);
            if (front.counter) line.by_counter.erase({front.reply.address, *front.counter});
            line.by_seq.erase(front.seq);
            line.entries.pop_front();
        }
        const std::uint64_t horizon = now > kForgetMs ? now - kForgetMs : 0;
        while (!line.late_due.empty() && line.late_due.front() < horizon && !final) {
            line.late_due.pop_front();
        }
        while (!line.strays.empty() && line.strays.front().second < horizon && !final) {
            line.strays.pop_front();
        }
        std::erase_if(line.closed, [&](const Window& w) { return w.to < horizon; });
    }
    std::erase_if(spells_, [&](Spell& spell) {
        const bool over = spell.to != kOpen && (spell.next_cid || now > spell.to + kSettleMs);
        if (!over && !final) return false;
        JudgeSpell(spell);
        return true;
    });
    const std::uint64_t horizon = now > kForgetMs ? now - kForgetMs : 0;
    while (!timeouts_.empty() && timeouts_.front().first < horizon) timeouts_.pop_front();
}

std::vector<std::string> SoakChecker::JudgeRates() {
    std::vector<std::string> lines;
    for (int p = 0; p < static_cast<int>(lines_.size()); ++p) {
        rates_[p].Finish();
        std::string text = "soak: port " + std::to_string(p + 1) + " reading rates";
        for (const auto& rate : rates_[p].Rates()) {
            char item[160];
            const std::string where =
                std::to_string(rate.address) + " on port " + std::to_string(p + 1);
            // Too little usable time to tell a rate from chance.
            if (rate.allowed < kLeastAllowed) {
                std::snprintf(item, sizeof(item), " %u: not judged,", rate.address);
                text += item;
                continue;
            }
            const double share = static_cast<double>(rate.readings) / rate.allowed;
            std::snprintf(item, sizeof(item), " %u: %.0f%%,", rate.address, share * 100);
            text += item;
            ++rates_judged;
            if (share < kLeastRate) {
                std::snprintf(item, sizeof(item),
                              " was %.0f%% of what its line allowed (%llu readings, %.1f "
                              "allowed in %.1f s usable; at most %.1f s usable without a "
                              "reading, until %llu ms)",
                              share * 100, static_cast<unsigned long long>(rate.readings),
                              rate.allowed, rate.usable_ms / 1000.0, rate.longest_wait_ms / 1000.0,
                              static_cast<unsigned long long>(rate.longest_wait_end - start_));
                Violation("the reading rate of " + where + item);
            }
        }
        for (const auto& tried : rates_[p].Attempts()) {
            char item[200];
            const SoakMeter* misfit = FindMeter(p, tried.address);
            std::snprintf(item, sizeof(item),
                          " misfit %u (%s): at most %u attempts (%u requests) a trigger in %u",
                          tried.address, misfit != nullptr ? misfit->fault.c_str() : "",
                          tried.most_attempts, tried.most_requests, tried.triggers);
            text += item;
            if (tried.most_attempts > kMaxRetries) {
                std::snprintf(item, sizeof(item),
                              "%u on port %d was tried %u times (%u requests) for one trigger "
                              "from %llu ms; at most %u",
                              tried.address, p + 1, tried.most_attempts, tried.most_requests,
                              static_cast<unsigned long long>(tried.worst_at - start_),
                              kMaxRetries);
                Violation(item);
            } else if (tried.most_requests > kMostRequestsPerTrigger) {
                // Answers taken for a step of the identification keep one attempt going for
                // ever: the line is held as surely as by attempts without end.
                std::snprintf(item, sizeof(item),
                              "%u on port %d was sent %u requests in %u attempts for one trigger; "
                              "at most %u",
                              tried.address, p + 1, tried.most_requests, tried.most_attempts,
                              kMostRequestsPerTrigger);
                Violation(item);
            }
        }
        lines.push_back(std::move(text));
    }
    return lines;
}

void SoakChecker::Violation(std::string text) {
    ++violation_count;
    if (violations.size() < 20) {
        std::fprintf(stderr, "soak: %s\n", text.c_str());
        violations.push_back(std::move(text));
    }
}

bool SoakChecker::Crossed(const Line& line, const LedgerEntry& entry) {
    if (!entry.delivered_ms) return false;
    const auto close_by = [&](std::uint64_t due) {
        return due + 1000 >= entry.reply.received_ms && due <= *entry.delivered_ms + 100;
    };
    return std::any_of(line.late_due.begin(), line.late_due.end(), close_by) ||
           std::any_of(line.strays.begin(), line.strays.end(), [&](const auto& stray) {
               return stray.first == entry.reply.address && close_by(stray.second);
           });
}

void SoakChecker::AddToTimeline(int port, const LedgerEntry& entry) {
    const auto& r = entry.reply;
    if (IsStray(entry) || IsCopy(entry)) return;
    // An answer to another command is no answer: the plug-in waits on for the one it asked.
    const bool in_time = !r.silent && !r.corrupt && !AnswersOtherCommand(entry) &&
                         entry.delivered_ms && *entry.delivered_ms - r.received_ms < kTimeoutMs;
    LineRequest request;
    request.received_ms = r.received_ms;
    request.to = r.address;
    request.cid = r.cid;
    request.end_ms = in_time ? *entry.delivered_ms : r.received_ms + kTimeoutMs;
    request.reading = r.cid == kmp::CidGetRegister && entry.packets > 0;
    request.productive = in_time && (r.cid != kmp::CidGetRegister || request.reading);
    rates_[port].Add(request);
}

void SoakChecker::Judge(int port, const LedgerEntry& entry) {
    const auto& r = entry.reply;
    if (r.silent || r.corrupt || r.cid != kmp::CidGetRegister) return;
    // Not an answer the plug-in waited for: another meter's, a copy, or no register reply.
    if (IsStray(entry) || IsCopy(entry) || AnswersOtherCommand(entry)) return;
    if (!entry.delivered_ms) {
        ++excused;  // a closed port dropped it
        return;
    }
    if (IsLate(entry)) return;
    const std::uint64_t delivered = *entry.delivered_ms;
    const Line& line = lines_[port];
    const bool crossed = Crossed(line, entry);
    const bool near_close = std::any_of(line.closed.begin(), line.closed.end(), [&](auto& w) {
        return r.received_ms <= (w.to == kOpen ? w.to : w.to + kCloseGraceMs) &&
               delivered + kCloseGraceMs >= w.from;
    });
    if (crossed || near_close || delivered + kEndGraceMs > end_) {
        ++excused;
        return;
    }
    ++required;
    if (entry.packets == 0) {
        Violation("the reply of " + std::to_string(r.address) + " on port " +
                  std::to_string(port + 1) + " with counter " +
                  std::to_string(entry.counter.value_or(0)) + " handed over at " +
                  std::to_string(delivered - start_) + " ms was lost");
    }
}

void SoakChecker::JudgeSpell(const Spell& spell) {
    if (!spell.polled || !spell.next_cid) {
        ++(spell.polled ? spells_not_asked_after : spells_not_asked);
        return;
    }
    if (spell.answered_across) {
        ++spells_answered_across;
        return;
    }
    ++spells_checked;
    const std::string where =
        std::to_string(spell.address) + " on port " + std::to_string(spell.port + 1);
    const std::string tag = "[" + std::to_string(spell.address) + "/";
    const bool logged = std::any_of(timeouts_.begin(), timeouts_.end(), [&](const auto& t) {
        return t.first >= spell.from && t.first <= spell.to + 1500 &&
               t.second.find(tag) != std::string::npos;
    });
    if (!logged) Violation("no timeout was logged while " + where + " was silent");
    if (*spell.next_cid != kmp::CidGetType) {
        Violation("after its silence " + where + " was asked CID " +
                  std::to_string(*spell.next_cid) + " before it was identified again");
    }
}

}  // namespace zol::hostsim
