// The real program, started as a user starts it: one Halvane at a time, the message when its
// Crestron port is taken, and on a virtual X display its icon in a notification area, the
// icon's menu driven with the mouse and the keyboard, and an icon that waits for a
// notification area to appear.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSettings>

#include "DesktopSupport.h"
#include "OtherUser.h"
#include "app/CommandLine.h"

using namespace hv::desktop;

namespace {

// Texts of the messages Halvane can show at start-up; a second Halvane shows none.
const char* const kStartupMessages[] = {"Can't init TCP/IP port", "Can't create queue",
                                        "UNTRANSLATED"};

class PortHolder {
public:
    explicit PortHolder(std::uint16_t port) : fd_(HoldPort(port)) {}
    ~PortHolder() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Holds() const { return fd_ >= 0; }

private:
    int fd_;
};

TEST(DesktopStart, SecondHalvaneEndsSilentlyAndOneKilledIsReplaced) {
    World world(QStringLiteral("single"));
    ASSERT_TRUE(world.IsValid());
    const std::uint16_t port = FreePort();
    ASSERT_NE(port, 0);
    world.SetSetting(QStringLiteral("Port"), port);
    // Every Halvane of this test shares one lock name; each has a folder (and log) of its own.
    const QProcessEnvironment environment = world.Environment();

    Child first;
    ASSERT_TRUE(first.Start(world.Program(QStringLiteral("first")), {}, environment));
    ASSERT_TRUE(AnswersController(first, port)) << first.ErrorText().toStdString();

    Child second;
    ASSERT_TRUE(second.Start(world.Program(QStringLiteral("second")), {}, environment));
    ASSERT_TRUE(second.process.waitForFinished(kWaitMs));
    EXPECT_EQ(second.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.process.exitCode(), 0);
    const QString errors = second.ErrorText();
    EXPECT_FALSE(errors.contains(QStringLiteral("Halvane::"))) << errors.toStdString();
    for (const char* message : kStartupMessages)
        EXPECT_FALSE(errors.contains(QLatin1StringView(message))) << errors.toStdString();
    EXPECT_TRUE(world.LogFiles(QStringLiteral("second")).isEmpty())
        << world.LogText(QStringLiteral("second")).toStdString();
    // The first one runs on, undisturbed.
    EXPECT_TRUE(first.Running());
    EXPECT_EQ(AskCrestron(port, "C0601\n"), kNoPlayPosition);

    // A Halvane that dies without cleaning up leaves nothing that blocks the next one.
    first.KillHard();
    Child third;
    ASSERT_TRUE(third.Start(world.Program(QStringLiteral("third")), {}, environment));
    EXPECT_TRUE(AnswersController(third, port)) << third.ErrorText().toStdString();
}

// The folder of another user's Halvane in `world` ("theirs"): the program (linked, so that
// its log is written there), its settings naming Crestron port `port`, its state and its
// runtime folder, all of the other user; the world's folder is opened for it to pass
// through. Empty when it could not be made.
QString MakeTheirFolder(World& world, std::uint16_t port) {
    const QString theirs = world.Path(QStringLiteral("theirs"));
    for (const char* sub : {"bin", "config/Tervanix", "state", "runtime", "home"})
        if (!QDir().mkpath(theirs + u'/' + QLatin1StringView(sub))) return {};
    {
        QSettings settings(theirs + QStringLiteral("/config/Tervanix/Halvane.conf"), QSettings::IniFormat);
        settings.setValue(QStringLiteral("Settings/Port"), port);
        settings.sync();
    }
    const QString program = theirs + QStringLiteral("/bin/Halvane");
    if (::link(QFile::encodeName(QStringLiteral(HALVANE_PROGRAM)).constData(), QFile::encodeName(program).constData()) != 0 &&
        !QFile::copy(QStringLiteral(HALVANE_PROGRAM), program))
        return {};
    // Everything theirs but the program itself (a link shares its owner with the build's).
    QStringList paths{theirs};
    QDirIterator it(theirs, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) paths << it.next();
    for (const QString& path : paths) {
        if (path == program) continue;
        if (::chown(QFile::encodeName(path).constData(), hv::test::kOtherUser, hv::test::kOtherUser) != 0) return {};
    }
    if (::chmod(QFile::encodeName(theirs + QStringLiteral("/runtime")).constData(), 0700) != 0 ||
        ::chmod(QFile::encodeName(QFileInfo(theirs).absolutePath()).constData(), 0711) != 0)
        return {};
    return theirs;
}

// Starts the real program as the other user, from its folder `theirs`, with `runtime` as its
// runtime folder and the same lock name and queue scope as this user's programs of `world`.
bool StartTheirs(World& world, Child& child, const QString& theirs, const QString& runtime) {
    const QProcessEnvironment mine = world.Environment();
    const QStringList line = hv::test::AsOtherUser(
        theirs + QStringLiteral("/home"),
        {"XDG_CONFIG_HOME=" + theirs + "/config", "XDG_CONFIG_DIRS=" + theirs + "/config",
         "XDG_STATE_HOME=" + theirs + "/state", "XDG_RUNTIME_DIR=" + runtime,
         "HALVANE_INSTANCE_NAME=" + mine.value(QStringLiteral("HALVANE_INSTANCE_NAME"))},
        theirs + QStringLiteral("/bin/Halvane"), {});
    return child.Start(line.value(0), line.mid(1), mine);
}

TEST(DesktopStart, AnotherUsersHalvaneNeitherTakesNorBlocksThisUsersLock) {
    // The real program, run as another user ("nobody") with the same lock name: pointed at
    // this user's runtime folder it cannot take the lock there (it says so in its log and
    // ends), so this user's program starts all the same; in its own runtime folder it runs
    // beside this user's, each holding its own lock.
    HV_NEEDS(hv::test::Root("runs the program as another user"));
    World world(QStringLiteral("otheruser"));
    ASSERT_TRUE(world.IsValid());
    const std::uint16_t minePort = FreePort();
    const std::uint16_t theirPort = FreePort();
    ASSERT_NE(minePort, 0);
    ASSERT_NE(theirPort, 0);
    ASSERT_NE(minePort, theirPort);
    world.SetSetting(QStringLiteral("Port"), minePort);
    const QString theirs = MakeTheirFolder(world, theirPort);
    ASSERT_FALSE(theirs.isEmpty());
    const QString myRuntime = world.Path(QStringLiteral("runtime"));
    const QString refusal = QStringLiteral("Halvane::InitInstance ERROR - can't take the single-instance lock: ");

    Child intruding;
    ASSERT_TRUE(StartTheirs(world, intruding, theirs, myRuntime));
    ASSERT_TRUE(intruding.process.waitForFinished(kWaitMs));
    EXPECT_EQ(intruding.process.exitCode(), hv::kStartFailed) << intruding.ErrorText().toStdString();
    EXPECT_EQ(world.LogText(QStringLiteral("theirs/bin")).count(refusal), 1) << world.LogText(QStringLiteral("theirs/bin")).toStdString();
    EXPECT_TRUE(QDir(myRuntime).isEmpty()) << "nothing of theirs in this user's runtime folder";

    Child mine;
    ASSERT_TRUE(mine.Start(world.Program(), {}, world.Environment()));
    ASSERT_TRUE(AnswersController(mine, minePort)) << mine.ErrorText().toStdString();

    Child theirsRunning;
    ASSERT_TRUE(StartTheirs(world, theirsRunning, theirs, theirs + QStringLiteral("/runtime")));
    EXPECT_TRUE(AnswersController(theirsRunning, theirPort)) << theirsRunning.ErrorText().toStdString()
                                                              << world.LogText(QStringLiteral("theirs/bin")).toStdString();
    EXPECT_TRUE(mine.Running());

    // And again while this user's program runs: refused there, nothing disturbed.
    Child again;
    ASSERT_TRUE(StartTheirs(world, again, theirs, myRuntime));
    ASSERT_TRUE(again.process.waitForFinished(kWaitMs));
    EXPECT_EQ(again.process.exitCode(), hv::kStartFailed) << again.ErrorText().toStdString();
    EXPECT_EQ(world.LogText(QStringLiteral("theirs/bin")).count(refusal), 2);
    EXPECT_TRUE(mine.Running());
    EXPECT_EQ(AskCrestron(minePort, "C0601\n"), kNoPlayPosition);
    EXPECT_TRUE(theirsRunning.Running());
}

// ---- on a virtual X display ----

class OnDisplay : public ::testing::Test {
protected:
    // Starts the virtual display; what is missing otherwise (for HV_NEEDS).
    hv::test::Need StartDisplay() { return StartDesktop(display_); }

