// The real program's life from outside: a termination signal closes it in order (the close
// path of Exit, with its log lines, the Crestron connection ended and the start-up
// component's end call) with exit status 0, also in the middle of a copy to the archive
// (which leaves no partial file there) and during a start-up message on a display; a
// start-up message without a display is written out and the start ends with status 1;
// without a display at all it says what failed; offscreen it serves the controller and
// follows the game as it changes; a controller gone in the middle of a command does not
// hold up the next; and a standard error whose reader has gone does not end it.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <memory>
#include <optional>

#include "../copy/CopyTestSupport.h"
#include "DesktopSupport.h"
#include "ProgramLifeSupport.h"
#include "app/CommandLine.h"
#include "ScopedEnvironment.h"
#include "platform/ComponentFactory.h"
#include "workflow/SuiteComponents.h"

using namespace hv::desktop;

namespace {

// The lines of `text` that begin with "Halvane::", in order, without the time stamps.
QStringList HalvaneLines(const QString& text) {
    QStringList lines;
    static const QRegularExpression line(QStringLiteral("(Halvane::[^\\r\\n]*)"));
    for (auto match = line.globalMatch(text); match.hasNext();) lines << match.next().captured(1);
    return lines;
}

TEST(ProgramLife, TerminationSignalsCloseInOrder) {
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        const std::string name = signalNumber == SIGTERM ? "SIGTERM" : signalNumber == SIGINT ? "SIGINT" : "SIGHUP";
        SCOPED_TRACE(name);
        ProgramOnItsPort program("signal");
        ASSERT_NO_FATAL_FAILURE(program.Prepare());
        ASSERT_NO_FATAL_FAILURE(program.StartServing({}, program.world.Environment()));
        World& world = program.world;
        HeldController controller(program.port);
        ASSERT_EQ(controller.Ask("C0601\n"), kNoPlayPosition);

        ASSERT_NO_FATAL_FAILURE(program.EndOn(signalNumber));
        EXPECT_TRUE(controller.Ended());

        const QStringList lines = HalvaneLines(world.LogText());
        const QStringList closing = {
            QStringLiteral("Halvane::OnSignal %1 => close").arg(QString::fromStdString(name)),
            QStringLiteral("Halvane::OnDestroy()"), QStringLiteral("Halvane::ClosePort"),
            QStringLiteral("Halvane::CloseConnection"), QStringLiteral("Halvane::WorkingThread FINISH")};
        const qsizetype from = lines.indexOf(closing[0]);
        ASSERT_GE(from, 0) << world.LogText().toStdString();
        EXPECT_EQ(lines.mid(from, closing.size()).join(u'|').toStdString(),
                  closing.join(u'|').toStdString());
        const QString errors = program.halvane.ErrorText();
        EXPECT_TRUE(errors.contains(QStringLiteral("Zandrel.Startup: end"))) << errors.toStdString();
    }
}

