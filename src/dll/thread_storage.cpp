// GCC on 32-bit MinGW has no native thread-local storage: every use of a thread_local variable
// (ours, and the C++ runtime's own per-thread exception state) goes through
// __emutls_get_address. libgcc's version keeps each thread's table under a key of the threads
// library: the first key makes that library build a lock holding two semaphores, and every thread
// that reads a key gets a record holding an event and a duplicate of its thread handle. The
// statically linked threads library gives none of that back when the DLL is freed, so each load
// and free of the plug-in left those handles behind in the host. This version, linked into the
// DLL in place of libgcc's, keeps one TLS index and a list of every thread's block, gives a block
// back when its thread ends and everything back when the library is freed.
#include "dll/thread_storage.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace zol::dll {
namespace {

// The compiler's control record of one thread_local variable; the layout is libgcc's.
struct VariableControl {
    std::uintptr_t size;
    std::uintptr_t align;
    std::uintptr_t index;  // 1-based place in every thread's block; 0 until first used
    const void* initial;   // the initial bytes, or null for zeroes
};

// One thread's values: this header, then `capacity` pointers, each null until the thread first
// uses that variable.
struct ThreadBlock {
    ThreadBlock* previous;
    ThreadBlock* next;
    std::uintptr_t capacity;
};

void** Values(ThreadBlock* block) noexcept { return reinterpret_cast<void**>(block + 1); }

// Constant-initialised, so variables used by static constructors find it ready.
SRWLOCK g_lock = SRWLOCK_INIT;
std::atomic<DWORD> g_tls_index{TLS_OUT_OF_INDEXES};
std::uintptr_t g_variable_count = 0;  // places handed out so far
ThreadBlock* g_blocks = nullptr;      // every thread's block, for the release at unload

// No storage means no way on, as in the runtime's own version.
void* Allocate(std::size_t bytes) noexcept {
    void* memory = HeapAlloc(GetProcessHeap(), 0, bytes);
    if (memory == nullptr) std::abort();
    return memory;
}

// A variable's storage, aligned as asked; the allocation's start is kept just before it.
void* NewValue(const VariableControl& control) noexcept {
    const std::uintptr_t align = control.align > sizeof(void*) ? control.align : sizeof(void*);
    const auto base = reinterpret_cast<std::uintptr_t>(
        Allocate(static_cast<std::size_t>(control.size + align + sizeof(void*))));
    auto* value = reinterpret_cast<void*>((base + sizeof(void*) + align - 1) & ~(align - 1));
    static_cast<std::uintptr_t*>(value)[-1] = base;
    if (control.initial != nullptr) {
        std::memcpy(value, control.initial, static_cast<std::size_t>(control.size));
    } else {
        std::memset(value, 0, static_cast<std::size_t>(control.size));
    }
    return value;
}

void FreeBlock(ThreadBlock* block) noexcept {
    for (std::uintptr_t i = 0; i < block->capacity; ++i) {
        if (void* value = Values(block)[i]; value != nullptr) {
            HeapFree(GetProcessHeap(), 0,
                     reinterpret_cast<void*>(static_cast<std::uintptr_t*>(value)[-1]));
        }
    }
    HeapFree(GetProcessHeap(), 0, block);
}

// Both under the exclusive lock.
void Link(ThreadBlock* block) noexcept {
    block->previous = nullptr;
    block->next = g_blocks;
    if (g_blocks != nullptr) g_blocks->previous = block;
    g_blocks = block;
}

void Unlink(ThreadBlock* block) noexcept {
    if (block->previous != nullptr) {
        block->previous->next = block->next;
    } else {
        g_blocks = block->next;
    }
    if (block->next != nullptr) block->next->previous = block->previous;
}

// Gives the variable its place (once for all threads) and makes sure the TLS index exists.
std::uintptr_t AssignPlace(VariableControl& control) noexcept {
    AcquireSRWLockExclusive(&g_lock);
    if (g_tls_index.load(std::memory_order_relaxed) == TLS_OUT_OF_INDEXES) {
        const DWORD index = TlsAlloc();
        if (index == TLS_OUT_OF_INDEXES) std::abort();
        g_tls_index.store(index, std::memory_order_release);
    }
    std::atomic_ref<std::uintptr_t> place(control.index);
    std::uintptr_t assigned = place.load(std::memory_order_relaxed);
    if (assigned == 0) {
        assigned = ++g_variable_count;
        place.store(assigned, std::memory_order_release);
    }
    ReleaseSRWLockExclusive(&g_lock);
    return assigned;
}

// Replaces the calling thread's block (or makes its first) by one with room for every place
// handed out so far.
ThreadBlock* GrowBlock(ThreadBlock* old, DWORD tls_index) noexcept {
    AcquireSRWLockExclusive(&g_lock);
    const std::uintptr_t capacity = g_variable_count + 4;
    auto* block = static_cast<ThreadBlock*>(
        Allocate(sizeof(ThreadBlock) + static_cast<std::size_t>(capacity) * sizeof(void*)));
    block->capacity = capacity;
    std::uintptr_t kept = 0;
    if (old != nullptr) {
        kept = old->capacity;
        std::memcpy(Values(block), Values(old), static_cast<std::size_t>(kept) * sizeof(void*));
        Unlink(old);
    }
    std::memset(Values(block) + kept, 0, static_cast<std::size_t>(capacity - kept) * sizeof(void*));
    Link(block);
    ReleaseSRWLockExclusive(&g_lock);
    if (old != nullptr) HeapFree(GetProcessHeap(), 0, old);
    TlsSetValue(tls_index, block);
    return block;
}

}  // namespace

