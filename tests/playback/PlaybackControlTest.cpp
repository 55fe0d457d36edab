#include <QDeadlineTimer>
#include <QThread>

#include "FakeClock.h"
#include "LogCapture.h"
#include "PlaybackTestSupport.h"
#include "game/GameInfo.h"
#include "platform/WindowMessages.h"
#include "playback/PlaybackControl.h"
#include "playback/ReplayPlayer.h"

namespace hv::test {
namespace {

const Guid kCamera1 = MakeGuid("{C1C1C1C1-0000-0000-0000-000000000001}");
const Guid kCamera2 = MakeGuid("{C2C2C2C2-0000-0000-0000-000000000002}");
const Guid kAudio = MakeGuid("{A0A0A0A0-0000-0000-0000-0000000000A0}");

// The message parameter of a play request: camera low, signed speed (sixths) high.
std::uintptr_t PlayParam(int camera, int speedSixths) {
    return static_cast<std::uintptr_t>(static_cast<std::uint16_t>(camera)) |
           (static_cast<std::uintptr_t>(static_cast<std::uint16_t>(speedSixths)) << 16);
}

constexpr std::int32_t kPreroll = 5;

// A game that started at 14:00 local time (UTC+1) with two cameras, and a player ready.
class PlaybackControlTest : public PlaybackFixture {
protected:
    void SetUp() override {
        PlaybackFixture::SetUp();
        clock_.offsetSeconds = 3600;
        clock_.SetUtc(2026, 3, 5, 13, 30);
        gameStart_ = At(2026, 3, 5, 13, 0, 0);
        model_.SetGameStartTime(gameStart_);
        const Guid cameras[] = {kCamera1, kCamera2, Guid{}};
        model_.SetCameras(3, cameras, kAudio);
        ASSERT_TRUE(player_.InitPlayer("Lumentra.Main", 300));
    }

    // Seconds from the year start (local) of a UTC time.
    std::intptr_t Offset(FileTime utc) const { return SecondsFromYearStart(utc, clock_); }
    static FileTime Seconds(std::int64_t s) { return static_cast<FileTime>(s * kFileTimeUnitsPerSecond); }

    void Play(int camera, int speedSixths, FileTime at) {
        control_.StartPlayback(PlayParam(camera, speedSixths), Offset(at), model_, kPreroll);
    }

    FakeClock clock_;
    CGameInfo model_{clock_};
    FileTime gameStart_ = 0;
    ReplayPlayer player_{components_, clock_};
    PlaybackControl control_{player_};
};

TEST_F(PlaybackControlTest, LabelRequestMovesOnlyTheNextStartBackByThePreroll) {
    const FileTime label = gameStart_ + Seconds(600);
    LogCapture log;
    control_.OnLabelRequested();
    Play(1, 6, label);
    EXPECT_EQ(control_.RequestedStart, label - Seconds(kPreroll));
    EXPECT_EQ(player_.Start(), label - Seconds(kPreroll));
    EXPECT_EQ(control_.RequestedCamera, 1);
    EXPECT_EQ(control_.RequestedSpeed, 1.0);
    EXPECT_FALSE(control_.LabelRequested);
    EXPECT_EQ(player_.State(), ReplayPlayer::kPlaying);
    EXPECT_EQ(log.Lines(),
              std::vector<std::string>{"Halvane::StartPlaybackLocal OK,  time=2026-03-05_14:09:55,  "
                                       "speed=1.000,  storage={C1C1C1C1-0000-0000-0000-000000000001}\n"});

    // The next request, without a label request, starts exactly at its time.
    const FileTime later = gameStart_ + Seconds(900);
    Play(2, 6, later);
    EXPECT_EQ(player_.Start(), later);
    EXPECT_EQ(player_.Camera(), kCamera2);
}

TEST_F(PlaybackControlTest, WrongCameraStopsAndKeepsTheLabelRequest) {
    const FileTime label = gameStart_ + Seconds(600);
    Play(1, 6, gameStart_ + Seconds(60));
    ASSERT_EQ(player_.State(), ReplayPlayer::kPlaying);

    control_.OnLabelRequested();
    // 0 is below the range, 4 beyond it, 3 has no identifier.
    for (int camera : {0, 4, 3, 65535}) {
        LogCapture log;
        Play(camera, 6, label);
        const std::string rejected = ">>> !!! Halvane::StartPlayback() : wrong camera number " +
                                     std::to_string(camera) + " (must be from 1 to 3) !!!\n";
        EXPECT_EQ(log.Lines(), (std::vector<std::string>{rejected, "Halvane::StopPlayback\n"}));
        EXPECT_EQ(player_.State(), ReplayPlayer::kStopped);
        EXPECT_TRUE(control_.LabelRequested);
        FileTime time = 0;
        EXPECT_FALSE(player_.ReadPlayTime(time)) << "the player was stopped";
    }

    Play(1, 6, label);
    EXPECT_EQ(player_.Start(), label - Seconds(kPreroll));
    EXPECT_FALSE(control_.LabelRequested);
}

TEST_F(PlaybackControlTest, NothingStartsBeforeTheGame) {
    Play(1, 6, gameStart_ - Seconds(60));
    EXPECT_EQ(player_.Start(), gameStart_);

    // Moved before the game start by the preroll.
    control_.OnLabelRequested();
    Play(2, 6, gameStart_ + Seconds(2));
    EXPECT_EQ(player_.Start(), gameStart_);
}

TEST_F(PlaybackControlTest, SameCameraNearByOnlyChangesTheSpeed) {
    const FileTime start = gameStart_ + Seconds(300);
    // Paused: the player stands at the start.
    Play(1, 0, start);
    ASSERT_EQ(player_.State(), ReplayPlayer::kPaused);

    LogCapture log;
    Play(1, 12, start + Seconds(1));
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"Halvane::ChangeSpeed(2.000)\n"});
    EXPECT_EQ(player_.State(), ReplayPlayer::kPlaying);
    EXPECT_EQ(player_.Speed(), 2.0);
    EXPECT_EQ(player_.Start(), start) << "a speed change keeps the start";

