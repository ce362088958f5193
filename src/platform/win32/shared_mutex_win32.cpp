// The readers-writer mutex as a slim reader/writer lock kept in the object's own word.
#include <windows.h>

#include "platform/shared_mutex.h"

namespace zol::platform {

namespace {

static_assert(sizeof(SRWLOCK) == sizeof(void*));

PSRWLOCK Lock(void*& state) noexcept { return reinterpret_cast<PSRWLOCK>(&state); }

}  // namespace

SharedMutex::SharedMutex() { InitializeSRWLock(Lock(state_)); }
SharedMutex::~SharedMutex() = default;

void SharedMutex::lock() noexcept { AcquireSRWLockExclusive(Lock(state_)); }
bool SharedMutex::try_lock() noexcept { return TryAcquireSRWLockExclusive(Lock(state_)) != 0; }
void SharedMutex::unlock() noexcept { ReleaseSRWLockExclusive(Lock(state_)); }
void SharedMutex::lock_shared() noexcept { AcquireSRWLockShared(Lock(state_)); }
bool SharedMutex::try_lock_shared() noexcept { return TryAcquireSRWLockShared(Lock(state_)) != 0; }
void SharedMutex::unlock_shared() noexcept { ReleaseSRWLockShared(Lock(state_)); }

}  // namespace zol::platform
