#include "RemoteSender.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QFileInfo>
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
}  // namespace

RemoteSender::RemoteSender(QueueConfig config, QString host)
    : config_(std::move(config)), host_(std::move(host)), thread_([this] { Run(); }) {}

RemoteSender::~RemoteSender() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

// Sender thread.
void RemoteSender::StartAnswerRelay(const ConnectionEnds& ends) {
    relayTried_ = true;
    const QByteArray program = RelayProgram();
    if (ends.local.empty() || ends.peer.empty() || program.isEmpty() || ::access(program.constData(), X_OK) != 0) {
        hv::Trace("Zandrel.MessageQueue: no relay for answers from " + host_.toStdString() + "\n");
        return;
    }
    const std::string port = std::to_string(config_.relayPort);
    std::vector<std::string> arguments = {program.toStdString(), "--port", port, "--bind", ends.local,
                                          "--trust", ends.peer, "--with-parent"};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) relayPid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
}

int RemoteSender::Enqueue(std::int32_t sequence, const QString& target, QByteArray frame) {
    {
        std::lock_guard lock(mutex_);
        if (queue_.size() >= kMaxQueuedRemoteMessages) return ENOBUFS;
        queue_.push_back({sequence, target, std::move(frame)});
    }
    wake_.notify_one();
    return 0;
}

void RemoteSender::GiveUp(const Item& item, const std::string& reason) {
    hv::Trace("Zandrel.MessageQueue: gave up sending message " + std::to_string(item.sequence) +
              " to '" + item.target.toStdString() + "' on " + host_.toStdString() + ": " + reason + "\n");
}

// Sender thread.
void RemoteSender::Deliver(const Item& item) {
    int error = 0;
    for (int attempt = 1; attempt <= kRemoteAttempts; ++attempt) {
        WireAck ack;
        ConnectionEnds ends;
        error = SendRemote(config_, host_, item.frame, ack, &ends);
        if (error == 0 && !relayTried_) StartAnswerRelay(ends);
        if (error == 0) {
            // The relay answered: the outcome there is final.
            if (ack.res != 0 || ack.status != 1)
                GiveUp(item, std::string("refused there (") + std::strerror(ack.result) + ")");
            return;
        }
        std::unique_lock lock(mutex_);
        if (stop_ || attempt == kRemoteAttempts) break;
        wake_.wait_for(lock, std::chrono::milliseconds(kRemoteRetryPauseMs), [this] { return stop_; });
        if (stop_) break;
    }
    GiveUp(item, std::strerror(error));
}

// Sender thread.
void RemoteSender::Run() {
    pthread_setname_np(pthread_self(), "queue sender");
    for (;;) {
        Item item;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (stop_) {
                for (const Item& left : queue_) GiveUp(left, "the queue was closed");
                queue_.clear();
                if (relayPid_ > 0) {
                    ::kill(relayPid_, SIGTERM);
                    ::waitpid(relayPid_, nullptr, 0);
                    relayPid_ = -1;
                }
                return;
            }
            item = std::move(queue_.front());
            queue_.pop_front();
        }
        Deliver(item);
    }
}

}  // namespace zandrel
