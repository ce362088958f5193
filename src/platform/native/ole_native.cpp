// Stand-in for oleaut32's strings and variants: a BSTR is a heap block holding a 32-bit byte
// length, the UTF-16 text and a terminating zero, addressed by its text like the real one.
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/com.h"
#include "platform/ole.h"
#include "platform/system.h"

namespace zol::platform {

char16_t* BstrAlloc(std::u16string_view text) {
    if (text.empty()) return nullptr;
    const std::size_t bytes = text.size() * sizeof(char16_t);
    auto* block = static_cast<std::uint8_t*>(std::malloc(4 + bytes + sizeof(char16_t)));
    if (block == nullptr) throw std::bad_alloc();
    const auto length = static_cast<std::uint32_t>(bytes);
    std::memcpy(block, &length, 4);
    auto* chars = reinterpret_cast<char16_t*>(block + 4);
    std::memcpy(chars, text.data(), bytes);
    chars[text.size()] = u'\0';
    return chars;
}

char16_t* BstrFromAnsi(std::string_view text) { return BstrAlloc(AnsiToUtf16(text)); }

void BstrFree(char16_t* bstr) noexcept {
    if (bstr != nullptr) std::free(reinterpret_cast<std::uint8_t*>(bstr) - 4);
}

std::uint32_t BstrLength(const char16_t* bstr) noexcept {
    if (bstr == nullptr) return 0;
    std::uint32_t bytes = 0;
    std::memcpy(&bytes, reinterpret_cast<const std::uint8_t*>(bstr) - 4, 4);
    return bytes / 2;
}

std::int32_t OleVariantClear(OleVariant& v) noexcept {
    if ((v.vt & kVtByRef) == 0) {
        switch (v.vt) {
            case kVtBstr:
                BstrFree(v.bstrVal);
                break;
            case kVtUnknown:
            case kVtDispatch:
                if (v.punkVal != nullptr) v.punkVal->Release();
                break;
            default:
                if ((v.vt & kVtArray) != 0) return kStatusBadVarType;
                break;
        }
    }
    OleVariantInit(v);
    return kStatusOk;
}

std::int32_t OleVariantCopy(OleVariant& dst, const OleVariant& src) noexcept {
    if (&dst == &src) return kStatusOk;
    if ((src.vt & kVtArray) != 0 && (src.vt & kVtByRef) == 0) return kStatusBadVarType;
    OleVariant copy = src;
    if ((src.vt & kVtByRef) == 0) {
        if (src.vt == kVtBstr && src.bstrVal != nullptr) {
            try {
                copy.bstrVal = BstrAlloc(std::u16string_view(src.bstrVal, BstrLength(src.bstrVal)));
            } catch (...) {
                return kStatusOutOfMemory;
            }
        } else if ((src.vt == kVtUnknown || src.vt == kVtDispatch) && src.punkVal != nullptr) {
            src.punkVal->AddRef();
        }
    }
    OleVariantClear(dst);
    dst = copy;
    return kStatusOk;
}

}  // namespace zol::platform
