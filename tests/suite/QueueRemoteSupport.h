#pragma once
// Helpers for tests of messages between computers, played on this one: relays standing for
// other computers on other loopback addresses (127.0.0.2, 127.0.0.3), a port that takes
// connections and never answers, connections from a chosen address, the answer relays and
// sender threads of this process, and what became of a message sent to another computer.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <functional>
#include <vector>

#include "QueueTestSupport.h"
#include "ScopedEnvironment.h"

namespace hv::test {

// The message the recorder stand-in (queue_peer) prints for a command that came from the
// program's queue on 127.0.0.1.
inline QString ControlGot(std::int32_t sequence, const QString& command) {
    return QStringLiteral("got\t%1\t127.0.0.1\tHalvane\tVortamo.Control\t%2").arg(sequence).arg(command);
}

// A child of this process as /proc tells it.
struct ChildProcess {
    QByteArray name;  // as the kernel keeps it, at most 15 characters
    QByteArray state;
    QByteArray commandLine;
};

// The children of this process (any state, zombies too) that `wanted` picks.
inline std::vector<pid_t> ChildrenWhere(const std::function<bool(const ChildProcess&)>& wanted) {
    std::vector<pid_t> found;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isPid = false;
        const pid_t pid = static_cast<pid_t>(entry.toInt(&isPid));
        if (!isPid) continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (!stat.open(QIODevice::ReadOnly) || !commandLine.open(QIODevice::ReadOnly)) continue;
        const QByteArray statText = stat.readAll();
        const qsizetype open = statText.indexOf('(');
        const qsizetype close = statText.lastIndexOf(')');
        const QList<QByteArray> fields = statText.mid(close + 2).split(' ');
        if (fields.size() <= 1 || fields[1].toInt() != ::getpid()) continue;
        if (wanted({statText.mid(open + 1, close - open - 1), fields[0], commandLine.readAll()})) found.push_back(pid);
    }
    return found;
}

// The answer relays the component of this process started that still run.
inline std::vector<pid_t> ChildRelays() {
    return ChildrenWhere([](const ChildProcess& child) {
        return child.name.startsWith("ZandrelQueueRel") && child.state != "Z" &&
               child.commandLine.contains("--with-parent");
    });
}

// Children of this process (any state, zombies too) whose command line holds `text`.
inline std::vector<pid_t> ChildrenRunning(const QByteArray& text) {
    return ChildrenWhere([&text](const ChildProcess& child) { return child.commandLine.contains(text); });
}

// The sender threads of this process (one per other computer a component sends to).
inline int QueueSenderThreads() {
    int count = 0;
    for (const QFileInfo& task : QDir(QStringLiteral("/proc/self/task")).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(task.absoluteFilePath() + QStringLiteral("/comm"));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "queue sender") ++count;
    }
    return count;
}

// A script in `folder` that the component starts as its answer relay: it notes each start in
// the file HALVANE_TEST_RELAY_STARTS (when set), waits HALVANE_TEST_RELAY_DELAY seconds and
// becomes the relay; with the delay "close" it closes its output and stays without a word.
inline QString SlowRelayScript(const QTemporaryDir& folder) {
    const QString path = folder.filePath(QStringLiteral("slow-relay"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return {};
    file.write("#!/bin/sh\n"
               "[ -n \"$HALVANE_TEST_RELAY_STARTS\" ] && echo start >> \"$HALVANE_TEST_RELAY_STARTS\"\n"
               "if [ \"$HALVANE_TEST_RELAY_DELAY\" = close ]; then exec >&-; sleep 30; exit 0; fi\n"
               "sleep \"$HALVANE_TEST_RELAY_DELAY\"\n"
               "exec \"" + BinaryPath("ZandrelQueueRelay").toLocal8Bit() + "\" \"$@\"\n");
    file.close();
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner)) return {};
    return path;
}

