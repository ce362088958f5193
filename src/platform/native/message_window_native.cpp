// The native stand-in for message-only windows: each thread has a message queue; windows belong
// to the thread that allocated them, and their procedures run only inside that thread's
// DispatchPendingMessages. Timers follow the process tick source, so tests drive them with a fake
// clock: advance it, then dispatch. Like window timers, a due timer yields one tick per dispatch
// however late it is, and its next tick is one interval after the tick was handled.
#include "platform/native/message_window_native.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/message_window.h"
#include "platform/system.h"
#include "platform/tick_source.h"
#include "platform/window_binding.h"

namespace zol::platform {

namespace {

struct SendWait {
    std::mutex mutex;
    std::condition_variable done_changed;
    bool done = false;
};

struct WindowCore;

struct ThreadQueue {
    struct Item {
        std::shared_ptr<WindowCore> window;
        std::uint32_t message;
        std::uintptr_t wparam;
        std::shared_ptr<SendWait> wait;
    };
    struct Timer {
        std::weak_ptr<WindowCore> window;
        std::uint32_t id;
        std::uint32_t interval;
        std::uint64_t due;
    };
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<Item> items;
    std::vector<Timer> timers;
    std::size_t timer_quota = native::kUnlimitedTimers;
};

std::shared_ptr<ThreadQueue> QueueOfThisThread() {
    thread_local std::shared_ptr<ThreadQueue> queue = std::make_shared<ThreadQueue>();
    return queue;
}

// What the queue and the window object share; queued items keep it alive after the window
// object is gone.
struct WindowCore {
    explicit WindowCore(WindowProcedure procedure) : binding(std::move(procedure)) {}

    std::shared_ptr<ThreadQueue> queue;
    std::uint32_t owner = 0;
    WindowBinding binding;
    bool exists = true;  // guarded by queue->mutex

    void Deliver(std::uint32_t message, std::uintptr_t wparam) {
        {
            std::lock_guard<std::mutex> queue_lock(queue->mutex);
            if (!exists) return;
        }
        binding.Call(message, wparam);
    }
};

class NativeMessageWindow final : public MessageWindow {
   public:
    explicit NativeMessageWindow(WindowProcedure procedure)
        : core_(std::make_shared<WindowCore>(std::move(procedure))) {
        core_->queue = QueueOfThisThread();
        core_->owner = CurrentThreadId();
    }
    ~NativeMessageWindow() override {
        Detach();
        if (OnOwnerThread()) Release();
    }

    std::uint32_t OwnerThread() const noexcept override { return core_->owner; }
    bool Exists() const noexcept override {
        std::lock_guard<std::mutex> lock(core_->queue->mutex);
        return core_->exists;
    }

    bool StartTimer(std::uint32_t id, std::uint32_t interval_ms) noexcept override {
        ThreadQueue& queue = *core_->queue;
        std::uint64_t now = CurrentTickSource().ReadTick();
        std::lock_guard<std::mutex> lock(queue.mutex);
        if (!core_->exists || !OnOwnerThread()) return false;
        for (auto& timer : queue.timers) {
            if (timer.window.lock() == core_ && timer.id == id) {
                timer.interval = interval_ms;
                timer.due = now + interval_ms;
                return true;
            }
        }
        if (queue.timers.size() >= queue.timer_quota) return false;
        queue.timers.push_back({core_, id, interval_ms, now + interval_ms});
        return true;
    }

    void StopTimer(std::uint32_t id) noexcept override {
        ThreadQueue& queue = *core_->queue;
        std::lock_guard<std::mutex> lock(queue.mutex);
        std::erase_if(queue.timers, [&](const ThreadQueue::Timer& timer) {
            return timer.id == id && timer.window.lock() == core_;
        });
    }

    bool Post(std::uint32_t message, std::uintptr_t wparam) noexcept override {
        return Enqueue(message, wparam, nullptr);
    }

    bool SendNotify(std::uint32_t message, std::uintptr_t wparam) noexcept override {
        if (!OnOwnerThread()) return Enqueue(message, wparam, nullptr);
        core_->Deliver(message, wparam);
        return true;
    }

