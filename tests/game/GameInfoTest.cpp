#include <gtest/gtest.h>

#include <QString>

#include "FakeClock.h"
#include "LogCapture.h"
#include "game/EventTypes.h"
#include "game/GameInfo.h"

namespace hv {
namespace {

using test::At;

class GameInfoTest : public ::testing::Test {
protected:
    void SetUp() override { clock.offsetSeconds = 3 * 3600; }

    void Add(int type, int number, int period, FileTime time, int score1 = 0, int score2 = 0,
             int minute = 0, int second = 0) {
        std::lock_guard lock(model.GameInfoLock);
        model.AddLabel(type, number, period, time, score1, score2, minute, second);
    }
    std::vector<Label> Labels(int period = -1) {
        std::vector<Label> labels;
        model.CopyLabels(labels, period);
        return labels;
    }
    static PeriodRecord Period(FileTime start, int score1, int score2, int kind = 0) {
        PeriodRecord p;
        p.PeriodKind = kind;
        p.Score1 = score1;
        p.Score2 = score2;
        p.Start = start;
        p.End = 12345;  // ignored by SetPeriods
        return p;
    }

    test::FakeClock clock;
    CGameInfo model{clock};
    test::LogCapture capture;
};

TEST_F(GameInfoTest, StartsEmpty) {
    const GameState s = model.GetSnapshot();
    EXPECT_EQ(s.GameStart, 0U);
    EXPECT_EQ(s.PeriodCount, 0);
    EXPECT_EQ(model.PlayPosition.load(), -1);
    EXPECT_FALSE(model.LabelsChanged.load());
    EXPECT_EQ(model.GetCameraCount(), 0);
}

TEST_F(GameInfoTest, SecondsFromYearStartRoundsToTheNearestSecondInLocalTime) {
    // Local time is UTC+3: local 1 January 00:00:00 is 31 December 21:00:00 UTC.
    struct Case {
        FileTime utc;
        std::int32_t seconds;
    } cases[] = {
        {At(2021, 12, 31, 21, 0, 0, 400), 0},
        {At(2021, 12, 31, 21, 0, 0, 500), 0},  // an exact half goes down
        {At(2021, 12, 31, 21, 0, 0, 600), 1},
        {At(2022, 1, 1, 21, 0, 0), 86400},
        {At(2021, 12, 31, 20, 59, 59), 31535999},  // still in local 2021
    };
    for (const Case& c : cases) EXPECT_EQ(SecondsFromYearStart(c.utc, clock), c.seconds);
}

TEST_F(GameInfoTest, AddLabelStoresOnceAndChangesInPlace) {
    const FileTime t = At(2022, 1, 20, 10, 50);
    Add(kEventGoal, 1, 1, t, 1, 0, 3, 15);
    Add(kEventPenalty, 1, 1, t + 1, 0, 0, 4, 0);
    EXPECT_TRUE(model.LabelsChanged.exchange(false));
    EXPECT_EQ(capture.Lines(),
              (std::vector<std::string>{
                  "----- AddLabel[Гол.1] 2022-01-20 13:50:00  period=1,  score=1:0   OFFSET=" +
                      QString::asprintf("%08d", SecondsFromYearStart(t, clock)).toStdString() + "\n",
                  "----- AddLabel[Удаление игрока.1] 2022-01-20 13:50:00  period=1,  score=0:0   OFFSET=" +
                      QString::asprintf("%08d", SecondsFromYearStart(t + 1, clock)).toStdString() + "\n"}));
    capture.Clear();

    // Identical values: nothing changes, no trace, the flag stays clear.
    Add(kEventGoal, 1, 1, t, 1, 0, 3, 15);
    EXPECT_FALSE(model.LabelsChanged.load());
    EXPECT_TRUE(capture.Lines().empty());

    // A changed score: overwritten in place, flag set, still no trace.
    Add(kEventGoal, 1, 1, t, 2, 0, 3, 15);
    EXPECT_TRUE(model.LabelsChanged.load());
    EXPECT_TRUE(capture.Lines().empty());
    const auto labels = Labels();
    ASSERT_EQ(labels.size(), 2U);
    EXPECT_EQ(labels[0].Type, kEventGoal);
    EXPECT_EQ(labels[0].Score1, 2);
    EXPECT_EQ(labels[0].Offset, SecondsFromYearStart(t, clock));

    Label found;
    EXPECT_TRUE(model.FindLabel(kEventPenalty, 1, found));
    EXPECT_EQ(found.Time, t + 1);
    EXPECT_FALSE(model.FindLabel(kEventPenalty, 2, found));
}

TEST_F(GameInfoTest, RemoveLabelRemovesNumbersAboveOfOneTypeOnly) {
    for (int n = 1; n <= 4; ++n) Add(kEventGoal, n, 1, At(2022, 1, 1, 0, n));
    Add(kEventFight, 1, 1, At(2022, 1, 1));
    model.LabelsChanged = false;
    capture.Clear();

    model.RemoveLabel(kEventGoal, 2);
    EXPECT_EQ(Labels().size(), 3U);
    EXPECT_EQ(capture.Lines().size(), 2U);
    EXPECT_EQ(capture.Lines()[0].rfind("----- RemoveLabel[Гол.3] ", 0), 0U);
    EXPECT_FALSE(model.LabelsChanged.load());

    model.RemoveLabel(kEventGoal, 0);
    const auto left = Labels();
    ASSERT_EQ(left.size(), 1U);
    EXPECT_EQ(left[0].Type, kEventFight);
}

TEST_F(GameInfoTest, SetPeriodsBuildsRecordsScoresAndMarks) {
    model.SetGameStartTime(At(2022, 1, 20, 10, 0));
    model.SetLastGameTime(At(2022, 1, 20, 12, 0));
    const PeriodRecord periods[] = {Period(At(2022, 1, 20, 10, 30), 1, 0),
                                    Period(At(2022, 1, 20, 11, 0), 2, 1),
                                    Period(At(2022, 1, 20, 11, 30), 2, 2),
                                    Period(At(2022, 1, 20, 11, 50), 3, 2, 1)};
    model.SetPeriods(periods, 4);

    const GameState s = model.GetSnapshot();
    EXPECT_EQ(s.PeriodCount, 5);
    EXPECT_EQ(s.Score1, 3);
    EXPECT_EQ(s.Score2, 2);
    EXPECT_EQ(s.Periods[0].PeriodKind, 3);
    EXPECT_EQ(s.Periods[0].Start, At(2022, 1, 20, 10, 0));
    EXPECT_EQ(s.Periods[1].End, periods[1].Start);
    EXPECT_EQ(s.Periods[3].End, periods[3].Start);
    EXPECT_EQ(s.Periods[4].End, At(2022, 1, 20, 12, 0));
    EXPECT_EQ(s.Periods[4].PeriodKind, 1);

    const auto labels = Labels();
    ASSERT_EQ(labels.size(), 6U);
    EXPECT_EQ(labels[0].Type, kEventGameStart);
    EXPECT_EQ(labels[1].Type, kEventWarmUp);
    for (int i = 1; i <= 4; ++i) {
        const Label& mark = labels[static_cast<size_t>(i + 1)];
        EXPECT_EQ(mark.Type, kEventPeriodStart);
        EXPECT_EQ(mark.Number, i);
        EXPECT_EQ(mark.Period, i);
        EXPECT_EQ(mark.Time, periods[i - 1].Start);
        EXPECT_EQ(mark.Score1, periods[i - 1].Score1);
        EXPECT_EQ(mark.ClockMinute, i < 4 ? 20 : 5);
    }

    // A shorter list keeps the period-start marks of the longer one.
    model.SetPeriods(periods, 3);
    EXPECT_EQ(model.GetSnapshot().PeriodCount, 4);
    EXPECT_EQ(model.GetSnapshot().Periods[3].End, At(2022, 1, 20, 12, 0));
    EXPECT_EQ(Labels().size(), 6U);
}

TEST_F(GameInfoTest, SetPeriodsWithoutPeriodsStillMakesTheGameMarks) {
    model.SetLastGameTime(At(2022, 1, 20, 12, 0));
    model.SetPeriods(nullptr, 0);
    const GameState s = model.GetSnapshot();
    EXPECT_EQ(s.PeriodCount, 1);
    EXPECT_EQ(s.Score1, 0);
    EXPECT_EQ(s.Periods[0].End, At(2022, 1, 20, 12, 0));
    EXPECT_EQ(Labels().size(), 2U);
}

TEST_F(GameInfoTest, SetPeriodsKeepsToTheRoomFor98Periods) {
    std::vector<PeriodRecord> periods;
    for (int i = 0; i < 120; ++i) periods.push_back(Period(At(2022, 1, 20, 10, 0, i), i, 0));
    model.SetPeriods(periods.data(), static_cast<int>(periods.size()));
    const GameState s = model.GetSnapshot();
    EXPECT_EQ(s.PeriodCount, kMaxPeriodRecords);
    EXPECT_EQ(s.Score1, 97);
    Label mark;
    EXPECT_TRUE(model.FindLabel(kEventPeriodStart, 98, mark));
    EXPECT_FALSE(model.FindLabel(kEventPeriodStart, 99, mark));
}

TEST_F(GameInfoTest, SetLastGameTimeEndsTheLastKnownRecord) {
    model.SetLastGameTime(At(2022, 1, 1));  // no periods: the game record
    EXPECT_EQ(model.GetSnapshot().Periods[0].End, At(2022, 1, 1));
    model.SetPeriods(nullptr, 0);  // PeriodCount 1
    model.SetLastGameTime(At(2022, 1, 2));
    EXPECT_EQ(model.GetSnapshot().Periods[0].End, At(2022, 1, 2));
    EXPECT_EQ(model.GetSnapshot().LastGameTime, At(2022, 1, 2));
}

TEST_F(GameInfoTest, CamerasRefuseOutOfRangeIndexesAndNullIdentifiers) {
    Guid a, b;
    ASSERT_TRUE(Guid::Parse("{00000000-0000-0000-0000-00000000000A}", a));
    ASSERT_TRUE(Guid::Parse("{00000000-0000-0000-0000-00000000000B}", b));
    const Guid cameras[] = {a, Guid{}, b};
    model.SetCameras(3, cameras, b);
    EXPECT_EQ(model.GetCameraCount(), 3);

    Guid out = a;
    for (int index : {-1, 1, 3}) {
        out = a;
        EXPECT_FALSE(model.GetCamera(index, out)) << index;
        EXPECT_TRUE(out.IsNull());
    }
    EXPECT_TRUE(model.GetCamera(2, out));
    EXPECT_EQ(out, b);
    model.GetAudioCamera(out);
    EXPECT_EQ(out, b);
}

TEST_F(GameInfoTest, ClearKeepsCamerasPlayPositionAndTheChangeFlag) {
    Guid a;
    ASSERT_TRUE(Guid::Parse("{00000000-0000-0000-0000-00000000000A}", a));
    model.SetCameras(1, &a, a);
    model.SetGameStartTime(At(2022, 1, 1));
    Add(kEventGoal, 1, 1, At(2022, 1, 1, 1));
    model.SetPlayPosition(At(2021, 12, 31, 21, 0, 10));
    EXPECT_EQ(model.PlayPosition.load(), 10);
    model.SetPlayPosition(0);  // a zero time changes nothing
    EXPECT_EQ(model.PlayPosition.load(), 10);

    model.Clear();
    EXPECT_EQ(model.GetSnapshot().GameStart, 0U);
    EXPECT_TRUE(Labels().empty());
    EXPECT_EQ(model.GetCameraCount(), 1);
    EXPECT_EQ(model.PlayPosition.load(), 10);
    EXPECT_TRUE(model.LabelsChanged.load());
}

TEST_F(GameInfoTest, SetGameStartConvertsLocalTimeAndTreatsAnInvalidTimeAsUnset) {
    model.SetGameStart({2022, 1, 20, 13, 46, 0, 0});
    EXPECT_EQ(model.GetSnapshot().GameStart, At(2022, 1, 20, 10, 46));
    model.SetGameStart(CalendarTime{});
    EXPECT_EQ(model.GetSnapshot().GameStart, 0U);
}

}  // namespace
}  // namespace hv

