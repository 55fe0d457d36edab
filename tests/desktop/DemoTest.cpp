// The demo venue as a first user meets it: Halvane started by scripts/demo.sh (what
// scripts/run.sh starts when there are no settings and no suite) on a virtual X display
// with a notification area. The operator starts a new game from the icon's menu, a
// controller (halvane-panel) follows the sample game's periods and events, the game is
// stopped and archived, and the archive holds what the recorder wrote. The user's own
// settings folder stays untouched. Without a display, the same demo shows the sample game
// to a controller. The screenshots of the README come from this run
// (scripts/screenshots.sh copies them to docs/images).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <iostream>
#include <map>

#include "DesktopSupport.h"

using namespace hv::desktop;

namespace {

// One workflow's bound: its own waits (about 17 s, 25 s and 10 s) with room for a loaded
// machine.
constexpr int kWorkflowMs = 90000;

// A place of its own for everything of the demo: the demo's folder and a stand-in for the
// user's home and settings, which the demo must not touch.
class DemoVenue : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root_.isValid());
        for (const char* sub : {"demo", "home", "user-config", "runtime"}) QDir(root_.path()).mkpath(sub);
        QFile::setPermissions(Path("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    // The tools a test needs; the names of those missing.
    // The virtual display with its notification area; what is missing otherwise (the
    // test scripts install the tools and require the desktop: there it is a failure).
    void StartDisplay() {
        HV_NEEDS(StartDesktop(display_, {"bash"}));
        StartNotificationArea();
    }

    // The companions Halvane started run detached: after a failure they may outlive it.
    // Each is found by this test's mark in its environment and killed.
    void TearDown() override {
        if (halvane_.Running()) halvane_.KillHard();
        for (const QString& pid : CompanionsLeft()) ::kill(static_cast<pid_t>(pid.toLongLong()), SIGKILL);
    }

    // The processes, other than this test, that run with this test's mark.
    QStringList CompanionsLeft() const {
        QStringList found;
        const QByteArray mine = "HALVANE_TEST_MARK=" + unique_.toLocal8Bit();
        for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            bool number = false;
            const qint64 pid = entry.toLongLong(&number);
            if (!number || pid == QCoreApplication::applicationPid()) continue;
            QFile environ(QStringLiteral("/proc/%1/environ").arg(pid));
            if (environ.open(QIODevice::ReadOnly) && environ.readAll().split('\0').contains(mine))
                found << entry;
        }
        return found;
    }

    QString Path(const QString& relative) const { return root_.filePath(relative); }
    QString Demo(const QString& relative) const { return Path(QStringLiteral("demo/") + relative); }

    void StartNotificationArea() {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        display_->Apply(environment);
        for (int attempt = 0; attempt < 3; ++attempt) {
            area_.process.setProcessChannelMode(QProcess::MergedChannels);
            area_.process.setStandardOutputFile(Path("trayer.txt"));
            ASSERT_TRUE(area_.Start(FindTool(QStringLiteral("trayer")),
                                    {"--edge", "top", "--align", "right", "--widthtype", "pixel",
                                     "--width", "120", "--heighttype", "pixel", "--height", "24"},
                                    environment));
            if (WaitUntil(
                    [&] {
                        return !area_.Running() ||
                               display_->Tool(QStringLiteral("xdotool"),
                                              {"search", "--onlyvisible", "--class", "trayer"})
                                   .has_value();
                    },
                    20000) &&
                area_.Running())
                return;
            area_.KillHard();
        }
        FAIL() << "the notification area did not come up";
    }

    // Halvane as scripts/run.sh starts the demo: through scripts/demo.sh, with the
    // environment of a user who has no settings; only the names that keep this test apart
    // from others running at the same time are added.
    void StartDemo() {
        port_ = FreePort();
        ASSERT_NE(port_, 0);
        QProcessEnvironment environment = DemoEnvironment();
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), Path("runtime"));
        environment.insert(QStringLiteral("ZANDREL_QUEUE_SCOPE"), unique_);
        environment.insert(QStringLiteral("HALVANE_INSTANCE_NAME"), unique_);
        ASSERT_TRUE(StartDemoIn(halvane_, Path("demo"), port_, environment));
    }

    // scripts/demo.sh in `folder` with the controller port `port`.
    static bool StartDemoIn(Child& demo, const QString& folder, std::uint16_t port,
                            const QProcessEnvironment& environment) {
        return demo.Start(QStringLiteral("bash"),
                          {QStringLiteral(HALVANE_DEMO_SCRIPT), "--build", QStringLiteral(HALVANE_BUILD_FOLDER), "--dir",
                           folder, "--port", QString::number(port)},
                          environment);
    }

    // The environment of a user without settings (and, for the tests that need none, without a
    // display), marked as this test's; the demo makes its own names from its folder.
    QProcessEnvironment DemoEnvironment() const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (display_ != nullptr) {
            display_->Apply(environment);
        } else {
            for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
                environment.remove(QString::fromLatin1(name));
        }
        environment.insert(QStringLiteral("HOME"), Path("home"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), Path("user-config"));
        environment.insert(QStringLiteral("HALVANE_TEST_MARK"), unique_);
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));  // the X notification area
        for (const char* name : {"VORTAMO_MISBEHAVE", "TAMBERLO_MISBEHAVE", "TAMBERLO_SCRIPT",
                                 "DRAVENOR_MISBEHAVE", "OSTRIMUND_EXIT_FILE", "OSTRIMUND_EXIT_AFTER_MS",
                                 "VORTAMO_CLOCK_AT", "VORTAMO_CLOCK_SKEW_MS", "VORTAMO_GROW_BYTES",
                                 "HALVANE_COMPONENT_DIR", "XDG_CONFIG_DIRS", "XDG_STATE_HOME", "XDG_CACHE_HOME",
                                 "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "ZANDREL_QUEUE_SCOPE", "HALVANE_INSTANCE_NAME",
                                 "ZANDREL_QUEUE_RELAY_PORT"})
            environment.remove(QString::fromLatin1(name));
        environment.insert(QStringLiteral("LSAN_OPTIONS"),
                           QStringLiteral("suppressions=%1").arg(HALVANE_DESKTOP_LSAN_SUPPRESSIONS));
        return environment;
    }

    // Halvane itself: the demo script's child running the demo's program (the script waits
    // for it, to end the companions after it).
    qint64 HalvanePid() const {
        if (halvane_pid_ != 0 || halvane_.Pid() == 0) return halvane_pid_;
        const QString program = QFileInfo(Demo("bin/Halvane")).canonicalFilePath();
        QDir tasks(QStringLiteral("/proc/%1/task").arg(halvane_.Pid()));
        for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile children(tasks.filePath(task + QStringLiteral("/children")));
            if (!children.open(QIODevice::ReadOnly)) continue;
            for (const QByteArray& child : children.readAll().split(' ')) {
                const QString pid = QString::fromLatin1(child.trimmed());
                if (!pid.isEmpty() &&
                    QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).canonicalFilePath() == program)
                    halvane_pid_ = pid.toLongLong();
            }
        }
        return halvane_pid_;
    }
    QStringList Windows() const {
        const qint64 pid = HalvanePid();
        return pid == 0 ? QStringList() : display_->VisibleWindowsOf(pid);
    }
    QSet<QString> WindowSet() const {
        const QStringList windows = Windows();
        return QSet<QString>(windows.begin(), windows.end());
    }
    bool IsOfType(const QString& window, const char* type) const { return display_->IsOfType(window, type); }
    bool Xdotool(const QStringList& arguments) const {
        return display_->Tool(QStringLiteral("xdotool"), arguments).has_value();
    }

    QString WaitForIcon() {
        return hv::desktop::WaitForIcon(*display_, [this] { return Windows(); }, [this] { return halvane_.Running(); });
    }

    QString WaitForNewWindow(const QSet<QString>& known, int timeoutMs = kWaitMs) {
        QString found;
        WaitUntil(
            [&] {
                if (!halvane_.Running()) return true;
                for (const QString& window : Windows())
                    if (!known.contains(window) && !IsOfType(window, "TOOLTIP")) {
                        found = window;
                        return true;
                    }
                return false;
            },
            timeoutMs);
        return found;
    }

    // Right-click on the icon, then the keys; the pointer leaves the menu so that only the
    // keyboard picks. `shot` names a screenshot of the menu taken before the last key.
    bool Menu(const QStringList& keys, const QString& shot = QString()) {
        const QRect place = display_->Geometry(icon_);
        const QSet<QString> before = WindowSet();
        if (!Xdotool({"mousemove", QString::number(place.center().x()),
                      QString::number(place.center().y()), "click", "3"}))
            return false;
        if (WaitForNewWindow(before).isEmpty()) return false;
        Xdotool({"mousemove", "5", "475"});
        for (int i = 0; i < keys.size(); ++i) {
            if (i == keys.size() - 1 && !shot.isEmpty()) {
                EXPECT_TRUE(display_->Screenshot(shot, QRect(300, 0, 340, 200)));
            }
            const QSet<QString> open = WindowSet();
            if (!Xdotool({"key", keys[i]})) return false;
            if (keys[i] == u"Right" && WaitForNewWindow(open).isEmpty()) return false;
        }
        return true;
    }

    bool KeyTo(const QString& window, const QString& key) {
        return Xdotool({"windowfocus", "--sync", window}) && Xdotool({"key", key});
    }

    QString LogText(const QString& demoFolder = QString()) const {
        QString text;
        const QDir bin((demoFolder.isEmpty() ? Path("demo") : demoFolder) + QStringLiteral("/bin"));
        for (const QString& name : bin.entryList({QStringLiteral("Halvane_*.log")}, QDir::Files)) {
            QFile file(bin.filePath(name));
            if (file.open(QIODevice::ReadOnly)) text += QString::fromUtf8(file.readAll());
        }
        return text;
    }

    struct Run {
        bool succeeded = false;
        int boxes = 0;  // message boxes answered (their texts cannot be read from outside)
    };

    // Runs a workflow from the icon's menu as the operator does: Yes to its question, OK
    // to every box it shows, until its success line or an error line of its own is logged
    // and Halvane shows nothing but its icon again. The progress dialog is photographed
    // once as `shot`, the menu as `menuShot`.
    Run RunWorkflow(const QStringList& menuKeys, const QString& function, const QString& caption,
                    const QString& shot = QString(), const QString& menuShot = QString()) {
        const QString done = QStringLiteral("Halvane::%1 SUCCEEDED.").arg(function);
        const QString failed = QStringLiteral("Halvane::%1 ERROR").arg(function);
        const int doneBefore = LogText().count(done);
        const int failedBefore = LogText().count(failed);
        Run run;
        if (!Menu(menuKeys, menuShot)) {
            ADD_FAILURE() << "the menu did not open";
            return run;
        }
        bool photographed = shot.isEmpty();
        int progressTicks = 0;  // how long the progress dialog has shown
        QSet<QString> answered;
        int quietTicks = 0;
        QElapsedTimer elapsed;
        elapsed.start();
        while (elapsed.elapsed() < kWorkflowMs && halvane_.Running()) {
            const QString log = LogText();
            run.succeeded = log.count(done) > doneBefore;
            const bool ended = run.succeeded || log.count(failed) > failedBefore;
            const QStringList windows = Windows();
            for (const QString& window : windows) {
                if (window == icon_ || IsOfType(window, "TOOLTIP")) continue;
                const QString title = display_->Title(window);
                // A few seconds in, when it shows a step and some progress.
                if (title == caption && !photographed && ++progressTicks >= 40)
                    photographed = display_->Screenshot(shot, display_->Geometry(window));
                if (title == u"Halvane" && !answered.contains(window) &&
                    KeyTo(window, QStringLiteral("Return"))) {
                    answered.insert(window);
                    ++run.boxes;
                }
            }
            // Done once nothing but the icon has shown for a second after the end.
            quietTicks = ended && windows == QStringList{icon_} ? quietTicks + 1 : 0;
            if (quietTicks >= 10) return run;
            QThread::msleep(100);
        }
        ADD_FAILURE() << function.toStdString() << " did not end: " << LogText().toStdString();
        return run;
    }

    // halvane-panel, one-shot (the game start of its first answer goes with the commands
    // after it): its standard output, and its exit code in `code`. On port `port`, or the
    // demo's.
    QString Panel(const QStringList& commands, int* code = nullptr, std::uint16_t port = 0) {
        QProcess panel;
        panel.start(QStringLiteral(HALVANE_PANEL),
                    QStringList{"-p", QString::number(port != 0 ? port : port_)} + commands);
        if (!panel.waitForFinished(kWaitMs)) {
            panel.kill();
            panel.waitForFinished();
        }
        if (code != nullptr) *code = panel.exitStatus() == QProcess::NormalExit ? panel.exitCode() : -1;
        return QString::fromUtf8(panel.readAllStandardOutput() + panel.readAllStandardError());
    }

    // Files under `folder` with the given ending: path relative to `folder` -> size.
    static std::map<QString, qint64> FilesIn(const QString& folder, const QString& suffix) {
        std::map<QString, qint64> files;
        QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (path.endsWith(suffix)) files[QDir(folder).relativeFilePath(path)] = QFileInfo(path).size();
        }
        return files;
    }

    // In the build folder, on the program's file system, so that the demo can link it.
    static QString RootTemplate() {
        QDir().mkpath(QStringLiteral(HALVANE_DESKTOP_RUNS));
        return QDir(QStringLiteral(HALVANE_DESKTOP_RUNS)).filePath(QStringLiteral("demo-XXXXXX"));
    }

    QTemporaryDir root_{RootTemplate()};
    std::unique_ptr<XDisplay> display_;
    Child area_;
    Child halvane_;
    QString icon_;
    std::uint16_t port_ = 0;
    mutable qint64 halvane_pid_ = 0;
    const QString unique_ = QStringLiteral("hvdemo-%1").arg(QCoreApplication::applicationPid());
};

