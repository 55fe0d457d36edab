#include "RefereeConsole.h"

#include <QFileInfo>
#include <QRegularExpression>

#include "LastRun.h"

namespace zandrel {

namespace {

const QString kProgram = QStringLiteral("Tamberlo");
const QString kQueueName = QStringLiteral("Kestrilo");
constexpr int kSplitCheckMs = 200;

QString SplitCommand(const GameSplit& split) {
    return QString::asprintf("SplitAtTime %d_0x%08X_0x%08X", split.number, static_cast<unsigned>(split.time & 0xFFFFFFFFu),
                             static_cast<unsigned>(split.time >> 32));
}

// TAMBERLO_NO_PERIOD_START_ANSWERS; -1 (all of them) when it is not set.
int StartlessAnswers() {
    bool countSet = false;
    const int startlessCount = qEnvironmentVariableIntValue("TAMBERLO_NO_PERIOD_START_ANSWERS", &countSet);
    return countSet && startlessCount >= 0 ? startlessCount : -1;
}

}  // namespace

RefereeConsole::RefereeConsole(GameScript script, GameRun run, QString stateFolder)
    : script_(std::move(script)),
      run_(run),
      stateFolder_(std::move(stateFolder)),
      misbehave_(Misbehaviours(kProgram)),
      startlessLeft_(StartlessAnswers()),
      splitsUpTo_(CurrentUtc()) {}

int RefereeConsole::Run(QCoreApplication& app) {
    // The queue component of this process refuses what it is told to refuse.
    if (Misbehaves("refuse-stopgame")) RefuseAtTheQueue(QStringLiteral("StopGame"));
    QString error;
    const auto opened = queue_.Open(ComponentDirectory(), kQueueName, &error);
    if (opened != CompanionQueue::OpenResult::Opened) return OpenFailed(opened, kProgram, error);
    QObject::connect(&splitTimer_, &QTimer::timeout, [this] { AnnounceSplits(); });
    splitTimer_.start(kSplitCheckMs);
    ReportLine(QStringLiteral("ready"));
    return app.exec();
}

void RefereeConsole::Take(const hv::QueueMessage& m) {
    if (exiting_) return;
    const QString& command = m.Texts[2];
    const QString& senderHost = m.Texts[0];
    // The asker names its queue in the second text; the sender's own queue is the
    // fallback for a request that does not.
    const QString replyQueue = m.Texts[3].isEmpty() ? m.Texts[1] : m.Texts[3];
    if (command == QLatin1StringView("Exit"))
        Exit();
    else if (command == QLatin1StringView("NewGame"))
        NewGame();
    else if (command == QLatin1StringView("StopGame"))
        StopGame();
    else if (!Misbehaves("silent"))
        Answer(command, senderHost, replyQueue);
}

void RefereeConsole::Exit() {
    ReportLine(QStringLiteral("command Exit"));
    if (Misbehaves("ignore-exit")) return;
    exiting_ = true;
    if (run_.started != 0) {
        // The game ends with the console: it is opened again as it stood now.
        if (run_.frozenAt == 0) run_.frozenAt = CurrentUtc();
        SaveRun();
    }
    QCoreApplication::quit();
}

void RefereeConsole::NewGame() {
    ReportLine(QStringLiteral("command NewGame"));
    script_.Refresh();
    run_ = {CurrentUtc(), 0};
    splitsUpTo_ = run_.started - 1;  // a period starting at once is announced too
    SaveRun();
}

void RefereeConsole::StopGame() {
    ReportLine(QStringLiteral("command StopGame"));
    if (run_.started != 0 && run_.frozenAt == 0) {
        run_.frozenAt = CurrentUtc();
        SaveRun();
    }
}

void RefereeConsole::Answer(const QString& request, const QString& host, const QString& replyQueue) {
    if ((Misbehaves("no-periods") && request == QLatin1StringView("PeriodInfo")) ||
        (Misbehaves("no-event-names") && request == QLatin1StringView("EventTypes"))) {
        const QString empty = request == QLatin1StringView("PeriodInfo")
                                  ? QStringLiteral("<Kestrilo><Periods></Periods></Kestrilo>")
                                  : QStringLiteral("<Kestrilo><EventTypes></EventTypes></Kestrilo>");
        if (!replyQueue.isEmpty()) queue_.Send(host, replyQueue, empty, QString());
        return;
    }
    const QString answer = GameAnswer(request);
    if (answer.isEmpty()) {
        ReportError(QStringLiteral("Tamberlo: ignored request '%1' from %2 on '%3'")
                        .arg(request.left(200), replyQueue.left(100), host.left(100)));
        return;
    }
    if (replyQueue.isEmpty()) {
        ReportError(QStringLiteral("Tamberlo: request '%1' names no queue to answer").arg(request.left(200)));
        return;
    }
    queue_.Send(host, replyQueue, answer, QString());
}

QString RefereeConsole::GameAnswer(const QString& request) {
    script_.Refresh();
    QString answer = script_.Game().At(run_, CurrentUtc()).Answer(request);
    if (Misbehaves("no-period-start") && request == QLatin1StringView("PeriodInfo") && startlessLeft_ != 0) {
        static const QRegularExpression startTime(QStringLiteral(" T(Hi|Lo)=\"[^\"]*\""));
        answer.remove(startTime);
        if (startlessLeft_ > 0) --startlessLeft_;
    }
    return answer;
}

// The timeline's period starts and ends since the last look, announced as splits.
void RefereeConsole::AnnounceSplits() {
    if (run_.started == 0 || Misbehaves("no-periods")) return;
    const std::uint64_t now = CurrentUtc();
    for (const GameSplit& split : script_.Game().SplitsBetween(run_, splitsUpTo_, now)) {
        const QString text = SplitCommand(split);
        ReportLine(QStringLiteral("split ") + text);
        queue_.Send(QStringLiteral("localhost"), QStringLiteral("Halvane"), kQueueName, text);
        queue_.Send(QStringLiteral("localhost"), QStringLiteral("Vortamo1"), QStringLiteral("Vortamo.Control"), text);
    }
    splitsUpTo_ = now;
}

void RefereeConsole::SaveRun() {
    QString error;
    const QString path = script_.Path().isEmpty() ? QString() : QFileInfo(script_.Path()).absoluteFilePath();
    if (!SaveLastRun(stateFolder_, {path, run_}, &error))
        ReportError(QStringLiteral("Tamberlo: the game cannot be kept: ") + error);
}

bool RefereeConsole::Misbehaves(const char* word) const { return misbehave_.contains(QLatin1StringView(word)); }

}  // namespace zandrel
