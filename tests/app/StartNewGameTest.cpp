// "Start new game" run tick by tick against the simulated suite: the recorder, the post-play
// capture and the referee console are the installed stand-ins, started by the frame as real
// processes; the clock is the test's, so the workflow's minutes of waiting pass in moments.
// Message boxes are answered by the test.
#include <signal.h>
#include <sys/wait.h>

#include <QFile>
#include <QFileInfo>
#include <algorithm>

#include "../e2e/CompanionProcess.h"
#include "WorkflowTestSupport.h"
#include "language/Language.h"

namespace hv::test {
namespace {

// Every step text of the workflow.
const char* const kStepTexts[] = {
    "Init & check files", "Reset score board info", "Run Vortamo", "Run Dravenor", "Wait Vortamo starting",
    "Stop & exit Dravenor", "Reset Vortamo", "Run Kestrilo", "Check score board state",
    "Wait Vortamo recording start", "Wait Kestrilo starting", "Save info for video archive server", "...",
};

// The step texts of a run that goes all the way.
const std::vector<std::string> kSuccessTexts = {
    "Init & check files", "Reset score board info", "Run Vortamo", "Run Dravenor", "Wait Vortamo starting",
    "Reset Vortamo", "Run Kestrilo", "Check score board state", "Wait Vortamo recording start",
    "Wait Kestrilo starting", "Save info for video archive server", "...",
};

// The longest a test waits for a companion to do what it should.
constexpr int kWaitMs = 20000;

std::string Text(unsigned id) { return LoadStringOrMark(id).toStdString(); }

QString ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

class StartNewGameTest : public WorkflowFixture {
protected:
    // What the test lets the companions do before the clock moves on: for each, the test
    // waits (in real time, bounded) for what a working companion does, so that the test's
    // fast clock never outruns a real process. A companion told to fail is not waited for.
    struct Expect {
        bool recorderStarts = true;   // holds its queue after the frame started it
        bool recorderAnswers = true;  // answers "GetState"
        bool recorderRecords = true;  // records after "StartRecord"
        bool consoleSpeaks = true;    // answers the update cycle's requests
        bool dravenorHolds = false;   // holds its queue before the recorder is checked
        bool updateCycle = true;      // the frame's one-second update runs
    };

    void SetUp() override {
        WorkflowFixture::SetUp();
        UseInstalledSuite();
        UseArchiveFolders(rec1, rec2, archive);
        report = root.filePath("vortamo.report");
        SetEnv("VORTAMO_REPORT_FILE", report);
        SetEnv("VORTAMO_ROOTS", rec1 + u';' + rec2);
        // A quiet afternoon; the recorder's clock stands at the test's, 3 s behind as the
        // suite's recorder answers: an offset of 0.
        clock.offsetSeconds = 3600;
        SetClock(At(2022, 1, 20, 12, 45, 30));
        boxes.answer = BoxAnswer::Yes;
    }

    void TearDown() override {
        EndCompanions();
        WorkflowFixture::TearDown();
    }

    // Every companion the frame started ends with the test.
    void EndCompanions() {
        if (frame) {
            for (const pid_t pid : frame->Companions.Launcher().DetachedChildren()) {
                ::kill(pid, SIGKILL);
                while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
                }
            }
        }
        // The next recorder reports afresh.
        QFile::remove(report);
    }

    void SetEnv(const char* name, const QString& value) { scopedEnv.Set(name, value.toLocal8Bit()); }
    // The test's UTC time, and the recorder's clock with it.
    void SetClock(FileTime utc) {
        clock.now = utc;
        SetEnv("VORTAMO_CLOCK_AT", QString::number(utc));
    }

    // Waits until a companion holds (or no longer holds) the queue `name`. The presence
    // probe holds a free name for a moment, so it is asked only now and then: a companion
    // coming up meanwhile must not find its name taken again and again.
    bool WaitForQueue(const char* name, bool held) {
        QDeadlineTimer deadline(kWaitMs);
        while (frame->Link.IsQueueNameFree(QString::fromLatin1(name), frame.get()) == held) {
            if (deadline.hasExpired()) return false;
            QDeadlineTimer pause(200);
            while (!pause.hasExpired()) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
                QThread::msleep(5);
            }
        }
        return true;
    }

    // The frame, with its one-second update driven in step with the test's clock.
    CMainFrame& Frame() {
        MakeFrame();
        frame->KillTimer(CMainFrame::kGameTimerId);
        return *frame;
    }

