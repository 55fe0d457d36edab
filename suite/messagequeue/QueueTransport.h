#pragma once
// The message queue's transport. A queue is a listening abstract-namespace Unix socket
// named after the queue: binding it holds the name, and the kernel frees it when the
// holder ends, however it ends. A sender on this computer connects to that socket and
// writes one frame; a sender on another computer sends the frame over TCP to the relay
// of the target computer, which hands it on the same way and answers with an
// acknowledgement.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QueueWire.h"

namespace zandrel {

constexpr std::uint16_t kDefaultRelayPort = 17420;
constexpr int kDefaultSendTimeoutMs = 1000;
constexpr int kDefaultLocalSendTimeoutMs = 200;
// Limits of one receiving end.
constexpr std::size_t kMaxPendingMessages = 10000;
constexpr std::size_t kDefaultMaxPendingBytes = 32 * 1024 * 1024;
constexpr std::size_t kMaxConnections = 64;
constexpr int kIdleConnectionTimeoutMs = 10000;

struct QueueConfig {
    // Queue names live in this scope; processes in different scopes never see each
    // other's queues (ZANDREL_QUEUE_SCOPE, empty by default).
    QString scope;
    // The relays' TCP port (ZANDREL_QUEUE_RELAY_PORT, kDefaultRelayPort by default).
    std::uint16_t relayPort = kDefaultRelayPort;
    // How long a send may wait for an unresponsive target before it fails
    // (ZANDREL_QUEUE_SEND_TIMEOUT_MS, kDefaultSendTimeoutMs by default). A target that is
    // not there at all fails at once.
    int sendTimeoutMs = kDefaultSendTimeoutMs;
    // The same for a queue on this computer (ZANDREL_QUEUE_LOCAL_TIMEOUT_MS, 200 ms by
    // default). Its holder acknowledges at once unless it is stuck, and such a send runs on
    // the sender's own thread (the program's GUI thread), so the wait is short.
    int localSendTimeoutMs = kDefaultLocalSendTimeoutMs;
    // How many bytes of messages a queue holds at most before it refuses more
    // (ZANDREL_QUEUE_MAX_BYTES, kDefaultMaxPendingBytes by default).
    std::size_t maxPendingBytes = kDefaultMaxPendingBytes;
    // A connection that brings nothing for this long is closed, so that slow or idle peers
    // cannot hold a queue's connection slots (ZANDREL_QUEUE_IDLE_MS, 10 s by default).
    int idleConnectionTimeoutMs = kIdleConnectionTimeoutMs;
    // Messages whose first text is one of these are refused by this process's queues: the
    // sender's send fails as on a full queue (ZANDREL_QUEUE_REFUSE, texts joined by ";",
    // none by default). A companion stand-in uses it to refuse one command on purpose.
    QStringList refusedFirstTexts;

