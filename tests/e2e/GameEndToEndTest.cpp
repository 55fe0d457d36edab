// The whole road of a game: the referee console stand-in plays a scripted game in a child
// process, the main frame's update cycle asks it for everything through the real message
// queue, and a Crestron controller on loopback reads the game, its periods and its labels.
// The recorder stand-in answers the same cycle's state and clock requests.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QSaveFile>
#include <QThread>

#include "CompanionProcess.h"
#include "FrameTestSupport.h"
#include "game/EventTypes.h"

namespace hv {
namespace {

using test::CompanionProcess;
using test::Controller;

// A full fetch walks eight event types, one update tick or more each.
constexpr int kFetchTimeoutMs = 180000;
constexpr int kAnswerTimeoutMs = 60000;

// The game, all times UTC (the tests' clock has no zone offset, so local is UTC too):
// three periods, a blue line before the first, goals with the score after them, penalties,
// a fight at the same moment as a penalty, a dangerous moment.
const char* kScript = R"({
  "now": "2022-01-20T12:50:00Z",
  "playAudioCam": 1,
  "cameras": ["{00000000-0000-0000-0000-000000000001}", "{00000000-0000-0000-0000-000000000002}",
              "{00000000-0000-0000-0000-000000000003}"],
  "periods": [
    {"start": "2022-01-20T11:05:00Z", "endScore": "1:0"},
    {"start": "2022-01-20T11:45:00Z", "endScore": "1:1"},
    {"start": "2022-01-20T12:25:00Z", "endScore": "2:1"}
  ],
  "events": [
    {"type": "Синяя линия", "period": 0, "time": "2022-01-20T11:02:00Z"},
    {"type": "Гол", "period": 1, "time": "2022-01-20T11:12:30Z", "score": "0:0", "nextScore": "1:0", "fromStart": "07:30"},
    {"type": "Удаление игрока", "period": 1, "time": "2022-01-20T11:20:10Z", "score": "1:0", "nextScore": "9:9",
     "fromStart": "15:10.4"},
    {"type": "Гол", "period": 2, "time": "2022-01-20T11:58:00Z", "score": "1:0", "nextScore": "1:1", "fromStart": "13:00"},
    {"type": "Опасный момент", "period": 2, "time": "2022-01-20T12:05:05Z", "score": "1:1", "fromStart": "20:05"},
    {"type": "Удаление игрока", "period": 3, "time": "2022-01-20T12:30:00Z", "score": "1:1", "fromStart": "05:00"},
    {"type": "Гол", "period": 3, "time": "2022-01-20T12:40:00Z", "score": "1:1", "nextScore": "2:1", "fromStart": "15:00"},
    {"type": "Драка", "period": 3, "time": "2022-01-20T12:30:00Z", "score": "1:1", "fromStart": "05:00"}
  ]
})";

// The game goes on: the goal of the second period is disallowed and the second penalty
// withdrawn, a goal is scored late in the third period, and overtime begins.
const char* kScriptLater = R"({
  "now": "2022-01-20T13:02:00Z",
  "playAudioCam": 1,
  "cameras": ["{00000000-0000-0000-0000-000000000001}", "{00000000-0000-0000-0000-000000000002}",
              "{00000000-0000-0000-0000-000000000003}"],
  "periods": [
    {"start": "2022-01-20T11:05:00Z", "endScore": "1:0"},
    {"start": "2022-01-20T11:45:00Z", "endScore": "1:0"},
    {"start": "2022-01-20T12:25:00Z", "endScore": "3:1"},
    {"start": "2022-01-20T13:00:00Z", "endScore": "3:1"}
  ],
  "events": [
    {"type": "Синяя линия", "period": 0, "time": "2022-01-20T11:02:00Z"},
    {"type": "Гол", "period": 1, "time": "2022-01-20T11:12:30Z", "score": "0:0", "nextScore": "1:0", "fromStart": "07:30"},
    {"type": "Удаление игрока", "period": 1, "time": "2022-01-20T11:20:10Z", "score": "1:0", "nextScore": "9:9",
     "fromStart": "15:10.4"},
    {"type": "Опасный момент", "period": 2, "time": "2022-01-20T12:05:05Z", "score": "1:1", "fromStart": "20:05"},
    {"type": "Гол", "period": 3, "time": "2022-01-20T12:40:00Z", "score": "1:1", "nextScore": "2:1", "fromStart": "15:00"},
    {"type": "Драка", "period": 3, "time": "2022-01-20T12:30:00Z", "score": "1:1", "fromStart": "05:00"},
    {"type": "Гол", "period": 3, "time": "2022-01-20T12:45:00Z", "score": "2:1", "nextScore": "3:1", "fromStart": "20:00"}
  ]
})";

