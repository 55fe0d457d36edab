// The referee console and recorder stand-ins as the programs they are: child processes
// holding their queues, asked through the installed message queue component.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QThread>
#include <QTimeZone>
#include <QTemporaryDir>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "CompanionProcess.h"
#include "ScopedEnvironment.h"
#include "ScriptedGame.h"
#include "platform/ComponentFactory.h"
#include "platform/WindowMessages.h"
#include "workflow/SuiteComponents.h"

namespace hv {
namespace {

using test::CompanionProcess;

constexpr unsigned kArrival = WM_USER + 123;
constexpr int kWaitMs = 30000;
// Long enough for a running clock to move on in the console's answers.
constexpr int kClockStepMs = 50;

// Waits, with the event loop running, until `condition` holds.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = kWaitMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

// The time a split announces ("SplitAtTime <n>_0x<low>_0x<high>", UTC 100-ns units since
// 1601); invalid when the text is not one.
QDateTime SplitTime(const QString& split) {
    static const QRegularExpression form(QStringLiteral("^SplitAtTime -?\\d+_0x([0-9A-F]{8})_0x([0-9A-F]{8})$"));
    const auto match = form.match(split);
    if (!match.hasMatch()) return {};
    const qint64 units = static_cast<qint64>((match.captured(2).toULongLong(nullptr, 16) << 32) |
                                             match.captured(1).toULongLong(nullptr, 16));
    constexpr qint64 kUnixEpochAsFileTime = 116'444'736'000'000'000LL;
    return QDateTime::fromMSecsSinceEpoch((units - kUnixEpochAsFileTime) / 10'000, QTimeZone::utc());
}

// Waits until the companion has written `text` to its standard error.
bool WaitForText(CompanionProcess& companion, const char* text) {
    return WaitUntil([&] { return companion.Errors().contains(QString::fromUtf8(text)) || companion.HasEnded(); }) &&
           companion.Errors().contains(QString::fromUtf8(text));
}

// A queue of the test's own, through the installed component, with the messages that
// arrived on it.
class TestQueue final : public QObject {
public:
    bool Open(const QString& name) {
        serviceObject_ = factory_.CreateFor(kMessageQueueServiceClass, service_);
        if (!serviceObject_) return false;
        std::int32_t status = 0;
        std::int32_t result = 0;
        if (service_->CreateQueue(status, result, name, this, kArrival, 0, 0, queueObject_) != S_OK || result != 0)
            return false;
        queue_ = QueryInterface<IMessageQueue>(queueObject_.get());
        return queue_ != nullptr;
    }
    ~TestQueue() override {
        queue_ = nullptr;
        queueObject_.reset();
    }

    bool Send(const QString& target, const QString& first, const QString& second) {
        std::int32_t status = 0;
        std::int32_t result = 0;
        return queue_->Send(status, result, ++sequence_, 0, 0, QStringLiteral("localhost"), target, first, second) ==
                   S_OK &&
               result == 0 && status == 1;
    }

    // The next message, waiting for it with the event loop running.
    std::optional<QueueMessage> Next(int timeoutMs = kWaitMs) {
        QDeadlineTimer deadline(timeoutMs);
        while (arrived_.empty()) {
            if (deadline.hasExpired()) return std::nullopt;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        QueueMessage m = arrived_.front();
        arrived_.pop_front();
        return m;
    }

    // The first text of the next message; empty when none came.
    QString NextFirst() {
        const auto m = Next();
        return m ? m->Texts[2] : QString();
    }
    QString NextSecond() {
        const auto m = Next();
        return m ? m->Texts[3] : QString();
    }

protected:
    bool event(QEvent* e) override {
        ReceiveWindowMessages(this);
        if (e->type() != EventTypeOf(kArrival)) return QObject::event(e);
        std::int32_t count = 0;
        std::int32_t unused = 0;
        while (queue_ != nullptr && queue_->GetCount(count, unused) == S_OK && count > 0) {
            QueueMessage m;
            if (queue_->Receive(m) != S_OK || m.Values[2] != 1) break;
            arrived_.push_back(m);
        }
        return true;
    }

private:
    ComponentFactory factory_{ComponentFactory::DefaultDirectory()};
    IQueueService* service_ = nullptr;
    ComponentPtr serviceObject_;
    ComponentPtr queueObject_;
    IMessageQueue* queue_ = nullptr;
    std::int32_t sequence_ = 0;
    std::deque<QueueMessage> arrived_;
};

const char* kScript = R"({
  "now": "2022-01-20T12:50:00Z",
  "cameras": ["{00000000-0000-0000-0000-000000000001}"],
  "periods": [{"start": "2022-01-20T11:05:00Z", "endScore": "1:0"}],
  "events": [{"type": "Гол", "period": 1, "time": "2022-01-20T11:12:30Z", "nextScore": "1:0"}]
})";

class CompanionProgramsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Queue names of this program's own; the companions inherit the scope.
        qputenv("ZANDREL_QUEUE_SCOPE", "halvane-e2e-companions-" + QByteArray::number(QCoreApplication::applicationPid()));
        qputenv("ZANDREL_QUEUE_SEND_TIMEOUT_MS", "20000");
        qputenv("ZANDREL_QUEUE_LOCAL_TIMEOUT_MS", "20000");
    }

    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        // The console keeps its last game in the test's folder.
        environment_.Set("TAMBERLO_STATE_DIR", dir.path().toLocal8Bit());
        environment_.Set("XDG_STATE_HOME", dir.filePath("state").toLocal8Bit());
    }

    QString WriteScript(const QByteArray& content, const QString& name = QStringLiteral("game.json")) {
        QSaveFile file(dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
        EXPECT_TRUE(file.commit());
        return dir.filePath(name);
    }

    // Starts the referee console with a script and waits until it holds its queue.
    void StartConsole(CompanionProcess& console, const QString& script, const char* output = "tamberlo") {
        ASSERT_TRUE(console.Start("Tamberlo", {"-openlast", "-script", script}, dir.filePath(output)));
        ASSERT_TRUE(console.WaitForLine("ready")) << console.Errors().toStdString();
    }

    QTemporaryDir dir;
    test::ScopedEnvironment environment_;
};

