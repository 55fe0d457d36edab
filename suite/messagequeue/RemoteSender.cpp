#include "RemoteSender.h"

#include <pthread.h>

#include <cerrno>
#include <cstring>

#include "platform/Trace.h"

namespace zandrel {

RemoteSender::RemoteSender(QueueConfig config, QString host)
    : config_(std::move(config)), host_(std::move(host)), thread_([this] { Run(); }) {}

RemoteSender::~RemoteSender() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

int RemoteSender::Enqueue(std::int32_t sequence, const QString& target, QByteArray frame) {
    {
        std::lock_guard lock(mutex_);
        if (queue_.size() >= kMaxQueuedRemoteMessages) return ENOBUFS;
        queue_.push_back({sequence, target, std::move(frame)});
    }
    wake_.notify_one();
    return 0;
}

void RemoteSender::GiveUp(const Item& item, const std::string& reason) {
    hv::Trace("Zandrel.MessageQueue: gave up sending message " + std::to_string(item.sequence) +
              " to '" + item.target.toStdString() + "' on " + host_.toStdString() + ": " + reason + "\n");
}

// Sender thread.
void RemoteSender::Deliver(const Item& item) {
    int error = 0;
    for (int attempt = 1; attempt <= kRemoteAttempts; ++attempt) {
        WireAck ack;
        error = SendRemote(config_, host_, item.frame, ack);
        if (error == 0) {
            // The relay answered: the outcome there is final.
            if (ack.res != 0 || ack.status != 1)
                GiveUp(item, std::string("refused there (") + std::strerror(ack.result) + ")");
            return;
        }
        std::unique_lock lock(mutex_);
        if (stop_ || attempt == kRemoteAttempts) break;
        wake_.wait_for(lock, std::chrono::milliseconds(kRemoteRetryPauseMs), [this] { return stop_; });
        if (stop_) break;
    }
    GiveUp(item, std::strerror(error));
}

// Sender thread.
void RemoteSender::Run() {
    pthread_setname_np(pthread_self(), "queue sender");
    for (;;) {
        Item item;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (stop_) {
                for (const Item& left : queue_) GiveUp(left, "the queue was closed");
                queue_.clear();
                return;
            }
            item = std::move(queue_.front());
            queue_.pop_front();
        }
        Deliver(item);
    }
}

}  // namespace zandrel
