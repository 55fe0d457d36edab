#include "QueueListener.h"

#include <pthread.h>

#include <algorithm>
#include <cerrno>

#include "FrameExchange.h"

namespace zandrel {

namespace {

// What a message costs the queue: its texts and its fixed fields.
std::size_t MessageBytes(const WireMessage& m) {
    const qsizetype characters = m.senderHost.size() + m.senderQueue.size() + m.targetHost.size() +
                                 m.targetQueue.size() + m.firstText.size() + m.secondText.size();
    return 12 + 6 * 4 + 2 * static_cast<std::size_t>(characters);
}

// The answer to a frame that was kept (0) or refused (an errno value).
WireAck AckFor(int error) {
    WireAck ack;
    if (error == 0) {
        ack.status = 1;
    } else {
        ack.res = ResultFromErrno(error);
        ack.result = error;
    }
    return ack;
}

}  // namespace

QueueListener::QueueListener(QueueConfig config, QString name, std::function<void()> onArrival)
    : config_(std::move(config)), name_(std::move(name)), onArrival_(std::move(onArrival)) {}

QueueListener::~QueueListener() {
    if (server_) server_->Stop();
    if (thread_.joinable()) thread_.join();
}

int QueueListener::Open() {
    if (server_) return EISCONN;
    if (const int error = HoldQueueName(config_, name_, held_)) return error;
    const int fd = held_.listenFd;
    held_.listenFd = -1;  // the server closes it
    server_ = std::make_unique<FrameServer>(
        fd, "Zandrel.MessageQueue '" + name_.toStdString() + "'",
        [this](int clientFd, Frame&& frame) { SendAck(clientFd, AckFor(Add(std::move(frame)))); },
        [this] {
            if (onArrival_) onArrival_();
        });
    server_->SetIdleTimeoutMs(config_.idleConnectionTimeoutMs);
    // Only processes of this user may leave messages here.
    server_->SetAcceptCheck([name = name_.toStdString()](int clientFd) {
        if (IsSameUserPeer(clientFd)) return true;
        TraceLine("Zandrel.MessageQueue '" + name + "': refused a connection of another user");
        return false;
    });
    thread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "queue listener");
        server_->Run();
    });
    return 0;
}

bool QueueListener::IsRefused(const WireMessage& message) const {
    const auto refused = [&message](const QString& entry) {
        const qsizetype bar = entry.indexOf(u'|');
        if (bar < 0) return entry == message.firstText;
        return QStringView(entry).left(bar) == message.firstText &&
               message.secondText.startsWith(QStringView(entry).mid(bar + 1));
    };
    return std::any_of(config_.refusedFirstTexts.begin(), config_.refusedFirstTexts.end(), refused);
}

int QueueListener::Add(Frame&& frame) {
    if (frame.kind == FrameKind::Probe) {
        // Whether a queue is held is asked of a relay, never of the queue itself.
        TraceLine("Zandrel.MessageQueue '" + name_.toStdString() + "': ignored a presence question (one for a relay)");
        return EPROTO;
    }
    if (frame.kind != FrameKind::Message) {
        TraceLine("Zandrel.MessageQueue '" + name_.toStdString() + "': ignored a stray acknowledgement");
        return EPROTO;
    }
    if (IsRefused(frame.message)) {
        TraceLine("Zandrel.MessageQueue '" + name_.toStdString() + "': refused message " +
                  std::to_string(frame.message.sequence) + " ('" + frame.message.firstText.left(100).toStdString() +
                  "') as told");
        return EACCES;
    }
    const std::size_t bytes = MessageBytes(frame.message);
    std::lock_guard lock(mutex_);
    if (pending_.size() >= kMaxPendingMessages || pendingBytes_ + bytes > config_.maxPendingBytes) {
        // The sender is told; nothing is dropped without its knowing.
        TraceLine("Zandrel.MessageQueue '" + name_.toStdString() + "': queue full, refused message " +
                  std::to_string(frame.message.sequence));
        return ENOBUFS;
    }
    pendingBytes_ += bytes;
    pending_.push_back(std::move(frame.message));
    return 0;
}

std::size_t QueueListener::Count() const {
    std::lock_guard lock(mutex_);
    return pending_.size();
}

bool QueueListener::Take(WireMessage& message) {
    std::lock_guard lock(mutex_);
    if (pending_.empty()) return false;
    message = std::move(pending_.front());
    pending_.pop_front();
    pendingBytes_ -= MessageBytes(message);
    return true;
}

}  // namespace zandrel