    bool SendWithTimeout(std::uint32_t message, std::uintptr_t wparam,
                         std::uint32_t timeout_ms) noexcept override {
        if (OnOwnerThread()) {
            core_->Deliver(message, wparam);
            return true;
        }
        try {
            auto wait = std::make_shared<SendWait>();
            if (!Enqueue(message, wparam, wait)) return false;
            std::unique_lock<std::mutex> lock(wait->mutex);
            return wait->done_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                               [&] { return wait->done; });
        } catch (...) {
            return false;
        }
    }

    void Release() noexcept override {
        if (!OnOwnerThread()) return;
        ThreadQueue& queue = *core_->queue;
        std::lock_guard<std::mutex> lock(queue.mutex);
        core_->exists = false;
        std::erase_if(queue.timers, [&](const ThreadQueue::Timer& timer) {
            auto window = timer.window.lock();
            return !window || window == core_;
        });
    }

    void Detach() noexcept override { core_->binding.Detach(); }
    bool Detach(std::uint32_t timeout_ms) noexcept override {
        return core_->binding.Detach(timeout_ms);
    }

   private:
    bool OnOwnerThread() const noexcept { return CurrentThreadId() == core_->owner; }

    bool Enqueue(std::uint32_t message, std::uintptr_t wparam,
                 std::shared_ptr<SendWait> wait) noexcept {
        try {
            ThreadQueue& queue = *core_->queue;
            {
                std::lock_guard<std::mutex> lock(queue.mutex);
                if (!core_->exists) return false;
                queue.items.push_back({core_, message, wparam, std::move(wait)});
            }
            queue.arrived.notify_all();
            return true;
        } catch (...) {
            return false;
        }
    }

    std::shared_ptr<WindowCore> core_;
};

void FinishSend(const std::shared_ptr<SendWait>& wait) {
    if (!wait) return;
    {
        std::lock_guard<std::mutex> lock(wait->mutex);
        wait->done = true;
    }
    wait->done_changed.notify_all();
}

}  // namespace

void native::SetThreadTimerQuota(std::size_t quota) {
    std::shared_ptr<ThreadQueue> queue = QueueOfThisThread();
    std::lock_guard<std::mutex> lock(queue->mutex);
    queue->timer_quota = quota;
}

std::unique_ptr<MessageWindow> MessageWindow::Allocate(WindowProcedure procedure) {
    return std::make_unique<NativeMessageWindow>(std::move(procedure));
}

std::size_t DispatchPendingMessages() {
    std::shared_ptr<ThreadQueue> queue = QueueOfThisThread();
    std::size_t handled = 0;

    // Messages queued so far; ones queued while these are handled wait for the next dispatch.
    std::deque<ThreadQueue::Item> items;
    {
        std::lock_guard<std::mutex> lock(queue->mutex);
        items.swap(queue->items);
    }
    for (auto& item : items) {
        item.window->Deliver(item.message, item.wparam);
        FinishSend(item.wait);
        ++handled;
    }

    // Timers due now, in the order they were started.
    const std::uint64_t now = CurrentTickSource().ReadTick();
    std::vector<std::pair<std::shared_ptr<WindowCore>, std::uint32_t>> due;
    {
        std::lock_guard<std::mutex> lock(queue->mutex);
        // Timers of windows freed from another thread are dropped here, on their own thread.
        std::erase_if(queue->timers,
                      [](const ThreadQueue::Timer& timer) { return timer.window.expired(); });
        for (const auto& timer : queue->timers) {
            auto window = timer.window.lock();
            if (window && timer.due <= now) due.emplace_back(std::move(window), timer.id);
        }
    }
    for (auto& [window, id] : due) {
        bool still_due = false;
        {
            // An earlier tick may have stopped or restarted this timer.
            std::lock_guard<std::mutex> lock(queue->mutex);
            for (auto& timer : queue->timers) {
                if (timer.id == id && timer.window.lock() == window && timer.due <= now) {
                    timer.due = now + timer.interval;
                    still_due = true;
                    break;
                }
            }
        }
        if (!still_due) continue;
        window->Deliver(kTimerMessage, id);
        ++handled;
    }
    return handled;
}

std::size_t WaitAndDispatchMessages(std::uint32_t timeout_ms) {
    std::shared_ptr<ThreadQueue> queue = QueueOfThisThread();
    {
        std::unique_lock<std::mutex> lock(queue->mutex);
        queue->arrived.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                [&] { return !queue->items.empty(); });
    }
    return DispatchPendingMessages();
}

// The stand-in has no window class to outlive a library.
void ReleaseMessageWindowClass() noexcept {}

}  // namespace zol::platform
