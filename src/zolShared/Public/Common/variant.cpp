#include "zolShared/Public/Common/variant.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "platform/system.h"

namespace zol::common {

using platform::OleVariant;

Variant::Variant(const Variant& other) {
    platform::OleVariantInit(v_);
    if (platform::OleVariantCopy(v_, other.v_) != platform::kStatusOk) {
        throw std::runtime_error("Variant copy failed");
    }
}

Variant::Variant(Variant&& other) noexcept : v_(other.v_) { platform::OleVariantInit(other.v_); }

Variant& Variant::operator=(const Variant& other) {
    if (this != &other) {
        Variant copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Variant& Variant::operator=(Variant&& other) noexcept {
    if (this != &other) {
        if (!platform::HoldsPlainValue(v_.vt)) platform::OleVariantClear(v_);
        v_ = other.v_;
        platform::OleVariantInit(other.v_);
    }
    return *this;
}

Variant Variant::CopyOf(const OleVariant& raw) {
    Variant out;
    if (platform::OleVariantCopy(out.v_, raw) != platform::kStatusOk) {
        throw std::runtime_error("Variant copy failed");
    }
    return out;
}

Variant Variant::Take(OleVariant& raw) noexcept {
    Variant out;
    out.v_ = raw;
    platform::OleVariantInit(raw);
    return out;
}

Variant Variant::Null() {
    Variant out;
    out.v_.vt = platform::kVtNull;
    return out;
}

Variant Variant::Int32(std::int32_t value) {
    Variant out;
    out.v_.vt = platform::kVtI4;
    out.v_.lVal = value;
    return out;
}

Variant Variant::Int64(std::int64_t value) {
    Variant out;
    out.v_.vt = platform::kVtI8;
    out.v_.llVal = value;
    return out;
}

Variant Variant::Handle(std::uintptr_t value) {
    if constexpr (sizeof(value) == 4) {
        return Int32(static_cast<std::int32_t>(value));
    } else {
        return Int64(static_cast<std::int64_t>(value));
    }
}

Variant Variant::UInt32(std::uint32_t value) {
    Variant out;
    out.v_.vt = platform::kVtUI4;
    out.v_.ulVal = value;
    return out;
}

Variant Variant::Byte(std::uint8_t value) {
    Variant out;
    out.v_.vt = platform::kVtUI1;
    out.v_.bVal = value;
    return out;
}

Variant Variant::Double(double value) {
    Variant out;
    out.v_.vt = platform::kVtR8;
    out.v_.dblVal = value;
    return out;
}

Variant Variant::Bool(bool value) {
    Variant out;
    out.v_.vt = platform::kVtBool;
    out.v_.boolVal = value ? -1 : 0;
    return out;
}

Variant Variant::Date(double ole_date) {
    Variant out;
    out.v_.vt = platform::kVtDate;
    out.v_.date = ole_date;
    return out;
}

Variant Variant::Currency(std::int64_t scaled_by_10000) {
    Variant out;
    out.v_.vt = platform::kVtCy;
    out.v_.cyVal = scaled_by_10000;
    return out;
}

Variant Variant::Utf16(std::u16string_view text) {
    Variant out;
    out.v_.bstrVal = platform::BstrAlloc(text);
    out.v_.vt = platform::kVtBstr;
    return out;
}

Variant Variant::Ansi(std::string_view text) {
    Variant out;
    out.v_.bstrVal = platform::BstrFromAnsi(text);
    out.v_.vt = platform::kVtBstr;
    return out;
}

Variant Variant::Utf8(std::string_view text) { return Utf16(Utf8ToUtf16(text)); }

namespace {

std::u16string_view BstrView(const OleVariant& v) {
    return {v.bstrVal == nullptr ? u"" : v.bstrVal, platform::BstrLength(v.bstrVal)};
}

// Parses text as a number the way the host's conversions do: surrounding blanks ignored,
// decimal integers, '$' or 0x hexadecimal, or a decimal with '.' and exponent.
std::optional<double> ParseNumber(std::u16string_view text, bool* is_integer,
                                  std::int64_t* integer) {
    std::string ascii;
    for (char16_t c : text) {
        if (c > 0x7F) return std::nullopt;
        ascii.push_back(static_cast<char>(c));
    }
    auto first = ascii.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return std::nullopt;
    auto last = ascii.find_last_not_of(" \t\r\n");
    std::string s = ascii.substr(first, last - first + 1);
    bool negative = false;
    std::size_t pos = 0;
    if (s[0] == '-' || s[0] == '+') {
        negative = s[0] == '-';
        pos = 1;
    }
    int base = 10;
    if (s.compare(pos, 1, "$") == 0) {
        base = 16;
        pos += 1;
    } else if (s.compare(pos, 2, "0x") == 0 || s.compare(pos, 2, "0X") == 0) {
        base = 16;
        pos += 2;
    }
    if (pos >= s.size()) return std::nullopt;
    std::uint64_t magnitude = 0;
    auto [ptr, ec] = std::from_chars(s.data() + pos, s.data() + s.size(), magnitude, base);
    if (ec == std::errc() && ptr == s.data() + s.size()) {
        if (magnitude <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
            (negative && magnitude == (1ull << 63))) {
            *is_integer = true;
            *integer = negative ? static_cast<std::int64_t>(0 - magnitude)
                                : static_cast<std::int64_t>(magnitude);
            return static_cast<double>(*integer);
        }
    }
    if (base != 10) return std::nullopt;
    double value = 0;
    auto [dptr, dec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (dec != std::errc() || dptr != s.data() + s.size()) return std::nullopt;
    *is_integer = false;
    return value;
}

}  // namespace

std::optional<double> Variant::ToDouble() const {
    using namespace platform;
    switch (v_.vt) {
        case kVtEmpty:
            return 0.0;
        case kVtI1:
            return v_.cVal;
        case kVtUI1:
            return v_.bVal;
        case kVtI2:
            return v_.iVal;
        case kVtUI2:
            return v_.uiVal;
        case kVtI4:
        case kVtInt:
        case kVtError:
            return v_.lVal;
        case kVtUI4:
        case kVtUInt:
            return v_.ulVal;
        case kVtI8:
            return static_cast<double>(v_.llVal);
        case kVtUI8:
            return static_cast<double>(v_.ullVal);
        case kVtR4:
            return v_.fltVal;
        case kVtR8:
        case kVtDate:
            return v_.dblVal;
        case kVtCy:
            return static_cast<double>(v_.cyVal) / 10000.0;
        case kVtBool:
            return v_.boolVal != 0 ? -1.0 : 0.0;
        case kVtBstr: {
            bool is_integer = false;
            std::int64_t integer = 0;
            return ParseNumber(BstrView(v_), &is_integer, &integer);
        }
        default:
            return std::nullopt;
    }
}

std::optional<std::int64_t> Variant::ToInt64() const {
    using namespace platform;
    switch (v_.vt) {
        case kVtI8:
            return v_.llVal;
        case kVtUI8:
            if (v_.ullVal > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                return std::nullopt;
            }
            return static_cast<std::int64_t>(v_.ullVal);
        case kVtCy:
            return static_cast<std::int64_t>(std::llround(static_cast<double>(v_.cyVal) / 1e4));
        case kVtBstr: {
            bool is_integer = false;
            std::int64_t integer = 0;
            auto d = ParseNumber(BstrView(v_), &is_integer, &integer);
            if (!d) return std::nullopt;
            if (is_integer) return integer;
            if (!std::isfinite(*d) || std::fabs(*d) > 9.2e18) return std::nullopt;
            return static_cast<std::int64_t>(std::nearbyint(*d));
        }
        default: {
            auto d = ToDouble();
            if (!d || !std::isfinite(*d) || std::fabs(*d) > 9.2e18) return std::nullopt;
            // OLE rounds to nearest with ties to even, like nearbyint in the default mode.
            return static_cast<std::int64_t>(std::nearbyint(*d));
        }
    }
}

std::optional<bool> Variant::ToBool() const {
    if (v_.vt == platform::kVtBool) return v_.boolVal != 0;
    if (v_.vt == platform::kVtBstr) {
        auto text = BstrView(v_);
        auto lower = [](std::u16string_view s) {
            std::string out;
            for (char16_t c : s) {
                out.push_back(c < 0x80 ? static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c)
                                       : '?');
            }
            return out;
        };
        auto l = lower(text);
        if (l == "true") return true;
        if (l == "false") return false;
    }
    auto d = ToDouble();
    if (!d) return std::nullopt;
    return *d != 0.0;
}

std::string FormatDouble(double value) {
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
    char text[40];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

std::optional<std::u16string> Variant::ToUtf16() const {
    using namespace platform;
    auto ascii = [](const std::string& s) { return std::u16string(s.begin(), s.end()); };
    switch (v_.vt) {
        case kVtEmpty:
            return std::u16string();
        case kVtBstr:
            return std::u16string(BstrView(v_));
        case kVtBool:
            return v_.boolVal != 0 ? std::u16string(u"True") : std::u16string(u"False");
        case kVtR4:
        case kVtR8:
        case kVtDate:
        case kVtCy:
            return ascii(FormatDouble(*ToDouble()));
        default: {
            if (v_.vt == kVtUI8) return ascii(std::to_string(v_.ullVal));
            auto i = ToInt64();
            if (!i || v_.vt == kVtNull) return std::nullopt;
            return ascii(std::to_string(*i));
        }
    }
}

std::string Variant::AsAnsi() const {
    auto text = ToUtf16();
    return text ? platform::Utf16ToAnsi(*text) : std::string();
}

std::string Variant::AsUtf8() const {
    auto text = ToUtf16();
    return text ? Utf16ToUtf8(*text) : std::string();
}

std::int32_t Variant::CopyTo(OleVariant& out) const noexcept {
    return platform::OleVariantCopy(out, v_);
}

bool operator==(const Variant& a, const Variant& b) {
    if (a.Type() != b.Type()) return false;
    if (a.IsText()) return BstrView(a.v_) == BstrView(b.v_);
    return std::memcmp(&a.v_.llVal, &b.v_.llVal, 8) == 0;
}

}  // namespace zol::common
