#pragma once
// The queue controller: owns a list of requests and decides, tick by tick, which one to send
// next. It sends nothing itself: it hands the chosen request to its send handler (the protocol
// client) and then waits until the client releases the exchange or the response timeout expires.
// At most one request is in flight per queue. Time-of-day and cron requests are made due by
// schedules the queue registers and owns; event requests by host events passed in.

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parser/parser_BasicRequestItem.h"
#include "platform/recursive_mutex.h"
#include "scheduler/scheduled_event.h"
#include "zolShared/Public/Common/zolTimeout.h"
#include "zolShared/Public/Common/zolTimerEx.h"

namespace zol::parser {

// What a ticking queue asks of the object that created it: a data source for its own queue, a
// protocol client for a client's queue.
class QueueOwner {
   public:
    virtual ~QueueOwner() = default;
    // A data source that is not running: its own queue stays still.
    virtual bool IsNotRunning() const noexcept = 0;
    // A data source that is busy (a client answers for its data source): the tick skips its
    // work and waits for the next one.
    virtual bool IsBusy() const noexcept = 0;
    // A client that is active: only an active client's queue defers to a busy data source.
    virtual bool IsActive() const noexcept = 0;
    // Hands the host what a tick left to send (frames, packets). Called after the tick has let go
    // of every lock of the queue, so a host that takes its own locks in its entry points, or that
    // answers from inside them, cannot deadlock with a packet being handled on another thread.
    virtual void FlushSends() {}
    // A tick of the owner's queue begins and ends: what the owner lives in may wait for the
    // ticks in progress before it goes.
    virtual void TickBegins() {}
    virtual void TickEnds() {}
};

class TQueueController {
   public:
    using SendRequestHandler =
        std::function<bool(TQueueController& sender, TBasicRequestItem& item,
                           std::uint32_t& response_timeout, std::int32_t& send_tag)>;
    using RequestTimeoutHandler =
        std::function<void(TQueueController& sender, TBasicRequestItem& item, bool& retry)>;
    using ErrorHandler = std::function<void(TQueueController& sender, std::string_view context,
                                            const std::exception& error, std::string_view detail)>;
    using ScheduledHandler = std::function<void(
        TQueueController& sender, scheduler::TScheduledEvent& event, TBasicRequestItem& item)>;

    explicit TQueueController(QueueOwner* owner = nullptr);
    virtual ~TQueueController();
    TQueueController(const TQueueController&) = delete;
    TQueueController& operator=(const TQueueController&) = delete;

    // Hands the item to OnSendRequest; false (not sent) without a handler. `response_timeout`
    // comes back as the time to wait for the answer (0: do not wait).
    virtual bool DoSendRequest(TBasicRequestItem& item, std::uint32_t& response_timeout,
                               std::int32_t& send_tag);
    virtual void DoRequestTimeout(TBasicRequestItem& item, bool& retry);
    virtual void DoError(std::string_view context, const std::exception& error,
                         std::string_view detail);
    virtual void DoScheduled(scheduler::TScheduledEvent& event, TBasicRequestItem& item);

    // Ends the exchange of Current: called by the client when an answer was handled, the exchange
    // failed or the port closed. Codes 1, 8, 9 and 10 (completed exchanges) reset the item's
    // attempt counter. Current itself is left for the caller to clear.
    void ReleaseCurrent(std::uint8_t code);

    // A process-unique number naming this queue in schedule group ids.
    std::uint32_t Identity() const noexcept { return identity_; }

    // Holds the exchange state for a client that reads or changes it outside a tick (take the
    // list's lock first when both are needed).
    std::unique_lock<platform::RecursiveMutex> LockExchange() {
        return std::unique_lock<platform::RecursiveMutex>(state_mutex_);
    }
    // A follow-up request of the current exchange went out: wait for its answer as for the first.
    void ExpectResponse(std::uint32_t timeout_ms);

