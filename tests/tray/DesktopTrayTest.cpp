// The icon on a real X display: a virtual X server, the program's icon started before
// any notification area exists (refused, retried), then a notification area from the
// desktop's own packages (trayer), which must take the icon in.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include "Requirements.h"

namespace {

class Child {
public:
    ~Child() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(30000);
        }
    }
    // Waits for the next line of standard output; empty when the process ended first.
    QString NextLine(int timeoutMs = 60000) {
        while (!process.canReadLine()) {
            if (!process.waitForReadyRead(timeoutMs)) return {};
        }
        return QString::fromUtf8(process.readLine()).trimmed();
    }
    QProcess process;
};

TEST(DesktopTray, IconRefusedThenTakenInByTheNotificationArea) {
    HV_NEEDS(hv::test::DesktopTools());
    const QString xvfb = QStandardPaths::findExecutable("Xvfb");
    const QString trayer = QStandardPaths::findExecutable("trayer");

    // The X server picks a free display and names it on its standard output.
    Child server;
    server.process.start(xvfb, {"-displayfd", "1", "-screen", "0", "640x480x24", "-nolisten", "tcp"});
    const QString display = server.process.waitForStarted(30000) ? server.NextLine() : QString();
    const std::string serverErrors = server.process.readAllStandardError().toStdString();
    HV_NEEDS(hv::test::DesktopStarted(!display.isEmpty(), ("the virtual X server did not start: " + serverErrors).c_str()));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", ":" + display);
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.remove("DBUS_SESSION_BUS_ADDRESS");  // the X notification area, not a desktop bus
    env.remove("WAYLAND_DISPLAY");
    // Sanitizer builds: what the desktop libraries keep until exit is not ours.
    env.insert("LSAN_OPTIONS", QStringLiteral("suppressions=%1").arg(HALVANE_TRAY_LSAN_SUPPRESSIONS));

    Child probe;
    probe.process.setProcessEnvironment(env);
    probe.process.start(QDir(QCoreApplication::applicationDirPath()).filePath("halvane_tray_probe"),
                        {"120000"});
    ASSERT_TRUE(probe.process.waitForStarted(30000));
    ASSERT_EQ(probe.NextLine(), "refused") << probe.process.readAllStandardError().toStdString();

    Child area;
    area.process.setProcessEnvironment(env);
    area.process.start(trayer, {"--edge", "top", "--align", "right", "--widthtype", "pixel", "--width",
                                "120", "--heighttype", "pixel", "--height", "24"});
    ASSERT_TRUE(area.process.waitForStarted(30000));

    EXPECT_EQ(probe.NextLine(), "added") << probe.process.readAllStandardError().toStdString();
    EXPECT_EQ(probe.NextLine(), "shown");
    ASSERT_TRUE(probe.process.waitForFinished(60000));
    EXPECT_EQ(probe.process.exitCode(), 0) << probe.process.readAllStandardError().toStdString();
}

}  // namespace
