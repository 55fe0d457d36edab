#include "RemoteSender.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
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
// Waits a little for the relay `pid` to listen on `address`:`port`, so that an answer that
// comes back at once finds it. Ends early when the relay ended or `stopFd` became readable.
void WaitUntilListening(const std::string& address, std::uint16_t port, pid_t pid, int stopFd) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) return;
    for (int round = 0; round < 50; ++round) {
        const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool listening = fd >= 0 && ::connect(fd, found->ai_addr, found->ai_addrlen) == 0;
        if (fd >= 0) ::close(fd);
        if (listening || ::kill(pid, 0) != 0) break;
        pollfd stop{stopFd, POLLIN, 0};
        if (::poll(&stop, 1, 10) != 0) break;
    }
    ::freeaddrinfo(found);
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

    const QueueConfig config;
    const QString host;
    // Readable once the sender was told to stop: ends a connection or wait under way.
    const int stopFd;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Item> queue;
    bool stop = false;
    // Sender thread only.
    int relayPid = -1;  // the answer relay, started and reaped by the sender thread
    bool relayMissing = false;  // said once
    std::chrono::steady_clock::time_point relayStarted{};
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
    // One that gives way to another relay ends at once: not a new process for every message.
    const auto now = std::chrono::steady_clock::now();
    if (relayStarted != std::chrono::steady_clock::time_point{} &&
        now - relayStarted < std::chrono::milliseconds(kAnswerRelayRestartPauseMs))
        return;
    const QByteArray program = RelayProgram();
    if (ends.local.empty() || ends.peer.empty() || program.isEmpty() || ::access(program.constData(), X_OK) != 0) {
        if (!relayMissing) hv::Trace("Zandrel.MessageQueue: no relay for answers from " + host.toStdString() + "\n");
        relayMissing = true;
        return;
    }
    relayStarted = now;
    const std::string port = std::to_string(config.relayPort);
    std::vector<std::string> arguments = {program.toStdString(), "--port", port, "--bind", ends.local,
                                          "--trust", ends.peer, "--with-parent"};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) relayPid = pid;
    posix_spawn_file_actions_destroy(&actions);
    if (relayPid > 0) WaitUntilListening(ends.local, config.relayPort, relayPid, stopFd);
}

void RemoteSender::State::EndAnswerRelay() {
    if (relayPid <= 0) return;
    ::kill(relayPid, SIGTERM);
    ::waitpid(relayPid, nullptr, 0);
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
