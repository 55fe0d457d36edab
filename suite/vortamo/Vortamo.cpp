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
#include <optional>

#include "CompanionQueue.h"
#include "Recording.h"

namespace {

const QString kProgram = QStringLiteral("Vortamo");
const QString kControl = QStringLiteral("Vortamo.Control");
const QString kAnswer = QStringLiteral("Vortamo.Answer");
constexpr int kExitToldNotToStart = 5;
constexpr std::int64_t kUnixEpochAsFileTime = 116'444'736'000'000'000LL;
// The suite's recorder answers "GetTime" this far behind UTC.
constexpr std::int64_t kAnswerBehindMs = 3000;
constexpr int kGrowEveryMs = 100;

// The recorder's clock as it answers: UTC in 100-ns units since 1601 (the system's, or
// `stoppedAt` when that is not 0), 3 s behind and moved by the configured skew.
struct RecorderClock {
    std::int64_t skewMs = 0;
    std::uint64_t stoppedAt = 0;

    // VORTAMO_CLOCK_SKEW_MS and VORTAMO_CLOCK_AT.
    static RecorderClock FromEnvironment() {
        RecorderClock clock;
        bool skewOk = false;
        clock.skewMs = qEnvironmentVariable("VORTAMO_CLOCK_SKEW_MS").toLongLong(&skewOk);
        if (!skewOk) clock.skewMs = 0;
        clock.stoppedAt = qEnvironmentVariable("VORTAMO_CLOCK_AT").toULongLong();
        return clock;
    }

    std::uint64_t Now() const {
        const std::int64_t shift = (skewMs - kAnswerBehindMs) * 10'000LL;
        if (stoppedAt != 0) return static_cast<std::uint64_t>(static_cast<std::int64_t>(stoppedAt) + shift);
        return static_cast<std::uint64_t>(kUnixEpochAsFileTime + QDateTime::currentMSecsSinceEpoch() * 10'000LL + shift);
    }
};

// What the recorder is told to do wrong once it runs.
struct Misbehaviour {
    explicit Misbehaviour(const QStringList& words)
        : silent(words.contains(QLatin1StringView("silent"))),
          neverRecords(words.contains(QLatin1StringView("no-record"))),
          ignoresExit(words.contains(QLatin1StringView("ignore-exit"))),
          badTime(words.contains(QLatin1StringView("bad-time"))),
          recordsFromStart(words.contains(QLatin1StringView("recording"))) {}

    bool silent;
    bool neverRecords;
    bool ignoresExit;
    bool badTime;
    bool recordsFromStart;
};

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

bool IsCommand(const QString& text, QLatin1StringView word) {
    return text == word || (text.startsWith(word) && text.size() > word.size() && text[word.size()] == u' ');
}

// The recorder: its queue, its state and, with VORTAMO_ROOTS, its files.
class Recorder {
public:
    Recorder(RecorderClock clock, const QStringList& misbehave)
        : clock_(clock),
          misbehaviour_(misbehave),
          roots_(qEnvironmentVariable("VORTAMO_ROOTS").split(u';', Qt::SkipEmptyParts)),
          recording_(misbehaviour_.recordsFromStart),
          files_(roots_, EnvInt("VORTAMO_CAMERAS", 2), EnvInt("VORTAMO_FIRST_PERIOD", 50),
                 EnvInt("VORTAMO_GROW_BYTES", 65536)) {
        growTimer_.callOnTimeout([this] { files_.Grow(); });
        growTimer_.start(kGrowEveryMs);
    }

    // Holds the queue `name` and follows its messages until "Exit"; the exit code.
    int Run(QCoreApplication& app, const QString& name) {
        QString error;
        const auto opened = queue_.Open(zandrel::ComponentDirectory(), name, &error);
        if (opened != zandrel::CompanionQueue::OpenResult::Opened) return zandrel::OpenFailed(opened, kProgram, error);
        Report(QStringLiteral("ready"));
        return app.exec();
    }

private:
    void Take(const hv::QueueMessage& m) {
        if (exiting_) return;
        const QString& host = m.Texts[0];
        const QString& sender = m.Texts[1];
        const QString& command = m.Texts[3];
        if (m.Texts[2] != kControl) {
            zandrel::ReportError(QStringLiteral("Vortamo: ignored message '%1' from %2 on '%3'")
                                     .arg(m.Texts[2].left(200), sender.left(100), host.left(100)));
            return;
        }
        if (command == QLatin1StringView("GetState") || command == QLatin1StringView("GetTime")) {
            if (!misbehaviour_.silent) Answer(host, sender, command);
            return;
        }
        if (!Follow(command)) {
            zandrel::ReportError(QStringLiteral("Vortamo: ignored command '%1' from %2 on '%3'")
                                     .arg(command.left(200), sender.left(100), host.left(100)));
            return;
        }
        Report(QStringLiteral("command ") + command.left(400));
    }