TEST_F(DemoVenue, AGameFromTheIconsMenuFollowedByAControllerEndsInTheArchive) {
    StartDisplay();
    if (HasFatalFailure() || IsSkipped()) return;
    StartDemo();
    ASSERT_FALSE(HasFatalFailure());
    icon_ = WaitForIcon();
    ASSERT_FALSE(icon_.isEmpty()) << halvane_.ErrorText().toStdString();

    // The demo's settings: the archive and recorder folders of its own, on the settings
    // dialog (File, Advanced, Settings...), which is closed without a change.
    ASSERT_TRUE(Menu({"Down", "Down", "Down", "Down", "Down", "Right", "Down"}));
    const QSet<QString> beforeDialog = WindowSet();
    ASSERT_TRUE(Xdotool({"key", "Return"}));
    const QString dialog = WaitForNewWindow(beforeDialog);
    ASSERT_FALSE(dialog.isEmpty());
    EXPECT_EQ(display_->Title(dialog), QStringLiteral("Halvane Settings"));
    ASSERT_TRUE(Xdotool({"windowfocus", "--sync", dialog}));
    EXPECT_TRUE(display_->Screenshot(QStringLiteral("demo-settings-dialog.png"), display_->Geometry(dialog)));
    ASSERT_TRUE(KeyTo(dialog, QStringLiteral("Escape")));
    ASSERT_TRUE(WaitUntil([&] { return Windows() == QStringList{icon_}; }));

    // Nothing yet for a controller.
    int code = -1;
    QString answer = Panel({"list"}, &code);
    EXPECT_EQ(code, 0) << answer.toStdString();
    EXPECT_TRUE(answer.contains(QStringLiteral("no game start set"))) << answer.toStdString();

    // Start new game: the companions start, the recorder records into the demo's folders.
    const Run started = RunWorkflow({"Down", "Return"}, QStringLiteral("OnFileRecStart"),
                                    QStringLiteral("Start Recording"), QStringLiteral("demo-progress.png"),
                                    QStringLiteral("demo-icon-menu.png"));
    ASSERT_TRUE(started.succeeded) << LogText().toStdString();
    EXPECT_EQ(started.boxes, 2);  // the question and the final message
    answer = Panel({"list"}, &code);
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(answer.contains(QStringLiteral("no game start set"))) << answer.toStdString();

    // The sample game plays: its first period's events, up to the first goal, reach the
    // controller.
    QString period;
    EXPECT_TRUE(WaitUntil(
        [&] {
            period = Panel({"list", "period 1"});
            return period.contains(QStringLiteral(" goal"));
        },
        kWorkflowMs))
        << period.toStdString();
    EXPECT_TRUE(period.contains(QStringLiteral("period start"))) << period.toStdString();
    EXPECT_TRUE(period.contains(QStringLiteral("blue line"))) << period.toStdString();
    std::cout << period.toStdString();
    const auto recorded = FilesIn(Demo("recorder"), QStringLiteral(".mp4"));
    EXPECT_FALSE(recorded.empty());

    // Stop the game.
    const Run stopped = RunWorkflow({"Down", "Down", "Return"}, QStringLiteral("OnFileRecStop"),
                                    QStringLiteral("Stop Recording"));
    ASSERT_TRUE(stopped.succeeded) << LogText().toStdString();
    EXPECT_EQ(stopped.boxes, 2);

    // Archive the game: refused while the copy to the archive runs ("wait finish and try
    // again"), as an operator would, then the storage manager shows and ends by itself.
    // Each attempt ends only after a quiet second with nothing but the icon shown.
    Run archived;
    for (QDeadlineTimer copied(kWorkflowMs); !archived.succeeded && !HasFailure() && !copied.hasExpired();) {
        archived = RunWorkflow({"Down", "Down", "Down", "Return"}, QStringLiteral("OnFileReset"),
                               QStringLiteral("Prepare Game"));
    }
    ASSERT_TRUE(archived.succeeded) << LogText().toStdString();
    EXPECT_EQ(archived.boxes, 2);

    // The archive: refresh.csv naming the game, and every recording of the game copied with
    // its size (the two recorder folders side by side in one game folder).
    QFile refresh(Demo("archive/refresh.csv"));
    ASSERT_TRUE(refresh.open(QIODevice::ReadOnly));
    const QString line = QString::fromLatin1(refresh.readAll());
    static const QRegularExpression game(QStringLiteral("^(\\d{4}-\\d\\d-\\d\\d)-(\\d\\d-\\d\\d); "));
    const auto named = game.match(line);
    ASSERT_TRUE(named.hasMatch()) << line.toStdString();
    const QString gameFolder = named.captured(1) + QLatin1Char('/') + named.captured(2);
    const auto inArchive = FilesIn(Demo("archive/") + gameFolder, QStringLiteral(".mp4"));
    std::map<QString, qint64> fromRecorder;
    for (const char* camera : {"cam1", "cam2"})
        for (const auto& [path, size] :
             FilesIn(Demo(QStringLiteral("recorder/%1/").arg(camera)) + gameFolder, QStringLiteral(".mp4")))
            fromRecorder[path] = size;
    EXPECT_FALSE(fromRecorder.empty());
    for (const auto& [path, size] : fromRecorder) {
        if (path.startsWith(u'-')) continue;  // before the game's first period
        ASSERT_TRUE(inArchive.count(path)) << path.toStdString();
        EXPECT_EQ(inArchive.at(path), size) << path.toStdString();
    }
    EXPECT_FALSE(FilesIn(Demo("archive/") + gameFolder, QStringLiteral(".xml")).empty());

    // After archiving, the next game can start: the controller sees no game.
    answer = Panel({"list"}, &code);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(answer.contains(QStringLiteral("no game start set"))) << answer.toStdString();

    // Exit; the demo ends the companions the workflows started, and the user's own
    // settings were never touched.
    ASSERT_TRUE(Menu({"x"}));
    ASSERT_TRUE(halvane_.process.waitForFinished(kWaitMs));
    EXPECT_EQ(halvane_.process.exitCode(), 0) << halvane_.ErrorText().toStdString();
    EXPECT_TRUE(CompanionsLeft().isEmpty()) << CompanionsLeft().join(u' ').toStdString();
    EXPECT_TRUE(QDir(Path("user-config")).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(Path("home/.config/Tervanix")));
    EXPECT_TRUE(QFileInfo::exists(Demo("config/Tervanix/Halvane.conf")));
    EXPECT_TRUE(LogText().contains(QStringLiteral("Halvane::OnDestroy()")));
}

