#pragma once
// The threads library under the C++ runtime keeps a record for each thread that uses it. On
// Windows (the static MinGW threads library) a record holds an event and a duplicate of the
// thread's handle, and goes back only when its thread ends. A library that is freed while the
// host's threads live on left the records of those threads behind, two handles each, on every
// load. These functions keep the host's threads without a record outside their calls into the
// library, and give back what is left when the library is freed. Elsewhere they do nothing.

namespace zol::platform {

// Finds where the threads library keeps its records. Called once, when the library is loaded,
// on the thread loading it; until then (and in a program) the functions below do nothing.
void LocateThreadRecords() noexcept;

// Whether the calling thread holds a record; giving it back as the end of the thread would. Only
// for threads the threads library did not start (the host's).
bool ThreadHoldsRecord() noexcept;
void ReleaseThreadRecord() noexcept;

// When the library is freed, after the last of its code that could make a record: gives back the
// calling thread's record, the records kept for reuse, and the TLS index of the records.
void ReleaseThreadRecordsAtUnload() noexcept;

// Spans one entry of a host thread into the library (an export, a window procedure): a record
// made during the entry is given back when it ends. A thread that held one when it came in keeps
// it: the library's own threads, and an entry nested in another.
class HostEntryScope {
   public:
    HostEntryScope() noexcept : held_(ThreadHoldsRecord()) {}
    ~HostEntryScope() {
        if (!held_) ReleaseThreadRecord();
    }
    HostEntryScope(const HostEntryScope&) = delete;
    HostEntryScope& operator=(const HostEntryScope&) = delete;

   private:
    bool held_;
};

}  // namespace zol::platform