    log.Clear();
    Play(1, 0, start);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"Halvane::ChangeSpeed(0.000)\n"});
    EXPECT_EQ(player_.State(), ReplayPlayer::kPaused);
}

TEST_F(PlaybackControlTest, FarAwayOrOtherCameraStartsAgain) {
    const FileTime start = gameStart_ + Seconds(300);
    Play(1, 0, start);

    LogCapture log;
    Play(1, 6, start + Seconds(10));
    EXPECT_EQ(log.Count("Halvane::ChangeSpeed(1.000)\n"), 0u);
    EXPECT_EQ(player_.Start(), start + Seconds(10));

    Play(2, 0, start + Seconds(10));
    EXPECT_EQ(player_.Camera(), kCamera2);
    EXPECT_EQ(log.Lines().size(), 2u);
    EXPECT_TRUE(log.Lines()[1].starts_with("Halvane::StartPlaybackLocal OK,  "));
}

TEST_F(PlaybackControlTest, PausedPlaybackReportsItsStartAsPlayPosition) {
    EXPECT_EQ(model_.PlayPosition.load(), -1);
    control_.RefreshPlayPosition(model_);
    EXPECT_EQ(model_.PlayPosition.load(), -1) << "never started";

    const FileTime start = gameStart_ + Seconds(420);
    LogCapture log;
    Play(1, 0, start);
    EXPECT_TRUE(log.Contains("speed=0.000,"));
    EXPECT_EQ(player_.State(), ReplayPlayer::kPaused);
    control_.RefreshPlayPosition(model_);
    EXPECT_EQ(model_.PlayPosition.load(), Offset(start));

    player_.StopPlayback();
    model_.PlayPosition = 7;
    control_.RefreshPlayPosition(model_);
    EXPECT_EQ(model_.PlayPosition.load(), 7) << "stopped: left alone";
}

TEST_F(PlaybackControlTest, NegativeSpeedPlaysBackward) {
    const FileTime start = gameStart_ + Seconds(600);
    LogCapture log;
    Play(1, -6, start);
    EXPECT_EQ(control_.RequestedSpeed, -1.0);
    EXPECT_TRUE(log.Contains("speed=-1.000,"));
    EXPECT_EQ(player_.State(), ReplayPlayer::kPlaying);

    // The played time runs back from the start.
    FileTime played = start;
    QDeadlineTimer deadline(10000);
    while (played >= start && !deadline.hasExpired()) {
        QThread::msleep(5);
        ASSERT_TRUE(player_.ReadPlayTime(played));
    }
    EXPECT_LT(played, start);
    control_.RefreshPlayPosition(model_);
    EXPECT_LE(model_.PlayPosition.load(), Offset(start));
}

TEST_F(PlaybackControlTest, MessagesReachTheirHandlers) {
    EXPECT_TRUE(control_.HandleMessage(WindowMessageEvent(kMsgLabelRequested, 0, 0), model_, kPreroll));
    EXPECT_TRUE(control_.LabelRequested);
    const FileTime label = gameStart_ + Seconds(100);
    EXPECT_TRUE(control_.HandleMessage(WindowMessageEvent(kMsgPlayRequest, PlayParam(2, 3), Offset(label)),
                                       model_, kPreroll));
    EXPECT_EQ(player_.Start(), label - Seconds(kPreroll));
    EXPECT_EQ(control_.RequestedSpeed, 0.5);
    EXPECT_FALSE(control_.HandleMessage(WindowMessageEvent(kMsgCompanionMessages, 0, 0), model_, kPreroll));
}

}  // namespace
}  // namespace hv::test
