#include "AnswerRelay.h"

#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <vector>

#include "HostAddresses.h"
#include "RelayTrust.h"

extern char** environ;

namespace zandrel {

namespace {

using Clock = std::chrono::steady_clock;

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

// Reaps `pid` if it ends within `waitMs`; true when it did (or is not ours to wait for).
bool ReapWithin(pid_t pid, int waitMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        const pid_t got = ::waitpid(pid, nullptr, WNOHANG);
        if (got == pid || (got < 0 && errno != EINTR)) return true;
        if (Clock::now() >= deadline) return false;
        ::poll(nullptr, 0, 10);
    }
}

// Starts the relay with `control` as its standard input and output and nothing else of
// this process. Returns its process id, or -1 with errno.
pid_t Spawn(const QByteArray& program, std::uint16_t port, int control) {
    std::vector<std::string> arguments = {program.toStdString(), "--with-parent", "--port", std::to_string(port),
                                          "--deliver-to-pid", std::to_string(::getpid())};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, control, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, control, STDOUT_FILENO);
    // Whatever this process holds besides (a queue's socket, the controller's port, a log)
    // is not the relay's, whether or not it was opened close-on-exec.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        errno = spawned;
        return -1;
    }
    return pid;
}

}  // namespace

std::shared_ptr<AnswerRelay> AnswerRelay::ForPort(std::uint16_t port) {
    // One relay per port for the whole process: it is the process's, as its queues are.
    static std::mutex mutex;
    static std::map<std::uint16_t, std::weak_ptr<AnswerRelay>> relays;
    std::lock_guard lock(mutex);
    std::shared_ptr<AnswerRelay> relay = relays[port].lock();
    if (!relay) {
        relay = std::make_shared<AnswerRelay>(port);
        relays[port] = relay;
    }
    return relay;
}

AnswerRelay::~AnswerRelay() { End(); }

bool AnswerRelay::Running() {
    if (pid_ <= 0) return false;
    if (::waitpid(pid_, nullptr, WNOHANG) == 0) return true;
    pid_ = -1;  // ended (and reaped now)
    End();
    return false;
}

void AnswerRelay::End() {
    if (control_ >= 0) ::close(control_);  // its input ends: it ends by itself
    control_ = -1;
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        if (!ReapWithin(pid_, kAnswerRelayEndWaitMs)) {
            // Whatever runs under that id may not heed SIGTERM.
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }
    pid_ = -1;
    said_.clear();
    listening_.clear();
    trustedFor_.clear();
}

void AnswerRelay::LetGo(const std::string& local, int stopFd) {
    std::lock_guard lock(mutex_);
    if (listening_.erase(local) == 0 || !Running()) return;
    std::string answer;
    (void)Ask("unlisten " + local, answer, stopFd);
}

void AnswerRelay::Forget(const void* owner) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> untrusted;
    for (auto it = trustedFor_.begin(); it != trustedFor_.end();) {
        it->second.erase(owner);
        if (!it->second.empty()) {
            ++it;
            continue;
        }
        untrusted.push_back(it->first);
        it = trustedFor_.erase(it);
    }
    // Nobody of this process talks to those computers any more: their frames are refused.
    // (The sender is ending: its own stop does not cut this short.)
    for (const std::string& address : untrusted) {
        std::string answer;
        if (!Running() || Ask("distrust " + address, answer, -1) != Said::Line) return;
    }
}

std::string AnswerRelay::Prepare(const std::string& local, const std::string& peer, int stopFd, const void* owner) {
    std::lock_guard lock(mutex_);
    if (!Running()) {
        const std::string problem = Start(stopFd);
        if (!problem.empty()) return problem;
    }
    if (listening_.count(local) == 0) {
        const std::string problem = Listen(local, peer, stopFd);
        if (!problem.empty()) return problem;
    }
    // A computer reached at one of this computer's own addresses is this computer: its
    // answers come from the address they are sent to (the relay still takes them only from
    // this user's processes).
    const auto known = trustedFor_.find(peer);
    if (known != trustedFor_.end() && known->second.count(owner) != 0) return {};  // as for its last message
    std::vector<std::string> trust = {peer};
    if (IsThisComputersAddress(peer)) trust.push_back(local);
    for (const std::string& address : trust) {
        const auto found = trustedFor_.find(address);
        if (found != trustedFor_.end()) {
            found->second.insert(owner);
            continue;
        }
        std::string answer;
        const Said said = Ask("trust " + address, answer, stopFd);
        if (said == Said::Stopped) return "closing";
        if (said != Said::Line) return "the relay for answers did not answer; ended";
        if (answer != "trusting " + address) return "the relay for answers cannot trust " + address + ": " + answer;
        trustedFor_[address].insert(owner);
    }
    return {};
}

