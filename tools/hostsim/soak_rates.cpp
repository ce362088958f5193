#include "hostsim/soak_rates.h"

#include <algorithm>

#include "kmp/kmp_frame.h"

namespace zol::hostsim {

void LineRates::Judge(std::uint8_t address, std::uint32_t cron_ms) {
    judged_[address].cron_ms = cron_ms;
}

void LineRates::Requests(std::uint8_t address, std::uint32_t count, std::uint32_t cron_ms) {
    requests_per_meter_[address] = {count, cron_ms};
}

void LineRates::Watch(std::uint8_t address) { watched_[address].address = address; }

void LineRates::Block(std::optional<std::uint8_t> meter, std::uint64_t from, std::uint64_t to) {
    (meter ? meter_blocks_[*meter] : line_blocks_).push_back({from, to});
}

void LineRates::EndBlock(std::optional<std::uint8_t> meter, std::uint64_t from, std::uint64_t to) {
    auto& blocks = meter ? meter_blocks_[*meter] : line_blocks_;
    for (auto it = blocks.rbegin(); it != blocks.rend(); ++it) {
        if (it->to == kOpen && it->from == from) {
            it->to = std::max(to, it->from);
            return;
        }
    }
}

void LineRates::Restart(std::uint64_t when, bool gap) {
    holds_.push_back({when, gap ? kOpen : when, true});
}

void LineRates::Hold(std::uint64_t from, std::uint64_t until) {
    holds_.push_back({from, until, false});
}

void LineRates::Add(const LineRequest& request) {
    std::optional<std::uint64_t> restarted;
    while (!holds_.empty() && holds_.front().from <= request.received_ms) {
        const Held held = holds_.front();
        holds_.pop_front();
        if (held.restart) restarted = held.from;
        // The line stays idle until the plug-in has its requests again.
        line_blocks_.push_back({held.from, std::min(held.until, request.received_ms)});
    }
    if (pending_) {
        const LineRequest& before = pending_->request;
        const std::uint64_t busy_end = std::max(
            before.received_ms, std::min(request.received_ms, before.end_ms + settings_.slack_ms));
        Count(before.received_ms, busy_end, &*pending_);
        Count(busy_end, request.received_ms, nullptr);
    } else {
        Count(0, request.received_ms, nullptr);
    }
    if (restarted) {
        // Every request is due at once after a fresh start.
        for (auto& [meter, account] : judged_) {
            account.due = *restarted;
            account.served.clear();
        }
    }

    // An identification counts towards a reading only when its attempt ends in one; any other
    // meter's request, or a new identification, ends the attempt.
    for (auto& [meter, account] : judged_) {
        if (meter != request.to || request.cid == kmp::CidGetType) account.provisional_ms = 0;
    }
    if (const auto own = judged_.find(request.to);
        own != judged_.end() && request.cid == kmp::CidGetRegister) {
        Account& account = own->second;
        if (request.reading) {
            account.usable_ms += account.provisional_ms;
            account.waited_ms += account.provisional_ms;
        }
        account.provisional_ms = 0;
    }

    // A trigger's attempts are the requests to one meter with nothing else between, up to a
    // register answer in time. An attempt begins with a type request, or with a register request
    // that does not follow an identification and comes first or after the previous attempt timed
    // out (a meter still identified is asked for its registers at once). A register request sent
    // again at once, or a serial-number request after one, is a late answer of the meter taken for
    // the awaited one: the same attempt.
    if (restarted || run_.over || request.to != run_.to) {
        EndRun();
        StartRun(request);
    }
    const bool opens =
        request.cid == kmp::CidGetType ||
        (request.cid == kmp::CidGetRegister && !run_.identifying &&
         (run_.requests == 0 || request.received_ms >= run_.last + settings_.timeout_ms / 2));
    ++run_.requests;
    run_.last = request.received_ms;
    run_.identifying = request.cid == kmp::CidGetType || request.cid == kmp::CidGetSerialNo;
    if (opens) {
        ++run_.attempts;
        // Each attempt sent restarts the meter's poll interval.
        const auto judged = judged_.find(request.to);
        if (judged != judged_.end()) judged->second.due = request.received_ms + settings_.poll_ms;
    }
    // A register answer in time ends the trigger; a reading taken from a late answer does not:
    // the plug-in has retried by then.
    if (request.cid == kmp::CidGetRegister && request.productive) run_.over = true;

    if (request.reading) {
        const auto judged = judged_.find(request.to);
        if (judged != judged_.end() && request.received_ms >= settings_.span_from &&
            request.received_ms < settings_.span_to && !Blocked(request.to, request.received_ms)) {
            Account& account = judged->second;
            ++account.readings;
            if (account.waited_ms > account.longest_wait_ms) {
                account.longest_wait_ms = account.waited_ms;
                account.longest_wait_end = request.received_ms;
            }
            account.waited_ms = 0;
        }
    }
    // A meter read by several requests may have one trigger of each in a row.
    const auto requests = requests_per_meter_.find(request.to);
    const std::uint32_t triggers =
        requests == requests_per_meter_.end() ? 1 : requests->second.count;
    pending_ = Pending{request, run_.attempts > settings_.max_retries * triggers, run_.ahead_of};

    // What ended before this request is counted and no longer needed.
    const auto old = [&](const Window& w) { return w.to < request.received_ms; };
    std::erase_if(line_blocks_, old);
    for (auto& [meter, blocks] : meter_blocks_) std::erase_if(blocks, old);
}

void LineRates::Finish() {
    std::uint64_t idle_from = 0;
    if (pending_) {
        const LineRequest& last = pending_->request;
        idle_from = std::max(last.received_ms, last.end_ms + settings_.slack_ms);
        Count(last.received_ms, idle_from, &*pending_);
        pending_.reset();
    }
    for (const auto& held : holds_) line_blocks_.push_back({held.from, held.until});
    holds_.clear();
    Count(idle_from, settings_.span_to, nullptr);
    EndRun();
    run_ = Run{};
}

// A new trigger of a meter: which judged meters, due by now, it rightly goes before.
void LineRates::StartRun(const LineRequest& request) {
    run_ = Run{request.to, 0, 0, request.received_ms, request.received_ms, false, false, {}};
    for (auto& [meter, account] : judged_) {
        if (meter == request.to) {
            account.served.clear();  // its own turn came
            continue;
        }
        bool ahead = !account.due || request.received_ms < *account.due;
        if (!ahead) {
            // One trigger of each of its requests, and one more each time its cron request
            // fired again while the meter waited.
            const auto found = requests_per_meter_.find(request.to);
            const MeterRequests requests =
                found == requests_per_meter_.end() ? MeterRequests{} : found->second;
            std::uint32_t turns = requests.count;
            if (requests.cron_ms > 0) {
                turns += static_cast<std::uint32_t>((request.received_ms - *account.due) /
                                                    requests.cron_ms);
            }
            std::uint32_t& served = account.served[request.to];
            ahead = served < turns;
            if (ahead) ++served;
        }
        if (ahead) run_.ahead_of.push_back(meter);
    }
}

void LineRates::EndRun() {
    if (run_.requests == 0) return;
    const auto found = watched_.find(run_.to);
    if (found == watched_.end()) return;
    MeterAttempts& meter = found->second;
    ++meter.triggers;
    meter.most_requests = std::max(meter.most_requests, run_.requests);
    if (run_.attempts > meter.most_attempts) {
        meter.most_attempts = run_.attempts;
        meter.worst_at = run_.began;
    }
}

// The time from `from` to `to`, either idle (no `busy` request) or the exchange of `busy`,
// counted for every judged meter that could have been read in it.
void LineRates::Count(std::uint64_t from, std::uint64_t to, const Pending* busy) {
    if (to <= from) return;
    for (auto& [meter, account] : judged_) {
        if (busy != nullptr && busy->request.to == meter && busy->request.productive &&
            busy->request.cid != kmp::CidGetRegister) {
            account.provisional_ms += Usable(meter, from, to);
        } else if (busy == nullptr || (busy->request.to == meter && busy->request.productive) ||
                   (busy->request.to != meter && busy->excess)) {
            Credit(account, meter, from, to);
        } else if (busy->request.to != meter) {
            // Another meter's exchange within its attempts: usable until the meter fell due,
            // and after that too unless that trigger rightly went first.
            const std::uint64_t due = std::clamp(account.due.value_or(0), from, to);
            Credit(account, meter, from, due);
            const auto& ahead = busy->ahead_of;
            if (std::find(ahead.begin(), ahead.end(), meter) == ahead.end()) {
                Credit(account, meter, due, to);
            }
        }
    }
}

void LineRates::Credit(Account& account, std::uint8_t meter, std::uint64_t from, std::uint64_t to) {
    const double usable = Usable(meter, from, to);
    account.usable_ms += usable;
    account.waited_ms += usable;
}

double LineRates::Usable(std::uint8_t meter, std::uint64_t from, std::uint64_t to) const {
    from = std::max(from, settings_.span_from);
    to = std::min(to, settings_.span_to);
    if (to <= from) return 0;
    std::vector<Window> covering;
    const auto take = [&](const std::vector<Window>& blocks) {
        for (const auto& w : blocks) {
            if (w.to > from && w.from < to) {
                covering.push_back({std::max(w.from, from), std::min(w.to, to)});
            }
        }
    };
    take(line_blocks_);
    if (const auto found = meter_blocks_.find(meter); found != meter_blocks_.end()) {
        take(found->second);
    }
    std::sort(covering.begin(), covering.end(),
              [](const Window& a, const Window& b) { return a.from < b.from; });
    std::uint64_t covered = 0, reach = from;
    for (const auto& w : covering) {
        if (w.to <= reach) continue;
        covered += w.to - std::max(w.from, reach);
        reach = w.to;
    }
    return static_cast<double>(to - from - covered);
}

bool LineRates::Blocked(std::uint8_t meter, std::uint64_t when) const {
    const auto inside = [&](const Window& w) { return when >= w.from && when < w.to; };
    if (std::any_of(line_blocks_.begin(), line_blocks_.end(), inside)) return true;
    const auto found = meter_blocks_.find(meter);
    return found != meter_blocks_.end() &&
           std::any_of(found->second.begin(), found->second.end(), inside);
}

std::vector<LineRates::MeterRate> LineRates::Rates() const {
    std::vector<MeterRate> rates;
    for (const auto& [meter, account] : judged_) {
        double per_ms = 1.0 / static_cast<double>(settings_.poll_ms + settings_.tick_ms);
        if (account.cron_ms > 0) per_ms += 1.0 / static_cast<double>(account.cron_ms);
        MeterRate rate{meter,
                       account.readings,
                       account.usable_ms,
                       account.usable_ms * per_ms,
                       account.longest_wait_ms,
                       account.longest_wait_end};
        if (account.waited_ms > rate.longest_wait_ms) {
            rate.longest_wait_ms = account.waited_ms;
            rate.longest_wait_end = settings_.span_to;
        }
        rates.push_back(rate);
    }
    return rates;
}

std::vector<LineRates::MeterAttempts> LineRates::Attempts() const {
    std::vector<MeterAttempts> attempts;
    for (const auto& [meter, counted] : watched_) attempts.push_back(counted);
    return attempts;
}

void TrendFit::Add(double x, double y) {
    if (count_ == 0) first_x_ = x;
    last_x_ = x;
    ++count_;
    // Running means and co-moments (Welford): no sums of large squares to lose precision in.
    const double dx = x - mean_x_;
    mean_x_ += dx / static_cast<double>(count_);
    mean_y_ += (y - mean_y_) / static_cast<double>(count_);
    spread_x_ += dx * (x - mean_x_);
    co_spread_ += dx * (y - mean_y_);
}

double MemorySlopeLimit(double span_hours) {
    if (span_hours >= 1) return kMemorySlopeLimitKiBPerHour;
    if (span_hours <= 0) return std::numeric_limits<double>::infinity();
    return std::max(kMemorySlopeLimitKiBPerHour, kShortRunRiseKiB / span_hours);
}

}  // namespace zol::hostsim
