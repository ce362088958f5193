#include "hostsim/line_use.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "common/json_write.h"
#include "hostsim/meter_verdict.h"
#include "kmp/request_config.h"

namespace zol::hostsim {

namespace {

using Json = nlohmann::ordered_json;

// The value at `share` of sorted samples, by nearest rank.
double Rank(const std::vector<float>& sorted, double share) {
    if (sorted.empty()) return 0;
    const auto rank =
        static_cast<std::size_t>(std::ceil(share * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

std::string Fixed(double value, int decimals) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Rounded for the JSON: places finer than the host's clock tells apart are noise.
double Rounded(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

}  // namespace

LineTiming PortLineTiming(std::string_view connection, std::uint32_t baud) {
    LineTiming timing;
    timing.baud = baud;
    constexpr std::string_view kSim = "sim:", kBaud = "baud=";
    if (connection.substr(0, kSim.size()) != kSim) return timing;
    timing.paced = false;
    for (auto at = connection.find(kBaud); at != std::string_view::npos;
         at = connection.find(kBaud, at + 1)) {
        // An option of a meter ("63/baud=1200") or an item of the line ("63,baud=1200").
        if (at > 0 && std::string_view("/,:").find(connection[at - 1]) == std::string_view::npos) {
            continue;
        }
        std::uint32_t value = 0;
        std::size_t i = at + kBaud.size();
        for (; i < connection.size() && connection[i] >= '0' && connection[i] <= '9' &&
               value < 10000000;
             ++i) {
            value = value * 10 + static_cast<std::uint32_t>(connection[i] - '0');
        }
        if (value == 0) continue;
        timing.baud = value;
        timing.paced = true;
        break;
    }
    return timing;
}

std::map<std::uint8_t, std::uint32_t> PollIntervals(std::string_view options_text) {
    std::map<std::uint8_t, std::uint32_t> intervals;
    ForEachEnabledRequest(options_text, [&intervals](const kmp::TRequestItem& request) {
        if (request.Method != parser::TRequestMethod::rmPoll || request.PollInterval <= 0) return;
        const auto interval = static_cast<std::uint32_t>(request.PollInterval);
        const auto [at, added] = intervals.emplace(request.Parameters.Address, interval);
        if (!added) at->second = std::min(at->second, interval);
    });
    return intervals;
}

LineUse::LineUse(LineTiming timing, std::map<std::uint8_t, std::uint32_t> poll_intervals)
    : timing_(std::move(timing)), poll_intervals_(std::move(poll_intervals)) {}

void LineUse::AddBusy(double from_ms, double to_ms) {
    from_ms = std::max(from_ms, 0.0);
    while (from_ms < to_ms) {
        const auto second = static_cast<std::size_t>(from_ms / 1000);
        if (busy_per_second_.size() <= second) busy_per_second_.resize(second + 1, 0);
        const double end = std::min(to_ms, static_cast<double>(second + 1) * 1000);
        busy_per_second_[second] += end - from_ms;
        from_ms = end;
    }
}

void LineUse::Written(double at_ms, std::span<const std::uint8_t> bytes) {
    if (last_write_ms_ && last_received_ms_ && *last_received_ms_ >= *last_write_ms_ &&
        bytes.size() > 1) {
        // A reply came since the last write: was this request waiting when it ended?
        const auto interval = poll_intervals_.find(bytes[1]);
        const auto sent = last_sent_.find(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
        if (interval != poll_intervals_.end() && sent != last_sent_.end() &&
            sent->second + interval->second <= *last_received_ms_) {
            turnarounds_ms_.push_back(static_cast<float>(at_ms - *last_received_ms_));
        }
    }
    last_write_ms_ = at_ms;
    last_sent_[std::vector<std::uint8_t>(bytes.begin(), bytes.end())] = at_ms;
    bytes_written_ += bytes.size();
    AddBusy(at_ms, at_ms + static_cast<double>(bytes.size()) * timing_.ByteMs());
}

void LineUse::Received(double at_ms, std::size_t count) {
    if (count == 0) return;
    last_received_ms_ = at_ms;
    bytes_received_ += count;
    AddBusy(at_ms - static_cast<double>(count) * timing_.ByteMs(), at_ms);
}

LineUseFigures LineUse::Figures(double run_ms, std::size_t max_points) const {
    LineUseFigures out;
    out.timing = timing_;
    out.run_ms = run_ms;
    out.bytes_written = bytes_written_;
    out.bytes_received = bytes_received_;
    out.busy_ms = static_cast<double>(bytes_written_ + bytes_received_) * timing_.ByteMs();
    out.busy_share = run_ms > 0 ? out.busy_ms / run_ms : 0;
    std::vector<float> sorted = turnarounds_ms_;
    std::sort(sorted.begin(), sorted.end());
    out.turnarounds = static_cast<std::uint32_t>(sorted.size());
    out.median_ms = Rank(sorted, 0.5);
    out.p99_ms = Rank(sorted, 0.99);
    out.max_ms = sorted.empty() ? 0 : sorted.back();
    out.turnaround_bins.assign(kTurnaroundBins, 0);
    for (const float ms : sorted) {
        const auto bin = static_cast<std::size_t>(
            std::lower_bound(std::begin(kTurnaroundBinsMs), std::end(kTurnaroundBinsMs), ms) -
            std::begin(kTurnaroundBinsMs));
        ++out.turnaround_bins[bin];
    }
    // Whole seconds to a stretch, as few as keep the points within `max_points`.
    const auto seconds = static_cast<std::size_t>(std::ceil(std::max(run_ms, 0.0) / 1000));
    const std::size_t per =
        std::max<std::size_t>(1, (seconds + max_points - 1) / std::max<std::size_t>(max_points, 1));
    out.interval_s = static_cast<double>(per);
    for (std::size_t first = 0; first < seconds; first += per) {
        double busy = 0;
        for (std::size_t s = first; s < first + per && s < busy_per_second_.size(); ++s) {
            busy += busy_per_second_[s];
        }
        const double span = std::min(static_cast<double>(first + per) * 1000, run_ms) -
                            static_cast<double>(first) * 1000;
        out.busy_over_time.push_back(span > 0 ? busy / span : 0);
    }
    return out;
}

std::string LineUseLine(const LineUseFigures& f) {
    const std::string line_text =
        std::to_string(f.timing.baud) + " baud " + f.timing.framing +
        (f.timing.paced ? std::string() : "; not paced: its bytes at that speed");
    std::string text = "line " + f.port + ": busy " + Fixed(f.busy_share * 100, 1) + "% of " +
                       Fixed(f.run_ms / 1000, 1) + " s (" + line_text + "); ";
    if (f.turnarounds == 0) return text + "turnaround: no reply was followed by a waiting request";
    return text + "turnaround median " + Fixed(f.median_ms, 1) + " ms, 99th percentile " +
           Fixed(f.p99_ms, 1) + " ms, max " + Fixed(f.max_ms, 1) + " ms (" +
           std::to_string(f.turnarounds) + (f.turnarounds == 1 ? " reply)" : " replies)");
}

std::string LineUseJson(const LineUseFigures& f) {
    Json over_time = Json::array();
    for (const double share : f.busy_over_time) over_time.push_back(Rounded(share, 4));
    Json use = {
        {"port", f.port},
        {"source", f.source},
        {"baud", f.timing.baud},
        {"framing", f.timing.framing},
        {"bits_per_byte", f.timing.bits_per_byte},
        {"paced", f.timing.paced},
        {"seconds", Rounded(f.run_ms / 1000, 3)},
        {"bytes_written", f.bytes_written},
        {"bytes_received", f.bytes_received},
        {"busy_ms", Rounded(f.busy_ms, 1)},
        {"busy_share", Rounded(f.busy_share, 4)},
        {"turnarounds", f.turnarounds},
        {"turnaround_median_ms", Rounded(f.median_ms, 2)},
        {"turnaround_p99_ms", Rounded(f.p99_ms, 2)},
        {"turnaround_max_ms", Rounded(f.max_ms, 2)},
        {"turnaround_bins", f.turnaround_bins},
        {"interval_s", f.interval_s},
        {"busy_over_time", over_time},
    };
    return tools::JsonText(Json{{"line_use", use}});
}

std::optional<LineUseFigures> ParseLineUseJson(std::string_view line) {
    // A saved run is outside input: anything missing or of the wrong kind is no such line.
    try {
        const Json document = Json::parse(line, nullptr, /*allow_exceptions=*/false);
        if (!document.is_object() || !document.contains("line_use")) return std::nullopt;
        const Json& use = document.at("line_use");
        if (!use.is_object() || !use.value("port", Json()).is_string()) return std::nullopt;
        LineUseFigures f;
        f.port = use.at("port").get<std::string>();
        f.source = use.value("source", 0);
        f.timing.baud = use.value("baud", 0u);
        f.timing.framing = use.value("framing", std::string());
        f.timing.bits_per_byte = use.value("bits_per_byte", 0u);
        f.timing.paced = use.value("paced", false);
        f.run_ms = use.value("seconds", 0.0) * 1000;
        f.bytes_written = use.value("bytes_written", std::uint64_t{0});
        f.bytes_received = use.value("bytes_received", std::uint64_t{0});
        f.busy_ms = use.value("busy_ms", 0.0);
        f.busy_share = use.value("busy_share", 0.0);
        f.turnarounds = use.value("turnarounds", 0u);
        f.median_ms = use.value("turnaround_median_ms", 0.0);
        f.p99_ms = use.value("turnaround_p99_ms", 0.0);
        f.max_ms = use.value("turnaround_max_ms", 0.0);
        f.turnaround_bins = use.value("turnaround_bins", std::vector<std::uint32_t>());
        f.turnaround_bins.resize(kTurnaroundBins, 0);
        f.interval_s = use.value("interval_s", 1.0);
        f.busy_over_time = use.value("busy_over_time", std::vector<double>());
        return f;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace zol::hostsim
