#include "kmp/kmp_registers.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace zol::kmp {

namespace {

// clang-format off
constexpr TKmpRegisterInfo kHeatRegisters[] = {
    {0,    "VALUE",              "Custom", nullptr},
    {1003, "DATE",               "Current date", &DecodeKmpDate},
    {60,   "E1",                 "Energy register 1: Heat energy", nullptr},
    {94,   "E2",                 "Energy register 2: Control energy", nullptr},
    {63,   "E3",                 "Energy register 3: Cooling energy", nullptr},
    {61,   "E4",                 "Energy register 4: Flow energy", nullptr},
    {62,   "E5",                 "Energy register 5: Return flow energy", nullptr},
    {95,   "E6",                 "Energy register 6: Tap water energy", nullptr},
    {96,   "E7",                 "Energy register 7: Heat energy Y", nullptr},
    {97,   "E8",                 "Energy register 8: (m3 x T1)", nullptr},
    {110,  "E9",                 "Energy register 9: (m3 x T2)", nullptr},
    {64,   "TA2",                "Tariff register 2", nullptr},
    {65,   "TA3",                "Tariff register 3", nullptr},
    {68,   "V1",                 "Volume register V1", nullptr},
    {69,   "V2",                 "Volume register V2", nullptr},
    {84,   "VA",                 "Input register VA", nullptr},
    {85,   "VB",                 "Input register VB", nullptr},
    {72,   "M1",                 "Mass register V1", nullptr},
    {73,   "M2",                 "Mass register V2", nullptr},
    {1004, "HR",                 "Operational hour counter", nullptr},
    {113,  "INFOEVENT",          "Info-event counter", nullptr},
    {1002, "CLOCK",              "Current time (hhmmss)", &DecodeKmpTime},
    {99,   "INFO",               "Infocode register, current", nullptr},
    {86,   "T1",                 "Current flow temperature", nullptr},
    {87,   "T2",                 "Current return flow temperature", nullptr},
    {88,   "T3",                 "Current temperature T3", nullptr},
    {122,  "T4",                 "Current temperature T4", nullptr},
    {89,   "T_DIFF",             "Current temperature difference", nullptr},
    {91,   "P1",                 "Pressure in flow", nullptr},
    {92,   "P2",                 "Pressure in return flow", nullptr},
    {74,   "FLOW1",              "Current flow in flow", nullptr},
    {75,   "FLOW2",              "Current flow in return flow", nullptr},
    {80,   "VALUE",              "Current power calculated on the basis of V1-T1-T2", nullptr},
    {123,  "YEAR_MAX_FLOW_DATE", "Year: max. flow date", nullptr},
    {124,  "YEAR_MAX_FLOW",      "Year: max. flow", nullptr},
    {125,  "YEAR_MIN_FLOW_DATE", "Year: min. flow date", nullptr},
    {126,  "YEAR_MIN_FLOW",      "Year: min. flow", nullptr},
    {127,  "YEAR_MAX_T1_DATE",   "Year: max. T1 date", nullptr},
    {128,  "YEAR_MAX_T1",        "Year: max. T1", nullptr},
    {129,  "YEAR_MIN_T1_DATE",   "Year: min. T1 date", nullptr},
    {130,  "YEAR_MIN_T1",        "Year: min. T1", nullptr},
    {138,  "MONTH_MAX_FLOW_DATE", "Month: max. flow date", nullptr},
    {139,  "MONTH_MAX_FLOW",     "Month: max. flow", nullptr},
    {140,  "MONTH_MIN_FLOW_DATE", "Month: min. flow date", nullptr},
    {141,  "MONTH_MIN_FLOW",     "Month: min. flow", nullptr},
    {142,  "MONTH_MAX_T1_DATE",  "Month: max. T1 date", nullptr},
    {143,  "MONTH_MAX_T1",       "Month: max. T1", nullptr},
    {144,  "MONTH_MIN_T1_DATE",  "Month: min. T1 date", nullptr},
    {145,  "MONTH_MIN_T1",       "Month: min. T1", nullptr},
    {146,  "AVR_T1_YEAR",        "Year-to-date average for T1", nullptr},
    {147,  "AVR_T2_YEAR",        "Year-to-date average for T2", nullptr},
    {149,  "AVR_T1_MONTH",       "Month-to-date average for T1", nullptr},
    {150,  "AVR_T2_MONTH",       "Month-to-date average for T2", nullptr},
    {66,   "TL2",                "Tariff limit 2", nullptr},
    {67,   "TL3",                "Tariff limit 3", nullptr},
    {98,   "XDAY",               "Target date (reading date)", nullptr},
    {152,  "PROG_NO",            "Program no.", nullptr},
    {153,  "CONFIG_NO1",         "Config no. 1 (DDDEE)", nullptr},
    {168,  "CONFIG_NO2",         "Config no. 2 (FFGGMN)", nullptr},
    {1001, "SERIAL_NO",          "Serial no.", nullptr},
    {112,  "METER_NO2",          "Customer no. (hi)", nullptr},
    {1010, "METER_NO1",          "Customer no. (lo)", nullptr},
    {114,  "METER_NO_VA",        "Meter no. for VA", nullptr},
    {104,  "METER_NO_VB",        "Meter no. for VB", nullptr},
    {1005, "METER_TYPE",         "Software edition", nullptr},
    {154,  "CHECK_SUM1",         "Software checksum", nullptr},
    {155,  "HIGH_RES_ENERGY",    "High-resolution energy register for testing purposes", nullptr},
    {157,  "TOP_MODULE_ID",      "ID number for top module", nullptr},
    {158,  "BOT_MODULE_ID",      "ID number for base module", nullptr},
    {175,  "ERROR_HOUR_COUNTER", "Error hour counter", nullptr},
    {234,  "IN_ALITER_IMP",      "Liter/imp value for input A", nullptr},
    {235,  "IN_B_LITER_IMP",     "Liter/imp value for input B", nullptr},
    {kKmpCatalogueEnd, "", "", nullptr},
};

constexpr TKmpRegisterInfo kElectricityRegisters[] = {
    {0,    "VALUE", "Custom", nullptr},
    {1,    "", "Energy in", nullptr},
    {2,    "", "Energy out", nullptr},
    {13,   "", "Energy in hi-res", nullptr},
    {14,   "", "Energy out hi-res", nullptr},
    {1054, "", "Voltage p1", nullptr},
    {1055, "", "Voltage p2", nullptr},
    {1056, "", "Voltage p3", nullptr},
    {1076, "", "Current p1", nullptr},
    {1077, "", "Current p2", nullptr},
    {1078, "", "Current p3", nullptr},
    {1080, "", "Power p1", nullptr},
    {1081, "", "Power p2", nullptr},
    {1082, "", "Power p3", nullptr},
    {86,   "", "Current flow temperature", nullptr},
    {87,   "", "Current return flow temperature", nullptr},
    {88,   "", "Current temperature T3", nullptr},
    {122,  "", "Current temperature T4", nullptr},
    {89,   "", "Current temperature difference", nullptr},
    {91,   "", "Pressure in flow", nullptr},
    {92,   "", "Pressure in return flow", nullptr},
    {74,   "", "Current flow in flow", nullptr},
    {75,   "", "Current flow in return flow", nullptr},
    {1023, "", "Power In", nullptr},
    {1080, "", "Power p1 In", nullptr},
    {1081, "", "Power p2 In", nullptr},
    {1082, "", "Power p3 In", nullptr},
    {1024, "", "Power Out", nullptr},
    {1344, "", "Power p1 Out", nullptr},
    {1345, "", "Power p2 Out", nullptr},
    {1346, "", "Power p3 Out", nullptr},
    {kKmpCatalogueEnd, "", "", nullptr},
};

// The code of every register either catalogue holds, one per id. Heat rows keep their own codes
// but the power row, whose VALUE is also register 0000's; electricity rows take heat's code for
// the registers both catalogues hold and a name after their caption for the rest.
struct RegisterCodeRow {
    std::int32_t id;
    std::string_view code;
};
constexpr RegisterCodeRow kRegisterCodes[] = {
    {0,    "VALUE"},              {1003, "DATE"},               {60,   "E1"},
    {94,   "E2"},                 {63,   "E3"},                 {61,   "E4"},
    {62,   "E5"},                 {95,   "E6"},                 {96,   "E7"},
    {97,   "E8"},                 {110,  "E9"},                 {64,   "TA2"},
    {65,   "TA3"},                {68,   "V1"},                 {69,   "V2"},
    {84,   "VA"},                 {85,   "VB"},                 {72,   "M1"},
    {73,   "M2"},                 {1004, "HR"},                 {113,  "INFOEVENT"},
    {1002, "CLOCK"},              {99,   "INFO"},               {86,   "T1"},
    {87,   "T2"},                 {88,   "T3"},                 {122,  "T4"},
    {89,   "T_DIFF"},             {91,   "P1"},                 {92,   "P2"},
    {74,   "FLOW1"},              {75,   "FLOW2"},              {80,   "POWER"},
    {123,  "YEAR_MAX_FLOW_DATE"}, {124,  "YEAR_MAX_FLOW"},      {125,  "YEAR_MIN_FLOW_DATE"},
    {126,  "YEAR_MIN_FLOW"},      {127,  "YEAR_MAX_T1_DATE"},   {128,  "YEAR_MAX_T1"},
    {129,  "YEAR_MIN_T1_DATE"},   {130,  "YEAR_MIN_T1"},        {138,  "MONTH_MAX_FLOW_DATE"},
    {139,  "MONTH_MAX_FLOW"},     {140,  "MONTH_MIN_FLOW_DATE"}, {141, "MONTH_MIN_FLOW"},
    {142,  "MONTH_MAX_T1_DATE"},  {143,  "MONTH_MAX_T1"},       {144,  "MONTH_MIN_T1_DATE"},
    {145,  "MONTH_MIN_T1"},       {146,  "AVR_T1_YEAR"},        {147,  "AVR_T2_YEAR"},
    {149,  "AVR_T1_MONTH"},       {150,  "AVR_T2_MONTH"},       {66,   "TL2"},
    {67,   "TL3"},                {98,   "XDAY"},               {152,  "PROG_NO"},
    {153,  "CONFIG_NO1"},         {168,  "CONFIG_NO2"},         {1001, "SERIAL_NO"},
    {112,  "METER_NO2"},          {1010, "METER_NO1"},          {114,  "METER_NO_VA"},
    {104,  "METER_NO_VB"},        {1005, "METER_TYPE"},         {154,  "CHECK_SUM1"},
    {155,  "HIGH_RES_ENERGY"},    {157,  "TOP_MODULE_ID"},      {158,  "BOT_MODULE_ID"},
    {175,  "ERROR_HOUR_COUNTER"}, {234,  "IN_ALITER_IMP"},      {235,  "IN_B_LITER_IMP"},
    {1,    "ENERGY_IN"},          {2,    "ENERGY_OUT"},         {13,   "ENERGY_IN_HIRES"},
    {14,   "ENERGY_OUT_HIRES"},   {1054, "VOLTAGE_P1"},         {1055, "VOLTAGE_P2"},
    {1056, "VOLTAGE_P3"},         {1076, "CURRENT_P1"},         {1077, "CURRENT_P2"},
    {1078, "CURRENT_P3"},         {1080, "POWER_P1"},           {1081, "POWER_P2"},
    {1082, "POWER_P3"},           {1023, "POWER_IN"},           {1024, "POWER_OUT"},
    {1344, "POWER_P1_OUT"},       {1345, "POWER_P2_OUT"},       {1346, "POWER_P3_OUT"},
};

// Indexed by unit code; an empty text means the code has no unit.
constexpr std::array<std::string_view, kKmpUnitCount> kUnitTexts = {
    "",         "Wh",       "kWh",      "MWh",        "GWh",     "j",       "kj",      "Mj",
    "Gj",       "Cal",      "kCal",     "Mcal",       "Gcal",    "varh",    "kvarh",   "Mvarh",
    "Gvarh",    "VAh",      "kVAh",     "MVAh",       "GVAh",    "kW",      "kW",      "MW",
    "GW",       "kvar",     "kvar",     "Mvar",       "Gvar",    "VA",      "kVA",     "MVA",
    "GVA",      "V",        "A",        "kV",         "kA",      "C",       "K",       "l",
    "m3",       "l/h",      "m3/h",     "m3xC",       "ton",     "ton/h",   "h",       "hh:mm:ss",
    "yy:mm:dd", "yyyy:mm:dd", "mm:dd",  "",           "bar",     "RTC",     "ASCII",   "m3 x 10",
    "ton x 10", "GJ x 10",  "minutes",  "Bitfield",   "s",       "ms",      "days",    "RTC-Q",
    "Datetime",
};
// clang-format on

constexpr bool SameAscii(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// The three two-digit fields of `raw` written with six digits (leading zeros): characters 1-2,
// 3-4 and 5-6. A number of more than six digits is no yymmdd or hhmmss value, and reading its
// first six digits would invent a date, so it yields nothing.
std::optional<std::array<int, 3>> SixDigitFields(std::uint32_t raw) noexcept {
    if (raw > 999999) return std::nullopt;
    const int n = static_cast<int>(raw);
    return std::array<int, 3>{n / 10000, n / 100 % 100, n % 100};
}

constexpr bool IsLeapYear(int year) noexcept {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

constexpr int DaysInMonth(int year, int month) noexcept {
    constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

std::span<const TKmpRegisterInfo> Catalogue(KmpCatalogue which) noexcept {
    if (which == KmpCatalogue::kElectricity) return kElectricityRegisters;
    return kHeatRegisters;
}

namespace {

// The rows of a built-in catalogue by id, for the decode of every register block: a search over
// the sorted ids instead of a walk along the rows. Equal ids keep the order of their rows, so the
// first row with an id is still the one found.
template <std::size_t N>
class CatalogueIndex {
   public:
    // Built while compiling (an insertion sort, which keeps equal ids in row order), so no
    // lookup can run before it exists.
    constexpr explicit CatalogueIndex(const TKmpRegisterInfo (&rows)[N]) : rows_(rows) {
        for (std::size_t i = 0; i < N; ++i) {
            if (rows[i].Id == kKmpCatalogueEnd) break;
            std::size_t at = count_++;
            for (; at > 0 && rows[order_[at - 1]].Id > rows[i].Id; --at)
                order_[at] = order_[at - 1];
            order_[at] = static_cast<std::uint16_t>(i);
        }
    }
    constexpr bool Covers(std::span<const TKmpRegisterInfo> catalogue) const noexcept {
        return catalogue.data() == rows_ && catalogue.size() == N;
    }
    constexpr const TKmpRegisterInfo* Find(std::int32_t id) const noexcept {
        const auto end = order_.begin() + static_cast<std::ptrdiff_t>(count_);
        const auto at = std::lower_bound(
            order_.begin(), end, id,
            [this](std::uint16_t row, std::int32_t wanted) { return rows_[row].Id < wanted; });
        return at != end && rows_[*at].Id == id ? &rows_[*at] : nullptr;
    }

   private:
    const TKmpRegisterInfo* rows_;
    std::array<std::uint16_t, N> order_{};
    std::size_t count_ = 0;
};

static_assert(std::size(kHeatRegisters) <= kKmpCatalogueMaxRows &&
              std::size(kElectricityRegisters) <= kKmpCatalogueMaxRows);
constexpr CatalogueIndex kHeatIndex(kHeatRegisters);
constexpr CatalogueIndex kElectricityIndex(kElectricityRegisters);

}  // namespace

const TKmpRegisterInfo* FindRegister(std::span<const TKmpRegisterInfo> catalogue,
                                     std::int32_t id) noexcept {
    if (kHeatIndex.Covers(catalogue)) return kHeatIndex.Find(id);
    if (kElectricityIndex.Covers(catalogue)) return kElectricityIndex.Find(id);
    for (std::size_t i = 0; i < catalogue.size() && i < kKmpCatalogueMaxRows; ++i) {
        if (catalogue[i].Id == kKmpCatalogueEnd) break;
        if (catalogue[i].Id == id) return &catalogue[i];
    }
    return nullptr;
}

std::string_view RegisterCode(std::int32_t id) noexcept {
    for (const RegisterCodeRow& row : kRegisterCodes) {
        if (row.id == id) return row.code;
    }
    return {};
}

const TKmpRegisterInfo* FindRegisterByCode(std::span<const TKmpRegisterInfo> catalogue,
                                           std::string_view code) noexcept {
    if (code.empty()) return nullptr;
    // VALUE, which the catalogues also give heat's power, named register 0000 in every lookup
    // before the codes were made unique, so it still does (a row of kRegisterCodes).
    for (const RegisterCodeRow& row : kRegisterCodes) {
        if (SameAscii(row.code, code)) return FindRegister(catalogue, row.id);
    }
    for (std::size_t i = 0; i < catalogue.size() && i < kKmpCatalogueMaxRows; ++i) {
        if (catalogue[i].Id == kKmpCatalogueEnd) break;
        if (SameAscii(catalogue[i].Code, code)) return &catalogue[i];
    }
    return nullptr;
}

bool DecodeKmpDate(const TKmpRegisterInfo& /*row*/, std::uint32_t raw,
                   std::span<const std::uint8_t> /*value_bytes*/, RegisterValue& value) {
    const auto fields = SixDigitFields(raw);
    if (!fields) return false;
    const auto [yy, month, day] = *fields;
    if (month < 1 || month > 12 || day < 1 || day > 31) return false;
    const int year = 2000 + yy;
    if (day > DaysInMonth(year, month)) return false;
    value = KmpDate{year, month, day};
    return true;
}

bool DecodeKmpTime(const TKmpRegisterInfo& /*row*/, std::uint32_t raw,
                   std::span<const std::uint8_t> /*value_bytes*/, RegisterValue& value) {
    const auto fields = SixDigitFields(raw);
    if (!fields) return false;
    const auto [hour, minute, second] = *fields;
    if (hour > 23 || minute > 59 || second > 59) return false;
    value = KmpTime{hour, minute, second};
    return true;
}

std::optional<std::string_view> KmpUnitText(int code) noexcept {
    if (code < 1 || code >= kKmpUnitCount) return std::nullopt;
    const std::string_view text = kUnitTexts[static_cast<std::size_t>(code)];
    if (text.empty()) return std::nullopt;
    return text;
}

KmpUnitForm UnitForm(std::string_view unit_text) noexcept {
    if (unit_text == "hh:mm:ss") return KmpUnitForm::kTimeOfDay;
    if (unit_text == "yy:mm:dd" || unit_text == "yyyy:mm:dd") return KmpUnitForm::kDate;
    return KmpUnitForm::kOther;
}

}  // namespace zol::kmp
