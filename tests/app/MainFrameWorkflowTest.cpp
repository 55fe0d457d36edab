// The frame's workflow commands and the progress dialog they open, the status the icon
// shows, the debug menu's manual recorder cycle, and a companion that outlives the frame.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QThread>
#include <QTimer>
#include <deque>

#include "OwnSystemctl.h"
#include "WorkflowTestSupport.h"
#include "platform/WindowMessages.h"
#include "res/MenuResource.h"

namespace hv {
namespace {

using test::WaitUntil;

// Probes a queue name now and then, as the workflows do, not in a busy loop: each probe
// holds the name for a moment, and a companion that finds it held keeps trying only for
// about two seconds.
bool ProbeUntil(const std::function<bool()>& probe, int timeoutMs = 10000) {
    return WaitUntil(
        [&] {
            QThread::msleep(50);
            return probe();
        },
        timeoutMs);
}

// A queue of the test's own ("Vortamo1"), keeping the second texts that arrive.
class RecorderQueue final : public QObject {
public:
    explicit RecorderQueue(const ComponentFactory& components) {
        serviceObject_ = components.CreateFor(kMessageQueueServiceClass, service_);
    }
    ~RecorderQueue() override {
        queue_ = nullptr;
        queueObject_.reset();
    }
    bool Open(const QString& name) {
        std::int32_t status = 0;
        std::int32_t result = 0;
        if (service_ == nullptr ||
            service_->CreateQueue(status, result, name, this, kMsgCompanionMessages, 0, 0, queueObject_) != S_OK ||
            result != 0)
            return false;
        queue_ = QueryInterface<IMessageQueue>(queueObject_.get());
        return queue_ != nullptr;
    }
    std::vector<QString> commands;

protected:
    bool event(QEvent* e) override {
        ReceiveWindowMessages(this);
        if (e->type() != EventTypeOf(kMsgCompanionMessages)) return QObject::event(e);
        std::int32_t count = 0;
        std::int32_t unused = 0;
        while (queue_ != nullptr && queue_->GetCount(count, unused) == S_OK && count > 0) {
            QueueMessage m;
            if (queue_->Receive(m) != S_OK || m.Values[2] != 1) break;
            if (m.Texts[2] == QLatin1StringView("Vortamo.Control")) commands.push_back(m.Texts[3]);
        }
        return true;
    }

private:
    IQueueService* service_ = nullptr;
    ComponentPtr serviceObject_;
    ComponentPtr queueObject_;
    IMessageQueue* queue_ = nullptr;
};

class MainFrameWorkflowTest : public test::FrameFixture {};

TEST_F(MainFrameWorkflowTest, EachWorkflowCommandShowsItsStatusAndRunsInTheProgressDialog) {
    CMainFrame& f = MakeFrame();
    struct Case {
        unsigned command;
        int status;
        const char* tooltip;
        const char* caption;
    } cases[] = {
        {cmd::ArchiveGame, 3, "Halvane\nSave game to archive", "Prepare Game"},
        {cmd::StartNewGame, 1, "Halvane\nStart recording", "Start Recording"},
        {cmd::StopGame, 2, "Halvane\nStop recording", "Stop Recording"},
        {cmd::StartArchivedGame, 1, "Halvane\nStart recording", "After Restore"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.caption);
        EXPECT_TRUE(f.IsCommandEnabled(c.command)) << "always enabled";
        struct {
            bool seen = false;
            QString caption;
            bool menuEnabled = true;
            bool modal = false;
            QString tooltip;
            int status = -1;
        } during;
        QTimer::singleShot(0, [&] {
            CShowProgress* dialog = f.ActiveProgress();
            if (dialog == nullptr) return;
            during = {true, dialog->windowTitle(), f.Tray.MenuEnabled(), dialog->isModal(), tray.tooltip, f.CurrentStatus};
        });
        f.OnCommand(c.command);
        ASSERT_TRUE(during.seen);
        EXPECT_EQ(during.caption, c.caption);
        EXPECT_FALSE(during.menuEnabled) << "clicks on the icon are ignored meanwhile";
        EXPECT_TRUE(during.modal);
        EXPECT_EQ(during.tooltip, c.tooltip);
        EXPECT_EQ(during.status, c.status);
        EXPECT_TRUE(f.Tray.MenuEnabled());
        EXPECT_EQ(f.ActiveProgress(), nullptr);
    }
}

TEST_F(MainFrameWorkflowTest, AnUnattendedExitDuringAWorkflowEndsTheDialogAndTheProgram) {
    CMainFrame& f = MakeFrame();
    // As the application runs the frame: its event loop ends when the frame asks to close,
    // and not because the last window closed.
    const bool quitOnLastWindow = QApplication::quitOnLastWindowClosed();
    QApplication::setQuitOnLastWindowClosed(false);
    QObject::connect(&f, &CMainFrame::CloseRequested, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    struct {
        bool seen = false;
        bool visibleAfterExit = true;
    } during;
    QTimer::singleShot(0, [&] { f.OnCommand(cmd::StartNewGame); });
    QTimer::singleShot(0, [&] {
        // Inside the dialog, before its first tick: a termination signal arrives.
        CShowProgress* dialog = f.ActiveProgress();
        if (dialog == nullptr) return;
        during.seen = true;
        f.ExitUnattended();
        during.visibleAfterExit = dialog->isVisible();
    });
    QTimer failsafe;
    QObject::connect(&failsafe, &QTimer::timeout, qApp, [] { QCoreApplication::exit(1); });
    failsafe.start(10000);
    const int result = QCoreApplication::exec();
    QApplication::setQuitOnLastWindowClosed(quitOnLastWindow);
    ASSERT_TRUE(during.seen);
    EXPECT_FALSE(during.visibleAfterExit) << "the closing frame ends its workflow's dialog";
    EXPECT_EQ(result, 0) << "the program's event loop ends";
    EXPECT_EQ(f.ActiveProgress(), nullptr);
    EXPECT_TRUE(log.Contains("Halvane::OnDestroy()\n"));
}

TEST_F(MainFrameWorkflowTest, OnlyTheFourKindsHaveAStepFunction) {
    CMainFrame& f = MakeFrame();
    CShowProgress dialog(&f, 543, 4);
    std::int32_t step = 0;
    std::uint32_t deadline = 0;
    for (int kind : {-1, 4, 100}) EXPECT_FALSE(f.RunWorkflowStep(kind, step, deadline, dialog)) << kind;
}

TEST_F(MainFrameWorkflowTest, TheStatusSetsTheTooltipAndTheIconOfEachState) {
    CMainFrame& f = MakeFrame();
    struct Case {
        int state;
        const char* tooltip;
        unsigned icon;
    } cases[] = {
        {0, "Halvane\nGame finished", 310},   {1, "Halvane\nStart recording", 311},
        {2, "Halvane\nStop recording", 312},  {3, "Halvane\nSave game to archive", 313},
        {4, "Halvane\nStopped", 315},         {5, "Halvane\nRunning", 314},
        {6, "Halvane\nCopy files (Stopped)", 317}, {7, "Halvane\nCopy files (Running)", 316},
        {8, "Halvane\nERROR state", 318},     {9, "Halvane\nUnknown state", 318},
        {-1, "Halvane\nUnknown state", 318},
    };
    for (const Case& c : cases) {
        f.SetStatus(c.state);
        EXPECT_EQ(f.CurrentStatus, c.state);
        EXPECT_EQ(tray.tooltip, c.tooltip) << c.state;
        EXPECT_EQ(f.Tray.IconResource(), c.icon) << c.state << ": an unknown state keeps the icon";
    }
}

TEST_F(MainFrameWorkflowTest, TheTestCommandDrivesTheRecorderThroughACycleOfEightSteps) {
    // Local time 14:46:27 on 20 January 2022, an hour ahead of UTC.
    clock.SetUtc(2022, 1, 20, 13, 46, 27, 500);
    clock.offsetSeconds = 3600;
    CMainFrame& f = MakeFrame();
    RecorderQueue recorder(components);
    ASSERT_TRUE(recorder.Open("Vortamo1"));
    const FileTime now = clock.UtcNow();
    const QString split = QString::asprintf("_0x%08X_0x%08X", static_cast<unsigned>(now & 0xFFFFFFFFu),
                                            static_cast<unsigned>(now >> 32));
    const QString start = "StartRecord 1111111111111111 0 \\2022-01-20\\14-46\\";
    const std::vector<QString> shown = {start,
                                        "SplitAtTime 1" + split,
                                        "SplitAtTime -1" + split,
                                        "SplitAtTime 2" + split,
                                        "SplitAtTime -2" + split,
                                        "SplitAtTime 3" + split,
                                        "SplitAtTime -3" + split,
                                        "StopRecord",
                                        start};
    for (size_t i = 0; i < shown.size(); ++i) f.OnCommand(cmd::Test);
    EXPECT_EQ(boxes.shown, shown);
    EXPECT_EQ(boxes.icons, std::vector<BoxIcon>(shown.size(), BoxIcon::Information)) << "plain boxes";
    EXPECT_EQ(f.TestStep, 1);
    EXPECT_EQ(f.GameFolder, "2022-01-20\\14-46\\");
    EXPECT_EQ(f.GameStartLocal, (CalendarTime{2022, 1, 20, 14, 46, 0, 0}));

    std::vector<QString> sent = {"ExternalControlOn", "ResetFolder"};
    sent.insert(sent.end(), shown.begin(), shown.end() - 1);
    sent.insert(sent.end(), {"ExternalControlOn", "ResetFolder", start});
    ASSERT_TRUE(WaitUntil([&] { return recorder.commands.size() >= sent.size(); }));
    EXPECT_EQ(recorder.commands, sent);
}

TEST_F(MainFrameWorkflowTest, TheCopyStatusIsSetOnlyWhenTheTooltipWouldChange) {
    CMainFrame& f = MakeFrame();
    f.GameFolder = "2022-01-20\\11-00\\";
    f.ExecutionEnabled = true;
    {
        std::lock_guard lock(f.FrameLock);
        // Not due for a minute: the worker keeps it waiting in the list.
        f.Copies.push_back(CopyItem{"src", "tgt", clock.tick + 60'000});
    }
    for (const int length : {20, 200}) {
        SCOPED_TRACE(length);
        {
            std::lock_guard lock(f.FrameLock);
            f.CurrentCopyFile = "/archive/" + QString(length, QChar(u'a'));
        }
        f.CopyPercent = 42;
        f.UpdateTheGame();
        const int set = tray.tooltipsSet;
        EXPECT_TRUE(tray.tooltip.startsWith("Halvane\nCopy files (Running)\r\n42% /archive/aaaa"));
        EXPECT_LE(tray.tooltip.size(), 127);
        f.UpdateTheGame();
        EXPECT_EQ(tray.tooltipsSet, set) << "the same text is not set again";
        f.CopyPercent = 43;
        f.UpdateTheGame();
        EXPECT_EQ(tray.tooltipsSet, set + 1);
    }
}

TEST_F(MainFrameWorkflowTest, TheDebugTogglesAndTheTestCommandLeaveTheIconsMenuFlagAlone) {
    CMainFrame& f = MakeFrame();
    std::vector<bool> duringBoxes;
    boxes.onShow = [&] { duringBoxes.push_back(f.Tray.MenuEnabled()); };
    for (const bool enabled : {false, true}) {
        for (const unsigned command : {cmd::KestriloLog, cmd::CrestronLog, cmd::PlayPosLog, cmd::Test}) {
            f.Tray.SetMenuEnabled(enabled);
            f.OnCommand(command);
            EXPECT_EQ(f.Tray.MenuEnabled(), enabled) << command;
        }
    }
    EXPECT_EQ(duringBoxes, (std::vector<bool>{false, true})) << "the Test command's box leaves it as it was";
}

TEST_F(MainFrameWorkflowTest, WithoutTheScoreBoardComponentTheFrameRestartsItsServiceThroughTheServiceManager) {
    CMainFrame& f = MakeFrame();
    scopedEnv.Set("SCOREBOARD_MISBEHAVE", "not-installed");
    EXPECT_TRUE(f.Companions.ResetScoreBoard());
    scopedEnv.Unset("SCOREBOARD_MISBEHAVE");
    EXPECT_EQ(services.calls, (std::vector<std::string>{"open", "stop Wintacore"}));
    EXPECT_EQ(sleeps, std::vector<int>{1000});
}

TEST_F(MainFrameWorkflowTest, TheServiceRestartDoesNotWaitForTheServiceManagerWhichIsReapedOnceEnded) {
    // Start new game's score board reset without the component, with a service manager
    // that does not end until the test lets it: the step returns meanwhile (after the one
    // second it gives the service, which takes no time here), and the frame's timer reaps
    // systemctl once it has ended.
    test::OwnSystemctl systemctl(root);
    useSystemServices = true;
    QString rec1, rec2, archive;
    UseArchiveFolders(rec1, rec2, archive);
    CMainFrame& f = MakeFrame();
    scopedEnv.Set("SCOREBOARD_MISBEHAVE", "not-installed");
    boxes.answer = BoxAnswer::Yes;
    CShowProgress dialog(&f, 544, kStartNewGame);
    ASSERT_TRUE(f.RunWorkflowStep(kStartNewGame, dialog.Step, dialog.Deadline, dialog));
    ASSERT_EQ(dialog.Step, 100);
    ASSERT_TRUE(f.RunWorkflowStep(kStartNewGame, dialog.Step, dialog.Deadline, dialog));
    scopedEnv.Unset("SCOREBOARD_MISBEHAVE");
    EXPECT_EQ(dialog.Step, 200);
    EXPECT_EQ(sleeps, std::vector<int>{1000});
    ASSERT_TRUE(WaitUntil([&] { return !systemctl.Called().isEmpty(); }));
    const pid_t pid = systemctl.Pid();
    EXPECT_EQ(systemctl.Called().section(u' ', 1), "--no-ask-password --no-block stop wintacore.service");
    EXPECT_TRUE(QFile::exists(QStringLiteral("/proc/%1").arg(pid))) << "still running: not waited for";

    systemctl.OpenGate();
    EXPECT_TRUE(WaitUntil([&] { return !QFile::exists(QStringLiteral("/proc/%1").arg(pid)); }))
        << "ended, and reaped by the frame's timer";
}

TEST_F(MainFrameWorkflowTest, TheGameTheTestCommandStartsIsTheOneTheCopyWorkerDescribes) {
    clock.SetUtc(2022, 1, 20, 13, 46, 27, 500);
    clock.offsetSeconds = 3600;
    const QString archive = root.filePath("archive");
    ASSERT_TRUE(QDir().mkpath(archive));
    Store("CopyToPath", archive);
    CMainFrame& f = MakeFrame();
    // A copy ends with the archive's description of the current game, written by the
    // worker. No event loop runs here, so the frame takes no lock of its own meanwhile.
    auto copyAndDescribe = [&](const QString& name, const QByteArray& game) {
        QFile source(root.filePath(name));
        ASSERT_TRUE(source.open(QIODevice::WriteOnly));
        source.write("<Periods/>");
        source.close();
        {
            std::lock_guard lock(f.FrameLock);
            f.Copies.push_back(
                CopyItem{fs::Encode(source.fileName()), fs::Encode(archive + "/" + name), clock.tick, f.CopyRoot});
        }
        QFile csv(archive + "/refresh.csv");
        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired()) {
            if (csv.open(QIODevice::ReadOnly) && csv.readAll().startsWith(game + "; ")) return;
            csv.close();
            QThread::msleep(10);
        }
        ADD_FAILURE() << "no description of " << game.constData();
    };
    f.OnCommand(cmd::Test);
    copyAndDescribe("1.xml", "2022-01-20-14-46");
    // A cycle later the command starts the next game, while the worker may be describing.
    clock.SetUtc(2022, 1, 20, 13, 52, 0, 0);
    for (int i = 0; i < 8; ++i) f.OnCommand(cmd::Test);
    ASSERT_EQ(f.TestStep, 1);
    copyAndDescribe("2.xml", "2022-01-20-14-52");
}

TEST_F(MainFrameWorkflowTest, WithTheQueueClosedTheTestCommandStillStepsAndShowsItsText) {
    CMainFrame& f = MakeFrame(false);  // not created: the queue is not open
    for (int i = 0; i < 3; ++i) f.OnCommand(cmd::Test);
    ASSERT_EQ(boxes.shown.size(), 3u);
    EXPECT_TRUE(boxes.shown[0].startsWith("StartRecord 1111111111111111 0 \\"));
    EXPECT_TRUE(boxes.shown[2].startsWith("SplitAtTime -1_0x"));
    EXPECT_EQ(f.TestStep, 2);
    EXPECT_EQ(f.Link.SendSequence, 0) << "nothing was sent";
}

TEST_F(MainFrameWorkflowTest, ACompanionThatOutlivesTheFrameDoesNotKeepTheCrestronPort) {
    CMainFrame& first = MakeFrame();
    const std::uint16_t port = PortNumber();
    first.Companions.StartCompanion(QStringLiteral(HALVANE_SUITE_SETUP_PATH "/Vortamo/Vortamo"), {"#1"},
                                    WindowShow::Hidden);
    ASSERT_EQ(first.Companions.Launcher().DetachedChildren().size(), 1u);
    const pid_t companion = first.Companions.Launcher().DetachedChildren().front();
    ASSERT_TRUE(ProbeUntil([&] { return first.Link.IsVortamoRunning(&first); }));

    frame.reset();  // Halvane ends; the recorder goes on
    Store("Port", port);
    CMainFrame& second = MakeFrame();
    EXPECT_EQ(PortNumber(), port) << "the port is free again";
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_TRUE(second.Link.IsVortamoRunning(&second));

    EXPECT_TRUE(second.Link.SendToVortamo("Exit"));
    int status = 0;
    EXPECT_TRUE(WaitUntil([&] { return ::waitpid(companion, &status, WNOHANG) == companion; }));
}

}  // namespace
}  // namespace hv
