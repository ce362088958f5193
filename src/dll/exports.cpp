// The export shim: each export hands the call to the plug-in frame, whose bodies catch
// everything and return the agreed code. Nothing is thrown across the boundary. Each call is an
// entry of a host thread, which leaves no runtime state behind on that thread.
#include <windows.h>

#include <cstdint>

#include "dll/runtime_unload.h"
#include "kmp/PluginDM.h"
#include "platform/abi.h"
#include "platform/message_window.h"
#include "platform/runtime_threads.h"
#include "zolShared/Private/Plugins/zolPluginModule.h"

using zol::plugins::TPluginCallRec;

extern "C" {

__declspec(dllexport) std::int32_t ZOL_STDCALL CreatePluginInstance(TPluginCallRec* rec) {
    const zol::platform::HostEntryScope entry;
    return zol::plugins::CreatePluginInstanceCall(rec);
}

__declspec(dllexport) std::int32_t ZOL_STDCALL FreePluginInstance(TPluginCallRec* rec) {
    const zol::platform::HostEntryScope entry;
    return zol::plugins::FreePluginInstanceCall(rec);
}

__declspec(dllexport) std::uint8_t ZOL_STDCALL
    GetModuleInfo(TPluginCallRec* rec, std::uint8_t* info, std::int32_t* needed) {
    const zol::platform::HostEntryScope entry;
    return zol::plugins::GetModuleInfoCall(rec, info, needed);
}

__declspec(dllexport) std::int32_t ZOL_STDCALL ExecutePluginCommand(TPluginCallRec* rec) {
    const zol::platform::HostEntryScope entry;
    return zol::plugins::ExecutePluginCommandCall(rec);
}

__declspec(dllexport) std::int32_t ZOL_STDCALL ProcessData(TPluginCallRec* rec) {
    const zol::platform::HostEntryScope entry;
    return zol::plugins::ProcessDataCall(rec);
}

__declspec(dllexport) std::int32_t ZOL_STDCALL GetLogEx(TPluginCallRec* rec) {
    const zol::platform::HostEntryScope entry;
    return zol::plugins::GetLogExCall(rec);
}

__declspec(dllexport) void ZOL_STDCALL GetOptionsDialog(TPluginCallRec* rec) {
    const zol::platform::HostEntryScope entry;
    zol::plugins::GetOptionsDialogCall(rec);
}

__declspec(dllexport) void ZOL_STDCALL ShowOptionsDialog(TPluginCallRec* rec) {
    const zol::platform::HostEntryScope entry;
    zol::plugins::ShowOptionsDialogCall(rec);
}

// Library start-up registers the module class and creates the instance list; shutdown frees
// every instance still alive and unregisters the window class. A process that is exiting skips
// all that (its memory goes anyway and other threads may already be gone). A thread that ends
// gives back its thread_local storage; what the runtime keeps for the library is given back
// after everything else of the library has run (runtime_unload.cpp).
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    try {
        if (reason == DLL_PROCESS_ATTACH) {
            zol::dll::NoteLibraryAttached();
            zol::kmp::RegisterKmpModule();
            zol::plugins::LibraryStartup();
            zol::dll::NoteLibraryStarted();
        } else if (reason == DLL_PROCESS_DETACH) {
            zol::dll::NoteLibraryDetaching(reserved != nullptr);
            if (reserved == nullptr) {
                zol::plugins::LibraryShutdown();
                zol::platform::ReleaseMessageWindowClass();
            }
        } else if (reason == DLL_THREAD_DETACH) {
            zol::dll::NoteThreadDetaching();
        }
    } catch (...) {
        return reason == DLL_PROCESS_ATTACH ? FALSE : TRUE;
    }
    return TRUE;
}

}  // extern "C"
