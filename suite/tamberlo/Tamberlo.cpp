// Tamberlo, the replay machine stand-in, in its referee console mode: it holds the queue
// "Kestrilo" and answers each request with the console's XML message, taken from a
// scripted game.
//
//   Tamberlo [-openlast] [-script FILE]
//
// Without -script the file named by TAMBERLO_SCRIPT is played; without either, the last
// game, LastGame.json next to the program; without that, an empty game whose clock is the
// current time.
//
// The console keeps its last game: the run that "NewGame" started, with the time where
// "StopGame" (or, failing that, "Exit") froze its clock, is saved with the script's path in
// LastRun.json in the state folder (TAMBERLO_STATE_DIR, else $XDG_STATE_HOME/Tervanix/Tamberlo,
// see LastRun.h). With
// -openlast the console opens that game again, frozen where it was saved (a run that was
// never frozen, because the console was killed, is opened played out to the end of its
// timeline), when no script is named or the named one is the game's own. With -openlast,
// no saved game and no script named, the shipped last game is opened as a game that has
// just been played out. Two games come with the suite (games/regular.json and
// games/overtime-shootout.json, see ScriptedGame.h for the format). The script is read again whenever its content
// changes, so a game can go on while the console runs; a script that cannot be used is
// reported once and the game played so far stays.
//
// A request arrives with the command as its first text and the asking application's queue
// name as its second; the answer goes to that queue on the asker's computer, with the XML
// as its first text. "NewGame" starts the script's timeline (see ScriptedGame.h) on the
// current time, "StopGame" freezes the game clock; both are acknowledged on standard
// output. "Exit" ends the program. Anything else is reported on standard error and ignored.
//
// At the start of period k of the timeline the console sends "SplitAtTime k_0x<low>_0x<high>"
// (the split time, UTC in 100-ns units since 1601) to "Halvane" and, as a control command,
// to "Vortamo1"; at its end "SplitAtTime -k_...".
//
// Misbehaviours (TAMBERLO_MISBEHAVE, comma-separated, or "misbehave" in Tamberlo.conf next
// to the program): "silent" answers nothing, "no-periods" reports no periods,
// "no-period-start" reports the game's periods without their start times (no "THi" and
// "TLo", as a console whose game clock has not been started does; with
// TAMBERLO_NO_PERIOD_START_ANSWERS=N only its first N answers to "PeriodInfo" lack them, as a
// clock that is started a while later), "no-event-names"
// reports no event types, "ignore-exit" stays on "Exit", "refuse-stopgame" refuses the
// message "StopGame" at its queue, so that its sender's send fails (as it fails on a full
// queue) and the clock runs on.
//
// Standard output: "ready" once the queue is held; "command <text>" for each command.
// Exit codes: 0 after "Exit", 2 bad arguments or script, 3 the queue is held by another
// program, 4 no message queue component.
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>

#include <QFileInfo>

#include "CompanionQueue.h"
#include "LastRun.h"
#include "ScriptedGame.h"

namespace {

const QString kQueueName = QStringLiteral("Kestrilo");
constexpr std::uint64_t kUnixEpochAsFileTime = 116'444'736'000'000'000ULL;
constexpr int kSplitCheckMs = 200;

std::uint64_t Now() {
    return kUnixEpochAsFileTime + static_cast<std::uint64_t>(QDateTime::currentMSecsSinceEpoch()) * 10'000ULL;
}

QString SplitCommand(const zandrel::GameSplit& split) {
    return QString::asprintf("SplitAtTime %d_0x%08X_0x%08X", split.number, static_cast<unsigned>(split.time & 0xFFFFFFFFu),
                             static_cast<unsigned>(split.time >> 32));
}

// The scripted game and the file it comes from.
class Script {
public:
    explicit Script(QString path) : path_(std::move(path)) {}

    // Reads the file again when its content changed. False when the first reading fails.
    bool Refresh() {
        if (path_.isEmpty()) return true;
        QFile file(path_);
        if (!file.open(QIODevice::ReadOnly)) {
            ReportOnce(QStringLiteral("cannot read the script ") + path_);
            return loaded_;
        }
        const QByteArray content = file.readAll();
        if (loaded_ && content == content_) return true;
        QJsonParseError parseError;
        const QJsonDocument doc = QJsonDocument::fromJson(content, &parseError);
        QString error;
        if (!doc.isObject()) {
            error = parseError.errorString();
        } else if (game_.Load(doc.object(), &error)) {
            content_ = content;
            loaded_ = true;
            lastError_.clear();
            return true;
        }
        ReportOnce(QStringLiteral("the script %1 cannot be used: %2").arg(path_, error));
        return loaded_;
    }

