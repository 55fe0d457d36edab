// "Stop the game" against the suite's programs running as real processes, tick by tick with
// the test's clock: the commands the companions receive, the fixed wait for the recorder,
// the recordings queued for the archive, and every failed send reported and gone past.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QSysInfo>
#include <QThread>
#include <map>
#include <optional>
#include <set>

#include "GameNightSupport.h"
#include "language/Language.h"

namespace hv {
namespace {

const std::set<QString> kStopTexts = {
    QStringLiteral("Init"),
    QStringLiteral("Stop Kestrilo timer"),
    QStringLiteral("Stop Vortamo recording"),
    QStringLiteral("Stop & exit Dravenor"),
    QStringLiteral("Wait Vortamo finishing"),
    QStringLiteral("Start file copy to video archive server"),
    QStringLiteral("Close Vortamo"),
    QStringLiteral("..."),
};

// The period numbers of the files queued for copying, in the order they were planned, each
// run of one number counted once.
std::vector<int> PlannedPeriods(const std::vector<std::string>& addLines) {
    std::vector<int> periods;
    for (const std::string& line : addLines) {
        // "+++++Halvane::Add2Copy '<source>'->'<target>'"
        const auto end = line.find("'->'");
        const auto slash = line.rfind('/', end);
        if (end == std::string::npos || slash == std::string::npos) continue;
        const int period = std::atoi(line.c_str() + slash + 1);
        if (periods.empty() || periods.back() != period) periods.push_back(period);
    }
    return periods;
}

class StopGameTest : public test::GameNightFixture {
protected:
    // Where each step's tick lands: the tick of the call that moved the workflow into a phase.
    struct PhaseTicks {
        std::map<int, std::uint32_t> entered;  // phase (hundreds) -> tick
        void Note(const CShowProgress& dialog, std::uint32_t tickOfLastCall) {
            entered.try_emplace(dialog.Step / 100 * 100, tickOfLastCall);
        }
    };

    WorkflowRun RunStop(PhaseTicks& ticks, std::uint32_t tickMs = CShowProgress::kTickMs,
                        const std::function<void(CShowProgress&)>& more = {},
                        const std::function<void(const CShowProgress&)>& afterStep = {}) {
        std::uint32_t last = clock.tick;
        return RunWorkflow(
            kStopGame, 60000, 0,
            [&](CShowProgress& dialog) {
                ticks.Note(dialog, last);
                last = clock.tick;
                if (more) more(dialog);
            },
            tickMs, afterStep);
    }

