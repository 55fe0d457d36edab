#pragma once
// Accepts connections on listening sockets and reads frames from them, on whichever thread
// calls Run: the receiving side of a queue (QueueListener.h) and of a relay (QueueRelay.cpp).

#include <poll.h>

#include <QByteArray>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "QueueTransport.h"
#include "QueueWire.h"

namespace zandrel {

// Malformed, oversized and unfinished frames are dropped with a trace line and cost their
// connection; nothing a peer sends can stop the loop.
class FrameServer {
public:
    // Runs on the thread that calls Run; `clientFd` may be written to (non-blocking).
    using FrameHandler = std::function<void(int clientFd, Frame&& frame)>;
    // Runs on the same thread after a round of reading that handled at least one frame.
    using RoundHandler = std::function<void()>;
    // Runs on the same thread for every accepted connection; false closes it unread.
    using AcceptCheck = std::function<bool(int clientFd)>;

    // Runs on the same thread whenever the control descriptor is readable.
    using ControlHandler = std::function<void()>;

    // Takes ownership of `listenFd` (-1: none yet). `label` names the server in trace lines.
    FrameServer(int listenFd, std::string label, FrameHandler onFrame, RoundHandler onRound);
    ~FrameServer();
    FrameServer(const FrameServer&) = delete;
    FrameServer& operator=(const FrameServer&) = delete;

    // Set before Run.
    void SetAcceptCheck(AcceptCheck check) { acceptCheck_ = std::move(check); }
    void SetIdleTimeoutMs(int timeoutMs) { idleTimeoutMs_ = timeoutMs; }
    // A descriptor watched besides the sockets (not owned), and what to do when it is readable.
    void SetControl(int fd, ControlHandler onReadable) {
        controlFd_ = fd;
        onControl_ = std::move(onReadable);
    }
    // Runs on the same thread once every round, at least once a second (set before Run).
    void SetTick(ControlHandler onTick) { onTick_ = std::move(onTick); }
    // Another listening socket, taken over. Before Run or on its thread (a control handler).
    void AddListener(int listenFd) { listenFds_.push_back(listenFd); }
    // Closes a listening socket taken over before. On the server's thread (a handler).
    void RemoveListener(int listenFd);
    // Serves until Stop. Safe to call once.
    void Run();
    // Callable from any thread; Run returns soon after.
    void Stop();

private:
    struct Connection {
        int fd = -1;
        QByteArray buffer;
        std::int64_t lastActivityMs = 0;
    };
    // The descriptors of one round: the wake-up, the control, the listening sockets, then
    // the connections (kFirstListener on).
    static constexpr std::size_t kFirstListener = 2;
    void WatchList(std::vector<pollfd>& fds);
    // Reads the connections that have something (in the order they came), closes idle ones.
    void ReadConnections(const std::vector<pollfd>& fds, std::int64_t nowMs, bool& handledFrame);
    void AcceptWaiting(int listenFd, std::int64_t nowMs, bool& handledFrame);
    // false when the connection is to be closed.
    bool ReadFrom(Connection& connection, std::int64_t nowMs, bool& handledFrame);
    // Takes what the socket has (up to a round's share); true when the peer has ended.
    bool Receive(Connection& connection, std::int64_t nowMs);
    // Hands on the whole frames at the front of the buffer; false (and closed) on a bad one.
    bool HandleFrames(Connection& connection, bool& handledFrame);
    void Close(Connection& connection, const char* reason);

    std::vector<int> listenFds_;
    int wakeFd_;
    std::string label_;
    FrameHandler onFrame_;
    RoundHandler onRound_;
    AcceptCheck acceptCheck_;
    int controlFd_ = -1;
    ControlHandler onControl_;
    ControlHandler onTick_;
    int idleTimeoutMs_ = kIdleConnectionTimeoutMs;
    std::atomic<bool> stop_{false};
    bool full_ = false;  // at kMaxConnections; new connections wait in the backlog
    std::vector<Connection> connections_;
};

}  // namespace zandrel