    // Runs the workflow until it ends, `stopAt` is the step counter before a tick, or
    // `maxTicks` ticks. Each tick moves the clock by 100 ms; every tenth runs the frame's
    // update cycle.
    // `beforeStep` runs before each call that is due, with the step counter.
    WorkflowRun Drive(const Expect& expect, std::int32_t stopAt = -1, int maxTicks = 1500,
                      const std::function<void(std::int32_t)>& beforeStep = {}) {
        WorkflowRun run;
        CShowProgress dialog(frame.get(), 544, kStartNewGame);
        bool consoleUp = false;
        bool consolePolled = false;
        while (run.ticks < maxTicks) {
            if (dialog.Step == stopAt) break;
            clock.tick += CShowProgress::kTickMs;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
            if (expect.updateCycle && run.ticks % 10 == 9) {
                frame->UpdateTheGame();
                if (frame->Link.RequestCountdown == 10) ++updatePolls;
                if (consoleUp && frame->Link.RequestCountdown == 10) consolePolled = true;
            }
            const std::int32_t s = dialog.Step;
            if (TickDiffMs(clock.tick, dialog.Deadline) >= 0) {
                if (beforeStep) beforeStep(s);
                if (expect.recorderStarts && s >= 201 && s <= 220) {
                    EXPECT_TRUE(WaitUntil([&] { return ReadFile(report).contains(u"ready\n"); }, kWaitMs));
                }
                if (expect.dravenorHolds && s == 400) {
                    EXPECT_TRUE(WaitForQueue("Dravenor1", true));
                }
                if (expect.recorderAnswers && s >= 400 && s <= 430) {
                    EXPECT_TRUE(WaitUntil([&] { return frame->Link.VortamoState != 0; }, kWaitMs));
                }
                if (expect.consoleSpeaks && s == 600) {
                    consoleUp = WaitForQueue("Kestrilo", true);
                }
                if (expect.recorderRecords && s >= 701 && s <= 725) {
                    EXPECT_TRUE(WaitUntil([&] { return frame->Link.VortamoState == 2; }, kWaitMs));
                }
                if (expect.consoleSpeaks && consolePolled && s >= 800 && s <= 810) {
                    // A question that reached the console while it was still coming up is
                    // not answered: the update cycle runs meanwhile, as it does every second
                    // in the program, and asks again when its answer is overdue.
                    QDeadlineTimer nextCycle(1000);
                    EXPECT_TRUE(WaitUntil([&] {
                        if (frame->Link.KestriloSpoken) return true;
                        if (nextCycle.hasExpired()) {
                            frame->UpdateTheGame();
                            nextCycle.setRemainingTime(1000);
                        }
                        return false;
                    }, kWaitMs));
                }
            }
            if (!Step(kStartNewGame, dialog, run)) break;
        }
        return run;
    }

    // Every step text the workflow showed, in order (the dialog traces each one).
    std::vector<std::string> StepTexts() const {
        std::vector<std::string> texts;
        for (const std::string& line : log.Lines())
            for (const char* text : kStepTexts)
                if (line == std::string(text) + "\n") texts.push_back(text);
        return texts;
    }

    // The texts of the boxes shown, in order.
    std::vector<std::string> Boxes() const {
        std::vector<std::string> texts;
        for (const QString& text : boxes.shown) texts.push_back(text.toStdString());
        return texts;
    }

    // What the recorder started by the frame reported ("command ..." lines and the like).
    QStringList RecorderReport() const { return ReadFile(report).split(u'\n', Qt::SkipEmptyParts); }

    // The log line that shows a companion started, with its arguments.
    std::string Started(const QString& path, const char* args) const {
        return "Halvane::LaunchAsUser('" + path.toStdString() + " " + args +
               "') not available here, starting it directly.\n";
    }

    // The log lines that begin with `prefix`.
    std::size_t LinesCountStartingWith(const std::string& prefix) const {
        std::size_t n = 0;
        for (const std::string& line : log.Lines()) n += line.rfind(prefix, 0) == 0;
        return n;
    }

    // Index of the first call after which the step counter was `step`; -1 if never.
    static int FirstCallAt(const WorkflowRun& run, std::int32_t step) {
        const auto it = std::find(run.steps.begin(), run.steps.end(), step);
        return it == run.steps.end() ? -1 : static_cast<int>(it - run.steps.begin());
    }

    QString rec1, rec2, archive, report;
    int updatePolls = 0;  // requests the update cycle sent to the companions

private:
};

// The progress positions a successful run passes through, whatever the polls in between.
const std::vector<int> kMilestones = {1, 2, 3, 24, 25, 55, 60, 65, 90, 99, 100};

// The positions without those from first to last.
std::vector<int> Without(std::vector<int> progress, int first, int last) {
    std::erase_if(progress, [&](int p) { return p >= first && p <= last; });
    return progress;
}

// `head` followed by first..last.
std::vector<int> Then(std::vector<int> head, int first, int last) {
    for (int p = first; p <= last; ++p) head.push_back(p);
    return head;
}

bool IsPollPosition(int p) {
    return (p >= 6 && p <= 23) || (p >= 26 && p <= 54) || (p >= 66 && p <= 89) || (p >= 91 && p <= 98);
}

void ExpectProgressPassesMilestones(const std::vector<int>& progress) {
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    std::vector<int> milestones;
    for (int p : progress) {
        if (std::find(kMilestones.begin(), kMilestones.end(), p) != kMilestones.end())
            milestones.push_back(p);
        else
            EXPECT_TRUE(IsPollPosition(p)) << p;
    }
    EXPECT_EQ(milestones, kMilestones);
}

