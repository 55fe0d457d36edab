// "Start archived game" against the referee console stand-in run as a real process: the
// game restored as the console reports it, with its start at the start of period 1, and
// each way the workflow gives up. The frame's one-second update runs on the test's clock
// (one update per 1000 ms of it), so the console is asked exactly as often as in a real
// run of the same length.
#include <gtest/gtest.h>
#include <signal.h>

#include <QDir>
#include <QFile>
#include <QThread>
#include <algorithm>

#include "WorkflowTestSupport.h"
#include "language/Language.h"
#include "platform/ProcessLauncher.h"

namespace hv {
namespace {

using test::WaitUntil;

// A game as the console keeps it after the night: three periods with their start times,
// one goal.
constexpr char kArchivedGame[] = R"({
  "now": "2022-01-20T16:10:00Z",
  "cameras": ["{6F1A0C01-0000-4000-8000-000000000001}", "{6F1A0C01-0000-4000-8000-000000000002}"],
  "periods": [{"start": "2022-01-20T13:46:30Z", "endScore": "1:0"},
              {"start": "2022-01-20T14:20:00Z", "endScore": "1:1"},
              {"start": "2022-01-20T14:55:00Z", "endScore": "2:1"}],
  "events": [{"type": "Гол", "period": 1, "time": "2022-01-20T13:50:00Z", "score": "0:0",
              "nextScore": "1:0", "fromStart": "03:30"}]
})";

// Period 1's start, 13:46:30 UTC, seen from a time zone one hour east.
const CalendarTime kFirstPeriodLocal{2022, 1, 20, 14, 46, 30, 0};

const std::string kMenuLine = "Halvane::Menu File->Start archived game.\n";
const std::string kSucceededLine = "Halvane::OnFileOldStart SUCCEEDED.\n";
const std::string kSilentLine = "Halvane::OnFileOldStart ERROR - no answer from Kestrilo!\n";
const std::string kNoPeriodsLine = "Halvane::OnFileOldStart ERROR - no periods info!\n";

class StartArchivedGameTest : public test::WorkflowFixture {
protected:
    void SetUp() override {
        WorkflowFixture::SetUp();
        UseInstalledSuite();
        QString rec1, rec2;
        UseArchiveFolders(rec1, rec2, archive);
        const QString script = root.filePath("archived-game.json");
        QFile file(script);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(kArchivedGame);
        file.close();
        scopedEnv.Set("TAMBERLO_SCRIPT", script.toLocal8Bit());
        // The restore runs the next morning.
        clock.SetUtc(2022, 1, 21, 9, 0, 0);
        clock.offsetSeconds = 3600;
    }

    void TearDown() override {
        EndConsoles();
        WorkflowFixture::TearDown();
    }

    // The frame, with its one-second update taken over by the test's clock.
    CMainFrame& MakeArchiveFrame() {
        CMainFrame& f = MakeFrame();
        f.KillTimer(CMainFrame::kGameTimerId);
        return f;
    }

    bool ConsoleRunning() { return frame->Link.IsKestriloRunning(frame.get()); }

    // Probes now and then, not in a busy loop: a console that finds its name held by a
    // probe tries again only for a while.
    bool WaitForConsole(bool running) {
        return WaitUntil(
            [&] {
                QThread::msleep(50);
                return ConsoleRunning() == running;
            },
            10000);
    }

    // Runs the workflow. The frame's update runs once per second of the test's clock from
    // `updatesFromMs` after the start on. Once the workflow has started the console, the
    // test's clock stands still until the process holds its queue: how long a program
    // takes to start is no part of what is tested here. Both waits run to their ends in
    // about 623 ticks.
    WorkflowRun Run(int maxTicks = 700, std::uint32_t updatesFromMs = 1000) {
        std::uint32_t nextUpdate = clock.tick + updatesFromMs;
        bool waitedForConsole = false;
        return RunWorkflow(kStartArchivedGame, maxTicks, 10, [&](CShowProgress& dialog) {
            if (dialog.Step >= 200 && !waitedForConsole) {
                waitedForConsole = true;
                EXPECT_TRUE(WaitForConsole(true)) << "the console never held its queue";
            }
            if (TickDiffMs(clock.tick, nextUpdate) >= 0) {
                nextUpdate += CMainFrame::kGameTimerPeriodMs;
                frame->UpdateTheGame();
            }
        });
    }