    // A notification area from the desktop's own packages, in the screen's top right corner.
    // Started again when it did not come up (under load it may fail to reach a display that
    // was only just opened).
    void StartNotificationArea() {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        display_->Apply(environment);
        for (int attempt = 0; attempt < 3; ++attempt) {
            area_.process.setProcessChannelMode(QProcess::MergedChannels);
            area_.process.setStandardOutputFile(world_.Path("trayer.txt"));
            ASSERT_TRUE(area_.Start(FindTool(QStringLiteral("trayer")),
                                    {"--edge", "top", "--align", "right", "--widthtype", "pixel",
                                     "--width", "120", "--heighttype", "pixel", "--height", "24"},
                                    environment));
            bool shown = false;
            WaitUntil(
                [&] {
                    shown = display_->Tool(QStringLiteral("xdotool"),
                                           {"search", "--onlyvisible", "--class", "trayer"})
                                .has_value();
                    return shown || !area_.Running();
                },
                20000);
            if (shown) return;
            area_.KillHard();
        }
        FAIL() << "the notification area did not come up: " << Diagnosis();
    }

    void StartHalvane(std::uint16_t port) {
        port_ = port;
        world_.SetSetting(QStringLiteral("Port"), port);
        ASSERT_TRUE(halvane_.Start(world_.Program(), {}, world_.Environment(display_.get())));
    }

