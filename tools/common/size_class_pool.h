// A program's own blocks kept by size class: a freed block waits in its class for the next request
// of that class and is never handed back to the heap underneath. A program whose working set is
// steady reaches its high mark once and stays there, whatever the heap underneath would make of
// the mix of sizes. The host simulator takes its memory from one, as a real host's memory manager
// keeps its own pools, so its churn of packet lists and replies stays out of the runtime heap the
// plug-in allocates from, and a soak's heap figures are the plug-in's.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace zol::tools {

class SizeClassPool {
   public:
    // Every block is aligned to this, as the default operator new promises.
    static constexpr std::size_t kAlign = 16;
    // Larger blocks come from the heap underneath, one by one.
    static constexpr std::size_t kLargest = 64 * 1024;

    constexpr SizeClassPool() = default;
    // Frees the slabs: every block of the pool must be given back by then. A program's own pool
    // is never destroyed (blocks are freed up to its very end).
    ~SizeClassPool();
    SizeClassPool(const SizeClassPool&) = delete;
    SizeClassPool& operator=(const SizeClassPool&) = delete;

    // A block of at least `size` bytes (a zero size gets a block of its own), or nullptr when
    // the heap underneath has no room. Any thread.
    void* Allocate(std::size_t size) noexcept;
    // Gives back a block Allocate made (nullptr: nothing). A block that carries no mark of this
    // pool is handed to std::free: a block some other code took from the C heap.
    void Free(void* block) noexcept;

    // What the pool holds from the heap underneath: its slabs, and the large blocks in use.
    std::size_t Reserved() const noexcept;

    // The class a request of `size` bytes falls in, and the bytes of a block of that class:
    // 16-byte steps up to 1 KiB, then four classes for every doubling up to kLargest.
    static std::size_t ClassOf(std::size_t size) noexcept;
    static std::size_t ClassBytes(std::size_t size_class) noexcept;
    static constexpr std::size_t kClasses = 64 + 4 * 6;

   private:
    struct FreeBlock {
        FreeBlock* next;
    };

    // A lock that needs no building: the pool must work before any static is built (std::mutex
    // is not a constant on every threads library). Held for a few instructions at a time.
    class SpinGuard {
       public:
        explicit SpinGuard(std::atomic_flag& flag) noexcept;
        ~SpinGuard() { flag_.clear(std::memory_order_release); }
        SpinGuard(const SpinGuard&) = delete;
        SpinGuard& operator=(const SpinGuard&) = delete;

       private:
        std::atomic_flag& flag_;
    };

    void* Carve(std::size_t bytes) noexcept;

    mutable std::atomic_flag busy_;
    std::array<FreeBlock*, kClasses> free_{};
    unsigned char* slabs_ = nullptr;  // the newest slab; each begins with the one before
    unsigned char* slab_next_ = nullptr;
    unsigned char* slab_end_ = nullptr;
    std::size_t reserved_ = 0;
};

}  // namespace zol::tools
