#include "hostsim/host_style.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <memory>
#include <mutex>
#include <vector>

#include "hostsim/host_lib.h"

namespace zol::hostsim {

namespace {

// What the port-write entry point answers for a port it did not write.
constexpr std::int32_t kNotWritten = -12;

// A write handed to the main thread. `write` lives on the stack of the thread that waits for it:
// the main thread may call it only once it has marked the write started, and the waiting thread
// stops waiting only when the write is done or was given up before it started.
struct HandedWrite {
    const std::function<std::int32_t()>* write = nullptr;
    std::mutex lock;
    std::condition_variable changed;
    bool started = false;
    bool done = false;
    bool given_up = false;
    std::int32_t result = kNotWritten;
};

std::atomic<HostStyle> g_style{HostStyle::kPlain};
std::atomic<HWND> g_main_window{nullptr};
std::atomic<DWORD> g_main_thread{0};
std::atomic<std::uint32_t> g_hang_limit_ms{kDefaultHangLimitMs};

std::mutex g_lock;  // everything below
std::deque<std::shared_ptr<HandedWrite>> g_handed;
std::shared_ptr<std::function<void(const HostHang&)>> g_hang_observer;
struct PumpJob {
    std::function<void()> job;
    std::optional<std::int32_t> source_id;
};
std::vector<PumpJob> g_pump_jobs;
std::vector<std::string> g_main_calls;
HostStyleCounts g_counts;

thread_local std::uint32_t t_dispatch_depth = 0;
thread_local std::uint32_t t_pump_depth = 0;
thread_local ULONGLONG t_pump_end = 0;  // when the outermost pump of this thread ends

bool OnMainThread() noexcept {
    const DWORD main = g_main_thread.load();
    return main != 0 && main == GetCurrentThreadId();
}

std::string MainThreadCalls() {
    std::string text;
    for (const auto& call : g_main_calls) text += (text.empty() ? "" : " > ") + call;
    return text;
}

void GiveUp(std::int32_t source_id, std::uint32_t waited_ms) {
    std::shared_ptr<std::function<void(const HostHang&)>> observer;
    HostHang hang;
    hang.source_id = source_id;
    hang.waited_ms = waited_ms;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        ++g_counts.hangs;
        hang.main_thread_calls = MainThreadCalls();
        observer = g_hang_observer;
    }
    if (observer != nullptr && *observer) (*observer)(hang);
}

}  // namespace

std::optional<HostStyle> HostStyleNamed(std::string_view name) noexcept {
    for (HostStyle style : {HostStyle::kPlain, HostStyle::kMainThreadWrite, HostStyle::kPumping}) {
        if (name == HostStyleName(style)) return style;
    }
    return std::nullopt;
}

const char* HostStyleName(HostStyle style) noexcept {
    switch (style) {
        case HostStyle::kMainThreadWrite:
            return "main-thread-write";
        case HostStyle::kPumping:
            return "pumping";
        case HostStyle::kPlain:
            break;
    }
    return "plain";
}

void SetHostStyle(HostStyle style, HostWindow* main_window, std::uint32_t hang_limit_ms) {
    const HWND window = main_window != nullptr ? main_window->Handle() : nullptr;
    std::lock_guard<std::mutex> guard(g_lock);
    g_main_window = window;
    g_main_thread = window != nullptr ? GetWindowThreadProcessId(window, nullptr) : 0;
    g_hang_limit_ms = std::max<std::uint32_t>(hang_limit_ms, 1);
    g_style = window != nullptr ? style : HostStyle::kPlain;
    if (window == nullptr) g_pump_jobs.clear();
}

HostStyle CurrentHostStyle() noexcept { return g_style.load(); }

HostStyleCounts HostStyleTotals() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_counts;
}

HostStyleCounts operator-(const HostStyleCounts& later, const HostStyleCounts& earlier) {
    HostStyleCounts out;
    out.writes_handed = later.writes_handed - earlier.writes_handed;
    out.hangs = later.hangs - earlier.hangs;
    out.pumps = later.pumps - earlier.pumps;
    out.dispatched = later.dispatched - earlier.dispatched;
    out.timer_ticks = later.timer_ticks - earlier.timer_ticks;
    out.nested_ticks = later.nested_ticks - earlier.nested_ticks;
    out.host_messages = later.host_messages - earlier.host_messages;
    // The deepest nesting is a high mark, not a count: the later reading's.
    out.deepest = later.deepest;
    return out;
}

HostStyleCounts& operator+=(HostStyleCounts& total, const HostStyleCounts& more) {
    total.writes_handed += more.writes_handed;
    total.hangs += more.hangs;
    total.pumps += more.pumps;
    total.dispatched += more.dispatched;
    total.timer_ticks += more.timer_ticks;
    total.nested_ticks += more.nested_ticks;
    total.host_messages += more.host_messages;
    total.deepest = std::max(total.deepest, more.deepest);
    return total;
}

std::string HostStyleText(HostStyle style, const HostStyleCounts& counts) {
    const auto n = [](std::uint64_t value) { return std::to_string(value); };
    switch (style) {
        case HostStyle::kMainThreadWrite:
            return "writes handed to the main thread " + n(counts.writes_handed) + ", hangs " +
                   n(counts.hangs);
        case HostStyle::kPumping:
            return "entry points pumping " + n(counts.pumps) + " (deepest nesting " +
                   n(counts.deepest) + "), plug-in messages inside them " + n(counts.dispatched) +
                   " (timer " + n(counts.timer_ticks) + ", of them inside a tick " +
                   n(counts.nested_ticks) + "), host messages inside them " +
                   n(counts.host_messages);
        case HostStyle::kPlain:
            break;
    }
    return {};
}

