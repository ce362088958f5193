#include "scheduler/cron_scheduler.h"

#include <algorithm>
#include <optional>

#include "platform/local_clock.h"
#include "scheduler/date_helpers.h"
#include "scheduler/string_helpers.h"

namespace zol::scheduler {

namespace {

struct FieldRange {
    std::int32_t lo;
    std::int32_t hi;
};

// The range "*" stands for, per field.
constexpr FieldRange kStarRange[kFieldCount] = {{0, 59}, {0, 59}, {0, 23},     {1, 31},
                                                {1, 12}, {1, 7},  {1900, 3000}};
// The values a field can take in a real date (the day of month is further limited by the length
// of the month examined). Listed values outside it are kept but never match.
constexpr FieldRange kCalendarRange[kFieldCount] = {{0, 59}, {0, 59}, {0, 23},  {1, 31},
                                                    {1, 12}, {1, 7},  {1, 9999}};

std::string InvalidInteger(std::string_view text) {
    std::string message = "'";
    message.append(text).append("' is not a valid integer value");
    return message;
}

// Appends the values a to b stepping by `step` that can occur in the field's calendar range. A
// range whose bounds are reversed stands for its first value alone, as a single range does.
void ExpandRange(std::int32_t a, std::int32_t b, std::int32_t step, FieldRange calendar,
                 std::vector<std::int32_t>& values) {
    if (a > b) {
        values.push_back(a);
        return;
    }
    std::int64_t v = a;
    if (v < calendar.lo) v += (calendar.lo - v + step - 1) / step * step;
    const std::int64_t last = std::min<std::int64_t>(b, calendar.hi);
    bool any = false;
    for (; v <= last; v += step) {
        values.push_back(static_cast<std::int32_t>(v));
        any = true;
    }
    // Nothing of it can occur: keep its first value so the field stays a list that never matches.
    if (!any) values.push_back(a);
}

// Splits "a-b" at its first "-" and converts both bounds.
bool ParseBounds(std::string_view text, std::int32_t& a, std::int32_t& b, std::string& error) {
    std::size_t dash = text.find('-');
    auto first = ParseDecimal(text.substr(0, dash));
    if (!first) {
        error = InvalidInteger(text.substr(0, dash));
        return false;
    }
    auto second = ParseDecimal(text.substr(dash + 1));
    if (!second) {
        error = InvalidInteger(text.substr(dash + 1));
        return false;
    }
    a = *first;
    b = *second;
    return true;
}

bool ParseField(std::string_view text, CronField field, TChronEntry& entry, std::string& error) {
    const FieldRange star = kStarRange[field];
    const bool has_comma = text.find(',') != std::string_view::npos;
    std::string_view body = text;
    std::optional<std::int32_t> step;
    if (!has_comma) {
        std::size_t slash = text.find('/');
        if (slash != std::string_view::npos) {
            body = text.substr(0, slash);
            step = ParseDecimal(text.substr(slash + 1));
            if (!step) {
                error = InvalidInteger(text.substr(slash + 1));
                return false;
            }
        }
    }
    if (body.find('*') != std::string_view::npos) {
        entry.Min = star.lo;
        entry.Max = star.hi;
        entry.Step = std::max<std::int32_t>(1, step.value_or(1));
        return true;
    }
    if (body.find('?') != std::string_view::npos) {
        entry.Min = star.lo;
        entry.Max = star.hi;
        entry.Step = step.value_or(0);
        entry.Relative = true;
        return true;
    }
    if (!has_comma && body.find('-') != std::string_view::npos) {
        if (!ParseBounds(body, entry.Min, entry.Max, error)) return false;
        entry.Step = std::max<std::int32_t>(1, step.value_or(1));
        return true;
    }
    // A list; a step after a single value (5/10) was split off above and is dropped.
    std::vector<std::int32_t> values;
    std::size_t begin = 0;
    while (true) {
        std::size_t comma = body.find(',', begin);
        std::string_view element = body.substr(
            begin, comma == std::string_view::npos ? std::string_view::npos : comma - begin);
        std::int32_t element_step = 1;
        std::size_t slash = element.find('/');
        if (slash != std::string_view::npos) {
            auto parsed = ParseDecimal(element.substr(slash + 1));
            if (!parsed) {
                error = InvalidInteger(element.substr(slash + 1));
                return false;
            }
            element_step = std::max<std::int32_t>(1, *parsed);
            element = element.substr(0, slash);
        }
        if (element.find('-') != std::string_view::npos) {
            std::int32_t a = 0;
            std::int32_t b = 0;
            if (!ParseBounds(element, a, b, error)) return false;
            ExpandRange(a, b, element_step, kCalendarRange[field], values);
        } else {
            auto value = ParseDecimal(element);
            if (!value) {
                error = InvalidInteger(element);
                return false;
            }
            values.push_back(*value);
        }
        if (comma == std::string_view::npos) break;
        begin = comma + 1;
    }
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    entry.Values = std::move(values);
    entry.Min = entry.Values.front();
    entry.Max = entry.Values.back();
    entry.Step = 0;
    return true;
}

// The next-value rule R(E, V).
std::int32_t Rule(const TChronEntry& e, std::int64_t v) noexcept {
    if (e.Relative) {
        const std::int64_t s = v + e.Step;
        if (s <= e.Max) return static_cast<std::int32_t>(s);
        const std::int64_t span = std::max<std::int64_t>(1, std::int64_t{e.Max} - e.Min + 1);
        return static_cast<std::int32_t>(std::max<std::int64_t>(e.Min, s % span));
    }
    if (!e.Values.empty()) {
        auto it = std::lower_bound(e.Values.begin(), e.Values.end(), v);
        return it != e.Values.end() ? *it : e.Values.front();
    }
    const std::int64_t step = std::max<std::int32_t>(1, e.Step);
    if (v < e.Min || v > e.Max) return e.Min;
    const std::int64_t offset = (v - e.Min) % step;
    if (offset == 0) return static_cast<std::int32_t>(v);
    const std::int64_t next = v + step - offset;
    return next > e.Max ? e.Min : static_cast<std::int32_t>(next);
}

// The smallest value of a non-relative entry that is at least `v` and within [lo, hi].
std::optional<std::int32_t> AllowedAtOrAfter(const TChronEntry& e, std::int64_t v, std::int32_t lo,
                                             std::int32_t hi) noexcept {
    const std::int64_t x = std::max<std::int64_t>(v, lo);
    if (x > hi) return std::nullopt;
    if (!e.Values.empty()) {
        auto it = std::lower_bound(e.Values.begin(), e.Values.end(), x);
        if (it == e.Values.end() || *it > hi) return std::nullopt;
        return *it;
    }
    if (e.Min > e.Max) {  // a reversed range stands for its first value alone
        if (e.Min >= x && e.Min <= hi) return e.Min;
        return std::nullopt;
    }
    const std::int64_t step = std::max<std::int32_t>(1, e.Step);
    std::int64_t r = e.Min;
    if (x > r) r += (x - r + step - 1) / step * step;
    if (r > e.Max || r > hi) return std::nullopt;
    return static_cast<std::int32_t>(r);
}

bool Allowed(const TChronEntry& e, std::int32_t v) noexcept {
    auto r = AllowedAtOrAfter(e, v, v, v);
    return r.has_value();
}

// The odometer search behind NextRun. Levels from the outside in: year, month, day of month,
// hour, minute, second; the day of week is checked at the day level. Each level visits only the
// values its entry allows, so dense fields cost one step per match and sparse schedules (the
// 13th on a Friday, the 29th of February) a few steps per month or year examined.
class NextRunWalk {
   public:
    NextRunWalk(const TChronSchedule& entries, std::int64_t base_ms, std::int64_t start_ms,
                bool has_start)
        : entries_(entries), start_ms_(start_ms), has_start_(has_start) {
        const DateTimeParts b = SplitMs(base_ms);
        const std::int32_t base[kLevels] = {b.year, b.month, b.day, b.hour, b.minute, b.second};
        std::copy(std::begin(base), std::end(base), base_);
        base_second_ms_ = base_ms - b.millisecond;
        // Relative fields count from the base's own value; the day-of-month rule wraps at the
        // length of the base's month.
        for (int level = 0; level < kLevels; ++level) {
            if (!Entry(level).Relative) continue;
            TChronEntry e = Entry(level);
            if (kLevelField[level] == kDayOfMonth) e.Max = DaysInMonth(b.year, b.month);
            relative_first_[level] = Rule(e, base_[level]);
        }
    }

