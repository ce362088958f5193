#include "kmp/kmp_registers.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace zol::kmp {
namespace {

TEST(KmpRegisters, CataloguesEndWithTheMarkerAfterTheirRows) {
    const auto heat = Catalogue(KmpCatalogue::kHeat);
    const auto electricity = Catalogue(KmpCatalogue::kElectricity);
    ASSERT_EQ(heat.size(), 73u);
    ASSERT_EQ(electricity.size(), 32u);
    EXPECT_EQ(heat.back().Id, kKmpCatalogueEnd);
    EXPECT_EQ(electricity.back().Id, kKmpCatalogueEnd);
    for (std::size_t i = 1; i + 1 < electricity.size(); ++i) {
        EXPECT_TRUE(electricity[i].Code.empty()) << "electricity row " << i;
    }
}

TEST(KmpRegisters, LookupTakesTheFirstMatchingRow) {
    const struct {
        KmpCatalogue catalogue;
        std::int32_t id;
        const char* code;
        const char* name;
    } cases[] = {
        {KmpCatalogue::kHeat, 0x003C, "E1", "Energy register 1: Heat energy"},
        {KmpCatalogue::kHeat, 1003, "DATE", "Current date"},
        {KmpCatalogue::kHeat, 1002, "CLOCK", "Current time (hhmmss)"},
        {KmpCatalogue::kHeat, 80, "VALUE", "Current power calculated on the basis of V1-T1-T2"},
        {KmpCatalogue::kHeat, 130, "YEAR_MIN_T1", "Year: min. T1"},
        {KmpCatalogue::kHeat, 235, "IN_B_LITER_IMP", "Liter/imp value for input B"},
        {KmpCatalogue::kElectricity, 0, "VALUE", "Custom"},
        {KmpCatalogue::kElectricity, 1080, "", "Power p1"},  // not the later "Power p1 In"
        {KmpCatalogue::kElectricity, 1024, "", "Power Out"},
        {KmpCatalogue::kElectricity, 1346, "", "Power p3 Out"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.id));
        const auto* row = FindRegister(Catalogue(c.catalogue), c.id);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->Code, c.code);
        EXPECT_EQ(row->Name, c.name);
    }
    EXPECT_EQ(FindRegister(Catalogue(KmpCatalogue::kHeat), 1), nullptr);
    EXPECT_EQ(FindRegister(Catalogue(KmpCatalogue::kHeat), kKmpCatalogueEnd), nullptr);
    EXPECT_EQ(FindRegister(Catalogue(KmpCatalogue::kElectricity), 60), nullptr);
}

TEST(KmpRegisters, LookupByCodeIgnoresCaseAndFindsOnlyRealCodes) {
    const auto heat = Catalogue(KmpCatalogue::kHeat);
    ASSERT_NE(FindRegisterByCode(heat, "v1"), nullptr);
    EXPECT_EQ(FindRegisterByCode(heat, "v1")->Id, 68);
    EXPECT_EQ(FindRegisterByCode(heat, "VALUE")->Id, 0);  // the first of two rows
    EXPECT_EQ(FindRegisterByCode(heat, ""), nullptr);
    EXPECT_EQ(FindRegisterByCode(heat, "E10"), nullptr);
    EXPECT_EQ(FindRegisterByCode(Catalogue(KmpCatalogue::kElectricity), ""), nullptr);
}

// A code a person writes names one register, whichever catalogue is in use: every register of
// both catalogues has one, it reads back to that register, and no code names two registers.
TEST(KmpRegisters, EveryRegisterHasOneCodeThatNamesOnlyIt) {
    std::map<std::string, std::int32_t> register_of;
    std::map<std::int32_t, std::string> code_of;
    for (const auto which : {KmpCatalogue::kHeat, KmpCatalogue::kElectricity}) {
        const auto catalogue = Catalogue(which);
        for (const auto& row : catalogue) {
            if (row.Id == kKmpCatalogueEnd) break;
            SCOPED_TRACE(row.Name);
            const std::string code(RegisterCode(row.Id));
            ASSERT_FALSE(code.empty());
            const auto* found = FindRegisterByCode(catalogue, code);
            ASSERT_NE(found, nullptr);
            EXPECT_EQ(found->Id, row.Id);
            EXPECT_EQ(register_of.emplace(code, row.Id).first->second, row.Id) << code;
            EXPECT_EQ(code_of.emplace(row.Id, code).first->second, code) << row.Id;
        }
    }
    // The spellings a stored file or script may hold keep naming what they named.
    const struct {
        KmpCatalogue catalogue;
        const char* code;
        std::int32_t id;  // -1: not in that catalogue
    } cases[] = {
        {KmpCatalogue::kHeat, "value", 0},
        {KmpCatalogue::kHeat, "POWER", 0x50},
        {KmpCatalogue::kElectricity, "VALUE", 0},
        {KmpCatalogue::kElectricity, "t1", 0x56},
        {KmpCatalogue::kElectricity, "E1", -1},
        {KmpCatalogue::kHeat, "VOLTAGE_P1", -1},
        {KmpCatalogue::kElectricity, "POWER_P1", 1080},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        const auto* row = FindRegisterByCode(Catalogue(c.catalogue), c.code);
        EXPECT_EQ(row == nullptr ? -1 : row->Id, c.id);
    }
}

