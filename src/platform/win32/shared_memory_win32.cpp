// clang-format off
#include <windows.h>
#include <objbase.h>
// clang-format on

#include "platform/shared_memory.h"

namespace zol::platform {

void* SharedAlloc(std::size_t size) noexcept { return CoTaskMemAlloc(size == 0 ? 1 : size); }
void* SharedRealloc(void* buffer, std::size_t size) noexcept {
    return CoTaskMemRealloc(buffer, size == 0 ? 1 : size);
}
void SharedFree(void* buffer) noexcept { CoTaskMemFree(buffer); }

}  // namespace zol::platform