TEST_F(StartNewGameTest, StartsTheRecordingAndTheGameInTheNextYearsFolderJustBeforeMidnight) {
    // 23:59:55 local on New Year's Eve (UTC+1): the game starts at 00:01 on 1 January.
    SetClock(At(2026, 12, 31, 22, 59, 55));
    Frame();
    const WorkflowRun run = Drive({});
    ASSERT_TRUE(run.ended);

    EXPECT_EQ(Boxes(), (std::vector<std::string>{Text(528), Text(535)}));
    EXPECT_EQ(boxes.icons, (std::vector<BoxIcon>{BoxIcon::Question, BoxIcon::Information}));
    EXPECT_EQ(log.Count("Halvane::OnFileRecStart SUCCEEDED.\n"), 1u);
    EXPECT_EQ(log.Count("Halvane::Menu File->Start new game.\n"), 1u);
    EXPECT_EQ(log.Count("Halvane::StopPlayback\n"), 1u);
    EXPECT_EQ(StepTexts(), kSuccessTexts);
    ExpectProgressPassesMilestones(run.progress);

    // The companions, started with their arguments.
    const AppSettings& settings = frame->Settings;
    EXPECT_EQ(log.Count(Started(settings.VortamoExePath, "#1")), 1u);
    EXPECT_EQ(log.Count(Started(settings.DravenorExePath, "#1 -start -minimize")), 1u);
    EXPECT_EQ(log.Count(Started(settings.TamberloExePath, "-openlast")), 1u);

    // The game: its start, its folder, and the recorder recording into it.
    const CalendarTime start{2027, 1, 1, 0, 1, 0, 0};
    EXPECT_EQ(frame->GameStartLocal, start);
    EXPECT_EQ(frame->GameFolder, QStringLiteral("2027-01-01\\00-01\\"));
    EXPECT_EQ(frame->Game.GetSnapshot().GameStart, At(2026, 12, 31, 23, 1));
    const QStringList heard = RecorderReport();
    const QString startRecord = QStringLiteral("command StartRecord 1111111111111111 0 \\2027-01-01\\00-01\\");
    EXPECT_TRUE(heard.contains(u"command ExternalControlOn"));
    EXPECT_LT(heard.indexOf(u"command ExternalControlOn"), heard.indexOf(u"command ResetFolder"));
    EXPECT_LT(heard.indexOf(u"command ResetFolder"), heard.indexOf(startRecord));
    EXPECT_TRUE(QFileInfo(rec1 + "/2027-01-01/00-01").isDir());
    EXPECT_TRUE(QFileInfo(rec2 + "/2027-01-01/00-01").isDir());
    EXPECT_EQ(frame->Link.VortamoClockOffset, 0);

    // The referee console began the new game (it keeps the game it was told to start).
    EXPECT_TRUE(WaitUntil([&] { return QFileInfo::exists(root.filePath("tamberlo/LastRun.json")); }));
    // The archive server's description names the game.
    EXPECT_EQ(ReadFile(archive + "/refresh.csv"), QStringLiteral("2027-01-01-00-01; 2026-12-31-23-59-55\r\n"));

    EXPECT_TRUE(frame->ExecutionEnabled);
    EXPECT_TRUE(frame->Link.PollingEnabled);
    EXPECT_FALSE(frame->WithoutVortamo);
}

TEST_F(StartNewGameTest, AnArchiveDescriptionThatCannotBeWrittenIsShownAndTheGameStillStarts) {
    // The archive root is gone (an unmounted share): the description cannot be written, but
    // the recording runs already, so the start still succeeds after the user was told.
    Store("CopyToPath", root.filePath("gone"));
    Frame();
    const WorkflowRun run = Drive({});
    ASSERT_TRUE(run.ended);
    ASSERT_EQ(boxes.shown.size(), 3u);
    EXPECT_TRUE(boxes.shown[1].startsWith(QStringLiteral("Can't open file:\n")));
    EXPECT_EQ(boxes.icons[1], BoxIcon::Warning);
    EXPECT_EQ(boxes.shown[2], LoadStringOrMark(535));
    EXPECT_EQ(log.Count("Halvane::OnFileRecStart SUCCEEDED.\n"), 1u);
    EXPECT_FALSE(QFileInfo::exists(root.filePath("gone")));
}

TEST_F(StartNewGameTest, StartsOnlyTheCompanionsThatDoNotRunYetButAlwaysThePostPlayCapture) {
    Frame();
    CompanionProcess recorder;
    CompanionProcess console;
    CompanionProcess capture;
    ASSERT_TRUE(recorder.Start("Zandrel Software/Vortamo/Vortamo", {"#1"}, root.filePath("recorder")));
    ASSERT_TRUE(console.Start("Zandrel Software/Ferrolith/Tamberlo", {"-openlast"}, root.filePath("console")));
    ASSERT_TRUE(capture.Start("Zandrel Software/Ferrolith/Dravenor", {"#1", "-start"}, root.filePath("capture")));
    for (CompanionProcess* companion : {&recorder, &console, &capture}) ASSERT_TRUE(companion->WaitForLine("ready"));

    const WorkflowRun run = Drive({});
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(log.Count("Halvane::OnFileRecStart SUCCEEDED.\n"), 1u);
    const AppSettings& settings = frame->Settings;
    EXPECT_EQ(log.Count(Started(settings.VortamoExePath, "#1")), 0u);
    EXPECT_EQ(log.Count(Started(settings.TamberloExePath, "-openlast")), 0u);
    EXPECT_EQ(log.Count(Started(settings.DravenorExePath, "#1 -start -minimize")), 1u);
    EXPECT_FALSE(log.Contains("Run Kestrilo\n"));
    // The recorder found running was asked at once, not after the 5 s a start is given.
    EXPECT_EQ(FirstCallAt(run, 300) - FirstCallAt(run, 201), 1);
    EXPECT_TRUE(recorder.WaitForLine("command StartRecord 1111111111111111 0 \\2022-01-20\\13-46\\"));
    EXPECT_TRUE(console.WaitForLine("command NewGame"));
    // The second post-play capture left the first alone.
    EXPECT_FALSE(capture.HasEnded());
}

