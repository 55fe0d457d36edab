#pragma once
// The real Halvane program started as a user starts it, each in a temporary world of its
// own (settings, state, lock name, queue names, TCP port, and its own folder, so that the
// log file next to the program is its own), and reached as a controller reaches it. The
// tests that start the program use it, and so do the benchmarks that do (they build
// without the tests' own support: nothing here needs it).

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>
#include <cstdint>
#include <functional>
#include <string>

namespace hv::desktop {

class XDisplay;

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
    // The program's environment in this world, on the offscreen platform.
    QProcessEnvironment Environment() const;
    // The same shown on `display`; offscreen when it is null (DesktopSupport.cpp).
    QProcessEnvironment Environment(const XDisplay* display) const;
    // The log files in `folder` and their text.
    QStringList LogFiles(const QString& folder = QStringLiteral("bin")) const;
    QString LogText(const QString& folder = QStringLiteral("bin")) const;

private:
    QTemporaryDir dir_;
    QString unique_;
};

// The program's environment in `world` without any display: no DISPLAY, WAYLAND_DISPLAY
// or Qt platform.
QProcessEnvironment WithoutADisplay(const World& world);

// A TCP port nobody listens on right now.
std::uint16_t FreePort();
// A socket that holds a TCP port (listening on all addresses); -1 on failure.
int HoldPort(std::uint16_t port);
// Connects to the Crestron port on the loopback address, sends one command line and
// returns the answer line (with its LF); empty on any failure.
std::string AskCrestron(std::uint16_t port, const std::string& command);
// True when the process has a socket that listens on `port`.
bool ProcessListensOn(qint64 pid, std::uint16_t port);

// The play position answer (C0601) while there is no player.
inline const std::string kNoPlayPosition = "M060100000000err\n";
// Waits until Halvane answers a controller on `port`; false when it ended first or the
// time is up.
bool AnswersController(Child& halvane, std::uint16_t port, int timeoutMs = kWaitMs);

}  // namespace hv::desktop