    std::size_t CountStartingWith(const std::string& prefix) const { return LinesStartingWith(prefix).size(); }
};

TEST_F(StopGameTest, TheGameStopsAndItsRecordingsAreQueuedForTheArchive) {
    QString rec1, rec2, archive;
    UseArchiveFolders(rec1, rec2, archive);
    const QString game1 = rec1 + u'/' + kGameSubfolder;
    const QString game2 = rec2 + u'/' + kGameSubfolder;
    WriteFile(game1, "50.xml");
    WriteFile(game1, "50_1.mp4");
    WriteFile(game2 + "cam2", "50_2.mp4");
    WriteFile(game1, "1.xml");
    WriteFile(game1, "1_1.mp4");
    WriteFile(rec1 + "/2026-12-09/19-30", "1_1.mp4");  // another game's: not this one's

    CMainFrame& f = MakeFrameWithGame();
    f.Game.LabelsChanged = true;
    ASSERT_TRUE(StartAllCompanions());
    boxes.answer = BoxAnswer::Yes;

    PhaseTicks ticks;
    // The label change as the planning step left it. Only the GUI thread (this one) sets
    // it, when a referee message is handled in the event loop: the console goes on
    // answering the update cycle's questions meanwhile, so that a label may come in at any
    // later tick and set it again, rightly.
    std::optional<bool> labelsChangedAfterPlanning;
    const WorkflowRun run = RunStop(ticks, CShowProgress::kTickMs, {}, [&](const CShowProgress& dialog) {
        if (dialog.Step == 600 && !labelsChangedAfterPlanning) labelsChangedAfterPlanning = f.Game.LabelsChanged.load();
    });
    ASSERT_TRUE(run.ended);

    EXPECT_EQ(boxes.shown, (std::vector<QString>{LoadStringOrMark(529), LoadStringOrMark(537)}));
    EXPECT_EQ(boxes.icons, (std::vector<BoxIcon>{BoxIcon::Question, BoxIcon::Information}));
    EXPECT_EQ(run.progress, (std::vector<int>{1, 10, 20, 30, 32, 34, 36, 38, 40, 42, 44, 46, 48, 50, 60, 70, 100}));
    EXPECT_EQ(StepTextsShown(kStopTexts),
              (std::vector<QString>{"Init", "Stop Kestrilo timer", "Stop Vortamo recording", "Stop & exit Dravenor",
                                    "Wait Vortamo finishing", "Start file copy to video archive server",
                                    "Close Vortamo", "..."}));

    // The recorder gets about 21 s to close its files; the recorder is closed a second later.
    ASSERT_TRUE(ticks.entered.count(400) && ticks.entered.count(500) && ticks.entered.count(600) &&
                ticks.entered.count(700));
    EXPECT_EQ(ticks.entered[500] - ticks.entered[400], 21000u);
    EXPECT_EQ(ticks.entered[700] - ticks.entered[600], 1000u);

    const std::vector<std::string> lines = log.Lines();
    const auto at = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) - lines.begin(); };
    const auto menu = at("Halvane::Menu File->Stop the game.\n");
    const auto fill = at("StopTheGame - Start FillCopyFiles for game '2026-12-10\\19-30\\'\n");
    const auto done = at("Halvane::OnFileRecStop SUCCEEDED.\n");
    EXPECT_LT(menu, fill);
    EXPECT_LT(fill, done);
    EXPECT_LT(done, static_cast<std::ptrdiff_t>(lines.size()));
    EXPECT_TRUE(LinesStartingWith("Halvane::OnFileRecStop ERROR").empty());
    EXPECT_TRUE(LinesStartingWith("Halvane::SendMesage('StopGame')").empty());
    EXPECT_TRUE(LinesStartingWith("Halvane::SendMesage('Vortamo.Control' & 'StopRecord')").empty());

    // What the companions were told.
    EXPECT_TRUE(console.WaitForLine("command StopGame"));
    EXPECT_TRUE(recorder.WaitForLine("command StopRecord"));
    EXPECT_TRUE(recorder.WaitForLine("command Exit"));
    EXPECT_EQ(recorder.WaitForExit(), 0) << "a recorder on this computer is closed";
    EXPECT_TRUE(capture.WaitForLine("command Exit"));
    EXPECT_EQ(capture.WaitForExit(), 0) << "the post-play capture is told to stop";
    EXPECT_TRUE(test::WaitUntil([&] {
        f.Companions.ReapEnded();
        return f.Companions.Launcher().DetachedChildren().empty();
    }));

    // This game's recordings are queued, the period before the game first, to be copied
    // 5 s after the planning.
    EXPECT_EQ(PlannedPeriods(LinesStartingWith("+++++Halvane::Add2Copy")), (std::vector<int>{50, 1}));
    {
        std::lock_guard lock(f.FrameLock);
        std::set<QString> sources;
        for (const CopyItem& item : f.Copies) {
            sources.insert(QFile::decodeName(item.Source));
            EXPECT_EQ(item.NotBefore, ticks.entered[600] + 5000);
        }
        EXPECT_EQ(sources, (std::set<QString>{game1 + "50.xml", game1 + "50_1.mp4", game2 + "cam2/50_2.mp4",
                                              game1 + "1.xml", game1 + "1_1.mp4"}));
    }
    ASSERT_TRUE(labelsChangedAfterPlanning.has_value());
    EXPECT_FALSE(*labelsChangedAfterPlanning) << "the planning takes the label change: the update cycle does not "
                                                 "plan the same copy again";
    EXPECT_EQ(f.GameFolder, kGameFolder);
    EXPECT_TRUE(f.ExecutionEnabled);
    EXPECT_TRUE(f.Link.PollingEnabled);
}

