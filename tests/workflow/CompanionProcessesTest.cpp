// Starting, finding and ending the suite's programs as real child processes, and the
// score board reset through the installed component or its service.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <cstring>
#include <functional>

#include "LogCapture.h"
#include "OwnSystemctl.h"
#include "settings/SettingsStore.h"
#include "ScopedEnvironment.h"
#include "workflow/CompanionLink.h"
#include "workflow/CompanionProcesses.h"

namespace hv {
namespace {

constexpr int kWaitMs = 20000;

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = kWaitMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(50);  // a probe holds the name for a moment: not in a busy loop
    }
    return true;
}

// True when `condition` holds at every look for `ms` (the event loop running): for what
// must not happen, looked for as long as it would take to happen.
bool Throughout(const std::function<bool()>& condition, int ms) {
    QDeadlineTimer end(ms);
    while (!end.hasExpired()) {
        if (!condition()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);
    }
    return condition();
}

// The process exists (also as a zombie) in this process's view of the system.
bool ProcessExists(pid_t pid) { return QFile::exists(QStringLiteral("/proc/%1").arg(pid)); }

// What the descriptor refers to, as the kernel names it ("socket:[1234]", a path, ...).
QString DescriptorTarget(pid_t pid, int fd) {
    const QByteArray link = QStringLiteral("/proc/%1/fd/%2").arg(pid).arg(fd).toLocal8Bit();
    char target[512];
    const ssize_t n = ::readlink(link.constData(), target, sizeof target);
    return n > 0 ? QString::fromLocal8Bit(target, static_cast<qsizetype>(n)) : QString();
}

QStringList DescriptorTargets(pid_t pid) {
    QStringList targets;
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QString& fd : fds.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot))
        targets << fd + u'=' + DescriptorTarget(pid, fd.toInt());
    return targets;
}

class RecordingServices final : public IServiceControl {
public:
    bool OpenManager() override {
        calls << QStringLiteral("open");
        return managerAvailable;
    }
    void StopService(const QString& name) override { calls << QStringLiteral("stop ") + name; }
    bool managerAvailable = true;
    QStringList calls;
};

class CompanionProcessesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        qputenv("ZANDREL_QUEUE_SCOPE", "halvane-processes-" + QByteArray::number(QCoreApplication::applicationPid()));
        qputenv("HALVANE_COMPONENT_DIR", (QCoreApplication::applicationDirPath() + "/components").toUtf8());
    }

    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        settings.SetupPath = QStringLiteral(HALVANE_SUITE_SETUP_PATH);
        ComposeExecutablePaths(settings);
        ASSERT_TRUE(QFile::exists(settings.VortamoExePath)) << settings.VortamoExePath.toStdString();
        // The stand-ins keep their state in the test's folder.
        scopedEnv.Set("TAMBERLO_STATE_DIR", dir.filePath("tamberlo").toUtf8());
        scopedEnv.Set("XDG_STATE_HOME", dir.filePath("state").toUtf8());
    }

    void TearDown() override {
        // Nothing started here outlives the test as a zombie.
        for (pid_t pid : processes.Launcher().DetachedChildren()) ::kill(pid, SIGKILL);
        EXPECT_TRUE(WaitUntil([&] {
            processes.ReapEnded();
            return processes.Launcher().DetachedChildren().empty();
        }));
    }

    bool Running(const char* name) { return !link.IsQueueNameFree(QString::fromLatin1(name), &window); }

    QTemporaryDir dir;
    // The test's environment variables, restored when the test is over.
    test::ScopedEnvironment scopedEnv;
    AppSettings settings;
    ComponentFactory components{QCoreApplication::applicationDirPath() + "/components"};
    RecordingServices services;
    std::vector<int> sleeps;
    CCompanionProcesses processes{settings, {&components, &services, [this](int ms) { sleeps.push_back(ms); }}};
    CCompanionLink link{components};
    QObject window;
    test::LogCapture log;
};

