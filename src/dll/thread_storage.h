#pragma once
// The storage of the library's thread_local variables, its own instead of the GCC runtime's, so
// that all of it goes back when a thread ends and when the library is freed (see
// thread_storage.cpp for why the runtime's version cannot do that).

namespace zol::dll {

// Frees the calling thread's variables. Called when a thread ends while the library is loaded.
void ReleaseThreadStorageOfThisThread() noexcept;

// Frees every thread's variables and the TLS index that holds them. Called when the library is
// freed while the process goes on, after the last code of the library that could use them.
void ReleaseAllThreadStorage() noexcept;

}  // namespace zol::dll
