#pragma once
// TFIFOStream: the locked byte queue in which a protocol client collects the bytes delivered from
// a port until a whole frame can be taken out. The held bytes are always one contiguous block at
// the start of the storage, so a reader holding the lock scans them in place. The storage grows
// with the bytes held, up to the capacity: a quiet line costs no more than its frames need.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <shared_mutex>
#include <span>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/shared_mutex.h"
#include "platform/system.h"

namespace zol::common {

// Raised by a write that does not fit a queue without overwriting.
class EFIFOStream : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
};

class TFIFOStream {
   public:
    // The settings a protocol client uses for its receive queue.
    static constexpr std::size_t kClientCapacity = 16384;
    static constexpr std::size_t kClientStep = 64;

    // `step` is the least number of old bytes dropped when an overwriting write needs room.
    TFIFOStream(std::size_t capacity, std::size_t step, bool overwrite);

    TFIFOStream(const TFIFOStream&) = delete;
    TFIFOStream& operator=(const TFIFOStream&) = delete;

    std::size_t Capacity() const noexcept { return capacity_; }
    std::size_t Step() const noexcept { return step_; }
    bool Overwrite() const noexcept { return overwrite_; }

    std::size_t Count() const;
    std::size_t Free() const;
    void Clear();

    // Appends bytes. When they do not fit, an overwriting queue first drops at least `Step` of
    // its oldest bytes (a write longer than the capacity keeps only its own last `Capacity`
    // bytes); any other queue raises EFIFOStream("Buffer over-run.") and stays unchanged.
    void Write(std::span<const std::uint8_t> data);

    // Removes the `n` oldest bytes (all of them when fewer are held).
    void Discard(std::size_t n);

    // Takes the lock for writing and returns the held bytes; they stay valid until Unlock() or a
    // Write, which may move them. The lock is re-entrant for its holder, so Write, Discard and
    // Count may be called inside.
    std::span<std::uint8_t> LockData();
    void Unlock();

   private:
    // A multi-reader, single-writer lock whose writer may take it again, for reading or writing.
    class ReentrantSharedLock {
       public:
        void Lock();
        void Unlock();
        void LockShared();
        void UnlockShared();

       private:
        // The OS thread id, not std::thread::id: on MinGW asking for the latter makes the threads
        // library keep a record for the host's thread (see platform/runtime_threads.h).
        bool HeldByThisThread() const noexcept {
            return owner_.load(std::memory_order_relaxed) == platform::CurrentThreadId();
        }
        platform::SharedMutex mutex_;
        std::atomic<std::uint32_t> owner_{0};  // 0: no writer (no thread has id 0)
        int depth_ = 0;                        // touched only by the writing owner
    };

    void DiscardLocked(std::size_t n) noexcept;
    // Grows the storage to hold at least `needed` bytes (never past the capacity).
    void Reserve(std::size_t needed);

    mutable ReentrantSharedLock lock_;
    std::vector<std::uint8_t> storage_;  // grown on demand, never past capacity_
    std::size_t capacity_;
    std::size_t step_;
    std::size_t count_ = 0;  // bytes held; the oldest is always at index 0
    bool overwrite_;
};

}  // namespace zol::common