// Exit in the middle of a game: Halvane leaves the companions of the game running (as at
// a venue, where they go on recording), but the demo ends them with Halvane, so that no
// recorder goes on filling the demo's folder.
TEST_F(DemoVenue, ExitDuringAGameEndsTheDemosCompanions) {
    StartDisplay();
    if (HasFatalFailure() || IsSkipped()) return;
    StartDemo();
    ASSERT_FALSE(HasFatalFailure());
    icon_ = WaitForIcon();
    ASSERT_FALSE(icon_.isEmpty()) << halvane_.ErrorText().toStdString();

    const Run started =
        RunWorkflow({"Down", "Return"}, QStringLiteral("OnFileRecStart"), QStringLiteral("Start Recording"));
    ASSERT_TRUE(started.succeeded) << LogText().toStdString();
    QStringList companions = CompanionsLeft();
    companions.removeAll(QString::number(halvane_.Pid()));  // the demo script
    companions.removeAll(QString::number(HalvanePid()));
    EXPECT_FALSE(companions.isEmpty());

    ASSERT_TRUE(Menu({"x"}));
    ASSERT_TRUE(halvane_.process.waitForFinished(kWaitMs));
    EXPECT_EQ(halvane_.process.exitCode(), 0) << halvane_.ErrorText().toStdString();
    EXPECT_TRUE(CompanionsLeft().isEmpty()) << CompanionsLeft().join(u' ').toStdString();
}

