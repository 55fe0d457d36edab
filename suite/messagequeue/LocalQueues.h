#pragma once
// The queues on this computer: the folder of a scope's queues in the user's runtime
// folder, a queue name held through its lock file and its listening socket, a frame sent
// to the holder of a name (of this user only), and the marks by which this user's relay
// says which address it serves (QueueTransport.h has the whole picture).

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "QueueTransport.h"

namespace zandrel {

// True when the peer of a Unix socket runs as the same user as this process.
bool IsSameUserPeer(int fd);

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

}  // namespace zandrel