// A TCP connection from `from` (an IPv4 address; empty: any) to `port` on 127.0.0.1;
// -1 when it could not be made.
inline int ConnectFrom(const QString& from, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in source{};
    source.sin_family = AF_INET;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if ((!from.isEmpty() && (::inet_pton(AF_INET, from.toLatin1().constData(), &source.sin_addr) != 1 ||
                             ::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0)) ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Waits up to 10 s for the other end of `fd` to say something: true when it closed the
// connection (or said nothing) instead.
inline bool AnswersNothing(int fd) {
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char answer[64];
    return ::recv(fd, answer, sizeof answer, 0) <= 0;
}

// A TCP port on `address` that takes connections and never answers; counts them.
class SilentRelay {
public:
    explicit SilentRelay(const char* address = "127.0.0.1") : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in where{};
        where.sin_family = AF_INET;
        ::inet_pton(AF_INET, address, &where.sin_addr);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || ::listen(fd_, 16) != 0) return;
        socklen_t size = sizeof where;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&where), &size);
        port = ntohs(where.sin_port);
    }
    ~SilentRelay() {
        for (const int fd : taken_) ::close(fd);
        ::close(fd_);
    }
    SilentRelay(const SilentRelay&) = delete;
    SilentRelay& operator=(const SilentRelay&) = delete;
    // Whether a connection waits to be taken within `timeoutMs` (it is left waiting).
    bool WaitForConnection(int timeoutMs) {
        pollfd waiting{fd_, POLLIN, 0};
        return ::poll(&waiting, 1, timeoutMs) == 1;
    }
    // The connections that came so far (taken, and held open unanswered).
    int Connections() {
        while (WaitForConnection(0)) {
            const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) break;
            taken_.push_back(fd);
        }
        return static_cast<int>(taken_.size());
    }
    std::uint16_t port = 0;

private:
    int fd_;
    std::vector<int> taken_;
};

// A relay of this user in a process of its own, started with `arguments`; its first line.
inline QString StartRelay(LineProcess& relay, const QStringList& arguments) {
    if (!relay.Start(BinaryPath("ZandrelQueueRelay"), arguments)) return QStringLiteral("not started");
    return relay.ReadLine();
}

// The arguments of a relay standing for another computer at `address`, trusting this one.
inline QStringList OtherComputerRelay(const QString& address, const QString& port) {
    return {"--port", port, "--bind", address, "--trust", "127.0.0.1"};
}

// A relay's port that nobody listens on any more (a relay started and stopped); 0 when the
// relay did not start. The environment is left as it was.
inline std::uint16_t DeadRelayPort() {
    ScopedEnvironment keep;
    keep.Keep("ZANDREL_QUEUE_RELAY_PORT");
    RelayProcess gone;
    if (!gone.Start()) return 0;
    gone.Stop();
    return gone.port;
}

// What a message sent to another computer came to, as the component says.
struct Outcome {
    HResult res = S_FALSE;
    std::int32_t state = -1;
    std::int32_t result = -1;
};

inline Outcome DeliveryOf(IRemoteQueues* remote, const QString& host, std::int32_t sequence) {
    Outcome o;
    o.res = remote->DeliveryOf(host, sequence, o.state, o.result);
    return o;
}

// Waits until the message is no longer on its way; its outcome.
inline Outcome OutcomeOf(IRemoteQueues* remote, const QString& host, std::int32_t sequence) {
    Outcome o;
    WaitUntil([&] {
        o = DeliveryOf(remote, host, sequence);
        return o.res != S_OK || o.state != kDeliveryPending;
    });
    return o;
}

// Tests with another computer: queue names of their own, and the relay of that computer
// (on 127.0.0.2, trusting this one) when they start it. What they set in `environment` is
// undone after them.
class AnotherComputer : public ::testing::Test {
protected:
    void SetUp() override { UsePrivateQueueScope(); }

    // Starts `relay` as the relay of the other computer (at `wantedPort`, 0: a free one);
    // once it listens, its port is in `port` and, for the components made afterwards, in
    // the environment.
    ::testing::AssertionResult StartRemoteRelay(LineProcess& relay, QString& port,
                                                const QString& wantedPort = QStringLiteral("0")) {
        const QString line = StartRelay(relay, OtherComputerRelay(QStringLiteral("127.0.0.2"), wantedPort));
        if (!line.startsWith(QLatin1StringView("listening ")))
            return ::testing::AssertionFailure() << "the relay said: " << line.toStdString();
        port = line.mid(10);
        environment.Set("ZANDREL_QUEUE_RELAY_PORT", port.toUtf8());
        return ::testing::AssertionSuccess();
    }

    // The components made afterwards start their answer relay through SlowRelayScript in
    // `folder` (its delay still to be set), which notes each start in `startsFile` when one
    // is given. The script's path; empty when it could not be made.
    QString UseScriptedAnswerRelay(const QTemporaryDir& folder, const QString& startsFile = QString()) {
        const QString script = SlowRelayScript(folder);
        if (script.isEmpty()) return {};
        environment.Set("ZANDREL_QUEUE_RELAY_PROGRAM", script.toLocal8Bit());
        if (!startsFile.isEmpty()) environment.Set("HALVANE_TEST_RELAY_STARTS", startsFile.toLocal8Bit());
        return script;
    }

    ScopedEnvironment environment;
    LineProcess remoteRelay;
};

}  // namespace hv::test
