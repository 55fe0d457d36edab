#pragma once
// The message queue's transport. A queue is a listening Unix socket in the user's runtime
// folder (platform/RuntimeFolder.h), <runtime>/zandrel-queues/<scope>/<name>, held through
// a lock on <name>.lock beside it: the lock makes the name this process's until it ends,
// however it ends, and the folder is the user's alone, so no other user can take a name,
// send into a queue or read from one. Both ends check the other's credentials as well: a
// queue takes connections only from processes of its user, and a sender delivers only to a
// holder of its own user. A sender on this computer connects to that socket and writes one
// frame; a sender on another computer sends the frame over TCP to the relay of the target
// computer, which hands it on the same way and answers with an acknowledgement.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <sys/types.h>
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
    // other's queues (ZANDREL_QUEUE_SCOPE, empty by default). Scopes are the user's own:
    // another user's scope of the same name is another one.
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
    // none by default). An entry "FIRST|START" refuses the messages whose first text is
    // FIRST and whose second text begins with START. A companion stand-in uses it to refuse
    // one command on purpose.
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

// The folder of the queues of `config`'s scope, made if missing: empty when the user's
// runtime folder is not fit for use (errno set, `why` says why).
std::string QueueFolder(const QueueConfig& config, std::string* why = nullptr);
// The socket of queue `name` in that folder; empty as above (EINVAL for an empty name).
std::string QueueSocketPath(const QueueConfig& config, const QString& name, std::string* why = nullptr);

// A queue name held by this process: the lock that makes it ours and the socket listening
// for its messages. Destroying it removes the socket's file, closes both and frees the name.
struct HeldQueueName {
    HeldQueueName() = default;
    ~HeldQueueName() { Release(); }
    HeldQueueName(const HeldQueueName&) = delete;
    HeldQueueName& operator=(const HeldQueueName&) = delete;
    void Release();

    int listenFd = -1;  // handed over (and set to -1) to whoever serves it, who closes it
    int lockFd = -1;
    std::string socketPath;
};

// Takes the queue name and listens on its socket. Returns 0, or an errno value
// (EADDRINUSE: a live process holds it; EPERM/EACCES and others: the runtime folder is not
// fit for use, traced with the reason).
int HoldQueueName(const QueueConfig& config, const QString& name, HeldQueueName& held);

// Whether a live process holds `name` here, without taking it (a presence question of
// another computer is answered with it).
bool IsQueueHeldHere(const QueueConfig& config, const QString& name);

// Sends one encoded frame to the queue `name` on this computer and waits for the holder's
// acknowledgement. Returns 0, or an errno value: ECONNREFUSED at once when nobody holds the
// name, ETIMEDOUT when the holder does not take the frame within the local time-out,
// ENOBUFS when the queue is full (by count or by bytes), EACCES (traced) when the holder is
// a process of another user or, with `onlyForPid` other than 0, not that process.
int SendLocal(const QueueConfig& config, const QString& name, const QByteArray& frame, pid_t onlyForPid = 0);

// Sends one encoded frame to the relay on `host` (resolved to IPv4 addresses only, as the
// relays listen on IPv4) and waits for its acknowledgement.
// Returns 0 with `ack` filled, or an errno value for a transport failure; EACCES (traced,
// nothing written) when the address is one of this computer's and the program listening
// there is not this user's, or whose it is cannot be told.
// `ends`, when given, receives the two addresses of the connection that carried it. When
// `cancelFd` (an event descriptor, -1: none) becomes readable, a connection or wait under
// way ends at once with ECANCELED (and a frame not yet written is not written). `onConnected`,
// when given, runs once the connection stands, before the frame is written; the time-out
// for the frame and its acknowledgement starts when it returns. `written`, when given, is
// set once the frame has (begun to) come out: a failure after that may have delivered it.
// A name is resolved within the send time-out and is cut short by `cancelFd` as well
// (ResolveIPv4).
struct ConnectionEnds {
    std::string local;  // this computer's address towards the relay ("192.0.2.1")
    std::string peer;   // the relay's address
};
int SendRemote(const QueueConfig& config, const QString& host, const QByteArray& frame,
               WireAck& ack, ConnectionEnds* ends = nullptr, int cancelFd = -1,
               const std::function<void(const ConnectionEnds&)>& onConnected = {}, bool* written = nullptr);
// The IPv4 addresses of `host` (an address, or a name to resolve) in network byte order.
// An address is taken as it is; a name is resolved on a helper thread of its own, which
// holds nothing of the caller's, so that the caller's wait ends by `deadlineMs` (ETIMEDOUT)
// or as soon as `cancelFd` becomes readable (ECANCELED), whatever the resolver does.
// Returns 0 or an errno value (EHOSTUNREACH: the name has no IPv4 address).
int ResolveIPv4(const QString& host, std::int64_t deadlineMs, int cancelFd, std::vector<std::uint32_t>& addresses);

// The relay of this user that serves an address of this computer for the queues of a scope
// (ZandrelQueueRelay on its own, not a relay for the answers of a process) says so with a
// mark in the folder of those queues: the file "relay@ADDRESS:PORT", locked while the relay
// runs (the lock dies with it), listing the addresses the relay trusts, one a line. A
// process that would listen there for the answers of another computer leaves them to it.
struct HeldRelayMark {
    HeldRelayMark() = default;
    ~HeldRelayMark();
    HeldRelayMark(const HeldRelayMark&) = delete;
    HeldRelayMark& operator=(const HeldRelayMark&) = delete;
    int fd = -1;
};
// Marks `address`:`port` as served, trusting `trusted`. 0, or an errno value (EADDRINUSE:
// another relay of this user marks it).
int HoldRelayMark(const QueueConfig& config, const std::string& address, std::uint16_t port,
                  const std::vector<std::string>& trusted, HeldRelayMark& mark);
// Whether a running relay of this user marks `address`:`port` for the queues of `config`'s
// scope; `trusted` (when given) receives the addresses that relay trusts.
bool RelayMarked(const QueueConfig& config, const std::string& address, std::uint16_t port,
                 std::vector<std::string>* trusted = nullptr);
// The address of a socket's end as text; empty when unknown.
std::string SocketAddressText(int fd, bool peer);
// The IPv4 addresses of this computer's interfaces (in this network namespace), in network
// byte order.
std::vector<std::uint32_t> InterfaceAddresses();
// Whether an IPv4 address (text) is one of this computer's: loopback (127.0.0.0/8), or an
// address of one of its interfaces.
bool IsThisComputersAddress(const std::string& address);

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
    void AcceptWaiting(int listenFd, std::int64_t nowMs, bool& handledFrame);
    // false when the connection is to be closed.
    bool ReadFrom(Connection& connection, std::int64_t nowMs, bool& handledFrame);
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
    HeldQueueName held_;
    mutable std::mutex mutex_;
    std::deque<WireMessage> pending_;
    std::size_t pendingBytes_ = 0;
    std::unique_ptr<FrameServer> server_;
    std::thread thread_;
};

}  // namespace zandrel
