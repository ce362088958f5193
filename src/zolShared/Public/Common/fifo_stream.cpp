#include "zolShared/Public/Common/fifo_stream.h"

#include <algorithm>
#include <cstring>

namespace zol::common {

void TFIFOStream::ReentrantSharedLock::Lock() {
    if (HeldByThisThread()) {
        ++depth_;
        return;
    }
    mutex_.lock();
    owner_.store(platform::CurrentThreadId(), std::memory_order_relaxed);
    depth_ = 1;
}

void TFIFOStream::ReentrantSharedLock::Unlock() {
    if (--depth_ == 0) {
        owner_.store(0, std::memory_order_relaxed);
        mutex_.unlock();
    }
}

void TFIFOStream::ReentrantSharedLock::LockShared() {
    if (HeldByThisThread()) {
        ++depth_;
        return;
    }
    mutex_.lock_shared();
}

void TFIFOStream::ReentrantSharedLock::UnlockShared() {
    if (HeldByThisThread()) {
        --depth_;
        return;
    }
    mutex_.unlock_shared();
}

namespace {

// Scoped forms of the queue's lock.
template <typename Lock>
class Exclusive {
   public:
    explicit Exclusive(Lock& lock) : lock_(lock) { lock_.Lock(); }
    ~Exclusive() { lock_.Unlock(); }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;

   private:
    Lock& lock_;
};

template <typename Lock>
class Shared {
   public:
    explicit Shared(Lock& lock) : lock_(lock) { lock_.LockShared(); }
    ~Shared() { lock_.UnlockShared(); }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

   private:
    Lock& lock_;
};

}  // namespace

TFIFOStream::TFIFOStream(std::size_t capacity, std::size_t step, bool overwrite)
    : capacity_(capacity), step_(step), overwrite_(overwrite) {}

std::size_t TFIFOStream::Count() const {
    Shared guard(lock_);
    return count_;
}

std::size_t TFIFOStream::Free() const {
    Shared guard(lock_);
    return capacity_ - count_;
}

void TFIFOStream::Clear() {
    Exclusive guard(lock_);
    count_ = 0;
}

void TFIFOStream::Write(std::span<const std::uint8_t> data) {
    Exclusive guard(lock_);
    const std::size_t capacity = capacity_;
    const std::size_t free = capacity - count_;
    if (data.size() > free) {
        if (!overwrite_) throw EFIFOStream("Buffer over-run.");
        DiscardLocked(std::max(data.size() - free, step_));
        // Only the newest bytes of an oversized write can be kept.
        if (data.size() > capacity) data = data.last(capacity);
    }
    Reserve(count_ + data.size());
    if (!data.empty()) std::memcpy(storage_.data() + count_, data.data(), data.size());
    count_ += data.size();
}

void TFIFOStream::Discard(std::size_t n) {
    Exclusive guard(lock_);
    DiscardLocked(n);
}

void TFIFOStream::DiscardLocked(std::size_t n) noexcept {
    n = std::min(n, count_);
    if (n == 0) return;
    count_ -= n;
    if (count_ > 0) std::memmove(storage_.data(), storage_.data() + n, count_);
}

void TFIFOStream::Reserve(std::size_t needed) {
    if (needed <= storage_.size()) return;
    // Doubling keeps a line that fills its queue slowly from copying it on every write.
    constexpr std::size_t kFirstSize = 256;
    const std::size_t grown = std::max({needed, storage_.size() * 2, kFirstSize});
    storage_.resize(std::min(grown, capacity_));
}

std::span<std::uint8_t> TFIFOStream::LockData() {
    lock_.Lock();
    return {storage_.data(), count_};
}

void TFIFOStream::Unlock() { lock_.Unlock(); }

}  // namespace zol::common