TEST_F(CompanionProgramsTest, TheConsoleAnswersEachRequestToTheQueueItNames) {
    CompanionProcess console;
    StartConsole(console, WriteScript(kScript));
    zandrel::ScriptedGame game;
    ASSERT_TRUE(game.Load(QJsonDocument::fromJson(kScript).object()));

    TestQueue halvane;
    TestQueue other;
    ASSERT_TRUE(halvane.Open("Halvane"));
    ASSERT_TRUE(other.Open("Other"));

    // Asked from another queue, the answer goes to the queue named in the request.
    for (const char* request : {"TimeInfo", "Timeinfo", "EventInfo1_Гол", "", "EventCountГол", "PeriodInfo"})
        ASSERT_TRUE(other.Send("Kestrilo", QString::fromUtf8(request), "Halvane")) << request;
    for (const char* request : {"TimeInfo", "EventCountГол", "PeriodInfo"}) {
        const auto answer = halvane.Next();
        ASSERT_TRUE(answer.has_value()) << request;
        EXPECT_EQ(answer->Texts[2], game.Answer(QString::fromUtf8(request))) << request;
        EXPECT_EQ(answer->Texts[1], QStringLiteral("Kestrilo"));
    }
    // A request that names no queue is answered to the sender's.
    ASSERT_TRUE(other.Send("Kestrilo", "EventInfo0_Гол", ""));
    EXPECT_EQ(other.NextFirst(), game.Answer("EventInfo0_Гол"));
    EXPECT_FALSE(halvane.Next(200).has_value()) << "unknown requests get no answer";
    EXPECT_TRUE(console.Errors().contains("ignored request 'Timeinfo' from Halvane")) << console.Errors().toStdString();
    EXPECT_TRUE(console.Errors().contains("ignored request 'EventInfo1_Гол'"));
}

