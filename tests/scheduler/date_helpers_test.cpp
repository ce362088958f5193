#include "scheduler/date_helpers.h"

#include <gtest/gtest.h>

#include <limits>

#include "scheduler/cron_test_support.h"

namespace zol::scheduler {
namespace {

using testing::Iso;
using testing::Ole;

// OLE dates with their calendar meaning, from published tables of OLE automation dates (and the
// spreadsheet serial numbers they share after 1900-03-01).
struct OleCase {
    double ole;
    const char* text;
};

const OleCase kOleCases[] = {
    {0.5, "1899-12-30T12:00:00"},       {1.0, "1899-12-31T00:00:00"},
    {2.5, "1900-01-01T12:00:00"},       {-1.25, "1899-12-29T06:00:00"},
    {-1.75, "1899-12-29T18:00:00"},     {36526.0, "2000-01-01T00:00:00"},
    {25569.0, "1970-01-01T00:00:00"},   {45658.0, "2025-01-01T00:00:00"},
    {2958465.0, "9999-12-31T00:00:00"}, {-657434.0, "0100-01-01T00:00:00"},
    {44197.75, "2021-01-01T18:00:00"},  {-657434.5, "0100-01-01T12:00:00"},
};

TEST(DateHelpers, OleDatesMatchTheirCalendarMeaningBothWays) {
    for (const auto& c : kOleCases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Iso(c.ole), c.text);
        EXPECT_DOUBLE_EQ(Ole(c.text), c.ole);
    }
}

TEST(DateHelpers, MillisecondsAreLinearAcrossTheOleOrigin) {
    // Before 1899-12-30 larger fractions are later in the day, so raw OLE values do not order.
    EXPECT_LT(OleToMs(-1.25), OleToMs(-1.75));
    EXPECT_EQ(OleToMs(-1.75) - OleToMs(-1.25), 12 * 3600 * 1000);
    EXPECT_EQ(OleToMs(0.0) - OleToMs(-1.75), 6 * 3600 * 1000);
    EXPECT_EQ(OleToMs(25569.0), 0);
    EXPECT_EQ(OleToMs(0.0), -25569 * kMsPerDay);
    EXPECT_EQ(Iso(Ole("2024-02-29T23:59:59.999")), "2024-02-29T23:59:59.999");
}

TEST(DateHelpers, CalendarFacts) {
    EXPECT_EQ(DaysFromCivil(2000, 1, 1), 10957);
    EXPECT_EQ(DaysFromCivil(1970, 1, 1), 0);
    EXPECT_EQ(IsoWeekday(DaysFromCivil(2026, 12, 7)), 1);  // a Monday
    EXPECT_EQ(IsoWeekday(DaysFromCivil(2000, 1, 1)), 6);   // a Saturday
    EXPECT_EQ(IsoWeekday(DaysFromCivil(1900, 1, 1)), 1);   // a Monday
    EXPECT_EQ(IsoWeekday(DaysFromCivil(1899, 12, 31)), 7);
    EXPECT_TRUE(IsLeapYear(2000));
    EXPECT_FALSE(IsLeapYear(1900));
    EXPECT_FALSE(IsLeapYear(2100));
    EXPECT_TRUE(IsLeapYear(2024));
    EXPECT_EQ(DaysInMonth(2024, 2), 29);
    EXPECT_EQ(DaysInMonth(2100, 2), 28);
    EXPECT_EQ(DaysInMonth(2026, 4), 30);
    EXPECT_EQ(DaysInMonth(2026, 12), 31);
}

TEST(DateHelpers, OutOfRangeAndNanAreClampedNotUndefined) {
    EXPECT_EQ(SplitMs(OleToMs(1e300)).year, 10000);
    EXPECT_EQ(SplitMs(OleToMs(-1e300)).year, 100);
    EXPECT_EQ(SplitMs(OleToMs(std::numeric_limits<double>::quiet_NaN())).year, 100);
}

}  // namespace
}  // namespace zol::scheduler
