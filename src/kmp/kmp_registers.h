#pragma once
// The KMP registers the plug-in knows, one catalogue for heat meters and one for electricity
// meters, and the table of KMP unit codes. A row gives a register id its short code (the default
// name of the published value), a readable caption and, for the date and time registers, a
// decoder that turns the raw number into a date or a time.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "kmp/kmp_value.h"

namespace zol::kmp {

struct TKmpRegisterInfo;

// Replaces the plain decoded number in `value` by its meaning (a date, a time of day). `raw` is
// the 32-bit mantissa and `value_bytes` the block's value bytes. False means the raw number is
// not valid for the register; `value` is then unchanged and the register is not published.
using RegisterDecoder = bool (*)(const TKmpRegisterInfo& row, std::uint32_t raw,
                                 std::span<const std::uint8_t> value_bytes, RegisterValue& value);

struct TKmpRegisterInfo {
    std::int32_t Id;
    std::string_view Code;  // empty for every electricity row but the first
    std::string_view Name;
    RegisterDecoder Decoder;
};

// The Id of the row that ends a catalogue.
inline constexpr std::int32_t kKmpCatalogueEnd = 0xFFFF;
// Readers stop after this many rows even when the end row is missing.
inline constexpr std::size_t kKmpCatalogueMaxRows = 1000;

enum class KmpCatalogue { kHeat, kElectricity };

// The catalogue's rows, its end row included.
std::span<const TKmpRegisterInfo> Catalogue(KmpCatalogue which) noexcept;

// The first row with this id before the end row, or nullptr.
const TKmpRegisterInfo* FindRegister(std::span<const TKmpRegisterInfo> catalogue,
                                     std::int32_t id) noexcept;
// The code a person writes to name register `id` (`kmptool read --regs`, the tools' hints): one
// per register, never shared by two registers of either catalogue, and the same in both where
// they hold the same register. Empty for an id neither catalogue holds. It differs from the row's
// `Code` (the default name of the published value, which stored host setups rely on) where that
// is empty or names two registers: heat's power 0050 is POWER here and still published as VALUE.
std::string_view RegisterCode(std::int32_t id) noexcept;

// The row of the register this code names (ASCII case ignored): a code of RegisterCode or an
// older spelling that stored files and scripts use (VALUE is register 0000, as it always was);
// then, for a catalogue not built here, the first row with that `Code`. nullptr when the
// catalogue lacks the register; an empty code matches nothing.
const TKmpRegisterInfo* FindRegisterByCode(std::span<const TKmpRegisterInfo> catalogue,
                                           std::string_view code) noexcept;

// Date register (yymmdd): raw 240229 is 29 February 2024. Rejects impossible dates and numbers
// of more than six digits.
bool DecodeKmpDate(const TKmpRegisterInfo& row, std::uint32_t raw,
                   std::span<const std::uint8_t> value_bytes, RegisterValue& value);
// Clock register (hhmmss): raw 93015 is 09:30:15. Rejects hours above 23, minutes or seconds
// above 59.
bool DecodeKmpTime(const TKmpRegisterInfo& row, std::uint32_t raw,
                   std::span<const std::uint8_t> value_bytes, RegisterValue& value);

inline constexpr int kKmpUnitCount = 65;

// The text of a KMP unit code; nothing for codes outside 1 to 64 and for the codes without text.
std::optional<std::string_view> KmpUnitText(int code) noexcept;

// What a unit text says a register's value is: a time of day ("hh:mm:ss"), a calendar date
// ("yy:mm:dd", "yyyy:mm:dd") or anything else. The unit travels with the value in a packet, so a
// reader can tell a clock register from a time stamp without knowing the register.
enum class KmpUnitForm { kOther, kTimeOfDay, kDate };
KmpUnitForm UnitForm(std::string_view unit_text) noexcept;

}  // namespace zol::kmp
