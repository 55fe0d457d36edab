// Vortamo, the recorder stand-in: holds the queue "Vortamo<n>" (argument "#<n>", 1 by
// default), follows the control commands and answers the state and clock requests.
//
//   Vortamo [#<n>]
//
// A command arrives with first text "Vortamo.Control" and the command as second text; an
// answer goes to the sender's queue on the sender's computer with first text
// "Vortamo.Answer":
//   "GetState"              -> "GetState Record" while recording, else "GetState Stop"
//   "GetTime"               -> "GetTime 0x<low>_0x<high>": the recorder's clock in
//                              100-ns units since 1601, hexadecimal. Like the suite's
//                              recorder it answers 3 s behind UTC, which a workstation
//                              in step with it takes for an offset of 0.
//   "StartRecord <args>"    starts recording, "StopRecord" stops it
//   "ExternalControlOn", "ResetFolder", "SplitAtTime <args>"  accepted
//   "Exit"                  ends the program
// Anything else is reported on standard error and ignored.
//
// VORTAMO_CLOCK_SKEW_MS (signed) sets the recorder's clock that much further off.
// VORTAMO_CLOCK_AT (100-ns units since 1601, decimal) stops the recorder's clock at that
// UTC time instead of following the system's: for a test whose clock is its own, so that
// the offset Halvane computes is exact (the answer is still 3 s behind and skewed).
// Misbehaviours (VORTAMO_MISBEHAVE, comma-separated, or "misbehave" in Vortamo.conf next to
// the program): "silent" answers nothing, "no-record" never records, "ignore-exit" stays
// on "Exit", "no-start" ends at once (exit code 5) without taking its queue, as a recorder
// that cannot start, "bad-time" answers "GetTime" with the low half of its clock only,
// "recording" records from its start (as a recorder left recording an earlier game),
// "refuse-startrecord" has its queue refuse every "StartRecord" (the sender's send fails).
// VORTAMO_ROOTS (folders joined by ";") makes it record for real (Recording.h):
// VORTAMO_CAMERAS videos per segment (2), VORTAMO_FIRST_PERIOD the number of the segment
// before the game (50), VORTAMO_GROW_BYTES what each video grows by every 100 ms (65536).
// Each closed segment file is reported as "closed <path>".
//
// Standard output: "ready" once the queue is held; "command <text>" for each command it
// follows. VORTAMO_REPORT_FILE (a path) gets the same lines appended, for a watcher that
// does not hold the program's standard output, and there also "command GetState" and
// "command GetTime" for each request it answers. Exit codes:
// 0 after "Exit", 2 bad arguments, 3 the queue is held by another program, 4 no message
// queue component, 5 told not to start.
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <QTimer>
#include <cstdint>

#include "CompanionQueue.h"
#include "Recording.h"

namespace {

const QString kControl = QStringLiteral("Vortamo.Control");
const QString kAnswer = QStringLiteral("Vortamo.Answer");
constexpr std::int64_t kUnixEpochAsFileTime = 116'444'736'000'000'000LL;
// The suite's recorder answers "GetTime" this far behind UTC.
constexpr std::int64_t kAnswerBehindMs = 3000;

// The recorder's clock as it answers: UTC in 100-ns units since 1601 (the system's, or
// `stoppedAt` when that is not 0), 3 s behind and moved by the configured skew.
std::uint64_t RecorderNow(std::int64_t skewMs, std::uint64_t stoppedAt) {
    const std::int64_t shift = (skewMs - kAnswerBehindMs) * 10'000LL;
    if (stoppedAt != 0) return static_cast<std::uint64_t>(static_cast<std::int64_t>(stoppedAt) + shift);
    return static_cast<std::uint64_t>(kUnixEpochAsFileTime + QDateTime::currentMSecsSinceEpoch() * 10'000LL + shift);
}

// One line in the report file when one is named, and unless `fileOnly` on standard output.
void Report(const QString& line, bool fileOnly = false) {
    if (!fileOnly) zandrel::ReportLine(line);
    static const QString path = qEnvironmentVariable("VORTAMO_REPORT_FILE");
    if (path.isEmpty()) return;
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append)) file.write((line + u'\n').toUtf8());
}

QString TimeAnswer(std::uint64_t t) {
    return QStringLiteral("GetTime 0x%1_0x%2")
        .arg(QString::number(static_cast<std::uint32_t>(t), 16).toUpper(),
             QString::number(static_cast<std::uint32_t>(t >> 32), 16).toUpper());
}

int EnvInt(const char* name, int fallback) {
    bool ok = false;
    const int value = qEnvironmentVariable(name).toInt(&ok);
    return ok ? value : fallback;
}

void ReportClosed(zandrel::Recording& recorder) {
    for (const QString& path : recorder.TakeClosedFiles()) Report(QStringLiteral("closed ") + path);
}

