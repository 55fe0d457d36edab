// The Debian package as a user gets it: built with cpack from this build, unpacked into a
// throw-away root, its layout and desktop entry checked, the program started from the
// entry on a virtual display (offscreen without Xvfb) with settings of its own, asked
// by a controller, and ended by SIGTERM; then installed with dpkg in a root with a
// package database of its own, run once and removed. Nothing outside temporary folders
// is touched.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <map>
#include <memory>
#include <set>

#include "DesktopSupport.h"
#include "language/LangTable.h"
#include "language/Language.h"
#include "language/LanguageFile.h"
#include "settings/SettingsStore.h"

namespace hv::desktop {
namespace {

constexpr int kPackageWaitMs = 120000;
const std::string kNoPlayPosition = "M060100000000err\n";

struct RunResult {
    bool finished = false;
    int exitCode = -1;
    QString output;
    QString error;
};

RunResult RunTool(const QString& program, const QStringList& arguments,
                  const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
                  int timeoutMs = kWaitMs) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    RunResult result;
    result.finished =
        process.waitForFinished(timeoutMs) && process.exitStatus() == QProcess::NormalExit;
    if (!result.finished) process.kill(), process.waitForFinished(kWaitMs);
    result.exitCode = process.exitCode();
    result.output = QString::fromUtf8(process.readAllStandardOutput());
    result.error = QString::fromUtf8(process.readAllStandardError());
    return result;
}

std::string Describe(const RunResult& result) {
    return QStringLiteral("finished %1, exit %2\nstdout: %3\nstderr: %4")
        .arg(result.finished)
        .arg(result.exitCode)
        .arg(result.output, result.error)
        .toStdString();
}

// The main group of a desktop entry: key to value.
std::map<QString, QString> DesktopEntryKeys(const QString& path) {
    std::map<QString, QString> keys;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return keys;
    bool inMainGroup = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(u'[')) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (!inMainGroup || line.startsWith(u'#') || equals < 0) continue;
        keys.emplace(line.left(equals).trimmed(), line.mid(equals + 1).trimmed());
    }
    return keys;
}

// Files and links below `folder`, as paths relative to it.
std::set<QString> FilesBelow(const QString& folder, bool executablesOnly = false) {
    std::set<QString> files;
    const QDir base(folder);
    QDirIterator it(folder, QDir::Files | QDir::System | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (executablesOnly && !QFileInfo(path).isExecutable()) continue;
        files.insert(base.relativeFilePath(path));
    }
    return files;
}

// Everything below `folder`, folders too.
std::set<QString> EntriesBelow(const QString& folder) {
    std::set<QString> entries;
    const QDir base(folder);
    QDirIterator it(folder, QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) entries.insert(base.relativeFilePath(it.next()));
    return entries;
}

QString Listing(const std::set<QString>& files) {
    QString text;
    for (const QString& file : files) text += QStringLiteral("  ") + file + u'\n';
    return text;
}

class InstalledPackage : public ::testing::Test {
protected:
    // The package is built and unpacked once for all the cases.
    static void SetUpTestSuite() {
        work_ = new QTemporaryDir(QDir::temp().filePath(QStringLiteral("halvane-package-XXXXXX")));
        if (!work_->isValid()) return;
        const RunResult cpack =
            RunTool(QStringLiteral(HALVANE_CPACK),
                    {"-G", "DEB", "--config", QStringLiteral(HALVANE_CPACK_CONFIG), "-B",
                     work_->filePath("package")},
                    QProcessEnvironment::systemEnvironment(), kPackageWaitMs);
        buildLog_ = new QString(QString::fromStdString(Describe(cpack)));
        const QStringList debs =
            QDir(work_->filePath("package")).entryList({QStringLiteral("*.deb")}, QDir::Files);
        if (!cpack.finished || cpack.exitCode != 0 || debs.size() != 1) return;
        deb_ = new QString(QDir(work_->filePath("package")).filePath(debs.first()));
        const RunResult unpack =
            RunTool(QStringLiteral("dpkg-deb"), {"-x", *deb_, work_->filePath("root")});
        unpacked_ = unpack.finished && unpack.exitCode == 0;
    }

