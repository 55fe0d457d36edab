// "Archive the game" against the suite's programs running as real processes, tick by tick
// with the test's clock: the companions closed (or warned about), the storage manager run
// for as long as it takes, and the score board, game and player set up for the next game.
// Last, a whole game end: a game the recorder really recorded is stopped, its recordings
// copied to the archive by the frame's copy worker, and archived.
#include <gtest/gtest.h>

#include <QDirIterator>
#include <QFileInfo>
#include <QSysInfo>
#include <set>

#include "GameNightSupport.h"
#include "language/Language.h"

namespace hv {
namespace {

using test::CompanionProcess;

const std::set<QString> kArchiveTexts = {
    QStringLiteral("Stop all applications"), QStringLiteral("Exit Vortamo"),      QStringLiteral("wait Dravenor exit"),
    QStringLiteral("Wait Kestrilo exit"),    QStringLiteral("Wait Vortamo exit"), QStringLiteral("Wait Ostrimund exit"),
    QStringLiteral("..."),
};

class ArchiveGameTest : public test::GameNightFixture {
protected:
    // A game in full swing: a split under way, the model and the companion state filled.
    void FillGame(CMainFrame& f) {
        f.SetTimer(CMainFrame::kSplitTimerId, 600000);
        f.SplitTimer = CMainFrame::kSplitTimerId;
        f.RecordingPeriod = 2;
        f.SplitPeriod = 3;
        f.Game.SetGameStart({2026, 12, 10, 19, 30, 0, 0});
        f.Link.VortamoState = 2;
        f.Link.KestriloSpoken = true;
        f.Link.CurrentPeriod = 2;
    }

    // Runs the workflow. The companions told to close are waited for (in real time) before
    // their first check, so that a check finds them gone unless they refuse to go; the
    // storage manager ends on its own (OSTRIMUND_EXIT_AFTER_MS) unless `more` ends it.
    WorkflowRun RunArchive(std::set<CompanionProcess*> closing, const std::function<void(CShowProgress&)>& more = {}) {
        return RunWorkflow(
            kArchiveGame, 20000, 1,
            [&](CShowProgress& dialog) {
                CompanionProcess* waited = dialog.Step == 200   ? &capture
                                           : dialog.Step == 300 ? &console
                                           : dialog.Step == 400 ? &recorder
                                                                : nullptr;
                if (waited != nullptr && closing.erase(waited) != 0) {
                    EXPECT_NE(waited->WaitForExit(20000), -1);
                }
                if (more) more(dialog);
            });
    }

    // Index of the first call after which the step counter was `step`; -1 if never.
    static std::ptrdiff_t FirstCallAt(const WorkflowRun& run, std::int32_t step) {
        const auto it = std::find(run.steps.begin(), run.steps.end(), step);
        return it == run.steps.end() ? -1 : it - run.steps.begin();
    }

