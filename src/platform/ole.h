#pragma once
// OLE automation values as they cross the library boundary: the 16-byte VARIANT and the
// length-prefixed UTF-16 string (BSTR). On Windows these are the real thing (oleaut32); the
// native build uses a stand-in with the same field layout so the core's code is the same.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zol::platform {

// Variant type codes (the subset this system produces or reads).
enum : std::uint16_t {
    kVtEmpty = 0,
    kVtNull = 1,
    kVtI2 = 2,
    kVtI4 = 3,
    kVtR4 = 4,
    kVtR8 = 5,
    kVtCy = 6,
    kVtDate = 7,
    kVtBstr = 8,
    kVtDispatch = 9,
    kVtError = 10,
    kVtBool = 11,
    kVtVariant = 12,
    kVtUnknown = 13,
    kVtI1 = 16,
    kVtUI1 = 17,
    kVtUI2 = 18,
    kVtUI4 = 19,
    kVtI8 = 20,
    kVtUI8 = 21,
    kVtInt = 22,
    kVtUInt = 23,
    // Not OLE types: zero-terminated text handed in by pointer (8-bit, or UTF-16 in the wide
    // methods) and zero-terminated UTF-16 text. They are converted to BSTR when stored.
    kVtPlainString = 0x100,
    kVtUnicodeString = 0x102,
    kVtArray = 0x2000,
    kVtByRef = 0x4000,
};

// The COM base every interface here starts with.
struct Guid {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
};
static_assert(sizeof(Guid) == 16);

inline bool operator==(const Guid& a, const Guid& b) noexcept {
    if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3) return false;
    for (int i = 0; i < 8; ++i) {
        if (a.data4[i] != b.data4[i]) return false;
    }
    return true;
}

// Field layout of VARIANT: type, three reserved words, then 8 bytes of payload.
struct OleVariant {
    std::uint16_t vt;
    std::uint16_t reserved1;
    std::uint16_t reserved2;
    std::uint16_t reserved3;
    union {
        std::int64_t llVal;
        std::uint64_t ullVal;
        std::int32_t lVal;
        std::uint32_t ulVal;
        std::int16_t iVal;
        std::uint16_t uiVal;
        std::int8_t cVal;
        std::uint8_t bVal;
        float fltVal;
        double dblVal;
        double date;
        std::int16_t boolVal;  // OLE booleans: -1 true, 0 false
        std::int32_t scode;
        std::int64_t cyVal;  // currency: value * 10000
        char16_t* bstrVal;
        void* byref;
        struct IUnknownAbi* punkVal;
        // A user-defined record: two pointers, the widest member where pointers are 8 bytes,
        // which makes VARIANT 24 bytes in 64-bit code.
        struct {
            void* pvRecord;
            void* pRecInfo;
        } record;
    };
};
static_assert(sizeof(OleVariant) == 8 + 2 * sizeof(void*),
              "VARIANT is 16 bytes, 24 in 64-bit code");
static_assert(sizeof(void*) != 4 || sizeof(OleVariant) == 16, "the host's VARIANT is 16 bytes");
static_assert(offsetof(OleVariant, llVal) == 8, "VARIANT payload starts at byte 8");

// Status codes of COM-style methods.
constexpr std::int32_t kStatusOk = 0;
constexpr std::int32_t kStatusFailed = static_cast<std::int32_t>(0x8000FFFFu);
constexpr std::int32_t kStatusNoInterface = static_cast<std::int32_t>(0x80004002u);
constexpr std::int32_t kStatusBadVarType = static_cast<std::int32_t>(0x80020008u);
constexpr std::int32_t kStatusOutOfMemory = static_cast<std::int32_t>(0x8007000Eu);

// A new BSTR holding `text` (may contain zeros); nullptr for empty text, as OLE treats both alike.
char16_t* BstrAlloc(std::u16string_view text);
// A new BSTR holding 8-bit `text` in the system code page converted as AnsiToUtf16 converts it,
// without a UTF-16 copy on the way; nullptr when that gives empty text.
char16_t* BstrFromAnsi(std::string_view text);
void BstrFree(char16_t* bstr) noexcept;
// Length in UTF-16 units; 0 for nullptr.
std::uint32_t BstrLength(const char16_t* bstr) noexcept;

// Leaves the variant empty, all of its bytes zero.
inline void OleVariantInit(OleVariant& v) noexcept { v = OleVariant{}; }
// True for the types whose value the variant holds itself (empty, null, numbers, dates,
// booleans): clearing such a variant frees nothing.
constexpr bool HoldsPlainValue(std::uint16_t vt) noexcept {
    switch (vt) {
        case kVtEmpty:
        case kVtNull:
        case kVtI2:
        case kVtI4:
        case kVtR4:
        case kVtR8:
        case kVtCy:
        case kVtDate:
        case kVtError:
        case kVtBool:
        case kVtI1:
        case kVtUI1:
        case kVtUI2:
        case kVtUI4:
        case kVtI8:
        case kVtUI8:
        case kVtInt:
        case kVtUInt:
            return true;
        default:
            return false;
    }
}
// Frees what the variant owns (BSTR, interface reference) and leaves it empty.
std::int32_t OleVariantClear(OleVariant& v) noexcept;
// Clears `dst` and makes it a deep copy of `src` (BSTRs duplicated, interfaces AddRef'ed).
std::int32_t OleVariantCopy(OleVariant& dst, const OleVariant& src) noexcept;

}  // namespace zol::platform