    QStringList Windows() const { return display_->VisibleWindowsOf(halvane_.Pid()); }
    bool IsOfType(const QString& window, const char* type) const { return display_->IsOfType(window, type); }

    // The icon: Halvane's small window that the notification area has taken in.
    QString WaitForIcon() {
        return hv::desktop::WaitForIcon(*display_, [this] { return Windows(); }, [this] { return halvane_.Running(); });
    }

    // A window of Halvane's that is not among `known` (tooltips aside).
    QString WaitForNewWindow(const QSet<QString>& known) {
        QString found;
        WaitUntil([&] {
            if (!halvane_.Running()) return true;
            for (const QString& window : Windows())
                if (!known.contains(window) && !IsOfType(window, "TOOLTIP")) {
                    found = window;
                    return true;
                }
            return false;
        });
        return found;
    }

    QSet<QString> WindowSet() const {
        const QStringList windows = Windows();
        return QSet<QString>(windows.begin(), windows.end());
    }

    bool Xdotool(const QStringList& arguments) const {
        return display_->Tool(QStringLiteral("xdotool"), arguments).has_value();
    }

    // Right-click on the icon; the menu's window, empty when none opened. The pointer then
    // leaves the menu, so that only the keyboard picks items.
    QString OpenMenu(const QString& icon) {
        const QRect place = display_->Geometry(icon);
        const QSet<QString> before = WindowSet();
        if (!Xdotool({"mousemove", QString::number(place.center().x()),
                      QString::number(place.center().y()), "click", "3"}))
            return {};
        const QString menu = WaitForNewWindow(before);
        if (!menu.isEmpty()) Xdotool({"mousemove", "5", "475"});
        return menu;
    }

    // Keys to the open menu; a key that opens a submenu waits for its window.
    bool Keys(const QStringList& keys) {
        for (const QString& key : keys) {
            const QSet<QString> before = WindowSet();
            if (!Xdotool({"key", key})) return false;
            if (key == u"Right" && WaitForNewWindow(before).isEmpty()) return false;
        }
        return true;
    }

    bool LogHas(const QString& line) const { return world_.LogText().contains(line); }
    bool WaitForLog(const QString& line) {
        return WaitUntil([&] { return LogHas(line); });
    }
    // Waits until Halvane shows no window but its icon: the menu has closed.
    bool WaitForMenuClosed(const QString& icon) {
        return WaitUntil([&] { return Windows() == QStringList{icon}; });
    }

