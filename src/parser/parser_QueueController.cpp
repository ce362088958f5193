#include "parser/parser_QueueController.h"

#include <algorithm>
#include <cstdio>

#include "platform/system.h"

namespace zol::parser {

namespace {

std::atomic<std::uint32_t> next_queue_identity{1};

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool CompletesExchange(std::uint8_t code) noexcept {
    return code == 1 || code == 8 || code == 9 || code == 10;
}

}  // namespace

// ---- TQueueController ------------------------------------------------------------------------

TQueueController::TQueueController(QueueOwner* owner)
    : Owner(owner), identity_(next_queue_identity.fetch_add(1, std::memory_order_relaxed)) {}

TQueueController::~TQueueController() = default;

bool TQueueController::DoSendRequest(TBasicRequestItem& item, std::uint32_t& response_timeout,
                                     std::int32_t& send_tag) {
    if (!OnSendRequest) return false;
    return OnSendRequest(*this, item, response_timeout, send_tag);
}

void TQueueController::DoRequestTimeout(TBasicRequestItem& item, bool& retry) {
    if (OnRequestTimeout) OnRequestTimeout(*this, item, retry);
}

void TQueueController::DoError(std::string_view context, const std::exception& error,
                               std::string_view detail) {
    if (OnError) OnError(*this, context, error, detail);
}

void TQueueController::DoScheduled(scheduler::TScheduledEvent& event, TBasicRequestItem& item) {
    if (OnScheduled) OnScheduled(*this, event, item);
}

void TQueueController::ReleaseCurrent(std::uint8_t code) {
    common::SharedSection list(Requests.Lock());
    std::lock_guard<platform::RecursiveMutex> state(state_mutex_);
    ResponseTimeout.Clear();
    answer_claimed_ = false;
    AnswerSettled();
    if (Current == nullptr || Requests.IndexOf(Current) < 0) return;
    // A completed one-shot request stays sent: that is what keeps it from going out again.
    if (Current->Method != TRequestMethod::rmOnce) Current->Sent = false;
    if (CompletesExchange(code)) Current->RetryCount = 0;
}

void TQueueController::ExpectResponse(std::uint32_t timeout_ms) {
    std::lock_guard<platform::RecursiveMutex> state(state_mutex_);
    answer_claimed_ = false;
    if (timeout_ms > 0) {
        ResponseTimeout.StartWithTimeout(timeout_ms);
    } else {
        ResponseTimeout.Clear();
        AnswerSettled();
    }
}

void TQueueController::ClaimAnswer() {
    std::lock_guard<platform::RecursiveMutex> state(state_mutex_);
    answer_claimed_ = Current != nullptr;
}

void TQueueController::LetGoOfAnswer() {
    std::lock_guard<platform::RecursiveMutex> state(state_mutex_);
    if (!answer_claimed_) return;
    answer_claimed_ = false;
    // The deadline may have passed while the answer was in hand: let a tick look at it now.
    AnswerSettled();
}

void TQueueController::RestOnce(TBasicRequestItem& item) {
    if (item.Method != TRequestMethod::rmOnce) return;
    item.Sent = true;
    if (std::find(rested_once_.begin(), rested_once_.end(), item.Identity()) ==
        rested_once_.end()) {
        rested_once_.push_back(item.Identity());
    }
}

TBasicRequestItem* TQueueController::ClaimedRequest() const noexcept {
    return answer_claimed_ ? Current : nullptr;
}

std::optional<bool> TQueueController::SendRefused(std::uint64_t exchange) {
    common::SharedSection list(Requests.Lock());
    std::lock_guard<platform::RecursiveMutex> state(state_mutex_);
    if (exchange != exchange_number_ || Current == nullptr) return std::nullopt;
    const std::int32_t position = Requests.IndexOf(Current);
    TBasicRequestItem& item = *Current;
    Current = nullptr;
    answer_claimed_ = false;
    ResponseTimeout.Clear();
    AnswerSettled();
    if (position < 0) return std::nullopt;
    // The request was never on the wire: its poll timer and last send are what they were, unless
    // something made it due since (a port-open event), which stands.
    if (item.LastSent == sent_state_.sent_at) {
        item.PollTimer = sent_state_.poll_timer;
        item.LastSent = sent_state_.last_sent;
    }
    const bool attempts_left = item.RetryCount < item.MaxRetries;
    if (attempts_left) {
        // Offered again on a later tick, in its turn: the scan resumes where it did before.
        item.Sent = false;
        item.Pending = sent_state_.was_pending;
        ResumeIndex = sent_state_.resume_index;
    } else {
        // Given up until its next trigger (a refused one-shot request rests).
        if (item.Method != TRequestMethod::rmOnce) item.Sent = false;
        RestOnce(item);
        item.RetryCount = 0;
        ResumeIndex = position + 1;
    }
    return attempts_left;
}

// ---- TSchEventList ---------------------------------------------------------------------------

scheduler::TScheduledEvent& TSchEventList::Add(std::string name) {
    events_.push_back(std::make_unique<scheduler::TScheduledEvent>(std::move(name)));
    scheduler::TScheduledEvent& event = *events_.back();
    if (OnAdd) OnAdd(event);
    return event;
}

std::vector<std::unique_ptr<scheduler::TScheduledEvent>> TSchEventList::TakeAll() noexcept {
    std::vector<std::unique_ptr<scheduler::TScheduledEvent>> taken;
    taken.swap(events_);
    std::reverse(taken.begin(), taken.end());
    return taken;
}

// ---- TQueueControllerTimer -------------------------------------------------------------------

TQueueControllerTimer::TQueueControllerTimer(QueueOwner* owner, common::TimerHome* home)
    : TQueueController(owner) {
    auto tick = [this](common::TzolTimerEx&) { Tick(); };
    if (home != nullptr) {
        Timer = std::make_unique<common::TzolTimerEx>(*home, kDefaultTickInterval, tick);
        return;
    }
    Timer = std::make_unique<common::TzolTimerEx>(nullptr);
    Timer->SetEnabled(false);
    Timer->SetInterval(kDefaultTickInterval);
    Timer->SetOnTimer(tick);
}

TQueueControllerTimer::~TQueueControllerTimer() {
    common::FreeTimer(Timer);
    StopSchedules();
    Requests.Clear();
}

void TQueueControllerTimer::SetTimerEnabled(bool value) {
    if (Timer) Timer->SetEnabled(value);
}

void TQueueControllerTimer::Rearm(bool reset_position) {
    if (!Timer) return;
    if (reset_position) {
        std::lock_guard<platform::RecursiveMutex> state(state_mutex_);
        ResumeIndex = -1;
        Pause.Clear();
    }
    Timer->SetEnabled(!IsStopped() && Requests.Count() > 0);
}

void TQueueControllerTimer::Tick() {
    // An owner retired during this tick is let go when everything else of the tick is done (it
    // may free this queue): declared first, so destroyed last.
    std::shared_ptr<void> parked;
    // The timer keeps running through the tick: stopping it here and setting it again at the end
    // would cost two OS timer calls per tick and queue, the most frequent work of a large site. A
    // tick that a message loop inside this one would start is skipped instead, as a stopped
    // timer would skip it.
    {
        std::lock_guard<std::mutex> lock(tick_mutex_);
        if (ticking_ || retired_) return;
        ticking_ = true;
    }
    if (Owner != nullptr) Owner->TickBegins();
    // Every way out, an exception included, re-arms the timer (which leaves a running timer
    // alone); the exception itself goes on to the timer, which reports it.
    struct RearmOnExit {
        TQueueControllerTimer& queue;
        std::shared_ptr<void>& parked;
        ~RearmOnExit() {
            bool retired = false;
            {
                std::lock_guard<std::mutex> lock(queue.tick_mutex_);
                retired = queue.retired_;
            }
            if (!retired) {
                try {
                    queue.Rearm(false);
                } catch (...) {
                    // The timer could not be re-armed (no timers left); nothing more can be done
                    // from a tick, and the next reset or host event arms it again.
                }
            }
            if (queue.Owner != nullptr) queue.Owner->TickEnds();
            std::lock_guard<std::mutex> lock(queue.tick_mutex_);
            queue.ticking_ = false;
            parked = std::move(queue.parked_owner_);
        }
    } rearm{*this, parked};
    if (IsStopped()) {
        SetTimerEnabled(false);
        return;
    }
    if (IsBusy()) {
        // A skipped tick still chooses the next one: the extra tick that ended a wait for an
        // answer must not leave the timer waiting for that answer's deadline.
        std::lock_guard<platform::RecursiveMutex> state(state_mutex_);
        ChooseNextTick();
        return;
    }
    if (ResetRequest.exchange(0) != 0) {
        ResetSchedule();
        return;
    }
    TickLocked();
    // What the tick chose to send goes to the host now, with the queue's locks let go.
    if (Owner != nullptr) Owner->FlushSends();
}

bool TQueueControllerTimer::Retire(std::shared_ptr<void>& owner) {
    bool parked = false;
    {
        std::lock_guard<std::mutex> lock(tick_mutex_);
        retired_ = true;
        if (ticking_) {
            parked_owner_ = std::move(owner);
            parked = true;
        }
    }
    try {
        SetTimerEnabled(false);
    } catch (...) {
        // A retired queue's ticks end at their start whatever its timer does.
    }
    return parked;
}

void TQueueControllerTimer::HoldRetry(TBasicRequestItem& item) {
    HeldRetry = &item;
    switch (item.Method) {
        case TRequestMethod::rmOnce:
            break;  // not sent: due as it is
        case TRequestMethod::rmAtTime:
        case TRequestMethod::rmCron:
        case TRequestMethod::rmEvent:
            item.Pending = true;
            break;
        default:
            item.PollTimer.Clear();
            break;
    }
}

std::int32_t TQueueControllerTimer::Select(std::int32_t first, std::int32_t end) {
    std::uint64_t best = 0;
    std::int32_t chosen = -1;
    for (std::int32_t i = first; i < end; ++i) {
        TBasicRequestItem& item = *Requests.Item(i);
        if (!item.Enabled) continue;
        switch (item.Method) {
            case TRequestMethod::rmOnce:
                if (!item.Sent) return i;
                continue;
            case TRequestMethod::rmAtTime:
            case TRequestMethod::rmCron:
            case TRequestMethod::rmEvent:
                if (!item.Pending) continue;
                break;
            default:
                if (!item.PollTimer.Expired(static_cast<std::uint32_t>(item.PollInterval))) {
                    continue;
                }
                break;
        }
        if (best == 0 || item.LastSent < best) {
            chosen = i;
            best = item.LastSent;
            if (best == 0) return i;  // never sent: wins at once
        }
    }
    return chosen;
}

void TQueueControllerTimer::TickLocked() {
    common::SharedSection list(Requests.Lock());
    std::lock_guard<platform::RecursiveMutex> state(state_mutex_);
    TickSteps();
    ChooseNextTick();
}

// While an answer is awaited a tick has nothing to do but notice the deadline, and on a busy
// site ticks every 50 ms on every port were most of the plug-in's work. The timer therefore
// waits for the deadline; the end of the exchange, on whatever thread the answer is handled,
// brings the tick back at once (AnswerSettled).
void TQueueControllerTimer::ChooseNextTick() {
    std::uint32_t next = TickInterval;
    if (!ResponseTimeout.IsClear() && !answer_claimed_) {
        const std::uint64_t now = ResponseTimeout.ReadTick();
        const std::uint64_t left =
            ResponseTimeout.Deadline > now ? ResponseTimeout.Deadline - now : 0;
        if (left > TickInterval)
            next = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, UINT32_MAX));
    }
    waiting_for_answer_ = next != TickInterval;
    if (Timer) Timer->SetInterval(next);
}