bool IsCommand(const QString& text, QLatin1StringView word) {
    return text == word || (text.startsWith(word) && text.size() > word.size() && text[word.size()] == u' ');
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int number = 1;
    const QStringList args = app.arguments().mid(1);
    static const QRegularExpression numberArgument(QStringLiteral("^#(\\d{1,3})$"));
    for (const QString& arg : args) {
        const auto match = numberArgument.match(arg);
        if (!match.hasMatch()) {
            zandrel::ReportError(QStringLiteral("usage: Vortamo [#<n>]"));
            return 2;
        }
        number = match.captured(1).toInt();
    }
    bool skewOk = false;
    std::int64_t skewMs = qEnvironmentVariable("VORTAMO_CLOCK_SKEW_MS").toLongLong(&skewOk);
    if (!skewOk) skewMs = 0;
    const std::uint64_t clockStoppedAt = qEnvironmentVariable("VORTAMO_CLOCK_AT").toULongLong();

    const QStringList misbehave = zandrel::Misbehaviours(QStringLiteral("Vortamo"));
    if (misbehave.contains(QLatin1StringView("no-start"))) {
        zandrel::ReportError(QStringLiteral("Vortamo: told not to start"));
        return 5;
    }
    const bool silent = misbehave.contains(QLatin1StringView("silent"));
    const bool neverRecords = misbehave.contains(QLatin1StringView("no-record"));
    const bool ignoresExit = misbehave.contains(QLatin1StringView("ignore-exit"));
    const bool badTime = misbehave.contains(QLatin1StringView("bad-time"));
    if (misbehave.contains(QLatin1StringView("refuse-startrecord"))) {
        // Refused by the queue itself, before the recorder sees it: the sender's send fails.
        QStringList refused = qEnvironmentVariable("ZANDREL_QUEUE_REFUSE").split(u';', Qt::SkipEmptyParts);
        refused << kControl + QStringLiteral("|StartRecord");
        qputenv("ZANDREL_QUEUE_REFUSE", refused.join(u';').toUtf8());
    }

    bool recording = misbehave.contains(QLatin1StringView("recording"));
    const QStringList roots = qEnvironmentVariable("VORTAMO_ROOTS").split(u';', Qt::SkipEmptyParts);
    zandrel::Recording recorder(roots, EnvInt("VORTAMO_CAMERAS", 2), EnvInt("VORTAMO_FIRST_PERIOD", 50),
                                EnvInt("VORTAMO_GROW_BYTES", 65536));
    QTimer growTimer;
    growTimer.callOnTimeout([&recorder] { recorder.Grow(); });
    growTimer.start(100);
    bool exiting = false;
    zandrel::CompanionQueue* queue = nullptr;
    zandrel::CompanionQueue companion([&](const hv::QueueMessage& m) {
        if (exiting) return;
        const QString& host = m.Texts[0];
        const QString& sender = m.Texts[1];
        const QString& command = m.Texts[3];
        if (m.Texts[2] != kControl) {
            zandrel::ReportError(QStringLiteral("Vortamo: ignored message '%1' from %2 on '%3'")
                                     .arg(m.Texts[2].left(200), sender.left(100), host.left(100)));
            return;
        }
        if (silent && (command == QLatin1StringView("GetState") || command == QLatin1StringView("GetTime"))) return;
        if (command == QLatin1StringView("GetState")) {
            queue->Send(host, sender, kAnswer,
                        recording ? QStringLiteral("GetState Record") : QStringLiteral("GetState Stop"));
            Report(QStringLiteral("command ") + command, true);
            return;
        }
        if (command == QLatin1StringView("GetTime")) {
            const std::uint64_t t = RecorderNow(skewMs, clockStoppedAt);
            queue->Send(host, sender, kAnswer,
                        badTime ? QStringLiteral("GetTime 0x%1").arg(static_cast<std::uint32_t>(t), 0, 16)
                                : TimeAnswer(t));
            Report(QStringLiteral("command ") + command, true);
            return;
        }
        QString recordError;
        if (IsCommand(command, QLatin1StringView("StartRecord"))) {
            recording = !neverRecords;
            if (recording && !roots.isEmpty() && !recorder.Start(command.section(u' ', -1), &recordError))
                zandrel::ReportError(QStringLiteral("Vortamo: ") + recordError);
            ReportClosed(recorder);
        } else if (command == QLatin1StringView("StopRecord")) {
            recording = false;
            recorder.Stop();
            ReportClosed(recorder);
        } else if (IsCommand(command, QLatin1StringView("SplitAtTime")) && recorder.Active()) {
            static const QRegularExpression split(QStringLiteral("^SplitAtTime\\s*(-?\\d{1,3})_"));
            const auto match = split.match(command);
            if (!match.hasMatch() || !recorder.Split(match.captured(1).toInt(), &recordError))
                zandrel::ReportError(QStringLiteral("Vortamo: split '%1' not done %2").arg(command.left(200), recordError));
            ReportClosed(recorder);
        } else if (command == QLatin1StringView("Exit")) {
            if (!ignoresExit) {
                recording = false;
                // The segments are closed and unlocked before the name is freed.
                recorder.Stop();
                ReportClosed(recorder);
                exiting = true;
                QCoreApplication::quit();
            }
        } else if (command != QLatin1StringView("ExternalControlOn") &&
                   command != QLatin1StringView("ResetFolder") &&
                   !IsCommand(command, QLatin1StringView("SplitAtTime"))) {
            zandrel::ReportError(QStringLiteral("Vortamo: ignored command '%1' from %2 on '%3'")
                                     .arg(command.left(200), sender.left(100), host.left(100)));
            return;
        }
        Report(QStringLiteral("command ") + command.left(400));
    });
    queue = &companion;

    QString error;
    switch (companion.Open(zandrel::ComponentDirectory(),
                           QStringLiteral("Vortamo") + QString::number(number), &error)) {
    case zandrel::CompanionQueue::OpenResult::Opened:
        break;
    case zandrel::CompanionQueue::OpenResult::NoComponent:
        zandrel::ReportError(QStringLiteral("Vortamo: ") + error);
        return 4;
    case zandrel::CompanionQueue::OpenResult::NameHeld:
        zandrel::ReportError(QStringLiteral("Vortamo: ") + error);
        return 3;
    }
    Report(QStringLiteral("ready"));
    return app.exec();
}