    bool Contains(const WorkflowRun& run, std::int32_t step) const {
        return std::find(run.steps.begin(), run.steps.end(), step) != run.steps.end();
    }
};

TEST_F(ArchiveGameTest, TheGameIsArchivedAndEverythingIsSetUpForTheNextGame) {
    const QString done = root.filePath("archiving-done");
    scopedEnv.Set("OSTRIMUND_EXIT_FILE", done.toUtf8());
    ASSERT_TRUE(StartAllCompanions());
    CMainFrame& f = MakeFrameWithGame();
    FillGame(f);
    ASSERT_TRUE(f.Player.HasComponent());
    boxes.answer = BoxAnswer::Yes;
    // The user takes five seconds to answer the question.
    boxes.onShow = [&] {
        if (boxes.shown.back() == LoadStringOrMark(527)) clock.tick += 5000;
    };

    int waitingTicks = 0;
    bool playerHeldDuringWait = false;
    const WorkflowRun run = RunArchive({&capture, &console, &recorder}, [&](CShowProgress& dialog) {
        if (dialog.Step != 501) return;
        // The user takes as long as they like: an hour passes at the dialog's 75 percent.
        EXPECT_EQ(dialog.Progress(), 75);
        EXPECT_EQ(dialog.StepText(), "Wait Ostrimund exit");
        playerHeldDuringWait = playerHeldDuringWait || f.Player.HasComponent();
        clock.tick += 60000;
        if (++waitingTicks == 60) QFile(done).open(QIODevice::WriteOnly);
    });
    ASSERT_TRUE(run.ended);
    EXPECT_GE(waitingTicks, 60);
    // A local recorder is told to exit a second (ten ticks) after "StopRecord", however long
    // the question was open before that.
    EXPECT_EQ(FirstCallAt(run, 200) - FirstCallAt(run, 100), 10);
    EXPECT_FALSE(playerHeldDuringWait) << "the player lets the recordings go while they are archived";

    EXPECT_EQ(boxes.shown, (std::vector<QString>{LoadStringOrMark(527), LoadStringOrMark(521)}));
    EXPECT_EQ(boxes.icons, (std::vector<BoxIcon>{BoxIcon::Question, BoxIcon::Information}));
    EXPECT_EQ(run.progress, (std::vector<int>{1, 10, 30, 50, 70, 75, 80, 99, 100}));
    EXPECT_EQ(StepTextsShown(kArchiveTexts),
              (std::vector<QString>{"Stop all applications", "Exit Vortamo", "wait Dravenor exit", "Wait Kestrilo exit",
                                    "Wait Vortamo exit", "Wait Ostrimund exit", "..."}));
    EXPECT_EQ(LinesStartingWith("Halvane::Menu File->Archive the game."),
              std::vector<std::string>{"Halvane::Menu File->Archive the game.\n"});
    EXPECT_EQ(log.Count("Halvane::StopPlayback\n"), 2u) << "at the start, and again with the reset";
    EXPECT_EQ(log.Count("Halvane::OnFileReset SUCCEEDED.\n"), 1u);
    EXPECT_TRUE(LinesStartingWith("Halvane::OnFileRecStart WARNING").empty());
    EXPECT_TRUE(LinesStartingWith("Halvane::OnFileReset ERROR").empty());

    // No companion is left.
    EXPECT_TRUE(console.Output().contains("command Exit\n"));
    EXPECT_TRUE(recorder.Output().contains("command StopRecord\ncommand Exit\n"));
    EXPECT_TRUE(capture.Output().contains("command Exit\n"));
    EXPECT_TRUE(console.HasEnded() && recorder.HasEnded() && capture.HasEnded());
    EXPECT_EQ(f.Companions.OstrimundProcess(), 0);
    EXPECT_TRUE(test::WaitUntil([&] {
        f.Companions.ReapEnded();
        return f.Companions.Launcher().DetachedChildren().empty();
    }));

    // Everything is ready for the next game.
    EXPECT_TRUE(f.GameFolder.isEmpty());
    EXPECT_FALSE(f.ExecutionEnabled);
    EXPECT_FALSE(f.Link.PollingEnabled);
    EXPECT_EQ(f.SplitTimer, 0);
    EXPECT_FALSE(f.HasTimer(CMainFrame::kSplitTimerId));
    EXPECT_EQ(f.RecordingPeriod, 50);
    EXPECT_EQ(f.SplitPeriod, 0);
    EXPECT_TRUE(f.Player.HasComponent()) << "the player is set up anew";
    EXPECT_EQ(f.Game.GetSnapshot().GameStart, 0u);
    EXPECT_EQ(f.Link.VortamoState, 0);
    EXPECT_FALSE(f.Link.KestriloSpoken);
    EXPECT_EQ(f.Link.CurrentPeriod, -1);
    EXPECT_TRUE(f.Companions.IsScoreBoardReset());
}

// Until the copy is finished nothing at all is touched; a question answered No does not
// touch anything either.
TEST_F(ArchiveGameTest, UnconfirmedOrWithFilesStillToCopyNothingChanges) {
    struct Case {
        const char* name;
        BoxAnswer answer;
        bool waiting;  // a file waits in the copy list
        bool copying;  // a file is being copied (it has left the list)
        std::vector<unsigned> boxes;
    } cases[] = {
        {"not confirmed", BoxAnswer::No, true, false, {527}},
        {"a file waits", BoxAnswer::Yes, true, false, {527, 522}},
        {"the last file is being copied", BoxAnswer::Yes, false, true, {527, 522}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CMainFrame& f = MakeFrameWithGame();
        FillGame(f);
        {
            std::lock_guard lock(f.FrameLock);
            if (c.waiting)
                f.Copies.push_back(CopyItem{fs::Encode(root.filePath("rec1/a.mp4")),
                                            fs::Encode(root.filePath("archive/a.mp4")), clock.tick + 600000});
            if (c.copying) f.CurrentCopyFile = root.filePath("archive/b.mp4");
        }
        boxes.answer = c.answer;
        boxes.shown.clear();
        boxes.icons.clear();
        log.Clear();
        const WorkflowRun run = RunWorkflow(kArchiveGame, 5, 0);
        EXPECT_TRUE(run.ended);
        EXPECT_EQ(run.ticks, 1);
        std::vector<QString> expected;
        for (unsigned id : c.boxes) expected.push_back(LoadStringOrMark(id));
        EXPECT_EQ(boxes.shown, expected);
        if (c.boxes.size() == 2) {
            EXPECT_EQ(boxes.icons.back(), BoxIcon::Warning);
            EXPECT_EQ(log.Count("Halvane::OnFileReset ERROR - Need Copy Files.\n"), 1u);
        } else {
            EXPECT_FALSE(log.Contains("Halvane::Menu File->Archive the game."));
        }
        EXPECT_FALSE(log.Contains("Halvane::StopPlayback"));
        EXPECT_FALSE(log.Contains("SendMesage"));
        EXPECT_EQ(f.SplitTimer, CMainFrame::kSplitTimerId);
        EXPECT_TRUE(f.HasTimer(CMainFrame::kSplitTimerId));
        EXPECT_TRUE(f.Player.HasComponent());
        EXPECT_EQ(f.GameFolder, kGameFolder);
        EXPECT_TRUE(f.ExecutionEnabled);
        EXPECT_TRUE(f.Link.PollingEnabled);
        EXPECT_EQ(f.RecordingPeriod, 2);
        EXPECT_EQ(f.Link.VortamoState, 2);
        EXPECT_NE(f.Game.GetSnapshot().GameStart, 0u);
        {
            std::lock_guard lock(f.FrameLock);
            f.Copies.clear();
            f.CurrentCopyFile.clear();
        }
        EndFrame();
    }
}

TEST_F(ArchiveGameTest, ACompanionThatWillNotCloseIsWarnedAboutAndTheWorkflowGoesOn) {
    scopedEnv.Set("OSTRIMUND_EXIT_AFTER_MS", "0");
    struct Case {
        const char* name;
        const char* stubborn;  // the program that stays, and how it is told to
        unsigned warning;
        const char* line;
        std::int32_t lastCheck;
    } cases[] = {
        {"Dravenor", "DRAVENOR_MISBEHAVE=refuse-exit", 547, "Halvane::OnFileRecStart WARNING - Can't close Dravenor!\n", 220},
        {"Kestrilo", "TAMBERLO_MISBEHAVE=ignore-exit", 548, "Halvane::OnFileRecStart WARNING - Can't close Kestrilo!\n", 320},
        {"Vortamo", "VORTAMO_MISBEHAVE=ignore-exit", 549, "Halvane::OnFileRecStart WARNING - Can't close Vortamo!\n", 420},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString misbehave = QString::fromLatin1(c.stubborn);
        const auto env = [&](const char* prefix) {
            return misbehave.startsWith(QLatin1StringView(prefix)) ? QStringList{misbehave} : QStringList{};
        };
        ASSERT_TRUE(StartConsole(env("TAMBERLO")));
        ASSERT_TRUE(StartRecorder(env("VORTAMO")));
        ASSERT_TRUE(StartCapture(env("DRAVENOR")));
        CompanionProcess* stays = c.warning == 547 ? &capture : c.warning == 548 ? &console : &recorder;
        std::set<CompanionProcess*> closing{&capture, &console, &recorder};
        closing.erase(stays);
        MakeFrameWithGame();
        boxes.answer = BoxAnswer::Yes;
        boxes.shown.clear();
        boxes.icons.clear();
        log.Clear();

        const WorkflowRun run = RunArchive(closing);
        ASSERT_TRUE(run.ended);
        EXPECT_EQ(boxes.shown, (std::vector<QString>{LoadStringOrMark(527), LoadStringOrMark(c.warning),
                                                     LoadStringOrMark(521)}));
        EXPECT_EQ(boxes.icons, (std::vector<BoxIcon>{BoxIcon::Question, BoxIcon::Warning, BoxIcon::Information}));
        EXPECT_EQ(log.Count(c.line), 1u);
        EXPECT_EQ(LinesStartingWith("Halvane::OnFileRecStart WARNING").size(), 1u);
        EXPECT_TRUE(Contains(run, c.lastCheck)) << "21 checks a second apart";
        EXPECT_FALSE(Contains(run, c.lastCheck + 1));
        EXPECT_EQ(log.Count("Halvane::OnFileReset SUCCEEDED.\n"), 1u) << "goes on";
        EXPECT_FALSE(stays->HasEnded());
        EXPECT_TRUE(stays->Output().contains("command Exit\n")) << "it was told";
        for (CompanionProcess* p : closing) EXPECT_TRUE(p->HasEnded());
        EndFrame();
        stays->Kill();
    }
}

TEST_F(ArchiveGameTest, AStorageManagerThatDoesNotStartEndsTheWorkflowWithoutAReset) {
    ASSERT_TRUE(StartAllCompanions());
    CMainFrame& f = MakeFrameWithGame();
    FillGame(f);
    f.Settings.OstrimundExePath = root.filePath("nowhere/Ostrimund");
    boxes.answer = BoxAnswer::Yes;
    const WorkflowRun run = RunArchive({&capture, &console, &recorder});
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(boxes.shown, (std::vector<QString>{LoadStringOrMark(527), LoadStringOrMark(525)}));
    EXPECT_EQ(boxes.icons, (std::vector<BoxIcon>{BoxIcon::Question, BoxIcon::Error}));
    EXPECT_EQ(log.Count("Halvane::OnFileReset ERROR - Can't start Ostrimund!\n"), 1u);
    EXPECT_FALSE(log.Contains("SUCCEEDED"));
    EXPECT_EQ(run.progress.back(), 70);
    EXPECT_EQ(run.stepTexts.back(), "Wait Ostrimund exit");

    // The companions are closed, playback released, the flags cleared...
    EXPECT_TRUE(console.HasEnded() && recorder.HasEnded() && capture.HasEnded());
    EXPECT_FALSE(f.Player.HasComponent());
    EXPECT_TRUE(f.GameFolder.isEmpty());
    EXPECT_FALSE(f.ExecutionEnabled);
    EXPECT_FALSE(f.Link.PollingEnabled);
    EXPECT_EQ(f.SplitTimer, 0);
    // ...and nothing is reset.
    EXPECT_EQ(log.Count("Halvane::StopPlayback\n"), 1u);
    EXPECT_EQ(f.RecordingPeriod, 2);
    EXPECT_EQ(f.SplitPeriod, 3);
    EXPECT_EQ(f.Link.VortamoState, 2);
    EXPECT_TRUE(f.Link.KestriloSpoken);
    EXPECT_NE(f.Game.GetSnapshot().GameStart, 0u);
}

// The last phase's failures do not stop the workflow: a score board that cannot be reset
// leaves the game as it was; a player that cannot be set up is warned about.
TEST_F(ArchiveGameTest, TheLastPhasesFailuresAreBorneAndTheWorkflowEnds) {
    scopedEnv.Set("OSTRIMUND_EXIT_AFTER_MS", "0");
    struct Case {
        const char* name;
        bool scoreBoardFails;
        bool playerFails;
    } cases[] = {{"score board", true, false}, {"player", false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.scoreBoardFails) scopedEnv.Set("SCOREBOARD_MISBEHAVE", "not-installed");
        services.managerOpens = !c.scoreBoardFails;
        CMainFrame& f = MakeFrameWithGame();
        FillGame(f);
        if (c.playerFails) f.Settings.PlayerRegName = QStringLiteral("Nobody.Player");
        boxes.answer = BoxAnswer::Yes;
        boxes.shown.clear();
        boxes.icons.clear();
        log.Clear();
        const WorkflowRun run = RunArchive({});
        ASSERT_TRUE(run.ended);

        std::vector<QString> expected{LoadStringOrMark(527)};
        if (c.playerFails) expected.push_back(f.Player.GetInitErrorText(QStringLiteral("Nobody.Player"), f.Settings.FifoSizeMS));
        expected.push_back(LoadStringOrMark(521));
        EXPECT_EQ(boxes.shown, expected);
        if (c.playerFails) {
            EXPECT_TRUE(boxes.shown[1].startsWith("Can't init Lumentra player!\nPlayer name 'Nobody.Player'"));
            EXPECT_EQ(boxes.icons[1], BoxIcon::Warning);
        }
        EXPECT_EQ(log.Count("Halvane::OnFileReset SUCCEEDED.\n"), 1u);
        EXPECT_EQ(f.Player.HasComponent(), !c.playerFails);
        EXPECT_EQ(f.RecordingPeriod, 50);
        EXPECT_EQ(f.SplitPeriod, 0);
        // A reset that failed leaves the model and the companion state as they were.
        EXPECT_EQ(f.Game.GetSnapshot().GameStart != 0, c.scoreBoardFails);
        EXPECT_EQ(f.Link.VortamoState, c.scoreBoardFails ? 2 : 0);
        EXPECT_EQ(f.Link.KestriloSpoken, c.scoreBoardFails);
        EXPECT_EQ(log.Count("Halvane::StopPlayback\n"), c.scoreBoardFails ? 1u : 2u);
        EndFrame();
        scopedEnv.Unset("SCOREBOARD_MISBEHAVE");
    }
}

// With the recorder on another computer (here named by this computer's own name, so that
// whatever would be sent to it would arrive), the checks on this computer cannot see it:
// a recorder found here gets "StopRecord", and none gets "Exit".
TEST_F(ArchiveGameTest, ARecorderOnAnotherComputerIsNeverToldToExit) {
    scopedEnv.Set("OSTRIMUND_EXIT_AFTER_MS", "0");
    const QString host = QSysInfo::machineHostName();
    ASSERT_FALSE(host.isEmpty());
    Store("VortamoIP", host);
    for (bool recorderHere : {false, true}) {
        SCOPED_TRACE(recorderHere);
        ASSERT_TRUE(StartConsole());
        ASSERT_TRUE(StartCapture());
        if (recorderHere) {
            ASSERT_TRUE(StartRecorder());
        }
        CMainFrame& f = MakeFrameWithGame();
        f.Link.MessageLog = true;  // successful sends are logged too
        boxes.answer = BoxAnswer::Yes;
        boxes.shown.clear();
        log.Clear();
        const WorkflowRun run = RunArchive({&capture, &console});
        ASSERT_TRUE(run.ended);
        EXPECT_TRUE(log.Contains("Halvane::OnFileReset - Vortamo runs on '" + host.toStdString() + "'"));
        EXPECT_FALSE(log.Contains("'Vortamo.Control' & 'Exit'"));
        EXPECT_EQ(log.Contains("'Vortamo.Control' & 'StopRecord'"), recorderHere);
        std::vector<QString> expected{LoadStringOrMark(527)};
        if (recorderHere) expected.push_back(LoadStringOrMark(549));  // it was never told to exit
        expected.push_back(LoadStringOrMark(521));
        EXPECT_EQ(boxes.shown, expected);
        if (recorderHere) {
            EXPECT_TRUE(recorder.WaitForLine("command StopRecord"));
            EXPECT_FALSE(recorder.Output().contains("command Exit"));
            EXPECT_FALSE(recorder.HasEnded());
        }
        EndFrame();
        recorder.Kill();
    }
}

// A whole game end: the recorder records the game for real, Stop the game queues its
// recordings, the frame's copy worker copies them to the archive, and Archive the game
// closes everything.
TEST_F(ArchiveGameTest, AStoppedGamesRecordingsReachTheArchiveBeforeItIsArchived) {
    scopedEnv.Set("OSTRIMUND_EXIT_AFTER_MS", "0");
    QString rec1, rec2, archive;
    UseArchiveFolders(rec1, rec2, archive);
    ASSERT_TRUE(StartConsole());
    ASSERT_TRUE(StartRecorder({QStringLiteral("VORTAMO_ROOTS=") + rec1 + u';' + rec2,
                               QStringLiteral("VORTAMO_GROW_BYTES=4096")}));
    ASSERT_TRUE(StartCapture());
    CMainFrame& f = MakeFrame();
    const CalendarTime start{2026, 12, 10, 19, 30, 0, 0};
    {
        std::lock_guard lock(f.FrameLock);
        f.GameStartLocal = start;
        f.GameFolder = kGameFolder;
    }
    f.Game.SetGameStart(start);
    f.ExecutionEnabled = true;

    // The recording before the game, then period 1, each segment's videos written to
    // before the next command.
    const auto videosWritten = [&](int count) {
        return test::WaitUntil(
            [&] {
                int written = 0;
                for (const QString& rootFolder : {rec1, rec2}) {
                    QDirIterator it(rootFolder + u'/' + kGameSubfolder, {QStringLiteral("*.mp4")}, QDir::Files,
                                    QDirIterator::Subdirectories);
                    while (it.hasNext()) written += QFileInfo(it.next()).size() > 0 ? 1 : 0;
                }
                return written == count;
            },
            30000);
    };
    ASSERT_TRUE(f.Link.SendToVortamo(QStringLiteral("StartRecord 1111111111111111 0 \\") + kGameFolder));
    ASSERT_TRUE(recorder.WaitForLine(QStringLiteral("command StartRecord 1111111111111111 0 \\") + kGameFolder));
    ASSERT_TRUE(videosWritten(2));
    ASSERT_TRUE(f.Link.SendToVortamo(QStringLiteral("SplitAtTime 1_0x00000000_0x01DC0000")));
    ASSERT_TRUE(recorder.WaitForLine(QStringLiteral("command SplitAtTime 1_0x00000000_0x01DC0000")));
    ASSERT_TRUE(videosWritten(4));

    boxes.answer = BoxAnswer::Yes;
    const WorkflowRun stop = RunWorkflow(kStopGame, 1000, 0);
    ASSERT_TRUE(stop.ended);
    EXPECT_EQ(log.Count("Halvane::OnFileRecStop SUCCEEDED.\n"), 1u);
    EXPECT_EQ(recorder.WaitForExit(), 0);

    // The recordings of both segments, in both roots.
    QStringList recorded;
    for (const QString& rootFolder : {rec1, rec2}) {
        QDirIterator it(rootFolder + u'/' + kGameSubfolder, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) recorded << it.next().mid(rootFolder.size() + 1);
    }
    recorded.sort();
    ASSERT_EQ(recorded.size(), 6) << recorded.join(u' ').toStdString();  // per segment: a description, two videos

    // Archiving has to wait for the copy...
    ASSERT_TRUE(f.IsCopyBusy());
    boxes.shown.clear();
    EXPECT_TRUE(RunWorkflow(kArchiveGame, 5, 0).ended);
    EXPECT_EQ(boxes.shown.back(), LoadStringOrMark(522));

    // ...which the copy worker does once its 5 s have passed.
    clock.tick += 6000;
    ASSERT_TRUE(test::WaitUntil([&] { return !f.IsCopyBusy(); }, 30000));
    for (const QString& relative : recorded) {
        SCOPED_TRACE(relative.toStdString());
        const QString source = (relative.contains("cam2") ? rec2 : rec1) + u'/' + relative;
        QFile original(source);
        QFile copy(archive + u'/' + relative);
        ASSERT_TRUE(original.open(QIODevice::ReadOnly));
        ASSERT_TRUE(copy.open(QIODevice::ReadOnly));
        const QByteArray bytes = original.readAll();
        EXPECT_GT(bytes.size(), 0);
        EXPECT_EQ(copy.readAll(), bytes);
    }
    EXPECT_TRUE(test::WaitUntil([&] { return QFile::exists(archive + "/refresh.csv"); }));

    boxes.shown.clear();
    log.Clear();
    const WorkflowRun run = RunArchive({&capture, &console});
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(boxes.shown, (std::vector<QString>{LoadStringOrMark(527), LoadStringOrMark(521)}));
    EXPECT_EQ(log.Count("Halvane::OnFileReset SUCCEEDED.\n"), 1u);
    EXPECT_TRUE(console.HasEnded() && capture.HasEnded());
    EXPECT_TRUE(f.GameFolder.isEmpty());
    EXPECT_FALSE(f.ExecutionEnabled);
    EXPECT_FALSE(f.Link.PollingEnabled);
}

}  // namespace
}  // namespace hv