void TQueueControllerTimer::AnswerSettled() { TickSoon(); }

void TQueueControllerTimer::TickSoon() {
    if (!waiting_for_answer_) return;
    waiting_for_answer_ = false;
    // An extra tick at once; it chooses the timer's interval again.
    if (Timer) Timer->RequestTick();
}

void TQueueControllerTimer::TickSteps() {
    std::int32_t chosen = -1;

    // The answer is in the client's hands: the exchange is neither over nor late.
    if (answer_claimed_) return;

    // An answer awaited: wait on, or handle its timeout.
    if (!ResponseTimeout.IsClear()) {
        if (!ResponseTimeout.Expired()) return;
        ResponseTimeout.Clear();
        if (Current != nullptr) {
            const std::int32_t position = Requests.IndexOf(Current);
            if (position >= 0) {
                TBasicRequestItem& current = *Current;
                current.Sent = false;
                bool retry = current.RetryCount < current.MaxRetries;
                DoRequestTimeout(current, retry);
                if (retry) {
                    chosen = position;
                } else {
                    // A one-shot request rests after its last attempt instead of going out again
                    // at once, for ever, to a meter that does not answer.
                    RestOnce(current);
                    current.RetryCount = 0;
                }
            }
            // A request that left the list (a reload) is forgotten too: nothing may reach it
            // through Current any more.
            Current = nullptr;
        }
    }

    if (!Pause.IsClear()) {
        if (!Pause.Expired()) {
            // A retry chosen above waits with everything else, but it is not lost: it stays due
            // and goes out first when the pause ends, its attempts counted as they were.
            if (chosen >= 0) HoldRetry(*Requests.Item(chosen));
            return;
        }
        Pause.Clear();
    }

    const std::int32_t count = Requests.CountLocked();
    if (chosen < 0 && HeldRetry != nullptr) chosen = Requests.IndexOf(HeldRetry);
    HeldRetry = nullptr;
    if (chosen < 0) {
        // The scan starts behind the last request sent, so every due request gets its turn.
        // When nothing from there to the end is due, it goes on from the top: requests before
        // the resume position are never held back by requests behind it that are not due.
        const std::int32_t first = ResumeIndex >= 0 && ResumeIndex < count ? ResumeIndex : 0;
        chosen = Select(first, count);
        if (chosen < 0 && first > 0) chosen = Select(0, first);
    }
    if (chosen < 0) return;

    TBasicRequestItem& item = *Requests.Item(chosen);
    const bool was_pending = item.Pending;
    item.Sent = true;
    item.Pending = false;
    if (MinInterval > 0) Pause.StartWithTimeout(static_cast<std::uint32_t>(MinInterval));
    if (item.RetryCount < item.MaxRetries) ++item.RetryCount;
    std::uint32_t response_timeout = 0;
    ++exchange_number_;
    sent_state_ = SentState{was_pending, item.PollTimer, item.LastSent, ResumeIndex, 0};
    if (DoSendRequest(item, response_timeout, SendTag)) {
        ResumeIndex = chosen + 1;
        item.SendTag = SendTag;
        item.PollTimer.Restart();
        item.LastSent = item.PollTimer.Start;
        sent_state_.sent_at = item.LastSent;
        Current = &item;
        if (response_timeout > 0) {
            ResponseTimeout.StartWithTimeout(response_timeout);
        } else {
            ResponseTimeout.Clear();
        }
        return;
    }
    if (item.RetryCount < item.MaxRetries) {
        // Offered again on a later tick.
        item.Sent = false;
        item.Pending = was_pending;
        return;
    }
    // Given up until its next trigger (a refused one-shot request rests).
    ResumeIndex = chosen + 1;
    if (item.Method != TRequestMethod::rmOnce) item.Sent = false;
    RestOnce(item);
    item.RetryCount = 0;
}

