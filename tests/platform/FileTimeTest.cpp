#include <gtest/gtest.h>

#include "FakeClock.h"
#include "platform/FileTime.h"

namespace hv {
namespace {

TEST(FileTime, CalendarRoundTripsAndKnownValues) {
    // 1970-01-01 is 116444736000000000 in 100-ns units since 1601.
    FileTime t = 0;
    ASSERT_TRUE(CalendarToFileTime({1970, 1, 1, 0, 0, 0, 0}, t));
    EXPECT_EQ(t, 116444736000000000ULL);

    const CalendarTime c{2020, 3, 5, 14, 7, 9, 123};
    ASSERT_TRUE(CalendarToFileTime(c, t));
    EXPECT_EQ(FileTimeToCalendar(t), c);
    EXPECT_EQ(FileTimeToCalendar(0), (CalendarTime{1601, 1, 1, 0, 0, 0, 0}));
}

TEST(FileTime, InvalidCalendarValuesAreRefused) {
    FileTime t = 42;
    for (const CalendarTime& c : {CalendarTime{}, CalendarTime{2021, 2, 29}, CalendarTime{2021, 13, 1},
                                  CalendarTime{2021, 1, 1, 24}, CalendarTime{1600, 12, 31}}) {
        EXPECT_FALSE(CalendarToFileTime(c, t));
    }
    EXPECT_EQ(t, 42U);
}

TEST(Clock, LocalConversionUsesTheOffsetInForceNow) {
    test::FakeClock clock;
    clock.offsetSeconds = 3 * 3600;
    const FileTime utc = test::At(2022, 1, 20, 10, 46);
    EXPECT_EQ(clock.LocalCalendar(utc), (CalendarTime{2022, 1, 20, 13, 46, 0, 0}));
    FileTime back = 0;
    ASSERT_TRUE(clock.LocalToUtc(test::At(2022, 1, 20, 13, 46), back));
    EXPECT_EQ(back, utc);
    clock.offsetSeconds = -3600;
    FileTime local = 7;
    EXPECT_FALSE(clock.UtcToLocal(0, local));  // would fall before 1601
    EXPECT_EQ(local, 7U);
}

TEST(Clock, TickDifferenceSurvivesTheWrap) {
    EXPECT_EQ(TickDiffMs(5, 0xFFFFFFFBu), 10);
    EXPECT_EQ(TickDiffMs(0xFFFFFFFBu, 5), -10);
}

}  // namespace
}  // namespace hv