// Without a display: the demo resumes the game its archive names, with the referee
// console and the recorder running, and a controller sees the sample game played out.
// Ending the demo ends all of it and leaves the archive as it was.
TEST_F(DemoVenue, WithoutADisplayAControllerSeesTheSampleGame) {
    HV_NEEDS(hv::test::Tools({"bash"}));
    StartDemo();
    ASSERT_FALSE(HasFatalFailure());

    QString answer;
    EXPECT_TRUE(WaitUntil([&] {
        answer = Panel({"list", "period 3"});
        return answer.contains(QStringLiteral(" goal")) || !halvane_.Running();
    })) << answer.toStdString() << halvane_.ErrorText().toStdString();
    EXPECT_TRUE(answer.contains(QStringLiteral("periods       03"))) << answer.toStdString();
    EXPECT_TRUE(answer.contains(QStringLiteral("score         02:01"))) << answer.toStdString();
    EXPECT_TRUE(QFileInfo::exists(Demo("archive/refresh.csv")));
    // Halvane's questions to the recorder are answered.
    EXPECT_FALSE(LogText().contains(QStringLiteral("to Vortamo1 ERROR"))) << LogText().toStdString();

    // As Ctrl+C or kill of scripts/run.sh: the script ends Halvane and the companions.
    halvane_.process.terminate();
    ASSERT_TRUE(halvane_.process.waitForFinished(kWaitMs));
    EXPECT_EQ(halvane_.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(halvane_.process.exitCode(), 0) << halvane_.ErrorText().toStdString();
    EXPECT_TRUE(LogText().contains(QStringLiteral("Halvane::OnDestroy()")));
    EXPECT_TRUE(CompanionsLeft().isEmpty()) << CompanionsLeft().join(u' ').toStdString();
    EXPECT_FALSE(QFileInfo::exists(Demo("archive/refresh.csv")));
    EXPECT_TRUE(QDir(Path("user-config")).isEmpty());
}

// Without a session's runtime folder (a container shell, su, ssh without a session) the
// demo gives Halvane and the stand-ins a runtime folder of its own, in its folder: their
// queues and locks are there, Qt does not fall back to one in the temporary folder, and
// nothing is written outside the demo's folder (the home and temporary folders stay empty).
TEST_F(DemoVenue, WithoutARuntimeFolderTheDemoKeepsToItsFolder) {
    HV_NEEDS(hv::test::Tools({"bash"}));
    ASSERT_TRUE(QDir(root_.path()).mkpath(QStringLiteral("tmp")));
    port_ = FreePort();
    ASSERT_NE(port_, 0);
    QProcessEnvironment environment = DemoEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), Path("tmp"));
    ASSERT_TRUE(StartDemoIn(halvane_, Path("demo"), port_, environment));

    QString answer;
    EXPECT_TRUE(WaitUntil([&] {
        answer = Panel({"list", "period 3"});
        return answer.contains(QStringLiteral(" goal")) || !halvane_.Running();
    })) << answer.toStdString() << halvane_.ErrorText().toStdString();
    EXPECT_FALSE(LogText().contains(QStringLiteral("to Vortamo1 ERROR"))) << LogText().toStdString();
    struct stat run {};
    ASSERT_EQ(::stat(QFile::encodeName(Demo("run")).constData(), &run), 0);
    EXPECT_EQ(run.st_mode & 0777, 0700u);
    EXPECT_TRUE(QFileInfo(Demo("run/zandrel-queues")).isDir());
    EXPECT_FALSE(QDir(Demo("run")).entryList({QStringLiteral("Halvane-demo-*.lock")}, QDir::Files).isEmpty());

    halvane_.process.terminate();
    ASSERT_TRUE(halvane_.process.waitForFinished(kWaitMs));
    EXPECT_EQ(halvane_.process.exitCode(), 0) << halvane_.ErrorText().toStdString();
    EXPECT_TRUE(CompanionsLeft().isEmpty()) << CompanionsLeft().join(u' ').toStdString();
    const auto everything = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System;
    EXPECT_TRUE(QDir(Path("home")).entryList(everything).isEmpty()) << QDir(Path("home")).entryList(everything).join(u' ').toStdString();
    EXPECT_TRUE(QDir(Path("tmp")).entryList(everything).isEmpty()) << QDir(Path("tmp")).entryList(everything).join(u' ').toStdString();
    EXPECT_TRUE(QDir(Path("user-config")).isEmpty());
    EXPECT_FALSE(halvane_.ErrorText().contains(QStringLiteral("XDG_RUNTIME_DIR"))) << halvane_.ErrorText().toStdString();
}

