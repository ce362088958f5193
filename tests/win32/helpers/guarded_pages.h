#pragma once
// Three pages of one allocation, read-write, no access and read-only, for tests that hand the
// plug-in or its probes memory a faulty host may point at.

#include <windows.h>

#include <cstddef>

namespace zol::test {

class GuardedPages {
   public:
    GuardedPages() {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        page_ = info.dwPageSize;
        base_ = static_cast<char*>(
            VirtualAlloc(nullptr, 3 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(base_ + page_, page_, PAGE_NOACCESS, &old);
        VirtualProtect(base_ + 2 * page_, page_, PAGE_READONLY, &old);
    }
    ~GuardedPages() { Release(); }
    GuardedPages(const GuardedPages&) = delete;
    GuardedPages& operator=(const GuardedPages&) = delete;

    std::size_t Page() const { return page_; }
    // The byte `offset` bytes into the read-write page (the others follow it).
    char* At(std::size_t offset) const { return base_ + offset; }
    char* NoAccess() const { return base_ + page_; }
    char* ReadOnly() const { return base_ + 2 * page_; }
    // Gives the pages back to the system early; their addresses stay, pointing at no memory.
    void Release() {
        if (base_ != nullptr && !released_) VirtualFree(base_, 0, MEM_RELEASE);
        released_ = true;
    }

   private:
    std::size_t page_ = 4096;
    char* base_ = nullptr;
    bool released_ = false;
};

}  // namespace zol::test