// What the controller reads. The game started 2022-01-20 11:00; Crestron's seconds count
// from 2022-01-01 00:00 (2022-01-20 00:00 is 1,641,600).
const std::string kGame = "C0201202201201100";
const std::string kGameList = "M01010001202201201100030201\n";
// Header, periods 1-3 and the game record (scores, kind), four groups, then label counts
// per group: all, periods 1-3, before the first period.
const std::string kGameInfo =
    "M020100202201201100040201" "01000" "01010" "02010" "00003" "04"
    "004003002004" "001001000001" "000001001001" "002001000001" "001000001001" "\n";
// Header (period, kind, end score, count), then each label by time: code, number, score,
// game clock.
const std::string kPeriodInfo[] = {
    "M030100202201201100010010003" "4300101002000" "2100101000730" "1200101001510" "\n",
    "M030100202201201100020010103" "4300201012000" "2100201011300" "3200101012005" "\n",
    "M030100202201201100030020104" "4300302012000" "1100101010500" "1200201010500" "2100302011500" "\n",
    // Beyond the last period: the game record with the labels before the first period.
    "M030100202201201100043000003" "4100100000000" "3300100000000" "1400100000000" "\n",
};
const struct {
    int code;
    int number;
    std::int32_t seconds;
} kLabels[] = {
    {21, 1, 1681950}, {21, 2, 1684680}, {21, 3, 1687200}, {12, 1, 1682410}, {12, 2, 1686600},
    {11, 1, 1686600}, {14, 1, 1681320}, {32, 1, 1685105}, {43, 2, 1683900}, {41, 1, 1681200},
    {33, 1, 1681200},
};

const std::string kGameListLater = "M01010001202201201100040301\n";
const std::string kGameInfoLater =
    "M020100202201201100050301" "01000" "01000" "03010" "03011" "00003" "04"
    "003003002005" "001001000001" "000000001001" "001002000001" "000000000001" "001000001001" "\n";
const std::string kPeriodInfoLater[] = {
    "M030100202201201100010010003" "4300101002000" "2100101000730" "1200101001510" "\n",
    "M030100202201201100020010002" "4300201002000" "3200101012005" "\n",
    "M030100202201201100030030104" "4300303012000" "1100101010500" "2100202011500" "2100303012000" "\n",
    "M030100202201201100041030101" "4300403010500" "\n",
};

std::string C0301(int period) {
    char text[32];
    std::snprintf(text, sizeof text, "C0301202201201100%02d", period);
    return text;
}

std::string C0401(int code, int number) {
    char text[32];
    std::snprintf(text, sizeof text, "C0401202201201100%02d%03d", code, number);
    return text;
}

std::string M0401(int code, int number, std::int32_t seconds) {
    char text[48];
    std::snprintf(text, sizeof text, "M0401202201201100%02d%03d%08d\n", code, number, seconds);
    return text;
}

Guid Camera(int n) {
    Guid id;
    Guid::Parse(QString::asprintf("{00000000-0000-0000-0000-%012d}", n), id);
    return id;
}

