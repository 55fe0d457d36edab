#include "RemoteSender.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QFileInfo>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include <cerrno>
#include <cstring>

#include "platform/Trace.h"

extern char** environ;

namespace zandrel {

namespace {
// The relay program: ZANDREL_QUEUE_RELAY_PROGRAM, or the one installed next to the folder
// of this component.
QByteArray RelayProgram() {
    const QByteArray configured = qgetenv("ZANDREL_QUEUE_RELAY_PROGRAM");
    if (!configured.isEmpty()) return configured;
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&RelayProgram), &info) == 0 || info.dli_fname == nullptr) return {};
    const QFileInfo component(QString::fromLocal8Bit(info.dli_fname));
    return QFileInfo(component.absolutePath() + QStringLiteral("/../ZandrelQueueRelay"))
        .absoluteFilePath()
        .toLocal8Bit();
}
// The process's environment now, one "NAME=value" a string.
std::vector<std::string> CurrentEnvironment() {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) entries.emplace_back(*entry);
    return entries;
}

// Waits a little for the relay just started to say on `output` (its standard output) that
// it listens, or to end (it gives way to a relay listening there already). Its own word is
// awaited, not a connection to the port: another relay may answer there while this one is
// still starting, and would leave it to take the port later, when that other one has gone.
// Ends early when `stopFd` became readable.
enum class RelayStart { Listening, Ended, NoWord, Stopped };
RelayStart WaitUntilListening(int output, int stopFd) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerRelayStartWaitMs);
    std::string text;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return RelayStart::NoWord;
        pollfd fds[2] = {{output, POLLIN, 0}, {stopFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) return RelayStart::NoWord;
        if (ready <= 0) continue;
        if (fds[1].revents != 0) return RelayStart::Stopped;
        char chunk[64];
        const ssize_t n = ::read(output, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) return RelayStart::Ended;  // without listening
        if (n < 0) return RelayStart::NoWord;
        text.append(chunk, static_cast<std::size_t>(n));
        if (text.find('\n') != std::string::npos)
            return text.rfind("listening ", 0) == 0 ? RelayStart::Listening : RelayStart::NoWord;
    }
}

// Reaps `pid` if it ends within `waitMs`; true when it did (or is not ours to wait for).
bool ReapWithin(pid_t pid, int waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        const pid_t got = ::waitpid(pid, nullptr, WNOHANG);
        if (got == pid || (got < 0 && errno != EINTR)) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        ::poll(nullptr, 0, 10);
    }
}

// Ends a relay this sender started and reaps it: asked to end first, killed when it has not
// ended a little later (whatever runs under that process id may not heed SIGTERM).
void EndProcess(pid_t pid) {
    ::kill(pid, SIGTERM);
    if (ReapWithin(pid, kAnswerRelayEndWaitMs)) return;
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

struct RemoteSender::State {
    struct Item {
        std::int32_t sequence;
        QString target;
        QByteArray frame;
    };

    State(QueueConfig config, QString host)
        : config(std::move(config)), host(std::move(host)), stopFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~State() {
        if (stopFd >= 0) ::close(stopFd);
    }

    void Run();  // the sender thread, from here on
    void Deliver(const Item& item);
    void GiveUp(const Item& item, const std::string& reason) const;
    // Starts the answer relay, or again when it has ended.
    void KeepAnswerRelay(const ConnectionEnds& ends);
    void EndAnswerRelay();
    static void SayOnce(bool& said, const std::string& text);

    const QueueConfig config;
    const QString host;
    // The answer relay's program and environment, taken when the sender is made: the sender
    // thread never reads the process's environment, which other threads may change.
    const QByteArray relayProgram = RelayProgram();
    const std::vector<std::string> environment = CurrentEnvironment();
    // Readable once the sender was told to stop: ends a connection or wait under way.
    const int stopFd;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Item> queue;
    bool stop = false;
    // Sender thread only.
    int relayPid = -1;  // the answer relay, started and reaped by the sender thread
    bool relayMissing = false;  // said once
    bool startFailed = false;   // said once
    bool relayGaveWay = false;  // said once
    std::chrono::steady_clock::time_point relayStarted{};
    std::chrono::milliseconds relayPause{kAnswerRelayRestartPauseMs};  // before the next start
};

RemoteSender::RemoteSender(QueueConfig config, QString host)
    : state_(std::make_shared<State>(std::move(config), std::move(host))) {
    std::thread([state = state_] { state->Run(); }).detach();
}

RemoteSender::~RemoteSender() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stop = true;
    }
    state_->wake.notify_all();
    if (state_->stopFd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(state_->stopFd, &one, sizeof one);
    }
}

int RemoteSender::Enqueue(std::int32_t sequence, const QString& target, QByteArray frame) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->queue.size() >= kMaxQueuedRemoteMessages) return ENOBUFS;
        state_->queue.push_back({sequence, target, std::move(frame)});
    }
    state_->wake.notify_one();
    return 0;
}