// Two demos of one user, in one session (one runtime folder), in two folders run side by
// side: each has names of its own, made from its folder. A second demo in a folder where
// one runs says so, and where, and ends without touching the one that runs.
TEST_F(DemoVenue, TwoDemosInTwoFoldersButNotTwoInOne) {
    HV_NEEDS(hv::test::Tools({"bash"}));
    port_ = FreePort();
    const std::uint16_t secondPort = FreePort();
    ASSERT_NE(port_, 0);
    ASSERT_NE(secondPort, 0);
    ASSERT_NE(port_, secondPort);
    QProcessEnvironment environment = DemoEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), Path("runtime"));
    Child second;
    ASSERT_TRUE(StartDemoIn(halvane_, Path("demo"), port_, environment));
    ASSERT_TRUE(StartDemoIn(second, Path("demo2"), secondPort, environment));
    for (const std::uint16_t port : {port_, secondPort}) {
        QString answer;
        EXPECT_TRUE(WaitUntil([&] {
            answer = Panel({"list", "period 3"}, nullptr, port);
            return answer.contains(QStringLiteral(" goal")) || !halvane_.Running() || !second.Running();
        })) << port << answer.toStdString() << halvane_.ErrorText().toStdString() << second.ErrorText().toStdString();
    }
    EXPECT_TRUE(halvane_.Running());
    EXPECT_TRUE(second.Running());

    Child third;
    ASSERT_TRUE(StartDemoIn(third, Path("demo"), FreePort(), environment));
    ASSERT_TRUE(third.process.waitForFinished(kWaitMs));
    EXPECT_EQ(third.process.exitCode(), 1);
    const QString demoFolder = QDir(Path("demo")).absolutePath();
    EXPECT_TRUE(third.ErrorText().contains(QStringLiteral("demo.sh: a demo already runs in ") + demoFolder))
        << third.ErrorText().toStdString();
    EXPECT_TRUE(halvane_.Running());
    // Both demos that run still answer their controllers with their game.
    for (const std::uint16_t port : {port_, secondPort}) {
        int code = -1;
        const QString answer = Panel({"list", "period 3"}, &code, port);
        EXPECT_EQ(code, 0) << port << answer.toStdString();
        EXPECT_TRUE(answer.contains(QStringLiteral(" goal"))) << port << answer.toStdString();
    }

    for (Child* demo : {&halvane_, &second}) {
        demo->process.terminate();
        ASSERT_TRUE(demo->process.waitForFinished(kWaitMs));
        EXPECT_EQ(demo->process.exitCode(), 0) << demo->ErrorText().toStdString();
    }
    EXPECT_TRUE(CompanionsLeft().isEmpty()) << CompanionsLeft().join(u' ').toStdString();
}

}  // namespace
