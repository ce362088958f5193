// The readers-writer mutex as the standard library's, which owns nothing of the system's here.
#include <shared_mutex>

#include "platform/shared_mutex.h"

namespace zol::platform {

namespace {

std::shared_mutex& Lock(void* state) noexcept { return *static_cast<std::shared_mutex*>(state); }

}  // namespace

SharedMutex::SharedMutex() : state_(new std::shared_mutex) {}
SharedMutex::~SharedMutex() { delete static_cast<std::shared_mutex*>(state_); }

void SharedMutex::lock() noexcept { Lock(state_).lock(); }
bool SharedMutex::try_lock() noexcept { return Lock(state_).try_lock(); }
void SharedMutex::unlock() noexcept { Lock(state_).unlock(); }
void SharedMutex::lock_shared() noexcept { Lock(state_).lock_shared(); }
bool SharedMutex::try_lock_shared() noexcept { return Lock(state_).try_lock_shared(); }
void SharedMutex::unlock_shared() noexcept { Lock(state_).unlock_shared(); }

}  // namespace zol::platform
