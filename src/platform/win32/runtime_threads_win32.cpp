// The records of the static MinGW threads library (winpthreads). It makes one for a thread it did
// not start the first time the thread needs one (std::this_thread::get_id, a condition-variable
// wait, a first-time once), keeps it in a TLS slot of its own, and gives it back only from its
// TLS callback when the thread ends; it never frees its TLS index or its pool of released
// records. Its TLS callback is the one way in that it offers: called on a host thread with
// DLL_THREAD_DETACH, it closes the record's event and thread handle, parks the record in its pool
// and clears the slot, exactly as at the thread's end.
#include <pthread.h>
#include <windows.h>

#include <array>
#include <cstdint>
#include <cstdlib>

#include "platform/runtime_threads.h"

// The threads library's TLS callback: a global of the static library (its thread.c).
extern "C" PIMAGE_TLS_CALLBACK __xl_f;  // NOLINT: the library's name

namespace zol::platform {

namespace {

constexpr DWORD kTlsIndexes = TLS_MINIMUM_AVAILABLE + 1024;  // base and expansion slots
DWORD g_record_index = TLS_OUT_OF_INDEXES;

// Both keep the thread's last error: TlsGetValue clears it, and a caller may sit between a system
// call and its GetLastError.
void* RecordOfThisThread() noexcept {
    const DWORD error = GetLastError();
    void* record = TlsGetValue(g_record_index);
    SetLastError(error);
    return record;
}

void ReleaseRecord() noexcept {
    const DWORD error = GetLastError();
    __xl_f(nullptr, DLL_THREAD_DETACH, nullptr);  // the module argument is not read
    SetLastError(error);
}

}  // namespace

// The calling thread's record is made if it has none; its cleanup list lies a few bytes into
// it, so the one TLS slot whose value points just below the list is the library's.
void LocateThreadRecords() noexcept {
    if (__xl_f == nullptr) return;
    const auto list = reinterpret_cast<std::uintptr_t>(pthread_getclean());
    DWORD found = TLS_OUT_OF_INDEXES;
    int matches = 0;
    for (DWORD i = 0; i < kTlsIndexes; ++i) {
        const auto value = reinterpret_cast<std::uintptr_t>(TlsGetValue(i));
        if (value != 0 && list >= value && list - value < 64) {
            found = i;
            ++matches;
        }
    }
    if (matches == 1) g_record_index = found;  // otherwise leave everything as the library has it
}

bool ThreadHoldsRecord() noexcept {
    return g_record_index != TLS_OUT_OF_INDEXES && RecordOfThisThread() != nullptr;
}

void ReleaseThreadRecord() noexcept {
    if (ThreadHoldsRecord()) ReleaseRecord();
}

// The pool hands out its oldest record and takes released ones at its end, so making and
// releasing a record on this thread until a record comes round again passes every pooled record
// through the thread once. They are freed after the last round: nothing uses them any more.
void ReleaseThreadRecordsAtUnload() noexcept {
    if (g_record_index == TLS_OUT_OF_INDEXES) return;
    std::array<void*, 256> seen{};
    std::size_t count = 0;
    while (count < seen.size()) {
        if (pthread_self() == 0) break;  // makes a record for this thread, from the pool first
        void* const record = RecordOfThisThread();
        bool again = false;
        for (std::size_t i = 0; i < count; ++i) again = again || seen[i] == record;
        ReleaseRecord();
        if (record == nullptr || again || RecordOfThisThread() != nullptr) break;
        seen[count++] = record;
    }
    for (std::size_t i = 0; i < count; ++i) std::free(seen[i]);
    TlsFree(g_record_index);
    g_record_index = TLS_OUT_OF_INDEXES;
}

}  // namespace zol::platform
