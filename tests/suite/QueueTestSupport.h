#pragma once
// Helpers for tests of the message queue: a private scope for queue names, the relay and
// peer processes, and a window that counts what the queue posts to it.

#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QProcess>
#include <QThread>
#include <functional>
#include <memory>

#include "platform/ComponentFactory.h"
#include "platform/WindowMessages.h"
#include "workflow/SuiteComponents.h"

namespace hv::test {

constexpr int kProcessTimeoutMs = 30000;

// Every test program works in a scope of queue names of its own, so that programs running
// side by side on one computer (and the real suite) never meet. Children inherit it.
inline void UsePrivateQueueScope() {
    if (qEnvironmentVariableIsEmpty("ZANDREL_QUEUE_SCOPE"))
        qputenv("ZANDREL_QUEUE_SCOPE", "halvane-test-" + QByteArray::number(QCoreApplication::applicationPid()));
}

inline QString BinaryPath(const char* name) {
    return QCoreApplication::applicationDirPath() + u'/' + QString::fromUtf8(name);
}

// Runs the event loop until `done` holds or the time is up.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = kProcessTimeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

// A child process that talks in lines.
class LineProcess {
public:
    LineProcess() { process_.setProcessChannelMode(QProcess::ForwardedErrorChannel); }
    ~LineProcess() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(kProcessTimeoutMs);
        }
    }

    bool Start(const QString& program, const QStringList& args) {
        process_.start(program, args);
        return process_.waitForStarted(kProcessTimeoutMs);
    }

    // The next line of output without its line end; empty on time-out or end.
    QString ReadLine(int timeoutMs = kProcessTimeoutMs) {
        QDeadlineTimer deadline(timeoutMs);
        while (!process_.canReadLine()) {
            if (deadline.hasExpired() || process_.state() == QProcess::NotRunning) {
                if (!process_.canReadLine()) return {};
                break;
            }
            process_.waitForReadyRead(50);
        }
        return QString::fromUtf8(process_.readLine()).chopped(1);
    }

    // Reads lines until one starts with `prefix`; returns it, or empty.
    QString ReadLineStartingWith(const QString& prefix, int timeoutMs = kProcessTimeoutMs) {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            const QString line = ReadLine(static_cast<int>(deadline.remainingTime()));
            if (line.isEmpty() || line.startsWith(prefix)) return line;
        }
    }

    void Write(const QString& line) {
        process_.write((line + u'\n').toUtf8());
        process_.waitForBytesWritten(kProcessTimeoutMs);
    }

    void KillHard() {
        ::kill(static_cast<pid_t>(process_.processId()), SIGKILL);
        process_.waitForFinished(kProcessTimeoutMs);
    }

    QProcess& Process() { return process_; }

private:
    QProcess process_;
};

// The relay on loopback with a free port; the port is put into the environment, so that
// components created afterwards (and children started afterwards) use it.
class RelayProcess {
public:
    bool Start() {
        if (!process_.Start(BinaryPath("ZandrelQueueRelay"), {"--port", "0", "--bind", "127.0.0.1"}))
            return false;
        const QString line = process_.ReadLine();
        if (!line.startsWith(QLatin1StringView("listening "))) return false;
        port = line.mid(10).toUShort();
        qputenv("ZANDREL_QUEUE_RELAY_PORT", QByteArray::number(port));
        return port != 0;
    }
    void Stop() { process_.KillHard(); }
    std::uint16_t port = 0;

private:
    LineProcess process_;
};

// The peer program (tests/suite/queue_peer.cpp) holding `name`.
class PeerProcess : public LineProcess {
public:
    // The first line: "ready" when the name is held, else what the peer said.
    QString Open(const QString& name, const QStringList& options = {}) {
        if (!Start(BinaryPath("queue_peer"), QStringList{name} + options)) return QStringLiteral("not started");
        return ReadLine();
    }
    // Sends `count` messages through the peer; returns how many were accepted.
    int Send(const QString& host, const QString& queue, const QString& first, const QString& second,
             int count = 1) {
        Write(QStringLiteral("send\t%1\t%2\t%3\t%4\t%5").arg(host, queue, first, second).arg(count));
        const QString line = ReadLineStartingWith(QStringLiteral("sent\t"));
        return line.section(u'\t', 1, 1).toInt();
    }
};

// Stands in for a window: counts the messages posted to it and runs a handler for each.
class TestWindow final : public QObject {
public:
    explicit TestWindow(unsigned message) : message_(message) {}
    bool event(QEvent* e) override {
        if (e->type() != EventTypeOf(message_)) return QObject::event(e);
        ++posted;
        if (onMessage) onMessage();
        return true;
    }
    int posted = 0;
    std::function<void()> onMessage;

private:
    unsigned message_;
};

// The installed component, as the program creates it.
struct QueueComponent {
    QueueComponent() : factory(ComponentFactory::DefaultDirectory()) {
        object = factory.CreateFor(kMessageQueueServiceClass, service);
    }
    // Opens `name`; null when it could not be opened.
    ComponentPtr Open(const QString& name, QObject* window, unsigned message, HResult* res = nullptr,
                      std::int32_t* result = nullptr) {
        std::int32_t status = 0;
        std::int32_t r = 0;
        ComponentPtr queue;
        const HResult h = service->CreateQueue(status, r, name, window, message, 0, 0, queue);
        if (res) *res = h;
        if (result) *result = r;
        return queue;
    }
    ComponentFactory factory;
    IQueueService* service = nullptr;
    ComponentPtr object;
};

// Takes every waiting message off `queue`.
inline std::vector<QueueMessage> TakeAll(IMessageQueue* queue) {
    std::vector<QueueMessage> taken;
    std::int32_t count = 0;
    std::int32_t second = 0;
    while (queue->GetCount(count, second) == S_OK && count > 0) {
        QueueMessage m;
        if (queue->Receive(m) != S_OK || m.Values[2] != 1) break;
        taken.push_back(m);
    }
    return taken;
}

}  // namespace hv::test
