// OLE strings and variants through oleaut32, so values handed to the host are genuine.
// <windows.h> must come before the OLE headers, so keep this order.
// clang-format off
#include <windows.h>
#include <oleauto.h>
// clang-format on

#include <cstddef>
#include <new>

#include "platform/ole.h"

namespace zol::platform {

static_assert(sizeof(VARIANT) == sizeof(OleVariant));
static_assert(offsetof(VARIANT, vt) == offsetof(OleVariant, vt));
static_assert(sizeof(wchar_t) == sizeof(char16_t));

char16_t* BstrAlloc(std::u16string_view text) {
    if (text.empty()) return nullptr;
    BSTR s = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                               static_cast<UINT>(text.size()));
    if (s == nullptr) throw std::bad_alloc();
    return reinterpret_cast<char16_t*>(s);
}

char16_t* BstrFromAnsi(std::string_view text) {
    if (text.empty()) return nullptr;
    // Every ANSI code page keeps 7-bit text as it is; other text goes through the system's
    // converter, measured first so that it is written straight into the string.
    bool seven_bit = true;
    for (char c : text) seven_bit = seven_bit && static_cast<unsigned char>(c) < 0x80;
    const auto size = static_cast<int>(text.size());
    const int length =
        seven_bit ? size : MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
    if (length <= 0) return nullptr;
    BSTR s = SysAllocStringLen(nullptr, static_cast<UINT>(length));
    if (s == nullptr) throw std::bad_alloc();
    if (seven_bit) {
        for (int i = 0; i < length; ++i) s[i] = static_cast<unsigned char>(text[i]);
    } else {
        MultiByteToWideChar(CP_ACP, 0, text.data(), size, s, length);
    }
    return reinterpret_cast<char16_t*>(s);
}

void BstrFree(char16_t* bstr) noexcept { SysFreeString(reinterpret_cast<BSTR>(bstr)); }

std::uint32_t BstrLength(const char16_t* bstr) noexcept {
    return SysStringLen(reinterpret_cast<BSTR>(const_cast<char16_t*>(bstr)));
}

std::int32_t OleVariantClear(OleVariant& v) noexcept {
    HRESULT hr = VariantClear(reinterpret_cast<VARIANT*>(&v));
    if (FAILED(hr)) return hr;
    v.llVal = 0;
    return kStatusOk;
}

std::int32_t OleVariantCopy(OleVariant& dst, const OleVariant& src) noexcept {
    if (&dst == &src) return kStatusOk;
    return VariantCopy(reinterpret_cast<VARIANT*>(&dst),
                       reinterpret_cast<VARIANT*>(const_cast<OleVariant*>(&src)));
}

}  // namespace zol::platform
