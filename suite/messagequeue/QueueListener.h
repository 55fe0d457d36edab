#pragma once
// The receiving end of an open queue: holds the name (LocalQueues.h), reads arriving
// messages on a thread of its own ("queue listener") and keeps them until they are taken.
// Only processes of this user may leave messages; each is acknowledged, or refused when
// the queue is full or the message is one this process was told to refuse.

#include <QString>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "FrameServer.h"
#include "LocalQueues.h"
#include "QueueTransport.h"
#include "QueueWire.h"

namespace zandrel {

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
    // On the listener's thread: keeps the message; 0, EPROTO when it is not a message,
    // EACCES when told to refuse it, ENOBUFS when the queue is full.
    int Add(Frame&& frame);
    bool IsRefused(const WireMessage& message) const;

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
