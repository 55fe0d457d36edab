#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

#include "ScopedEnvironment.h"
#include "platform/ComponentFactory.h"
#include "settings/AppSettings.h"
#include "settings/SettingsStore.h"

// Readable QString values in failure messages.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace hv {
namespace {

const QString kExecutable = QStringLiteral("/opt/Halvane Test/bin/Halvane");

// Every test gets its own user and system settings folders and autostart folder.
class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root_.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, root_.filePath("user"));
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, root_.filePath("system"));
        QDir().mkpath(root_.filePath("nocomponents"));
        environment_.Components = &noComponents_;
        environment_.ExecutablePath = kExecutable;
        environment_.AutostartFolder = root_.filePath("config/autostart");
    }

    QString ProgramFile() const { return root_.filePath("user/Tervanix/Halvane.conf"); }
    QString SuiteUserFile() const { return root_.filePath("user/Tervanix/ZandrelSoftware.conf"); }
    QString SuiteSystemFile() const { return root_.filePath("system/Tervanix/ZandrelSoftware.conf"); }
    QString AutostartFile() const { return root_.filePath("config/autostart/Halvane.desktop"); }

    static void WriteFile(const QString& path, const QByteArray& text) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }
    static QByteArray ReadFile(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    void WriteSystemSetupPath(const QString& value) {
        QSettings system(SuiteSystemFile(), QSettings::IniFormat);
        system.setValue("ZandrelSetup_Params/Setup_Path", value);
    }

    AppSettings Load() {
        AppSettings settings;
        LoadSettings(settings, environment_, [this](const QString& host) {
            ++hostCalls_;
            host_ = host;
        });
        return settings;
    }

    QTemporaryDir root_;
    ComponentFactory noComponents_{root_.filePath("nocomponents")};
    ComponentFactory suiteComponents_{QCoreApplication::applicationDirPath() + "/components"};
    SettingsEnvironment environment_;
    int hostCalls_ = 0;
    QString host_;
};

TEST_F(SettingsStoreTest, EmptyStoreGivesTheDefaultsAndCreatesTheSettings) {
    const AppSettings s = Load();
    EXPECT_EQ(s.Port, 1025);
    EXPECT_EQ(s.FifoSizeMS, 300);
    EXPECT_EQ(s.PlayerRegName, "");
    EXPECT_TRUE(s.UseGameTime);
    EXPECT_EQ(s.Preroll, 5);
    EXPECT_EQ(s.VortamoIP, "");
    EXPECT_EQ(s.CopyToPath, "");
    EXPECT_EQ(s.CopyFromPathList, "");
    EXPECT_FALSE(s.DeleteCopiedFiles);
    EXPECT_EQ(s.CopyRateLimit_MBperSEC, 10);
    EXPECT_EQ(s.DefPeriodNumber, 50);
    EXPECT_FALSE(s.Autostart);
    EXPECT_EQ(s.SetupPath, "/opt/Zandrel Software");
    EXPECT_EQ(s.VortamoExePath, "/opt/Zandrel Software/Vortamo/Vortamo");
    EXPECT_EQ(s.TamberloExePath, "/opt/Zandrel Software/Ferrolith/Tamberlo");
    EXPECT_EQ(s.DravenorExePath, "/opt/Zandrel Software/Ferrolith/Dravenor");
    EXPECT_EQ(s.OstrimundExePath, "/opt/Zandrel Software/Ferrolith/Ostrimund");
    EXPECT_TRUE(QFileInfo::exists(ProgramFile()));
    EXPECT_EQ(hostCalls_, 1);
    EXPECT_EQ(host_, "");
}