void TQueueControllerTimer::ResetSchedule() {
    if (Timer && platform::CurrentThreadId() != Timer->OwnerThread()) {
        // The timer's interval belongs to its own thread: the next tick does the reset there,
        // soon even while an answer is awaited.
        ResetRequest.store(1);
        {
            std::lock_guard<platform::RecursiveMutex> state(state_mutex_);
            TickSoon();
        }
        Rearm(false);
        return;
    }
    std::uint32_t tick = kDefaultTickInterval;
    SetTimerEnabled(false);
    {
        common::ExclusiveSection list(Requests.Lock());
        std::lock_guard<platform::RecursiveMutex> state(state_mutex_);
        ResumeIndex = -1;
        for (std::int32_t i = 0; i < Requests.CountLocked(); ++i) {
            TBasicRequestItem& item = *Requests.Item(i);
            item.PollTimer.Clear();
            item.LastSent = 0;
            if (item.Method == TRequestMethod::rmPoll &&
                static_cast<std::uint32_t>(item.PollInterval) < tick) {
                tick = static_cast<std::uint32_t>(item.PollInterval);
            }
        }
    }
    // Window timers do not tick faster than the system's floor; a zero interval would not
    // tick at all.
    TickInterval = std::max(tick, kMinTickInterval);
    if (Timer) Timer->SetInterval(TickInterval);
    Rearm(false);
}

