#pragma once
// The COM base interface in the form shared by both builds: a C++ abstract class whose vtable
// matches COM's on 32-bit Windows (single inheritance, stdcall methods, no virtual destructor).

#include <cstdint>

#include "platform/abi.h"
#include "platform/ole.h"

namespace zol::platform {

// NOLINTBEGIN(readability-identifier-naming): COM method names are part of the ABI.
struct IUnknownAbi {
    virtual std::int32_t ZOL_STDCALL QueryInterface(const Guid& iid, void** out) = 0;
    virtual std::uint32_t ZOL_STDCALL AddRef() = 0;
    virtual std::uint32_t ZOL_STDCALL Release() = 0;

   protected:
    ~IUnknownAbi() = default;
};
// NOLINTEND(readability-identifier-naming)

constexpr Guid kIidIUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

}  // namespace zol::platform