    // The client found the answer of Current in its buffer and decodes it next: until it lets go
    // (ReleaseCurrent, ExpectResponse or LetGoOfAnswer), no tick ends the exchange by its
    // deadline or sends another request. The claimed request is what the client decodes, so a
    // reload that keeps the exchange hands over its fresh copy.
    void ClaimAnswer();
    void LetGoOfAnswer();
    // The request whose answer is claimed: Current while the claim holds, else none.
    TBasicRequestItem* ClaimedRequest() const noexcept;
    // Numbers the exchanges this queue started: a send whose outcome is known only after the
    // tick tells by it whether its exchange is still the current one.
    std::uint64_t ExchangeNumber() const noexcept { return exchange_number_; }
    // The host refused to write the first frame of exchange `exchange`: the send is undone as if
    // the send handler had refused it (the request is offered again while it has attempts left,
    // else given up until its next trigger). Whether attempts were left before the refusal; none
    // when that exchange is no longer the current one.
    std::optional<bool> SendRefused(std::uint64_t exchange);

    SendRequestHandler OnSendRequest;
    RequestTimeoutHandler OnRequestTimeout;
    ErrorHandler OnError;
    ScheduledHandler OnScheduled;

    // Non-zero: the next tick resets the schedule instead of sending (set from any thread).
    std::atomic<std::uint8_t> ResetRequest{0};
    QueueOwner* Owner;
    TBasicRequestList Requests;
    std::int32_t SendTag = -1;
    common::TzolTimeout Pause;
    std::int32_t ResumeIndex = -1;
    common::TzolTimeout ResponseTimeout;
    TBasicRequestItem* Current = nullptr;
    std::int32_t MinInterval = 0;  // milliseconds between two send attempts
    // A retry that a running pause held back: it goes out first when the pause ends.
    TBasicRequestItem* HeldRetry = nullptr;

   protected:
    // The awaited answer is no longer awaited (it came, or the exchange ended): called under the
    // exchange lock by ReleaseCurrent and ExpectResponse(0), on whatever thread that happens.
    virtual void AnswerSettled() {}

    // The exchange state (Current, the two timeouts, the resume position and the run-time fields
    // of the items) is changed under this lock, taken after the list's lock: ticks, releases,
    // schedules and host events arrive on different threads.
    platform::RecursiveMutex state_mutex_;

    // Under the exchange lock: the answer of Current is being decoded.
    bool answer_claimed_ = false;
    std::uint64_t exchange_number_ = 0;
    // What an accepted send changed on its request, for SendRefused to put back.
    struct SentState {
        bool was_pending = false;
        common::TzolTimeout poll_timer;
        std::uint64_t last_sent = 0;
        std::int32_t resume_index = -1;
        // The request's last send as the accepted send set it: changed since (a port-open event
        // made the request due), the request keeps what it has now.
        std::uint64_t sent_at = 0;
    } sent_state_;
    // One-shot requests that used their attempts unanswered (by identity): they rest until the
    // port opens again; a settings load makes fresh ones (under the exchange lock).
    std::vector<std::uint32_t> rested_once_;
    // Under the exchange lock: a one-shot request has used its attempts.
    void RestOnce(TBasicRequestItem& item);

   private:
    std::uint32_t identity_;
};

// The schedules of a queue's time and cron requests; owns its events.
class TSchEventList {
   public:
    using AddHandler = std::function<void(scheduler::TScheduledEvent& event)>;

    scheduler::TScheduledEvent& Add(std::string name);
    std::size_t Count() const noexcept { return events_.size(); }
    scheduler::TScheduledEvent& operator[](std::size_t index) const { return *events_[index]; }
    // Takes every event out of the list, last first, for the caller to stop and free.
    std::vector<std::unique_ptr<scheduler::TScheduledEvent>> TakeAll() noexcept;

    AddHandler OnAdd;

   private:
    std::vector<std::unique_ptr<scheduler::TScheduledEvent>> events_;
};

// A queue with its own tick, driven by a timer of the thread that created it, or of `home`'s
// thread when one is given.
class TQueueControllerTimer : public TQueueController {
   public:
    explicit TQueueControllerTimer(QueueOwner* owner = nullptr, common::TimerHome* home = nullptr);
    ~TQueueControllerTimer() override;

    // True: the tick does nothing and does not re-arm itself.
    virtual bool IsStopped() const noexcept { return false; }
    // True: the tick skips its work but re-arms.
    virtual bool IsBusy() const noexcept { return Busy; }
    // Resets the scan position and the pause when asked, then runs the timer exactly when the
    // queue is not stopped and holds requests.
    virtual void Rearm(bool reset_position);
    // A host event: the port-open event makes every request due at once; any other event makes
    // the event requests that name it (ignoring case) pending, with a copy of its parameters.
    virtual void HostEvent(std::string_view name, bool is_port_open,
                           const common::TzolParamsList* params);

