#pragma once
// A bounded cache of freed blocks of one size, for objects made and freed at a steady rate for
// as long as the plug-in runs (the items of every decoded packet). Blocks come from the heap the
// first time and go back to the cache when freed, so that a steady stream of them reuses the same
// blocks instead of cutting and merging small blocks in the host's heap for months (it takes
// most of the plug-in's churn out of that heap, not all of it). At most `Capacity` blocks are held;
// beyond that, freed blocks go back to the heap, so a burst costs nothing for ever. When the cache
// ends (the module is unloaded, the program ends) it hands what it holds back to the heap, and a
// block freed after that (by another static torn down later) goes straight to the heap.

#include <atomic>
#include <cstddef>
#include <new>
#include <thread>

namespace zol::common {

template <std::size_t Size, std::size_t Capacity>
class BlockCache {
    static_assert(Size >= sizeof(void*), "a cached block holds the link to the next");

   public:
    constexpr BlockCache() noexcept = default;
    ~BlockCache() {
        Guard guard(busy_);
        closed_ = true;
        while (Link* block = free_) {
            free_ = block->next;
            ::operator delete(block);
        }
        held_ = 0;
    }
    BlockCache(const BlockCache&) = delete;
    BlockCache& operator=(const BlockCache&) = delete;

    // A block of Size bytes; throws std::bad_alloc as operator new does.
    void* Take() {
        {
            Guard guard(busy_);
            if (Link* block = free_) {
                free_ = block->next;
                --held_;
                return block;
            }
        }
        return ::operator new(Size);
    }

    // Takes back a block from Take; null is ignored.
    void Give(void* block) noexcept {
        if (block == nullptr) return;
        {
            Guard guard(busy_);
            if (!closed_ && held_ < Capacity) {
                free_ = ::new (block) Link{free_};
                ++held_;
                return;
            }
        }
        ::operator delete(block);
    }

    // For a class's operator new and delete: blocks of the class's own size go through the
    // cache, those of a derived class's size straight to the heap.
    void* TakeSized(std::size_t size) { return size == Size ? Take() : ::operator new(size); }
    void GiveSized(void* block, std::size_t size) noexcept {
        if (size == Size) {
            Give(block);
        } else {
            ::operator delete(block);
        }
    }

    std::size_t Held() const noexcept {
        Guard guard(busy_);
        return held_;
    }

   private:
    struct Link {
        Link* next;
    };

    // A lock that needs no building (std::mutex is not a constant on every threads library),
    // held for a few instructions.
    class Guard {
       public:
        explicit Guard(std::atomic_flag& flag) noexcept : flag_(flag) {
            while (flag_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
        }
        ~Guard() { flag_.clear(std::memory_order_release); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

       private:
        std::atomic_flag& flag_;
    };

    mutable std::atomic_flag busy_;
    Link* free_ = nullptr;
    std::size_t held_ = 0;
    bool closed_ = false;
};

}  // namespace zol::common
