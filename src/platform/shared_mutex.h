#pragma once
// A readers-writer mutex for std::shared_lock and std::unique_lock, not recursive (like
// std::shared_mutex). On Windows it is a slim reader/writer lock, which holds no handle and
// needs nothing at its end: the MinGW threads library behind std::shared_mutex makes two
// semaphores the first time one is locked and never closes them, so every instance, log store,
// parameter list and receive queue that came and went left two handles behind in the host.

namespace zol::platform {

class SharedMutex {
   public:
    SharedMutex();
    ~SharedMutex();
    SharedMutex(const SharedMutex&) = delete;
    SharedMutex& operator=(const SharedMutex&) = delete;

    void lock() noexcept;
    bool try_lock() noexcept;
    void unlock() noexcept;
    void lock_shared() noexcept;
    bool try_lock_shared() noexcept;
    void unlock_shared() noexcept;

   private:
    void* state_ = nullptr;  // the lock itself (Windows), or the lock it owns (elsewhere)
};

}  // namespace zol::platform