TEST_F(CompanionProcessesTest, TheCompanionTableNamesEachProgramAndHowItIsStartedAndStopped) {
    struct Row {
        CompanionId id;
        const char* queue;
        const char* start;
        const char* stop;
        WindowShow show;
    } rows[] = {
        {CompanionId::Vortamo, "Vortamo1", "#1", nullptr, WindowShow::Hidden},
        {CompanionId::Dravenor, "Dravenor1", "#1 -start -minimize", "#1 -stop -exit", WindowShow::Hidden},
        {CompanionId::Kestrilo, "Kestrilo", "-openlast", nullptr, WindowShow::Normal},
        {CompanionId::Ostrimund, nullptr, "", nullptr, WindowShow::Normal},
    };
    for (const Row& row : rows) {
        const CompanionEntry& entry = Companion(row.id);
        EXPECT_EQ(entry.Id, row.id);
        EXPECT_STREQ(entry.QueueName, row.queue);
        EXPECT_STREQ(entry.StartArgs, row.start);
        EXPECT_STREQ(entry.StopArgs, row.stop);
        EXPECT_EQ(entry.Show, row.show);
    }
    EXPECT_EQ(settings.*Companion(CompanionId::Kestrilo).ExePath, settings.TamberloExePath);
}

TEST_F(CompanionProcessesTest, EachCompanionIsStartedFoundByItsNameToldToEndAndGone) {
    ASSERT_TRUE(link.OpenQueue(&window));
    EXPECT_FALSE(processes.LaunchAsUser(settings.VortamoExePath, {"#1"}));
    EXPECT_TRUE(log.Contains("Halvane::LaunchAsUser('" + settings.VortamoExePath.toStdString() + " #1') not available"));

    processes.StartCompanion(CompanionId::Vortamo);
    processes.StartCompanion(CompanionId::Kestrilo);
    processes.StartCompanion(CompanionId::Dravenor);
    ASSERT_EQ(processes.Launcher().DetachedChildren().size(), 3u);
    for (const char* name : {"Vortamo1", "Kestrilo", "Dravenor1"})
        EXPECT_TRUE(WaitUntil([&] { return Running(name); })) << name;

    // A second start of the post-play capture leaves the running one alone.
    processes.StartCompanion(CompanionId::Dravenor);
    EXPECT_TRUE(WaitUntil([&] {
        processes.ReapEnded();
        return processes.Launcher().DetachedChildren().size() == 3u;
    }));
    EXPECT_TRUE(Running("Dravenor1"));

    const std::vector<pid_t> started = processes.Launcher().DetachedChildren();
    EXPECT_TRUE(link.SendToVortamo("Exit"));
    EXPECT_TRUE(link.SendToKestrilo("Exit"));
    processes.StopDravenor();
    for (const char* name : {"Vortamo1", "Kestrilo", "Dravenor1"})
        EXPECT_TRUE(WaitUntil([&] { return !Running(name); })) << name;
    EXPECT_TRUE(WaitUntil([&] {
        processes.ReapEnded();
        return processes.Launcher().DetachedChildren().empty();
    }));
    for (pid_t pid : started) EXPECT_FALSE(ProcessExists(pid)) << "no zombie of " << pid;
}

TEST_F(CompanionProcessesTest, APostPlayCaptureThatRefusesToEndStaysAndStopperExitsAtOnce) {
    scopedEnv.Set("DRAVENOR_MISBEHAVE", "refuse-exit");
    processes.StartCompanion(CompanionId::Dravenor);
    ASSERT_TRUE(WaitUntil([&] { return Running("Dravenor1"); }));
    processes.StopDravenor();
    // The stopper ends by itself; the holder stays.
    EXPECT_TRUE(WaitUntil([&] {
        processes.ReapEnded();
        return processes.Launcher().DetachedChildren().size() == 1u;
    }));
    // The holder has its "Exit" (the stopper's send was taken) and stays.
    EXPECT_TRUE(Throughout([&] { return Running("Dravenor1"); }, 300));
}

TEST_F(CompanionProcessesTest, AStartThatFailsIsOnlyLogged) {
    processes.StartCompanion(dir.filePath("missing"), {"#1"}, WindowShow::Hidden);
    EXPECT_TRUE(processes.Launcher().DetachedChildren().empty());
    EXPECT_TRUE(log.Contains("Halvane::StartCompanion('" + dir.filePath("missing").toStdString() + "') failed"));
}

