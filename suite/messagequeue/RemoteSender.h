#pragma once
// Delivers messages to the queues of one other computer, on a thread of its own, so that
// whoever sends (the program's GUI thread) never waits for the network or for name
// resolution. The thread resolves the name, hands each message to the other computer's
// relay and notes when it gives up (a trace line, and a note for the queue's owner,
// QueueNotes).
//
// Each message has its time, the send time-out: within it a connection that could not be
// made is tried again (a relay restarting, a lost first packet); a message that went out
// and was not acknowledged in time is not sent a second time (it may have arrived). Its
// outcome is kept by its sequence number (DeliveryOf): on its way, delivered (the relay
// there handed it to the queue), or failed (refused there, that computer not reached, or no
// acknowledgement within its time), so that a sender that retries a command (the program's
// "StopRecord") treats a message to a cut-off computer as it would a failed send here.
//
// A send is accepted unless what that computer last showed says it would fail: its relay
// could not be reached or did not acknowledge in time (the last exchange with it failed), or
// it said that nobody holds the target queue there. Such a send fails at once with that
// reason, and the computer is asked again at once, so that a computer that is back (or a
// queue now held there) takes the next send.
//
// Presence: whether a queue is held on that computer is asked of its relay (a presence
// question, answered at once there); the answer is kept, and the caller reads the last
// fresh one without waiting, a question being asked again on every read. A question is
// asked again within its wait (kPresenceQuestionWaitMs, or the send time-out when that is
// longer) before that computer counts as not reached: one lost packet is not a cut link.
//
// Answers come back from that computer to the address it saw us at, through this
// process's answer relay (AnswerRelay.h), which the thread readies before each message
// goes out; or through this user's own relay on this computer when one serves that address
// and trusts that computer (RelayMarked, LocalQueues.h).
//
// Ending a sender tells its thread to stop, cuts short a connection, wait or name
// resolution under way, and joins the thread: what it had not delivered is given up (and
// traced) before the sender is gone. A name resolution under way finishes on a helper
// thread of its own that holds nothing of the sender's (ResolveIPv4).

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "QueueTransport.h"
#include "RemoteLink.h"

namespace zandrel {

constexpr std::size_t kMaxQueuedRemoteMessages = 1000;
// Connections tried for one message at most, this far apart, within its time.
constexpr int kRemoteAttempts = 3;
constexpr int kRemoteRetryPauseMs = 250;
// A presence answer older than this is not used.
constexpr int kPresenceAnswerFreshMs = 3000;
// A read of a presence answer younger than this asks no new question.
constexpr int kPresenceAskAgainMs = 500;
// How long a presence question is asked (again) before that computer counts as not reached.
constexpr int kPresenceQuestionWaitMs = 3000;
constexpr std::size_t kMaxNotes = 100;
// The outcomes of this many messages are kept for DeliveryOf.
constexpr std::size_t kRememberedDeliveries = 1000;

// What became of a message to another computer.
enum class Delivery { Pending = 0, Delivered = 1, Failed = 2 };

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
    // Stops and joins the thread (promptly: its connection and waits are cut short);
    // messages not yet delivered are given up with a trace line.
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
    // Any thread. True with the outcome of the message `sequence` (and, when it failed, the
    // errno value of why) while it is remembered; false for a sequence this sender never took.
    bool DeliveryOf(std::int32_t sequence, Delivery& delivery, int& error);
    // Any thread. Once what was accepted so far has gone out, the answers of that computer
    // are no longer taken (until a later message goes there).
    void LetGo();

    struct State;  // shared by the sender and its thread

private:
    std::shared_ptr<State> state_;
    std::thread thread_;
};

// The senders of a process, one per other computer, created on first use. They belong to
// the queue service, so that reopening a queue keeps them.
class RemoteSenders {
public:
    explicit RemoteSenders(QueueConfig config) : config_(std::move(config)) {}

    // Any thread, as RemoteSender's.
    int Enqueue(const QString& host, std::int32_t sequence, const QString& target, QByteArray frame);
    bool IsHeld(const QString& host, const QString& target, bool& held);
    // False when no message to `host` is known by that sequence (none was sent there).
    bool DeliveryOf(const QString& host, std::int32_t sequence, Delivery& delivery, int& error);
    // The answers of `host` are no longer taken once what was accepted for it has gone out
    // (RemoteSender::LetGo), unless another sender of this process still talks to that
    // computer.
    void Forget(const QString& host);
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
