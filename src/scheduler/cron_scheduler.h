#pragma once
// The cron scheduler: parses seven-field cron strings (second, minute, hour, day of month, month,
// day of week, year), computes the next run after a given time, and keeps a schedule's run state.
// Date-times are OLE dates in local time; 0 means "none".

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zol::scheduler {

// Raised by the schedule and event classes with the system's own message texts. Parsing and the
// next-run search themselves report failures as values.
class ScheduleError : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
};

inline constexpr const char* kInvalidCronFormat = "Invalid cron format";
inline constexpr const char* kNotValidCron = "Schedule is not in valid CRON format";

// One parsed field.
struct TChronEntry {
    std::int32_t Min = 0;
    std::int32_t Max = 0;
    std::int32_t Step = 0;
    // Set by "?": the field counts relative to the base time's value of the field.
    bool Relative = false;
    // Ascending, unique; empty unless the field is a list.
    std::vector<std::int32_t> Values;
};

enum CronField : std::size_t {
    kSecond = 0,
    kMinute,
    kHour,
    kDayOfMonth,
    kMonth,
    kDayOfWeek,
    kYear,
    kFieldCount
};

using TChronSchedule = std::array<TChronEntry, kFieldCount>;

// The next-value rules of one entry. A result below the argument means the field wrapped.
class TChronEntryHelper {
   public:
    static std::int32_t FirstValid(const TChronEntry& entry, std::int32_t value) noexcept;
    static std::int32_t NextValid(const TChronEntry& entry, std::int32_t value) noexcept;
};

struct CronParseResult {
    TChronSchedule entries;
    // Empty on success, else the message ("'x' is not a valid integer value", ...).
    std::string error;
    bool Ok() const noexcept { return error.empty(); }
};

// Parses a cron string; never throws on bad input.
CronParseResult ParseCronString(std::string_view text);

struct NextRunResult {
    // The next run (whole seconds) or 0 when there is none.
    double time = 0;
    // nullptr on success, else kInvalidCronFormat (the search gave up).
    const char* error = nullptr;
    bool Ok() const noexcept { return error == nullptr; }
};

// The earliest whole second after max(from, start) (and after start when start is not 0) at
// which every field matches, or 0 when there is none up to `end` (0: no end) or in the years the
// year field allows. Gives up with kInvalidCronFormat after kNextRunStepLimit walk steps.
NextRunResult NextRun(const TChronSchedule& entries, double from, double start, double end);

inline constexpr int kNextRunStepLimit = 10001;

enum class TScheduleState : std::uint8_t {
    kNothingDue = 0,
    kFire = 1,
    kFireLast = 2,
    kExpired = 3,
};

// One cron schedule with its run state. A plain class: its fields are read and set directly.
class TSchedule {
   public:
    TSchedule();

    // Parses and stores a changed cron string, then Reset. Throws ScheduleError with the parse
    // or search message; on a parse error the stored string and entries stay as they were.
    void SetCronString(std::string_view text);
    // NextTime <- now, then CalcNext; whether a next run exists. Throws on a failed search.
    bool Reset();
    // LastTime <- NextTime; NextTime <- the run after it; whether one exists. Throws on a failed
    // search.
    bool CalcNext();
    // Sets State from the local clock (see TScheduleState); clears `first_run` when it was set.
    void Evaluate(bool& first_run);

    std::string CronString;
    double EndTime = 0;
    double NextTime = 0;
    double LastTime = 0;
    double StartTime = 0;
    TChronSchedule Entries;
    TScheduleState State = TScheduleState::kNothingDue;
};

}  // namespace zol::scheduler
