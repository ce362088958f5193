// The native build is a program with the system's threads library, which keeps nothing for a
// thread beyond the thread's end: nothing to locate or give back.
#include "platform/runtime_threads.h"

namespace zol::platform {

void LocateThreadRecords() noexcept {}
bool ThreadHoldsRecord() noexcept { return false; }
void ReleaseThreadRecord() noexcept {}
void ReleaseThreadRecordsAtUnload() noexcept {}

}  // namespace zol::platform