void SetHangObserver(std::function<void(const HostHang&)> observer) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_hang_observer =
        observer ? std::make_shared<std::function<void(const HostHang&)>>(std::move(observer))
                 : nullptr;
}

void RunInsideNextPump(std::function<void()> job, std::optional<std::int32_t> source_id) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_pump_jobs.push_back({std::move(job), source_id});
}

MainThreadCall::MainThreadCall(std::string_view what) {
    if (!OnMainThread()) return;
    std::lock_guard<std::mutex> guard(g_lock);
    g_main_calls.emplace_back(what);
    marked_ = true;
}

MainThreadCall::~MainThreadCall() {
    if (!marked_) return;
    std::lock_guard<std::mutex> guard(g_lock);
    if (!g_main_calls.empty()) g_main_calls.pop_back();
}

std::int32_t StyledPortWrite(std::int32_t source_id, const std::function<std::int32_t()>& write) {
    const HWND window = g_main_window.load();
    if (g_style.load() != HostStyle::kMainThreadWrite || window == nullptr || OnMainThread()) {
        return write();
    }
    auto handed = std::make_shared<HandedWrite>();
    handed->write = &write;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_handed.push_back(handed);
        ++g_counts.writes_handed;
    }
    const std::uint32_t limit = g_hang_limit_ms.load();
    const ULONGLONG posted = GetTickCount64();
    std::unique_lock<std::mutex> lock(handed->lock);
    if (!PostMessageA(window, kMsgHandedWrites, 0, 0)) {
        // The main thread's window is gone: nobody is left to write for this thread.
        handed->given_up = true;
        return kNotWritten;
    }
    if (!handed->changed.wait_for(lock, std::chrono::milliseconds(limit),
                                  [&] { return handed->started; })) {
        handed->given_up = true;
        lock.unlock();
        GiveUp(source_id, static_cast<std::uint32_t>(GetTickCount64() - posted));
        return kNotWritten;
    }
    // Taken up: the main thread is writing, however long the port takes.
    handed->changed.wait(lock, [&] { return handed->done; });
    return handed->result;
}

void RunHandedWrites() {
    std::deque<std::shared_ptr<HandedWrite>> taken;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        taken.swap(g_handed);
    }
    for (const auto& handed : taken) {
        {
            std::lock_guard<std::mutex> guard(handed->lock);
            if (handed->given_up) continue;
            handed->started = true;
        }
        handed->changed.notify_all();
        std::int32_t result = kNotWritten;
        try {
            result = (*handed->write)();
        } catch (...) {
            // A write that throws wrote nothing; its caller hears so.
        }
        {
            std::lock_guard<std::mutex> guard(handed->lock);
            handed->result = result;
            handed->done = true;
        }
        handed->changed.notify_all();
    }
}

void DispatchCounted(const MSG& message) {
    ++t_dispatch_depth;
    struct Leave {
        ~Leave() { --t_dispatch_depth; }
    } leave;
    TranslateMessage(&message);
    DispatchMessageA(&message);
}

std::uint32_t DispatchDepth() noexcept { return t_dispatch_depth; }

void PumpInsideEntryPoint(std::int32_t source_id) {
    if (g_style.load() != HostStyle::kPumping || t_pump_depth >= kMaxPumpDepth) return;
    const bool main = OnMainThread();
    const bool inside_dispatch = t_dispatch_depth > 0;
    const HWND host_window = g_main_window.load();
    // A pump inside a pump ends with the outer one: the host's loop that waits for the outer
    // call to be done is still the one running.
    const ULONGLONG outer_end = t_pump_end;
    const ULONGLONG end = GetTickCount64() + (main ? kPumpSliceMs : 0);
    t_pump_end = outer_end != 0 ? std::min(outer_end, end) : end;
    ++t_pump_depth;
    struct Leave {
        ULONGLONG outer_end;
        ~Leave() {
            --t_pump_depth;
            t_pump_end = outer_end;
        }
    } leave{outer_end};
    std::vector<PumpJob> jobs;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        ++g_counts.pumps;
        g_counts.deepest = std::max(g_counts.deepest, t_pump_depth);
        if (main) {
            const auto mine = std::stable_partition(
                g_pump_jobs.begin(), g_pump_jobs.end(),
                [&](const PumpJob& job) { return job.source_id.value_or(source_id) != source_id; });
            std::move(mine, g_pump_jobs.end(), std::back_inserter(jobs));
            g_pump_jobs.erase(mine, g_pump_jobs.end());
        }
    }
    for (auto& job : jobs) job.job();
    // The main thread pumps for a slice, so a timer of the plug-in falls due inside the call;
    // the host's other threads hold no windows of their own and only dispatch what waits.
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(message.wParam));  // for the loop outside
                return;
            }
            {
                std::lock_guard<std::mutex> guard(g_lock);
                if (message.hwnd != nullptr && message.hwnd == host_window) {
                    ++g_counts.host_messages;
                } else {
                    ++g_counts.dispatched;
                    if (message.message == WM_TIMER) {
                        ++g_counts.timer_ticks;
                        if (inside_dispatch) ++g_counts.nested_ticks;
                    }
                }
            }
            DispatchCounted(message);
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= t_pump_end) return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(t_pump_end - now),
                                  QS_ALLINPUT);
    }
}

}  // namespace zol::hostsim