TEST_F(SettingsStoreTest, SavedValuesComeBackAndLocaleIsLeftAlone) {
    WriteFile(ProgramFile(), "[General]\nLocale=1049\n");
    AppSettings saved;
    saved.Port = 4000;
    saved.FifoSizeMS = 800;
    saved.PlayerRegName = "Lumentra.Main";
    saved.UseGameTime = false;
    saved.Preroll = 12;
    saved.VortamoIP = "10.1.2.3";
    saved.CopyToPath = "/srv/archive, main/";  // a comma must survive
    saved.CopyFromPathList = "/rec1;/rec2/";
    saved.DeleteCopiedFiles = true;
    saved.CopyRateLimit_MBperSEC = 42;
    saved.DefPeriodNumber = 0;
    SaveSettings(saved, environment_);

    const AppSettings loaded = Load();
    for (const StoredSettingKey& key : StoredSettingKeys()) {
        std::visit([&](auto member) { EXPECT_EQ(loaded.*member, saved.*member) << key.Name; },
                   key.Field);
    }
    EXPECT_EQ(host_, "10.1.2.3");

    QSettings raw(ProgramFile(), QSettings::IniFormat);
    EXPECT_EQ(raw.value("Locale").toInt(), 1049);
    EXPECT_FALSE(raw.contains("Settings/Locale"));
    EXPECT_EQ(raw.value("Settings/UseGameTime").toString(), "0");
    EXPECT_EQ(raw.value("Settings/DeleteCopiedFiles").toString(), "1");
    EXPECT_EQ(raw.value("Settings/Port").toString(), "4000");
}

TEST_F(SettingsStoreTest, HandStoredValuesAreReadSafely) {
    WriteFile(ProgramFile(),
              "[Settings]\n"
              "UseGameTime=7\n"
              "DeleteCopiedFiles=true\n"
              "Port=70000\n"
              "CopyRateLimit_MBperSEC=0\n"
              "DefPeriodNumber=4294967295\n"
              "FifoSizeMS=lots\n"
              "Preroll=99999999999\n"
              "CopyFromPathList=\"/rec,1;;/rec2\"\n");
    AppSettings s = Load();
    EXPECT_TRUE(s.UseGameTime);
    EXPECT_TRUE(s.DeleteCopiedFiles);
    EXPECT_EQ(s.Port, 70000);
    EXPECT_EQ(s.ListenPort(), 70000 % 65536);
    EXPECT_EQ(s.CopyRateLimit_MBperSEC, 0);
    EXPECT_EQ(s.CopyRateLimitMBps(), 1);
    EXPECT_EQ(s.DefPeriodNumber, -1);  // the DWORD's bits
    EXPECT_EQ(s.FifoSizeMS, 300);      // unreadable: default kept
    EXPECT_EQ(s.Preroll, 5);           // beyond 32 bits: default kept
    EXPECT_EQ(s.CopyFromFolders(), QStringList({"/rec,1", "/rec2"}));

    s.CopyRateLimit_MBperSEC = -20;
    EXPECT_EQ(s.CopyRateLimitMBps(), 1);
    s.Port = -1;
    EXPECT_EQ(s.ListenPort(), 65535);

    SaveSettings(s, environment_);
    QSettings raw(ProgramFile(), QSettings::IniFormat);
    EXPECT_EQ(raw.value("Settings/UseGameTime").toString(), "1");
    EXPECT_EQ(raw.value("Settings/DeleteCopiedFiles").toString(), "1");
}

TEST(AppSettingsFolders, ListSkipsEmptyPiecesAndKeepsOrder) {
    struct Case {
        const char* list;
        QStringList folders;
    } cases[] = {
        {"", {}},
        {";;;", {}},
        {";D:\\Rec1;;E:\\Rec2\\;", {"D:\\Rec1", "E:\\Rec2\\"}},
        {"/rec/b;/rec/a", {"/rec/b", "/rec/a"}},
        {"/only/", {"/only/"}},
    };
    for (const Case& c : cases) {
        AppSettings s;
        s.CopyFromPathList = c.list;
        EXPECT_EQ(s.CopyFromFolders(), c.folders) << c.list;
    }
    EXPECT_EQ(AppSettings::JoinFolderList({"/a", "", "/b/"}), "/a;/b/");
}