void RemoteSender::State::KeepAnswerRelay(const ConnectionEnds& ends) {
    if (relayPid > 0) {
        if (::waitpid(relayPid, nullptr, WNOHANG) == 0) return;  // still there
        relayPid = -1;
    }
    // Not a new process for every message: one that ended (killed, say) is started again at
    // most once a second, and one that did not come to listen (it gave way to a relay that
    // listens there already, or stayed silent) only after a long pause.
    const auto now = std::chrono::steady_clock::now();
    if (relayStarted != std::chrono::steady_clock::time_point{} && now - relayStarted < relayPause) return;
    const QByteArray& program = relayProgram;
    if (ends.local.empty() || ends.peer.empty() || program.isEmpty() || ::access(program.constData(), X_OK) != 0) {
        if (!relayMissing) hv::Trace("Zandrel.MessageQueue: no relay for answers from " + host.toStdString() + "\n");
        relayMissing = true;
        return;
    }
    relayStarted = now;
    relayPause = std::chrono::milliseconds(kAnswerRelayRestartPauseMs);
    const std::string port = std::to_string(config.relayPort);
    std::vector<std::string> arguments = {program.toStdString(), "--port", port, "--bind", ends.local,
                                          "--trust", ends.peer, "--with-parent"};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    // Its standard output comes here: it says there when it listens.
    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0) {
        SayOnce(startFailed, "could not start the relay for answers from " + host.toStdString() + ": " +
                                 std::strerror(errno));
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    pid_t pid = -1;
    std::vector<char*> envp;
    for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);
    if (spawned != 0) {
        ::close(output[0]);
        SayOnce(startFailed, "could not start the relay for answers from " + host.toStdString() + ": " +
                                 std::strerror(spawned));
        return;
    }
    relayPid = pid;
    // Before the message goes out the new relay either listens or has ended, so that the
    // answer finds it, and a relay that gives way is gone rather than about to take the
    // port when the one it gave way to ends.
    switch (WaitUntilListening(output[0], stopFd)) {
        case RelayStart::Listening:
        case RelayStart::Stopped:  // ended with the sender
            break;
        case RelayStart::Ended:
            // It closed its output on its way out; whatever still runs there is ended.
            if (!ReapWithin(relayPid, kAnswerRelayEndWaitMs)) EndProcess(relayPid);
            relayPid = -1;
            relayPause = std::chrono::milliseconds(kAnswerRelayGiveWayPauseMs);
            SayOnce(relayGaveWay, "the relay for answers from " + host.toStdString() + " did not listen on " +
                                      ends.local + ":" + port + " (a relay listens there already?); " +
                                      "it is tried again after a pause");
            break;
        case RelayStart::NoWord:
            // A silent relay would take the port whenever it came to bind it, perhaps from a
            // relay that serves this computer: it is ended rather than left to do that.
            EndProcess(relayPid);
            relayPid = -1;
            relayPause = std::chrono::milliseconds(kAnswerRelayGiveWayPauseMs);
            hv::Trace("Zandrel.MessageQueue: the relay for answers from " + host.toStdString() +
                      " did not say it listens; ended\n");
            break;
    }
    ::close(output[0]);
}

void RemoteSender::State::SayOnce(bool& said, const std::string& text) {
    if (said) return;
    said = true;
    hv::Trace("Zandrel.MessageQueue: " + text + "\n");
}

void RemoteSender::State::EndAnswerRelay() {
    if (relayPid <= 0) return;
    EndProcess(relayPid);
    relayPid = -1;
}

void RemoteSender::State::GiveUp(const Item& item, const std::string& reason) const {
    hv::Trace("Zandrel.MessageQueue: gave up sending message " + std::to_string(item.sequence) +
              " to '" + item.target.toStdString() + "' on " + host.toStdString() + ": " + reason + "\n");
}

void RemoteSender::State::Deliver(const Item& item) {
    int error = 0;
    for (int attempt = 1; attempt <= kRemoteAttempts; ++attempt) {
        WireAck ack;
        // The relay for the answers listens before the message goes out.
        error = SendRemote(config, host, item.frame, ack, nullptr, stopFd,
                           [this](const ConnectionEnds& ends) { KeepAnswerRelay(ends); });
        if (error == 0) {
            // The relay answered: the outcome there is final.
            if (ack.res != 0 || ack.status != 1)
                GiveUp(item, std::string("refused there (") + std::strerror(ack.result) + ")");
            return;
        }
        std::unique_lock lock(mutex);
        if (stop || attempt == kRemoteAttempts) break;
        wake.wait_for(lock, std::chrono::milliseconds(kRemoteRetryPauseMs), [this] { return stop; });
        if (stop) break;
    }
    GiveUp(item, error == ECANCELED ? "the queue was closed" : std::strerror(error));
}

void RemoteSender::State::Run() {
    pthread_setname_np(pthread_self(), "queue sender");
    for (;;) {
        Item item;
        {
            std::unique_lock lock(mutex);
            wake.wait(lock, [this] { return stop || !queue.empty(); });
            if (stop) {
                for (const Item& left : queue) GiveUp(left, "the queue was closed");
                queue.clear();
                lock.unlock();
                EndAnswerRelay();
                return;
            }
            item = std::move(queue.front());
            queue.pop_front();
        }
        Deliver(item);
    }
}

// ---------------------------------------------------------------------------------------

int RemoteSenders::Enqueue(const QString& host, std::int32_t sequence, const QString& target,
                           QByteArray frame) {
    std::lock_guard lock(mutex_);
    std::unique_ptr<RemoteSender>& sender = senders_[host.toLower()];
    if (!sender) sender = std::make_unique<RemoteSender>(config_, host);
    return sender->Enqueue(sequence, target, std::move(frame));
}

}  // namespace zandrel
