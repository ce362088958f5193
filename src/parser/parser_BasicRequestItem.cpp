#include "parser/parser_BasicRequestItem.h"

#include <algorithm>
#include <atomic>
#include <bitset>
#include <charconv>
#include <optional>

#include "scheduler/cron_scheduler.h"

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

// The values of one cron field, as bits: days of month 1 to 31, months 1 to 12, days of week 0 to
// 7.
using FieldValues = std::bitset<32>;

// The values a Unix cron field between `lo` and `hi` names: a list of "*", numbers and ranges,
// each with an optional "/step". A reversed range and a step after a single number stand for
// their first value alone, as the scheduler reads them. Nothing when the field holds anything
// else: names, "?", a value out of range, an empty element, a step of 0.
std::optional<FieldValues> UnixFieldValues(std::string_view field, int lo, int hi) {
    FieldValues values;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = field.find(',', start);
        std::string_view element =
            field.substr(start, comma == std::string_view::npos ? comma : comma - start);
        std::int64_t step = 1;
        if (const std::size_t slash = element.find('/'); slash != std::string_view::npos) {
            const auto parsed = NonNegativeInteger(element.substr(slash + 1));
            if (!parsed || *parsed == 0) return std::nullopt;
            step = *parsed;
            element = element.substr(0, slash);
        }
        std::int64_t first = lo;
        std::int64_t last = hi;
        if (element != "*") {
            const std::size_t dash = element.find('-');
            const auto a = NonNegativeInteger(element.substr(0, dash));
            const auto b =
                dash == std::string_view::npos ? a : NonNegativeInteger(element.substr(dash + 1));
            if (!a || !b || *a < lo || *a > hi || *b < lo || *b > hi) return std::nullopt;
            first = *a;
            last = dash == std::string_view::npos || *b < *a ? *a : *b;
        }
        for (std::int64_t v = first; v <= last; v += step) values.set(static_cast<std::size_t>(v));
        if (comma == std::string_view::npos) return values;
        start = comma + 1;
    }
}

// "1-4,7": the values from `lo` to `hi` in ascending order, runs of three or more as ranges.
std::string ValueListText(const FieldValues& values, int lo, int hi) {
    std::string text;
    for (int v = lo; v <= hi; ++v) {
        if (!values.test(static_cast<std::size_t>(v))) continue;
        int end = v;
        while (end < hi && values.test(static_cast<std::size_t>(end + 1))) ++end;
        if (!text.empty()) text.push_back(',');
        text += std::to_string(v);
        if (end - v >= 2) {
            text += "-" + std::to_string(end);
            v = end;
        }
    }
    return text;
}

// A Unix day-of-week field (0 and 7 Sunday) in the scheduler's numbering (1 Monday to 7 Sunday):
// as written when the scheduler reads it as the same days, else "*" or a list of the days.
// Nothing when the field is not plain Unix (see UnixFieldValues).
std::optional<std::string> SchedulerWeekdays(std::string_view field) {
    const std::optional<FieldValues> unix_days = UnixFieldValues(field, 0, 7);
    if (!unix_days) return std::nullopt;
    FieldValues days;
    for (std::size_t day = 1; day <= 6; ++day) days.set(day, unix_days->test(day));
    days.set(7, unix_days->test(0) || unix_days->test(7));

    const scheduler::CronParseResult as_written =
        scheduler::ParseCronString("0 0 0 * * " + std::string(field));
    bool same = as_written.Ok();
    for (std::int32_t day = 1; same && day <= 7; ++day) {
        const std::int32_t first = scheduler::TChronEntryHelper::FirstValid(
            as_written.entries[scheduler::kDayOfWeek], day);
        same = (first == day) == days.test(static_cast<std::size_t>(day));
    }
    if (same) return std::string(field);
    if (days.count() == 7) return "*";
    return ValueListText(days, 1, 7);
}

// Whether a month of `months` has a day of `days` in some year (February has a 29th).
bool MonthDayOccurs(const FieldValues& days, const FieldValues& months) noexcept {
    constexpr int kLongest[13] = {0, 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (std::size_t month = 1; month <= 12; ++month) {
        if (!months.test(month)) continue;
        for (std::size_t day = 1; day <= static_cast<std::size_t>(kLongest[month]); ++day) {
            if (days.test(day)) return true;
        }
    }
    return false;
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

std::vector<std::string> CronStringsFromParams(const TExportUnchangedMode& params) {
    const TExportCronParams& fields = params.CronParams;
    if (CronFields(params.Param).size() != 5) return {CronStringFromParams(fields)};
    const std::string_view weekday_field = Trim(fields[0]);
    const std::string_view month_day_field = Trim(fields[2]);
    const std::optional<std::string> weekdays = SchedulerWeekdays(weekday_field);
    if (!weekdays) return {CronStringFromParams(fields)};
    TExportCronParams by_weekday = fields;
    by_weekday[0] = *weekdays;
    // Unix cron counts a field beginning with "*" (also "*/2") as unrestricted: then both day
    // fields must match, as the scheduler requires anyway.
    if (weekday_field.starts_with('*') || month_day_field.starts_with('*')) {
        return {CronStringFromParams(by_weekday)};
    }
    const std::optional<FieldValues> month_days = UnixFieldValues(month_day_field, 1, 31);
    if (!month_days) return {CronStringFromParams(fields)};
    FieldValues months;
    months.set();
    if (auto listed = UnixFieldValues(Trim(fields[1]), 1, 12)) months = *listed;

    std::vector<std::string> crons;
    if (MonthDayOccurs(*month_days, months)) {
        TExportCronParams by_month_day = fields;
        by_month_day[0] = "*";
        crons.push_back(CronStringFromParams(by_month_day));
    }
    // The weekday schedule leaves out the days of month the first one runs on.
    FieldValues other_days;
    for (std::size_t day = 1; day <= 31; ++day) other_days.set(day, !month_days->test(day));
    if (MonthDayOccurs(other_days, months)) {
        by_weekday[2] = ValueListText(other_days, 1, 31);
        crons.push_back(CronStringFromParams(by_weekday));
    }
    return crons;
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