TEST_F(SettingsStoreTest, AutostartEntryIsRecognised) {
    const QString longPath = "/" + QString(259, QChar('x'));
    struct Case {
        const char* name;
        QByteArray entry;
        QString executable;
        bool expected;
    } cases[] = {
        {"same path", "[Desktop Entry]\nExec=/opt/halvane/Halvane\n", "/opt/halvane/Halvane", true},
        {"other case", "[Desktop Entry]\nExec=/OPT/HALVANE/halvane\n", "/opt/halvane/Halvane", true},
        {"quoted", "[Desktop Entry]\nExec=\"/opt/Halvane Test/bin/Halvane\"\n", kExecutable, true},
        {"other path", "[Desktop Entry]\nExec=/usr/bin/Halvane\n", "/opt/halvane/Halvane", false},
        {"with arguments", "[Desktop Entry]\nExec=/opt/halvane/Halvane -x\n", "/opt/halvane/Halvane", false},
        {"hidden", "[Desktop Entry]\nExec=/opt/halvane/Halvane\nHidden=true\n", "/opt/halvane/Halvane", false},
        {"disabled", "[Desktop Entry]\nExec=/opt/halvane/Halvane\nX-GNOME-Autostart-enabled=false\n",
         "/opt/halvane/Halvane", false},
        {"other group", "[Desktop Action x]\nExec=/opt/halvane/Halvane\n", "/opt/halvane/Halvane", false},
        {"260 characters", "[Desktop Entry]\nExec=" + longPath.toUtf8() + "\n", longPath, false},
        {"259 characters", "[Desktop Entry]\nExec=" + longPath.left(259).toUtf8() + "\n",
         longPath.left(259), true},
    };
    for (const Case& c : cases) {
        WriteFile(AutostartFile(), c.entry);
        environment_.ExecutablePath = c.executable;
        EXPECT_EQ(ReadAutostart(environment_), c.expected) << c.name;
    }
    QFile::remove(AutostartFile());
    EXPECT_FALSE(ReadAutostart(environment_));
}

TEST_F(SettingsStoreTest, SavingWritesOrDeletesTheAutostartEntry) {
    AppSettings s;
    s.Autostart = true;
    ASSERT_FALSE(QFileInfo::exists(environment_.AutostartFolder));
    SaveSettings(s, environment_);
    ASSERT_TRUE(QFileInfo::exists(AutostartFile()));
    EXPECT_TRUE(ReadFile(AutostartFile()).contains("Exec=\"/opt/Halvane Test/bin/Halvane\"\n"));
    EXPECT_TRUE(Load().Autostart);

    // An entry of another program path is replaced by disabling: deleted whatever it held.
    WriteFile(AutostartFile(), "[Desktop Entry]\nExec=/usr/bin/other\n");
    AppSettings loaded = Load();
    EXPECT_FALSE(loaded.Autostart);
    SaveSettings(loaded, environment_);
    EXPECT_FALSE(QFileInfo::exists(AutostartFile()));

    // A path with a quote and a backslash goes through the entry's escapes and back.
    environment_.ExecutablePath = "/opt/odd \"name\\\" 100%/Halvane";
    s.Autostart = true;
    SaveSettings(s, environment_);
    EXPECT_TRUE(ReadAutostart(environment_));
}

TEST_F(SettingsStoreTest, ThisProcessUsesItsExecutableAndTheUserAutostartFolder) {
    const SettingsEnvironment real = [&] {
        const test::ScopedEnvironment xdg{{"XDG_CONFIG_HOME", root_.filePath("xdg").toUtf8().constData()}};
        return SettingsEnvironment::ForThisProcess(suiteComponents_);
    }();
    EXPECT_EQ(real.AutostartFolder, root_.filePath("xdg/autostart"));
    EXPECT_EQ(real.ExecutablePath, QCoreApplication::applicationFilePath());
    EXPECT_EQ(real.Components, &suiteComponents_);
}

// Installed, the entry starts the command in bin, which leads to the program in its
// private folder; built, it starts the program itself.
TEST_F(SettingsStoreTest, TheLogonEntryOfAnInstalledProgramStartsItsCommand) {
    QDir tree(root_.filePath("tree"));
    ASSERT_TRUE(tree.mkpath("usr/lib/halvane") && tree.mkpath("usr/share/halvane") && tree.mkpath("usr/bin"));
    const QString program = tree.filePath("usr/lib/halvane/Halvane");
    QFile file(program);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    ASSERT_TRUE(QFile::link("../lib/halvane/Halvane", tree.filePath("usr/bin/Halvane")));
    EXPECT_EQ(StartCommandOf(program), tree.filePath("usr/bin/Halvane"));
    EXPECT_EQ(StartCommandOf(QCoreApplication::applicationFilePath()), QCoreApplication::applicationFilePath());

    environment_.ExecutablePath = StartCommandOf(program);
    WriteAutostart(environment_, true);
    QFile entry(AutostartFile());
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    EXPECT_TRUE(entry.readAll().contains("\nExec=" + QFile::encodeName(tree.filePath("usr/bin/Halvane")) + "\n"));
    EXPECT_TRUE(ReadAutostart(environment_));
}

