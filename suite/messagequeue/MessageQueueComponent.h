#pragma once
// The suite's message queue component: the service that opens queues, and the open queue
// that sends, counts and hands out messages.
//
// What the component fills in:
// - CreateQueue: S_OK, status 1, result 0 and the queue; a held name gives E_ACCESSDENIED
//   with result EADDRINUSE; other failures 0x8007xxxx with the errno value as result.
// - Receive: Values[0] the sequence number, Values[1] and Values[3] the two numbers sent
//   with it, Values[2] 1 when a message was taken (0 when none was waiting), Values[4] the
//   messages still waiting; Texts[0] the sender's host, Texts[1] its queue, Texts[2] and
//   Texts[3] the first and second texts.
// - Send: S_OK, result 0, status 1 when the message was handed to the target queue on this
//   computer, or, for another computer, accepted for delivery (queued for that computer's
//   sender thread, which delivers it through the relay there and notes what it cannot
//   deliver); otherwise 0x8007xxxx with the errno value as result and status 0
//   (ECONNREFUSED: nobody holds the queue here, or there as that computer last said;
//   ETIMEDOUT: the target did not take it in time, or that computer's relay did not answer
//   the last exchange in time; EHOSTUNREACH and other network errors: the last exchange
//   with that computer did not reach it; ENOBUFS: the target queue, or the queue for that
//   computer, is full; EACCES: the name is held by a process of another user).
//   A target host of "", "localhost" or this computer's name is this computer; the
//   caller's thread never waits for the network or for name resolution (RemoteSender.h).
// - IsQueueHeld, TakeNote, DeliveryOf, ForgetHost (IRemoteQueues): from the senders to
//   other computers. A message accepted for another computer is followed by its sequence
//   number until it is delivered or given up (RemoteSender.h).

#include <QObject>
#include <memory>

#include "QueueListener.h"
#include "QueueTransport.h"
#include "RemoteSender.h"
#include "platform/Component.h"
#include "workflow/SuiteComponents.h"

namespace zandrel {

class MessageQueue final : public QObject, public hv::IMessageQueue {
    Q_OBJECT
    Q_INTERFACES(hv::IMessageQueue)
public:
    // `listener` is open and announces arrivals itself; `senders` deliver to other
    // computers and are shared with the service and its other queues.
    MessageQueue(std::unique_ptr<QueueListener> listener, std::shared_ptr<RemoteSenders> senders);
    ~MessageQueue() override;

    hv::HResult GetCount(std::int32_t& count, std::int32_t& second) override;
    hv::HResult Receive(hv::QueueMessage& message) override;
    hv::HResult Send(std::int32_t& status, std::int32_t& result, std::int32_t sequence,
                     std::int32_t reserved1, std::int32_t reserved2, const QString& host,
                     const QString& target, const QString& firstText,
                     const QString& secondText) override;

private:
    std::unique_ptr<QueueListener> listener_;
    std::shared_ptr<RemoteSenders> remoteSenders_;
};

class MessageQueueService final : public QObject, public hv::IQueueService, public hv::IRemoteQueues {
    Q_OBJECT
    Q_INTERFACES(hv::IQueueService hv::IRemoteQueues)
public:
    explicit MessageQueueService(QueueConfig config);

    hv::HResult CreateQueue(std::int32_t& status, std::int32_t& result, const QString& name,
                            QObject* window, unsigned message, std::int32_t reserved1,
                            std::int32_t reserved2, hv::ComponentPtr& queue) override;
    hv::HResult IsQueueHeld(const QString& host, const QString& name, std::int32_t& held) override;
    hv::HResult TakeNote(QString& text) override;
    hv::HResult DeliveryOf(const QString& host, std::int32_t sequence, std::int32_t& state,
                           std::int32_t& result) override;
    hv::HResult ForgetHost(const QString& host) override;

private:
    const QueueConfig config_;
    // Outlive a queue's reopening: a sender thread and its answer relay go on serving.
    std::shared_ptr<RemoteSenders> remoteSenders_;
};

class MessageQueueProvider final : public QObject, public hv::IComponentProvider {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID HV_COMPONENT_PROVIDER_IID)
    Q_INTERFACES(hv::IComponentProvider)
public:
    QObject* CreateComponent(const QString& classId) override;
};

}  // namespace zandrel
