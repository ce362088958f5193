#include "zolShared/Public/Common/zolRoundTimer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/crash_report.h"
#include "platform/system.h"
#include "zolShared/Public/Common/zolTimerEx.h"

namespace zol::common {

struct TzolRoundTimer::Job {
    // Guards `handler` and `running`; leaving the round waits on `ran` for a run in progress.
    std::mutex lock;
    std::condition_variable ran;
    Handler handler;  // cleared when the job leaves
    bool running = false;
    // Changed only under the round's lock; read without it too, so that the per-packet "still
    // enabled" call and a round's check of a job need no lock.
    std::atomic<bool> enabled{false};
};

class TzolRoundTimer::Round : public std::enable_shared_from_this<Round> {
   public:
    explicit Round(std::uint32_t interval_ms) : timer_(std::make_unique<TzolTimerEx>(nullptr)) {
        timer_->SetEnabled(false);
        timer_->SetInterval(interval_ms);
    }
    ~Round() { FreeTimer(timer_); }

    // Called once by the creator, when a shared_ptr owns the round: the tick holds the round
    // alive while it runs, and the last job leaving from inside a tick frees it afterwards.
    void Bind() {
        std::weak_ptr<Round> weak = weak_from_this();
        timer_->SetOnTimer([weak](TzolTimerEx&) {
            if (auto self = weak.lock()) self->Tick();
        });
    }

    void Join(const std::shared_ptr<Job>& job) {
        std::lock_guard lock(lock_);
        jobs_.push_back(job);
    }

    void Leave(const std::shared_ptr<Job>& job) {
        std::lock_guard lock(lock_);
        for (auto it = jobs_.begin(); it != jobs_.end(); ++it) {
            if (*it != job) continue;
            if (job->enabled) --enabled_count_;
            job->enabled = false;
            jobs_.erase(it);
            break;
        }
    }

    // Whether the round's timer runs or is asked for; false after the system refused it.
    bool TimerWanted() const noexcept { return timer_->EnableWanted(); }

    void SetEnabled(Job& job, bool value) {
        std::lock_guard lock(lock_);
        if (job.enabled == value) {
            // An enabled job whose round timer the system refused (on the owner thread, after a
            // request from another one) asks for it again.
            if (value && !timer_->EnableWanted()) timer_->SetEnabled(true);
            return;
        }
        // The OS timer is asked for before the job counts as enabled: when it is refused the
        // job stays disabled and the caller hears of it.
        if (value && enabled_count_ == 0) timer_->SetEnabled(true);
        job.enabled.store(value, std::memory_order_release);
        if (value) {
            ++enabled_count_;
        } else {
            --enabled_count_;
        }
    }

   private:
    void Tick() {
        std::vector<std::shared_ptr<Job>> due;
        {
            std::lock_guard lock(lock_);
            // Stopping here rather than when the last job is disabled keeps a job that is
            // switched off and on between ticks (as a data source does with every packet) from
            // costing OS timer calls. Requests to the timer are made under the lock, so the
            // latest one is the one the owner thread applies.
            if (enabled_count_ == 0) {
                try {
                    timer_->SetEnabled(false);
                } catch (...) {
                    // Stopping a timer cannot run short of timers.
                }
                return;
            }
            due.reserve(enabled_count_);
            for (const auto& job : jobs_) {
                if (job->enabled) due.push_back(job);
            }
        }
        // Jobs run without the round's lock: they may enable, disable or leave, their own or
        // another's, and other threads may do so meanwhile. A job disabled since the list was
        // taken is skipped; one that left has no handler any more.
        for (const auto& job : due) {
            Handler handler;  // a copy: a job may free its own round timer
            {
                std::lock_guard lock(job->lock);
                if (!job->handler || !job->enabled.load(std::memory_order_acquire)) continue;
                handler = job->handler;
                job->running = true;
            }
            try {
                handler();
            } catch (...) {
                platform::ReportCurrentException("TzolRoundTimer.OnTimer");
            }
            {
                std::lock_guard lock(job->lock);
                job->running = false;
            }
            job->ran.notify_all();
        }
    }

    std::mutex lock_;
    std::vector<std::shared_ptr<Job>> jobs_;
    std::size_t enabled_count_ = 0;
    std::unique_ptr<TzolTimerEx> timer_;
};

namespace {

// Tells threads apart for the whole life of the process: an OS thread id may be reused by a
// later thread, whose jobs must not join a round that ticked on the one before it. Trivially
// destructible, as thread-local state of a module that may be unloaded while threads live on
// must be.
std::atomic<std::uint64_t> g_next_thread_token{1};
thread_local std::uint64_t t_thread_token = 0;

std::uint64_t ThreadToken() {
    if (t_thread_token == 0) t_thread_token = g_next_thread_token.fetch_add(1);
    return t_thread_token;
}

std::mutex& RegistryLock() {
    static std::mutex lock;
    return lock;
}

std::map<std::pair<std::uint64_t, std::uint32_t>, std::weak_ptr<TzolRoundTimer::Round>>&
Registry() {
    static std::map<std::pair<std::uint64_t, std::uint32_t>, std::weak_ptr<TzolRoundTimer::Round>>
        rounds;
    return rounds;
}

}  // namespace

TzolRoundTimer::TzolRoundTimer(std::uint32_t interval_ms, Handler handler)
    : interval_(interval_ms),
      owner_thread_(platform::CurrentThreadId()),
      job_(std::make_shared<Job>()) {
    job_->handler = std::move(handler);
    const std::pair key{ThreadToken(), interval_ms};
    {
        std::lock_guard lock(RegistryLock());
        auto& rounds = Registry();
        if (auto found = rounds.find(key); found != rounds.end()) round_ = found->second.lock();
        if (!round_) {
            // Rounds of jobs that are all gone leave an expired entry behind; clear them out
            // while here so that the registry stays as small as the live rounds.
            std::erase_if(rounds, [](const auto& entry) { return entry.second.expired(); });
            round_ = std::make_shared<Round>(interval_ms);
            round_->Bind();
            rounds[key] = round_;
        }
    }
    round_->Join(job_);
}

TzolRoundTimer::~TzolRoundTimer() {
    round_->Leave(job_);
    {
        std::unique_lock lock(job_->lock);
        // A run in progress on another thread is waited for; on the owner thread it is the
        // caller itself (the job freeing itself or another job of its round).
        if (job_->running && platform::CurrentThreadId() != owner_thread_ &&
            !job_->ran.wait_for(lock, std::chrono::milliseconds(TzolTimerEx::kCrossThreadWaitMs),
                                [this] { return !job_->running; })) {
            platform::ReportFailure("TzolRoundTimer.Destroy",
                                    "a run in progress on the owner thread did not end within "
                                    "5000 ms; the job was freed without it");
        }
        job_->handler = nullptr;
    }
    // Dropping the last job frees the round and its OS timer (through the owner thread when
    // this is another one).
    round_.reset();
}

void TzolRoundTimer::SetEnabled(bool value) {
    // The per-packet call of an enabled job costs two atomic reads.
    if (job_->enabled.load(std::memory_order_acquire) == value &&
        (!value || round_->TimerWanted())) {
        return;
    }
    round_->SetEnabled(*job_, value);
}

bool TzolRoundTimer::Enabled() const noexcept {
    return job_->enabled.load(std::memory_order_acquire);
}

}  // namespace zol::common
