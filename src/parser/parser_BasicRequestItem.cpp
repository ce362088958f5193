#include "parser/parser_BasicRequestItem.h"

#include <algorithm>
#include <atomic>
#include <charconv>

namespace zol::parser {

namespace {

std::atomic<std::uint32_t> next_identity{1};

std::string_view Trim(std::string_view text) noexcept { return common::TrimControl(text); }

std::string LowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// A non-empty run of decimal digits that fits 32 bits; nothing otherwise (no sign).
std::optional<std::int32_t> NonNegativeInteger(std::string_view text) noexcept {
    if (text.empty()) return std::nullopt;
    std::int32_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value < 0) {
        return std::nullopt;
    }
    if (text.front() == '-' || text.front() == '+') return std::nullopt;
    return value;
}

// The part of `text` between `from` and the next ":" (or the end), trimmed; `from` moves behind
// the ":" (past the end when there is none).
std::string_view NextTimePart(std::string_view text, std::size_t& from) {
    if (from > text.size()) return {};
    const std::size_t colon = text.find(':', from);
    const std::size_t end = colon == std::string_view::npos ? text.size() : colon;
    std::string_view part = text.substr(from, end - from);
    from = colon == std::string_view::npos ? text.size() + 1 : colon + 1;
    return Trim(part);
}

}  // namespace

std::vector<std::string_view> CronFields(std::string_view cron) {
    constexpr std::string_view kBlanks = " \t";
    std::vector<std::string_view> fields;
    std::size_t start = cron.find_first_not_of(kBlanks);
    while (start != std::string_view::npos) {
        const std::size_t end = cron.find_first_of(kBlanks, start);
        fields.push_back(cron.substr(start, end == std::string_view::npos ? end : end - start));
        start = end == std::string_view::npos ? end : cron.find_first_not_of(kBlanks, end);
    }
    return fields;
}

TExportCronParams CronParamsFromText(std::string_view cron) {
    const std::vector<std::string_view> fields = CronFields(cron);
    TExportCronParams params;
    if (fields.size() == 5) {
        // A Unix cron string (minute, hour, day of month, month, day of week) runs at second 0.
        params[5] = "0";
        for (std::size_t k = 0; k < 5; ++k) params[4 - k] = std::string(fields[k]);
    } else if (fields.size() >= 6) {
        for (std::size_t k = 0; k < 6; ++k) params[5 - k] = std::string(fields[k]);
    }
    return params;
}

std::string CronStringFromParams(const TExportCronParams& params) {
    std::string out;
    for (std::size_t i = 6; i-- > 0;) {
        std::string_view field = Trim(params[i]);
        if (field.empty()) field = i >= 3 ? "0" : "*";
        out.append(field);
        out.push_back(' ');
    }
    out.push_back('*');
    return out;
}

std::vector<AtTimeSchedule> ParseAtTimeList(std::string_view list) {
    std::vector<AtTimeSchedule> schedules;
    int index = 0;
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t separator = list.find_first_of(";,", start);
        const std::size_t end = separator == std::string_view::npos ? list.size() : separator;
        const std::string token = LowerAscii(Trim(list.substr(start, end - start)));
        start = end + 1;
        const int position = index++;
        if (token.empty()) continue;

        std::string_view time = token;
        bool afternoon = false;
        bool morning = false;
        if (const std::size_t p = time.find('p'); p != std::string_view::npos) {
            afternoon = true;
            time = Trim(time.substr(0, p));
        } else if (const std::size_t a = time.find('a'); a != std::string_view::npos) {
            morning = true;
            time = Trim(time.substr(0, a));
        }
        std::size_t from = 0;
        auto hours = NonNegativeInteger(NextTimePart(time, from));
        auto minutes = NonNegativeInteger(NextTimePart(time, from));
        auto seconds = NonNegativeInteger(NextTimePart(time, from));
        if (!hours) continue;
        // 12 am is midnight and 12 pm noon; other hours after "p" move 12 on (13 pm is 25 and is
        // dropped below) and other hours after "a" stay as written.
        std::int64_t hour = *hours;
        if (afternoon && hour != 12) hour += 12;
        if (morning && hour == 12) hour = 0;
        if (hour > 23) continue;
        const int minute = minutes && *minutes < 60 ? *minutes : 0;
        const int second = seconds && *seconds < 60 ? *seconds : 0;
        schedules.push_back({position, std::to_string(second) + " " + std::to_string(minute) + " " +
                                           std::to_string(hour) + " * * * *"});
    }
    return schedules;
}