    const zandrel::ScriptedGame& Game() const { return game_; }
    const QString& Path() const { return path_; }

private:
    void ReportOnce(const QString& error) {
        if (error == lastError_) return;
        lastError_ = error;
        zandrel::ReportError(QStringLiteral("Tamberlo: ") + error +
                             (loaded_ ? QStringLiteral(" (the game goes on as it was)") : QString()));
    }

    QString path_;
    QByteArray content_;
    bool loaded_ = false;
    QString lastError_;
    zandrel::ScriptedGame game_;
};

bool SameFile(const QString& a, const QString& b) {
    const QString canonical = QFileInfo(a).canonicalFilePath();
    return !canonical.isEmpty() && canonical == QFileInfo(b).canonicalFilePath();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QString scriptPath = qEnvironmentVariable("TAMBERLO_SCRIPT");
    bool openLast = false;
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1StringView("-openlast")) {
            openLast = true;
            continue;
        }
        if (args[i] == QLatin1StringView("-script") && i + 1 < args.size()) {
            scriptPath = args[++i];
            continue;
        }
        zandrel::ReportError(QStringLiteral("usage: Tamberlo [-openlast] [-script FILE]"));
        return 2;
    }
    const bool scriptNamed = !scriptPath.isEmpty();
    const QString shippedLastGame = QCoreApplication::applicationDirPath() + QStringLiteral("/LastGame.json");
    if (!scriptNamed && QFile::exists(shippedLastGame)) scriptPath = shippedLastGame;

    const QString stateFolder = zandrel::StateFolder();
    std::optional<zandrel::LastRun> last;
    if (openLast) {
        last = zandrel::LoadLastRun(stateFolder);
        if (last && scriptNamed && !SameFile(last->script, scriptPath)) last.reset();  // another game is asked for
    }
    Script script(last ? last->script : scriptPath);
    if (last && !script.Refresh()) {
        zandrel::ReportError(QStringLiteral("Tamberlo: the last game cannot be opened again"));
        last.reset();
        script = Script(scriptPath);
    }
    if (!script.Refresh()) return 2;
    if (script.Path().isEmpty()) zandrel::ReportError(QStringLiteral("Tamberlo: no script, an empty game"));

    zandrel::GameRun run;
    if (last)
        run = script.Game().PlayedOut(last->run);
    else if (openLast && !scriptNamed)
        run = script.Game().EndedAt(Now());
    auto saveRun = [&] {
        QString error;
        const QString path = script.Path().isEmpty() ? QString() : QFileInfo(script.Path()).absoluteFilePath();
        if (!zandrel::SaveLastRun(stateFolder, {path, run}, &error))
            zandrel::ReportError(QStringLiteral("Tamberlo: the game cannot be kept: ") + error);
    };

    const QStringList misbehave = zandrel::Misbehaviours(QStringLiteral("Tamberlo"));
    auto misbehaves = [&](const char* word) { return misbehave.contains(QLatin1StringView(word)); };
    // How many "PeriodInfo" answers still go without start times (-1: all of them).
    bool countSet = false;
    const int startlessCount = qEnvironmentVariableIntValue("TAMBERLO_NO_PERIOD_START_ANSWERS", &countSet);
    int startlessLeft = countSet && startlessCount >= 0 ? startlessCount : -1;

    bool exiting = false;
    // A game opened again announces none of the splits it had.
    std::uint64_t splitsUpTo = Now();
    zandrel::CompanionQueue* queue = nullptr;
    zandrel::CompanionQueue companion([&](const hv::QueueMessage& m) {
        if (exiting) return;
        const QString& command = m.Texts[2];
        const QString& senderHost = m.Texts[0];
        // The asker names its queue in the second text; the sender's own queue is the
        // fallback for a request that does not.
        const QString replyQueue = m.Texts[3].isEmpty() ? m.Texts[1] : m.Texts[3];
        if (command == QLatin1StringView("Exit")) {
            zandrel::ReportLine(QStringLiteral("command Exit"));
            if (misbehaves("ignore-exit")) return;
            exiting = true;
            if (run.started != 0) {
                // The game ends with the console: it is opened again as it stood now.
                if (run.frozenAt == 0) run.frozenAt = Now();
                saveRun();
            }
            QCoreApplication::quit();
            return;
        }
        if (command == QLatin1StringView("NewGame")) {
            zandrel::ReportLine(QStringLiteral("command ") + command);
            script.Refresh();
            run = {Now(), 0};
            splitsUpTo = run.started - 1;  // a period starting at once is announced too
            saveRun();
            return;
        }
        if (command == QLatin1StringView("StopGame")) {
            zandrel::ReportLine(QStringLiteral("command ") + command);
            if (run.started != 0 && run.frozenAt == 0) {
                run.frozenAt = Now();
                saveRun();
            }
            return;
        }
        if (misbehaves("silent")) return;
        if ((misbehaves("no-periods") && command == QLatin1StringView("PeriodInfo")) ||
            (misbehaves("no-event-names") && command == QLatin1StringView("EventTypes"))) {
            const QString empty = command == QLatin1StringView("PeriodInfo")
                                      ? QStringLiteral("<Kestrilo><Periods></Periods></Kestrilo>")
                                      : QStringLiteral("<Kestrilo><EventTypes></EventTypes></Kestrilo>");
            if (!replyQueue.isEmpty()) queue->Send(senderHost, replyQueue, empty, QString());
            return;
        }
        script.Refresh();
        QString answer = script.Game().At(run, Now()).Answer(command);
        if (misbehaves("no-period-start") && command == QLatin1StringView("PeriodInfo") && startlessLeft != 0) {
            static const QRegularExpression startTime(QStringLiteral(" T(Hi|Lo)=\"[^\"]*\""));
            answer.remove(startTime);
            if (startlessLeft > 0) --startlessLeft;
        }
        if (answer.isEmpty()) {
            zandrel::ReportError(QStringLiteral("Tamberlo: ignored request '%1' from %2 on '%3'")
                                     .arg(command.left(200), replyQueue.left(100), senderHost.left(100)));
            return;
        }
        if (replyQueue.isEmpty()) {
            zandrel::ReportError(QStringLiteral("Tamberlo: request '%1' names no queue to answer").arg(command.left(200)));
            return;
        }
        queue->Send(senderHost, replyQueue, answer, QString());
    });
    queue = &companion;

    // The queue component of this process refuses what it is told to refuse.
    if (misbehaves("refuse-stopgame")) {
        QStringList refused = qEnvironmentVariable("ZANDREL_QUEUE_REFUSE").split(u';', Qt::SkipEmptyParts);
        refused.append(QStringLiteral("StopGame"));
        qputenv("ZANDREL_QUEUE_REFUSE", refused.join(u';').toUtf8());
    }
    QString error;
    switch (companion.Open(zandrel::ComponentDirectory(), kQueueName, &error)) {
    case zandrel::CompanionQueue::OpenResult::Opened:
        break;
    case zandrel::CompanionQueue::OpenResult::NoComponent:
        zandrel::ReportError(QStringLiteral("Tamberlo: ") + error);
        return 4;
    case zandrel::CompanionQueue::OpenResult::NameHeld:
        zandrel::ReportError(QStringLiteral("Tamberlo: ") + error);
        return 3;
    }
    // The timeline's period starts and ends, announced as splits.
    QTimer splitTimer;
    QObject::connect(&splitTimer, &QTimer::timeout, [&] {
        if (run.started == 0 || misbehaves("no-periods")) return;
        const std::uint64_t now = Now();
        for (const zandrel::GameSplit& split : script.Game().SplitsBetween(run, splitsUpTo, now)) {
            const QString text = SplitCommand(split);
            zandrel::ReportLine(QStringLiteral("split ") + text);
            queue->Send(QStringLiteral("localhost"), QStringLiteral("Halvane"), kQueueName, text);
            queue->Send(QStringLiteral("localhost"), QStringLiteral("Vortamo1"), QStringLiteral("Vortamo.Control"), text);
        }
        splitsUpTo = now;
    });
    splitTimer.start(kSplitCheckMs);

    zandrel::ReportLine(QStringLiteral("ready"));
    return app.exec();
}