    // What the display holds, for a failure message.
    std::string Diagnosis() {
        QString text = QStringLiteral("Halvane's windows:");
        const auto all = display_->Tool(QStringLiteral("xdotool"),
                                        {"search", "--pid", QString::number(halvane_.Pid())});
        for (const QString& window : all.value_or(QString()).split(u'\n', Qt::SkipEmptyParts)) {
            const QRect place = display_->Geometry(window);
            text += QStringLiteral("\n  %1 %2x%3+%4+%5 %6")
                        .arg(window)
                        .arg(place.width())
                        .arg(place.height())
                        .arg(place.x())
                        .arg(place.y())
                        .arg(display_->Property(window, QStringLiteral("WM_STATE")));
        }
        if (!halvane_.Running())
            text += QStringLiteral("\nHalvane ended: status %1, code %2")
                        .arg(halvane_.process.exitStatus())
                        .arg(halvane_.process.exitCode());
        text += QStringLiteral("\nHalvane's errors: ") + halvane_.ErrorText();
        text += QStringLiteral("\nHalvane's log: ") + world_.LogText();
        QFile areaOutput(world_.Path("trayer.txt"));
        if (areaOutput.open(QIODevice::ReadOnly))
            text += QStringLiteral("\nthe notification area (%1): %2")
                        .arg(area_.Running() ? "running" : "ended",
                             QString::fromUtf8(areaOutput.readAll()));
        text += QStringLiteral("\non display ") + display_->Name() + QStringLiteral(": ") +
                display_->Tool(QStringLiteral("xwininfo"), {"-root", "-children"}).value_or(QString());
        return text.toStdString();
    }

    // The screen's top right corner, where the icon and its menus are.
    static QRect IconCorner() { return QRect(240, 0, 400, 300); }

