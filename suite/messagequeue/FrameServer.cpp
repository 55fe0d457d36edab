#include "FrameServer.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "FrameExchange.h"

namespace zandrel {

namespace {

constexpr std::size_t kReadChunkBytes = 64 * 1024;
// Read from one connection per round at most this much, more than any frame, so that the
// frames of one sender keep their order against a later connection of the same sender.
constexpr std::size_t kMaxReadPerRoundBytes = 4 * (kMaxPayloadBytes + kFrameHeaderBytes);
constexpr int kPollIntervalMs = 1000;

}  // namespace

FrameServer::FrameServer(int listenFd, std::string label, FrameHandler onFrame, RoundHandler onRound)
    : wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      label_(std::move(label)),
      onFrame_(std::move(onFrame)),
      onRound_(std::move(onRound)) {
    if (listenFd >= 0) listenFds_.push_back(listenFd);
}

FrameServer::~FrameServer() {
    for (Connection& c : connections_) ::close(c.fd);
    for (const int fd : listenFds_) ::close(fd);
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void FrameServer::Stop() {
    stop_ = true;
    if (wakeFd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }
}

void FrameServer::RemoveListener(int listenFd) {
    const auto found = std::find(listenFds_.begin(), listenFds_.end(), listenFd);
    if (found == listenFds_.end()) return;
    ::close(listenFd);
    listenFds_.erase(found);
}

void FrameServer::Close(Connection& connection, const char* reason) {
    if (reason != nullptr) TraceLine(label_ + ": dropped a connection: " + reason);
    ::close(connection.fd);
    connection.fd = -1;
}

void FrameServer::AcceptWaiting(int listenFd, std::int64_t nowMs, bool& handledFrame) {
    // A round takes in at most one slot table's worth of new connections, so that a steady
    // stream of senders (each waiting for its acknowledgement, then sending again) cannot
    // keep the round, and with it the arrival announcement, from ending.
    for (std::size_t accepted = 0; accepted < kMaxConnections && connections_.size() < kMaxConnections;
         ++accepted) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                TraceLine(label_ + ": accept failed: " + std::strerror(errno));
            return;
        }
        if (acceptCheck_ && !acceptCheck_(fd)) {
            ::close(fd);
            continue;
        }
        connections_.push_back(Connection{fd, QByteArray(), nowMs});
        // Most senders connect, write one frame and go: read at once what came, after the
        // older connections were read, so that a sender's frames keep their order.
        if (!ReadFrom(connections_.back(), nowMs, handledFrame)) connections_.pop_back();
    }
    // The rest of this round's newcomers are taken in the next round.
    if (connections_.size() < kMaxConnections) return;
    // Further connections wait in the backlog (their senders see a full one in time)
    // rather than being accepted and dropped with what they bring.
    if (!full_) TraceLine(label_ + ": too many open connections, new ones wait");
    full_ = true;
}

bool FrameServer::Receive(Connection& c, std::int64_t nowMs) {
    std::size_t readThisRound = 0;
    while (readThisRound < kMaxReadPerRoundBytes) {
        const qsizetype oldSize = c.buffer.size();
        c.buffer.resize(oldSize + static_cast<qsizetype>(kReadChunkBytes));
        const ssize_t n = ::recv(c.fd, c.buffer.data() + oldSize, kReadChunkBytes, 0);
        c.buffer.resize(oldSize + (n > 0 ? n : 0));
        if (n > 0) {
            readThisRound += static_cast<std::size_t>(n);
            c.lastActivityMs = nowMs;
            continue;
        }
        if (n == 0) return true;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
        return true;  // reset by the peer: take what came, then close
    }
    return false;
}

bool FrameServer::HandleFrames(Connection& c, bool& handledFrame) {
    std::size_t offset = 0;
    for (;;) {
        Frame frame;
        const ParseResult parsed = ParseFrame(c.buffer.constData() + offset,
                                              static_cast<std::size_t>(c.buffer.size()) - offset, frame);
        if (parsed.status == ParseStatus::NeedMore) break;
        if (parsed.status != ParseStatus::Complete) {
            Close(c, parsed.status == ParseStatus::TooLarge ? "frame too large"
                                                               : (std::string("malformed frame (") +
                                                                  parsed.error + ")").c_str());
            return false;
        }
        offset += parsed.consumedBytes;
        handledFrame = true;
        onFrame_(c.fd, std::move(frame));
    }
    if (offset > 0) c.buffer.remove(0, static_cast<qsizetype>(offset));
    return true;
}

bool FrameServer::ReadFrom(Connection& c, std::int64_t nowMs, bool& handledFrame) {
    const bool ended = Receive(c, nowMs);
    if (!HandleFrames(c, handledFrame)) return false;
    if (ended) {
        Close(c, c.buffer.isEmpty() ? nullptr : "it ended inside a frame");
        return false;
    }
    return true;
}

void FrameServer::WatchList(std::vector<pollfd>& fds) {
    fds.clear();
    fds.push_back({wakeFd_, POLLIN, 0});
    fds.push_back({onControl_ ? controlFd_ : -1, POLLIN, 0});
    if (connections_.size() < kMaxConnections) full_ = false;
    // At the limit the listening sockets are not watched, so the loop does not spin.
    for (const int fd : listenFds_) fds.push_back({full_ ? -1 : fd, POLLIN, 0});
    for (const Connection& c : connections_) fds.push_back({c.fd, POLLIN, 0});
}

void FrameServer::ReadConnections(const std::vector<pollfd>& fds, std::int64_t nowMs, bool& handledFrame) {
    const std::size_t firstConnection = kFirstListener + listenFds_.size();
    const std::size_t polled = connections_.size();
    for (std::size_t i = 0; i < polled; ++i) {
        Connection& c = connections_[i];
        const short revents = fds[firstConnection + i].revents;
        if (revents != 0) {
            ReadFrom(c, nowMs, handledFrame);
        } else if (nowMs - c.lastActivityMs > idleTimeoutMs_) {
            Close(c, c.buffer.isEmpty() ? nullptr : "it stalled inside a frame");
        }
    }
    std::erase_if(connections_, [](const Connection& c) { return c.fd < 0; });
}

void FrameServer::Run() {
    std::vector<pollfd> fds;
    while (!stop_) {
        WatchList(fds);
        const std::size_t listeners = listenFds_.size();
        const int n = ::poll(fds.data(), fds.size(), std::min(kPollIntervalMs, idleTimeoutMs_));
        if (stop_) break;
        if (n < 0 && errno != EINTR) {
            TraceLine(label_ + ": poll failed: " + std::strerror(errno));
            break;
        }
        const std::int64_t nowMs = NowMs();
        bool handledFrame = false;
        // Connections first, in the order they came, then new ones: a sender's frames keep
        // their order across its connections.
        ReadConnections(fds, nowMs, handledFrame);
        for (std::size_t i = 0; i < listeners; ++i)
            if (fds[kFirstListener + i].revents != 0) AcceptWaiting(listenFds_[i], nowMs, handledFrame);
        if (handledFrame && onRound_) onRound_();
        // Last: the handlers may add or remove listening sockets.
        if (fds[1].revents != 0) onControl_();
        if (onTick_) onTick_();
    }
}

}  // namespace zandrel