TEST_F(CompanionProcessesTest, ACompanionInheritsNoDescriptorBeyondStandardOutputAndError) {
    // A listening socket as the Crestron port is, opened without close-on-exec.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const QString socketName = DescriptorTarget(::getpid(), listener);
    ASSERT_TRUE(socketName.startsWith("socket:[")) << socketName.toStdString();

    processes.StartCompanion(CompanionId::Vortamo);
    ASSERT_EQ(processes.Launcher().DetachedChildren().size(), 1u);
    const pid_t child = processes.Launcher().DetachedChildren().front();
    ASSERT_TRUE(WaitUntil([&] { return Running("Vortamo1"); }));
    const QStringList targets = DescriptorTargets(child);
    EXPECT_FALSE(targets.join(u' ').contains(socketName)) << targets.join(u' ').toStdString();
    EXPECT_TRUE(targets.contains(QStringLiteral("0=/dev/null"))) << targets.join(u' ').toStdString();

    // With the companion still running, the port can be taken again once closed here.
    ::close(listener);
    const int again = ::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(::bind(again, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
    ::close(again);
    ::kill(child, SIGTERM);
}

TEST_F(CompanionProcessesTest, TheStorageManagerIsWaitedForWithoutBlocking) {
    const QString closeFile = dir.filePath("close");
    scopedEnv.Set("OSTRIMUND_EXIT_FILE", closeFile.toUtf8());
    scopedEnv.Set("QT_QPA_PLATFORM", "offscreen");
    ASSERT_TRUE(processes.StartOstrimund());
    const pid_t pid = processes.OstrimundProcess();
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(Throughout([&] { return !processes.OstrimundEnded(); }, 250)) << "the window is open";
    QFile(closeFile).open(QIODevice::WriteOnly);
    EXPECT_TRUE(WaitUntil([&] { return processes.OstrimundEnded(); }));
    EXPECT_EQ(processes.OstrimundProcess(), 0);
    EXPECT_FALSE(ProcessExists(pid)) << "reaped";
    EXPECT_TRUE(processes.OstrimundEnded()) << "none is waited for";

    // Ended by a signal, as by closing its window.
    scopedEnv.Unset("OSTRIMUND_EXIT_FILE");
    ASSERT_TRUE(processes.StartOstrimund());
    EXPECT_FALSE(processes.OstrimundEnded());
    ::kill(processes.OstrimundProcess(), SIGTERM);
    EXPECT_TRUE(WaitUntil([&] { return processes.OstrimundEnded(); }));

    // A second start while one is still open: the first is no longer waited for, but it is
    // still reaped when it ends.
    ASSERT_TRUE(processes.StartOstrimund());
    const pid_t earlier = processes.OstrimundProcess();
    ASSERT_TRUE(processes.StartOstrimund());
    EXPECT_NE(processes.OstrimundProcess(), earlier);
    ::kill(earlier, SIGTERM);
    EXPECT_TRUE(WaitUntil([&] {
        processes.ReapEnded();
        return !ProcessExists(earlier);
    }));
    ::kill(processes.OstrimundProcess(), SIGTERM);
    EXPECT_TRUE(WaitUntil([&] { return processes.OstrimundEnded(); }));

    settings.OstrimundExePath = dir.filePath("missing");
    EXPECT_FALSE(processes.StartOstrimund());
    EXPECT_EQ(processes.OstrimundProcess(), 0);
}

TEST_F(CompanionProcessesTest, TheScoreBoardIsResetThroughItsComponentOrItsService) {
    struct Case {
        const char* misbehave;
        bool installed;
        bool manager;
        bool resetResult;
        bool isResetAfter;
        QStringList serviceCalls;
        std::vector<int> sleeps;
        bool logsFailedStatus;
    } cases[] = {
        {"", true, true, true, true, {}, {}, false},
        {"stuck", true, true, true, false, {}, {}, false},
        {"status-fails", true, true, true, true, {}, {}, true},
        {"not-installed", true, true, true, true, {"open", "stop Wintacore"}, {1000}, false},
        {"not-installed", true, false, false, true, {"open"}, {}, false},
        {"", false, true, true, true, {"open", "stop Wintacore"}, {1000}, false},
    };
    ComponentFactory none{dir.filePath("no-components")};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.misbehave) + (c.installed ? " installed" : " no folder") +
                     (c.manager ? "" : " no manager"));
        scopedEnv.Set("SCOREBOARD_MISBEHAVE", c.misbehave);
        services.calls.clear();
        services.managerAvailable = c.manager;
        sleeps.clear();
        log.Clear();
        CCompanionProcesses scoreBoard{settings,
                                       {c.installed ? &components : &none, &services, [this](int ms) { sleeps.push_back(ms); }}};
        EXPECT_EQ(scoreBoard.ResetScoreBoard(), c.resetResult);
        EXPECT_EQ(services.calls, c.serviceCalls);
        EXPECT_EQ(sleeps, c.sleeps);
        EXPECT_EQ(scoreBoard.IsScoreBoardReset(), c.isResetAfter);
        EXPECT_EQ(log.Contains("Halvane::IsScoreBoardReset status call failed"), c.logsFailedStatus);
    }
}

