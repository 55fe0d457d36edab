#include <QDeadlineTimer>
#include <QThread>

#include "FakeClock.h"
#include "LogCapture.h"
#include "PlaybackTestSupport.h"
#include "playback/PlayerComponents.h"
#include "playback/ReplayPlayer.h"

namespace hv::test {
namespace {

using ReplayPlayerTest = PlaybackFixture;

TEST_F(ReplayPlayerTest, InitialisesTheNamedPlayer) {
    FakeClock clock;
    ReplayPlayer player(components_, clock);
    EXPECT_EQ(player.LastResult(), 1);
    EXPECT_EQ(player.Step(), 0);
    EXPECT_EQ(player.State(), ReplayPlayer::kNeverStarted);

    ASSERT_TRUE(player.InitPlayer("Lumentra.Second", 300));
    EXPECT_EQ(player.LastResult(), S_OK);
    EXPECT_EQ(player.Step(), 99);
    EXPECT_TRUE(player.HasComponent());
}

TEST_F(ReplayPlayerTest, InitialisationFailuresKeepTheirResultAndStep) {
    struct Case {
        const char* name;
        bool installed;
        std::vector<PlayerEntry> players;
        QString playerName;
        HResult result;
        int step;
    } cases[] = {
        {"unknown name", true, {{"A", "Lumentra.Main", "{11111111-2222-3333-4444-555555555555}", "1"}},
         "Lumentra.Other", E_ACCESSDENIED, 3},
        {"other letter case", true, {{"A", "Lumentra.Main", "{11111111-2222-3333-4444-555555555555}", "1"}},
         "lumentra.main", E_ACCESSDENIED, 3},
        {"empty list", true, {}, "Lumentra.Main", E_ACCESSDENIED, 3},
        {"empty name, empty list", true, {}, "", E_ACCESSDENIED, 3},
        {"bad identifier", true, {{"A", "Lumentra.Main", "not-an-id", "1"}}, "Lumentra.Main",
         static_cast<HResult>(0x8007000Du), 4},
        {"bad parameter", true, {{"A", "Lumentra.Main", "{11111111-2222-3333-4444-555555555555}", "x"}},
         "Lumentra.Main", static_cast<HResult>(0x8007000Du), 5},
        {"not installed", false, {}, "Lumentra.Main", REGDB_E_CLASSNOTREG, 1},
    };
    for (const Case& c : cases) {
        WritePlayers(c.players);
        FakeClock clock;
        ReplayPlayer player(c.installed ? components_ : noComponents_, clock);
        EXPECT_FALSE(player.InitPlayer(c.playerName, 300)) << c.name;
        EXPECT_EQ(player.LastResult(), c.result) << c.name;
        EXPECT_EQ(player.Step(), c.step) << c.name;
        EXPECT_FALSE(player.HasComponent()) << c.name;
    }
}

TEST_F(ReplayPlayerTest, InitErrorTextNamesPlayerSizeResultAndStep) {
    FakeClock clock;
    ReplayPlayer player(components_, clock);
    ASSERT_FALSE(player.InitPlayer("Nobody", 500));
    EXPECT_EQ(player.GetInitErrorText("Nobody", 500),
              "Can't init Lumentra player!\nPlayer name 'Nobody'  fifo size 500ms,\n"
              "Error=-2147024891 on step=3.");
}

TEST_F(ReplayPlayerTest, WithoutAComponentNothingPlaysAndTheFailedStartIsLogged) {
    FakeClock clock;
    ReplayPlayer player(noComponents_, clock);
    ASSERT_FALSE(player.InitPlayer("Lumentra.Main", 300));
    LogCapture log;
    EXPECT_FALSE(player.StartPlaybackLocal(MakeGuid("{00000000-0000-0000-0000-000000000001}"), Guid{},
                                           At(2026, 3, 5, 14), 1.0));
    player.StopPlayback();
    // The request fails with the reason the player could not be set up (class not installed).
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{
                  "Halvane::StartPlaybackLocal ERROR=0x80040154,  step=0,  time=2026-03-05_14:00:00,  "
                  "speed=1.000,  storage={00000000-0000-0000-0000-000000000001}\n",
                  "Halvane::StopPlayback\n"}));
    EXPECT_EQ(player.State(), ReplayPlayer::kStopped);
    FileTime time = 0;
    EXPECT_FALSE(player.ReadPlayTime(time));
}

