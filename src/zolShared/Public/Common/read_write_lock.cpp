#include "zolShared/Public/Common/read_write_lock.h"

#include <algorithm>

#include "platform/system.h"

namespace zol::common {

ReadWriteLock::Reader* ReadWriteLock::FindReader(std::uint32_t thread) noexcept {
    for (Reader& reader : readers_) {
        if (reader.thread == thread) return &reader;
    }
    return nullptr;
}

void ReadWriteLock::LockShared() {
    const std::uint32_t self = platform::CurrentThreadId();
    std::unique_lock<std::mutex> lock(mutex_);
    if (write_depth_ > 0 && writer_ == self) {
        // The writer reads inside its own section: counted as a nested write.
        ++write_depth_;
        return;
    }
    if (Reader* reader = FindReader(self)) {
        // Already reading: never wait, a waiting writer would wait for this thread.
        ++reader->depth;
        return;
    }
    // New readers let waiting writers go first, so a stream of readers cannot starve them.
    changed_.wait(lock, [this] { return write_depth_ == 0 && writers_waiting_ == 0; });
    readers_.push_back({self, 1});
}

void ReadWriteLock::UnlockShared() {
    const std::uint32_t self = platform::CurrentThreadId();
    std::unique_lock<std::mutex> lock(mutex_);
    if (write_depth_ > 0 && writer_ == self) {
        if (--write_depth_ == 0) EndWrite(lock);
        return;
    }
    Reader* reader = FindReader(self);
    if (reader == nullptr) return;  // unbalanced unlock: ignored rather than corrupting state
    if (--reader->depth == 0) {
        readers_.erase(readers_.begin() + (reader - readers_.data()));
        lock.unlock();
        changed_.notify_all();
    }
}

void ReadWriteLock::LockExclusive() {
    const std::uint32_t self = platform::CurrentThreadId();
    std::unique_lock<std::mutex> lock(mutex_);
    if (write_depth_ > 0 && writer_ == self) {
        ++write_depth_;
        return;
    }
    std::uint32_t read_depth = 0;
    if (Reader* reader = FindReader(self)) {
        // Reading while waiting to write would deadlock with a second reader doing the same.
        read_depth = reader->depth;
        readers_.erase(readers_.begin() + (reader - readers_.data()));
        changed_.notify_all();
    }
    ++writers_waiting_;
    changed_.wait(lock, [this] { return write_depth_ == 0 && readers_.empty(); });
    --writers_waiting_;
    writer_ = self;
    write_depth_ = 1;
    writer_read_depth_ = read_depth;
}

void ReadWriteLock::EndWrite(std::unique_lock<std::mutex>& lock) {
    if (writer_read_depth_ > 0) readers_.push_back({writer_, writer_read_depth_});
    writer_read_depth_ = 0;
    writer_ = 0;
    lock.unlock();
    changed_.notify_all();
}

void ReadWriteLock::UnlockExclusive() { UnlockShared(); }

}  // namespace zol::common
