#include "common/size_class_pool.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace zol::tools {
namespace {

// Ahead of every block, one alignment step long.
struct Header {
    std::uint32_t size_class;  // kClasses: a large block of its own
    std::uint32_t mark;        // kMark: a block of this pool
    std::uint32_t offset;      // large block: from the heap's pointer to this header
    std::uint32_t bytes;       // large block: what it holds from the heap
};
static_assert(sizeof(Header) == SizeClassPool::kAlign);

constexpr std::uint32_t kMark = 0x5a0c1a55u;
constexpr std::size_t kSlabBytes = 256 * 1024;
constexpr std::size_t kSmallStep = 16;
constexpr std::size_t kSmallClasses = 64;   // 16 .. 1024 bytes
constexpr std::size_t kFirstDoubling = 10;  // 2^10 = 1024

// The heap's pointer moved up to the next alignment step with room for a header before it.
unsigned char* AlignedAfterHeader(unsigned char* raw) {
    const auto address = reinterpret_cast<std::uintptr_t>(raw) + sizeof(Header);
    const std::uintptr_t aligned = (address + SizeClassPool::kAlign - 1) &
                                   ~static_cast<std::uintptr_t>(SizeClassPool::kAlign - 1);
    return reinterpret_cast<unsigned char*>(aligned);
}

}  // namespace

std::size_t SizeClassPool::ClassOf(std::size_t size) noexcept {
    if (size <= kSmallStep * kSmallClasses) {
        return (size == 0 ? 0 : (size + kSmallStep - 1) / kSmallStep - 1);
    }
    if (size > kLargest) return kClasses;
    // 2^p < size <= 2^(p+1): four classes of a quarter of 2^p each.
    const auto p = static_cast<std::size_t>(std::bit_width(size - 1) - 1);
    const std::size_t quarter = (std::size_t{1} << p) / 4;
    const std::size_t step = (size - (std::size_t{1} << p) + quarter - 1) / quarter - 1;
    return kSmallClasses + (p - kFirstDoubling) * 4 + step;
}

std::size_t SizeClassPool::ClassBytes(std::size_t size_class) noexcept {
    if (size_class < kSmallClasses) return (size_class + 1) * kSmallStep;
    const std::size_t p = kFirstDoubling + (size_class - kSmallClasses) / 4;
    const std::size_t step = (size_class - kSmallClasses) % 4;
    return (std::size_t{1} << p) + (step + 1) * ((std::size_t{1} << p) / 4);
}

SizeClassPool::SpinGuard::SpinGuard(std::atomic_flag& flag) noexcept : flag_(flag) {
    while (flag_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
}

SizeClassPool::~SizeClassPool() {
    while (slabs_ != nullptr) {
        unsigned char* before = nullptr;
        std::memcpy(&before, slabs_, sizeof before);
        std::free(slabs_);
        slabs_ = before;
    }
}

void* SizeClassPool::Carve(std::size_t bytes) noexcept {
    if (static_cast<std::size_t>(slab_end_ - slab_next_) < bytes) {
        // What is left of the old slab stays unused (less than one largest block). A slab
        // begins with the link to the one before it, so a pool that ends frees them.
        auto* raw = static_cast<unsigned char*>(std::malloc(kSlabBytes + 2 * kAlign));
        if (raw == nullptr) return nullptr;
        // Written through at once, so the system charges the whole slab when the pool takes it,
        // as Windows charges a committed block, and not page by page as the blocks carved from it
        // first reach each page: under Wine the program's private memory counts pages touched,
        // and a slab carved over hours would show the program's high mark creeping up as if it
        // leaked. One write a page, through a volatile pointer: a plain clear of a fresh block is
        // turned into calloc, which may leave fresh pages untouched.
        constexpr std::size_t kPage = 4096;
        volatile unsigned char* const touch = raw;
        for (std::size_t at = 0; at < kSlabBytes + 2 * kAlign; at += kPage) touch[at] = 0;
        reserved_ += kSlabBytes + 2 * kAlign;
        std::memcpy(raw, &slabs_, sizeof slabs_);
        slabs_ = raw;
        slab_next_ = AlignedAfterHeader(raw + kAlign) - sizeof(Header);
        slab_end_ = raw + kSlabBytes + 2 * kAlign;
    }
    unsigned char* header = slab_next_;
    slab_next_ += bytes;
    return header;
}

void* SizeClassPool::Allocate(std::size_t size) noexcept {
    const std::size_t size_class = ClassOf(size);
    if (size_class == kClasses) {
        if (size > SIZE_MAX - sizeof(Header) - kAlign) return nullptr;
        const std::size_t bytes = size + sizeof(Header) + kAlign;
        auto* raw = static_cast<unsigned char*>(std::malloc(bytes));
        if (raw == nullptr) return nullptr;
        unsigned char* block = AlignedAfterHeader(raw);
        auto* header = reinterpret_cast<Header*>(block - sizeof(Header));
        *header = {static_cast<std::uint32_t>(kClasses), kMark,
                   static_cast<std::uint32_t>(reinterpret_cast<unsigned char*>(header) - raw),
                   static_cast<std::uint32_t>(bytes)};
        SpinGuard guard(busy_);
        reserved_ += bytes;
        return block;
    }
    SpinGuard guard(busy_);
    if (FreeBlock* reused = free_[size_class]) {
        free_[size_class] = reused->next;
        return reused;
    }
    auto* header = static_cast<Header*>(Carve(sizeof(Header) + ClassBytes(size_class)));
    if (header == nullptr) return nullptr;
    *header = {static_cast<std::uint32_t>(size_class), kMark, 0, 0};
    return header + 1;
}

void SizeClassPool::Free(void* block) noexcept {
    if (block == nullptr) return;
    auto* header = static_cast<Header*>(block) - 1;
    if (header->mark != kMark || header->size_class > kClasses) {
        std::free(block);
        return;
    }
    if (header->size_class == kClasses) {
        const std::size_t bytes = header->bytes;
        unsigned char* raw = reinterpret_cast<unsigned char*>(header) - header->offset;
        header->mark = 0;
        {
            SpinGuard guard(busy_);
            reserved_ -= bytes;
        }
        std::free(raw);
        return;
    }
    auto* freed = static_cast<FreeBlock*>(block);
    SpinGuard guard(busy_);
    freed->next = free_[header->size_class];
    free_[header->size_class] = freed;
}

std::size_t SizeClassPool::Reserved() const noexcept {
    SpinGuard guard(busy_);
    return reserved_;
}

}  // namespace zol::tools