    // The accepted instant, nothing when the years ran out, or an error after the step limit.
    NextRunResult Search(std::int64_t end_ms, bool has_end) {
        NextRunResult result;
        int level = 0;
        above_[0] = false;
        if (!First(level)) return result;
        while (true) {
            if (!CountStep()) return Fail();
            bool advance = false;
            if (level == kDayLevel && !WeekdayAllowed()) {
                advance = true;
            } else if (level == kLevels - 1) {
                const std::int64_t ms = CandidateMs();
                if (ms > base_second_ms_ && (!has_start_ || ms > start_ms_)) {
                    if (has_end && ms > end_ms) return result;
                    result.time = MsToOle(ms);
                    return result;
                }
                advance = true;
            } else {
                above_[level + 1] = above_[level] || candidate_[level] > base_[level];
                ++level;
                if (!First(level)) {
                    --level;
                    advance = true;
                }
            }
            if (advance) {
                // Advance this level; a level that wraps hands over to the one outside it.
                while (true) {
                    if (!CountStep()) return Fail();
                    auto next = Next(level);
                    if (stuck_) return Fail();
                    if (next) break;
                    if (level == 0) return result;  // out of years
                    --level;
                }
            }
        }
    }

   private:
    static constexpr int kLevels = 6;
    static constexpr int kDayLevel = 2;
    static constexpr CronField kLevelField[kLevels] = {kYear, kMonth,  kDayOfMonth,
                                                       kHour, kMinute, kSecond};

