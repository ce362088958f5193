// The GCC runtime linked into the DLL was written for programs, which leave it only at process
// exit. A host may load and free the plug-in a thousand times, and each life of the library left
// behind what the runtime made for it and never gives back:
//  - the threads library's records of the host's threads (an event and a duplicate of the
//    thread's handle each; the loading thread gets one before any of our code runs, while the
//    runtime registers the library's unwind tables), its pool of released records and the TLS
//    index it keeps them under. The TLS indexes run out after about a thousand loads, and the
//    threads library then aborts the host (see platform/runtime_threads.h);
//  - the C++ runtime's emergency pool for exceptions (about 19 KiB);
//  - through libgcc's thread_local storage, a lock with two semaphores and records of every
//    thread that used a thread_local (replaced by thread_storage.cpp).
// All of it is given back when the library is freed while the process goes on, after everything
// else of the library has run: the release is registered with atexit before any C++ constructor
// runs, so it is the last of the library's exit routines, after the static destructors and after
// DllMain.
#include "dll/runtime_unload.h"

#include <cstdlib>

#include "dll/thread_storage.h"
#include "platform/runtime_threads.h"

// libstdc++: frees the emergency exception pool (meant for exactly this: a runtime going away
// while the process stays).
namespace __gnu_cxx {
void __freeres() noexcept;
}

namespace zol::dll {
namespace {

bool g_process_exiting = false;

void ReleaseAtUnload() {
    if (g_process_exiting) return;
    ReleaseAllThreadStorage();
    platform::ReleaseThreadRecordsAtUnload();
    __gnu_cxx::__freeres();
}

int RegisterReleaseAtUnload() {
    std::atexit(ReleaseAtUnload);
    return 0;
}

// A C initialiser: the C runtime's start-up runs it after making the library's exit list and
// before the C++ constructors, so ReleaseAtUnload is the first exit routine registered and the
// last one run.
__attribute__((section(".CRT$XIB"),
               used)) int (*g_register_release_at_unload)() = RegisterReleaseAtUnload;

}  // namespace

void NoteLibraryAttached() noexcept { platform::LocateThreadRecords(); }

void NoteLibraryStarted() noexcept { platform::ReleaseThreadRecord(); }

void NoteLibraryDetaching(bool process_exiting) noexcept { g_process_exiting = process_exiting; }

void NoteThreadDetaching() noexcept { ReleaseThreadStorageOfThisThread(); }

}  // namespace zol::dll