TEST_F(ReplayPlayerTest, StartLogsLocalTimeSpeedAndCamera) {
    FakeClock clock;
    clock.offsetSeconds = 2 * 3600;
    ReplayPlayer player(components_, clock);
    ASSERT_TRUE(player.InitPlayer("Lumentra.Main", 300));
    const Guid camera = MakeGuid("{0123abcd-4567-89ef-0123-456789abcdef}");
    const FileTime start = At(2026, 3, 5, 12, 30, 15, 400);

    LogCapture log;
    ASSERT_TRUE(player.StartPlaybackLocal(camera, Guid{}, start, 0.5));
    EXPECT_EQ(log.Lines(),
              std::vector<std::string>{"Halvane::StartPlaybackLocal OK,  time=2026-03-05_14:30:15,  "
                                       "speed=0.500,  storage={0123ABCD-4567-89EF-0123-456789ABCDEF}\n"});
    EXPECT_EQ(player.State(), ReplayPlayer::kPlaying);
    EXPECT_EQ(player.Camera(), camera);
    EXPECT_EQ(player.Start(), start);
    EXPECT_EQ(player.Speed(), 0.5);

    log.Clear();
    player.StopPlayback();
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"Halvane::StopPlayback\n"});
    EXPECT_EQ(player.State(), ReplayPlayer::kStopped);
}

TEST_F(ReplayPlayerTest, AFailedStartIsLoggedWithItsStepAndStops) {
    FakeClock clock;
    ReplayPlayer player(components_, clock);
    ASSERT_TRUE(player.InitPlayer("Lumentra.Main", 300));
    const Guid camera = MakeGuid("{00000000-0000-0000-0000-0000000000C1}");
    ASSERT_TRUE(player.StartPlaybackLocal(camera, Guid{}, At(2026, 3, 5, 14), 1.0));

    // The player refuses a start time of 0 when loading.
    LogCapture log;
    EXPECT_FALSE(player.StartPlaybackLocal(camera, Guid{}, 0, 1.0));
    EXPECT_EQ(log.Lines(),
              std::vector<std::string>{"Halvane::StartPlaybackLocal ERROR=0x80070057,  step=2,  "
                                       "time=1601-01-01_00:00:00,  speed=1.000,  "
                                       "storage={00000000-0000-0000-0000-0000000000C1}\n"});
    EXPECT_EQ(player.State(), ReplayPlayer::kStopped);
    FileTime time = 0;
    EXPECT_FALSE(player.ReadPlayTime(time)) << "stopped: nothing is played";
}

TEST_F(ReplayPlayerTest, SpeedIsLoggedAsSinglePrecision) {
    FakeClock clock;
    ReplayPlayer player(components_, clock);
    ASSERT_TRUE(player.InitPlayer("Lumentra.Main", 300));
    LogCapture log;
    // 1/6 of normal speed: 0.16666667 in single precision, rounded to three places.
    ASSERT_TRUE(player.StartPlaybackLocal(MakeGuid("{00000000-0000-0000-0000-000000000001}"), Guid{},
                                          At(2026, 1, 1), 1 / 6.0));
    EXPECT_TRUE(log.Contains("speed=0.167,"));
}

TEST_F(ReplayPlayerTest, InitAgainReleasesTheOldComponent) {
    FakeClock clock;
    ReplayPlayer player(components_, clock);
    ASSERT_TRUE(player.InitPlayer("Lumentra.Main", 300));
    EXPECT_FALSE(player.InitPlayer("Gone", 300));
    EXPECT_FALSE(player.HasComponent());
    ASSERT_TRUE(player.InitPlayer("Lumentra.Main", 1000));
    player.ReleasePlayer();
    EXPECT_FALSE(player.HasComponent());
}

}  // namespace
}  // namespace hv::test