    const TChronEntry& Entry(int level) const noexcept { return entries_[kLevelField[level]]; }

    std::int32_t Lo(int level) const noexcept { return kCalendarRange[kLevelField[level]].lo; }
    std::int32_t Hi(int level) const noexcept {
        if (level == kDayLevel) return DaysInMonth(candidate_[0], candidate_[1]);
        return kCalendarRange[kLevelField[level]].hi;
    }

    // Sets the level's first candidate: its first allowed value at or after the base's value
    // while every outer level equals the base, else its first allowed value at all.
    bool First(int level) noexcept {
        const TChronEntry& e = Entry(level);
        if (e.Relative) {
            const std::int32_t v = relative_first_[level];
            if (v < Lo(level) || v > Hi(level) || (!above_[level] && v < base_[level])) {
                return false;
            }
            candidate_[level] = v;
            return true;
        }
        auto v =
            AllowedAtOrAfter(e, above_[level] ? Lo(level) : base_[level], Lo(level), Hi(level));
        if (!v) return false;
        candidate_[level] = *v;
        return true;
    }

    // Moves the level to its next allowed value; false when it wraps. A relative field without a
    // step cannot move and sets stuck_.
    bool Next(int level) noexcept {
        const TChronEntry& e = Entry(level);
        if (e.Relative) {
            if (e.Step <= 0) {
                stuck_ = true;
                return false;
            }
            const std::int64_t v = std::int64_t{candidate_[level]} + e.Step;
            if (v > Hi(level)) return false;
            candidate_[level] = static_cast<std::int32_t>(v);
            return true;
        }
        auto v = AllowedAtOrAfter(e, std::int64_t{candidate_[level]} + 1, Lo(level), Hi(level));
        if (!v) return false;
        candidate_[level] = *v;
        return true;
    }

    bool WeekdayAllowed() const noexcept {
        const int weekday = IsoWeekday(DaysFromCivil(candidate_[0], candidate_[1], candidate_[2]));
        const TChronEntry& e = entries_[kDayOfWeek];
        if (e.Relative) return Rule(e, weekday) == weekday;
        return Allowed(e, weekday);
    }

    std::int64_t CandidateMs() const noexcept {
        return DaysFromCivil(candidate_[0], candidate_[1], candidate_[2]) * kMsPerDay +
               ((std::int64_t{candidate_[3]} * 60 + candidate_[4]) * 60 + candidate_[5]) *
                   kMsPerSecond;
    }

    bool CountStep() noexcept { return ++steps_ <= kNextRunStepLimit; }