std::string AnswerRelay::Start(int stopFd) {
    const auto now = Clock::now();
    if (started_ != Clock::time_point{} && now - started_ < pause_)
        return "the relay for answers is not running (it is started again after a pause)";
    const QByteArray program = RelayProgram();
    if (program.isEmpty() || ::access(program.constData(), X_OK) != 0)
        return "there is no relay program for answers (" + program.toStdString() + ")";
    started_ = now;
    pause_ = std::chrono::milliseconds(kAnswerRelayRestartPauseMs);
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return std::string("could not start the relay for answers: ") + std::strerror(errno);
    pid_ = Spawn(program, port_, ends[1]);
    const int spawnError = errno;
    ::close(ends[1]);
    control_ = ends[0];
    if (pid_ < 0) {
        End();
        return std::string("could not start the relay for answers: ") + std::strerror(spawnError);
    }
    std::string line;
    switch (ReadLine(line, stopFd)) {
        case Said::Line:
            if (line == "ready") return {};
            [[fallthrough]];
        case Said::Ended:
        case Said::Nothing:
            // A relay that does not speak would take the port whenever it came to: ended rather
            // than left to do that, and not started again for a while.
            End();
            pause_ = std::chrono::milliseconds(kAnswerRelaySilentPauseMs);
            return "the relay for answers did not say it is ready; ended (started again after a pause)";
        case Said::Stopped:
            End();
            return "closing";
    }
    return {};
}

std::string AnswerRelay::Listen(const std::string& local, const std::string& peer, int stopFd) {
    const auto refused = cannotListen_.find(local);
    if (refused != cannotListen_.end() &&
        Clock::now() - refused->second.at < std::chrono::milliseconds(kAnswerRelayListenRetryMs))
        return refused->second.why;
    std::string answer;
    const Said said = Ask("listen " + local, answer, stopFd);
    if (said == Said::Stopped) return "closing";
    if (said != Said::Line) return "the relay for answers did not answer; ended";
    const std::string where = local + ":" + std::to_string(port_);
    if (answer.rfind("listening " + local + " ", 0) == 0) {
        listening_.insert(local);
        cannotListen_.erase(local);
        return {};
    }
    // "cannot-listen ADDRESS PORT reason": most likely another program holds the port there.
    const std::size_t reason = answer.find(' ', answer.find(' ', answer.find(' ') + 1) + 1);
    std::string cause = reason == std::string::npos ? answer : answer.substr(reason + 1);
    // Any user of this computer may listen there first and so take the answers: say whose
    // program it is when it is not this user's.
    uid_t holder = 0;
    if (ListeningUser(local, port_, holder) && holder != ::geteuid())
        cause += "; a process of user " + std::to_string(holder) + " listens there";
    const std::string why = "the relay for answers cannot listen on " + where + " (" + cause + "): the answers of " +
                            peer + " cannot come back";
    cannotListen_[local] = {why, Clock::now()};
    return why;
}

AnswerRelay::Said AnswerRelay::Ask(const std::string& line, std::string& answer, int stopFd) {
    const std::string bytes = line + '\n';
    if (::send(control_, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
        End();
        return Said::Ended;
    }
    const Said said = ReadLine(answer, stopFd);
    if (said == Said::Ended || said == Said::Nothing) End();
    return said;
}

AnswerRelay::Said AnswerRelay::ReadLine(std::string& line, int stopFd) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kAnswerRelayStartWaitMs);
    for (;;) {
        const std::size_t end = said_.find('\n');
        if (end != std::string::npos) {
            line = said_.substr(0, end);
            said_.erase(0, end + 1);
            return Said::Line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return Said::Nothing;
        pollfd fds[2] = {{control_, POLLIN, 0}, {stopFd, POLLIN, 0}};
        const int ready = ::poll(fds, stopFd >= 0 ? 2 : 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) return Said::Nothing;
        if (ready <= 0) continue;
        if (stopFd >= 0 && fds[1].revents != 0) return Said::Stopped;
        char chunk[256];
        const ssize_t n = ::recv(control_, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Said::Ended;
        said_.append(chunk, static_cast<std::size_t>(n));
    }
}

}  // namespace zandrel
