#pragma once
// A multiple-reader / single-writer lock that a thread may take again while it holds it: a
// reader may read again or write, a writer may read or write again. Request lists and client
// lists need this because their handlers call back into code that locks the same list (a send
// handler releasing the current request, a packet that creates a client while the list is being
// walked).

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace zol::common {

class ReadWriteLock {
   public:
    ReadWriteLock() = default;
    ReadWriteLock(const ReadWriteLock&) = delete;
    ReadWriteLock& operator=(const ReadWriteLock&) = delete;

    void LockShared();
    void UnlockShared();
    // Waits until no other thread reads or writes. A thread that reads and asks to write gives up
    // its reading while it waits and gets it back when it stops writing, so two readers asking to
    // write at once do not wait for each other; another writer may have changed the list between
    // its reading and its writing.
    void LockExclusive();
    void UnlockExclusive();

   private:
    // Ends the outermost write section of the calling thread (the mutex held).
    void EndWrite(std::unique_lock<std::mutex>& lock);
    // Threads by their OS id, not std::thread::id: on MinGW asking for the latter makes the
    // threads library keep a record for the host's thread (see platform/runtime_threads.h).
    struct Reader {
        std::uint32_t thread;
        std::uint32_t depth;
    };
    Reader* FindReader(std::uint32_t thread) noexcept;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Reader> readers_;
    std::uint32_t writer_ = 0;  // 0: none (no thread has id 0)
    std::uint32_t write_depth_ = 0;
    std::uint32_t writers_waiting_ = 0;
    std::uint32_t writer_read_depth_ = 0;  // the writer's reading, given back when it stops writing
};

// Holds one side of a ReadWriteLock for a scope.
class SharedSection {
   public:
    explicit SharedSection(ReadWriteLock& lock) : lock_(lock) { lock_.LockShared(); }
    ~SharedSection() { lock_.UnlockShared(); }
    SharedSection(const SharedSection&) = delete;
    SharedSection& operator=(const SharedSection&) = delete;

   private:
    ReadWriteLock& lock_;
};

class ExclusiveSection {
   public:
    explicit ExclusiveSection(ReadWriteLock& lock) : lock_(lock) { lock_.LockExclusive(); }
    ~ExclusiveSection() { lock_.UnlockExclusive(); }
    ExclusiveSection(const ExclusiveSection&) = delete;
    ExclusiveSection& operator=(const ExclusiveSection&) = delete;

   private:
    ReadWriteLock& lock_;
};

}  // namespace zol::common