    static NextRunResult Fail() noexcept {
        NextRunResult failed;
        failed.error = kInvalidCronFormat;
        return failed;
    }

    const TChronSchedule& entries_;
    std::int64_t start_ms_;
    bool has_start_;
    std::int64_t base_second_ms_ = 0;
    std::int32_t base_[kLevels] = {};
    std::int32_t candidate_[kLevels] = {};
    std::int32_t relative_first_[kLevels] = {};
    bool above_[kLevels] = {};
    int steps_ = 0;
    bool stuck_ = false;
};

}  // namespace

std::int32_t TChronEntryHelper::FirstValid(const TChronEntry& entry, std::int32_t value) noexcept {
    return Rule(entry, value);
}

std::int32_t TChronEntryHelper::NextValid(const TChronEntry& entry, std::int32_t value) noexcept {
    return entry.Relative ? Rule(entry, value) : Rule(entry, std::int64_t{value} + 1);
}

CronParseResult ParseCronString(std::string_view text) {
    CronParseResult result;
    std::vector<std::string_view> fields = SplitAtBlanks(text);
    // Missing trailing fields mean "*"; fields beyond the seventh are ignored.
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        std::string_view field = i < fields.size() ? fields[i] : std::string_view("*");
        if (!ParseField(field, static_cast<CronField>(i), result.entries[i], result.error)) {
            result.entries = TChronSchedule{};
            return result;
        }
    }
    bool all_plain_relative = true;
    for (const TChronEntry& e : result.entries) {
        if (!e.Relative || e.Step != 0) all_plain_relative = false;
    }
    if (all_plain_relative) {
        result.entries = TChronSchedule{};
        result.error = kNotValidCron;
    }
    return result;
}

NextRunResult NextRun(const TChronSchedule& entries, double from, double start, double end) {
    const bool has_start = start != 0;
    const bool has_end = end > 0;
    const std::int64_t from_ms = OleToMs(from);
    const std::int64_t start_ms = has_start ? OleToMs(start) : 0;
    const std::int64_t end_ms = has_end ? OleToMs(end) : 0;
    const std::int64_t base_ms = (has_start && start_ms > from_ms) ? start_ms : from_ms;
    if (has_end && end_ms < base_ms) return NextRunResult{};
    NextRunWalk walk(entries, base_ms, start_ms, has_start);
    return walk.Search(end_ms, has_end);
}

TSchedule::TSchedule() : NextTime(NowOle()) {}

void TSchedule::SetCronString(std::string_view text) {
    if (text == CronString) return;
    CronParseResult parsed = ParseCronString(text);
    if (!parsed.Ok()) throw ScheduleError(parsed.error);
    Entries = std::move(parsed.entries);
    CronString = std::string(text);
    Reset();
}

bool TSchedule::Reset() {
    NextTime = NowOle();
    return CalcNext();
}

bool TSchedule::CalcNext() {
    LastTime = NextTime;
    NextRunResult next = NextRun(Entries, NextTime, StartTime, EndTime);
    if (!next.Ok()) {
        NextTime = 0;
        throw ScheduleError(next.error);
    }
    NextTime = next.time;
    return NextTime != 0;
}

void TSchedule::Evaluate(bool& first_run) {
    State = TScheduleState::kNothingDue;
    const std::int64_t now_ms = platform::CurrentLocalClock().NowLocalMs();
    if (EndTime > 0 && now_ms > OleToMs(EndTime)) {
        State = TScheduleState::kExpired;
        return;
    }
    const bool before_start = StartTime != 0 && now_ms < OleToMs(StartTime);
    if (first_run) {
        if (!before_start) {
            State = TScheduleState::kFire;
        } else {
            NextTime = StartTime;
        }
        first_run = false;
        return;
    }
    // No next run is left: nothing can become due (searching on from 0 would find old runs).
    if (NextTime == 0) return;
    // Date-times closer than one millisecond count as equal.
    if (OleToMs(NextTime) - now_ms >= 1) return;
    if (!CalcNext()) {
        State = TScheduleState::kFireLast;
        return;
    }
    if (before_start) return;
    State = TScheduleState::kFire;
}

}  // namespace zol::scheduler