    // The step texts as the dialog traced them, in order.
    std::vector<std::string> StepTexts(const std::vector<std::string>& known) const {
        std::vector<std::string> texts;
        for (const std::string& line : log.Lines())
            for (const std::string& text : known)
                if (line == text + "\n") texts.push_back(text);
        return texts;
    }

    // Ends every console the test or the frame started: "Exit", and a kill for one that
    // does not go.
    void EndConsoles() {
        if (!frame) return;
        std::vector<pid_t> consoles = frame->Companions.Launcher().DetachedChildren();
        if (ownConsole_ > 0) consoles.push_back(ownConsole_);
        frame->Link.SendToKestrilo(QStringLiteral("Exit"));
        for (const pid_t pid : consoles) {
            if (WaitUntil([&] { return ProcessLauncher::ChildEnded(pid); }, 5000)) continue;
            ::kill(pid, SIGKILL);
            WaitUntil([&] { return ProcessLauncher::ChildEnded(pid); }, 5000);
        }
        ownConsole_ = 0;
    }

    // The console, started by the test rather than by the workflow.
    void StartOwnConsole() {
        ownConsole_ = launcher_.StartChild(frame->Settings.TamberloExePath, {QStringLiteral("-openlast")});
        ASSERT_GT(ownConsole_, 0);
        ASSERT_TRUE(WaitForConsole(true));
    }