TEST_F(CompanionProgramsTest, TheConsoleFollowsItsScriptAndKeepsTheGameWhenTheScriptBreaks) {
    const QString path = WriteScript(kScript);
    CompanionProcess console;
    StartConsole(console, path);
    TestQueue halvane;
    ASSERT_TRUE(halvane.Open("Halvane"));

    ASSERT_TRUE(halvane.Send("Kestrilo", "EventCountГол", "Halvane"));
    EXPECT_EQ(halvane.NextFirst(), R"(<Kestrilo><Events Count="1"/></Kestrilo>)");

    // A second goal is scored.
    QJsonObject script = QJsonDocument::fromJson(kScript).object();
    QJsonArray events = script["events"].toArray();
    events.append(QJsonObject{{"type", "Гол"}, {"period", 1}, {"time", "2022-01-20T11:20:00Z"}});
    script["events"] = events;
    WriteScript(QJsonDocument(script).toJson());
    ASSERT_TRUE(halvane.Send("Kestrilo", "EventCountГол", "Halvane"));
    EXPECT_EQ(halvane.NextFirst(), R"(<Kestrilo><Events Count="2"/></Kestrilo>)");

    // A script that cannot be used is reported once; the game goes on as it was.
    WriteScript(R"({"periods": [{"start": "never"}]})");
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(halvane.Send("Kestrilo", "EventCountГол", "Halvane"));
        EXPECT_EQ(halvane.NextFirst(), R"(<Kestrilo><Events Count="2"/></Kestrilo>)");
    }
    EXPECT_EQ(console.Errors().count("cannot be used"), 1) << console.Errors().toStdString();
}

TEST_F(CompanionProgramsTest, TheConsoleEndsOnExitAndFreesItsName) {
    CompanionProcess console;
    StartConsole(console, WriteScript(kScript));
    TestQueue halvane;
    ASSERT_TRUE(halvane.Open("Halvane"));
    ASSERT_TRUE(halvane.Send("Kestrilo", "NewGame", "Halvane"));
    ASSERT_TRUE(halvane.Send("Kestrilo", "StopGame", "Halvane"));
    ASSERT_TRUE(halvane.Send("Kestrilo", "Exit", "Halvane"));
    EXPECT_EQ(console.WaitForExit(), 0);
    EXPECT_TRUE(console.Output().contains("command NewGame\ncommand StopGame\ncommand Exit\n"))
        << console.Output().toStdString();
    EXPECT_FALSE(halvane.Next(200).has_value()) << "commands get no answer";
    TestQueue again;
    EXPECT_TRUE(again.Open("Kestrilo")) << "the name is free once the console has ended";
}

TEST_F(CompanionProgramsTest, ProgramsThatCannotRunSaySoByTheirExitCode) {
    CompanionProcess holder;
    StartConsole(holder, WriteScript(kScript));
    const QString broken = WriteScript("{ not json", "broken.json");
    const struct {
        const char* program;
        QStringList args;
        int exitCode;
    } cases[] = {
        {"Tamberlo", {"-openlast", "-script", dir.filePath("game.json")}, 3},  // name held
        {"Tamberlo", {"-openlast", "-script", broken}, 2},
        {"Tamberlo", {"-openlast", "-script", dir.filePath("missing.json")}, 2},
        {"Tamberlo", {"-bogus"}, 2},
        {"Vortamo", {"#x"}, 2},
        {"Vortamo", {"#1", "extra"}, 2},
    };
    int n = 0;
    for (const auto& c : cases) {
        CompanionProcess p;
        ASSERT_TRUE(p.Start(c.program, c.args, dir.filePath(QStringLiteral("case%1").arg(++n))));
        EXPECT_EQ(p.WaitForExit(), c.exitCode) << c.program << " " << c.args.join(' ').toStdString();
        EXPECT_FALSE(p.Errors().isEmpty()) << c.program << " says why";
    }
}

