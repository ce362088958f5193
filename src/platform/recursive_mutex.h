#pragma once
// A mutex its owner may lock again, for std::lock_guard and std::unique_lock (as
// std::recursive_mutex), that holds nothing of the system's when it is gone. MinGW's
// std::recursive_mutex gets a block of memory at its first lock and an event at its first wait,
// and its destructor frees neither: each instance, translator and scheduled event that came and
// went left them behind in the host. This one is a SharedMutex (a slim lock on Windows) with an
// owner and a depth.

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
        if (Owns(self)) {
            ++depth_;
            return;
        }
        lock_.lock();
        Take(self);
    }
    bool try_lock() noexcept {
        const std::uint32_t self = CurrentThreadId();
        if (Owns(self)) {
            ++depth_;
            return true;
        }
        if (!lock_.try_lock()) return false;
        Take(self);
        return true;
    }
    void unlock() noexcept {
        if (--depth_ > 0) return;
        owner_.store(0, std::memory_order_relaxed);
        lock_.unlock();
    }

   private:
    // Only the owner itself ever stores its id, so a thread reads its own id back only while it
    // holds the lock; no ordering beyond the lock's is needed. Thread ids are never 0.
    bool Owns(std::uint32_t self) const noexcept {
        return owner_.load(std::memory_order_relaxed) == self;
    }
    void Take(std::uint32_t self) noexcept {
        owner_.store(self, std::memory_order_relaxed);
        depth_ = 1;
    }

    SharedMutex lock_;
    std::atomic<std::uint32_t> owner_{0};
    std::uint32_t depth_ = 0;  // written only by the owner
};

}  // namespace zol::platform
