#pragma once
// The suite's message queue component, as Halvane uses it. Every message carries a
// sequence number, a host, a target queue name and two texts.

#include <QObject>
#include <QString>
#include <array>
#include <cstdint>

#include "platform/Component.h"
#include "platform/ResultCodes.h"

namespace hv {

inline const QString kMessageQueueServiceClass = QStringLiteral("Zandrel.MessageQueueService");

class IQueueService {
public:
    virtual ~IQueueService() = default;
    // Opens the queue `name` for this process. Success (S_OK) with result 0 and an object
    // when no other application holds the name; a failure or a non-zero result when it is
    // held. While the object lives, each arrival for the name posts `message` to `window`
    // (on the window's thread). Destroying the object closes the queue and frees the name.
    // The two integer arguments are always 0.
    virtual HResult CreateQueue(std::int32_t& status, std::int32_t& result, const QString& name,
                                QObject* window, unsigned message, std::int32_t reserved1,
                                std::int32_t reserved2, ComponentPtr& queue) = 0;
};

// What Receive hands back: seven numbers and four texts. Values[2] is 1 when a message
// was taken; Texts[2] and Texts[3] are its first and second texts. The sender's host and
// queue name are in Texts[0] and Texts[1], so that a receiver can answer.
struct QueueMessage {
    std::array<std::int32_t, 7> Values{};
    std::array<QString, 4> Texts;
};

class IMessageQueue {
public:
    virtual ~IMessageQueue() = default;
    // The number of messages waiting. `second` is not used by Halvane.
    virtual HResult GetCount(std::int32_t& count, std::int32_t& second) = 0;
    // Takes one message off the queue; every successful call lowers the count.
    virtual HResult Receive(QueueMessage& message) = 0;
    // Accepted for delivery exactly when the return is S_OK, result 0 and status 1.
    virtual HResult Send(std::int32_t& status, std::int32_t& result, std::int32_t sequence,
                         std::int32_t reserved1, std::int32_t reserved2, const QString& host,
                         const QString& target, const QString& firstText,
                         const QString& secondText) = 0;
};

// What the message queue component tells about queues on other computers, without waiting
// for the network. Offered besides IQueueService by the same component object; a component
// without it leaves the program to its probe on this computer.
class IRemoteQueues {
public:
    virtual ~IRemoteQueues() = default;
    // Whether a queue `name` is held on the computer `host`. S_OK with `held` 1 or 0 from
    // that computer's answer to a recent question (a computer that cannot be reached holds
    // nothing); S_FALSE when there is no such answer yet. Every call asks that computer again
    // (unless a question is on its way), so that a call a moment later has a fresh answer.
    // For this computer the answer is there at once.
    virtual HResult IsQueueHeld(const QString& host, const QString& name, std::int32_t& held) = 0;
    // The oldest note about what the component could not do for a send to another computer
    // (a message given up, answers that cannot come back): S_OK with the text, S_FALSE when
    // there is none.
    virtual HResult TakeNote(QString& text) = 0;
    // What became of the message `sequence` that a queue of this component accepted for the
    // computer `host`: S_OK with `state` one of the kDelivery values and, when it failed,
    // `result` the errno value of why (refused there, that computer not reached, no
    // acknowledgement within the send time-out). S_FALSE when no such message is known:
    // one for this computer (accepted means taken), or one long forgotten.
    virtual HResult DeliveryOf(const QString& host, std::int32_t sequence, std::int32_t& state,
                               std::int32_t& result) = 0;
    // Lets go of the computer `host` (the program's recorder has moved elsewhere): once what
    // was accepted for it has gone out, its answers are no longer taken.
    virtual HResult ForgetHost(const QString& host) = 0;
};

// The states DeliveryOf reports.
constexpr std::int32_t kDeliveryPending = 0;
constexpr std::int32_t kDeliveryDone = 1;
constexpr std::int32_t kDeliveryFailed = 2;

}  // namespace hv

Q_DECLARE_INTERFACE(hv::IQueueService, "com.tervanix.zandrel.IQueueService/1.0")
Q_DECLARE_INTERFACE(hv::IMessageQueue, "com.tervanix.zandrel.IMessageQueue/1.0")
Q_DECLARE_INTERFACE(hv::IRemoteQueues, "com.tervanix.zandrel.IRemoteQueues/1.1")