    // "GetState" or "GetTime", answered to the sender's queue.
    void Answer(const QString& host, const QString& sender, const QString& request) {
        if (request == QLatin1StringView("GetState")) {
            queue_.Send(host, sender, kAnswer,
                        recording_ ? QStringLiteral("GetState Record") : QStringLiteral("GetState Stop"));
        } else {
            const std::uint64_t t = clock_.Now();
            queue_.Send(host, sender, kAnswer,
                        misbehaviour_.badTime ? QStringLiteral("GetTime 0x%1").arg(static_cast<std::uint32_t>(t), 0, 16)
                                              : TimeAnswer(t));
        }
        Report(QStringLiteral("command ") + request, true);
    }

    // Carries out a control command; false for one the recorder does not know.
    bool Follow(const QString& command) {
        if (IsCommand(command, QLatin1StringView("StartRecord"))) {
            StartRecord(command);
        } else if (command == QLatin1StringView("StopRecord")) {
            recording_ = false;
            StopFiles();
        } else if (IsCommand(command, QLatin1StringView("SplitAtTime"))) {
            if (files_.Active()) Split(command);
        } else if (command == QLatin1StringView("Exit")) {
            if (!misbehaviour_.ignoresExit) Exit();
        } else {
            return command == QLatin1StringView("ExternalControlOn") || command == QLatin1StringView("ResetFolder");
        }
        return true;
    }

    void StartRecord(const QString& command) {
        recording_ = !misbehaviour_.neverRecords;
        QString error;
        if (recording_ && !roots_.isEmpty() && !files_.Start(command.section(u' ', -1), &error))
            zandrel::ReportError(QStringLiteral("Vortamo: ") + error);
        ReportClosed();
    }

    void Split(const QString& command) {
        static const QRegularExpression split(QStringLiteral("^SplitAtTime\\s*(-?\\d{1,3})_"));
        const auto match = split.match(command);
        QString error;
        if (!match.hasMatch() || !files_.Split(match.captured(1).toInt(), &error))
            zandrel::ReportError(QStringLiteral("Vortamo: split '%1' not done %2").arg(command.left(200), error));
        ReportClosed();
    }

    void Exit() {
        recording_ = false;
        // The segments are closed and unlocked before the name is freed.
        StopFiles();
        exiting_ = true;
        QCoreApplication::quit();
    }

    void StopFiles() {
        files_.Stop();
        ReportClosed();
    }

    void ReportClosed() {
        for (const QString& path : files_.TakeClosedFiles()) Report(QStringLiteral("closed ") + path);
    }

    const RecorderClock clock_;
    const Misbehaviour misbehaviour_;
    const QStringList roots_;
    bool recording_;
    bool exiting_ = false;
    zandrel::Recording files_;
    QTimer growTimer_;
    zandrel::CompanionQueue queue_{[this](const hv::QueueMessage& m) { Take(m); }};
};

// The queue's number from "#<n>" (1 without one); nothing when an argument is not understood.
std::optional<int> QueueNumber(const QStringList& args) {
    static const QRegularExpression numberArgument(QStringLiteral("^#(\\d{1,3})$"));
    int number = 1;
    for (const QString& arg : args) {
        const auto match = numberArgument.match(arg);
        if (!match.hasMatch()) return std::nullopt;
        number = match.captured(1).toInt();
    }
    return number;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::optional<int> number = QueueNumber(app.arguments().mid(1));
    if (!number) {
        zandrel::ReportError(QStringLiteral("usage: Vortamo [#<n>]"));
        return zandrel::kExitBadArguments;
    }
    const RecorderClock clock = RecorderClock::FromEnvironment();
    const QStringList misbehave = zandrel::Misbehaviours(kProgram);
    if (misbehave.contains(QLatin1StringView("no-start"))) {
        zandrel::ReportError(QStringLiteral("Vortamo: told not to start"));
        return kExitToldNotToStart;
    }
    // Refused by the queue itself, before the recorder sees it: the sender's send fails.
    if (misbehave.contains(QLatin1StringView("refuse-startrecord")))
        zandrel::RefuseAtTheQueue(kControl + QStringLiteral("|StartRecord"));
    Recorder recorder(clock, misbehave);
    return recorder.Run(app, kProgram + QString::number(*number));
}
