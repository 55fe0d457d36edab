// The frame's Settings command with the real dialog (driven inside its modal loop): what
// OK applies to the running program and saves, what Cancel leaves alone, the question
// while command execution is on, and the game timer and icon menu meanwhile.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <thread>

#include "FrameTestSupport.h"
#include "res/MenuResource.h"
#include "settings/SettingsDlg.h"

inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace hv {
namespace {

using test::Controller;

// A listening socket on a port of the system's choosing; closed with the object.
class HeldPort {
public:
    HeldPort() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(fd_, 1) == 0) {
            socklen_t length = sizeof address;
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
            port_ = ntohs(address.sin_port);
        }
    }
    ~HeldPort() { Release(); }
    void Release() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    std::uint16_t Port() const { return port_; }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// A port nobody listens on right now.
std::uint16_t FreePort() {
    HeldPort held;
    return held.Port();
}

class MainFrameSettingsTest : public test::FrameFixture {
protected:
    // The next settings dialog gets `act` once its modal loop runs.
    void WhenDialogOpens(std::function<void(CSettingsDlg&)> act) {
        auto* poll = new QTimer;
        poll->setInterval(10);
        QObject::connect(poll, &QTimer::timeout, [this, poll, act = std::move(act)] {
            auto* dialog = qobject_cast<CSettingsDlg*>(QApplication::activeModalWidget());
            if (dialog == nullptr || !dialog->isVisible()) return;
            poll->stop();
            poll->deleteLater();
            ++opened;
            // Should the test's steps leave it open, it is cancelled in the end.
            QTimer::singleShot(20000, dialog, &QDialog::reject);
            act(*dialog);
        });
        poll->start();
    }
    template <class Widget>
    static Widget* Get(CSettingsDlg& dialog, int id) {
        auto* widget = qobject_cast<Widget*>(dialog.Control(id));
        EXPECT_NE(widget, nullptr) << "control " << id;
        return widget;
    }
    static void Ok(CSettingsDlg& dialog) { dialog.findChild<QPushButton*>("1")->click(); }
    static void Cancel(CSettingsDlg& dialog) { dialog.findChild<QPushButton*>("2")->click(); }

    void RunSettings() { frame->OnCommand(cmd::Settings); }

    // The players the suite lists from now on.
    void SetPlayers(const QStringList& regNames) {
        QSettings suite(root.filePath("user/Tervanix/ZandrelSoftware.conf"), QSettings::IniFormat);
        suite.remove("Players");
        suite.beginWriteArray("Players", static_cast<int>(regNames.size()));
        for (int i = 0; i < regNames.size(); ++i) {
            suite.setArrayIndex(i);
            suite.setValue("DisplayName", regNames[i] + " player");
            suite.setValue("RegName", regNames[i]);
            suite.setValue("Id", QStringLiteral("{11111111-2222-3333-4444-55555555555%1}").arg(i));
            suite.setValue("Param", i);
        }
        suite.endArray();
    }

    QString ConfigFile() const { return root.filePath("user/Tervanix/Halvane.conf"); }
    QVariant Saved(const char* name) const {
        QSettings saved(ConfigFile(), QSettings::IniFormat);
        return saved.value(QStringLiteral("Settings/") + name);
    }
    QByteArray ConfigBytes() const {
        QFile file(ConfigFile());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    int opened = 0;
};

TEST_F(MainFrameSettingsTest, OkAppliesTheNewValuesRestartsOnlyThePortAndSaves) {
    Store("CopyFromPathList", "/rec/one");
    Store("VortamoIP", "10.0.0.7");
    CMainFrame& f = MakeFrame();
    const std::uint16_t oldPort = PortNumber();
    {
        Controller before(oldPort);
        ASSERT_TRUE(before.Connected());
        ASSERT_EQ(before.Ask("C0601").substr(0, 5), "M0601");
    }
    f.Link.VortamoHost.clear();
    const std::uint16_t newPort = FreePort();
    ASSERT_NE(newPort, 0);
    ASSERT_NE(newPort, oldPort);
    log.Clear();

    WhenDialogOpens([&](CSettingsDlg& dialog) {
        EXPECT_FALSE(f.HasTimer(CMainFrame::kGameTimerId)) << "no game update while the dialog is open";
        EXPECT_FALSE(f.Tray.MenuEnabled());
        // Any new set-up of the player would fail from now on, with a message.
        SetPlayers({});
        Get<QSpinBox>(dialog, CSettingsDlg::kPort)->setValue(newPort);
        Get<QSpinBox>(dialog, CSettingsDlg::kPreroll)->setValue(12);
        Get<QCheckBox>(dialog, CSettingsDlg::kAutostart)->click();
        Get<QCheckBox>(dialog, CSettingsDlg::kUseGameTime)->click();
        files.answers = {"/rec/two/any.mp4"};
        Get<QPushButton>(dialog, CSettingsDlg::kAdd)->click();
        Ok(dialog);
    });
    RunSettings();

    EXPECT_EQ(opened, 1);
    EXPECT_TRUE(boxes.shown.empty()) << boxes.shown.front().toStdString();
    EXPECT_TRUE(f.Player.HasComponent()) << "the player was not set up again";
    EXPECT_EQ(f.Settings.Port, newPort);
    EXPECT_EQ(f.Settings.Preroll, 12);
    EXPECT_EQ(f.Settings.CopyFromPathList, "/rec/one;/rec/two");
    EXPECT_EQ(f.Link.VortamoHost, "10.0.0.7");
    EXPECT_TRUE(f.Settings.Autostart);
    EXPECT_TRUE(QFile::exists(root.filePath("autostart/Halvane.desktop")));
    EXPECT_FALSE(f.Settings.UseGameTime);
    EXPECT_FALSE(f.Port.UseGameTime) << "the Crestron thread reads the port's flag";
    EXPECT_TRUE(f.HasTimer(CMainFrame::kGameTimerId));
    EXPECT_TRUE(f.Tray.MenuEnabled());
    EXPECT_TRUE(log.Contains("Halvane::Menu File->Settings.\n"));
    EXPECT_TRUE(log.Contains("Halvane::ClosePort"));

    // The controller is answered on the new port; the old one is free.
    EXPECT_EQ(f.Port.ListeningPort(), newPort);
    Controller after(newPort);
    ASSERT_TRUE(after.Connected());
    EXPECT_EQ(after.Ask("C0601").substr(0, 5), "M0601");
    EXPECT_FALSE(Controller(oldPort).Connected());

    EXPECT_EQ(Saved("Port").toInt(), newPort);
    EXPECT_EQ(Saved("Preroll").toInt(), 12);
    EXPECT_EQ(Saved("CopyFromPathList").toString(), "/rec/one;/rec/two");
    EXPECT_EQ(Saved("VortamoIP").toString(), "10.0.0.7");
    EXPECT_EQ(Saved("UseGameTime").toInt(), 0);
}

TEST_F(MainFrameSettingsTest, OkWithoutChangesRestartsNothingAndStillHandsOverAndSaves) {
    Store("VortamoIP", "rec-host");
    CMainFrame& f = MakeFrame();
    const std::uint16_t port = PortNumber();
    f.Link.VortamoHost.clear();
    {
        QSettings machine(root.filePath("user/Tervanix/Ferrolith.conf"), QSettings::IniFormat);
        machine.setValue("Settings/VortamoControl", 0);
    }
    log.Clear();
    WhenDialogOpens([this](CSettingsDlg& dialog) {
        SetPlayers({});  // a new set-up of the player would fail, with a message
        Ok(dialog);
    });
    // The fixture's port 0 (any free port) is outside the dialog's range and would come
    // back as 1: the setting is made the number actually listened on.
    f.Settings.Port = port;
    RunSettings();

    EXPECT_EQ(opened, 1);
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_TRUE(f.Player.HasComponent());
    EXPECT_FALSE(log.Contains("Halvane::ClosePort"));
    EXPECT_EQ(f.Port.ListeningPort(), port);
    EXPECT_EQ(f.Link.VortamoHost, "rec-host");
    QSettings machine(root.filePath("user/Tervanix/Ferrolith.conf"), QSettings::IniFormat);
    EXPECT_EQ(machine.value("Settings/VortamoControl").toInt(), 1);
    EXPECT_EQ(machine.value("Settings/VortamoServer").toString(), "rec-host");
    EXPECT_EQ(Saved("Port").toInt(), port);
    EXPECT_EQ(Saved("FifoSizeMS").toInt(), 300);
    EXPECT_EQ(Saved("DefPeriodNumber").toInt(), 50);
}

TEST_F(MainFrameSettingsTest, APlayerOrFifoChangeSetsThePlayerUpAgain) {
    struct Case {
        const char* name;
        int storedFifo;
        int chosenFifoIndex;  // -1: leave
        int chosenPlayer;     // -1: leave
        const char* message;  // the set-up fails: the player list no longer has it
    };
    const Case cases[] = {
        {"fifo", 300, 3, -1,
         "Can't init Lumentra player!\nPlayer name 'Lumentra.Main'  fifo size 500ms,\n"
         "Error=-2147024891 on step=3."},
        {"player", 300, -1, 1,
         "Can't init Lumentra player!\nPlayer name 'Lumentra.Second'  fifo size 300ms,\n"
         "Error=-2147024891 on step=3."},
        // A size the dialog does not offer is shown as the next smaller one, and OK
        // without changes stores that one.
        {"unoffered size", 400, -1, -1,
         "Can't init Lumentra player!\nPlayer name 'Lumentra.Main'  fifo size 300ms,\n"
         "Error=-2147024891 on step=3."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetPlayers({"Lumentra.Main", "Lumentra.Second"});
        Store("FifoSizeMS", c.storedFifo);
        Store("PlayerRegName", "Lumentra.Main");
        boxes.shown.clear();
        boxes.icons.clear();
        CMainFrame& f = MakeFrame();
        ASSERT_TRUE(f.Player.HasComponent());
        WhenDialogOpens([&](CSettingsDlg& dialog) {
            if (c.chosenFifoIndex >= 0)
                Get<QComboBox>(dialog, CSettingsDlg::kFifoSize)->setCurrentIndex(c.chosenFifoIndex);
            if (c.chosenPlayer >= 0)
                Get<QComboBox>(dialog, CSettingsDlg::kPlayer)->setCurrentIndex(c.chosenPlayer);
            SetPlayers({"Lumentra.Other"});
            Ok(dialog);
        });
        f.Settings.Port = PortNumber();
        RunSettings();
        ASSERT_EQ(boxes.shown.size(), 1U);
        EXPECT_EQ(boxes.shown[0], QString::fromUtf8(c.message));
        EXPECT_EQ(boxes.icons[0], BoxIcon::Warning);
        EXPECT_FALSE(f.Player.HasComponent());
        // The other values stay applied and everything is saved.
        EXPECT_EQ(Saved("PlayerRegName").toString(), f.Settings.PlayerRegName);
        EXPECT_EQ(Saved("FifoSizeMS").toInt(), f.Settings.FifoSizeMS);
    }
}

TEST_F(MainFrameSettingsTest, ANewPortThatCannotBeOpenedShows513OnceAndIsSavedAnyway) {
    CMainFrame& f = MakeFrame();
    HeldPort taken;
    ASSERT_NE(taken.Port(), 0);
    WhenDialogOpens([&](CSettingsDlg& dialog) {
        Get<QSpinBox>(dialog, CSettingsDlg::kPort)->setValue(taken.Port());
        Ok(dialog);
    });
    RunSettings();
    ASSERT_EQ(boxes.shown.size(), 1U);
    EXPECT_EQ(boxes.shown[0], QStringLiteral("Can't init TCP/IP port #%1 for Crestron interaction!\n"
                                             "Error=%2 on step=3.").arg(taken.Port()).arg(EADDRINUSE));
    EXPECT_EQ(boxes.icons[0], BoxIcon::Warning);
    EXPECT_EQ(f.Settings.Port, taken.Port());
    EXPECT_EQ(Saved("Port").toInt(), taken.Port());
    EXPECT_EQ(f.Port.ListeningPort(), 0);
    EXPECT_TRUE(f.HasTimer(CMainFrame::kGameTimerId));
}

TEST_F(MainFrameSettingsTest, WhileExecutionIsOnTheCommandAsksFirst) {
    CMainFrame& f = MakeFrame();
    const std::int32_t port = f.Settings.Port;
    f.ExecutionEnabled = true;

    // No: no dialog, execution stays on, the timer keeps running.
    boxes.answer = BoxAnswer::No;
    WhenDialogOpens([](CSettingsDlg& dialog) { Cancel(dialog); });
    RunSettings();
    ASSERT_EQ(boxes.shown.size(), 1U);
    EXPECT_EQ(boxes.shown[0], "Stop execution before run the settings dialog!\n\n"
                              "Do you want stop execution right now?");
    EXPECT_EQ(boxes.icons[0], BoxIcon::Warning);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(opened, 0);
    EXPECT_TRUE(f.ExecutionEnabled);
    EXPECT_TRUE(f.HasTimer(CMainFrame::kGameTimerId));
    EXPECT_TRUE(f.Tray.MenuEnabled());

    // Yes, then Cancel: execution is off, nothing else changed, the timer runs again.
    const QByteArray savedBefore = ConfigBytes();
    boxes.answer = BoxAnswer::Yes;
    RunSettings();  // the pending driver from above takes this dialog
    EXPECT_EQ(opened, 1);
    EXPECT_FALSE(f.ExecutionEnabled);
    EXPECT_EQ(f.Settings.Port, port);
    EXPECT_EQ(ConfigBytes(), savedBefore);
    EXPECT_FALSE(log.Contains("Halvane::Menu File->Settings."));
    EXPECT_TRUE(f.HasTimer(CMainFrame::kGameTimerId));
    EXPECT_TRUE(f.Tray.MenuEnabled());

    // Cancel after changes: still nothing changes.
    WhenDialogOpens([&](CSettingsDlg& dialog) {
        Get<QSpinBox>(dialog, CSettingsDlg::kPreroll)->setValue(42);
        Get<QCheckBox>(dialog, CSettingsDlg::kDeleteCopied)->click();
        Cancel(dialog);
    });
    RunSettings();
    EXPECT_EQ(opened, 2);
    EXPECT_EQ(f.Settings.Preroll, 5);
    EXPECT_FALSE(f.Settings.DeleteCopiedFiles);
    EXPECT_EQ(ConfigBytes(), savedBefore);
}

TEST_F(MainFrameSettingsTest, AFrameClosedWhileTheDialogIsOpenDoesNotStartItsTimerAgain) {
    // A termination signal closes the frame unattended while the dialog is open; the
    // dialog then ends, by either button.
    for (const bool ok : {false, true}) {
        SCOPED_TRACE(ok ? "OK" : "Cancel");
        CMainFrame& f = MakeFrame();
        ASSERT_TRUE(f.HasTimer(CMainFrame::kGameTimerId));
        f.Settings.Port = PortNumber();
        WhenDialogOpens([&](CSettingsDlg& dialog) {
            f.ExitUnattended();
            ok ? Ok(dialog) : Cancel(dialog);
        });
        RunSettings();
        EXPECT_EQ(opened, ok ? 2 : 1);
        EXPECT_TRUE(log.Contains("Halvane::OnDestroy()"));
        EXPECT_FALSE(f.HasTimer(CMainFrame::kGameTimerId));
    }
}

// The settings the copy worker reads under FrameLock.
struct CopySettings {
    QString VortamoIP, CopyToPath, CopyFromPathList;
    bool DeleteCopiedFiles = false;
    int CopyRateLimit_MBperSEC = 0, DefPeriodNumber = 0;

    static CopySettings Of(const AppSettings& s) {
        return {s.VortamoIP, s.CopyToPath, s.CopyFromPathList, s.DeleteCopiedFiles,
                s.CopyRateLimit_MBperSEC, s.DefPeriodNumber};
    }
    bool operator==(const CopySettings&) const = default;
};

void PrintTo(const CopySettings& c, std::ostream* out) {
    *out << c.VortamoIP.toStdString() << " | " << c.CopyToPath.toStdString() << " | "
         << c.CopyFromPathList.toStdString() << " | " << c.DeleteCopiedFiles << " | "
         << c.CopyRateLimit_MBperSEC << " | " << c.DefPeriodNumber;
}

TEST_F(MainFrameSettingsTest, TheCopyWorkerSeesAllOfTheNewCopySettingsOrNone) {
    Store("VortamoIP", "old-host");
    Store("CopyToPath", "/old/archive/");
    Store("CopyFromPathList", "/old/rec");
    CMainFrame& f = MakeFrame();
    const CopySettings before = CopySettings::Of(f.Settings);
    const CopySettings after{"new-host", "/new/archive/", "/new/rec", true, 20, 60};
    ASSERT_EQ(before, (CopySettings{"old-host", "/old/archive/", "/old/rec", false, 10, 50}));

    // A hold of FrameLock that outlasts OK, as the copy worker's might: the apply waits for
    // it, and what it changes before waiting must not be any of the copy settings.
    std::atomic<bool> held{false};
    std::atomic<bool> applyReachedTheLock{false};
    CopySettings seenWhileHeld;
    std::thread worker;
    const auto holdTheLock = [&] {
        std::unique_lock lock(f.FrameLock);
        held = true;
        // UseGameTime is the last thing the apply changes before the copy settings.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (f.Port.UseGameTime && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        applyReachedTheLock = !f.Port.UseGameTime;
        seenWhileHeld = CopySettings::Of(f.Settings);
    };

    // The player's and the port's messages come after the copy settings were replaced: by
    // then the whole change must be there.
    HeldPort taken;
    ASSERT_NE(taken.Port(), 0);
    std::vector<CopySettings> seenAtMessages;
    boxes.onShow = [&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::unique_lock lock(f.FrameLock, std::defer_lock);
        while (!lock.try_lock() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(lock.owns_lock()) << "FrameLock is held while a message is shown";
        seenAtMessages.push_back(CopySettings::Of(f.Settings));
    };

    WhenDialogOpens([&](CSettingsDlg& dialog) {
        files.answers = {"/new/archive/any.mp4", "/new/rec/any.mp4"};
        Get<QPushButton>(dialog, CSettingsDlg::kBrowseTo)->click();
        Get<QPushButton>(dialog, CSettingsDlg::kRemove)->click();
        Get<QPushButton>(dialog, CSettingsDlg::kAdd)->click();
        Get<QLineEdit>(dialog, CSettingsDlg::kRemoteAddress)->setText("new-host");
        Get<QCheckBox>(dialog, CSettingsDlg::kDeleteCopied)->click();
        Get<QSpinBox>(dialog, CSettingsDlg::kRateLimit)->setValue(20);
        Get<QSpinBox>(dialog, CSettingsDlg::kPeriodNumber)->setValue(60);
        Get<QCheckBox>(dialog, CSettingsDlg::kUseGameTime)->click();
        // A new FIFO size with a player list that no longer has the player; a taken port.
        Get<QComboBox>(dialog, CSettingsDlg::kFifoSize)->setCurrentIndex(3);
        SetPlayers({"Lumentra.Other"});
        Get<QSpinBox>(dialog, CSettingsDlg::kPort)->setValue(taken.Port());
        worker = std::thread(holdTheLock);
        ASSERT_TRUE(test::WaitUntil([&] { return held.load(); }));
        Ok(dialog);
    });
    RunSettings();
    if (worker.joinable()) worker.join();

    EXPECT_TRUE(applyReachedTheLock) << "the apply did not get as far as the copy settings";
    EXPECT_EQ(seenWhileHeld, before);
    ASSERT_EQ(boxes.shown.size(), 2U);  // the player's and the port's
    EXPECT_EQ(seenAtMessages, (std::vector<CopySettings>{after, after}));
    EXPECT_EQ(CopySettings::Of(f.Settings), after);
    // The archive root is kept with its separator, as the copy planning uses it.
    EXPECT_EQ(Saved("CopyToPath").toString(), "/new/archive/");
    EXPECT_EQ(Saved("CopyFromPathList").toString(), "/new/rec");
}

TEST(SettingsNormalising, CopySettingsAreBroughtIntoTheirRanges) {
    struct Case {
        int rate, period;
        const char* to;
        int keptRate, keptPeriod;
        const char* keptTo;
    };
    const Case cases[] = {
        {0, -1, "/arch", 1, 0, "/arch/"},
        {500, 1000, "/arch/", 99, 999, "/arch/"},
        {10, 50, "", 10, 50, ""},
        {-3, 999, "/", 1, 999, "/"},
        {99, 0, "ab", 99, 0, "ab/"},
        {1, 7, "a", 1, 7, "a"},
    };
    for (const Case& c : cases) {
        AppSettings settings;
        settings.CopyRateLimit_MBperSEC = c.rate;
        settings.DefPeriodNumber = c.period;
        settings.CopyToPath = c.to;
        settings.NormaliseCopySettings();
        EXPECT_EQ(settings.CopyRateLimit_MBperSEC, c.keptRate) << c.rate;
        EXPECT_EQ(settings.DefPeriodNumber, c.keptPeriod) << c.period;
        EXPECT_EQ(settings.CopyToPath, c.keptTo) << c.to;
    }
}

}  // namespace
}  // namespace hv
