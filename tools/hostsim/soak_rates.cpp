#include "hostsim/soak_rates.h"

#include <algorithm>

#include "kmp/kmp_frame.h"

namespace zol::hostsim {

void LineRates::Judge(std::uint8_t address, std::uint32_t cron_ms) {
    judged_[address].cron_ms = cron_ms;
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

void LineRates::Restart(std::uint64_t when, bool gap) { restarts_.emplace_back(when, gap); }

void LineRates::Add(const LineRequest& request) {
    bool restarted = false;
    while (!restarts_.empty() && restarts_.front().first <= request.received_ms) {
        const auto [when, gap] = restarts_.front();
        restarts_.pop_front();
        restarted = true;
        // The line stays idle until the plug-in has its requests again.
        if (gap) line_blocks_.push_back({when, request.received_ms});
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

    // A trigger's attempts are the requests to one meter with nothing else between, up to a
    // reading. An attempt begins with a type request, or with the first request of the trigger
    // that is not one (a meter still identified is asked for its registers at once).
    if (restarted || run_.over || request.to != run_.to) {
        EndRun();
        run_ = Run{request.to, 0, 0, request.received_ms, false, false};
    }
    ++run_.requests;
    if (request.cid == kmp::CidGetType) {
        ++run_.attempts;
        run_.identifying = true;
    } else if (request.cid == kmp::CidGetSerialNo) {
        if (!run_.identifying) ++run_.attempts;
        run_.identifying = true;
    } else {
        if (!run_.identifying) ++run_.attempts;
        run_.identifying = false;
    }
    if (request.reading) run_.over = true;

    if (request.reading) {
        const auto judged = judged_.find(request.to);
        if (judged != judged_.end() && request.received_ms >= settings_.span_from &&
            request.received_ms < settings_.span_to && !Blocked(request.to, request.received_ms)) {
            ++judged->second.readings;
        }
    }
    pending_ = Pending{request, run_.attempts > settings_.max_retries};

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
    for (const auto& [when, gap] : restarts_) {
        if (gap) line_blocks_.push_back({when, kOpen});
    }
    restarts_.clear();
    Count(idle_from, settings_.span_to, nullptr);
    EndRun();
    run_ = Run{};
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
        const bool usable = busy == nullptr ||
                            (busy->request.to == meter ? busy->request.productive : busy->excess);
        if (usable) account.usable_ms += Usable(meter, from, to);
    }
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
        rates.push_back({meter, account.readings, account.usable_ms, account.usable_ms * per_ms});
    }
    return rates;
}

std::vector<LineRates::MeterAttempts> LineRates::Attempts() const {
    std::vector<MeterAttempts> attempts;
    for (const auto& [meter, counted] : watched_) attempts.push_back(counted);
    return attempts;
}

}  // namespace zol::hostsim
