#pragma once
// An owning OLE variant: the value type of parameter lists and of every value exchanged with
// the host. Copies are deep (BSTRs duplicated), conversions follow the OLE rules the host
// expects: strings parse as numbers, numbers print in the shortest round-trip form.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/ole.h"
#include "platform/utf.h"

namespace zol::common {

class Variant {
   public:
    Variant() noexcept { platform::OleVariantInit(v_); }
    Variant(const Variant& other);
    Variant(Variant&& other) noexcept;
    Variant& operator=(const Variant& other);
    Variant& operator=(Variant&& other) noexcept;
    ~Variant() {
        if (!platform::HoldsPlainValue(v_.vt)) platform::OleVariantClear(v_);
    }

    // Deep copy of a raw variant (BSTR duplicated); raw 0x100/0x102 text must be converted first.
    static Variant CopyOf(const platform::OleVariant& raw);
    // Takes over what `raw` owns; `raw` is left empty.
    static Variant Take(platform::OleVariant& raw) noexcept;

    static Variant Null();
    static Variant Int32(std::int32_t value);
    static Variant Int64(std::int64_t value);
    // A handle or address as the host passes one: a 32-bit integer where pointers are 4 bytes
    // (the host's own format), a 64-bit one where they are 8, so nothing is cut off.
    static Variant Handle(std::uintptr_t value);
    static Variant UInt32(std::uint32_t value);
    static Variant Byte(std::uint8_t value);
    static Variant Double(double value);
    static Variant Bool(bool value);
    static Variant Date(double ole_date);
    static Variant Utf16(std::u16string_view text);
    static Variant Ansi(std::string_view text);  // system code page
    static Variant Utf8(std::string_view text);
    static Variant Currency(std::int64_t scaled_by_10000);

    std::uint16_t Type() const noexcept { return v_.vt; }
    bool IsEmpty() const noexcept { return v_.vt == platform::kVtEmpty; }
    bool IsNull() const noexcept { return v_.vt == platform::kVtNull; }
    bool IsEmptyOrNull() const noexcept { return IsEmpty() || IsNull(); }
    bool IsText() const noexcept { return v_.vt == platform::kVtBstr; }

    // Conversions; nothing when the value cannot be converted (text that is not a number,
    // arrays, interfaces). Empty converts to 0 / empty text, null to nothing.
    std::optional<std::int64_t> ToInt64() const;
    std::optional<double> ToDouble() const;
    std::optional<bool> ToBool() const;
    std::optional<std::u16string> ToUtf16() const;
    // Text in the system code page / UTF-8; empty text for values without a text form.
    std::string AsAnsi() const;
    std::string AsUtf8() const;
    std::int64_t AsInt64(std::int64_t fallback = 0) const { return ToInt64().value_or(fallback); }

    const platform::OleVariant& Raw() const noexcept { return v_; }
    platform::OleVariant& Raw() noexcept { return v_; }
    // Copies this value into `out`, which the caller owns (out is cleared first).
    std::int32_t CopyTo(platform::OleVariant& out) const noexcept;

    friend bool operator==(const Variant& a, const Variant& b);

   private:
    platform::OleVariant v_;
};

using platform::Utf16ToUtf8;
using platform::Utf8ToUtf16;

// Number texts the way the host prints them: integers plainly, doubles with up to 15
// significant digits and no trailing zeros.
std::string FormatDouble(double value);

}  // namespace zol::common