// The game's start is fixed from the local time when phase 600 runs.
struct StartCase {
    const char* name;
    FileTime utc;
    std::int64_t offsetSeconds;
    CalendarTime start;  // local
    const char* folder;
};

class StartTimeTest : public StartNewGameTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartTimeTest, FixesTheStartOnTheNextWholeMinuteWithCalendarCarry) {
    const StartCase& c = GetParam();
    clock.offsetSeconds = c.offsetSeconds;
    SetClock(c.utc);
    Frame();
    // No recorder here: the start command would go nowhere.
    frame->WithoutVortamo = true;
    frame->Companions.ResetScoreBoard();
    CShowProgress dialog(frame.get(), 544, kStartNewGame);
    dialog.Step = 600;
    dialog.Deadline = clock.tick;
    EXPECT_TRUE(frame->RunWorkflowStep(kStartNewGame, dialog.Step, dialog.Deadline, dialog));
    EXPECT_EQ(dialog.Step, 700);
    EXPECT_EQ(dialog.Progress(), 65);
    EXPECT_EQ(frame->GameStartLocal, c.start);
    EXPECT_EQ(frame->GameFolder, QString::fromLatin1(c.folder));
    FileTime local = 0;
    ASSERT_TRUE(CalendarToFileTime(c.start, local));
    EXPECT_EQ(frame->Game.GetSnapshot().GameStart, local - c.offsetSeconds * kFileTimeUnitsPerSecond);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(StartNewGameTest, AClockThatCannotBeReadAsADateEndsTheWorkflowWithoutAGame) {
    // A UTC time half an hour into 1601, an hour ahead of the local zone: there is no
    // local date for it.
    clock.offsetSeconds = -3600;
    SetClock(At(1601, 1, 1, 0, 30));
    Frame();
    frame->WithoutVortamo = true;
    frame->Companions.ResetScoreBoard();
    CShowProgress dialog(frame.get(), 544, kStartNewGame);
    dialog.Step = 600;
    dialog.Deadline = clock.tick;
    EXPECT_FALSE(frame->RunWorkflowStep(kStartNewGame, dialog.Step, dialog.Deadline, dialog));
    EXPECT_EQ(log.Count("Halvane::OnFileRecStart ERROR - Can't convert the game's start time!\n"), 1u);
    // The message names the cause: the clock, not the recorder.
    EXPECT_EQ(Boxes(), std::vector<std::string>{Text(553)});
    EXPECT_EQ(boxes.icons, std::vector<BoxIcon>{BoxIcon::Error});
    EXPECT_TRUE(frame->GameFolder.isEmpty());
    EXPECT_EQ(frame->GameStartLocal, CalendarTime{});
    EXPECT_EQ(frame->Game.GetSnapshot().GameStart, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Clock, StartTimeTest,
    ::testing::Values(
        StartCase{"HalfMinute", At(2022, 1, 20, 13, 45, 30), 0, {2022, 1, 20, 13, 46, 0, 0}, "2022-01-20\\13-46\\"},
        StartCase{"FiftyOneSeconds", At(2022, 1, 20, 13, 45, 51), 0, {2022, 1, 20, 13, 47, 0, 0},
                  "2022-01-20\\13-47\\"},
        StartCase{"HourCarry", At(2022, 1, 20, 13, 59, 55), 0, {2022, 1, 20, 14, 1, 0, 0}, "2022-01-20\\14-01\\"},
        StartCase{"FiftySeconds", At(2022, 1, 20, 13, 45, 50), 0, {2022, 1, 20, 13, 46, 0, 0}, "2022-01-20\\13-46\\"},
        StartCase{"FiftySecondsAndMore", At(2022, 1, 20, 13, 45, 50, 999), 0, {2022, 1, 20, 13, 46, 0, 0},
                  "2022-01-20\\13-46\\"},
        StartCase{"ZoneAhead", At(2022, 1, 20, 11, 45, 30), 7200, {2022, 1, 20, 13, 46, 0, 0}, "2022-01-20\\13-46\\"},
        StartCase{"DayEnd", At(2022, 1, 20, 23, 59, 55), 0, {2022, 1, 21, 0, 1, 0, 0}, "2022-01-21\\00-01\\"},
        StartCase{"DayEndOneMinute", At(2022, 1, 20, 23, 59, 10), 0, {2022, 1, 21, 0, 0, 0, 0}, "2022-01-21\\00-00\\"},
        StartCase{"MonthEnd", At(2026, 1, 31, 23, 59, 30), 0, {2026, 2, 1, 0, 0, 0, 0}, "2026-02-01\\00-00\\"},
        StartCase{"FebruaryEnd", At(2026, 2, 28, 23, 58, 51), 0, {2026, 3, 1, 0, 0, 0, 0}, "2026-03-01\\00-00\\"},
        StartCase{"LeapDay", At(2028, 2, 28, 23, 59, 51), 0, {2028, 2, 29, 0, 1, 0, 0}, "2028-02-29\\00-01\\"},
        // Local 23:59:55 on New Year's Eve, five hours behind UTC.
        StartCase{"YearEndZoneBehind", At(2027, 1, 1, 4, 59, 55), -5 * 3600, {2027, 1, 1, 0, 1, 0, 0},
                  "2027-01-01\\00-01\\"}),
    [](const ::testing::TestParamInfo<StartCase>& info) { return std::string(info.param.name); });

TEST_F(StartNewGameTest, NothingHappensUnlessTheUserIsReady) {
    boxes.answer = BoxAnswer::No;
    Frame();
    const WorkflowRun run = Drive({});
    EXPECT_TRUE(run.ended);
    EXPECT_EQ(run.ticks, 1);
    EXPECT_EQ(Boxes(), std::vector<std::string>{Text(528)});
    EXPECT_FALSE(log.Contains("Halvane::Menu File->Start new game.\n"));
    EXPECT_FALSE(log.Contains("Halvane::StopPlayback\n"));
    EXPECT_FALSE(frame->ExecutionEnabled);
    EXPECT_TRUE(frame->Companions.Launcher().DetachedChildren().empty());
    EXPECT_TRUE(frame->GameFolder.isEmpty());
}

TEST_F(StartNewGameTest, RefusesToStartWithoutTheArchiveOrTheRecorderFolders) {
    struct Case {
        const char* setting;
        unsigned message;
    };
    for (const Case c : {Case{"CopyToPath", 530}, Case{"CopyFromPathList", 531}}) {
        SCOPED_TRACE(c.setting);
        UseArchiveFolders(rec1, rec2, archive);
        Store(c.setting, QString());
        boxes.shown.clear();
        boxes.icons.clear();
        log.Clear();
        Frame();
        const WorkflowRun run = Drive({});
        EXPECT_TRUE(run.ended);
        EXPECT_EQ(run.ticks, 1);
        EXPECT_EQ(Boxes(), (std::vector<std::string>{Text(528), Text(c.message)}));
        EXPECT_EQ(boxes.icons, (std::vector<BoxIcon>{BoxIcon::Question, BoxIcon::Error}));
        EXPECT_FALSE(log.Contains("Halvane::Menu File->Start new game.\n"));
        EXPECT_TRUE(frame->Companions.Launcher().DetachedChildren().empty());
        frame.reset();
    }
}

TEST_F(StartNewGameTest, EndsWhenTheRecorderNeverStartsAndTheUserDeclinesToGoOn) {
    SetEnv("VORTAMO_MISBEHAVE", "no-start");
    boxes.onShow = [this] {
        if (boxes.shown.back() == LoadStringOrMark(532)) boxes.answer = BoxAnswer::No;
    };
    Frame();
    const WorkflowRun run = Drive({.recorderStarts = false});
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Text(528), Text(532)}));
    EXPECT_EQ(boxes.icons, (std::vector<BoxIcon>{BoxIcon::Question, BoxIcon::Question}));
    EXPECT_EQ(log.Count("Halvane::OnFileRecStart ERROR - Can't start Vortamo!\n"), 1u);
    EXPECT_EQ(log.Count(Started(frame->Settings.VortamoExePath, "#1")), 1u);
    // Twenty probes: 5 s after the start, then every second; the last after 24 s.
    for (std::int32_t s = 201; s <= 220; ++s) EXPECT_GE(FirstCallAt(run, s), 0) << s;
    EXPECT_EQ(static_cast<int>(run.steps.size()) - 1 - FirstCallAt(run, 201), 240);
    EXPECT_EQ(run.progress, Then({1, 2, 3}, 6, 24));
    EXPECT_FALSE(log.Contains("Run Dravenor\n"));
    EXPECT_EQ(log.Count(Started(frame->Settings.DravenorExePath, "#1 -start -minimize")), 0u);
}