    static std::string Text(const QString& text) { return text.toStdString(); }
    static std::string Text(unsigned id) { return LoadStringOrMark(id).toStdString(); }
    std::string ReadArchiveFile(const char* name) const {
        QFile file(archive + "/" + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    }

    QString archive;
    pid_t ownConsole_ = 0;
    ProcessLauncher launcher_;
};

TEST_F(StartArchivedGameTest, RestoresTheConsolesLastGameWithItsStartAtTheFirstPeriod) {
    CMainFrame& f = MakeArchiveFrame();
    // What the frame held before: another game's start, which the restore replaces.
    {
        std::lock_guard lock(f.FrameLock);
        f.GameStartLocal = {2021, 12, 31, 20, 0, 0, 0};
    }
    f.GameFolder = "2021-12-31\\20-00\\";
    ASSERT_FALSE(ConsoleRunning());

    const WorkflowRun run = Run();

    ASSERT_TRUE(run.ended);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(Text(boxes.shown[0]), "Game info was restored successfully.");
    EXPECT_EQ(boxes.icons[0], BoxIcon::Information);
    EXPECT_EQ(StepTexts({"Init & check files", "Run Kestrilo", "Wait Kestrilo start", "Wait Period's Info",
                         "Save info for video archive server", "..."}),
              (std::vector<std::string>{"Init & check files", "Run Kestrilo", "Wait Kestrilo start",
                                        "Wait Period's Info", "Save info for video archive server", "..."}));
    // Every progress position is one the phases and their waits give, in order, ending at
    // 100 (how many checks each wait took depends on the console's speed).
    std::vector<int> positions{1, 2, 32, 99, 100};
    for (int s = 201; s <= 210; ++s) positions.push_back(3 * s - 598);
    for (int s = 301; s <= 320; ++s) positions.push_back(3 * s - 865);
    for (const int p : run.progress)
        EXPECT_NE(std::find(positions.begin(), positions.end(), p), positions.end()) << p;
    ASSERT_GE(run.progress.size(), 5u);
    EXPECT_EQ(std::vector<int>(run.progress.begin(), run.progress.begin() + 2), (std::vector<int>{1, 2}));
    EXPECT_NE(std::find(run.progress.begin(), run.progress.end(), 32), run.progress.end());
    EXPECT_TRUE(std::is_sorted(run.progress.begin(), run.progress.end()));
    EXPECT_EQ(std::vector<int>(run.progress.end() - 2, run.progress.end()), (std::vector<int>{99, 100}));

    // The log, in order.
    const std::string text = log.Text();
    const auto menu = text.find(kMenuLine);
    const auto stop = text.find("Halvane::StopPlayback\n");
    const auto done = text.find(kSucceededLine);
    ASSERT_NE(menu, std::string::npos);
    ASSERT_NE(stop, std::string::npos);
    ASSERT_NE(done, std::string::npos);
    EXPECT_LT(menu, stop);
    EXPECT_LT(stop, done);
    EXPECT_FALSE(log.Contains("Halvane::OnFileOldStart ERROR")) << text;

    // The game as the console reported it, starting where period 1 started.
    const GameState game = f.Game.GetSnapshot();
    EXPECT_EQ(game.GameStart, test::At(2022, 1, 20, 13, 46, 30));
    EXPECT_EQ(game.PeriodCount, 4);
    {
        std::lock_guard lock(f.FrameLock);
        EXPECT_EQ(f.GameStartLocal, kFirstPeriodLocal);
    }
    EXPECT_EQ(f.GameFolder, "2021-12-31\\20-00\\") << "the game's folder is left as it was";
    EXPECT_EQ(ReadArchiveFile("refresh.csv"), "2022-01-20-14-46; 2022-01-21-10-00-00\r\n");
    EXPECT_TRUE(f.ExecutionEnabled);
    EXPECT_TRUE(f.Link.PollingEnabled);
    EXPECT_TRUE(ConsoleRunning());

    // Crestron is shown the start of period 1 (14:46 local), not the time of the restore.
    test::Controller controller(PortNumber());
    ASSERT_TRUE(controller.Connected());
    EXPECT_EQ(controller.Ask("C0101ABCD"), "M01010001202201201446030201\n");
}

TEST_F(StartArchivedGameTest, ARunningConsoleIsKeptButMustSpeakAgainAfterTheReset) {
    CMainFrame& f = MakeArchiveFrame();
    StartOwnConsole();
    // The console has already told this frame about its game.
    f.ExecutionEnabled = true;
    f.Link.PollingEnabled = true;
    f.UpdateTheGame();
    ASSERT_TRUE(WaitUntil([&] { return f.Link.KestriloSpoken && f.Link.CurrentPeriod >= 0; }));
    log.Clear();

    // The frame asks the console nothing during the first five seconds. Each tick gets
    // 20 ms of real time, so that all of the console's answers to one request arrive
    // within the second before the periods are checked.
    bool spokenAfterReset = true;
    const WorkflowRun run = RunWorkflow(kStartArchivedGame, 700, 20, [&, next = clock.tick + 5000](CShowProgress& dialog) mutable {
        if (dialog.Step == 100) spokenAfterReset = f.Link.KestriloSpoken || f.Link.CurrentPeriod >= 0;
        if (TickDiffMs(clock.tick, next) >= 0) {
            next += CMainFrame::kGameTimerPeriodMs;
            f.UpdateTheGame();
        }
    });

    ASSERT_TRUE(run.ended);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(Text(boxes.shown[0]), "Game info was restored successfully.");
    EXPECT_FALSE(spokenAfterReset) << "the reset forgets what the console said before";
    EXPECT_FALSE(log.Contains("Run Kestrilo\n"));
    EXPECT_FALSE(log.Contains("LaunchAsUser")) << "no second console was started";
    EXPECT_TRUE(f.Companions.Launcher().DetachedChildren().empty());
    EXPECT_FALSE(ProcessLauncher::ChildEnded(ownConsole_)) << "the running console was left alone";
    // It waited for the console's first message after the reset, checking every 2 s.
    EXPECT_NE(std::find(run.steps.begin(), run.steps.end(), 201), run.steps.end());
    EXPECT_EQ(std::find(run.steps.begin(), run.steps.end(), 300 + 1), run.steps.end());
    // The periods came with that message: at the first check of their wait the game is
    // restored, and the next tick shows the final message.
    ASSERT_GE(run.steps.size(), 3u);
    EXPECT_EQ(std::vector<std::int32_t>(run.steps.end() - 3, run.steps.end()), (std::vector<std::int32_t>{300, 900, 900}));
    const auto firstFinish = std::find(run.steps.begin(), run.steps.end(), 900);
    EXPECT_EQ(run.steps.end() - firstFinish, 2) << "one tick after the periods, the final message";
    EXPECT_EQ(f.Game.GetSnapshot().GameStart, test::At(2022, 1, 20, 13, 46, 30));
}

// Each way the workflow gives up: the message, its log line, how far it came and what it
// leaves behind.
TEST_F(StartArchivedGameTest, FailuresShowTheirMessageAndLogLine) {
    struct Case {
        const char* name;
        const char* misbehave;  // the console's; null: no archive root configured
        std::string box;
        std::string logLine;    // empty: none
        std::int32_t lastStep;
        int lastProgress;
    };
    const Case cases[] = {
        {"no archive root", nullptr,
         "Video archive root folder was not specified!\n\nChoose root folder and try again.", "", 0, 0},
        {"console silent", "silent", "No answer from Kestrilo application!\n\nCheck the application and click OK to continue.",
         kSilentLine, 210, 32},
        {"no periods", "no-periods", "There is no periods!", kNoPeriodsLine, 320, 95},
        // Periods without a start time are no game start: the game is not restored as
        // one that started in 1601.
        {"periods without a start", "no-period-start", "There is no periods!", kNoPeriodsLine, 320, 95},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.misbehave != nullptr) scopedEnv.Set("TAMBERLO_MISBEHAVE", c.misbehave);
        Store("CopyToPath", c.misbehave != nullptr ? archive : QString());
        boxes.shown.clear();
        boxes.icons.clear();
        log.Clear();
        CMainFrame& f = MakeArchiveFrame();
        f.Link.KestriloSpoken = true;  // from an earlier game: forgotten by the reset

        const WorkflowRun run = Run();

        ASSERT_TRUE(run.ended);
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(Text(boxes.shown[0]), c.box);
        EXPECT_EQ(boxes.icons[0], BoxIcon::Error);
        EXPECT_EQ(run.steps.back(), c.lastStep);
        EXPECT_EQ(run.progress.back(), c.lastProgress);
        EXPECT_FALSE(log.Contains(kSucceededLine));
        EXPECT_FALSE(QFile::exists(archive + "/refresh.csv"));
        EXPECT_EQ(f.Game.GetSnapshot().GameStart, 0u);
        {
            std::lock_guard lock(f.FrameLock);
            EXPECT_EQ(f.GameStartLocal, CalendarTime{});
        }
        if (c.misbehave == nullptr) {
            EXPECT_EQ(run.ticks, 1);
            EXPECT_FALSE(log.Contains(kMenuLine));
            EXPECT_FALSE(f.ExecutionEnabled);
            EXPECT_TRUE(f.Link.KestriloSpoken) << "nothing was reset";
            EXPECT_FALSE(ConsoleRunning());
        } else {
            EXPECT_EQ(log.Count(c.logLine), 1u);
            EXPECT_TRUE(log.Contains(kMenuLine));
            // What was done stays: flags set, the console running.
            EXPECT_TRUE(f.ExecutionEnabled);
            EXPECT_TRUE(f.Link.PollingEnabled);
            EXPECT_TRUE(ConsoleRunning());
            // Every wait ran to its end: 11 checks for the console, 21 for the periods.
            const std::int32_t firstCheck = c.lastStep == 210 ? 200 : 300;
            for (std::int32_t s = firstCheck + 1; s <= c.lastStep; ++s)
                EXPECT_NE(std::find(run.steps.begin(), run.steps.end(), s), run.steps.end()) << s;
            const std::vector<int> tail(run.progress.end() - 3, run.progress.end());
            EXPECT_EQ(tail, c.lastStep == 210 ? (std::vector<int>{26, 29, 32}) : (std::vector<int>{89, 92, 95}));
        }
        if (std::string(c.name) == "periods without a start") {
            EXPECT_GE(f.Link.CurrentPeriod, 0) << "the console did report its periods";
        }
        EndConsoles();
        frame.reset();
        scopedEnv.Unset("TAMBERLO_MISBEHAVE");
    }
}

