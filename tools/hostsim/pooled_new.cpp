// The host simulator's own memory comes from size-class pools (see common/size_class_pool.h), so
// its churn of packets, replies and texts does not fragment the runtime heap the plug-in takes
// its memory from, and a soak's memory figures are the plug-in's. Only the program links this:
// the Windows tests keep the runtime's operator new.
#include <new>

#include "common/size_class_pool.h"

namespace {
// Built at compile time and never destroyed: the first allocation may come before any other
// static is built, the last free after they are gone.
union NeverDestroyed {
    constexpr NeverDestroyed() : pool() {}
    ~NeverDestroyed() {}
    zol::tools::SizeClassPool pool;
};
constinit NeverDestroyed g_kept;
constinit zol::tools::SizeClassPool& g_pool = g_kept.pool;

void* AllocateOrThrow(std::size_t size) {
    for (;;) {
        if (void* block = g_pool.Allocate(size)) return block;
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) throw std::bad_alloc();
        handler();
    }
}
}  // namespace

void* operator new(std::size_t size) { return AllocateOrThrow(size); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return g_pool.Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return g_pool.Allocate(size);
}
void operator delete(void* block) noexcept { g_pool.Free(block); }
void operator delete[](void* block) noexcept { g_pool.Free(block); }
void operator delete(void* block, std::size_t) noexcept { g_pool.Free(block); }
void operator delete[](void* block, std::size_t) noexcept { g_pool.Free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { g_pool.Free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { g_pool.Free(block); }