// Runs the event loop until `condition` holds or the time is up, leaving the processor to
// the companions between rounds.
bool Await(const std::function<bool()>& condition, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

FileTime RealUtcNow() {
    return static_cast<FileTime>(116'444'736'000'000'000LL + QDateTime::currentMSecsSinceEpoch() * 10'000LL);
}

class GameEndToEndTest : public test::FrameFixture {
protected:
    void SetUp() override {
        FrameFixture::SetUp();
        // A loaded computer may be slow to take a message.
        scopedEnv.Set("ZANDREL_QUEUE_SEND_TIMEOUT_MS", "20000");
        scopedEnv.Set("ZANDREL_QUEUE_LOCAL_TIMEOUT_MS", "20000");
        scriptPath = root.filePath("game.json");
        WriteScript(kScript);
    }

    void TearDown() override {
        FrameFixture::TearDown();
        console.Kill();
        recorder.Kill();
    }

    void WriteScript(const char* script) {
        QSaveFile file(scriptPath);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(script);
        ASSERT_TRUE(file.commit());
    }

    void StartConsole() {
        ASSERT_TRUE(console.Start("Tamberlo", {"-openlast", "-script", scriptPath}, root.filePath("tamberlo")));
        ASSERT_TRUE(console.WaitForLine("ready")) << console.Errors().toStdString();
    }

    // The frame, with command execution started as the Advanced/Start command does, for a
    // game that started at 11:00.
    CMainFrame& StartExecution() {
        CMainFrame& f = MakeFrame();
        f.GameStartLocal = CalendarTime{2022, 1, 20, 11, 0, 0, 0};
        f.AdvancedStart();
        return f;
    }

    // Asks until the answer is `expected`; the last answer.
    static std::string AskUntil(Controller& controller, const std::string& command, const std::string& expected,
                                int timeoutMs = kFetchTimeoutMs) {
        std::string answer;
        Await(
            [&] {
                answer = controller.Ask(command);
                if (answer == expected) return true;
                Await([] { return false; }, 100);
                return false;
            },
            timeoutMs);
        return answer;
    }

    void ExpectGame(Controller& controller) {
        EXPECT_EQ(controller.Ask("C01010000"), kGameList);
        for (int period = 1; period <= 4; ++period)
            EXPECT_EQ(controller.Ask(C0301(period)), kPeriodInfo[period - 1]) << "period " << period;
        // Any period beyond the last gets the game record too, under the number asked for.
        EXPECT_EQ(controller.Ask(C0301(7)),
                  "M030100202201201100073000003" "4100100000000" "3300100000000" "1400100000000" "\n");
        for (const auto& label : kLabels)
            EXPECT_EQ(controller.Ask(C0401(label.code, label.number)), M0401(label.code, label.number, label.seconds));
    }

    // Drives the update cycle from here, tick by tick, until `done` holds: the next tick
    // comes as soon as the console's answers have ended the fetch of a type, or two seconds
    // after the last one.
    static bool DriveUntil(CMainFrame& f, const std::function<bool()>& done) {
        f.KillTimer(CMainFrame::kGameTimerId);
        QDeadlineTimer deadline(kFetchTimeoutMs);
        while (!done()) {
            if (deadline.hasExpired()) return false;
            f.UpdateTheGame();
            Await([&] { return f.Link.RequestCountdown <= 0; }, 2000);
        }
        return true;
    }

    QString scriptPath;
    CompanionProcess console;
    CompanionProcess recorder;
};

TEST_F(GameEndToEndTest, TheUpdateTimerFillsTheGameFromTheConsoleAndTheControllerReadsIt) {
    StartConsole();
    // The recorder's clock runs 2 s ahead of the computer's.
    ASSERT_TRUE(recorder.Start("Vortamo", {"#1"}, root.filePath("vortamo"), {"VORTAMO_CLOCK_SKEW_MS=2000"}));
    ASSERT_TRUE(recorder.WaitForLine("ready")) << recorder.Errors().toStdString();
    clock.now = RealUtcNow();
    const qint64 startMs = QDateTime::currentMSecsSinceEpoch();

    CMainFrame& f = StartExecution();
    ASSERT_TRUE(f.HasTimer(CMainFrame::kGameTimerId));
    Controller controller(PortNumber());
    ASSERT_TRUE(controller.Connected());

    // Only the one-second timer drives the requests here.
    EXPECT_EQ(AskUntil(controller, kGame, kGameInfo), kGameInfo) << console.Errors().toStdString();
    ExpectGame(controller);
    EXPECT_TRUE(boxes.shown.empty()) << "every event type is configured";
    EXPECT_EQ(f.Game.GetSnapshot().LastGameTime, test::At(2022, 1, 20, 12, 50));
    ASSERT_EQ(f.Game.GetCameraCount(), 3);
    Guid camera;
    EXPECT_TRUE(f.Game.GetCamera(2, camera));
    EXPECT_EQ(camera, Camera(3));
    f.Game.GetAudioCamera(camera);
    EXPECT_EQ(camera, Camera(2));
    EXPECT_EQ(f.Link.CurrentPeriod, 2);

    // The same passes ask the recorder for its state and its clock.
    ASSERT_TRUE(Await([&] { return f.Link.VortamoState == 1; }, kAnswerTimeoutMs));
    const qint64 elapsedMs = QDateTime::currentMSecsSinceEpoch() - startMs;
    // 2 s ahead of a healthy recorder, and however long the answer took.
    EXPECT_GE(f.Link.VortamoClockOffset, 2000 - 1);
    EXPECT_LE(f.Link.VortamoClockOffset, 2000 + elapsedMs + 1);

    ASSERT_TRUE(f.Link.SendToVortamo("StartRecord 1111111111111111 0 \\2022-01-20\\11-00\\"));
    EXPECT_TRUE(Await([&] { return f.Link.VortamoState == 2; }, kAnswerTimeoutMs));
    ASSERT_TRUE(f.Link.SendToVortamo("StopRecord"));
    EXPECT_TRUE(Await([&] { return f.Link.VortamoState == 1; }, kAnswerTimeoutMs));

    // Both companions end on Halvane's "Exit".
    ASSERT_TRUE(f.Link.SendToKestrilo("Exit"));
    ASSERT_TRUE(f.Link.SendToVortamo("Exit"));
    EXPECT_EQ(console.WaitForExit(), 0);
    EXPECT_EQ(recorder.WaitForExit(), 0);
    EXPECT_FALSE(f.Link.IsKestriloRunning(&f));
    EXPECT_FALSE(f.Link.IsVortamoRunning(&f));
}

TEST_F(GameEndToEndTest, LaterChangesOfTheGameReachTheController) {
    StartConsole();
    clock.now = RealUtcNow();
    CMainFrame& f = StartExecution();
    Controller controller(PortNumber());
    ASSERT_TRUE(controller.Connected());
    std::string gameInfo;
    auto driveUntil = [&](const std::string& expected) {
        DriveUntil(f, [&] {
            gameInfo = controller.Ask(kGame);
            return gameInfo == expected;
        });
    };

    driveUntil(kGameInfo);
    ASSERT_EQ(gameInfo, kGameInfo) << console.Errors().toStdString();
    ExpectGame(controller);

    WriteScript(kScriptLater);
    driveUntil(kGameInfoLater);
    ASSERT_EQ(gameInfo, kGameInfoLater) << console.Errors().toStdString();
    EXPECT_EQ(controller.Ask("C01010000"), kGameListLater);
    for (int period = 1; period <= 4; ++period)
        EXPECT_EQ(controller.Ask(C0301(period)), kPeriodInfoLater[period - 1]) << "period " << period;
    EXPECT_EQ(controller.Ask(C0401(21, 2)), M0401(21, 2, 1687200));
    EXPECT_EQ(controller.Ask(C0401(21, 3)), M0401(21, 3, 1687500));
    EXPECT_EQ(controller.Ask(C0401(43, 4)), M0401(43, 4, 1688400));
    Label withdrawn;
    EXPECT_FALSE(f.Game.FindLabel(kEventPenalty, 2, withdrawn)) << "the withdrawn penalty is gone";
    EXPECT_EQ(f.Game.GetSnapshot().LastGameTime, test::At(2022, 1, 20, 13, 2));
    EXPECT_EQ(f.Link.CurrentPeriod, 3);
}

TEST_F(GameEndToEndTest, AConsoleWithoutSomeEventNamesIsReportedAndTheFetchGoesOn) {
    // The console names the goal with more text after it (still the goal) and has no name
    // for penalty shots.
    WriteScript(R"({
      "now": "2022-01-20T11:30:00Z",
      "eventTypes": ["Драка", "Удаление игрока", "Выход на лёд игрока", "Синяя линия", "Гол команды",
                     "Интересный момент", "Опасный момент"],
      "periods": [{"start": "2022-01-20T11:05:00Z", "endScore": "1:0"}],
      "events": [{"type": "Гол", "period": 1, "time": "2022-01-20T11:12:30Z", "nextScore": "1:0",
                  "fromStart": "07:30"}]
    })");
    StartConsole();
    CMainFrame& f = StartExecution();
    Controller controller(PortNumber());
    ASSERT_TRUE(controller.Connected());
    // (A label that is not there yet gets no answer at all: the model is watched instead.)
    Label goal;
    ASSERT_TRUE(DriveUntil(f, [&] { return f.Game.FindLabel(kEventGoal, 1, goal); })) << console.Errors().toStdString();
    EXPECT_EQ(controller.Ask(C0401(21, 1)), M0401(21, 1, 1681950));
    ASSERT_EQ(boxes.shown.size(), 1U) << "the event types are asked for once";
    EXPECT_EQ(boxes.shown[0], QString::fromUtf8("Follow event names not configured: Булит !!!\r\n"
                                                 "Add names by Pavrelle (Tamberlo.exe) and start again."));
    EXPECT_EQ(boxes.icons[0], BoxIcon::Warning);
}

}  // namespace
}  // namespace hv
