// CCompanionLink: the message queue component, Halvane's own queue, the two send
// operations, the presence probe and the per-game companion state.
#include "workflow/CompanionLink.h"

#include "log/DiagnosticLog.h"
#include "platform/WindowMessages.h"

#include <algorithm>
#include <cerrno>

namespace hv {

namespace {

const QString kOwnQueueName = QStringLiteral("Halvane");
const QString kKestriloQueue = QStringLiteral("Kestrilo");
const QString kVortamoQueue = QStringLiteral("Vortamo1");
const QString kVortamoControl = QStringLiteral("Vortamo.Control");

// A send was accepted for delivery exactly when all three say so.
bool SendAccepted(HResult res, std::int32_t result, std::int32_t status) {
    return res == S_OK && result == 0 && status == 1;
}

// The recorder messages followed until their outcome is known; the oldest known outcome
// is forgotten first.
constexpr std::size_t kFollowedRecorderSends = 64;
// What a message that no acknowledgement came for within the wait failed of.
constexpr std::int32_t kTimedOut = ETIMEDOUT;

}  // namespace

CCompanionLink::CCompanionLink(const ComponentFactory& factory, const Clock& clock)
    : clock_(clock) {
    // A missing component leaves MsgComponent null; OpenQueue then fails and says so.
    MsgComponentObject = factory.CreateFor<IQueueService>(kMessageQueueServiceClass, MsgComponent);
    if (!MsgComponentObject) MsgComponent = nullptr;
    RemoteQueues = QueryInterface<IRemoteQueues>(MsgComponentObject.get());
    LocalHost = QStringLiteral("localhost");
}

CCompanionLink::~CCompanionLink() {
    // The queue goes first: it frees the name while the component is still there.
    OwnQueue = nullptr;
    OwnQueueObject.reset();
    QueueOpen = false;
    MsgComponent = nullptr;
    RemoteQueues = nullptr;
    MsgComponentObject.reset();
}

bool CCompanionLink::OpenQueue(QObject* window) {
    if (MsgComponent == nullptr) return false;
    if (QueueOpen) {
        OwnQueue = nullptr;
        OwnQueueObject.reset();
        QueueOpen = false;
        queueWindow_ = nullptr;
    }
    OwnQueueName = kOwnQueueName;

    std::int32_t status = 0;
    std::int32_t result = 0;
    ComponentPtr created;
    const HResult res = MsgComponent->CreateQueue(status, result, OwnQueueName, window,
                                                  kMsgCompanionMessages, 0, 0, created);
    if (res == S_OK) {
        // The queue interface is kept; an object without it is released here.
        IMessageQueue* queue = QueryInterface<IMessageQueue>(created.get());
        if (queue != nullptr) {
            OwnQueueObject = std::move(created);
            OwnQueue = queue;
            queueWindow_ = window;
        }
    }
    QueueOpen = OwnQueue != nullptr;
    return QueueOpen;
}

bool CCompanionLink::SendToKestrilo(const QString& text) {
    if (OwnQueue == nullptr) return false;
    ++SendSequence;
    std::int32_t status = 1;
    std::int32_t result = 0;
    const HResult res = OwnQueue->Send(status, result, SendSequence, 0, 0, LocalHost,
                                       kKestriloQueue, text, OwnQueueName);
    const bool sent = SendAccepted(res, result, status);
    const QByteArray command = text.toUtf8();
    if (!sent) {
        WriteLog("Halvane::SendMesage('%s') to Kestrilo ERROR : res=0x%X, result=0x%X, errCode=%d.\n",
                 command.constData(), static_cast<unsigned>(res), static_cast<unsigned>(result),
                 status);
    } else if (MessageLog) {
        WriteLog("Halvane::SendMesage('%s') to Kestrilo.\n", command.constData());
    }
    return sent;
}

bool CCompanionLink::SendToVortamo(const QString& text) {
    if (OwnQueue == nullptr) return false;
    const QString& host = VortamoHost.isEmpty() ? LocalHost : VortamoHost;
    ++SendSequence;
    std::int32_t status = 1;
    std::int32_t result = 0;
    const HResult res = OwnQueue->Send(status, result, SendSequence, 0, 0, host, kVortamoQueue,
                                       kVortamoControl, text);
    const bool sent = SendAccepted(res, result, status);
    if (sent) {
        // Followed until its outcome is known: a message to another computer may still fail.
        if (recorderSends_.size() >= kFollowedRecorderSends) {
            const auto known = std::find_if(recorderSends_.begin(), recorderSends_.end(),
                                            [](const RecorderSend& s) { return s.outcome != Delivery::Pending; });
            recorderSends_.erase(known != recorderSends_.end() ? known : recorderSends_.begin());
        }
        recorderSends_.push_back({SendSequence, host, text, Delivery::Pending});
    }
    const QByteArray control = kVortamoControl.toUtf8();
    const QByteArray command = text.toUtf8();
    if (!sent) {
        WriteLog("Halvane::SendMesage('%s' & '%s') to Vortamo1 ERROR : res=0x%X, result=0x%X, "
                 "errCode=%d.\n",
                 control.constData(), command.constData(), static_cast<unsigned>(res),
                 static_cast<unsigned>(result), status);
    } else if (MessageLog) {
        WriteLog("Halvane::SendMesage('%s' & '%s') to Vortamo1.\n", control.constData(),
                 command.constData());
    }
    return sent;
}

bool CCompanionLink::IsQueueNameFree(const QString& name, QObject* window) {
    // Without the component nothing can be opened: the name counts as held, so the
    // workflows never take a missing component for a companion that is not running.
    if (MsgComponent == nullptr) return false;
    std::int32_t status = 0;
    std::int32_t result = 0;
    ComponentPtr probe;
    const HResult res = MsgComponent->CreateQueue(status, result, name, window, WM_USER, 0, 0, probe);
    const bool free = res == S_OK && result == 0;
    probe.reset();  // released at once: the probe leaves no queue behind
    return free;
}

CCompanionLink::Presence CCompanionLink::VortamoPresence(QObject* window) {
    if (VortamoHost.isEmpty() || RemoteQueues == nullptr)
        return IsQueueNameFree(kVortamoQueue, window) ? Presence::NotRunning : Presence::Running;
    // This computer's names cannot show a recorder on another one.
    std::int32_t held = 0;
    const HResult res = RemoteQueues->IsQueueHeld(VortamoHost, kVortamoQueue, held);
    if (res == S_FALSE) return Presence::Unknown;
    return res == S_OK && held == 1 ? Presence::Running : Presence::NotRunning;
}

void CCompanionLink::SetVortamoHost(const QString& host) {
    // The former recorder's computer is let go of: its answers are not taken any more.
    if (RemoteQueues != nullptr && !VortamoHost.isEmpty() && VortamoHost.compare(host, Qt::CaseInsensitive) != 0)
        RemoteQueues->ForgetHost(VortamoHost);
    VortamoHost = host;
}

CCompanionLink::RecorderSend* CCompanionLink::FindRecorderSend(std::int32_t sequence) {
    for (auto it = recorderSends_.rbegin(); it != recorderSends_.rend(); ++it)
        if (it->sequence == sequence) return &*it;
    return nullptr;
}

void CCompanionLink::LogRecorderSendFailed(const RecorderSend& send, std::int32_t result) {
    // As a send that failed at once: the recorder did not get it.
    const QByteArray control = kVortamoControl.toUtf8();
    const QByteArray command = send.text.toUtf8();
    const auto code = static_cast<std::uint32_t>(result) & 0xFFFFu;
    WriteLog("Halvane::SendMesage('%s' & '%s') to Vortamo1 ERROR : res=0x%X, result=0x%X, errCode=%d.\n",
             control.constData(), command.constData(), 0x80070000u | code, static_cast<unsigned>(result), 0);
}

void CCompanionLink::FollowRecorderSend(RecorderSend& send) {
    if (send.outcome != Delivery::Pending) return;
    std::int32_t state = kDeliveryPending;
    std::int32_t result = 0;
    // Without a view of other computers, or for this computer, accepted means taken.
    if (RemoteQueues == nullptr || RemoteQueues->DeliveryOf(send.host, send.sequence, state, result) != S_OK) {
        send.outcome = Delivery::Delivered;
        return;
    }
    if (state == kDeliveryDone) {
        send.outcome = Delivery::Delivered;
    } else if (state == kDeliveryFailed) {
        send.outcome = Delivery::Failed;
        LogRecorderSendFailed(send, result);
    }
}

CCompanionLink::Delivery CCompanionLink::VortamoDelivery(std::int32_t sequence) {
    RecorderSend* send = FindRecorderSend(sequence);
    if (send == nullptr) return Delivery::Failed;  // never accepted
    FollowRecorderSend(*send);
    return send->outcome;
}

void CCompanionLink::GiveUpVortamoSend(std::int32_t sequence) {
    RecorderSend* send = FindRecorderSend(sequence);
    if (send == nullptr) return;
    FollowRecorderSend(*send);
    if (send->outcome != Delivery::Pending) return;
    send->outcome = Delivery::Failed;
    LogRecorderSendFailed(*send, kTimedOut);
}

void CCompanionLink::LogQueueNotes() {
    for (RecorderSend& send : recorderSends_) FollowRecorderSend(send);
    if (RemoteQueues == nullptr) return;
    // A few a second at most: a burst is written over the next seconds.
    constexpr int kMaxNotesPerCall = 20;
    QString note;
    for (int i = 0; i < kMaxNotesPerCall && RemoteQueues->TakeNote(note) == S_OK; ++i)
        WriteLog("Halvane::MessageQueue %s\n", note.toUtf8().constData());
}

void CCompanionLink::ResetGameState() {
    EventTypesReceived = 0;
    EventTypeCursor = 13;
    EventInfoNext = 0;
    EventCount = 0;
    RequestCountdown = 0;
    CurrentPeriod = -1;
    KestriloSpoken = false;
    VortamoState = 0;
    VortamoClockOffset = 0;
}

}  // namespace hv