TEST(KmpRegisters, OnlyTheDateAndClockRowsHaveDecoders) {
    for (const auto& row : Catalogue(KmpCatalogue::kHeat)) {
        const bool expected = row.Id == 1003 || row.Id == 1002;
        EXPECT_EQ(row.Decoder != nullptr, expected) << row.Code;
    }
}

TEST(KmpRegisters, ClockDecoderAcceptsOnlyRealTimesOfDay) {
    const struct {
        std::uint32_t raw;
        bool ok;
        KmpTime time;
    } cases[] = {
        {93015, true, {9, 30, 15}}, {235959, true, {23, 59, 59}}, {0, true, {0, 0, 0}},
        {246000, false, {}},        {236000, false, {}},          {235960, false, {}},
        {2359590, false, {}},  // more than six digits is no hhmmss, whatever its first six say
    };
    const auto* clock = FindRegister(Catalogue(KmpCatalogue::kHeat), 1002);
    ASSERT_NE(clock, nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.raw));
        RegisterValue value = c.raw;
        EXPECT_EQ(clock->Decoder(*clock, c.raw, {}, value), c.ok);
        if (c.ok) {
            EXPECT_EQ(value, RegisterValue(c.time));
        } else {
            EXPECT_EQ(value, RegisterValue(c.raw));  // left as the plain number
        }
    }
}

TEST(KmpRegisters, DateDecoderAcceptsOnlyExistingDates) {
    const struct {
        std::uint32_t raw;
        bool ok;
        KmpDate date;
    } cases[] = {
        {240229, true, {2024, 2, 29}}, {10101, true, {2001, 1, 1}}, {991231, true, {2099, 12, 31}},
        {230229, false, {}},           {241301, false, {}},         {240431, false, {}},
        {240100, false, {}},           {240001, false, {}},         {2402290, false, {}},
    };
    const auto* date = FindRegister(Catalogue(KmpCatalogue::kHeat), 1003);
    ASSERT_NE(date, nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.raw));
        RegisterValue value = c.raw;
        EXPECT_EQ(date->Decoder(*date, c.raw, {}, value), c.ok);
        EXPECT_EQ(value, c.ok ? RegisterValue(c.date) : RegisterValue(c.raw));
    }
}

TEST(KmpRegisters, DecodedDatesAndTimesConvertToDateTimeValues) {
    EXPECT_DOUBLE_EQ((KmpDate{2024, 2, 29}.ToOleDate()), 45351.0);
    EXPECT_DOUBLE_EQ((KmpDate{1899, 12, 30}.ToOleDate()), 0.0);
    EXPECT_DOUBLE_EQ((KmpDate{2000, 1, 1}.ToOleDate()), 36526.0);
    EXPECT_DOUBLE_EQ((KmpTime{12, 0, 0}.ToOleDate()), 0.5);
    EXPECT_DOUBLE_EQ((KmpTime{6, 0, 0}.ToOleDate()), 0.25);
}

TEST(KmpRegisters, UnitTextsFollowTheUnitTable) {
    const struct {
        int code;
        const char* text;  // nullptr: no unit
    } cases[] = {
        {0, nullptr},       {51, nullptr}, {65, nullptr},   {-1, nullptr},    {1, "Wh"},
        {21, "kW"},         {22, "kW"},    {37, "C"},       {40, "m3"},       {47, "hh:mm:ss"},
        {49, "yyyy:mm:dd"}, {52, "bar"},   {55, "m3 x 10"}, {64, "Datetime"}, {63, "RTC-Q"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.code));
        const auto text = KmpUnitText(c.code);
        if (c.text == nullptr) {
            EXPECT_FALSE(text.has_value());
        } else {
            ASSERT_TRUE(text.has_value());
            EXPECT_EQ(*text, c.text);
        }
    }
}

}  // namespace
}  // namespace zol::kmp