TEST_F(CompanionProgramsTest, TheRecorderFollowsRecordingAndAnswersStateAndTime) {
    CompanionProcess recorder;
    // A healthy recorder answers 3 s behind the computer's clock.
    ASSERT_TRUE(recorder.Start("Vortamo", {"#1"}, dir.filePath("vortamo")));
    ASSERT_TRUE(recorder.WaitForLine("ready")) << recorder.Errors().toStdString();
    TestQueue halvane;
    ASSERT_TRUE(halvane.Open("Halvane"));
    auto ask = [&](const char* command) {
        EXPECT_TRUE(halvane.Send("Vortamo1", "Vortamo.Control", QString::fromUtf8(command)));
        const auto answer = halvane.Next();
        EXPECT_TRUE(answer.has_value()) << command;
        if (!answer) return QString();
        EXPECT_EQ(answer->Texts[2], QStringLiteral("Vortamo.Answer"));
        return answer->Texts[3];
    };

    EXPECT_EQ(ask("GetState"), "GetState Stop");
    for (const char* command : {"ExternalControlOn", "ResetFolder", "StartRecord 1111111111111111 0 \\2022-01-20\\11-00\\"})
        ASSERT_TRUE(halvane.Send("Vortamo1", "Vortamo.Control", command));
    EXPECT_EQ(ask("GetState"), "GetState Record");
    ASSERT_TRUE(halvane.Send("Vortamo1", "Vortamo.Control", "StopRecord"));
    EXPECT_EQ(ask("GetState"), "GetState Stop");

    const qint64 beforeMs = QDateTime::currentMSecsSinceEpoch();
    const QString time = ask("GetTime");
    const qint64 afterMs = QDateTime::currentMSecsSinceEpoch();
    static const QRegularExpression pattern(QStringLiteral("^GetTime 0x([0-9A-F]{1,8})_0x([0-9A-F]{1,8})$"));
    const auto match = pattern.match(time);
    ASSERT_TRUE(match.hasMatch()) << time.toStdString();
    const std::uint64_t t = (match.captured(2).toULongLong(nullptr, 16) << 32) | match.captured(1).toULongLong(nullptr, 16);
    const std::uint64_t epoch = 116'444'736'000'000'000ULL;
    EXPECT_GE(t, epoch + static_cast<std::uint64_t>(beforeMs - 3000) * 10'000ULL);
    EXPECT_LE(t, epoch + static_cast<std::uint64_t>(afterMs - 3000) * 10'000ULL);

    // Unknown commands and messages that are not control messages are ignored.
    ASSERT_TRUE(halvane.Send("Vortamo1", "Vortamo.Control", "Rewind"));
    ASSERT_TRUE(halvane.Send("Vortamo1", "GetState", "Vortamo.Control"));
    EXPECT_EQ(ask("GetState"), "GetState Stop");
    EXPECT_FALSE(halvane.Next(200).has_value());
    EXPECT_TRUE(recorder.Errors().contains("ignored command 'Rewind'")) << recorder.Errors().toStdString();
    EXPECT_TRUE(recorder.Errors().contains("ignored message 'GetState'"));

    ASSERT_TRUE(halvane.Send("Vortamo1", "Vortamo.Control", "Exit"));
    EXPECT_EQ(recorder.WaitForExit(), 0);
    EXPECT_TRUE(recorder.Output().contains("command ExternalControlOn\ncommand ResetFolder\n"
                                           "command StartRecord 1111111111111111 0 \\2022-01-20\\11-00\\\n"
                                           "command StopRecord\ncommand Exit\n"))
        << recorder.Output().toStdString();
}

TEST_F(CompanionProgramsTest, TheRecorderClosesItsSegmentsOnExit) {
    const QString roots = dir.filePath("rec");
    ASSERT_TRUE(QDir().mkpath(roots));
    CompanionProcess recorder;
    ASSERT_TRUE(recorder.Start("Vortamo", {"#1"}, dir.filePath("vortamo"), {"VORTAMO_ROOTS=" + roots}));
    ASSERT_TRUE(recorder.WaitForLine("ready")) << recorder.Errors().toStdString();
    TestQueue halvane;
    ASSERT_TRUE(halvane.Open("Halvane"));
    ASSERT_TRUE(halvane.Send("Vortamo1", "Vortamo.Control", "StartRecord 1111111111111111 0 \\2022-01-20\\11-00\\"));
    ASSERT_TRUE(recorder.WaitForLine("command StartRecord 1111111111111111 0 \\2022-01-20\\11-00\\"));
    ASSERT_TRUE(halvane.Send("Vortamo1", "Vortamo.Control", "Exit"));
    EXPECT_EQ(recorder.WaitForExit(), 0);
    const QString output = recorder.Output();
    EXPECT_TRUE(output.contains("\nclosed " + roots)) << "the recording is stopped: " << output.toStdString();
    EXPECT_LT(output.lastIndexOf("\nclosed "), output.indexOf("command Exit")) << output.toStdString();
}

TEST_F(CompanionProgramsTest, TheRecorderNumberNamesItsQueue) {
    CompanionProcess recorder;
    ASSERT_TRUE(recorder.Start("Vortamo", {"#2"}, dir.filePath("vortamo2")));
    ASSERT_TRUE(recorder.WaitForLine("ready"));
    TestQueue probe;
    EXPECT_FALSE(probe.Open("Vortamo2"));
    TestQueue free;
    EXPECT_TRUE(free.Open("Vortamo1"));
}

TEST_F(CompanionProgramsTest, TheConsolePlaysItsTimelineFromNewGameAnnouncesPeriodsAndFreezesOnStopGame) {
    CompanionProcess console;
    StartConsole(console, WriteScript(R"({"timeline": {"periods": [
        {"start": 0.2, "end": 0.5, "endScore": "1:0"}, {"start": 0.7, "end": 1.0, "endScore": "1:1"}]}})"));
    TestQueue halvane;
    TestQueue recorder;
    ASSERT_TRUE(halvane.Open("Halvane"));
    ASSERT_TRUE(recorder.Open("Vortamo1"));
    ASSERT_TRUE(halvane.Send("Kestrilo", "PeriodInfo", "Halvane"));
    EXPECT_EQ(halvane.NextFirst(), "<Kestrilo><Periods></Periods></Kestrilo>") << "no game before NewGame";

    ASSERT_TRUE(halvane.Send("Kestrilo", "NewGame", "Halvane"));
    static const QRegularExpression split(QStringLiteral("^SplitAtTime (-?\\d)_0x[0-9A-F]{8}_0x[0-9A-F]{8}$"));
    for (const char* number : {"1", "-1", "2", "-2"}) {
        const auto toHalvane = halvane.Next();
        ASSERT_TRUE(toHalvane.has_value()) << number;
        EXPECT_EQ(toHalvane->Texts[2], "Kestrilo");
        EXPECT_EQ(split.match(toHalvane->Texts[3]).captured(1), number) << toHalvane->Texts[3].toStdString();
        const auto toRecorder = recorder.Next();
        ASSERT_TRUE(toRecorder.has_value()) << number;
        EXPECT_EQ(toRecorder->Texts[2], "Vortamo.Control");
        EXPECT_EQ(toRecorder->Texts[3], toHalvane->Texts[3]);
    }
    ASSERT_TRUE(halvane.Send("Kestrilo", "PeriodInfo", "Halvane"));
    EXPECT_EQ(halvane.NextFirst().count("<Period "), 2);

    ASSERT_TRUE(halvane.Send("Kestrilo", "StopGame", "Halvane"));
    ASSERT_TRUE(halvane.Send("Kestrilo", "TimeInfo", "Halvane"));
    const QString stopped = halvane.NextFirst();
    // The clock stands still: every answer the same, while real time goes on.
    QDeadlineTimer span(kClockStepMs);
    do {
        ASSERT_TRUE(halvane.Send("Kestrilo", "TimeInfo", "Halvane"));
        EXPECT_EQ(halvane.NextFirst(), stopped) << "the clock stands still";
    } while (!span.hasExpired() && !HasFailure());
}

