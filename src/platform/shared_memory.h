#pragma once
// The allocator shared with the host for buffers that change hands: the raw-bytes buffers of
// ProcessData's input slot. On Windows it is the COM task allocator, which every module of the
// process can use to free or grow what another module made.

#include <cstddef>

namespace zol::platform {

void* SharedAlloc(std::size_t size) noexcept;
// Grows or shrinks a shared buffer (nullptr allocates); nullptr on failure, the old one intact.
void* SharedRealloc(void* buffer, std::size_t size) noexcept;
void SharedFree(void* buffer) noexcept;

}  // namespace zol::platform
