#include "CrestronTestSupport.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/WindowMessages.h"

namespace hv::test {

TestController::~TestController() { Close(); }

bool TestController::Connect(std::uint16_t port) {
    Close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        Close();
        return false;
    }
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

bool TestController::Send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

std::string TestController::ReadLine(int timeoutMs) {
    bool ended = false;
    PumpUntil(
        [&] {
            if (pending_.find('\n') != std::string::npos || ended) return true;
            pollfd ready{fd_, POLLIN, 0};
            if (::poll(&ready, 1, 1) > 0) {
                char buffer[8192];
                const ssize_t got = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
                if (got > 0)
                    pending_.append(buffer, static_cast<size_t>(got));
                else if (got == 0 || (errno != EAGAIN && errno != EINTR))
                    ended = true;
            }
            return pending_.find('\n') != std::string::npos;
        },
        timeoutMs);
    const size_t lf = pending_.find('\n');
    if (lf == std::string::npos) return {};
    std::string line = pending_.substr(0, lf + 1);
    pending_.erase(0, lf + 1);
    return line;
}

bool TestController::WaitForEnd(int timeoutMs) {
    return PumpUntil(
        [&] {
            pollfd ready{fd_, POLLIN, 0};
            if (::poll(&ready, 1, 1) <= 0) return false;
            char buffer[8192];
            const ssize_t got = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            return got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR);
        },
        timeoutMs);
}

void TestController::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    pending_.clear();
}

void TestController::Reset() {
    if (fd_ < 0) return;
    const linger hard{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    Close();
}

std::vector<TestFrame::Posted> TestFrame::Posts() const {
    std::lock_guard lock(mutex_);
    return posts_;
}

void TestFrame::ClearPosts() {
    std::lock_guard lock(mutex_);
    posts_.clear();
}

bool TestFrame::event(QEvent* event) {
    ReceiveWindowMessages(this);
    if (event->type() == EventTypeOf(kMsgConnectionWaiting)) {
        ++accepts_;
        if (port_ != nullptr) port_->AcceptConnection();
        return true;
    }
    if (event->type() == EventTypeOf(kMsgPlayRequest) ||
        event->type() == EventTypeOf(kMsgLabelRequested)) {
        const auto* message = static_cast<WindowMessageEvent*>(event);
        std::lock_guard lock(mutex_);
        posts_.push_back(
            {message->Message(), message->WParam(), message->LParam(), QThread::currentThread()});
        return true;
    }
    return QObject::event(event);
}

void FillGame(CGameInfo& game) {
    game.Clear();
    game.SetGameStart({2025, 12, 31, 21, 30, 0, 0});
    game.SetLastGameTime(Local(2026, 1, 1, 0, 30, 0));
    PeriodRecord periods[3];
    periods[0] = {0, 1, 0, Local(2025, 12, 31, 22, 0, 0), 0};
    periods[1] = {0, 1, 1, Local(2025, 12, 31, 22, 50, 0), 0};
    periods[2] = {0, 2, 1, Local(2025, 12, 31, 23, 40, 0), 0};
    game.SetPeriods(periods, 3);
    std::lock_guard lock(game.GameInfoLock);
    // type, number, period, time, score, clock
    game.AddLabel(4, 1, 1, Local(2025, 12, 31, 22, 5, 17), 1, 0, 5, 17);
    game.AddLabel(1, 1, 2, Local(2025, 12, 31, 22, 55, 2), 1, 0, 4, 58);
    game.AddLabel(4, 2, 2, Local(2025, 12, 31, 23, 10, 40), 1, 1, 19, 40);
    game.AddLabel(4, 3, 3, Local(2026, 1, 1, 0, 0, 30), 2, 1, 20, 30);
    game.AddLabel(0, 1, 0, Local(2025, 12, 31, 21, 20, 0), 0, 0, 0, 0);
}

void AddLabels(CGameInfo& game, int type, int period, int count, FileTime first) {
    std::lock_guard lock(game.GameInfoLock);
    for (int i = 0; i < count; ++i)
        game.AddLabel(type, i + 1, period, first + static_cast<FileTime>(i) * kFileTimeUnitsPerSecond,
                      i % 10, i / 10, i / 60, i % 60);
}

}  // namespace hv::test
