#pragma once
// Support for tests that start the real Halvane program as a user does: each program in a
// temporary world of its own (settings, state, lock name, queue names, TCP port, and its
// own folder, so that the log file next to the program is its own), optionally on a
// virtual X display with a notification area, driven from outside with xdotool.

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Requirements.h"

namespace hv::desktop {

// Generous: the machine may be loaded; tests wait for conditions, never for time.
constexpr int kWaitMs = 60000;

// Polls `condition` every 100 ms until it holds or `timeoutMs` passed.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = kWaitMs);

// A child process that is killed and reaped when the test ends.
class Child {
public:
    Child() = default;
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Start(const QString& program, const QStringList& arguments,
               const QProcessEnvironment& environment);
    // Also notices an end that no event loop has reported yet.
    bool Running() { return process.state() != QProcess::NotRunning && !process.waitForFinished(0); }
    qint64 Pid() const { return process.processId(); }
    // Waits for the next line of standard output; empty when the process ended first.
    QString NextLine(int timeoutMs = kWaitMs);
    // Everything the process wrote to standard error so far.
    QString ErrorText();
    void KillHard();  // SIGKILL, then reaped

    QProcess process;

private:
    QString errors_;
};

// A virtual X server on a display of its own.
class XDisplay {
public:
    // Empty when Xvfb is not installed or did not start.
    static std::unique_ptr<XDisplay> Start();
    QString Name() const { return name_; }  // ":N"
    // The environment of a program shown on this display.
    void Apply(QProcessEnvironment& environment) const;

    // Runs an X tool (xdotool, xprop) on this display; its standard output, or nullopt when
    // it failed.
    std::optional<QString> Tool(const QString& tool, const QStringList& arguments) const;
    // Visible top-level windows of a process, by the process id Qt writes on each.
    QStringList VisibleWindowsOf(qint64 pid) const;
    QRect Geometry(const QString& window) const;
    QString Property(const QString& window, const QString& name) const;
    QString Title(const QString& window) const;
    // True when the window's _NET_WM_WINDOW_TYPE names `type` ("TOOLTIP", "DIALOG", ...).
    bool IsOfType(const QString& window, const char* type) const;
    // Saves the screen (or a part of it) as PNG under the build folder's artefacts.
    bool Screenshot(const QString& fileName, const QRect& part = QRect()) const;
    // The same once the picture has settled: taken again until two in a row are alike, so
    // that a window just shown has been painted.
    bool SettledScreenshot(const QString& fileName, const QRect& part = QRect()) const;

private:
    Child server_;
    QString name_;
};

// A virtual display for a test on the desktop: the desktop's tools (and `more`) installed
// and the X server started into `display`; otherwise what is missing, for HV_NEEDS:
//   HV_NEEDS(StartDesktop(display_));
test::Need StartDesktop(std::unique_ptr<XDisplay>& display, std::initializer_list<const char*> more = {});

// A temporary world for one Halvane (or for the instances of one single-instance test).
class World {
public:
    explicit World(const QString& testName);
    bool IsValid() const { return dir_.isValid(); }
    QString Path(const QString& relative) const { return dir_.filePath(relative); }

    // The program, hard-linked (or copied) into `folder` of this world, so that its log
    // file is written there.
    QString Program(const QString& folder = QStringLiteral("bin"));
    // Halvane's saved settings: "Settings/<name>" in the user's settings file.
    void SetSetting(const QString& name, const QVariant& value);
    QProcessEnvironment Environment(const XDisplay* display = nullptr) const;
    // The log files in `folder` and their text.
    QStringList LogFiles(const QString& folder = QStringLiteral("bin")) const;
    QString LogText(const QString& folder = QStringLiteral("bin")) const;

private:
    QTemporaryDir dir_;
    QString unique_;
};

// A TCP port nobody listens on right now.
std::uint16_t FreePort();
// A socket that holds a TCP port (listening on all addresses); -1 on failure.
int HoldPort(std::uint16_t port);
// Connects to the Crestron port on the loopback address, sends one command line and
// returns the answer line (with its LF); empty on any failure.
std::string AskCrestron(std::uint16_t port, const std::string& command);
// True when the process has a socket that listens on `port`.
bool ProcessListensOn(qint64 pid, std::uint16_t port);

QString ArtefactPath(const QString& fileName);
QString FindTool(const QString& name);

// Starts a notification area (trayer) on `display` as `area` and waits until it is shown.
// Under load trayer may fail to reach a display that was only just opened: it is started
// again, up to three times. False when it never came up.
bool StartNotificationArea(const XDisplay& display, Child& area);

// The icon: the program's small window that the notification area has taken in, among
// `windows()` (the program's visible windows); empty when `running()` turns false first or
// the time is up.
QString WaitForIcon(const XDisplay& display, const std::function<QStringList()>& windows,
                    const std::function<bool()>& running);

}  // namespace hv::desktop
