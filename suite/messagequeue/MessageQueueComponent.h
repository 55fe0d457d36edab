#pragma once
// The suite's message queue component: the service that opens queues, and the open queue
// that sends, counts and hands out messages.

#include <QObject>
#include <memory>

#include "QueueTransport.h"
#include "platform/Component.h"
#include "workflow/SuiteComponents.h"

namespace zandrel {

class MessageQueue final : public QObject, public hv::IMessageQueue {
    Q_OBJECT
    Q_INTERFACES(hv::IMessageQueue)
public:
    // `listener` is open and announces arrivals itself.
    explicit MessageQueue(std::unique_ptr<QueueListener> listener);
    ~MessageQueue() override;

    hv::HResult GetCount(std::int32_t& count, std::int32_t& second) override;
    hv::HResult Receive(hv::QueueMessage& message) override;
    hv::HResult Send(std::int32_t& status, std::int32_t& result, std::int32_t sequence,
                     std::int32_t reserved1, std::int32_t reserved2, const QString& host,
                     const QString& target, const QString& firstText,
                     const QString& secondText) override;

private:
    std::unique_ptr<QueueListener> listener_;
};

class MessageQueueService final : public QObject, public hv::IQueueService {
    Q_OBJECT
    Q_INTERFACES(hv::IQueueService)
public:
    explicit MessageQueueService(QueueConfig config);

    hv::HResult CreateQueue(std::int32_t& status, std::int32_t& result, const QString& name,
                            QObject* window, unsigned message, std::int32_t reserved1,
                            std::int32_t reserved2, hv::ComponentPtr& queue) override;

private:
    const QueueConfig config_;
};

class MessageQueueProvider final : public QObject, public hv::IComponentProvider {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID HV_COMPONENT_PROVIDER_IID)
    Q_INTERFACES(hv::IComponentProvider)
public:
    QObject* CreateComponent(const QString& classId) override;
};

}  // namespace zandrel