    // One tick: the timer's handler. Public so that a driver with its own clock can run it.
    void Tick();
    // The queue's owner has left its list: no tick starts from now on. When a tick is in
    // progress (on any thread), the queue takes `owner` and lets it go when that tick ends, so
    // the owner is never freed under a running tick; whether it did.
    bool Retire(std::shared_ptr<void>& owner);
    // Tick interval 50 ms, or the shortest polling interval when that is shorter (at least the
    // system's timer floor); every polling request becomes due at once.
    void ResetSchedule();
    void SetTimerEnabled(bool value);
    // Stops every schedule, last first, and frees them; errors are swallowed.
    void StopSchedules() noexcept;
    // Registers the schedules of a time-list or cron request; a schedule the scheduler rejects is
    // reported through DoError with the context "Cron" and leaves the request without a trigger.
    void AddSchedules(TBasicRequestItem& item);
    // The handler of every registered schedule: marks the requests of its group pending and
    // ticks at once.
    void ScheduleFired(scheduler::TScheduledEvent& event);
    // Marks the requests of a schedule group pending (a schedule of another queue fired for
    // them); whether any matched.
    bool MarkPending(std::string_view schedule_id);

    // The shortest tick the queue asks for: the floor of the system's window timers.
    static constexpr std::uint32_t kMinTickInterval = 10;
    static constexpr std::uint32_t kDefaultTickInterval = 50;

    std::uint32_t TickInterval = kDefaultTickInterval;
    bool Busy = false;
    std::unique_ptr<common::TzolTimerEx> Timer;
    // Registered and stopped by a settings load on the command thread while clients read them
    // (LongestExpectedGap): every access holds EventsLock().
    TSchEventList Events;
    std::unique_lock<platform::RecursiveMutex> EventsLock() {
        return std::unique_lock<platform::RecursiveMutex>(events_mutex_);
    }

   protected:
    void AnswerSettled() override;

   private:
    void RegisterSchedule(TBasicRequestItem& item, const std::string& cron, int index);
    platform::RecursiveMutex events_mutex_;
    // A tick is running (ticks never nest), the queue is retired, and the owner that a retirement
    // during a tick left for the tick to let go: under tick_mutex_.
    std::mutex tick_mutex_;
    bool ticking_ = false;
    bool retired_ = false;
    std::shared_ptr<void> parked_owner_;
    // The timer waits for the deadline of the awaited answer rather than ticking (under the
    // exchange lock).
    bool waiting_for_answer_ = false;
    // After a tick: the timer ticks at TickInterval, or, while an answer is awaited for longer
    // than that, waits for the answer's deadline.
    void ChooseNextTick();
    // A timer waiting for an answer's deadline ticks as soon as it can (under the exchange lock).
    void TickSoon();
    // Under the list's shared lock and the exchange lock: steps 6 to 13 of a tick (TickSteps),
    // then the choice of the next tick.
    void TickLocked();
    void TickSteps();
    // Keeps a retry that the pause held back: due, and first in line when the pause ends.
    void HoldRetry(TBasicRequestItem& item);
    // Chooses the next item to send from `first` to the end of the list; -1 when none is due.
    std::int32_t Select(std::int32_t first, std::int32_t end);
};

// A data source's own queue: holds the master copy of the requests and their schedules. It stays
// still while its owner is missing or not running.
class TQueueControllerTimerEx : public TQueueControllerTimer {
   public:
    using TQueueControllerTimer::TQueueControllerTimer;
    bool IsStopped() const noexcept override;
    bool IsBusy() const noexcept override;
};

// A client's queue: sends the client's copy of the requests; defers while its client is active
// and the client's data source is busy.
class TQueueControllerTimerClients : public TQueueControllerTimer {
   public:
    using TQueueControllerTimer::TQueueControllerTimer;
    bool IsStopped() const noexcept override { return false; }
    bool IsBusy() const noexcept override;
};

}  // namespace zol::parser