TEST(ProgramLife, ATerminationSignalDuringTheStartUpMessageEndsTheProgram) {
    // On a display, where the start-up's error message waits for a person: another program
    // listens on the controller port, so the start-up stops at its message. A SIGTERM then
    // closes the message and ends the program in order; the start failed all the same.
    std::unique_ptr<XDisplay> display;
    HV_NEEDS(StartDesktop(display));
    World world(QStringLiteral("signal-at-start"));
    ASSERT_TRUE(world.IsValid());
    const TakenPort taken;
    ASSERT_NE(taken.Port(), 0);
    world.SetSetting(QStringLiteral("Port"), taken.Port());
    Child halvane;
    ASSERT_TRUE(halvane.Start(world.Program(), {}, world.Environment(display.get())));
    // The message box: the program's only window.
    QString box;
    ASSERT_TRUE(WaitUntil([&] {
        const QStringList windows = display->VisibleWindowsOf(halvane.Pid());
        if (windows.size() == 1 && display->IsOfType(windows[0], "DIALOG")) box = windows[0];
        return !box.isEmpty() || !halvane.Running();
    }));
    ASSERT_FALSE(box.isEmpty()) << halvane.ErrorText().toStdString();
    EXPECT_EQ(display->Title(box), QStringLiteral("Halvane"));
    ASSERT_TRUE(CatchesSignal(halvane.Pid(), SIGTERM));
    ASSERT_TRUE(halvane.Running()) << "the message waits for a person";
    ASSERT_EQ(::kill(static_cast<pid_t>(halvane.Pid()), SIGTERM), 0);
    ASSERT_TRUE(halvane.process.waitForFinished(kWaitMs)) << "still waiting in its start-up message";
    EXPECT_EQ(halvane.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(halvane.process.exitCode(), hv::kStartFailed);
    EXPECT_TRUE(HalvaneLines(world.LogText()).contains(QStringLiteral("Halvane::OnSignal SIGTERM => close")))
        << world.LogText().toStdString();
    const QString errors = halvane.ErrorText();
    EXPECT_TRUE(errors.contains(QStringLiteral("Zandrel.Startup: end"))) << errors.toStdString();
    // On a display the message is the box's alone.
    EXPECT_FALSE(errors.contains(QStringLiteral("nobody can answer"))) << errors.toStdString();
    EXPECT_FALSE(errors.contains(taken.Message())) << errors.toStdString();
}

TEST(ProgramLife, WithoutADisplayAStartUpMessageIsWrittenOutAndTheStartEndsWithStatusOne) {
    // Nobody can answer a message on the offscreen platform: its text goes to standard
    // error, it is taken as answered, and the program ends by itself, having started
    // nothing.
    const struct {
        const char* name;
        bool queueTaken;  // else the controller port is taken
        bool option;      // --offscreen without a display, else the platform named by Qt's variable
    } cases[] = {
        {"controller port taken, --offscreen", false, true},
        {"controller port taken, QT_QPA_PLATFORM=offscreen", false, false},
        {"queue taken, --offscreen", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        World world(QStringLiteral("message-offscreen"));
        ASSERT_TRUE(world.IsValid());
        const TakenPort taken;
        ASSERT_NE(taken.Port(), 0);
        std::uint16_t port = taken.Port();
        QString message = taken.Message();
        // Another program holds the program's queue name, in the program's queue scope.
        std::optional<QueueInTheWorld> other;
        if (c.queueTaken) {
            port = FreePort();
            ASSERT_NE(port, 0);
            message = QStringLiteral("Can't create queue!\nTry reinstall Zandrel software.");
            ASSERT_NO_FATAL_FAILURE(other.emplace(world).Hold("Halvane"));
        }
        world.SetSetting(QStringLiteral("Port"), port);
        Child halvane;
        if (c.option) {
            ASSERT_TRUE(halvane.Start(world.Program(), {QStringLiteral("--offscreen")}, WithoutADisplay(world)));
        } else {
            ASSERT_TRUE(halvane.Start(world.Program(), {}, world.Environment()));
        }
        ASSERT_TRUE(halvane.process.waitForFinished(kWaitMs)) << "waits in a message nobody can answer";
        EXPECT_EQ(halvane.process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(halvane.process.exitCode(), hv::kStartFailed);
        const QString errors = halvane.ErrorText();
        EXPECT_TRUE(errors.contains(QStringLiteral("Halvane: a message nobody can answer without a display, taken as OK:\n") +
                                    message))
            << errors.toStdString();
        EXPECT_TRUE(errors.contains(QStringLiteral("Zandrel.Startup: end"))) << errors.toStdString();
        EXPECT_FALSE(world.LogText().contains(QStringLiteral("AcceptConnection"))) << world.LogText().toStdString();
    }
}

// The archive's description of the game under way: 2022-01-20 11:00, started at 11:01.
void DescribeGameUnderWay(const World& world) {
    QFile csv(world.Path(QStringLiteral("archive/refresh.csv")));
    ASSERT_TRUE(csv.open(QIODevice::WriteOnly));
    csv.write("2022-01-20-11-00; 2022-01-20-11-01-00\r\n");
}

// A game under way whose first period is being copied to the archive (at 4 MiB/s, so the
// 24 MiB recording takes a while) when the program is told to end.
TEST(ProgramLife, ATerminationSignalDuringACopyLeavesNoPartialFileAndACompleteLog) {
    constexpr qint64 kVideoSize = 24 * 1'048'576;
    ProgramOnItsPort program("signal-copy");
    ASSERT_NO_FATAL_FAILURE(program.Prepare());
    World& world = program.world;
    world.SetSetting(QStringLiteral("CopyToPath"), world.Path(QStringLiteral("archive")));
    world.SetSetting(QStringLiteral("CopyFromPathList"), world.Path(QStringLiteral("rec")));
    world.SetSetting(QStringLiteral("CopyRateLimit_MBperSEC"), 4);
    const auto rec = [&](const char* name) { return world.Path(QStringLiteral("rec/2022-01-20/11-00/") + name); };
    const auto arch = [&](const char* name) { return world.Path(QStringLiteral("archive/2022-01-20/11-00/") + name); };
    hv::test::WriteFile(rec("1.xml"), 500);
    hv::test::WriteFile(rec("1_1.mp4"), kVideoSize);
    hv::test::WriteFile(arch("1.xml"), 500);  // the archive's description of period 1
    ASSERT_NO_FATAL_FAILURE(DescribeGameUnderWay(world));
    // The test sends the split as the referee console does, through Halvane's queue.
    QueueInTheWorld console(world);
    ASSERT_NO_FATAL_FAILURE(console.Hold("Kestrilo"));

    ASSERT_NO_FATAL_FAILURE(program.StartServing({}, world.Environment()));
    const auto at = static_cast<hv::FileTime>(116'444'736'000'000'000LL + QDateTime::currentMSecsSinceEpoch() * 10'000LL);
    std::int32_t status = 0, result = 0;
    ASSERT_EQ(console.Queue()->Send(status, result, 2, 0, 0, "localhost", "Halvane", "Kestrilo.Command",
                          QString::asprintf("SplitAtTime 2_0x%X_0x%X", hv::LowPart(at), hv::HighPart(at))),
              hv::S_OK);
    // Ten seconds after the split the first period is planned, and its recording copied
    // (under the copy's temporary name until it is complete).
    const QString unfinished = arch(".1_1.mp4.halvane-copy");
    ASSERT_TRUE(WaitUntil([&] { return QFileInfo(unfinished).size() >= 2 * 1'048'576; }, 40000))
        << world.LogText().toStdString();

    ASSERT_NO_FATAL_FAILURE(program.EndOn());

    EXPECT_FALSE(QFile::exists(unfinished)) << "the partial copy is removed";
    EXPECT_FALSE(QFile::exists(arch("1_1.mp4"))) << "and never took the target's name";
    EXPECT_EQ(QFileInfo(rec("1_1.mp4")).size(), kVideoSize) << "the recording stays";
    const QStringList lines = HalvaneLines(world.LogText());
    const QStringList closing = {QStringLiteral("Halvane::OnSignal SIGTERM => close"),
                                 QStringLiteral("Halvane::MayClose: nobody to ask, closing with files not copied yet"),
                                 QStringLiteral("Halvane::OnDestroy()"), QStringLiteral("Halvane::ClosePort")};
    const qsizetype from = lines.indexOf(closing[0]);
    ASSERT_GE(from, 0) << world.LogText().toStdString();
    EXPECT_EQ(lines.mid(from, closing.size()).join(u'|').toStdString(), closing.join(u'|').toStdString());
    EXPECT_FALSE(lines.filter(QStringLiteral("Halvane::CopyFile OK : '") + rec("1_1.mp4")).size() > 0);
    EXPECT_TRUE(program.halvane.ErrorText().contains(QStringLiteral("Zandrel.Startup: end")));
}

// An X display number that no server on this computer serves.
QString UnservedDisplay() {
    for (int n = 4000 + ::getpid() % 1000;; ++n)
        if (!QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)) &&
            !QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(n)))
            return QStringLiteral(":%1").arg(n);
}