TEST_F(StopGameTest, TheQuestionDependsOnWhetherAGameIsRecordedAndOnlyYesGoesOn) {
    CMainFrame& f = MakeFrame();
    struct Case {
        const char* folder;
        bool execution;
        unsigned question;
    } cases[] = {
        {"2026-12-10\\19-30\\", true, 529},
        {"", true, 536},
        {"2026-12-10\\19-30\\", false, 536},
        {"", false, 536},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.question);
        SCOPED_TRACE(c.folder);
        f.GameFolder = QString::fromLatin1(c.folder);
        f.ExecutionEnabled = c.execution;
        boxes.shown.clear();
        log.Clear();
        const WorkflowRun run = RunWorkflow(kStopGame, 5, 0);
        EXPECT_TRUE(run.ended);
        EXPECT_EQ(run.ticks, 1);
        EXPECT_EQ(boxes.shown, std::vector<QString>{LoadStringOrMark(c.question)});
        EXPECT_FALSE(log.Contains("Halvane::Menu File->Stop the game.")) << "nothing is done";
        EXPECT_FALSE(log.Contains("SendMesage"));
        EXPECT_EQ(f.GameFolder, QString::fromLatin1(c.folder));
        EXPECT_EQ(f.ExecutionEnabled, c.execution);
    }
}

// A game folder without command execution (the Advanced Stop command was used) counts as
// no game being recorded: the user is asked 536, and on Yes the whole workflow runs and the
// game's recordings are queued.
TEST_F(StopGameTest, NotRecordingButConfirmedTheWholeWorkflowRuns) {
    QString rec1, rec2, archive;
    UseArchiveFolders(rec1, rec2, archive);
    const QString game1 = rec1 + u'/' + kGameSubfolder;
    WriteFile(game1, "50_1.mp4");
    WriteFile(game1, "1_1.mp4");
    ASSERT_TRUE(StartAllCompanions());
    CMainFrame& f = MakeFrameWithGame();
    f.ExecutionEnabled = false;
    boxes.answer = BoxAnswer::Yes;
    PhaseTicks ticks;
    const WorkflowRun run = RunStop(ticks);
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(boxes.shown, (std::vector<QString>{LoadStringOrMark(536), LoadStringOrMark(537)}));
    EXPECT_EQ(boxes.icons, (std::vector<BoxIcon>{BoxIcon::Question, BoxIcon::Information}));
    EXPECT_EQ(run.progress.back(), 100);
    EXPECT_EQ(log.Count("Halvane::Menu File->Stop the game.\n"), 1u);
    EXPECT_EQ(log.Count("Halvane::OnFileRecStop SUCCEEDED.\n"), 1u);
    EXPECT_TRUE(LinesStartingWith("Halvane::OnFileRecStop ERROR").empty());
    EXPECT_TRUE(console.WaitForLine("command StopGame"));
    EXPECT_TRUE(recorder.WaitForLine("command StopRecord"));
    EXPECT_TRUE(recorder.WaitForLine("command Exit"));
    EXPECT_TRUE(capture.WaitForLine("command Exit"));
    EXPECT_EQ(PlannedPeriods(LinesStartingWith("+++++Halvane::Add2Copy")), (std::vector<int>{50, 1}));
    EXPECT_EQ(f.GameFolder, kGameFolder);
    EXPECT_FALSE(f.ExecutionEnabled) << "left as it was";
}

// The waits compare ticks by their signed difference, so a wait that spans the 32-bit
// tick's wrap lasts as long as any other.
TEST_F(StopGameTest, TheRecordersWaitLastsItsTwentyOneSecondsAcrossTheTicksWrap) {
    ASSERT_TRUE(StartAllCompanions());
    MakeFrameWithGame();
    boxes.answer = BoxAnswer::Yes;
    clock.tick = 0xFFFFF000u;
    PhaseTicks ticks;
    const WorkflowRun run = RunStop(ticks);
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(log.Count("Halvane::OnFileRecStop SUCCEEDED.\n"), 1u);
    ASSERT_TRUE(ticks.entered.count(400) && ticks.entered.count(500) && ticks.entered.count(600) &&
                ticks.entered.count(700));
    // The wrap falls inside the wait.
    EXPECT_GT(ticks.entered[400], 0xFFFFF000u);
    EXPECT_LT(ticks.entered[500], 0x10000u);
    EXPECT_EQ(ticks.entered[500] - ticks.entered[400], 21000u);
    EXPECT_EQ(ticks.entered[700] - ticks.entered[600], 1000u);
    EXPECT_EQ(run.progress, (std::vector<int>{1, 10, 20, 30, 32, 34, 36, 38, 40, 42, 44, 46, 48, 50, 60, 70, 100}));
}