TEST_F(StartNewGameTest, GoesOnWithoutTheRecorderWhenTheUserAgrees) {
    SetEnv("VORTAMO_MISBEHAVE", "no-start");
    // Once the user has agreed, a recorder comes up after all: it hears nothing of this
    // workflow, only the update cycle's own requests.
    CompanionProcess late;
    int pollsBeforeLate = -1;
    boxes.onShow = [&] {
        if (boxes.shown.back() != LoadStringOrMark(532)) return;
        ASSERT_TRUE(late.Start("Zandrel Software/Vortamo/Vortamo", {"#1"}, root.filePath("late"),
                               {"VORTAMO_MISBEHAVE=", "VORTAMO_REPORT_FILE=" + root.filePath("late.report")}));
        ASSERT_TRUE(late.WaitForLine("ready"));
        pollsBeforeLate = updatePolls;
    };
    Frame();
    const WorkflowRun run = Drive({.recorderStarts = false, .recorderAnswers = false, .recorderRecords = false});
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Text(528), Text(532), Text(535)}));
    EXPECT_EQ(log.Count("Halvane::OnFileRecStart SUCCEEDED.\n"), 1u);
    EXPECT_TRUE(frame->WithoutVortamo);
    EXPECT_EQ(log.Count(Started(frame->Settings.DravenorExePath, "#1 -start -minimize")), 1u);
    EXPECT_EQ(StepTexts(), kSuccessTexts);
    // No waiting for the recorder's answers nor its recording.
    EXPECT_EQ(FirstCallAt(run, 401), -1);
    EXPECT_EQ(FirstCallAt(run, 701), -1);
    EXPECT_EQ(frame->GameFolder, QStringLiteral("2022-01-20\\13-46\\"));
    // The recorder could be reached: it heard the update cycle's requests.
    const int polls = updatePolls - pollsBeforeLate;
    EXPECT_GT(polls, 0);
    const QString lateReport = root.filePath("late.report");
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(lateReport).count(u"command GetState\n") >= polls; }));
    const QStringList heard = ReadFile(lateReport).split(u'\n', Qt::SkipEmptyParts);
    EXPECT_EQ(heard.count(u"command GetTime"), polls);
    EXPECT_EQ(heard.count(u"command GetState"), polls);
    for (const QString& line : heard) {
        EXPECT_FALSE(line.startsWith(u"command ExternalControlOn") || line.startsWith(u"command ResetFolder") ||
                     line.startsWith(u"command StartRecord"))
            << line.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(rec1 + "/2022-01-20"));
}

