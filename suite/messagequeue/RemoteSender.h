#pragma once
// Delivers messages to the queues of one other computer, on a thread of its own, so that
// whoever sends (the program's GUI thread) never waits for the network or for name
// resolution. A message is accepted once it is in this sender's bounded queue; the thread
// hands it to the other computer's relay, tries again a few times when the relay cannot be
// reached, and writes a trace line when it gives up.
//
// Answers come back from that computer to the address it saw us at, through a relay on
// this computer. After the first delivery the sender starts that relay itself, bound to
// the address the connection left from and trusting the other computer's address; it
// ends with the sender. (Where a relay already listens there, the new one gives way.)

#include <QByteArray>
#include <QString>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "QueueTransport.h"

namespace zandrel {

constexpr std::size_t kMaxQueuedRemoteMessages = 1000;
constexpr int kRemoteAttempts = 3;
constexpr int kRemoteRetryPauseMs = 500;

class RemoteSender {
public:
    RemoteSender(QueueConfig config, QString host);
    // Stops the thread: a delivery under way ends within the send time-out; messages not
    // yet tried are given up with a trace line.
    ~RemoteSender();
    RemoteSender(const RemoteSender&) = delete;
    RemoteSender& operator=(const RemoteSender&) = delete;

    // Any thread. 0, or ENOBUFS when the queue of this destination is full.
    int Enqueue(std::int32_t sequence, const QString& target, QByteArray frame);

private:
    struct Item {
        std::int32_t sequence;
        QString target;
        QByteArray frame;
    };
    void Run();  // the sender thread
    void Deliver(const Item& item);
    void GiveUp(const Item& item, const std::string& reason);
    void StartAnswerRelay(const ConnectionEnds& ends);  // on the sender thread

    const QueueConfig config_;
    const QString host_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Item> queue_;
    bool stop_ = false;
    int relayPid_ = -1;      // the answer relay, started and reaped by the sender thread
    bool relayTried_ = false;
    std::thread thread_;
};

}  // namespace zandrel