TEST_F(CompanionProgramsTest, TheConsoleOpensItsLastGameAgain) {
    const QString script = WriteScript(R"({"timeline": {"periods": [
        {"start": 0.1, "end": 0.3, "endScore": "1:0"}, {"start": 0.9, "end": 1.1, "endScore": "1:1"}]}})");
    const QString other = WriteScript(R"({"timeline": {"periods": [{"start": 0.1}]}})", "other.json");
    enum class Ending { StopAndExit, Killed };
    const struct {
        const char* what;
        Ending ending;
        QStringList reopenArgs;
        int periods;  // in the console's answer after the start again
    } cases[] = {
        {"stopped, its script named", Ending::StopAndExit, {"-openlast", "-script", script}, 1},
        {"stopped, no script named", Ending::StopAndExit, {"-openlast"}, 1},
        {"killed while running: played out", Ending::Killed, {"-openlast"}, 2},
        {"another script named", Ending::StopAndExit, {"-openlast", "-script", other}, 0},
        {"not asked to open it", Ending::StopAndExit, {"-script", script}, 0},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QDateTime timelineEnd;
        QFile::remove(dir.filePath("LastRun.json"));
        TestQueue halvane;
        ASSERT_TRUE(halvane.Open("Halvane"));
        QString periodsBefore;
        QString timeBefore;
        {
            CompanionProcess console;
            StartConsole(console, script, QStringLiteral("first%1").arg(++n).toUtf8().constData());
            ASSERT_TRUE(halvane.Send("Kestrilo", "NewGame", "Halvane"));
            // The first period has started and ended.
            for (const char* number : {"1", "-1"}) {
                const auto split = halvane.Next();
                ASSERT_TRUE(split.has_value()) << number;
                EXPECT_TRUE(split->Texts[3].startsWith(QStringLiteral("SplitAtTime %1_").arg(number)))
                    << split->Texts[3].toStdString();
                if (QLatin1StringView(number) == "1") timelineEnd = SplitTime(split->Texts[3]).addMSecs(1000);
            }
            if (c.ending == Ending::Killed) {
                console.Kill();
            } else {
                ASSERT_TRUE(halvane.Send("Kestrilo", "StopGame", "Halvane"));
                ASSERT_TRUE(halvane.Send("Kestrilo", "PeriodInfo", "Halvane"));
                periodsBefore = halvane.NextFirst();
                ASSERT_TRUE(halvane.Send("Kestrilo", "TimeInfo", "Halvane"));
                timeBefore = halvane.NextFirst();
                ASSERT_TRUE(halvane.Send("Kestrilo", "Exit", "Halvane"));
                ASSERT_EQ(console.WaitForExit(), 0);
            }
        }
        // The whole timeline (1.1 s) has passed on the console's clock: its first period
        // began 0.1 s into it.
        ASSERT_TRUE(timelineEnd.isValid());
        ASSERT_TRUE(WaitUntil([&] { return QDateTime::currentDateTimeUtc() > timelineEnd; }));
        CompanionProcess again;
        ASSERT_TRUE(again.Start("Tamberlo", c.reopenArgs, dir.filePath(QStringLiteral("again%1").arg(n))));
        ASSERT_TRUE(again.WaitForLine("ready")) << again.Errors().toStdString();
        ASSERT_TRUE(halvane.Send("Kestrilo", "PeriodInfo", "Halvane"));
        const QString periods = halvane.NextFirst();
        EXPECT_EQ(periods.count("<Period "), c.periods) << periods.toStdString();
        if (c.periods == 1) {
            EXPECT_EQ(periods, periodsBefore) << "the same periods at the same times";
            ASSERT_TRUE(halvane.Send("Kestrilo", "TimeInfo", "Halvane"));
            EXPECT_EQ(halvane.NextFirst(), timeBefore) << "the clock stands where the game was stopped";
        }
        if (c.periods == 2) EXPECT_TRUE(periods.contains(R"(EndScore="1:1")")) << periods.toStdString();
        EXPECT_FALSE(halvane.Next(300).has_value()) << "a game opened again announces no splits";
    }
}