TEST_F(StartNewGameTest, ARemoteRecorderIsNotStartedAndIsLookedForOnItsComputer) {
    // 192.0.2.7 is a computer nobody answers for: the recorder cannot be found there. A
    // recorder runs on this computer all the same: it is not the one the settings name, and
    // is neither taken for it nor told anything.
    Store("VortamoIP", "192.0.2.7");
    CompanionProcess here;
    const QString hereReport = root.filePath("here.report");
    ASSERT_TRUE(here.Start("Zandrel Software/Vortamo/Vortamo", {"#1"}, root.filePath("here"),
                           {"VORTAMO_REPORT_FILE=" + hereReport}));
    ASSERT_TRUE(here.WaitForLine("ready"));
    boxes.onShow = [this] {
        if (boxes.shown.back() == LoadStringOrMark(532)) boxes.answer = BoxAnswer::No;
    };
    Frame();
    // No update cycle: its requests would go to the other computer.
    const WorkflowRun run = Drive({.recorderStarts = false, .updateCycle = false});
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(log.Count("Halvane::OnFileRecStart Vortamo is remote on '192.0.2.7': not started here, "
                        "its presence is asked of that computer.\n"),
              1u);
    EXPECT_FALSE(log.Contains(Started(frame->Settings.VortamoExePath, "#1")));
    // Probed at once and then every second, twenty times.
    for (std::int32_t s = 201; s <= 220; ++s) EXPECT_GE(FirstCallAt(run, s), 0) << s;
    EXPECT_EQ(static_cast<int>(run.steps.size()) - 1 - FirstCallAt(run, 201), 191);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Text(528), Text(532)}));
    EXPECT_FALSE(ReadFile(hereReport).contains(u"command")) << ReadFile(hereReport).toStdString();
    EXPECT_FALSE(here.HasEnded());
}

TEST_F(StartNewGameTest, FailsWhenTheRecorderDoesNotAnswer) {
    SetEnv("VORTAMO_MISBEHAVE", "silent");
    Frame();
    const WorkflowRun run = Drive({.recorderAnswers = false});
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Text(528), Text(538)}));
    EXPECT_EQ(boxes.icons.back(), BoxIcon::Error);
    EXPECT_EQ(log.Count("Halvane::OnFileRecStart ERROR - No answer from Vortamo!\n"), 1u);
    // 31 checks: 5 s after Dravenor's start, then every second.
    EXPECT_EQ(static_cast<int>(run.steps.size()) - 1 - FirstCallAt(run, 400), 350);
    EXPECT_EQ(run.steps.back(), 430);
    EXPECT_EQ(run.progress, Then({1, 2, 3, 24, 25}, 26, 55));
    EXPECT_TRUE(frame->GameFolder.isEmpty());
}

// The recorder's clock a given number of milliseconds off (beyond the 3 s it answers behind).
class ClockOffsetTest : public StartNewGameTest, public ::testing::WithParamInterface<int> {};

TEST_P(ClockOffsetTest, AcceptsUpToHalfASecondOfClockDifference) {
    const int offset = GetParam();
    const bool accepted = offset >= -500 && offset <= 500;
    SetEnv("VORTAMO_CLOCK_SKEW_MS", QString::number(offset));
    Frame();
    const WorkflowRun run = Drive({.dravenorHolds = true}, accepted ? 500 : -1);
    EXPECT_EQ(frame->Link.VortamoClockOffset, offset);
    const std::string warning =
        "Halvane::OnFileRecStart WARNING - Vortamo has too big time offset " + std::to_string(offset) + "ms!\n";
    if (accepted) {
        EXPECT_FALSE(run.ended);
        EXPECT_EQ(run.steps.back(), 500);
        EXPECT_EQ(run.progress.back(), 55);
        EXPECT_FALSE(log.Contains("too big time offset"));
        EXPECT_TRUE(WaitUntil([&] { return RecorderReport().contains(u"command ResetFolder"); }));
        EXPECT_TRUE(RecorderReport().contains(u"command ExternalControlOn"));
        EXPECT_EQ(Boxes(), std::vector<std::string>{Text(528)});
        return;
    }
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(log.Count(warning), 1u);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{
                           Text(528), "ERROR - big time difference with Vortamo PC:\r\n" + std::to_string(offset) +
                                          " ms\r\n\r\nCorrect time and try again."}));
    EXPECT_EQ(boxes.icons.back(), BoxIcon::Error);
    EXPECT_EQ(StepTexts().back(), "Stop & exit Dravenor");
    EXPECT_EQ(log.Count(Started(frame->Settings.DravenorExePath, "#1 -stop -exit")), 1u);
    // The post-play capture started for this game is told to end.
    EXPECT_TRUE(WaitForQueue("Dravenor1", false));
    EXPECT_FALSE(RecorderReport().contains(u"command ExternalControlOn"));
    EXPECT_FALSE(RecorderReport().contains(u"command ResetFolder"));
}

