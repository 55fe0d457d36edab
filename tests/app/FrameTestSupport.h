#pragma once
// A main frame in a temporary world: its own settings and suite configuration, the
// installed stand-in components, a notification area that tests control, message boxes
// answered by the test, and a Crestron controller on loopback.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../tray/FakeTrayBackend.h"
#include "FakeClock.h"
#include "LogCapture.h"
#include "ScopedEnvironment.h"
#include "ScriptedFiles.h"
#include "app/MainFrame.h"

namespace hv::test {

// Answers every box with `answer` and keeps what was shown.
class RecordingBoxes final : public IMessageBoxes {
public:
    BoxAnswer Show(const QString& text, BoxIcon icon, BoxButtons buttons) override {
        shown.push_back(text);
        icons.push_back(icon);
        if (onShow) onShow();
        return buttons == BoxButtons::YesNo ? answer : BoxAnswer::Ok;
    }
    std::vector<QString> shown;
    std::vector<BoxIcon> icons;
    BoxAnswer answer = BoxAnswer::No;
    std::function<void()> onShow;
};

// The service manager, noting what it was asked: the machine's own is never used.
class RecordingServices final : public IServiceControl {
public:
    bool OpenManager() override {
        calls.push_back("open");
        return managerOpens;
    }
    bool managerOpens = true;  // false: the service manager cannot be reached
    void StopService(const QString& name) override { calls.push_back("stop " + name.toStdString()); }
    std::vector<std::string> calls;
};

// Runs the event loop until `condition` holds or the time is up.
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Threads of this process with the name `name`.
inline int ThreadsNamed(const char* name) {
    int count = 0;
    for (const QString& task : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(task));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name) ++count;
    }
    return count;
}

// A Crestron controller: a plain TCP client on loopback.
class Controller {
public:
    explicit Controller(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Controller() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Connected() const { return connected_; }
    void Send(const std::string& text) { (void)!::send(fd_, text.data(), text.size(), MSG_NOSIGNAL); }
    // One answer line (up to its LF), processing events meanwhile; empty on time-out.
    std::string ReadLine(int timeoutMs = 10000) {
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            const auto lf = buffer_.find('\n');
            if (lf != std::string::npos) {
                std::string line = buffer_.substr(0, lf + 1);
                buffer_.erase(0, lf + 1);
                return line;
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 10) > 0) {
                char chunk[4096];
                const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
                if (n <= 0) return {};
                buffer_.append(chunk, static_cast<size_t>(n));
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        return {};
    }
    // Waits (without touching any event loop, so any thread may call it) until the bytes
    // received hold `text`; false on time-out or when the port closed the connection.
    bool WaitForText(const std::string& text, int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (buffer_.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0) continue;
            char chunk[4096];
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) return false;
            buffer_.append(chunk, static_cast<size_t>(n));
        }
        return true;
    }
    std::string Ask(const std::string& command) {
        Send(command + "\n");
        return ReadLine();
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    std::string buffer_;
};

class FrameFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, root.filePath("user"));
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, root.filePath("system"));
        scopedEnv.Set("ZANDREL_QUEUE_SCOPE", ("halvane-frame-test-" + QString::number(QCoreApplication::applicationPid()) +
                                              "-" + QString::number(++scope_)).toUtf8());
        // The suite's stand-ins a test starts keep their state in the test's folder, never
        // beside their programs in the build folder.
        QDir().mkpath(root.filePath("tamberlo"));
        scopedEnv.Set("XDG_STATE_HOME", root.filePath("state").toUtf8());
        scopedEnv.Set("TAMBERLO_STATE_DIR", root.filePath("tamberlo").toUtf8());
        QSettings suite(root.filePath("user/Tervanix/ZandrelSoftware.conf"), QSettings::IniFormat);
        suite.beginWriteArray("Players", 1);
        suite.setArrayIndex(0);
        suite.setValue("DisplayName", "Main player");
        suite.setValue("RegName", "Lumentra.Main");
        suite.setValue("Id", "{11111111-2222-3333-4444-555555555555}");
        suite.setValue("Param", "7");
        suite.endArray();
        Store("Port", 0);  // any free port: tests read the one taken
        Store("PlayerRegName", "Lumentra.Main");
    }

    void TearDown() override {
        frame.reset();
        // A queue's sender threads end on their own once it is gone: none outlives the test
        // (the next one changes the environment they read when they start a relay).
        EXPECT_TRUE(WaitUntil([] { return ThreadsNamed("queue sender") == 0; }, 30000));
    }

    // Two recorder folders and an archive under the test's folder, stored as the copy
    // settings (at the highest rate).
    void UseArchiveFolders(QString& rec1, QString& rec2, QString& archive) {
        rec1 = root.filePath("rec1");
        rec2 = root.filePath("rec2");
        archive = root.filePath("archive");
        for (const QString& folder : {rec1, rec2, archive}) QDir().mkpath(folder);
        Store("CopyToPath", archive);
        Store("CopyFromPathList", rec1 + ";" + rec2);
        Store("CopyRateLimit_MBperSEC", 99);
    }
    static void Store(const char* name, const QVariant& value) {
        QSettings settings(QSettings::NativeFormat, QSettings::UserScope, "Tervanix", "Halvane");
        settings.setValue(QStringLiteral("Settings/") + name, value);
    }

    // Makes the frame; `create` runs its creation too.
    CMainFrame& MakeFrame(bool create = true) {
        CMainFrame::Environment environment;
        environment.Components = &components;
        environment.MessageBoxes = &boxes;
        environment.Settings.Components = &components;
        environment.Settings.ExecutablePath = root.filePath("bin/Halvane");
        environment.Settings.AutostartFolder = root.filePath("autostart");
        environment.TimeSource = &clock;
        environment.TrayBackend = FakeTrayFactory(tray);
        environment.FilePrompt = &files;
        environment.Services = useSystemServices ? nullptr : &services;
        environment.Sleep = [this](int ms) { sleeps.push_back(ms); };
        // The test's own mount table (see MountTable), not the computer's.
        environment.MountTable = QFile::encodeName(MountTable());
        frame = std::make_unique<CMainFrame>(std::move(environment));
        if (create) {
            EXPECT_TRUE(frame->Create());
        }
        return *frame;
    }

    std::uint16_t PortNumber() const { return frame->Port.ListeningPort(); }

    // The frame's mount table, in the form of /etc/fstab: none unless a test writes one.
    QString MountTable() const { return root.filePath("fstab"); }

    QTemporaryDir root;
    // The test's environment variables, restored when the test is over (also after a
    // failed assertion).
    ScopedEnvironment scopedEnv;
    ComponentFactory components{QCoreApplication::applicationDirPath() + "/components"};
    RecordingBoxes boxes;
    ScriptedFiles files;
    RecordingServices services;
    bool useSystemServices = false;  // the frame's own service manager (systemctl) instead
    std::vector<int> sleeps;  // the GUI thread's sleeps, which take no time here
    FakeTrayState tray;
    FakeClock clock;
    LogCapture log;
    std::unique_ptr<CMainFrame> frame;

private:
    static inline int scope_ = 0;
};

}  // namespace hv::test