TEST_F(CompanionProgramsTest, TheInstalledConsoleOpensItsShippedLastGamePlayedOut) {
    // The suite's install folder holds the console with its last game; nothing was kept yet.
    CompanionProcess console;
    ASSERT_TRUE(console.Start("Zandrel Software/Ferrolith/Tamberlo", {"-openlast"}, dir.filePath("installed")));
    ASSERT_TRUE(console.WaitForLine("ready")) << console.Errors().toStdString();
    TestQueue halvane;
    ASSERT_TRUE(halvane.Open("Halvane"));
    ASSERT_TRUE(halvane.Send("Kestrilo", "PeriodInfo", "Halvane"));
    const QString periods = halvane.NextFirst();
    EXPECT_EQ(periods.count("<Period "), 3) << periods.toStdString();
    EXPECT_TRUE(periods.contains(R"(Num="3" EndScore="2:1")")) << periods.toStdString();
    ASSERT_TRUE(halvane.Send("Kestrilo", "EventCountГол", "Halvane"));
    EXPECT_EQ(halvane.NextFirst(), R"(<Kestrilo><Events Count="3"/></Kestrilo>)");

    // A new game starts from nothing; its run is kept for the next start.
    ASSERT_TRUE(halvane.Send("Kestrilo", "NewGame", "Halvane"));
    ASSERT_TRUE(halvane.Send("Kestrilo", "PeriodInfo", "Halvane"));
    EXPECT_EQ(halvane.NextFirst(), "<Kestrilo><Periods></Periods></Kestrilo>");
    ASSERT_TRUE(halvane.Send("Kestrilo", "Exit", "Halvane"));
    EXPECT_EQ(console.WaitForExit(), 0);
    EXPECT_TRUE(QFile::exists(dir.filePath("LastRun.json")));
}