INSTANTIATE_TEST_SUITE_P(Offsets, ClockOffsetTest, ::testing::Values(500, -500, 501, -501),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return (info.param < 0 ? "Minus" : "Plus") + std::to_string(std::abs(info.param));
                         });

TEST_F(StartNewGameTest, AMalformedClockAnswerCountsAsNoOffsetAndIsTraced) {
    SetEnv("VORTAMO_MISBEHAVE", "bad-time");
    Frame();
    const WorkflowRun run = Drive({}, 500);
    EXPECT_FALSE(run.ended);
    EXPECT_EQ(run.steps.back(), 500);
    EXPECT_EQ(frame->Link.VortamoClockOffset, 0);
    EXPECT_FALSE(log.Contains("too big time offset"));
    EXPECT_TRUE(log.Contains("Halvane::Vortamo wrang answer for GetTime: 'GetTime 0x"));
    EXPECT_TRUE(WaitUntil([&] { return RecorderReport().contains(u"command ResetFolder"); }));
}

TEST_F(StartNewGameTest, FailsWhenHalvanesQueueCannotBeOpenedAgain) {
    Frame();
    // Another program has taken Halvane's queue name while Halvane's own queue was closed.
    frame->Link.OwnQueue = nullptr;
    frame->Link.OwnQueueObject.reset();
    frame->Link.QueueOpen = false;
    QObject holderWindow;
    std::int32_t status = 0;
    std::int32_t result = 0;
    ComponentPtr holder;
    ASSERT_EQ(frame->Link.MsgComponent->CreateQueue(status, result, QStringLiteral("Halvane"), &holderWindow, 0x400, 0,
                                                    0, holder),
              S_OK);
    ASSERT_EQ(result, 0);
    const WorkflowRun run = Drive({});
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.ticks, 2);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Text(528), Text(514)}));
    EXPECT_EQ(boxes.icons.back(), BoxIcon::Error);
    EXPECT_EQ(log.Count("Halvane::OnFileRecStart ERROR - Can't create local queue!\n"), 1u);
    EXPECT_FALSE(frame->ExecutionEnabled);
    EXPECT_TRUE(frame->Companions.Launcher().DetachedChildren().empty());
}

TEST_F(StartNewGameTest, ScoreBoardNotResetEndsTheWorkflowUnlessTheUserGoesOn) {
    SetEnv("SCOREBOARD_MISBEHAVE", "stuck");
    for (const bool goOn : {false, true}) {
        SCOPED_TRACE(goOn ? "goes on" : "declines");
        boxes.shown.clear();
        boxes.icons.clear();
        boxes.answer = BoxAnswer::Yes;
        boxes.onShow = [&] {
            if (boxes.shown.back() != LoadStringOrMark(533)) return;
            boxes.answer = goOn ? BoxAnswer::Yes : BoxAnswer::No;
            // The user takes five seconds to answer.
            clock.tick += 5000;
        };
        log.Clear();
        Frame();
        const WorkflowRun run = Drive({}, goOn ? 800 : -1);
        EXPECT_EQ(Boxes(), (std::vector<std::string>{Text(528), Text(533)}));
        const char* line = "Halvane::OnFileRecStart ERROR - Can't reset score board info - user cancel!\n";
        if (goOn) {
            EXPECT_FALSE(run.ended);
            EXPECT_EQ(log.Count(line), 0u);
            EXPECT_EQ(run.steps.back(), 800);
            EXPECT_EQ(frame->GameFolder, QStringLiteral("2022-01-20\\13-46\\"));
            EXPECT_TRUE(RecorderReport().contains(u"command StartRecord 1111111111111111 0 \\2022-01-20\\13-46\\"));
            // The recorder is first checked a second (ten ticks) after the start command,
            // which was sent when the question was answered, whatever time that took.
            const int startRecord = FirstCallAt(run, 700);
            ASSERT_GE(startRecord, 0);
            const auto firstCheck = std::find_if(run.steps.begin() + startRecord, run.steps.end(),
                                                 [](std::int32_t s) { return s != 700; });
            ASSERT_NE(firstCheck, run.steps.end());
            EXPECT_EQ(firstCheck - run.steps.begin() - startRecord, 10);
        } else {
            EXPECT_TRUE(run.ended);
            EXPECT_EQ(log.Count(line), 1u);
            EXPECT_EQ(run.steps.back(), 600);
            EXPECT_TRUE(frame->GameFolder.isEmpty());
        }
        EndCompanions();
        frame.reset();
    }
}

