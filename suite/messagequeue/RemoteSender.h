#pragma once
// Delivers messages to the queues of one other computer, on a thread of its own, so that
// whoever sends (the program's GUI thread) never waits for the network or for name
// resolution. The thread resolves the name, hands each message to the other computer's
// relay, tries again a few times when the relay cannot be reached, and notes when it gives
// up (a trace line, and a note for the queue's owner, QueueNotes).
//
// A send is accepted unless what that computer last showed says it would fail: its relay
// could not be reached or did not acknowledge in time (the last exchange with it failed), or
// it said that nobody holds the target queue there. Such a send fails at once with that
// reason, and the computer is asked again at once, so that a computer that is back (or a
// queue now held there) takes the next send. So the sender of "StopRecord" that retries a
// few times sees its sends fail while the recorder's computer is cut off, as it would for
// a recorder on this computer; what cannot be known without waiting (a computer cut off
// after its last exchange) is the first send afterwards, which is accepted and then given
// up with a note.
//
// Presence: whether a queue is held on that computer is asked of its relay (a presence
// question, answered at once there); the answer is kept, and the caller reads the last
// fresh one without waiting, a question being asked again on every read.
//
// Answers come back from that computer to the address it saw us at, through this
// process's answer relay (AnswerRelay.h), which the thread readies before each message
// goes out.
//
// Nobody ever waits for the sender thread: ending a sender tells its thread to stop,
// cuts short a connection or wait under way and returns at once; the thread owns what it
// works with and finishes on its own (a name resolution under way ends when it ends).

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "QueueTransport.h"

namespace zandrel {

constexpr std::size_t kMaxQueuedRemoteMessages = 1000;
constexpr int kRemoteAttempts = 3;
constexpr int kRemoteRetryPauseMs = 500;
// A presence answer older than this is not used.
constexpr int kPresenceAnswerFreshMs = 3000;
// A read of a presence answer younger than this asks no new question.
constexpr int kPresenceAskAgainMs = 500;
constexpr std::size_t kMaxNotes = 100;

// What the senders of a queue service could not do, for the service's owner to read (the
// program writes them to its log). Any thread.
class QueueNotes {
public:
    void Add(const QString& text);
    // The oldest note not yet taken; false when there is none.
    bool Take(QString& text);

private:
    std::mutex mutex_;
    std::deque<QString> notes_;
    std::size_t dropped_ = 0;  // notes that found the list full
};

class RemoteSender {
public:
    RemoteSender(QueueConfig config, QString host, std::shared_ptr<QueueNotes> notes);
    // Returns at once; messages not yet delivered are given up with a trace line.
    ~RemoteSender();
    RemoteSender(const RemoteSender&) = delete;
    RemoteSender& operator=(const RemoteSender&) = delete;

    // Any thread. 0 when accepted for delivery, else the errno value of what that computer
    // last showed (see above), or ENOBUFS when the queue of this destination is full.
    int Enqueue(std::int32_t sequence, const QString& target, QByteArray frame);
    // Any thread. True with `held` from that computer's answer of at most
    // kPresenceAnswerFreshMs ago (a computer that cannot be reached holds nothing); false
    // when there is none yet. Either way a new question goes out unless one is under way.
    bool IsHeld(const QString& target, bool& held);

    struct State;  // shared by the sender and its thread

private:
    std::shared_ptr<State> state_;
};

// The senders of a process, one per other computer, created on first use. They belong to
// the queue service, so that reopening a queue keeps them.
class RemoteSenders {
public:
    explicit RemoteSenders(QueueConfig config) : config_(std::move(config)) {}

    // Any thread, as RemoteSender's.
    int Enqueue(const QString& host, std::int32_t sequence, const QString& target, QByteArray frame);
    bool IsHeld(const QString& host, const QString& target, bool& held);
    QueueNotes& Notes() { return *notes_; }

private:
    RemoteSender& SenderFor(const QString& host);

    const QueueConfig config_;
    const std::shared_ptr<QueueNotes> notes_ = std::make_shared<QueueNotes>();
    std::mutex mutex_;
    // By host name in lower case.
    std::map<QString, std::unique_ptr<RemoteSender>> senders_;
};

}  // namespace zandrel
