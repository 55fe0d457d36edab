#include "crestron/Port4Crestron.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <system_error>

#include "crestron/CommandFramer.h"
#include "crestron/CrestronConnection.h"
#include "crestron/CrestronProtocol.h"
#include "language/Language.h"
#include "language/MessageText.h"
#include "log/DiagnosticLog.h"
#include "platform/SocketWatch.h"
#include "platform/WindowMessages.h"

namespace hv {

namespace {

constexpr int kBacklog = 3;
constexpr int kReadBufferBytes = 4096;

}  // namespace

CPort4Crestron::CPort4Crestron() : stopEventFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

CPort4Crestron::~CPort4Crestron() {
    ClosePort();
    if (worker_.joinable()) std::abort();  // ClosePort joins it; anything else is a bug
    if (stopEventFd_ >= 0) ::close(stopEventFd_);
}

// Sets the stop flag and wakes the working thread out of its wait.
void CPort4Crestron::SignalStop() {
    stop_.store(true);
    if (stopEventFd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(stopEventFd_, &one, sizeof one);
    }
}

bool CPort4Crestron::InitPort(unsigned port, QObject* window, CGameInfo* game) {
    game_ = game;
    window_ = window;
    notifyMessage_ = kMsgConnectionWaiting;
    // The socket layer needs no start-up here.
    return OpenPort(port);
}

void CPort4Crestron::Fail(int step) {
    lastError_ = errno;
    step_ = step;
}

bool CPort4Crestron::OpenPort(unsigned port) {
    // A second opening without ClosePort replaces the listening socket instead of
    // leaking it.
    watch_.reset();
    if (listeningFd_ >= 0) ::close(listeningFd_);

    listeningFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (listeningFd_ < 0) {
        Fail(kStepSocket);
        return false;
    }
    // Lets a restarted program listen again while old connections linger in TIME_WAIT;
    // a port another socket listens on still fails with EADDRINUSE.
    const int one = 1;
    ::setsockopt(listeningFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::bind(listeningFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        Fail(kStepBind);
        return false;
    }
    if (::listen(listeningFd_, kBacklog) != 0) {
        Fail(kStepListen);
        return false;
    }
    if (window_ != nullptr) watch_ = std::make_unique<SocketWatch>(listeningFd_, window_, notifyMessage_);
    if (!watch_ || !watch_->IsValid()) {
        watch_.reset();
        errno = EINVAL;
        Fail(kStepNotify);
        return false;
    }
    step_ = kStepListening;
    lastError_ = 0;
    return true;
}

QString CPort4Crestron::GetInitErrorText(unsigned port) const {
    return FillMessage(LoadStringOrMark(513), {static_cast<std::uint16_t>(port), lastError_, step_});
}

std::uint16_t CPort4Crestron::ListeningPort() const {
    if (listeningFd_ < 0) return 0;
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (::getsockname(listeningFd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
    return ntohs(address.sin_port);
}

void CPort4Crestron::AcceptConnection() {
    WriteLog("Halvane::AcceptConnection START\n");
    const int fd = ::accept4(listeningFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    const int error = errno;
    if (watch_) watch_->Rearm();
    if (fd < 0) {
        WriteLog("Halvane::AcceptConnection ERROR = %d\n", error);
        return;
    }
    // Answers go out at once, not held back for coalescing.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    CloseConnection();
    stop_.store(false);
    connectionFd_ = fd;
    WriteLog("Halvane::AcceptConnection SUCCESS\n");
    try {
        worker_ = std::thread(WorkingThread, this, fd, &stop_, window_, game_);
    } catch (const std::system_error& failure) {
        WriteLog("Halvane::AcceptConnection ERROR = %d\n", failure.code().value());
        connectionFd_ = -1;
        ::shutdown(fd, SHUT_WR);
        ::close(fd);
    }
}

// Sets the stop flag and ends the connection and its working thread. The thread is woken
// only after the connection's close is logged, so that its last line comes after it.
void CPort4Crestron::CloseConnection() {
    const int fd = connectionFd_;
    if (fd >= 0) {
        WriteLog("Halvane::CloseConnection\n");
        ::shutdown(fd, SHUT_WR);
        connectionFd_ = -1;
    }
    SignalStop();
    if (worker_.joinable()) worker_.join();
    // The old thread has ended: the wake-up is used up, so that the next thread waits.
    if (stopEventFd_ >= 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = ::read(stopEventFd_, &count, sizeof count);
    }
    // Closed only once the working thread has ended, so that it never reads from or sends
    // to a descriptor number that meanwhile belongs to another file or socket.
    if (fd >= 0) ::close(fd);
}

void CPort4Crestron::ClosePort() {
    WriteLog("Halvane::ClosePort\n");
    CloseConnection();  // the stop flag stays set until the next accepted connection
    watch_.reset();  // before the socket it watches goes
    if (listeningFd_ >= 0) {
        ::close(listeningFd_);
        listeningFd_ = -1;
    }
    step_ = 0;
    lastError_ = 0;
}

namespace {

// Crestron working thread: a pause that ends early when the thread is told to stop.
void PauseUnlessStopped(int stopEventFd, std::chrono::milliseconds pause) {
    if (stopEventFd < 0) {
        std::this_thread::sleep_for(pause);
        return;
    }
    pollfd stopEvent{stopEventFd, POLLIN, 0};
    ::poll(&stopEvent, 1, static_cast<int>(pause.count()));
}

}  // namespace

// Crestron working thread.
void WorkingThread(CPort4Crestron* port, int socketFd, const std::atomic<bool>* stop,
                   QObject* window, CGameInfo* game) {
    pthread_setname_np(pthread_self(), "Crestron");
    WriteLog("Halvane::WorkingThread START\n");
    SocketConnection connection(socketFd);
    CommandFramer framer;
    char buffer[kReadBufferBytes];
    const int stopEventFd = port->StopEventFd();
    const CPort4Crestron::WorkerWaits waits = port->Waits();
    while (!stop->load()) {
        // Wait for data or for the port telling this thread to stop; the time-out is a
        // second guard for the stop flag.
        pollfd ready[2] = {{socketFd, POLLIN, 0}, {stopEventFd, POLLIN, 0}};
        const int waiting = ::poll(ready, stopEventFd >= 0 ? 2 : 1, waits.PollIntervalMs);
        if (stop->load()) break;
        if (waiting > 0 && ready[0].revents == 0) continue;  // a stale wake-up
        if (waiting == 0 || (waiting < 0 && errno == EINTR)) continue;
        errno = 0;
        const ssize_t got = waiting < 0 ? -1 : ::recv(socketFd, buffer, sizeof buffer, MSG_DONTWAIT);
        const int error = errno;
        if (stop->load()) break;  // whatever was read is ignored
        if (got == 0) {
            // The controller closed its side; the port ends this thread at the next
            // connection or when it closes.
            PauseUnlessStopped(stopEventFd, std::chrono::milliseconds(waits.PeerClosedPauseMs));
            continue;
        }
        if (got < 0) {
            if (error == EAGAIN || error == EWOULDBLOCK) continue;
            if (error == ECONNABORTED) {
                WriteLog("Halvane::recv() err=WSAECONNABORTED => close connection\n");
                break;
            }
            WriteLog("Halvane::recv() res=%d, error=%d\n", static_cast<int>(got), error);
            PauseUnlessStopped(stopEventFd, std::chrono::milliseconds(waits.ReadErrorPauseMs));
            continue;
        }
        for (const FramedLine& line : framer.Feed({buffer, static_cast<size_t>(got)})) {
            if (line.kind == FramedLine::Kind::Overlong) {
                WriteLog(">>> !!! Halvane::WorkingThread: COMMAND WITHOUT LF LONGER THAN %d "
                         "BYTES DROPPED !!!\n",
                         static_cast<int>(CommandFramer::kMaxCommandBytes));
                continue;
            }
            const bool done = game != nullptr &&
                ParseCrestronCommand(line.text.c_str(), static_cast<int>(line.text.size()),
                                     connection, window, *game, port->UseGameTime.load(),
                                     port->CrestronLog.load(), port->PlayPosLog.load());
            if (!done)
                WriteLog(">>> !!! Halvane::ParseCrestronCommand(%s) return ERROR on command "
                         "execution !!!\n",
                         line.text.c_str());
        }
    }
    WriteLog("Halvane::WorkingThread FINISH\n");
}

}  // namespace hv
