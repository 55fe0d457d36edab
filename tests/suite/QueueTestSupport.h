#pragma once
// Helpers for tests of the message queue: a private scope for queue names, the relay and
// peer processes, a window that counts what the queue posts to it, and the installed
// component with the program's queue opened on it.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QThread>
#include <functional>
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

#include "ScopedEnvironment.h"
#include "platform/ComponentFactory.h"
#include "platform/WindowMessages.h"
#include "workflow/SuiteComponents.h"

namespace hv::test {

constexpr int kProcessTimeoutMs = 30000;

// Every test program works in a scope of queue names of its own, so that programs running
// side by side on one computer (and the real suite) never meet. Children inherit it.
// A loaded machine may be slow to take a message: sends wait longer than in real use.
inline void UsePrivateQueueScope() {
    if (qEnvironmentVariableIsEmpty("ZANDREL_QUEUE_SCOPE"))
        qputenv("ZANDREL_QUEUE_SCOPE", "halvane-test-" + QByteArray::number(QCoreApplication::applicationPid()));
    qputenv("ZANDREL_QUEUE_SEND_TIMEOUT_MS", "20000");
    qputenv("ZANDREL_QUEUE_LOCAL_TIMEOUT_MS", "20000");
}

// The runtime folder this test program was given (tests/support/PrivateUserFolders.h).
inline QString RuntimeFolderOfThisTest() { return qEnvironmentVariable("XDG_RUNTIME_DIR"); }

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

// A child process that talks in lines. Started with posix_spawn rather than QProcess, whose
// way of starting children the thread sanitizer cannot follow.
class LineProcess {
public:
    LineProcess() = default;
    ~LineProcess() {
        KillHard();
        CloseFds();
    }
    LineProcess(const LineProcess&) = delete;
    LineProcess& operator=(const LineProcess&) = delete;

    // `withErrors`: its standard error comes with its output (for what a relay traces).
    bool Start(const QString& program, const QStringList& args, bool withErrors = false) {
        int input[2];
        int output[2];
        if (::pipe2(input, O_CLOEXEC) != 0) return false;
        if (::pipe2(output, O_CLOEXEC) != 0) {
            ::close(input[0]);
            ::close(input[1]);
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        if (withErrors) posix_spawn_file_actions_adddup2(&actions, output[1], STDERR_FILENO);
        std::vector<QByteArray> argBytes{program.toLocal8Bit()};
        for (const QString& a : args) argBytes.push_back(a.toLocal8Bit());
        std::vector<char*> argv;
        for (QByteArray& a : argBytes) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int error = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(input[0]);
        ::close(output[1]);
        toChild_ = input[1];
        fromChild_ = output[0];
        if (error != 0) {
            pid_ = -1;
            CloseFds();
            return false;
        }
        return true;
    }

    // The next line of output without its line end; empty on time-out or end.
    QString ReadLine(int timeoutMs = kProcessTimeoutMs) {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            const qsizetype end = buffer_.indexOf('\n');
            if (end >= 0) {
                const QString line = QString::fromUtf8(buffer_.left(end));
                buffer_.remove(0, end + 1);
                return line;
            }
            if (fromChild_ < 0 || deadline.hasExpired()) return {};
            pollfd p{fromChild_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            char chunk[4096];
            const ssize_t n = ::read(fromChild_, chunk, sizeof chunk);
            if (n > 0) {
                buffer_.append(chunk, n);
            } else if (n == 0 || errno != EINTR) {
                ::close(fromChild_);
                fromChild_ = -1;
            }
        }
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
        const QByteArray bytes = (line + u'\n').toUtf8();
        ASSERT_EQ(::write(toChild_, bytes.constData(), static_cast<size_t>(bytes.size())), bytes.size());
    }

    // Ends its input (a program that serves until then ends).
    void CloseInput() {
        if (toChild_ >= 0) ::close(toChild_);
        toChild_ = -1;
    }

    // SIGKILL, then waits for the end.
    void KillHard() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }

private:
    void CloseFds() {
        if (toChild_ >= 0) ::close(toChild_);
        if (fromChild_ >= 0) ::close(fromChild_);
        toChild_ = fromChild_ = -1;
    }

    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    QByteArray buffer_;
};

// The relay on loopback with a free port, trusting loopback (this user's processes there);
// the port is put into the environment, so that components created afterwards (and
// children started afterwards) use it.
class RelayProcess {
public:
    bool Start() {
        if (!process_.Start(BinaryPath("ZandrelQueueRelay"),
                            {"--port", "0", "--bind", "127.0.0.1", "--trust", "127.0.0.1"}))
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

// A test suite with queue names of its own and a relay on loopback for its whole run.
class QueueSuiteWithRelay : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        UsePrivateQueueScope();
        relay_ = std::make_unique<RelayProcess>();
        ASSERT_TRUE(relay_->Start());
    }
    static void TearDownTestSuite() { relay_.reset(); }