TBasicRequestItem::TBasicRequestItem()
    : identity_(next_identity.fetch_add(1, std::memory_order_relaxed)) {}

TBasicRequestItem::~TBasicRequestItem() = default;

void TBasicRequestItem::Assign(const TBasicRequestItem& source) {
    if (&source == this) return;
    Enabled = source.Enabled;
    Name = source.Name;
    Method = source.Method;
    PollInterval = source.PollInterval;
    MethodParams = source.MethodParams;
    Pending = source.Pending;
    ScheduleId = source.ScheduleId;
    Sent = false;
    PollTimer.Clear();
}

void TBasicRequestItem::LoadFromXml(const OptionsElement& node, int index) {
    Enabled = OptionsBooleanValue(node, "Enabled", false);
    Name = OptionsCaption(node, "Request", index);

    if (OptionsBooleanValue(node, "MethodAtTime", false)) {
        Method = TRequestMethod::rmAtTime;
    } else if (OptionsBooleanValue(node, "MethodCron", false)) {
        Method = TRequestMethod::rmCron;
    } else if (OptionsBooleanValue(node, "MethodOnce", false)) {
        Method = TRequestMethod::rmOnce;
    } else if (OptionsBooleanValue(node, "MethodEvent", false)) {
        Method = TRequestMethod::rmEvent;
    } else if (OptionsBooleanValue(node, "MethodPoll", false)) {
        Method = TRequestMethod::rmPoll;
    } else {
        Method = TRequestMethod::rmOnce;
    }

    // The units are compared exactly: "MS", "m" and anything else leave milliseconds. The product
    // is a 32-bit integer; a product beyond its range keeps the largest interval of its sign
    // rather than wrapping into a small or negative one.
    const std::int64_t interval = OptionsIntegerValue(node, "PollInterval", 1000);
    const std::string units = OptionsTextValue(node, "PollUnits", "");
    std::int64_t factor = 1;
    if (units == "S") {
        factor = 1000;
    } else if (units == "M") {
        factor = 60000;
    } else if (units == "H") {
        factor = 3600000;
    }
    PollInterval = static_cast<std::int32_t>(
        std::clamp<std::int64_t>(interval * factor, INT32_MIN, INT32_MAX));

    MethodParams = TExportUnchangedMode{};
    MethodParams.Method = Method;
    switch (Method) {
        case TRequestMethod::rmAtTime:
            MethodParams.Param = OptionsTextValue(node, "AtTime", "12:00:00");
            break;
        case TRequestMethod::rmEvent:
            MethodParams.Param = OptionsTextValue(node, "EventId", "");
            break;
        case TRequestMethod::rmCron:
            MethodParams.Param = OptionsTextValue(node, "CronTime", "0 0 12 * * *");
            MethodParams.CronParams = CronParamsFromText(MethodParams.Param);
            break;
        default:
            break;
    }
}

void TBasicRequestList::Add(std::unique_ptr<TBasicRequestItem> item) {
    if (!item) return;
    common::ExclusiveSection section(lock_);
    items_.push_back(std::move(item));
}

void TBasicRequestList::Clear() {
    // The items are destroyed after the lock is left: their destructors may take other locks.
    std::vector<std::unique_ptr<TBasicRequestItem>> old;
    {
        common::ExclusiveSection section(lock_);
        old.swap(items_);
    }
}

std::int32_t TBasicRequestList::Count() {
    common::SharedSection section(lock_);
    return CountLocked();
}

TBasicRequestItem* TBasicRequestList::Item(std::int32_t index) const noexcept {
    if (index < 0 || index >= CountLocked()) return nullptr;
    return items_[static_cast<std::size_t>(index)].get();
}

std::int32_t TBasicRequestList::IndexOf(const TBasicRequestItem* item) const noexcept {
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (items_[i].get() == item) return static_cast<std::int32_t>(i);
    }
    return -1;
}

}  // namespace zol::parser