TEST_F(SettingsStoreTest, SetupPathFromTheSystemSettings) {
    struct Case {
        QString stored;
        QString setupPath;
    } cases[] = {
        {"/opt/Suite/", "/opt/Suite"},
        {"/opt/Suite", "/opt/Suite"},
        {"/opt/Suite//", "/opt/Suite/"},
        {"D:\\Suite\\", "D:\\Suite"},
        {"D:\\Suite\\\\", "D:\\Suite\\"},
        {"", "/opt/Zandrel Software"},
        {"/" + QString(259, QChar('s')), "/opt/Zandrel Software"},  // does not fit
        {"/" + QString(258, QChar('s')), "/" + QString(258, QChar('s'))},
    };
    for (const Case& c : cases) {
        WriteSystemSetupPath(c.stored);
        const AppSettings s = Load();
        EXPECT_EQ(s.SetupPath, c.setupPath) << c.stored.toStdString();
    }

    WriteSystemSetupPath("/opt/Suite/");
    const AppSettings s = Load();
    EXPECT_EQ(s.VortamoExePath, "/opt/Suite/Vortamo/Vortamo");
    EXPECT_EQ(s.TamberloExePath, "/opt/Suite/Ferrolith/Tamberlo");
    EXPECT_EQ(s.DravenorExePath, "/opt/Suite/Ferrolith/Dravenor");
    EXPECT_EQ(s.OstrimundExePath, "/opt/Suite/Ferrolith/Ostrimund");
}

TEST_F(SettingsStoreTest, SuiteRegistryComesFirst) {
    WriteSystemSetupPath("/srv/system-suite");
    environment_.Components = &suiteComponents_;

    // The component is there but its configuration names no folder.
    EXPECT_EQ(Load().SetupPath, "/srv/system-suite");

    {
        QSettings suite(SuiteUserFile(), QSettings::IniFormat);
        suite.setValue("ZandrelSetup_Params/Setup_Path", "/srv/user-suite/");
    }
    EXPECT_EQ(Load().SetupPath, "/srv/user-suite");

    // Without the component the same configuration is not consulted.
    environment_.Components = &noComponents_;
    EXPECT_EQ(Load().SetupPath, "/srv/system-suite");
    environment_.Components = nullptr;
    EXPECT_EQ(Load().SetupPath, "/srv/system-suite");
}

TEST_F(SettingsStoreTest, ReplayMachineSettingsAreWrittenOnlyWhenTheirFileExists) {
    const QString file = root_.filePath("user/Tervanix/Ferrolith.conf");
    AppSettings s;
    s.DefPeriodNumber = 77;
    s.VortamoIP = "recorder-host";
    EXPECT_FALSE(WriteReplayMachineSettings(s, true));
    EXPECT_FALSE(QFileInfo::exists(file)) << "no file is made for a replay machine that has none";

    // The file is the replay machine's settings, whatever it holds yet: an empty file, an
    // empty group (which QSettings does not even list), other groups, the group with values.
    const struct {
        const char* contents;
        const char* otherKey;  // a value the file held before, kept; null when none
        const char* otherValue;
    } cases[] = {
        {"", nullptr, nullptr},
        {"[Settings]\n", nullptr, nullptr},
        {"[Settings]\n\n[Other]\nValue=1\n", "Other/Value", "1"},
        {"[Other]\nValue=1\n", "Other/Value", "1"},
        {"[Settings]\nOther=keep\n", "Settings/Other", "keep"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.contents);
        WriteFile(file, c.contents);
        ASSERT_TRUE(WriteReplayMachineSettings(s, true));
        QSettings raw(file, QSettings::IniFormat);
        EXPECT_EQ(raw.value("Settings/VortamoControl").toInt(), 1);
        EXPECT_EQ(raw.value("Settings/VortamoPeriod0").toInt(), 77);
        EXPECT_EQ(raw.value("Settings/VortamoServer").toString(), "recorder-host");
        if (c.otherKey != nullptr) EXPECT_EQ(raw.value(c.otherKey).toString(), c.otherValue);
    }
    ASSERT_TRUE(WriteReplayMachineSettings(s, false));
    QSettings raw(file, QSettings::IniFormat);
    EXPECT_EQ(raw.value("Settings/VortamoServer").toString(), "localhost");
}

}  // namespace
}  // namespace hv