TEST_F(CompanionProgramsTest, WithoutAStateFolderNamedTheConsoleKeepsItsGameInTheUsersStateFolder) {
    // An installed console's own folder is not the user's to write: the game goes under
    // $XDG_STATE_HOME, and "-openlast" finds it there again.
    qunsetenv("TAMBERLO_STATE_DIR");
    const QByteArray state = qgetenv("XDG_STATE_HOME");
    qputenv("XDG_STATE_HOME", QFile::encodeName(dir.filePath("state")));
    const QString kept = dir.filePath("state/Tervanix/Tamberlo/LastRun.json");
    const QString besideTheProgram =
        QCoreApplication::applicationDirPath() + QStringLiteral("/Zandrel Software/Ferrolith/LastRun.json");
    for (const char* run : {"first", "again"}) {
        SCOPED_TRACE(run);
        CompanionProcess console;
        ASSERT_TRUE(console.Start("Zandrel Software/Ferrolith/Tamberlo", {"-openlast"}, dir.filePath(run)));
        ASSERT_TRUE(console.WaitForLine("ready")) << console.Errors().toStdString();
        TestQueue halvane;
        ASSERT_TRUE(halvane.Open("Halvane"));
        if (QFile::exists(kept)) {
            // The kept game: the new one, without periods yet.
            ASSERT_TRUE(halvane.Send("Kestrilo", "PeriodInfo", "Halvane"));
            EXPECT_EQ(halvane.NextFirst(), "<Kestrilo><Periods></Periods></Kestrilo>");
        } else {
            ASSERT_TRUE(halvane.Send("Kestrilo", "NewGame", "Halvane"));
        }
        ASSERT_TRUE(halvane.Send("Kestrilo", "Exit", "Halvane"));
        EXPECT_EQ(console.WaitForExit(), 0);
        EXPECT_TRUE(QFile::exists(kept));
        EXPECT_FALSE(QFile::exists(besideTheProgram));
    }
    qputenv("XDG_STATE_HOME", state);
}

TEST_F(CompanionProgramsTest, TheConsoleMisbehavesAsItIsTold) {
    const QString script = WriteScript(kScript);
    struct Case {
        const char* misbehave;
        const char* request;
        const char* answer;  // null: none
    } cases[] = {
        {"silent", "TimeInfo", nullptr},
        {"no-periods", "PeriodInfo", "<Kestrilo><Periods></Periods></Kestrilo>"},
        {"no-event-names", "EventTypes", "<Kestrilo><EventTypes></EventTypes></Kestrilo>"},
    };
    TestQueue halvane;
    ASSERT_TRUE(halvane.Open("Halvane"));
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.misbehave);
        CompanionProcess console;
        ASSERT_TRUE(console.Start("Tamberlo", {"-openlast", "-script", script}, dir.filePath(QString::number(++n)),
                                  {QStringLiteral("TAMBERLO_MISBEHAVE=") + c.misbehave}));
        ASSERT_TRUE(console.WaitForLine("ready"));
        ASSERT_TRUE(halvane.Send("Kestrilo", c.request, "Halvane"));
        const auto answer = halvane.Next(c.answer ? kWaitMs : 300);
        EXPECT_EQ(answer.has_value(), c.answer != nullptr);
        if (answer && c.answer) EXPECT_EQ(answer->Texts[2], c.answer);
        ASSERT_TRUE(halvane.Send("Kestrilo", "Exit", "Halvane"));
        EXPECT_EQ(console.WaitForExit(), 0);
    }

    // A console that ignores "Exit" keeps its name; one that refuses "StopGame" refuses it at
    // its queue (the send fails) and keeps its clock running.
    CompanionProcess stubborn;
    ASSERT_TRUE(stubborn.Start("Tamberlo", {"-openlast", "-script", WriteScript(R"({"timeline": {}})", "live.json")},
                               dir.filePath("stubborn"), {"TAMBERLO_MISBEHAVE=ignore-exit,refuse-stopgame"}));
    ASSERT_TRUE(stubborn.WaitForLine("ready"));
    ASSERT_TRUE(halvane.Send("Kestrilo", "NewGame", "Halvane"));
    EXPECT_FALSE(halvane.Send("Kestrilo", "StopGame", "Halvane"));
    ASSERT_TRUE(halvane.Send("Kestrilo", "TimeInfo", "Halvane"));
    const QString first = halvane.NextFirst();
    EXPECT_TRUE(WaitUntil([&] {
        return halvane.Send("Kestrilo", "TimeInfo", "Halvane") && halvane.NextFirst() != first;
    })) << "the clock runs on";
    ASSERT_TRUE(halvane.Send("Kestrilo", "Exit", "Halvane"));
    EXPECT_TRUE(stubborn.WaitForLine("command Exit"));
    EXPECT_EQ(stubborn.WaitForExit(300), -1);
    TestQueue probe;
    EXPECT_FALSE(probe.Open("Kestrilo"));
}