void ReleaseThreadStorageOfThisThread() noexcept {
    const DWORD tls_index = g_tls_index.load(std::memory_order_acquire);
    if (tls_index == TLS_OUT_OF_INDEXES) return;
    auto* block = static_cast<ThreadBlock*>(TlsGetValue(tls_index));
    if (block == nullptr) return;
    TlsSetValue(tls_index, nullptr);
    AcquireSRWLockExclusive(&g_lock);
    Unlink(block);
    ReleaseSRWLockExclusive(&g_lock);
    FreeBlock(block);
}

void ReleaseAllThreadStorage() noexcept {
    AcquireSRWLockExclusive(&g_lock);
    ThreadBlock* blocks = g_blocks;
    g_blocks = nullptr;
    const DWORD tls_index = g_tls_index.exchange(TLS_OUT_OF_INDEXES);
    ReleaseSRWLockExclusive(&g_lock);
    while (blocks != nullptr) {
        ThreadBlock* const next = blocks->next;
        FreeBlock(blocks);
        blocks = next;
    }
    // Freeing the index also clears it in every thread that still holds a block pointer.
    if (tls_index != TLS_OUT_OF_INDEXES) TlsFree(tls_index);
}

}  // namespace zol::dll

// The two entry points the compiler calls, under the names libgcc gives them; defined here, they
// keep libgcc's version out of the DLL.

// The calling thread's copy of the variable `control` describes, made on first use.
extern "C" void* __emutls_get_address(void* control) noexcept {  // NOLINT: the compiler's name
    using namespace zol::dll;
    auto& variable = *static_cast<VariableControl*>(control);
    // TlsGetValue clears the thread's last error, and a thread_local may be read between a
    // system call and the caller's GetLastError.
    const DWORD saved_error = GetLastError();
    std::uintptr_t place =
        std::atomic_ref<std::uintptr_t>(variable.index).load(std::memory_order_acquire);
    DWORD tls_index = g_tls_index.load(std::memory_order_acquire);
    if (place == 0 || tls_index == TLS_OUT_OF_INDEXES) {
        place = AssignPlace(variable);
        tls_index = g_tls_index.load(std::memory_order_acquire);
    }
    auto* block = static_cast<ThreadBlock*>(TlsGetValue(tls_index));
    if (block == nullptr || block->capacity < place) block = GrowBlock(block, tls_index);
    void*& value = Values(block)[place - 1];
    if (value == nullptr) value = NewValue(variable);
    SetLastError(saved_error);
    return value;
}

// A common (uninitialised, possibly several times declared) thread-local variable: the largest
// size and alignment win, and an initial image only counts when it has the final size.
extern "C" void __emutls_register_common(void* control, std::uintptr_t size,  // NOLINT: as above
                                         std::uintptr_t align, void* initial) noexcept {
    auto& variable = *static_cast<zol::dll::VariableControl*>(control);
    if (variable.size < size) {
        variable.size = size;
        variable.initial = nullptr;
    }
    if (variable.align < align) variable.align = align;
    if (initial != nullptr && size == variable.size) variable.initial = initial;
}
