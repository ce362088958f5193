#pragma once
// The library's side of being loaded and freed many times in one process: what the statically
// linked runtime keeps for the library is given back when the library is freed while the process
// goes on (see runtime_unload.cpp).

namespace zol::dll {

// From DllMain. At attach, first thing and once the library has started: the loading thread's
// runtime state is found, then given back (the host's threads hold none between their calls).
// At detach, whether the process is exiting: then nothing is given back (the process's memory
// and handles go anyway, and other threads may have been stopped in the middle of the runtime).
void NoteLibraryAttached() noexcept;
void NoteLibraryStarted() noexcept;
void NoteLibraryDetaching(bool process_exiting) noexcept;

// From DllMain when a thread ends: its per-thread runtime state.
void NoteThreadDetaching() noexcept;

}  // namespace zol::dll