// Every failed send is tried again 333 ms apart up to five times, then warned about, and the
// workflow goes on to its end.
TEST_F(StopGameTest, FailedSendsAreTriedFiveTimesThenWarnedAboutAndTheWorkflowGoesOn) {
    struct Case {
        const char* name;
        const char* consoleMisbehaves;  // null: well-behaved
        bool recorderRuns;
        bool recorderGoneBeforeExit;  // it ends during the wait for its files
        std::vector<unsigned> warnings;
        std::vector<const char*> errorLines;
        const char* failedCommand;  // the command whose five sends failed, if any
    } cases[] = {
        {"the console refuses StopGame", "TAMBERLO_MISBEHAVE=refuse-stopgame", true, false, {539},
         {"Halvane::OnFileRecStop ERROR - Can't send command #1 to Kestrilo!\n"},
         "Halvane::SendMesage('StopGame') to Kestrilo ERROR"},
        {"no recorder", nullptr, false, false, {538, 538},
         {"Halvane::OnFileRecStop ERROR - Can't send command #2 to Vortamo!\n",
          "Halvane::OnFileRecStop ERROR - Can't send command #3 to Vortamo!\n"},
         "Halvane::SendMesage('Vortamo.Control' & 'StopRecord') to Vortamo1 ERROR"},
        {"the recorder ended before Exit", nullptr, true, true, {538},
         {"Halvane::OnFileRecStop ERROR - Can't send command #3 to Vortamo!\n"}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QStringList consoleEnvironment;
        if (c.consoleMisbehaves != nullptr) consoleEnvironment << QString::fromLatin1(c.consoleMisbehaves);
        ASSERT_TRUE(StartConsole(consoleEnvironment));
        if (c.recorderRuns) {
            ASSERT_TRUE(StartRecorder());
        }
        ASSERT_TRUE(StartCapture());
        MakeFrameWithGame();
        boxes.shown.clear();
        boxes.icons.clear();
        log.Clear();
        boxes.answer = BoxAnswer::Yes;
        std::uint32_t firstTry = 0;
        std::uint32_t warned = 0;
        boxes.onShow = [&] {
            if (warned == 0 && boxes.icons.back() == BoxIcon::Warning) warned = clock.tick;
        };

        // One millisecond per tick, so that the retries' 333 ms are seen as they are.
        PhaseTicks ticks;
        const WorkflowRun run = RunStop(ticks, 1, [&](CShowProgress& dialog) {
            if (firstTry == 0 && dialog.Step == 100) firstTry = clock.tick;
            if (c.recorderGoneBeforeExit && dialog.Step >= 500) recorder.Kill();
        });
        boxes.onShow = nullptr;
        ASSERT_TRUE(run.ended);

        std::vector<QString> expectedBoxes{LoadStringOrMark(529)};
        std::vector<BoxIcon> expectedIcons{BoxIcon::Question};
        for (unsigned id : c.warnings) {
            expectedBoxes.push_back(LoadStringOrMark(id));
            expectedIcons.push_back(BoxIcon::Warning);
        }
        expectedBoxes.push_back(LoadStringOrMark(537));
        expectedIcons.push_back(BoxIcon::Information);
        EXPECT_EQ(boxes.shown, expectedBoxes);
        EXPECT_EQ(boxes.icons, expectedIcons);
        for (const char* line : c.errorLines) EXPECT_EQ(log.Count(line), 1u) << line;
        EXPECT_EQ(CountStartingWith("Halvane::OnFileRecStop ERROR"), c.errorLines.size());
        EXPECT_EQ(log.Count("Halvane::OnFileRecStop SUCCEEDED.\n"), 1u) << "the workflow reaches its end";
        if (c.failedCommand != nullptr) {
            EXPECT_EQ(CountStartingWith(c.failedCommand), 5u) << "five tries";
        }

        if (c.consoleMisbehaves != nullptr) {
            // Four waits of 333 ms between the five tries: about 1.3 s.
            EXPECT_EQ(warned - firstTry, 4u * 333u);
            EXPECT_EQ(std::vector<int>(run.progress.begin(), run.progress.begin() + 6),
                      (std::vector<int>{1, 2, 3, 4, 5, 10}));
            EXPECT_TRUE(recorder.WaitForLine("command StopRecord")) << "the recorder is still stopped";
            EXPECT_TRUE(recorder.WaitForLine("command Exit"));
            EXPECT_FALSE(console.Output().contains("command StopGame")) << "never reached the console";
        }
        if (!c.recorderRuns) {
            EXPECT_EQ(std::vector<int>(run.progress.begin(), run.progress.begin() + 7),
                      (std::vector<int>{1, 10, 12, 13, 14, 15, 20}));
            EXPECT_TRUE(console.WaitForLine("command StopGame"));
        }
        if (c.recorderGoneBeforeExit) {
            EXPECT_TRUE(recorder.Output().contains("command StopRecord"));
        }
        EXPECT_TRUE(capture.WaitForLine("command Exit")) << "the post-play capture is stopped in every case";
        EXPECT_EQ(capture.WaitForExit(), 0);

        EndFrame();
        console.Kill();
        recorder.Kill();
        capture.Kill();
    }
}

TEST_F(StopGameTest, ARecorderOnAnotherComputerIsStoppedButNotClosed) {
    // The recorder's computer is named (here, this computer's own name, so that the stand-in
    // running here receives what is sent there).
    const QString host = QSysInfo::machineHostName();
    ASSERT_FALSE(host.isEmpty());
    Store("VortamoIP", host);
    ASSERT_TRUE(StartAllCompanions());
    CMainFrame& f = MakeFrameWithGame();
    ASSERT_EQ(f.Settings.VortamoIP, host);
    boxes.answer = BoxAnswer::Yes;
    PhaseTicks ticks;
    const WorkflowRun run = RunStop(ticks);
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(boxes.shown, (std::vector<QString>{LoadStringOrMark(529), LoadStringOrMark(537)}));
    EXPECT_EQ(StepTextsShown(kStopTexts),
              (std::vector<QString>{"Init", "Stop Kestrilo timer", "Stop Vortamo recording", "Stop & exit Dravenor",
                                    "Wait Vortamo finishing", "Start file copy to video archive server", "..."}));
    EXPECT_EQ(run.progress.back(), 100);
    EXPECT_TRUE(recorder.WaitForLine("command StopRecord"));
    // "Exit" would have been sent at once after the wait: none comes.
    EXPECT_EQ(recorder.WaitForExit(500), -1);
    EXPECT_FALSE(recorder.Output().contains("command Exit"));
    EXPECT_FALSE(log.Contains("'Exit'"));
}

TEST_F(StopGameTest, EveryPeriodOfTheGameIsPlannedOnceThePeriodBeforeTheGameFirst) {
    QString rec1, rec2, archive;
    UseArchiveFolders(rec1, rec2, archive);
    const QString game1 = rec1 + u'/' + kGameSubfolder;
    for (int period = 0; period <= 50; ++period) WriteFile(game1, QString::number(period) + "_1.mp4");
    struct Case {
        int defPeriodNumber;
        std::vector<int> planned;
    } cases[] = {{0, {0}}, {50, {}}};
    for (int period = 0; period < 50; ++period) cases[1].planned.push_back(period);
    cases[1].planned.insert(cases[1].planned.begin(), 50);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.defPeriodNumber);
        Store("DefPeriodNumber", c.defPeriodNumber);
        MakeFrameWithGame();
        boxes.answer = BoxAnswer::Yes;
        log.Clear();
        PhaseTicks ticks;
        ASSERT_TRUE(RunStop(ticks).ended);
        // One planning per period number: for 50 and then 0 to 49, or for 0 alone.
        EXPECT_EQ(PlannedPeriods(LinesStartingWith("+++++Halvane::Add2Copy")), c.planned);
        {
            std::lock_guard lock(frame->FrameLock);
            EXPECT_EQ(frame->Copies.size(), c.planned.size());
        }
        EndFrame();
    }
}

