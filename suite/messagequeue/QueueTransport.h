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
//
// This is the transport's front: how it is configured and which computer a host name
// means. Its parts:
//   QueueWire.h      the frame, encoded and parsed as bytes
//   FrameExchange.h  a frame written to a socket and its acknowledgement read back
//   FrameServer.h    connections accepted and their frames read
//   LocalQueues.h    the queues on this computer: their folder, names, locks and sockets
//   QueueListener.h  the receiving end of an open queue
//   HostAddresses.h  the addresses of this computer, of a socket's ends, of a host name
//   RemoteLink.h     a frame sent to the relay of another computer

#include <QString>
#include <QStringList>
#include <cstddef>
#include <cstdint>
#include <string>

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

// 32-bit failure code for an errno value.
std::int32_t ResultFromErrno(int error);

// One line of the program's trace (the line end is added).
void TraceLine(const std::string& text);

}  // namespace zandrel