TEST(ProgramLife, WithoutADisplayItSaysSoAndEndsWithStatusThree) {
    // Each failure is named for what it is: no display, a display that cannot be opened, a
    // platform plugin that is not there.
    const QString unserved = UnservedDisplay();
    const struct {
        const char* name;
        QString display;  // DISPLAY, or empty for none
        QStringList arguments;
        QString said;
    } cases[] = {
        {"no display named", {}, {}, QStringLiteral("Halvane: no display: neither DISPLAY nor WAYLAND_DISPLAY is set.")},
        {"a display nobody serves", unserved, {},
         QStringLiteral("Halvane: no display: the display %1 could not be opened").arg(unserved)},
        {"a platform plugin that is not there", {}, {QStringLiteral("-platform"), QStringLiteral("nosuchplatform")},
         QStringLiteral("Halvane: the Qt platform plugin \"nosuchplatform\" is not installed")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        World world(QStringLiteral("no-display"));
        ASSERT_TRUE(world.IsValid());
        QProcessEnvironment environment = WithoutADisplay(world);
        if (!c.display.isEmpty()) environment.insert(QStringLiteral("DISPLAY"), c.display);
        Child halvane;
        ASSERT_TRUE(halvane.Start(world.Program(), c.arguments, environment));
        ASSERT_TRUE(halvane.process.waitForFinished(kWaitMs));
        EXPECT_EQ(halvane.process.exitStatus(), QProcess::NormalExit) << "not SIGABRT";
        EXPECT_EQ(halvane.process.exitCode(), hv::kNoDisplay);
        const QString errors = halvane.ErrorText();
        EXPECT_TRUE(errors.contains(c.said)) << errors.toStdString();
        EXPECT_TRUE(errors.contains(QStringLiteral("Halvane --offscreen"))) << errors.toStdString();
        EXPECT_TRUE(world.LogFiles().isEmpty()) << "it ended before anything started";
    }
}

// The referee console's game as its stand-in plays it: the periods given by their start
// (UTC) and end score, a goal in each.
QByteArray ConsoleGame(const QList<std::pair<const char*, const char*>>& periods) {
    QJsonArray periodList;
    QJsonArray events;
    int period = 0;
    QString score = QStringLiteral("0:0");
    for (const auto& [start, endScore] : periods) {
        ++period;
        periodList.append(QJsonObject{{"start", start}, {"endScore", endScore}});
        events.append(QJsonObject{{"type", QStringLiteral("Гол")},
                                  {"period", period},
                                  {"time", QString::fromLatin1(start).replace(QStringLiteral(":00Z"), QStringLiteral(":30Z"))},
                                  {"score", score},
                                  {"nextScore", endScore},
                                  {"fromStart", "00:30"}});
        score = QString::fromLatin1(endScore);
    }
    return QJsonDocument(QJsonObject{
                             {"cameras", QJsonArray{"{6F1A0C01-0000-4000-8000-000000000001}",
                                                    "{6F1A0C01-0000-4000-8000-000000000002}"}},
                             {"playAudioCam", 0},
                             {"periods", periodList},
                             {"events", events}})
        .toJson();
}

bool WriteWhole(const QString& path, const QByteArray& content) {
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.commit();
}

// The game list's periods and score (C0101): "PPSSSS", empty when there was no answer.
std::string PeriodsAndScore(std::uint16_t port) {
    const std::string answer = AskCrestron(port, "C01010000\n");
    return answer.size() == 28 ? answer.substr(21, 6) : std::string();
}

TEST(ProgramLife, OffscreenWithoutADisplayItServesTheControllerAndFollowsTheCurrentGame) {
    bool first = true;
    for (const QStringList& arguments : {QStringList{QStringLiteral("--offscreen")},
                                         QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen")}}) {
        SCOPED_TRACE(arguments.join(u' ').toStdString());
        ProgramOnItsPort program("offscreen");
        ASSERT_NO_FATAL_FAILURE(program.Prepare());
        World& world = program.world;
        const std::uint16_t port = program.port;
        // The game under way, as the archive's description names it.
        world.SetSetting(QStringLiteral("CopyToPath"), world.Path(QStringLiteral("archive")));
        ASSERT_TRUE(QDir().mkpath(world.Path(QStringLiteral("archive"))));
        ASSERT_NO_FATAL_FAILURE(DescribeGameUnderWay(world));
        QProcessEnvironment environment = WithoutADisplay(world);
        environment.insert(QStringLiteral("TAMBERLO_STATE_DIR"), world.Path(QStringLiteral("tamberlo")));
        ASSERT_NO_FATAL_FAILURE(program.StartServing(arguments, environment));
        // Resumed: the game the description names, no period known yet.
        EXPECT_EQ(AskCrestron(port, "C01010000\n"), "M01010001202201201100000000\n");

        if (first) {
            // The game as it goes on: the referee console comes up with its first period,
            // then a second period begins. Each is asked for by the program's update cycle
            // and answered over the controller port.
            first = false;
            const QString script = world.Path(QStringLiteral("console-game.json"));
            ASSERT_TRUE(WriteWhole(script, ConsoleGame({{"2022-01-20T11:01:00Z", "1:0"}})));
            Child console;
            ASSERT_TRUE(console.Start(QStringLiteral(HALVANE_TAMBERLO), {QStringLiteral("-script"), script}, environment));
            ASSERT_EQ(console.NextLine(), QStringLiteral("ready")) << console.ErrorText().toStdString();
            std::string seen;
            EXPECT_TRUE(WaitUntil([&] { return (seen = PeriodsAndScore(port)) == "010100"; }))
                << "the game list says " << seen;
            ASSERT_TRUE(WriteWhole(script, ConsoleGame({{"2022-01-20T11:01:00Z", "1:0"}, {"2022-01-20T11:25:00Z", "1:1"}})));
            EXPECT_TRUE(WaitUntil([&] { return (seen = PeriodsAndScore(port)) == "020101"; }))
                << "the game list says " << seen;
            EXPECT_TRUE(program.halvane.Running());
        }

        ASSERT_NO_FATAL_FAILURE(program.EndOn());
    }
}

// A controller that sends a command and goes at once, before its answer: closing its side,
// or resetting the connection.
bool GoInTheMiddleOfACommand(std::uint16_t port, bool reset) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    bool sent = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                ::send(fd, "C0601\n", 6, MSG_NOSIGNAL) == 6;
    if (reset) {
        const linger abort{1, 0};
        sent = sent && ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort) == 0;
    }
    ::close(fd);
    return sent;
}

