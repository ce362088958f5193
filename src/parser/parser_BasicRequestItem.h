#pragma once
// One configured request as the scheduler sees it: whether it may be sent, its name, how it is
// triggered (its request method) and the method's parameter, plus the run-time state the queue
// controller keeps for it. Protocol content (addresses, registers) lives in derived classes. Also
// the rules that turn a method parameter into cron schedules, and the locked list of requests.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "parser/options_text.h"
#include "zolShared/Public/Common/read_write_lock.h"
#include "zolShared/Public/Common/zolParamLst.h"
#include "zolShared/Public/Common/zolTimeout.h"

namespace zol::parser {

enum class TRequestMethod : std::uint8_t {
    rmOnce = 0,    // once, at the first opportunity after the list was loaded
    rmPoll = 1,    // every PollInterval milliseconds
    rmAtTime = 2,  // at each time of day of a time list
    rmCron = 3,    // at each instant of a cron string
    rmEvent = 4,   // each time the host raises the named event
};

// The six fields of a cron string (a five-field one with second "0" in front), in reverse order:
// element 5 holds the seconds, element 0 the day of week.
using TExportCronParams = std::array<std::string, 6>;

struct TExportUnchangedMode {
    TRequestMethod Method = TRequestMethod::rmOnce;
    // The time list (rmAtTime), the event name (rmEvent) or the cron string (rmCron).
    std::string Param;
    TExportCronParams CronParams;
};

// The fields of a cron string: runs of blanks (spaces, tabs) separate them, and blanks at either
// end count for nothing.
std::vector<std::string_view> CronFields(std::string_view cron);
// Cuts a cron string into the six stored fields. Six or more fields keep the first six; five are
// a Unix cron string (minute, hour, day of month, month, day of week) and get second "0" in
// front; with fewer than five every field stays empty (the request runs daily at midnight).
TExportCronParams CronParamsFromText(std::string_view cron);
// The seven-field cron string handed to the scheduler: the six stored fields trimmed, empty ones
// replaced by "0" (seconds, minutes, hours) or "*" (day, month, weekday), then " *" (any year).
// The fields are taken in the scheduler's own terms; schedules of a request come from
// CronStringsFromParams, which reads five-field strings as Unix cron reads them.
std::string CronStringFromParams(const TExportCronParams& params);
// The seven-field cron strings the scheduler runs for a cron request, in the order of their
// schedules' numbers (0, 1). A five-field string (`params.Param`) is a Unix cron string: day of
// week 0 and 7 are Sunday, written in the scheduler's numbering (1 Monday to 7 Sunday); when day
// of month and day of week are both restricted (neither begins with "*"), a day that matches
// either runs: one schedule for the days of month and one for the days of week on the other days
// of the month, so the two never run at the same instant; a half that no month allows is left
// out. A five-field string whose day fields are not plain Unix values (numbers, ranges, lists,
// steps) goes to the scheduler as written. Any other string gives CronStringFromParams alone.
std::vector<std::string> CronStringsFromParams(const TExportUnchangedMode& params);

// One daily schedule of a time list: the token's position and its seven-field cron string.
struct AtTimeSchedule {
    int index;
    std::string cron;
};
// The time list "8:30; 5 pm, 17:45:10" as daily schedules. Tokens are cut at ";" and ",", keep
// their position, and yield nothing when empty or without valid hours. "12 am" is midnight and
// "12 pm" noon.
std::vector<AtTimeSchedule> ParseAtTimeList(std::string_view list);

// Base of what a derived configuration keeps in a request's Responses list (the registers of a
// KMP request); the list owns them.
class ResponseEntry {
   public:
    virtual ~ResponseEntry() = default;
};

class TBasicRequestItem {
   public:
    TBasicRequestItem();
    virtual ~TBasicRequestItem();
    TBasicRequestItem(const TBasicRequestItem&) = delete;
    TBasicRequestItem& operator=(const TBasicRequestItem&) = delete;

    // Copies the configuration (not the run-time counters, responses or event parameters); the
    // copy is not sent and its poll timer is cleared, so a polling copy is due at once.
    virtual void Assign(const TBasicRequestItem& source);
    // Reads the configuration from one request node of the options text; `index` (1-based
    // position of the request) only makes the default name.
    virtual void LoadFromXml(const OptionsElement& node, int index);

    // A process-unique number naming this object in schedule group ids.
    std::uint32_t Identity() const noexcept { return identity_; }

    bool Enabled = false;  // sent by the queue; otherwise its answers are only decoded
    bool Sent = false;
    std::string Name;
    TRequestMethod Method = TRequestMethod::rmOnce;
    std::int32_t PollInterval = 0;  // milliseconds
    std::int32_t SendTag = -1;
    bool Pending = false;
    std::string ScheduleId;
    // Owned objects of the derived configuration (the registers of a KMP request).
    std::vector<std::unique_ptr<ResponseEntry>> Responses;
    std::uint8_t RetryCount = 0;
    std::uint8_t MaxRetries = 1;
    TExportUnchangedMode MethodParams;
    common::TzolTimeout PollTimer;
    std::uint64_t LastSent = 0;  // tick of the last successful send, 0: never
    std::unique_ptr<common::TzolParamsList> EventParams;

   private:
    std::uint32_t identity_;
};

// The requests of one queue. Every access goes through one side of the lock: scans take the
// shared side, resets and reloads the exclusive side. Add, Clear and Count lock by themselves.
class TBasicRequestList {
   public:
    TBasicRequestList() = default;
    TBasicRequestList(const TBasicRequestList&) = delete;
    TBasicRequestList& operator=(const TBasicRequestList&) = delete;

    void LockShared() { lock_.LockShared(); }
    void UnlockShared() { lock_.UnlockShared(); }
    void LockExclusive() { lock_.LockExclusive(); }
    void UnlockExclusive() { lock_.UnlockExclusive(); }
    common::ReadWriteLock& Lock() noexcept { return lock_; }

    void Add(std::unique_ptr<TBasicRequestItem> item);
    void Clear();
    std::int32_t Count();

    // Unlocked access: the caller holds a side of the lock.
    std::int32_t CountLocked() const noexcept { return static_cast<std::int32_t>(items_.size()); }
    TBasicRequestItem* Item(std::int32_t index) const noexcept;
    std::int32_t IndexOf(const TBasicRequestItem* item) const noexcept;

   private:
    common::ReadWriteLock lock_;
    std::vector<std::unique_ptr<TBasicRequestItem>> items_;
};

}  // namespace zol::parser
