#pragma once
// CCompanionLink: messaging with the referee console (queue "Kestrilo") and the recorder
// (queue "Vortamo1") through the suite's message queue, and the per-game state that
// their answers fill. GUI thread only.

#include <QObject>
#include <QString>
#include <cstdint>
#include <deque>

#include "platform/Clock.h"
#include "platform/ComponentFactory.h"
#include "workflow/SuiteComponents.h"

namespace hv {

class CGameInfo;
class XmlElement;  // game/XmlDocument.h
class IMessageBoxes;  // platform/MessageBoxes.h

class CCompanionLink {
public:
    // Creates the message queue component; without it every later call fails quietly.
    explicit CCompanionLink(const ComponentFactory& factory, const Clock& clock = Clock::System());
    ~CCompanionLink();
    CCompanionLink(const CCompanionLink&) = delete;
    CCompanionLink& operator=(const CCompanionLink&) = delete;

    // Messaging (companion link proper).
    bool OpenQueue(QObject* window);
    bool SendToKestrilo(const QString& text);
    bool SendToVortamo(const QString& text);
    bool IsQueueNameFree(const QString& name, QObject* window);
    bool IsKestriloRunning(QObject* window) { return !IsQueueNameFree(QStringLiteral("Kestrilo"), window); }
    // Whether the recorder runs. On this computer its queue name tells at once. A recorder
    // on another computer (VortamoHost set) is asked for there, through the message queue
    // component, without waiting: the answer to the question of an earlier call (the
    // workflows ask every second), Unknown until one is in.
    enum class Presence { Running, NotRunning, Unknown };
    Presence VortamoPresence(QObject* window);
    bool IsVortamoRunning(QObject* window) { return VortamoPresence(window) == Presence::Running; }
    // What became of a message SendToVortamo accepted, by its sequence number: delivered (at
    // once for a recorder on this computer), still on its way to another computer, or
    // failed there (refused, that computer not reached, no acknowledgement in time). A
    // failure found here is logged as a failed send is, once.
    enum class Delivery { Delivered, Pending, Failed };
    Delivery VortamoDelivery(std::int32_t sequence);
    // A message still on its way after the caller's wait counts as failed (logged once).
    void GiveUpVortamoSend(std::int32_t sequence);
    // A new recorder host; the component lets go of the former one (its answers are no
    // longer taken).
    void SetVortamoHost(const QString& host);
    void ResetGameState();
    // Writes to the log what the component noted about sends to other computers (a message
    // it gave up, answers that cannot come back), and the recorder messages that turned out
    // not delivered. Called every second.
    void LogQueueNotes();

    // Incoming messages: the referee console's XML and the recorder's answers.
    void OnRefereeMessage(const QString& message, CGameInfo& model);
    void RequestNextEventInfo();
    void OnRecorderAnswer(const QString& answer);

    // The receive routine (drains the queue) and the periodic requests.
    void OnCompanionMessages(CGameInfo& model);
    void PollCompanions();

    // Where modal warnings (missing event names) are shown; none means not shown.
    void SetMessageBoxes(IMessageBoxes* boxes) { messageBoxes_ = boxes; }

    // Fields, with their initial values.
    std::int32_t EventTypesReceived = 0;
    std::int32_t EventTypeCursor = 13;
    std::int32_t EventInfoNext = 0;
    std::int32_t EventCount = 0;
    std::int32_t RequestCountdown = 0;
    bool PollingEnabled = false;
    std::int32_t SendSequence = 0;
    std::int32_t CurrentPeriod = -1;
    ComponentPtr MsgComponentObject;    // the component; null when it could not be created
    IQueueService* MsgComponent = nullptr;
    IRemoteQueues* RemoteQueues = nullptr;  // the same component's view of other computers, if it has one
    QString LocalHost = QStringLiteral("localhost");
    ComponentPtr OwnQueueObject;        // Halvane's own open queue
    IMessageQueue* OwnQueue = nullptr;
    QString OwnQueueName;
    bool QueueOpen = false;
    bool PendingCommandSet = false;
    QString PendingCommand;
    QString VortamoHost;
    bool KestriloSpoken = false;
    std::int32_t VortamoState = 0;
    std::int32_t VortamoClockOffset = 0;
    bool MessageLog = false;

private:
    // The referee console's messages that change the fetch of the events: its configured
    // event types, the count of one type's events, and one event.
    void TakeEventTypes(const XmlElement* list);
    void TakeEventCount(const XmlElement* events, CGameInfo& model);
    void TakeEvent(const XmlElement* event, CGameInfo& model);

    // A message to the recorder accepted for delivery, followed until its outcome is known.
    struct RecorderSend {
        std::int32_t sequence = 0;
        QString host;
        QString text;
        Delivery outcome = Delivery::Pending;
    };
    RecorderSend* FindRecorderSend(std::int32_t sequence);
    // Asks the component for the outcome of `send` while it is pending; logs a failure.
    void FollowRecorderSend(RecorderSend& send);
    void LogRecorderSendFailed(const RecorderSend& send, std::int32_t result);
    // Hands one message of Halvane's queue (its two texts) to its handler: the referee
    // console's XML, the recorder's answers, or a command to split or to end.
    void OnCompanionMessage(const QString& first, const QString& second, CGameInfo& model);

    const Clock& clock_;
    std::deque<RecorderSend> recorderSends_;
    IMessageBoxes* messageBoxes_ = nullptr;
    bool missingNamesBoxOpen_ = false;  // the warning about event names is on the screen
    QObject* queueWindow_ = nullptr;  // the window Halvane's queue announces arrivals to
};

}  // namespace hv