TEST(ProgramLife, AControllerGoneInTheMiddleOfACommandDoesNotHoldUpTheNext) {
    // Connect, send "C0601\n", close at once; then a new controller's C0601 is answered,
    // again and again. The answer's receive time-out (a minute) only catches a hang: how
    // long it takes is bench_controller_handover's to measure.
    ProgramOnItsPort program("handover");
    ASSERT_NO_FATAL_FAILURE(program.Prepare());
    ASSERT_NO_FATAL_FAILURE(program.StartServing({}, program.world.Environment()));
    const std::uint16_t port = program.port;
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "closed");
        for (int round = 0; round < 10; ++round) {
            ASSERT_TRUE(GoInTheMiddleOfACommand(port, reset));
            ASSERT_EQ(AskCrestron(port, "C0601\n"), kNoPlayPosition) << "round " << round;
        }
    }
    EXPECT_TRUE(program.halvane.Running());
    ASSERT_NO_FATAL_FAILURE(program.EndOn());
}

TEST(ProgramLife, StandardErrorWithoutReaderDoesNotEndTheProgram) {
    // As in `Halvane 2>&1 | head -c 100`: the reader takes 100 bytes and goes.
    ProgramOnItsPort program("sigpipe");
    ASSERT_NO_FATAL_FAILURE(program.Prepare());
    World& world = program.world;
    Child& halvane = program.halvane;
    const std::uint16_t port = program.port;
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    const int readEnd = pipeFds[0], writeEnd = pipeFds[1];
    halvane.process.setChildProcessModifier([writeEnd] {
        ::dup2(writeEnd, STDOUT_FILENO);
        ::dup2(writeEnd, STDERR_FILENO);
    });
    const bool started = halvane.Start(world.Program(), {}, world.Environment());
    ::close(writeEnd);
    ASSERT_TRUE(started);
    // Its first log lines go to standard error, read by the reader.
    ASSERT_TRUE(AnswersController(halvane, port));
    char head[100];
    size_t got = 0;
    while (got < sizeof head) {
        const ssize_t n = ::read(readEnd, head + got, sizeof head - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    EXPECT_EQ(got, sizeof head);
    ::close(readEnd);

    // Every log line is copied to standard error, which now has no reader.
    for (int i = 0; i < 20; ++i) EXPECT_EQ(AskCrestron(port, "C0601\n"), kNoPlayPosition);
    EXPECT_TRUE(halvane.Running());
    EXPECT_TRUE(world.LogText().contains(QStringLiteral("Halvane::AcceptConnection SUCCESS")));

    ASSERT_NO_FATAL_FAILURE(program.EndOn());
}

}  // namespace
