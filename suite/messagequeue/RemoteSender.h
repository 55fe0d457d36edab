#pragma once
// Delivers messages to the queues of one other computer, on a thread of its own, so that
// whoever sends (the program's GUI thread) never waits for the network or for name
// resolution. A message is accepted once it is in this sender's bounded queue; the thread
// resolves the name, hands the message to the other computer's relay, tries again a few
// times when the relay cannot be reached, and writes a trace line when it gives up.
//
// Answers come back from that computer to the address it saw us at, through a relay on
// this computer. Before its first message goes out the sender starts that relay itself,
// bound to the address the connection left from and trusting the other computer's address,
// starts it again when it has ended (at most once a second), and ends it with the sender.
// (Where a relay already listens there, the new one gives way; the sender waits until the
// one it started listens or has ended before the message goes out, and then starts none
// for a minute. One that says nothing within the wait is ended.)
//
// Nobody ever waits for the sender thread: ending a sender tells its thread to stop,
// cuts short a connection or wait under way and returns at once; the thread owns what it
// works with and finishes on its own (a name resolution under way ends when it ends).

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "QueueTransport.h"

namespace zandrel {

constexpr std::size_t kMaxQueuedRemoteMessages = 1000;
constexpr int kRemoteAttempts = 3;
constexpr int kRemoteRetryPauseMs = 500;
constexpr int kAnswerRelayRestartPauseMs = 1000;
// After a start of the answer relay that did not come to listen (it gave way to a relay
// listening there already, or said nothing): the pause before the next start.
constexpr int kAnswerRelayGiveWayPauseMs = 60000;
// How long a sender waits for the answer relay it started to listen (on this computer; the
// send time-out for the message starts afterwards).
constexpr int kAnswerRelayStartWaitMs = 2000;
// How long an answer relay that is to end has before it is killed.
constexpr int kAnswerRelayEndWaitMs = 1000;

class RemoteSender {
public:
    RemoteSender(QueueConfig config, QString host);
    // Returns at once; messages not yet delivered are given up with a trace line.
    ~RemoteSender();
    RemoteSender(const RemoteSender&) = delete;
    RemoteSender& operator=(const RemoteSender&) = delete;

    // Any thread. 0, or ENOBUFS when the queue of this destination is full.
    int Enqueue(std::int32_t sequence, const QString& target, QByteArray frame);

    struct State;  // shared by the sender and its thread

private:
    std::shared_ptr<State> state_;
};

// The senders of a process, one per other computer, created on first use. They belong to
// the queue service, so that reopening a queue keeps them (and their answer relays).
class RemoteSenders {
public:
    explicit RemoteSenders(QueueConfig config) : config_(std::move(config)) {}

    // Any thread. 0, or ENOBUFS when the queue for that computer is full.
    int Enqueue(const QString& host, std::int32_t sequence, const QString& target, QByteArray frame);

private:
    const QueueConfig config_;
    std::mutex mutex_;
    // By host name in lower case.
    std::map<QString, std::unique_ptr<RemoteSender>> senders_;
};

}  // namespace zandrel