// Restores that meet an obstacle on the way and still bring the game back: the console's
// periods first come without start times (a game clock started a little later), or the
// archive's "refresh.csv" cannot be written (a warning, and the game is restored anyway).
TEST_F(StartArchivedGameTest, RestoresPastAStartComingLateOrAnUnwritableGameDescription) {
    enum class Obstacle { LateStart, RootIsAFile, DescriptionIsAFolder };
    struct Case {
        const char* name;
        Obstacle obstacle;
        unsigned warning;  // 0: none
    };
    const Case cases[] = {
        {"start times only from the fourth period answer", Obstacle::LateStart, 0},
        {"archive root is a file", Obstacle::RootIsAFile, 541},
        {"refresh.csv is a folder", Obstacle::DescriptionIsAFolder, 542},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        boxes.shown.clear();
        boxes.icons.clear();
        log.Clear();
        QString root = archive;
        if (c.obstacle == Obstacle::LateStart) {
            scopedEnv.Set("TAMBERLO_MISBEHAVE", "no-period-start");
            scopedEnv.Set("TAMBERLO_NO_PERIOD_START_ANSWERS", "3");
        } else if (c.obstacle == Obstacle::RootIsAFile) {
            root = archive + "/not-a-folder";
            QFile file(root);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        } else {
            ASSERT_TRUE(QDir().mkpath(archive + "/refresh.csv/kept"));
        }
        Store("CopyToPath", root);
        CMainFrame& f = MakeArchiveFrame();

        const WorkflowRun run = Run();

        ASSERT_TRUE(run.ended);
        // The warning names the file that could not be written, then the game is restored.
        ASSERT_EQ(boxes.shown.size(), c.warning != 0 ? 2u : 1u);
        if (c.warning != 0) {
            const std::string warning = Text(boxes.shown[0]);
            const std::string firstLine = Text(c.warning).substr(0, Text(c.warning).find('\n'));
            EXPECT_EQ(warning.rfind(firstLine, 0), 0u) << warning;
            EXPECT_NE(warning.find("refresh.tmp"), std::string::npos) << warning;
            EXPECT_EQ(boxes.icons[0], BoxIcon::Warning);
        }
        EXPECT_EQ(Text(boxes.shown.back()), "Game info was restored successfully.");
        EXPECT_EQ(boxes.icons.back(), BoxIcon::Information);
        EXPECT_EQ(log.Count(kSucceededLine), 1u);
        EXPECT_EQ(run.steps.back(), 900);
        EXPECT_EQ(run.progress.back(), 100);
        EXPECT_EQ(f.Game.GetSnapshot().GameStart, test::At(2022, 1, 20, 13, 46, 30));
        {
            std::lock_guard lock(f.FrameLock);
            EXPECT_EQ(f.GameStartLocal, kFirstPeriodLocal);
        }
        if (c.obstacle == Obstacle::LateStart) {
            // The periods without a start were waited past, not taken as the game's start.
            EXPECT_TRUE(log.Contains("Halvane::OnFileOldStart - the first period has no start yet, waiting\n"));
            EXPECT_NE(std::find(run.steps.begin(), run.steps.end(), 301), run.steps.end());
            EXPECT_EQ(ReadArchiveFile("refresh.csv"), "2022-01-20-14-46; 2022-01-21-10-00-00\r\n");
        }
        EndConsoles();
        frame.reset();
        scopedEnv.Unset("TAMBERLO_MISBEHAVE");
        scopedEnv.Unset("TAMBERLO_NO_PERIOD_START_ANSWERS");
        QFile::remove(archive + "/refresh.csv");
    }
}