    static QueueConfig FromEnvironment();
};

// "" , "localhost" and this computer's own name (full or up to its first dot) mean this
// computer, compared without case.
bool IsLocalHost(const QString& host);
// This computer's name, as it travels with every message it sends.
QString LocalHostName();

// True when the peer of a Unix socket runs as the same user as this process.
bool IsSameUserPeer(int fd);

// 32-bit failure code for an errno value.
std::int32_t ResultFromErrno(int error);

// Binds and listens on the queue's socket. Returns the descriptor, or -1 with errno set
// (EADDRINUSE when another process holds the name).
int ListenOnQueue(const QueueConfig& config, const QString& name);

// Sends one encoded frame to the queue `name` on this computer and waits for the holder's
// acknowledgement. Returns 0, or an errno value: ECONNREFUSED at once when nobody holds the
// name, ETIMEDOUT when the holder does not take the frame within the local time-out,
// ENOBUFS when the queue is full (by count or by bytes).
int SendLocal(const QueueConfig& config, const QString& name, const QByteArray& frame);

// Sends one encoded frame to the relay on `host` (resolved to IPv4 addresses only, as the
// relays listen on IPv4) and waits for its acknowledgement.
// Returns 0 with `ack` filled, or an errno value for a transport failure.
// `ends`, when given, receives the two addresses of the connection that carried it. When
// `cancelFd` (an event descriptor, -1: none) becomes readable, a connection or wait under
// way ends at once with ECANCELED (and a frame not yet written is not written). `onConnected`,
// when given, runs once the connection stands, before the frame is written; the time-out
// for the frame and its acknowledgement starts when it returns. Resolves `host` on the
// calling thread.
struct ConnectionEnds {
    std::string local;  // this computer's address towards the relay ("192.0.2.1")
    std::string peer;   // the relay's address
};
int SendRemote(const QueueConfig& config, const QString& host, const QByteArray& frame,
               WireAck& ack, ConnectionEnds* ends = nullptr, int cancelFd = -1,
               const std::function<void(const ConnectionEnds&)>& onConnected = {});
// The address of a socket's end as text; empty when unknown.
std::string SocketAddressText(int fd, bool peer);

// Accepts connections on a listening socket and reads frames from them, on whichever
// thread calls Run. Malformed, oversized and unfinished frames are dropped with a trace
// line and cost their connection; nothing a peer sends can stop the loop.
class FrameServer {
public:
    // Runs on the thread that calls Run; `clientFd` may be written to (non-blocking).
    using FrameHandler = std::function<void(int clientFd, Frame&& frame)>;
    // Runs on the same thread after a round of reading that handled at least one frame.
    using RoundHandler = std::function<void()>;
    // Runs on the same thread for every accepted connection; false closes it unread.
    using AcceptCheck = std::function<bool(int clientFd)>;

    // Takes ownership of `listenFd`. `label` names the server in trace lines.
    FrameServer(int listenFd, std::string label, FrameHandler onFrame, RoundHandler onRound);
    ~FrameServer();
    FrameServer(const FrameServer&) = delete;
    FrameServer& operator=(const FrameServer&) = delete;

    // Set before Run.
    void SetAcceptCheck(AcceptCheck check) { acceptCheck_ = std::move(check); }
    void SetIdleTimeoutMs(int timeoutMs) { idleTimeoutMs_ = timeoutMs; }
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
    void AcceptWaiting(std::int64_t nowMs, bool& handledFrame);
    // false when the connection is to be closed.
    bool ReadFrom(Connection& connection, std::int64_t nowMs, bool& handledFrame);
    void Close(Connection& connection, const char* reason);

    int listenFd_;
    int wakeFd_;
    std::string label_;
    FrameHandler onFrame_;
    RoundHandler onRound_;
    AcceptCheck acceptCheck_;
    int idleTimeoutMs_ = kIdleConnectionTimeoutMs;
    std::atomic<bool> stop_{false};
    bool full_ = false;  // at kMaxConnections; new connections wait in the backlog
    std::vector<Connection> connections_;
};

// The receiving end of an open queue: holds the name, reads arriving messages on a thread
// of its own ("queue <name>") and keeps them until they are taken.
class QueueListener {
public:
    // `onArrival` runs on the listener's thread after messages were added.
    QueueListener(QueueConfig config, QString name, std::function<void()> onArrival);
    ~QueueListener();  // stops and joins the thread, frees the name
    QueueListener(const QueueListener&) = delete;
    QueueListener& operator=(const QueueListener&) = delete;

    // Takes the name and starts reading. Returns 0 or an errno value (EADDRINUSE: held).
    int Open();

    std::size_t Count() const;
    bool Take(WireMessage& message);
    const QString& Name() const { return name_; }
    const QueueConfig& Config() const { return config_; }

private:
    // On the listener's thread: keeps the message; 0 or ENOBUFS when the queue is full.
    int Add(Frame&& frame);

    const QueueConfig config_;
    const QString name_;
    std::function<void()> onArrival_;
    mutable std::mutex mutex_;
    std::deque<WireMessage> pending_;
    std::size_t pendingBytes_ = 0;
    std::unique_ptr<FrameServer> server_;
    std::thread thread_;
};

}  // namespace zandrel