namespace hv {
namespace {

TEST(GameYearOffset, ATimeOfTheNewYearInAGameStartedInDecemberIsNotAYearEarly) {
    test::FakeClock clock;
    clock.offsetSeconds = 3 * 3600;
    const FileTime gameStart = test::At(2021, 12, 31, 19, 0);  // 22:00 local on 31 December
    struct Case {
        std::int32_t seconds;
        FileTime expected;
    } cases[] = {
        // Ten minutes after local New Year, counted in the new year as C0401 tells it.
        {600, test::At(2021, 12, 31, 21, 10)},
        // Times of the game's own year keep their year.
        {SecondsFromYearStart(test::At(2021, 12, 31, 20, 0), clock), test::At(2021, 12, 31, 20, 0)},
        // A little before the game start stays before it (playback clamps it to the start).
        {SecondsFromYearStart(test::At(2021, 12, 31, 18, 0), clock), test::At(2021, 12, 31, 18, 0)},
    };
    for (const Case& c : cases) EXPECT_EQ(TimeFromGameYearOffset(gameStart, c.seconds, clock), c.expected);

    // Without a game start nothing is moved.
    EXPECT_EQ(TimeFromGameYearOffset(0, 600, clock), TimeFromYearOffset(0, 600, clock));
}

TEST(GameYearOffset, TimesNearTheEndsOfTheRangeNeitherOverflowNorWrap) {
    // Times from the referee console and the recorder can be any 64-bit value. With a
    // positive UTC offset the conversions near the limits refuse (0, "no time") instead of
    // overflowing, and the period time of an answer (use game time off) never wraps.
    for (const std::int64_t offsetHours : {3, -5, 14}) {
        SCOPED_TRACE(offsetHours);
        test::FakeClock clock;
        clock.offsetSeconds = offsetHours * 3600;
        const FileTime extremes[] = {0, 1, kMaxFileTime - 1, kMaxFileTime, kMaxFileTime + 1,
                                     ~FileTime{0}, static_cast<FileTime>(INT64_MAX) - 3600 * kFileTimeUnitsPerSecond};
        for (const FileTime t : extremes) {
            FileTime local = 0;
            const bool converted = clock.UtcToLocal(t, local);
            if (converted) {
                EXPECT_LE(local, kMaxFileTime);
                FileTime back = 0;
                EXPECT_TRUE(clock.LocalToUtc(local, back));
                EXPECT_EQ(back, t);
            }
            if (t > kMaxFileTime) EXPECT_FALSE(converted);
            const std::int32_t seconds = SecondsFromYearStart(t, clock);
            EXPECT_GE(seconds, 0);
            EXPECT_LE(seconds, 366 * 86400);
            for (const std::int32_t s : {INT32_MIN, -1, 0, 600, INT32_MAX}) {
                const FileTime there = TimeFromYearOffset(t, s, clock);
                EXPECT_LE(there, kMaxFileTime);
                EXPECT_LE(TimeFromGameYearOffset(t, s, clock), kMaxFileTime);
            }
        }
    }
}

}  // namespace
}  // namespace hv