void TQueueControllerTimer::HostEvent(std::string_view name, bool is_port_open,
                                      const common::TzolParamsList* params) {
    common::ExclusiveSection list(Requests.Lock());
    std::lock_guard<platform::RecursiveMutex> state(state_mutex_);
    for (std::int32_t i = 0; i < Requests.CountLocked(); ++i) {
        TBasicRequestItem& item = *Requests.Item(i);
        const bool match = item.Method == TRequestMethod::rmEvent &&
                           EqualsIgnoringAsciiCase(item.MethodParams.Param, name);
        if (!is_port_open && !match) continue;
        if (is_port_open && item.Method == TRequestMethod::rmOnce &&
            std::find(rested_once_.begin(), rested_once_.end(), item.Identity()) !=
                rested_once_.end()) {
            item.Sent = false;  // a one-shot request that rested tries again
        }
        item.PollTimer.Clear();
        item.LastSent = 0;
        item.RetryCount = 0;
        if (match && params != nullptr) {
            if (!item.EventParams) item.EventParams = std::make_unique<common::TzolParamsList>();
            item.EventParams->Clear();
            item.EventParams->AddList(params);
        }
        if (!is_port_open) {
            item.Pending = true;
            ResumeIndex = -1;
            Pause.Clear();
        }
    }
    if (is_port_open) rested_once_.clear();
}