TEST_F(StartNewGameTest, FailsWhenTheRecorderDoesNotStartRecording) {
    SetEnv("VORTAMO_MISBEHAVE", "no-record");
    Frame();
    const WorkflowRun run = Drive({.recorderRecords = false});
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Text(528), Text(538)}));
    EXPECT_EQ(boxes.icons.back(), BoxIcon::Error);
    EXPECT_EQ(log.Count("Halvane::OnFileRecStart ERROR - Vortamo can't start recording!\n"), 1u);
    EXPECT_TRUE(RecorderReport().contains(u"command StartRecord 1111111111111111 0 \\2022-01-20\\13-46\\"));
    // 26 checks: 1 s after the start command, then every second.
    EXPECT_EQ(static_cast<int>(run.steps.size()) - 1 - FirstCallAt(run, 700), 260);
    EXPECT_EQ(run.steps.back(), 725);
    EXPECT_EQ(run.progress, Then({1, 2, 3, 24, 25, 55, 60, 65}, 66, 90));
}

TEST_F(StartNewGameTest, FailsWhenTheRefereeConsoleDoesNotSpeak) {
    SetEnv("TAMBERLO_MISBEHAVE", "silent");
    Frame();
    // What the console said before the new game does not count.
    frame->Link.KestriloSpoken = true;
    const WorkflowRun run = Drive({.consoleSpeaks = false});
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Text(528), Text(540)}));
    EXPECT_EQ(boxes.icons.back(), BoxIcon::Error);
    EXPECT_EQ(log.Count("Halvane::OnFileRecStart ERROR - no answer from Kestrilo!\n"), 1u);
    // 11 checks: 3 s after the recording started, then every 2 s.
    EXPECT_EQ(static_cast<int>(run.steps.size()) - 1 - FirstCallAt(run, 800), 230);
    EXPECT_EQ(run.steps.back(), 810);
    // (Whether the recorder's state was asked again before it recorded depends on when the
    // update cycle asked it last.)
    EXPECT_EQ(Without(run.progress, 66, 89), Then({1, 2, 3, 24, 25, 55, 60, 65, 90}, 91, 100));
    // The recording goes on: nothing is undone.
    EXPECT_TRUE(QFileInfo(rec1 + "/2022-01-20/13-46").isDir());
    EXPECT_FALSE(QFileInfo::exists(archive + "/refresh.csv"));
}

TEST_F(StartNewGameTest, AStartCommandTheRecorderRefusesNeverCountsAsRecording) {
    // The recorder records already (an earlier game's recording left running), and its
    // queue refuses every start command. Its "recording" answer from before the command
    // does not count, nor do its answers after the command, which it did not take: the
    // command is sent again at every check, and when the checks run out the workflow fails
    // as for a recorder that does not start recording.
    SetEnv("VORTAMO_MISBEHAVE", "recording,refuse-startrecord");
    Frame();
    const WorkflowRun run = Drive({.recorderRecords = false});
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Text(528), Text(538)}));
    EXPECT_EQ(log.Count("Halvane::OnFileRecStart ERROR - Vortamo can't start recording!\n"), 1u);
    EXPECT_EQ(log.Count("Halvane::OnFileRecStart SUCCEEDED.\n"), 0u);
    // Once when the start was fixed, then at each of the 25 checks before the last.
    std::size_t refused = 0;
    for (const std::string& line : log.Lines())
        refused += line.rfind("Halvane::SendMesage('Vortamo.Control' & 'StartRecord 1111111111111111 0 "
                              "\\2022-01-20\\13-46\\') to Vortamo1 ERROR",
                              0) == 0;
    EXPECT_EQ(refused, 26u);
    EXPECT_EQ(static_cast<int>(run.steps.size()) - 1 - FirstCallAt(run, 700), 260);
    EXPECT_FALSE(RecorderReport().join(u'\n').contains(u"command StartRecord"));
}

TEST_F(StartNewGameTest, AStartCommandThatFailedReachesTheRecorderAtTheNextCheck) {
    // The recorder running when the workflow starts refuses the start command; by the first
    // check a recorder that takes it has come in its place. The command is sent again then,
    // and the game starts recording.
    CompanionProcess refusing;
    ASSERT_TRUE(refusing.Start("Zandrel Software/Vortamo/Vortamo", {"#1"}, root.filePath("refusing"),
                               {"VORTAMO_MISBEHAVE=refuse-startrecord"}));
    ASSERT_TRUE(refusing.WaitForLine("ready"));
    CompanionProcess taking;
    Frame();
    const WorkflowRun run = Drive({}, -1, 1500, [&](std::int32_t step) {
        if (step != 700 || taking.Pid() > 0) return;
        refusing.Kill();
        ASSERT_TRUE(taking.Start("Zandrel Software/Vortamo/Vortamo", {"#1"}, root.filePath("taking"),
                                 {"VORTAMO_MISBEHAVE="}));
        ASSERT_TRUE(taking.WaitForLine("ready"));
    });
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Text(528), Text(535)}));
    EXPECT_EQ(log.Count("Halvane::OnFileRecStart SUCCEEDED.\n"), 1u);
    EXPECT_EQ(LinesCountStartingWith("Halvane::SendMesage('Vortamo.Control' & 'StartRecord"), 1u) << "refused once";
    EXPECT_FALSE(refusing.Output().contains(u"command StartRecord"));
    EXPECT_TRUE(taking.Output().contains(u"command StartRecord 1111111111111111 0 \\2022-01-20\\13-46\\\n"));
}

}  // namespace
}  // namespace hv::test