// Without a game folder there is nothing of this game to copy: planning would walk the
// recorders' whole root folders and queue every game's recordings found there.
TEST_F(StopGameTest, WithoutAGameFolderTheWorkflowRunsButQueuesNothing) {
    QString rec1, rec2, archive;
    UseArchiveFolders(rec1, rec2, archive);
    WriteFile(rec1 + "/2026-12-09/19-30", "50_1.mp4");
    WriteFile(rec1 + "/2026-12-09/19-30", "0_1.mp4");
    ASSERT_TRUE(StartAllCompanions());
    CMainFrame& f = MakeFrame();
    boxes.answer = BoxAnswer::Yes;
    PhaseTicks ticks;
    const WorkflowRun run = RunStop(ticks);
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(boxes.shown, (std::vector<QString>{LoadStringOrMark(536), LoadStringOrMark(537)}))
        << "not recording: asked, and on Yes run to the end";
    EXPECT_TRUE(log.Contains("StopTheGame - Start FillCopyFiles for game ''\n"));
    EXPECT_TRUE(LinesStartingWith("+++++Halvane::Add2Copy").empty());
    EXPECT_FALSE(f.IsCopyBusy());
    EXPECT_TRUE(recorder.WaitForLine("command StopRecord"));
    EXPECT_EQ(recorder.WaitForExit(), 0);
}