// A first period whose start has no local time (here: half an hour into 1601, seen from a
// time zone an hour west) gives no game start; the game is not restored as one named
// "0000-00-00-00-00".
TEST_F(StartArchivedGameTest, AFirstPeriodStartWithoutLocalTimeIsNoGameStart) {
    const QString script = root.filePath("early-game.json");
    QFile file(script);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(R"({"now": "1601-01-01T02:00:00Z",
                   "cameras": ["{6F1A0C01-0000-4000-8000-000000000001}"],
                   "periods": [{"start": "1601-01-01T00:30:00Z", "endScore": "0:0"}]})");
    file.close();
    scopedEnv.Set("TAMBERLO_SCRIPT", script.toLocal8Bit());
    clock.offsetSeconds = -3600;
    CMainFrame& f = MakeArchiveFrame();

    const WorkflowRun run = Run();

    ASSERT_TRUE(run.ended);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(Text(boxes.shown[0]), "There is no periods!");
    EXPECT_EQ(log.Count(kNoPeriodsLine), 1u);
    EXPECT_TRUE(log.Contains("Halvane::OnFileOldStart - the first period's start has no local time, waiting\n"));
    EXPECT_EQ(run.steps.back(), 320);
    EXPECT_GE(f.Link.CurrentPeriod, 0) << "the console did report its periods";
    EXPECT_NE(f.Game.GetSnapshot().Periods[1].Start, 0u) << "with a start";
    EXPECT_EQ(f.Game.GetSnapshot().GameStart, 0u);
    {
        std::lock_guard lock(f.FrameLock);
        EXPECT_EQ(f.GameStartLocal, CalendarTime{});
    }
    EXPECT_FALSE(QFile::exists(archive + "/refresh.csv"));
}

}  // namespace
}  // namespace hv