TEST_F(CompanionProgramsTest, TheRecorderMisbehavesAsItIsTold) {
    TestQueue halvane;
    ASSERT_TRUE(halvane.Open("Halvane"));
    CompanionProcess recorder;
    ASSERT_TRUE(recorder.Start("Vortamo", {"#1"}, dir.filePath("vortamo"), {"VORTAMO_MISBEHAVE=no-record,ignore-exit"}));
    ASSERT_TRUE(recorder.WaitForLine("ready"));
    ASSERT_TRUE(halvane.Send("Vortamo1", "Vortamo.Control", "StartRecord 1111111111111111 0 \\2022-01-20\\11-00\\"));
    ASSERT_TRUE(halvane.Send("Vortamo1", "Vortamo.Control", "GetState"));
    EXPECT_EQ(halvane.NextSecond(), "GetState Stop") << "never records";
    ASSERT_TRUE(halvane.Send("Vortamo1", "Vortamo.Control", "Exit"));
    EXPECT_TRUE(recorder.WaitForLine("command Exit"));
    EXPECT_EQ(recorder.WaitForExit(300), -1) << "ignores Exit";
    recorder.Kill();

    CompanionProcess silent;
    ASSERT_TRUE(silent.Start("Vortamo", {"#1"}, dir.filePath("silent"), {"VORTAMO_MISBEHAVE=silent"}));
    ASSERT_TRUE(silent.WaitForLine("ready"));
    ASSERT_TRUE(halvane.Send("Vortamo1", "Vortamo.Control", "GetState"));
    ASSERT_TRUE(halvane.Send("Vortamo1", "Vortamo.Control", "GetTime"));
    EXPECT_FALSE(halvane.Next(300).has_value());
}

TEST_F(CompanionProgramsTest, ACompanionWaitsAMomentForANameAProbeHolds) {
    auto holder = std::make_unique<TestQueue>();
    ASSERT_TRUE(holder->Open("Vortamo1"));
    CompanionProcess recorder;
    ASSERT_TRUE(recorder.Start("Vortamo", {"#1"}, dir.filePath("vortamo")));
    // The recorder has found its name held before it is given free.
    ASSERT_TRUE(WaitForText(recorder, "the queue Vortamo1 is held: trying again")) << recorder.Errors().toStdString();
    EXPECT_FALSE(recorder.Output().contains("ready\n"));
    holder.reset();
    EXPECT_TRUE(recorder.WaitForLine("ready")) << recorder.Errors().toStdString();
    EXPECT_FALSE(recorder.HasEnded());
}

TEST_F(CompanionProgramsTest, ThePostPlayCaptureIsStoppedByASecondStartAndAThirdLeavesItAlone) {
    CompanionProcess capture;
    ASSERT_TRUE(capture.Start("Dravenor", {"#1", "-start", "-minimize"}, dir.filePath("capture")));
    ASSERT_TRUE(capture.WaitForLine("ready"));
    CompanionProcess second;
    ASSERT_TRUE(second.Start("Dravenor", {"#1", "-start", "-minimize"}, dir.filePath("second")));
    EXPECT_EQ(second.WaitForExit(), 0);
    EXPECT_TRUE(second.Output().contains("already running"));

    CompanionProcess stop;
    ASSERT_TRUE(stop.Start("Dravenor", {"#1", "-stop", "-exit"}, dir.filePath("stop")));
    EXPECT_EQ(stop.WaitForExit(), 0);
    EXPECT_EQ(capture.WaitForExit(), 0);
    EXPECT_TRUE(capture.Output().contains("command Exit"));

    CompanionProcess none;
    ASSERT_TRUE(none.Start("Dravenor", {"#1", "-stop", "-exit"}, dir.filePath("none")));
    EXPECT_EQ(none.WaitForExit(), 0) << "also when none runs";
    CompanionProcess bad;
    ASSERT_TRUE(bad.Start("Dravenor", {"-start"}, dir.filePath("bad")));
    EXPECT_EQ(bad.WaitForExit(), 2);
}

}  // namespace
}  // namespace hv