    static void TearDownTestSuite() {
        delete deb_;
        delete buildLog_;
        delete work_;
        deb_ = nullptr;
        buildLog_ = nullptr;
        work_ = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(deb_, nullptr) << "the package was not built:\n"
                                 << (buildLog_ != nullptr ? buildLog_->toStdString()
                                                          : "no temporary folder");
        ASSERT_TRUE(unpacked_) << deb_->toStdString();
    }

    static QString Root(const QString& relative = QString()) {
        return QDir(work_->filePath("root")).filePath(relative);
    }
    static QString Field(const QString& name) {
        return RunTool(QStringLiteral("dpkg-deb"), {"-f", *deb_, name}).output.trimmed();
    }

    // A world for the installed program: settings, state and names of its own, and the
    // components it finds next to itself, not the build's.
    static QProcessEnvironment InstalledEnvironment(const World& world, const XDisplay* display) {
        QProcessEnvironment environment = world.Environment(display);
        environment.remove(QStringLiteral("HALVANE_COMPONENT_DIR"));
        return environment;
    }

    // Starts `program` in `world`, waits until it answers a controller, ends it with
    // SIGTERM and checks that it ended well. Returns what it wrote to standard error.
    static QString RunUntilAnsweredAndTerminate(const QString& program, World& world,
                                                const XDisplay* display) {
        const std::uint16_t port = FreePort();
        EXPECT_NE(port, 0);
        world.SetSetting(QStringLiteral("Port"), port);
        Child halvane;
        EXPECT_TRUE(halvane.Start(program, {}, InstalledEnvironment(world, display)));
        EXPECT_TRUE(WaitUntil([&] {
            return !halvane.Running() || AskCrestron(port, "C0601\n") == kNoPlayPosition;
        }));
        EXPECT_TRUE(halvane.Running()) << halvane.ErrorText().toStdString();
        if (!halvane.Running()) return halvane.ErrorText();
        EXPECT_EQ(::kill(static_cast<pid_t>(halvane.Pid()), SIGTERM), 0);
        EXPECT_TRUE(halvane.process.waitForFinished(kWaitMs));
        EXPECT_EQ(halvane.process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(halvane.process.exitCode(), 0);
        return halvane.ErrorText();
    }

    static QTemporaryDir* work_;
    static QString* deb_;
    static QString* buildLog_;
    static bool unpacked_;
};

QTemporaryDir* InstalledPackage::work_ = nullptr;
QString* InstalledPackage::deb_ = nullptr;
QString* InstalledPackage::buildLog_ = nullptr;
bool InstalledPackage::unpacked_ = false;

TEST_F(InstalledPackage, NamesItselfAndDependsOnWhatThisMachineHas) {
    EXPECT_EQ(Field("Package"), QStringLiteral("halvane"));
    EXPECT_EQ(Field("Version"), QStringLiteral(HALVANE_VERSION));
    EXPECT_EQ(Field("Architecture"),
              RunTool(QStringLiteral("dpkg"), {"--print-architecture"}).output.trimmed());

    const QString depends = Field("Depends");
    // Qt, and libcrypto for the archive's checksums.
    QStringList needed = {"libqt6core6", "libqt6gui6", "libqt6widgets6", "libqt6svg6", "libssl3"};
#ifdef HALVANE_PANEL_EDITLINE
    needed << QStringLiteral("libedit2");
#endif
    std::set<QString> named;
    for (const QString& group : depends.split(u',', Qt::SkipEmptyParts)) {
        // Each dependency is met by one of its alternatives on this machine.
        bool met = false;
        for (const QString& alternative : group.split(u'|')) {
            const QString name = alternative.trimmed().section(u' ', 0, 0).section(u':', 0, 0);
            named.insert(name);
            const RunResult installed =
                RunTool(QStringLiteral("dpkg-query"), {"-W", "-f", "${Status}|${Version}", name});
            if (!installed.output.startsWith(QLatin1String("install ok installed|"))) continue;
            const QString version = installed.output.section(u'|', 1);
            static const QRegularExpression relation(
                QStringLiteral("\\(\\s*([<>=]+)\\s*([^)\\s]+)\\s*\\)"));
            const auto match = relation.match(alternative);
            if (!match.hasMatch()) {
                met = true;
                break;
            }
            const QString op = match.captured(1) == u">="   ? "ge"
                               : match.captured(1) == u"<=" ? "le"
                               : match.captured(1) == u">>" ? "gt"
                               : match.captured(1) == u"<<" ? "lt"
                                                            : "eq";
            if (RunTool(QStringLiteral("dpkg"),
                        {"--compare-versions", version, op, match.captured(2)})
                    .exitCode == 0) {
                met = true;
                break;
            }
        }
        EXPECT_TRUE(met) << "not met here: " << group.trimmed().toStdString();
    }
    for (const QString& name : needed)
        EXPECT_EQ(named.count(name), 1u)
            << name.toStdString() << " missing from: " << depends.toStdString();
}

TEST_F(InstalledPackage, HoldsTheProgramItsComponentsAndNothingOfTheTests) {
    const QString program = QStringLiteral("usr/lib/halvane/");
    const QString suite = program + QStringLiteral("Zandrel Software/");
    std::set<QString> expected = {
        "usr/bin/Halvane",
        "usr/bin/halvane-panel",
        program + "Halvane",
        program + "ZandrelQueueRelay",
        suite + "Ferrolith/LastGame.json",
        "usr/share/halvane/Halvane_0x0419.lng",
        "usr/share/applications/Halvane.desktop",
        "usr/share/icons/hicolor/scalable/apps/halvane.svg",
        "usr/share/doc/halvane/README.md",
    };
    // Every component and stand-in program the build makes, in the same layout.
    for (const QString& file : FilesBelow(QStringLiteral(HALVANE_BUILD_COMPONENTS)))
        expected.insert(program + QStringLiteral("components/") + file);
    for (const QString& file : FilesBelow(QStringLiteral(HALVANE_BUILD_SUITE), true))
        expected.insert(suite + file);
    for (const QString& icon : FilesBelow(QStringLiteral(HALVANE_BUILD_ICONS)))
        expected.insert(QStringLiteral("usr/share/icons/hicolor/") + icon);
    for (const QString& game :
         QDir(QStringLiteral(HALVANE_SHIPPED_GAMES)).entryList({"*.json"}, QDir::Files))
        expected.insert(suite + QStringLiteral("Ferrolith/games/") + game);
    ASSERT_GE(expected.size(), 20u);

    const std::set<QString> packaged = FilesBelow(Root());
    std::set<QString> missing, extra;
    std::set_difference(expected.begin(), expected.end(), packaged.begin(), packaged.end(),
                        std::inserter(missing, missing.end()));
    std::set_difference(packaged.begin(), packaged.end(), expected.begin(), expected.end(),
                        std::inserter(extra, extra.end()));
    EXPECT_TRUE(missing.empty()) << "missing:\n" << Listing(missing).toStdString();
    EXPECT_TRUE(extra.empty()) << "not expected:\n" << Listing(extra).toStdString();

    // The command is a relative link to the program in its folder; programs can be run.
    const QFileInfo link(Root("usr/bin/Halvane"));
    EXPECT_TRUE(link.isSymLink());
    EXPECT_EQ(QFile::symLinkTarget(Root("usr/bin/Halvane")),
              QFileInfo(Root(program + "Halvane")).absoluteFilePath());
    for (const QString& file : expected) {
        if (!QFileInfo(file).fileName().contains(u'.')) {  // the programs have no extension
            EXPECT_TRUE(QFileInfo(Root(file)).isExecutable()) << file.toStdString();
        }
    }
}

TEST_F(InstalledPackage, DesktopEntryStartsTheInstalledProgramWithTheThemeIcon) {
    const QString entry = Root("usr/share/applications/Halvane.desktop");
    HV_NEEDS(test::Tools({"desktop-file-validate"}));
    const RunResult validation = RunTool(FindTool(QStringLiteral("desktop-file-validate")), {entry});
    EXPECT_EQ(validation.exitCode, 0) << Describe(validation);
    EXPECT_TRUE(validation.output.trimmed().isEmpty()) << Describe(validation);
    const auto keys = DesktopEntryKeys(entry);
    auto key = [&](const char* name) {
        const auto it = keys.find(QString::fromLatin1(name));
        return it == keys.end() ? QString() : it->second;
    };
    EXPECT_EQ(key("Type"), QStringLiteral("Application"));
    EXPECT_EQ(key("Name"), QStringLiteral("Halvane"));
    EXPECT_EQ(key("Exec"), QStringLiteral("Halvane"));  // found in bin, wherever that is
    EXPECT_EQ(key("Icon"), QStringLiteral("halvane"));
    EXPECT_TRUE(key("Categories").split(u';').contains(QStringLiteral("AudioVideo")))
        << key("Categories").toStdString();

    // The same name, type and terminal as the start-on-logon entry the program writes.
    QTemporaryDir autostart;
    ASSERT_TRUE(autostart.isValid());
    SettingsEnvironment environment;
    environment.ExecutablePath = Root("usr/lib/halvane/Halvane");
    environment.AutostartFolder = autostart.path();
    WriteAutostart(environment, true);
    const auto logon = DesktopEntryKeys(autostart.filePath(kAutostartEntryName));
    ASSERT_FALSE(logon.empty());
    for (const char* shared : {"Type", "Name", "Terminal"}) {
        const auto it = logon.find(QString::fromLatin1(shared));
        ASSERT_NE(it, logon.end()) << shared;
        EXPECT_EQ(key(shared), it->second) << shared;
    }

    // The icon is the program's own, in the icon theme under the entry's name: the SVG,
    // and PNG files of the theme's sizes, 48x48 among them.
    QFile icon(Root("usr/share/icons/hicolor/scalable/apps/halvane.svg"));
    ASSERT_TRUE(icon.open(QIODevice::ReadOnly));
    QFile shipped(QStringLiteral(HALVANE_APP_ICON));
    ASSERT_TRUE(shipped.open(QIODevice::ReadOnly));
    EXPECT_EQ(icon.readAll(), shipped.readAll());
    for (const int size : {16, 32, 48, 256}) {
        QFile png(Root(QStringLiteral("usr/share/icons/hicolor/%1x%1/apps/halvane.png").arg(size)));
        ASSERT_TRUE(png.open(QIODevice::ReadOnly)) << size;
        const QByteArray head = png.read(24);
        ASSERT_EQ(head.size(), 24);
        EXPECT_TRUE(head.startsWith("\x89PNG\r\n\x1a\n")) << size;
        auto bigEndian = [&](int at) {
            return (static_cast<quint8>(head[at]) << 24) |
                   (static_cast<quint8>(head[at + 1]) << 16) |
                   (static_cast<quint8>(head[at + 2]) << 8) | static_cast<quint8>(head[at + 3]);
        };
        EXPECT_EQ(bigEndian(16), size);  // width and height from the image header
        EXPECT_EQ(bigEndian(20), size);
    }
}

TEST_F(InstalledPackage, ProgramFindsItsLanguageFileInTheDataFolder) {
    const LangTable table =
        LangTable::Scan(LanguageFolders(Root("usr/lib/halvane")), QStringLiteral("Halvane"));
    const int russian = table.Find(0x0419);
    ASSERT_GT(russian, 0);
    EXPECT_EQ(table.Entry(russian).filePath,
              QFileInfo(Root("usr/share/halvane/Halvane_0x0419.lng")).absoluteFilePath());
    LanguageTexts texts;
    QString error;
    EXPECT_TRUE(LoadLanguageFile(table.Entry(russian).filePath, texts, &error))
        << error.toStdString();
}

TEST_F(InstalledPackage, StartsFromItsDesktopEntryAnswersAndEndsOnSigterm) {
    World world(QStringLiteral("package"));
    ASSERT_TRUE(world.IsValid());
    // The test scripts install Xvfb and ask for the desktop to be tested: there the entry
    // is started on a display, never silently offscreen.
    std::unique_ptr<XDisplay> display;
    const test::Need desktop = StartDesktop(display);
    if (desktop.IsRequired()) {
        ASSERT_TRUE(desktop.IsMet()) << desktop.Message();
    }
    if (display == nullptr) std::printf("%s: the program runs offscreen\n", desktop.Message().c_str());

    // The entry's command, found in the installed bin folder as a launcher finds it.
    const QString command =
        DesktopEntryKeys(Root("usr/share/applications/Halvane.desktop"))[QStringLiteral("Exec")];
    const QString program = Root(QStringLiteral("usr/bin/") + command.section(u' ', 0, 0));
    ASSERT_TRUE(QFileInfo(program).isExecutable()) << program.toStdString();
    const std::set<QString> programBefore = EntriesBelow(Root("usr/lib/halvane"));

    const QString errors = RunUntilAnsweredAndTerminate(program, world, display.get());
    // The start-up component came from the installed components folder.
    EXPECT_TRUE(errors.contains(QStringLiteral("Zandrel.Startup: begin 0 2 0"))) << errors.toStdString();
    EXPECT_TRUE(errors.contains(QStringLiteral("Zandrel.Startup: end"))) << errors.toStdString();

    // The log is in the user's state folder, also when the program's folder is writable
    // (as for root here): the package's folders get nothing of the program's own.
    EXPECT_EQ(Listing(EntriesBelow(Root("usr/lib/halvane"))).toStdString(),
              Listing(programBefore).toStdString());
    const QString logFolder = world.Path("state/Tervanix/Halvane");
    const QStringList logs =
        QDir(logFolder).entryList({QStringLiteral("Halvane_*.log")}, QDir::Files);
    ASSERT_EQ(logs.size(), 1) << logFolder.toStdString();
    QFile log(QDir(logFolder).filePath(logs.first()));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(log.readAll());
    EXPECT_TRUE(text.contains(QStringLiteral("Halvane::OnSignal SIGTERM => close")))
        << text.toStdString();
}

TEST_F(InstalledPackage, AnswersHelpAndVersionWithoutADisplayOrATrace) {
    World world(QStringLiteral("package-help"));
    ASSERT_TRUE(world.IsValid());
    QProcessEnvironment environment = InstalledEnvironment(world, nullptr);
    // A window or an icon would need this display, which does not exist.
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    const QString program = Root("usr/bin/Halvane");
    const std::set<QString> before = EntriesBelow(world.Path(QString()));
    const std::set<QString> programBefore = EntriesBelow(Root("usr/lib/halvane"));

    struct Case {
        QStringList arguments;
        int exitCode;
        const char* output;
        const char* error;
    };
    const Case cases[] = {
        {{"--help"}, 0, "Usage: Halvane [options]", ""},
        {{"-h"}, 0, "--version", ""},
        {{"--version"}, 0, "Halvane " HALVANE_VERSION "\n", ""},
        {{"-v"}, 0, "Halvane " HALVANE_VERSION "\n", ""},
        {{"--version=2"}, 2, "", "Unexpected value after '--version'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.join(u' ').toStdString());
        const RunResult result = RunTool(program, c.arguments, environment);
        ASSERT_TRUE(result.finished) << Describe(result);
        EXPECT_EQ(result.exitCode, c.exitCode) << Describe(result);
        EXPECT_TRUE(result.output.contains(QString::fromLatin1(c.output))) << Describe(result);
        if (*c.error != '\0') {
            EXPECT_TRUE(result.error.contains(QString::fromLatin1(c.error))) << Describe(result);
        } else {
            EXPECT_TRUE(result.error.isEmpty()) << Describe(result);
        }
    }
    // No settings, no log, no lock or state: nothing new anywhere.
    EXPECT_EQ(Listing(EntriesBelow(world.Path(QString()))).toStdString(),
              Listing(before).toStdString());
    EXPECT_EQ(Listing(EntriesBelow(Root("usr/lib/halvane"))).toStdString(),
              Listing(programBefore).toStdString());

    // The controller console runs from the package too.
    const RunResult panel = RunTool(Root("usr/bin/halvane-panel"), {"--help"}, environment);
    EXPECT_EQ(panel.exitCode, 0) << Describe(panel);
    EXPECT_TRUE(panel.output.contains(QStringLiteral("halvane-panel"))) << Describe(panel);
}

TEST_F(InstalledPackage, InstallsAndRemovesCleanlyWithDpkg) {
    // dpkg on a root of its own, with an empty package database: nothing of this machine's
    // is touched. The dependencies are not in that database, hence --force-depends.
    QTemporaryDir root(QDir::temp().filePath(QStringLiteral("halvane-dpkg-XXXXXX")));
    ASSERT_TRUE(root.isValid());
    const QString database = root.filePath("var/lib/dpkg");
    for (const char* folder : {"info", "updates", "triggers"})
        ASSERT_TRUE(QDir(database).mkpath(folder));
    for (const char* file : {"status", "available"}) {
        QFile empty(QDir(database).filePath(file));
        ASSERT_TRUE(empty.open(QIODevice::WriteOnly));
    }
    QString dpkg = QStringLiteral("dpkg");
    QStringList prefix;
    if (::geteuid() != 0) {
        // Not root: dpkg under fakeroot (scripts/setup.sh installs it).
        HV_NEEDS(test::Tools({"fakeroot"}));
        prefix = {dpkg};
        dpkg = FindTool(QStringLiteral("fakeroot"));
    }
    const QStringList common =
        prefix + QStringList{"--root=" + root.path(), "--force-not-root", "--log=/dev/null"};

    const RunResult install = RunTool(dpkg, common + QStringList{"--force-depends", "-i", *deb_});
    ASSERT_EQ(install.exitCode, 0) << Describe(install);
    const RunResult status = RunTool(QStringLiteral("dpkg-query"), {"--admindir=" + database, "-W",
                                                                    "-f", "${Status}", "halvane"});
    EXPECT_EQ(status.output, QStringLiteral("install ok installed")) << Describe(status);
    EXPECT_TRUE(QFileInfo(root.filePath("usr/lib/halvane/Halvane")).isExecutable());
    EXPECT_TRUE(QFileInfo::exists(root.filePath("usr/share/applications/Halvane.desktop")));

    // Run once as installed (as root when the test is), so that removal meets whatever a
    // run leaves in the package's folders.
    {
        World world(QStringLiteral("package-dpkg"));
        ASSERT_TRUE(world.IsValid());
        RunUntilAnsweredAndTerminate(root.filePath("usr/bin/Halvane"), world, nullptr);
        EXPECT_FALSE(QDir(world.Path("state/Tervanix/Halvane"))
                         .entryList({QStringLiteral("Halvane_*.log")}, QDir::Files)
                         .isEmpty());
    }

    const RunResult remove = RunTool(dpkg, common + QStringList{"--purge", "halvane"});
    ASSERT_EQ(remove.exitCode, 0) << Describe(remove);
    // Nothing is left but the package database itself.
    std::set<QString> left;
    for (const QString& file : FilesBelow(root.path()))
        if (!file.startsWith(QLatin1String("var/lib/dpkg/"))) left.insert(file);
    EXPECT_TRUE(left.empty()) << Listing(left).toStdString();
    EXPECT_FALSE(QDir(root.filePath("usr")).exists()) << "folders left behind";
}

}  // namespace
}  // namespace hv::desktop
