// The receive routine for Halvane's queue and the periodic requests to the companions.
#include <limits>

#include "game/EventTypes.h"
#include "log/DiagnosticLog.h"
#include "platform/Trace.h"
#include "platform/WindowMessages.h"
#include "workflow/CompanionLink.h"

namespace hv {

namespace {

// Receives that may fail in a row before the routine gives up on a component that keeps
// reporting messages it cannot hand out.
constexpr int kMaxFailedReceivesInRow = 16;
// Messages taken per notification; what is left waits for a fresh notification, so a flood
// of messages cannot hold the GUI thread.
constexpr int kMaxMessagesPerNotification = 1000;

// True when `text` begins with `prefix`, ASCII letters compared without case and every
// other character exactly.
bool StartsWithAsciiNoCase(const QString& text, QLatin1StringView prefix) {
    if (text.size() < prefix.size()) return false;
    for (qsizetype i = 0; i < prefix.size(); ++i) {
        char16_t a = text.at(i).unicode();
        char16_t b = static_cast<unsigned char>(prefix.at(i).toLatin1());
        if (a >= u'A' && a <= u'Z') a = static_cast<char16_t>(a - u'A' + u'a');
        if (b >= u'A' && b <= u'Z') b = static_cast<char16_t>(b - u'A' + u'a');
        if (a != b) return false;
    }
    return true;
}

}  // namespace

void CCompanionLink::OnCompanionMessages(CGameInfo& model) {
    if (MsgComponent == nullptr || OwnQueue == nullptr) return;
    IMessageQueue* const queue = OwnQueue;

    std::int32_t count = 0;
    std::int32_t unused = 0;
    if (queue->GetCount(count, unused) != S_OK) return;

    int failedInRow = 0;
    int taken = 0;
    while (count > 0) {
        if (taken >= kMaxMessagesPerNotification) {
            // Come back for the rest after the GUI thread has seen to its other work.
            if (queueWindow_ != nullptr) PostWindowMessage(queueWindow_, kMsgCompanionMessages);
            return;
        }
        QueueMessage message;
        const HResult res = queue->Receive(message);
        if (res == S_OK && message.Values[2] == 1) {
            failedInRow = 0;
            ++taken;
            OnCompanionMessage(message.Texts[2], message.Texts[3], model);
        } else if (++failedInRow >= kMaxFailedReceivesInRow) {
            WriteLog("Halvane::OnCompanionMessages ERROR : %d receives failed in a row, "
                     "res=0x%X, %d messages left.\n",
                     failedInRow, static_cast<unsigned>(res), count);
            return;
        }
        // A handler may have shown a modal box, whose nested loop ran this routine again
        // and may even have replaced the queue: only the queue we started with is read.
        if (OwnQueue != queue) return;
        if (queue->GetCount(count, unused) != S_OK) return;
    }
}

void CCompanionLink::OnCompanionMessage(const QString& first, const QString& second, CGameInfo& model) {
    if (first.startsWith(QLatin1StringView("<Kestrilo"))) {
        if (MessageLog) WriteLog("Halvane::Kestrilo_Answer=%s\n", first.toUtf8().constData());
        OnRefereeMessage(first, model);
    } else if (first == QLatin1StringView("Vortamo.Answer")) {
        if (MessageLog) WriteLog("Halvane::Vortamo_Answer=%s\n", second.toUtf8().constData());
        OnRecorderAnswer(second);
    } else if (StartsWithAsciiNoCase(second, QLatin1StringView("SplitAtTime"))) {
        Trace(QStringLiteral("Halvane::Kestrilo_Split_Command=") + second + u'\n');
        PendingCommandSet = true;
        PendingCommand = second;
    } else if (StartsWithAsciiNoCase(second, QLatin1StringView("Exit"))) {
        Trace(QStringLiteral("Halvane::Kestrilo_Exit_Command=") + second + u'\n');
        // An exit never takes the place of a split that waits to be carried out.
        if (!PendingCommandSet || !StartsWithAsciiNoCase(PendingCommand, QLatin1StringView("SplitAtTime"))) {
            PendingCommandSet = true;
            PendingCommand = second;
        }
    } else {
        Trace(QStringLiteral("Halvane::Unknown Message=") + second + u'\n');
    }
}

void CCompanionLink::PollCompanions() {
    const std::int32_t c = RequestCountdown;
    if (c != std::numeric_limits<std::int32_t>::min()) RequestCountdown = c - 1;
    if (c > 0) return;
    if (!PollingEnabled) return;

    if (EventTypesReceived == 0) {
        SendToKestrilo(QStringLiteral("EventTypes"));
        SendToKestrilo(QStringLiteral("CameraInfo"));
    } else {
        // The cursor runs through the eight referee event types; any other value (13
        // after a reset) starts again at the first.
        ++EventTypeCursor;
        if (EventTypeCursor >= 8 || EventTypeCursor < 0) EventTypeCursor = 0;
        SendToKestrilo(QStringLiteral("EventCount") + EventTypeName(EventTypeCursor));
    }
    RequestCountdown = 10;
    SendToKestrilo(QStringLiteral("TimeInfo"));
    SendToKestrilo(QStringLiteral("PeriodInfo"));
    SendToVortamo(QStringLiteral("GetTime"));
    SendToVortamo(QStringLiteral("GetState"));
}

}  // namespace hv
