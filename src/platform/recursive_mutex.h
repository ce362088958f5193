#pragma once
// A recursive mutex for std::lock_guard and std::unique_lock (like std::recursive_mutex). It is
// an exclusive platform::SharedMutex with an owner and a depth, so on Windows it holds no handle
// and no memory of the system's: the MinGW threads library behind std::recursive_mutex allocates
// its state the first time one is locked and never frees it (the standard library does not
// destroy such a mutex), so every queue, schedule and plug-in instance that came and went left
// a few dozen bytes behind in the host.

#include <atomic>
#include <cstdint>

#include "platform/shared_mutex.h"
#include "platform/system.h"

namespace zol::platform {

class RecursiveMutex {
   public:
    RecursiveMutex() = default;
    RecursiveMutex(const RecursiveMutex&) = delete;
    RecursiveMutex& operator=(const RecursiveMutex&) = delete;

    void lock() noexcept {
        const std::uint32_t self = CurrentThreadId();
        // Only this thread can have stored its own id, so a relaxed read is enough to tell.
        if (owner_.load(std::memory_order_relaxed) == self) {
            ++depth_;
            return;
        }
        mutex_.lock();
        owner_.store(self, std::memory_order_relaxed);
        depth_ = 1;
    }
    bool try_lock() noexcept {
        const std::uint32_t self = CurrentThreadId();
        if (owner_.load(std::memory_order_relaxed) == self) {
            ++depth_;
            return true;
        }
        if (!mutex_.try_lock()) return false;
        owner_.store(self, std::memory_order_relaxed);
        depth_ = 1;
        return true;
    }
    void unlock() noexcept {
        if (--depth_ != 0) return;
        owner_.store(0, std::memory_order_relaxed);
        mutex_.unlock();
    }

   private:
    SharedMutex mutex_;
    std::atomic<std::uint32_t> owner_{0};  // the holding thread, 0 when free
    std::uint32_t depth_ = 0;              // read and written by the holder only
};

}  // namespace zol::platform