// A port of this computer's loopback address that nobody listens on (just let go of).
std::uint16_t PortNobodyListensOn() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    ::close(fd);
    return bound ? ntohs(address.sin_port) : 0;
}

TEST_F(StopGameTest, ATryThatFailsOnItsWayToTheRecordersComputerCountsAsAFailedTry) {
    // The recorder is on another computer ("127.0.0.1" is not this computer's name) whose
    // relay is gone. Nothing was exchanged with it before, so the first "StopRecord" is
    // accepted here and fails on its way: the workflow waits for that outcome, counts it as
    // a failed try and goes on as for a recorder here that does not take it: four more
    // tries (those fail at once, that computer being known to be cut off), then warning 538.
    const std::uint16_t port = PortNobodyListensOn();
    ASSERT_NE(port, 0);
    scopedEnv.Set("ZANDREL_QUEUE_RELAY_PORT", QByteArray::number(port));
    Store("VortamoIP", "127.0.0.1");
    ASSERT_TRUE(StartConsole());
    ASSERT_TRUE(StartCapture());
    CMainFrame& f = MakeFrameWithGame();
    boxes.answer = BoxAnswer::Yes;
    std::vector<std::int32_t> awaited;
    PhaseTicks ticks;
    const WorkflowRun run = RunStop(ticks, CShowProgress::kTickMs, [&](CShowProgress&) {
        // The test's clock runs fast: the outcome is given its real time.
        if (f.RecorderSendAwaited == 0) return;
        awaited.push_back(f.RecorderSendAwaited);
        EXPECT_TRUE(test::WaitUntil(
            [&] { return f.Link.VortamoDelivery(f.RecorderSendAwaited) != CCompanionLink::Delivery::Pending; }));
    });
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(boxes.shown, (std::vector<QString>{LoadStringOrMark(529), LoadStringOrMark(538), LoadStringOrMark(537)}));
    EXPECT_EQ(awaited.size(), 1u) << "the first try was waited for, the others failed at once";
    EXPECT_EQ(CountStartingWith("Halvane::SendMesage('Vortamo.Control' & 'StopRecord') to Vortamo1 ERROR"), 5u)
        << "five tries";
    EXPECT_EQ(log.Count("Halvane::SendMesage('Vortamo.Control' & 'StopRecord') to Vortamo1 ERROR : res=0x8007006F, "
                        "result=0x6F, errCode=0.\n"),
              5u)
        << "refused: the first there, the others here";
    EXPECT_EQ(log.Count("Halvane::OnFileRecStop ERROR - Can't send command #2 to Vortamo!\n"), 1u);
    EXPECT_EQ(log.Count("Halvane::OnFileRecStop SUCCEEDED.\n"), 1u);
    EXPECT_TRUE(console.WaitForLine("command StopGame"));
    EXPECT_FALSE(log.Contains("'Exit'")) << "a recorder on another computer is not closed";
}