TEST_F(CompanionProcessesTest, TheSystemsServiceManagerIsAskedToStopTheServiceWithoutWaitingForIt) {
    test::OwnSystemctl systemctl(dir);
    SystemctlServiceControl system;
    EXPECT_TRUE(system.OpenManager());
    system.StopService(kScoreBoardService);
    // StopService has returned; systemctl runs on, and cannot end before its gate opens.
    ASSERT_TRUE(WaitUntil([&] { return !systemctl.Called().isEmpty(); }));
    const pid_t pid = systemctl.Pid();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(systemctl.Called().section(u' ', 1), "--no-ask-password --no-block stop wintacore.service");
    system.ReapEnded();
    EXPECT_TRUE(ProcessExists(pid)) << "systemctl has not been waited for";
    EXPECT_EQ(system.Launcher().DetachedChildren(), std::vector<pid_t>{pid});

    // Once it has ended it is reaped: no zombie stays behind.
    systemctl.OpenGate();
    EXPECT_TRUE(WaitUntil([&] {
        system.ReapEnded();
        return !ProcessExists(pid);
    }));
    EXPECT_TRUE(system.Launcher().DetachedChildren().empty());
}

// True once the process has ended but has not been reaped.
bool IsZombie(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) return false;
    const QByteArray text = stat.readAll();
    const qsizetype end = text.lastIndexOf(')');
    return end >= 0 && text.mid(end + 2, 1) == "Z";
}

TEST_F(CompanionProcessesTest, ASystemctlThatEndsWithinTheServicesSecondIsReapedByTheReset) {
    // No score board component: the reset asks the service manager to stop the service and
    // gives the service its second. A systemctl that ended within that second is reaped by
    // the reset itself, not left a zombie until the frame's next tick.
    test::OwnSystemctl systemctl(dir);
    SystemctlServiceControl system;
    ComponentFactory none{dir.filePath("no-components")};
    pid_t pid = 0;
    std::vector<int> slept;
    CCompanionProcesses scoreBoard{settings, {&none, &system, [&](int ms) {
                                                  slept.push_back(ms);
                                                  // The service's second: systemctl is let
                                                  // through and ends meanwhile.
                                                  EXPECT_TRUE(WaitUntil([&] { return !systemctl.Called().isEmpty(); }));
                                                  pid = systemctl.Pid();
                                                  systemctl.OpenGate();
                                                  EXPECT_TRUE(WaitUntil([&] { return IsZombie(pid); }));
                                              }}};
    EXPECT_TRUE(scoreBoard.ResetScoreBoard());
    EXPECT_EQ(slept, std::vector<int>{1000});
    ASSERT_GT(pid, 0);
    EXPECT_FALSE(ProcessExists(pid)) << "reaped when the second was over";
    EXPECT_TRUE(system.Launcher().DetachedChildren().empty());
}

TEST_F(CompanionProcessesTest, WithoutSystemctlThereIsNoServiceManager) {
    scopedEnv.Set("PATH", dir.filePath("nothing").toUtf8());
    SystemctlServiceControl system;
    EXPECT_FALSE(system.OpenManager());
    system.StopService(kScoreBoardService);
    EXPECT_TRUE(system.Launcher().DetachedChildren().empty());
}

}  // namespace
}  // namespace hv