    std::unique_ptr<XDisplay> display_;
    World world_{QStringLiteral("display")};
    Child area_;
    Child halvane_;
    std::uint16_t port_ = 0;
};

TEST_F(OnDisplay, PortTakenShowsTheMessageAndHalvaneEnds) {
    HV_NEEDS(StartDisplay());
    ASSERT_TRUE(world_.IsValid());
    // A notification area is there, so an icon would show if Halvane added one.
    StartNotificationArea();
    ASSERT_FALSE(HasFatalFailure());
    const std::uint16_t port = FreePort();
    ASSERT_NE(port, 0);
    PortHolder other(port);
    ASSERT_TRUE(other.Holds());
    StartHalvane(port);

    // The message box: Halvane's only window, titled "Halvane".
    QString box;
    ASSERT_TRUE(WaitUntil([&] {
        const QStringList windows = Windows();
        if (windows.size() == 1 && IsOfType(windows[0], "DIALOG")) box = windows[0];
        return !box.isEmpty() || !halvane_.Running();
    }));
    ASSERT_FALSE(box.isEmpty()) << halvane_.ErrorText().toStdString();
    EXPECT_EQ(display_->Title(box), QStringLiteral("Halvane"));
    EXPECT_EQ(Windows(), QStringList{box});  // no icon
    EXPECT_FALSE(ProcessListensOn(halvane_.Pid(), port));
    EXPECT_TRUE(display_->Screenshot(QStringLiteral("port-taken-message.png")));

    // The user confirms; Halvane ends without having listened, its status saying that it
    // could not start.
    ASSERT_TRUE(Xdotool({"windowfocus", "--sync", box}));
    ASSERT_TRUE(Xdotool({"key", "Return"}));
    ASSERT_TRUE(halvane_.process.waitForFinished(kWaitMs));
    EXPECT_EQ(halvane_.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(halvane_.process.exitCode(), hv::kStartFailed) << halvane_.ErrorText().toStdString();
    EXPECT_FALSE(LogHas(QStringLiteral("AcceptConnection")));
}

TEST_F(OnDisplay, IconMenuAndCommands) {
    HV_NEEDS(StartDisplay());
    ASSERT_TRUE(world_.IsValid());
    StartNotificationArea();
    ASSERT_FALSE(HasFatalFailure());
    const std::uint16_t port = FreePort();
    ASSERT_NE(port, 0);
    StartHalvane(port);

    const QString icon = WaitForIcon();
    ASSERT_FALSE(icon.isEmpty()) << Diagnosis();
    ASSERT_TRUE(AnswersController(halvane_, port));

    // Resting the pointer on the icon shows its tooltip.
    const QRect place = display_->Geometry(icon);
    ASSERT_TRUE(Xdotool({"mousemove", QString::number(place.center().x()),
                         QString::number(place.center().y())}));
    QString tooltip;
    EXPECT_TRUE(WaitUntil([&] {
        for (const QString& window : Windows())
            if (IsOfType(window, "TOOLTIP")) tooltip = window;
        return !tooltip.isEmpty();
    }));
    EXPECT_TRUE(display_->Screenshot(QStringLiteral("icon-tooltip.png"), IconCorner()));

    // Right-click: the menu. The keyboard skips disabled items, so Advanced's first item
    // that can be chosen is Start while execution is off...
    ASSERT_FALSE(OpenMenu(icon).isEmpty());
    EXPECT_TRUE(display_->Screenshot(QStringLiteral("icon-menu.png"), IconCorner()));
    ASSERT_TRUE(Keys({"Down", "Down", "Down", "Down", "Down", "Right"}));
    EXPECT_TRUE(display_->Screenshot(QStringLiteral("icon-menu-advanced.png"), IconCorner()));
    ASSERT_TRUE(Keys({"Return"}));
    ASSERT_TRUE(WaitForLog(QStringLiteral("Halvane::Menu File->Start.")));
    EXPECT_FALSE(LogHas(QStringLiteral("Halvane::Menu File->Stop.")));
    ASSERT_TRUE(WaitForMenuClosed(icon));

    // ... and Stop once it is on: Start is grayed now.
    ASSERT_FALSE(OpenMenu(icon).isEmpty());
    ASSERT_TRUE(Keys({"Down", "Down", "Down", "Down", "Down", "Right"}));
    EXPECT_TRUE(
        display_->Screenshot(QStringLiteral("icon-menu-advanced-running.png"), IconCorner()));
    ASSERT_TRUE(Keys({"Return"}));
    ASSERT_TRUE(WaitForLog(QStringLiteral("Halvane::Menu File->Stop.")));
    ASSERT_TRUE(WaitForMenuClosed(icon));

    // A Debug toggle from the menu: PlayPos Log makes the play-time requests show in the log.
    ASSERT_EQ(AskCrestron(port, "C0601\n"), kNoPlayPosition);
    const QString echo = QStringLiteral(">>> Halvane::ParseCrestronCommand:'C0601'");
    EXPECT_FALSE(LogHas(echo));
    ASSERT_FALSE(OpenMenu(icon).isEmpty());
    // Advanced: Start, (Stop grayed), Settings..., Debug: Kestrilo Log, Crestron Log, PlayPos Log.
    ASSERT_TRUE(Keys({"Down", "Down", "Down", "Down", "Down", "Right", "Down", "Down", "Right",
                      "Down", "Down", "Return"}));
    ASSERT_TRUE(WaitForMenuClosed(icon));
    EXPECT_EQ(AskCrestron(port, "C0601\n"), kNoPlayPosition);
    EXPECT_TRUE(WaitForLog(echo));

    // The tick shows in the menu.
    ASSERT_FALSE(OpenMenu(icon).isEmpty());
    ASSERT_TRUE(Keys({"Down", "Down", "Down", "Down", "Down", "Right", "Down", "Down", "Right"}));
    EXPECT_TRUE(display_->Screenshot(QStringLiteral("icon-menu-debug.png"), IconCorner()));
    ASSERT_TRUE(Keys({"Escape", "Escape", "Escape"}));
    ASSERT_TRUE(WaitForMenuClosed(icon));

    // Exit ("E&xit") ends Halvane, which takes its icon away.
    ASSERT_FALSE(OpenMenu(icon).isEmpty());
    ASSERT_TRUE(Keys({"x"}));
    ASSERT_TRUE(halvane_.process.waitForFinished(kWaitMs));
    EXPECT_EQ(halvane_.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(halvane_.process.exitCode(), 0) << halvane_.ErrorText().toStdString();
    EXPECT_TRUE(LogHas(QStringLiteral("Halvane::OnDestroy()")));
    // The suite's start-up component was called at the start and again at the end.
    const QString errors = halvane_.ErrorText();
    EXPECT_TRUE(errors.contains(QStringLiteral("Zandrel.Startup: begin 0 2 0"))) << errors.toStdString();
    EXPECT_TRUE(errors.contains(QStringLiteral("Zandrel.Startup: end"))) << errors.toStdString();
}

TEST_F(OnDisplay, IconShowsUpWhenTheNotificationAreaStartsLater) {
    HV_NEEDS(StartDisplay());
    ASSERT_TRUE(world_.IsValid());
    const std::uint16_t port = FreePort();
    ASSERT_NE(port, 0);
    StartHalvane(port);
    // Running without a notification area: it serves the controller and shows nothing.
    ASSERT_TRUE(AnswersController(halvane_, port)) << halvane_.ErrorText().toStdString();
    EXPECT_TRUE(Windows().isEmpty());

    StartNotificationArea();
    ASSERT_FALSE(HasFatalFailure());
    const QString icon = WaitForIcon();
    ASSERT_FALSE(icon.isEmpty()) << Diagnosis();
    EXPECT_TRUE(halvane_.Running());
    EXPECT_TRUE(display_->Screenshot(QStringLiteral("icon-late.png"), IconCorner()));
}

// ---- the settings dialog, opened from the icon's menu and driven with the keyboard ----

class SettingsOnDisplay : public OnDisplay {
protected:
    static constexpr const char* kSetUpLine = "Zandrel.ReplayPlayer: set up";

    // Two players in the suite, a player and a recorder folder in Halvane's settings.
    void PrepareWorld() {
        QSettings suite(world_.Path("config/Tervanix/ZandrelSoftware.conf"), QSettings::IniFormat);
        suite.beginWriteArray(QStringLiteral("Players"), 2);
        const char* const names[] = {"Lumentra.Main", "Lumentra.Second"};
        for (int i = 0; i < 2; ++i) {
            suite.setArrayIndex(i);
            suite.setValue(QStringLiteral("DisplayName"), QString::fromLatin1(names[i]) + " player");
            suite.setValue(QStringLiteral("RegName"), names[i]);
            suite.setValue(QStringLiteral("Id"),
                           QStringLiteral("{11111111-2222-3333-4444-55555555555%1}").arg(i));
            suite.setValue(QStringLiteral("Param"), i);
        }
        suite.endArray();
        suite.sync();
        QDir().mkpath(world_.Path("rec1"));
        QDir().mkpath(world_.Path("rec2"));
        world_.SetSetting(QStringLiteral("PlayerRegName"), QStringLiteral("Lumentra.Main"));
        world_.SetSetting(QStringLiteral("FifoSizeMS"), 300);
        world_.SetSetting(QStringLiteral("Preroll"), 5);
        world_.SetSetting(QStringLiteral("CopyFromPathList"), world_.Path("rec1"));
    }

    // Starts the display, the notification area and Halvane; the icon, empty on failure.
    QString StartWithIcon(std::uint16_t port) {
        StartNotificationArea();
        if (HasFatalFailure()) return {};
        StartHalvane(port);
        if (HasFatalFailure()) return {};
        const QString icon = WaitForIcon();
        if (icon.isEmpty() || !AnswersController(halvane_, port)) return {};
        return icon;
    }

    // File, Advanced, Settings...: the dialog's window, empty when none opened.
    QString OpenSettings(const QString& icon) {
        if (OpenMenu(icon).isEmpty()) return {};
        if (!Keys({"Down", "Down", "Down", "Down", "Down", "Right", "Down"})) return {};
        const QSet<QString> before = WindowSet();
        if (!Xdotool({"key", "Return"})) return {};
        const QString dialog = WaitForNewWindow(before);
        if (dialog.isEmpty() || !Xdotool({"windowfocus", "--sync", dialog})) return {};
        return dialog;
    }

    // Keys to a window that has the keyboard.
    bool KeysTo(const QString& window, const QStringList& keys) {
        if (!Xdotool({"windowfocus", "--sync", window})) return false;
        for (const QString& key : keys)
            if (!Xdotool({"key", "--delay", "30", key})) return false;
        return true;
    }
    bool TypeTo(const QString& window, const QString& text) {
        return Xdotool({"windowfocus", "--sync", window}) &&
               Xdotool({"type", "--delay", "30", text});
    }
    bool WaitForWindowGone(const QString& window) {
        return WaitUntil([&] { return !Windows().contains(window) || !halvane_.Running(); }) &&
               halvane_.Running();
    }

    int PlayerSetUps() { return halvane_.ErrorText().count(QLatin1StringView(kSetUpLine)); }
    QVariant Saved(const QString& name) const {
        QSettings saved(world_.Path("config/Tervanix/Halvane.conf"), QSettings::IniFormat);
        return saved.value(QStringLiteral("Settings/") + name);
    }
    QByteArray SavedBytes() const {
        QFile file(world_.Path("config/Tervanix/Halvane.conf"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

TEST_F(SettingsOnDisplay, ChangesFromTheDialogApplyToTheRunningProgramAndCancelChangesNothing) {
    HV_NEEDS(StartDisplay());
    ASSERT_TRUE(world_.IsValid());
    PrepareWorld();
    const std::uint16_t oldPort = FreePort();
    ASSERT_NE(oldPort, 0);
    const QString icon = StartWithIcon(oldPort);
    ASSERT_FALSE(icon.isEmpty()) << Diagnosis();
    ASSERT_TRUE(WaitUntil([&] { return PlayerSetUps() == 1; })) << halvane_.ErrorText().toStdString();

    // Open, type a new port over the selected one, Tab to the rollback and type 12, Tab to
    // "Add ..." and pick a second recorder folder by a file name in it, then OK (Return).
    const QString dialog = OpenSettings(icon);
    ASSERT_FALSE(dialog.isEmpty()) << Diagnosis();
    EXPECT_EQ(display_->Title(dialog), QStringLiteral("Halvane Settings"));
    EXPECT_TRUE(display_->Screenshot(QStringLiteral("settings-dialog-en.png"),
                                     display_->Geometry(dialog)));
    std::uint16_t newPort = FreePort();
    while (newPort == oldPort || newPort == 0) newPort = FreePort();
    ASSERT_TRUE(KeysTo(dialog, {"ctrl+a"}));
    ASSERT_TRUE(TypeTo(dialog, QString::number(newPort)));
    ASSERT_TRUE(KeysTo(dialog, {"Tab", "Tab", "Tab", "Tab", "Tab", "ctrl+a"}));
    ASSERT_TRUE(TypeTo(dialog, QStringLiteral("12")));
    const QSet<QString> beforePicker = WindowSet();
    ASSERT_TRUE(KeysTo(dialog, {"Tab", "Tab", "Tab", "space"}));
    const QString picker = WaitForNewWindow(beforePicker);
    ASSERT_FALSE(picker.isEmpty()) << Diagnosis();
    ASSERT_TRUE(KeysTo(picker, {"ctrl+a"}));
    ASSERT_TRUE(TypeTo(picker, world_.Path("rec2/any.mp4")));
    ASSERT_TRUE(KeysTo(picker, {"Return"}));
    ASSERT_TRUE(WaitForWindowGone(picker)) << Diagnosis();
    ASSERT_TRUE(KeysTo(dialog, {"Return"}));
    ASSERT_TRUE(WaitForWindowGone(dialog)) << Diagnosis();

    // The controller is answered on the new port; the old one is free.
    EXPECT_TRUE(WaitForLog(QStringLiteral("Halvane::Menu File->Settings.")));
    ASSERT_TRUE(AnswersController(halvane_, newPort)) << Diagnosis();
    EXPECT_FALSE(ProcessListensOn(halvane_.Pid(), oldPort));
    EXPECT_TRUE(AskCrestron(oldPort, "C0601\n").empty());
    PortHolder oldPortFree(oldPort);
    EXPECT_TRUE(oldPortFree.Holds());
    // Neither the player nor its buffer changed: no second set-up.
    EXPECT_EQ(PlayerSetUps(), 1) << halvane_.ErrorText().toStdString();
    EXPECT_EQ(Saved(QStringLiteral("Port")).toInt(), newPort);
    EXPECT_EQ(Saved(QStringLiteral("Preroll")).toInt(), 12);
    EXPECT_EQ(Saved(QStringLiteral("CopyFromPathList")).toString(),
              world_.Path("rec1") + QLatin1Char(';') + world_.Path("rec2"));

    // Cancel (Escape) after typing another port: nothing changes.
    const QByteArray saved = SavedBytes();
    QString again = OpenSettings(icon);
    ASSERT_FALSE(again.isEmpty()) << Diagnosis();
    ASSERT_TRUE(KeysTo(again, {"ctrl+a"}));
    ASSERT_TRUE(TypeTo(again, QString::number(oldPort)));
    ASSERT_TRUE(KeysTo(again, {"Escape"}));
    ASSERT_TRUE(WaitForWindowGone(again)) << Diagnosis();
    ASSERT_TRUE(WaitForMenuClosed(icon));
    EXPECT_EQ(SavedBytes(), saved);
    EXPECT_EQ(AskCrestron(newPort, "C0601\n"), kNoPlayPosition);
    EXPECT_EQ(PlayerSetUps(), 1);

    // A larger FIFO (the next size down the list): the player is set up again with it.
    again = OpenSettings(icon);
    ASSERT_FALSE(again.isEmpty()) << Diagnosis();
    ASSERT_TRUE(KeysTo(again, {"Tab", "Tab", "Tab", "Down", "Return"}));
    ASSERT_TRUE(WaitForWindowGone(again)) << Diagnosis();
    EXPECT_TRUE(WaitUntil([&] {
        return halvane_.ErrorText().contains(QStringLiteral("Zandrel.ReplayPlayer: set up, FIFO 500 ms"));
    })) << halvane_.ErrorText().toStdString();
    EXPECT_EQ(PlayerSetUps(), 2);
    EXPECT_TRUE(WaitUntil([&] { return Saved(QStringLiteral("FifoSizeMS")).toInt() == 500; }));
    EXPECT_EQ(AskCrestron(newPort, "C0601\n"), kNoPlayPosition);
}

TEST_F(SettingsOnDisplay, TheDialogInRussian) {
    HV_NEEDS(StartDisplay());
    ASSERT_TRUE(world_.IsValid());
    PrepareWorld();
    // The language file next to the program, and Russian chosen.
    const QString program = world_.Program();
    const QString languageFile = QStringLiteral("Halvane_0x0419.lng");
    ASSERT_TRUE(QFile::copy(QFileInfo(QStringLiteral(HALVANE_PROGRAM)).dir().filePath(languageFile),
                            QFileInfo(program).dir().filePath(languageFile)));
    {
        QSettings settings(world_.Path("config/Tervanix/Halvane.conf"), QSettings::IniFormat);
        settings.setValue(QStringLiteral("Locale"), 0x0419);
    }
    const std::uint16_t port = FreePort();
    ASSERT_NE(port, 0);
    const QString icon = StartWithIcon(port);
    ASSERT_FALSE(icon.isEmpty()) << Diagnosis();

    const QString dialog = OpenSettings(icon);
    ASSERT_FALSE(dialog.isEmpty()) << Diagnosis();
    EXPECT_EQ(display_->Title(dialog), QStringLiteral("Настройки Halvane"));
    EXPECT_TRUE(display_->Screenshot(QStringLiteral("settings-dialog-ru.png"),
                                     display_->Geometry(dialog)));
    ASSERT_TRUE(KeysTo(dialog, {"Escape"}));
    ASSERT_TRUE(WaitForWindowGone(dialog)) << Diagnosis();
    EXPECT_FALSE(LogHas(QStringLiteral("Halvane::Menu File->Settings.")));
}

}  // namespace