    static inline std::unique_ptr<RelayProcess> relay_;
};

// The peer program (tests/suite/queue_peer.cpp) holding `name`.
class PeerProcess : public LineProcess {
public:
    // The first line: "ready" when the name is held, else what the peer said.
    QString Open(const QString& name, const QStringList& options = {}) {
        if (!Start(BinaryPath("queue_peer"), QStringList{name} + options)) return QStringLiteral("not started");
        return ReadLine();
    }
    // The same through a command line that runs it (as another user, say): `commandLine` is
    // the program first, then its arguments, the peer's own last.
    QString OpenThrough(const QStringList& commandLine) {
        if (!Start(commandLine.value(0), commandLine.mid(1))) return QStringLiteral("not started");
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
        ReceiveWindowMessages(this);
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

// The component, created while the environment has `variables` (as ScopedEnvironment takes
// them: a null value removes one); the environment is as before afterwards.
inline std::unique_ptr<QueueComponent> ComponentWith(
    std::initializer_list<std::pair<const char*, const char*>> variables) {
    const ScopedEnvironment environment(variables);
    return std::make_unique<QueueComponent>();
}

// The program's queue "Halvane" opened on a component, with the window it announces
// arrivals to (which outlives it), and the component's side towards other computers.
class HalvaneQueue {
public:
    explicit HalvaneQueue(unsigned message) : window(message), message_(message) {}

    // Opens the queue (closing one opened before); false when it could not be opened.
    bool Open(QueueComponent& component) {
        Close();
        object = component.Open(QStringLiteral("Halvane"), &window, message_);
        queue = QueryInterface<IMessageQueue>(object.get());
        remote = QueryInterface<IRemoteQueues>(component.object.get());
        return queue != nullptr;
    }
    void Close() {
        queue = nullptr;
        object.reset();
    }

    HResult Send(std::int32_t sequence, const QString& host, const QString& target, const QString& first,
                 const QString& second, std::int32_t* status = nullptr, std::int32_t* result = nullptr) {
        // Not 0 before the call: a status of 0 afterwards is the component's own.
        std::int32_t s = 1;
        std::int32_t r = 0;
        const HResult res = queue->Send(s, r, sequence, 0, 0, host, target, first, second);
        if (status) *status = s;
        if (result) *result = r;
        return res;
    }
    // A command for the recorder: "Vortamo.Control" `command` to its queue "Vortamo1".
    HResult SendControl(std::int32_t sequence, const QString& host, const QString& command,
                        std::int32_t* status = nullptr, std::int32_t* result = nullptr) {
        return Send(sequence, host, QStringLiteral("Vortamo1"), QStringLiteral("Vortamo.Control"), command, status,
                    result);
    }

    // Takes the messages that arrive into `taken` until it holds `count`; false when they
    // did not come in time.
    bool TakeUntil(std::vector<QueueMessage>& taken, std::size_t count = 1, int timeoutMs = kProcessTimeoutMs) {
        return WaitUntil(
            [&] {
                for (QueueMessage& m : TakeAll(queue)) taken.push_back(std::move(m));
                return taken.size() >= count;
            },
            timeoutMs);
    }
    // The notes of the component's senders not taken yet.
    QStringList TakeNotes() {
        QStringList notes;
        for (QString note; remote->TakeNote(note) == S_OK;) notes << note;
        return notes;
    }

    TestWindow window;
    ComponentPtr object;
    IMessageQueue* queue = nullptr;
    IRemoteQueues* remote = nullptr;

private:
    unsigned message_;
};

}  // namespace hv::test