void TQueueControllerTimer::StopSchedules() noexcept {
    try {
        std::vector<std::unique_ptr<scheduler::TScheduledEvent>> events;
        {
            std::lock_guard<platform::RecursiveMutex> lock(events_mutex_);
            events = Events.TakeAll();
        }
        // Stopped outside the lock: nobody can reach them any more.
        for (auto& event : events) {
            try {
                event->Stop();
            } catch (...) {
                // A schedule that cannot be stopped cleanly is freed all the same.
            }
        }
    } catch (...) {
        // Stopping is best effort: the queue goes on without its schedules.
    }
}

void TQueueControllerTimer::AddSchedules(TBasicRequestItem& item) {
    if (item.MethodParams.Method == TRequestMethod::rmCron) {
        // A five-field (Unix) string restricting both day fields runs on either: two schedules.
        int index = 0;
        for (const std::string& cron : CronStringsFromParams(item.MethodParams)) {
            RegisterSchedule(item, cron, index++);
        }
        return;
    }
    for (const AtTimeSchedule& schedule : ParseAtTimeList(item.MethodParams.Param)) {
        RegisterSchedule(item, schedule.cron, schedule.index);
    }
}

void TQueueControllerTimer::RegisterSchedule(TBasicRequestItem& item, const std::string& cron,
                                             int index) {
    char group[40];
    std::snprintf(group, sizeof group, "G%u_%08X_%08X",
                  static_cast<unsigned>(item.MethodParams.Method), item.Identity(), Identity());
    std::lock_guard<platform::RecursiveMutex> lock(events_mutex_);
    scheduler::TScheduledEvent& event =
        Events.Add(std::string(group) + "/" + std::to_string(index));
    item.ScheduleId = group;
    try {
        event.SetSignalType(scheduler::TSignalType::kTimer);
        event.Schedule.SetCronString(cron);
        event.OnSchedule = [this](scheduler::TScheduledEvent& fired) { ScheduleFired(fired); };
        if (!event.Run(false)) throw scheduler::ScheduleError("The schedule has no further run");
    } catch (const std::exception& error) {
        DoError("Cron", error, cron);
    }
}

void TQueueControllerTimer::ScheduleFired(scheduler::TScheduledEvent& event) {
    std::string_view name = event.Name;
    const std::string group(common::TrimControl(name.substr(0, name.find('/'))));
    bool matched = false;
    {
        common::SharedSection list(Requests.Lock());
        std::lock_guard<platform::RecursiveMutex> state(state_mutex_);
        for (std::int32_t i = 0; i < Requests.CountLocked(); ++i) {
            TBasicRequestItem& item = *Requests.Item(i);
            if (item.ScheduleId != group) continue;
            item.Pending = true;
            Pause.Clear();
            DoScheduled(event, item);
            matched = true;
        }
    }
    if (matched) Tick();
}

bool TQueueControllerTimer::MarkPending(std::string_view schedule_id) {
    common::SharedSection list(Requests.Lock());
    std::lock_guard<platform::RecursiveMutex> state(state_mutex_);
    bool matched = false;
    for (std::int32_t i = 0; i < Requests.CountLocked(); ++i) {
        TBasicRequestItem& item = *Requests.Item(i);
        if (item.ScheduleId != schedule_id) continue;
        item.Pending = true;
        matched = true;
    }
    return matched;
}

// ---- The two queues of a data source ---------------------------------------------------------

bool TQueueControllerTimerEx::IsStopped() const noexcept {
    return Owner == nullptr || Owner->IsNotRunning();
}

bool TQueueControllerTimerEx::IsBusy() const noexcept {
    return Owner != nullptr && Owner->IsBusy();
}

bool TQueueControllerTimerClients::IsBusy() const noexcept {
    return Owner != nullptr && Owner->IsActive() && Owner->IsBusy();
}

}  // namespace zol::parser
