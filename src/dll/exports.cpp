// The export shim: each export hands the call to the plug-in frame, whose bodies catch
// everything and return the agreed code. Nothing is thrown across the boundary.
#include <windows.h>

#include <cstdint>

#include "kmp/PluginDM.h"
#include "platform/abi.h"
#include "zolShared/Private/Plugins/zolPluginModule.h"

using zol::plugins::TPluginCallRec;

extern "C" {

__declspec(dllexport) std::int32_t ZOL_STDCALL CreatePluginInstance(TPluginCallRec* rec) {
    return zol::plugins::CreatePluginInstanceCall(rec);
}

__declspec(dllexport) std::int32_t ZOL_STDCALL FreePluginInstance(TPluginCallRec* rec) {
    return zol::plugins::FreePluginInstanceCall(rec);
}

__declspec(dllexport) std::uint8_t ZOL_STDCALL
    GetModuleInfo(TPluginCallRec* rec, std::uint8_t* info, std::int32_t* needed) {
    return zol::plugins::GetModuleInfoCall(rec, info, needed);
}

__declspec(dllexport) std::int32_t ZOL_STDCALL ExecutePluginCommand(TPluginCallRec* rec) {
    return zol::plugins::ExecutePluginCommandCall(rec);
}

__declspec(dllexport) std::int32_t ZOL_STDCALL ProcessData(TPluginCallRec* rec) {
    return zol::plugins::ProcessDataCall(rec);
}

__declspec(dllexport) std::int32_t ZOL_STDCALL GetLogEx(TPluginCallRec* rec) {
    return zol::plugins::GetLogExCall(rec);
}

__declspec(dllexport) void ZOL_STDCALL GetOptionsDialog(TPluginCallRec* rec) {
    zol::plugins::GetOptionsDialogCall(rec);
}

__declspec(dllexport) void ZOL_STDCALL ShowOptionsDialog(TPluginCallRec* rec) {
    zol::plugins::ShowOptionsDialogCall(rec);
}

// Library start-up registers the module class and creates the instance list; shutdown frees
// every instance still alive. A process that is exiting skips the frees (its memory goes anyway
// and other threads may already be gone).
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    try {
        if (reason == DLL_PROCESS_ATTACH) {
            zol::kmp::RegisterKmpModule();
            zol::plugins::LibraryStartup();
        } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
            zol::plugins::LibraryShutdown();
        }
    } catch (...) {
        return reason == DLL_PROCESS_ATTACH ? FALSE : TRUE;
    }
    return TRUE;
}

}  // extern "C"
