#include <cstdlib>

#include "platform/shared_memory.h"

namespace zol::platform {

void* SharedAlloc(std::size_t size) noexcept { return std::malloc(size == 0 ? 1 : size); }
void* SharedRealloc(void* buffer, std::size_t size) noexcept {
    return std::realloc(buffer, size == 0 ? 1 : size);
}
void SharedFree(void* buffer) noexcept { std::free(buffer); }

}  // namespace zol::platform
