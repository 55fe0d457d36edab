#include "MessageQueueComponent.h"

#include <limits>

#include "LocalQueues.h"
#include "platform/WindowMessages.h"

namespace zandrel {

MessageQueue::MessageQueue(std::unique_ptr<QueueListener> listener, std::shared_ptr<RemoteSenders> senders)
    : listener_(std::move(listener)), remoteSenders_(std::move(senders)) {}

MessageQueue::~MessageQueue() = default;

hv::HResult MessageQueue::GetCount(std::int32_t& count, std::int32_t& second) {
    const std::size_t waiting = listener_->Count();
    count = waiting > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())
                ? std::numeric_limits<std::int32_t>::max()
                : static_cast<std::int32_t>(waiting);
    second = 0;
    return hv::S_OK;
}

hv::HResult MessageQueue::Receive(hv::QueueMessage& message) {
    message = hv::QueueMessage{};
    WireMessage taken;
    if (!listener_->Take(taken)) return hv::S_OK;  // nothing waiting: Values[2] stays 0
    message.Values[0] = taken.sequence;
    message.Values[1] = taken.reserved1;
    message.Values[2] = 1;
    message.Values[3] = taken.reserved2;
    message.Values[4] = static_cast<std::int32_t>(listener_->Count());
    message.Texts[0] = std::move(taken.senderHost);
    message.Texts[1] = std::move(taken.senderQueue);
    message.Texts[2] = std::move(taken.firstText);
    message.Texts[3] = std::move(taken.secondText);
    return hv::S_OK;
}

hv::HResult MessageQueue::Send(std::int32_t& status, std::int32_t& result, std::int32_t sequence,
                               std::int32_t reserved1, std::int32_t reserved2, const QString& host,
                               const QString& target, const QString& firstText,
                               const QString& secondText) {
    status = 0;
    result = 0;
    WireMessage message;
    message.sequence = sequence;
    message.reserved1 = reserved1;
    message.reserved2 = reserved2;
    message.senderHost = LocalHostName();
    message.senderQueue = listener_->Name();
    message.targetHost = host;
    message.targetQueue = target;
    message.firstText = firstText;
    message.secondText = secondText;

    QByteArray frame;
    if (target.isEmpty()) {
        result = EINVAL;
        return hv::E_INVALIDARG;
    }
    if (!EncodeMessage(message, frame)) {
        result = EMSGSIZE;
        return hv::E_INVALIDARG;
    }

    const QueueConfig& config = listener_->Config();
    if (IsLocalHost(host)) {
        const int error = SendLocal(config, target, frame);
        if (error != 0) {
            result = error;
            return ResultFromErrno(error);
        }
    } else {
        const int error = remoteSenders_->Enqueue(host, sequence, target, std::move(frame));
        if (error != 0) {
            result = error;
            return ResultFromErrno(error);
        }
    }
    status = 1;
    return hv::S_OK;
}

// ---------------------------------------------------------------------------------------

MessageQueueService::MessageQueueService(QueueConfig config)
    : config_(std::move(config)), remoteSenders_(std::make_shared<RemoteSenders>(config_)) {}

hv::HResult MessageQueueService::CreateQueue(std::int32_t& status, std::int32_t& result,
                                             const QString& name, QObject* window, unsigned message,
                                             std::int32_t, std::int32_t, hv::ComponentPtr& queue) {
    queue.reset();
    status = 0;
    result = 0;
    // The owner closes its queue before its window goes, so the window outlives every post.
    auto listener = std::make_unique<QueueListener>(config_, name, [window, message] {
        hv::PostWindowMessage(window, message);  // on the listener's thread
    });
    const int error = listener->Open();
    if (error != 0) {
        result = error;
        return error == EADDRINUSE ? hv::E_ACCESSDENIED : ResultFromErrno(error);
    }
    queue = std::make_unique<MessageQueue>(std::move(listener), remoteSenders_);
    status = 1;
    return hv::S_OK;
}

hv::HResult MessageQueueService::IsQueueHeld(const QString& host, const QString& name, std::int32_t& held) {
    held = 0;
    if (name.isEmpty()) return hv::E_INVALIDARG;
    if (IsLocalHost(host)) {
        held = IsQueueHeldHere(config_, name) ? 1 : 0;
        return hv::S_OK;
    }
    bool answer = false;
    if (!remoteSenders_->IsHeld(host, name, answer)) return hv::S_FALSE;
    held = answer ? 1 : 0;
    return hv::S_OK;
}

hv::HResult MessageQueueService::TakeNote(QString& text) {
    return remoteSenders_->Notes().Take(text) ? hv::S_OK : hv::S_FALSE;
}

hv::HResult MessageQueueService::DeliveryOf(const QString& host, std::int32_t sequence, std::int32_t& state,
                                            std::int32_t& result) {
    state = hv::kDeliveryPending;
    result = 0;
    if (IsLocalHost(host)) return hv::S_FALSE;  // taken when accepted
    Delivery delivery = Delivery::Pending;
    int error = 0;
    if (!remoteSenders_->DeliveryOf(host, sequence, delivery, error)) return hv::S_FALSE;
    state = delivery == Delivery::Delivered ? hv::kDeliveryDone
            : delivery == Delivery::Failed  ? hv::kDeliveryFailed
                                            : hv::kDeliveryPending;
    result = error;
    return hv::S_OK;
}

hv::HResult MessageQueueService::ForgetHost(const QString& host) {
    if (host.isEmpty()) return hv::E_INVALIDARG;
    if (!IsLocalHost(host)) remoteSenders_->Forget(host);
    return hv::S_OK;
}

// ---------------------------------------------------------------------------------------

QObject* MessageQueueProvider::CreateComponent(const QString& classId) {
    if (classId != hv::kMessageQueueServiceClass) return nullptr;
    return new MessageQueueService(QueueConfig::FromEnvironment());
}

}  // namespace zandrel