TEST_F(StopGameTest, ATryStillOnItsWayIsWaitedForAndNotSentAgain) {
    // The recorder's computer (127.0.0.2, its relay run here) is reached, but "StopRecord"
    // goes out only once the relay for the recorder's answers has started, and that relay
    // starts only when the test lets it. Let go after 10 s of the workflow's clock, the try
    // is waited for until it is delivered, and nothing is warned about. Held back until the
    // workflow has ended, its outcome does not come within the minute the workflow waits at
    // most: the command is warned about without another try. Either way the recorder is told
    // once.
    struct Case {
        const char* name;
        bool letGoDuringTheWait;
        std::vector<QString> boxes;
        std::size_t errors;
    } const cases[] = {
        {"delivered late", true, {LoadStringOrMark(529), LoadStringOrMark(537)}, 0},
        {"no outcome within the minute", false, {LoadStringOrMark(529), LoadStringOrMark(538), LoadStringOrMark(537)}, 1},
    };
    const QString heldRelay = root.filePath("held-relay");
    const QString gate = root.filePath("relay-may-start");
    {
        QFile script(heldRelay);
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nwhile [ ! -e '" + gate.toLocal8Bit() + "' ]; do sleep 0.05; done\nexec '" +
                     (QCoreApplication::applicationDirPath() + "/ZandrelQueueRelay").toLocal8Bit() + "' \"$@\"\n");
        script.close();
        ASSERT_TRUE(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    }
    const auto letGo = [&gate] {
        QFile open(gate);
        return open.open(QIODevice::WriteOnly);
    };
    scopedEnv.Set("ZANDREL_QUEUE_RELAY_PROGRAM", heldRelay.toLocal8Bit());
    Store("VortamoIP", "127.0.0.2");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(gate);
        const std::uint16_t port = PortNobodyListensOn();
        ASSERT_NE(port, 0);
        scopedEnv.Set("ZANDREL_QUEUE_RELAY_PORT", QByteArray::number(port));
        test::CompanionProcess relay;
        ASSERT_TRUE(relay.Start("ZandrelQueueRelay",
                                {"--port", QString::number(port), "--bind", "127.0.0.2", "--trust", "127.0.0.1"},
                                root.filePath(QStringLiteral("relay%1").arg(port))));
        ASSERT_TRUE(relay.WaitForLine(QStringLiteral("listening %1").arg(port)));
        ASSERT_TRUE(StartAllCompanions());
        CMainFrame& f = MakeFrameWithGame();
        boxes.shown.clear();
        log.Clear();
        boxes.answer = BoxAnswer::Yes;
        PhaseTicks ticks;
        int awaitedTicks = 0;
        bool letGoNow = false;
        const WorkflowRun run = RunStop(ticks, CShowProgress::kTickMs, [&](CShowProgress&) {
            if (f.RecorderSendAwaited == 0) return;
            ++awaitedTicks;
            if (!c.letGoDuringTheWait || awaitedTicks * CShowProgress::kTickMs < 10'000) return;
            if (!letGoNow) letGoNow = letGo();
            // Let go: the delivery takes real time while the workflow's clock stays within
            // its minute.
            (void)test::WaitUntil(
                [&] { return f.Link.VortamoDelivery(f.RecorderSendAwaited) != CCompanionLink::Delivery::Pending; },
                200);
        });
        ASSERT_TRUE(run.ended);
        EXPECT_GT(awaitedTicks * CShowProgress::kTickMs, 5'000) << "the try was waited for beyond five seconds";
        EXPECT_EQ(boxes.shown, c.boxes);
        EXPECT_EQ(CountStartingWith("Halvane::SendMesage('Vortamo.Control' & 'StopRecord') to Vortamo1 ERROR"),
                  c.errors);
        ASSERT_TRUE(letGo());
        // Whatever was sent has arrived before the last message's outcome is known.
        EXPECT_TRUE(test::WaitUntil(
            [&] { return f.Link.VortamoDelivery(f.Link.SendSequence) != CCompanionLink::Delivery::Pending; }, 30000));
        EXPECT_TRUE(recorder.WaitForLine("command StopRecord"));
        EXPECT_EQ(recorder.Output().count(QStringLiteral("command StopRecord\n")), 1);
        EndFrame();
        console.Kill();
        recorder.Kill();
        capture.Kill();
    }
}

}  // namespace
}  // namespace hv
