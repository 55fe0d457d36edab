// A night at the venue, compressed: the real program with the simulated suite around it, a
// game current and polled, under a stream of controller connections and commands and
// companion messages at a high rate. The referee console plays a game with many events;
// the recorder records it for real, split by the console, and the program copies each
// closed segment to the archive while the load goes on. On the way the recorder is away
// for a stretch, the referee console is killed and started again, and so is the holder of
// the queue that floods the program. The recorder stands for one on another computer
// (127.0.0.2, with a relay of its own there): the program's messages to it go through its
// sender thread and that relay, and its answers through the answer relay the program starts,
// which is killed once on the way. Checked: every controller command got its answer,
// every flood message was taken, every event of the game reached the model (the
// controller's period lists show them all), copies were made and are whole, and the
// program's open descriptors, threads and resident memory came back to where they were, and
// its children: no zombie left, never more than one answer relay.
//
// HALVANE_SOAK_SECONDS sets the time under load (50 by default; bench/soak.sh runs it for
// longer); the game, the recorder's absence and the restarts scale with it. The figures
// are printed.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDateTime>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "DesktopSupport.h"

using namespace hv::desktop;

namespace {

struct Figures {
    int descriptors = 0;
    int threads = 0;
    long residentKb = 0;
};

QStringList Entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
}

Figures Measure(qint64 pid) {
    Figures f;
    const QString base = QStringLiteral("/proc/%1/").arg(pid);
    f.descriptors = static_cast<int>(Entries(base + "fd").size());
    f.threads = static_cast<int>(Entries(base + "task").size());
    QFile status(base + "status");
    if (status.open(QIODevice::ReadOnly)) {
        static const QRegularExpression rss(QStringLiteral("VmRSS:\\s+(\\d+) kB"));
        const auto match = rss.match(QString::fromLatin1(status.readAll()));
        if (match.hasMatch()) f.residentKb = match.captured(1).toLong();
    }
    return f;
}

// What a descriptor of /proc/<pid>/fd points at, as the kernel says it ("socket:[...]",
// "pipe:[...]", "anon_inode:[eventfd]", or a file's canonical path); empty when it has gone.
QString LinkTarget(const QString& link) {
    char buffer[4096];
    const ssize_t n = ::readlink(QFile::encodeName(link).constData(), buffer, sizeof buffer);
    return n > 0 ? QFile::decodeName(QByteArray(buffer, static_cast<qsizetype>(n))) : QString();
}

// What the process's descriptors point at, by descriptor number ("3 -> socket:[...]").
QStringList DescriptorTargets(qint64 pid) {
    const QString fds = QStringLiteral("/proc/%1/fd/").arg(pid);
    QStringList targets;
    for (const QString& fd : Entries(fds)) targets << fd + QStringLiteral(" -> ") + LinkTarget(fds + fd);
    targets.sort();
    return targets;
}

// How many descriptors of each kind the targets hold: "socket", "pipe", "anon_inode:[eventfd]"
// and the like, "file" for everything with a path. A leak of one kind cannot hide behind a
// descriptor of another kind that was closed meanwhile.
std::map<QString, int> DescriptorKinds(const QStringList& targets) {
    std::map<QString, int> kinds;
    for (const QString& entry : targets) {
        const QString target = entry.section(QStringLiteral(" -> "), 1);
        if (target.startsWith(u'/')) {
            ++kinds[QStringLiteral("file")];
        } else if (target.startsWith(QLatin1StringView("anon_inode:"))) {
            ++kinds[target];
        } else {
            ++kinds[target.section(u':', 0, 0)];
        }
    }
    return kinds;
}

// The kinds of which `now` holds more than `before`, with both counts; empty when none.
QString KindsAbove(const std::map<QString, int>& now, const std::map<QString, int>& before) {
    QStringList above;
    for (const auto& [kind, count] : now) {
        const auto was = before.find(kind);
        const int wasCount = was == before.end() ? 0 : was->second;
        if (count > wasCount) above << QStringLiteral("%1 %2 -> %3").arg(kind).arg(wasCount).arg(count);
    }
    return above.join(QStringLiteral(", "));
}

// True when the process holds a file open under `folder` (a copy under way).
bool HoldsFileUnder(qint64 pid, const QString& folder) {
    // The descriptors name canonical paths; the folder's own name may go through a link.
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    if (canonical.isEmpty()) return false;
    const QString prefix = canonical + u'/';
    const QString fds = QStringLiteral("/proc/%1/fd/").arg(pid);
    for (const QString& fd : Entries(fds))
        if (LinkTarget(fds + fd).startsWith(prefix)) return true;
    return false;
}

// The children of a process: how many answer relays run, and how many have ended unreaped.
struct Children {
    int answerRelays = 0;
    int zombies = 0;
    std::vector<qint64> relayPids;
};

Children ChildrenOf(qint64 pid) {
    Children children;
    for (const QString& entry : Entries(QStringLiteral("/proc"))) {
        bool isPid = false;
        const qint64 child = entry.toLongLong(&isPid);
        if (!isPid) continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(child));
        if (!stat.open(QIODevice::ReadOnly)) continue;
        const QByteArray text = stat.readAll();
        const qsizetype close = text.lastIndexOf(')');
        const QList<QByteArray> fields = text.mid(close + 2).split(' ');
        if (close < 0 || fields.size() < 2 || fields[1].toLongLong() != pid) continue;
        if (fields[0] == "Z") {
            ++children.zombies;
        } else if (text.contains("(ZandrelQueueRel")) {
            ++children.answerRelays;
            children.relayPids.push_back(child);
        }
    }
    return children;
}

constexpr std::uint64_t kUnixEpochAsFileTime = 116'444'736'000'000'000ULL;

std::uint64_t UtcNow() {
    return kUnixEpochAsFileTime + static_cast<std::uint64_t>(QDateTime::currentMSecsSinceEpoch()) * 10'000ULL;
}

// A suite program started from the build, its output kept in files of the world (nobody
// has to read it while the load runs, and a pipe that fills up would stop it).
class StandIn {
public:
    StandIn(QString program, QString outputPath) : program_(std::move(program)), output_(std::move(outputPath)) {}

    // Starts the program and waits until it said "ready" (once more than before).
    bool Start(const QStringList& arguments, const QProcessEnvironment& environment) {
        const int readyBefore = static_cast<int>(Output().count(QStringLiteral("ready\n")));
        child_ = std::make_unique<Child>();
        child_->process.setStandardOutputFile(output_, QIODevice::Append);
        child_->process.setStandardErrorFile(output_ + QStringLiteral(".err"), QIODevice::Append);
        return child_->Start(program_, arguments, environment) &&
               WaitUntil([&] {
                   return !child_->Running() || Output().count(QStringLiteral("ready\n")) > readyBefore;
               }) &&
               child_->Running();
    }
    void Kill() {
        if (child_) child_->KillHard();
    }
    bool Running() { return child_ && child_->Running(); }
    QString Output() const {
        QFile file(output_);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private:
    QString program_;
    QString output_;
    std::unique_ptr<Child> child_;
};

// The queue peer of the message queue tests, holding a queue of its own: it floods the
// program with the referee console's time message and passes the test's commands to the
// recorder and the console.
class QueuePeer {
public:
    bool Start(const QProcessEnvironment& environment) {
        child_ = std::make_unique<Child>();
        child_->process.setStandardErrorFile(QProcess::nullDevice());
        return child_->Start(QStringLiteral(HALVANE_QUEUE_PEER), {QStringLiteral("SoakPeer")}, environment) &&
               child_->NextLine() == QStringLiteral("ready");
    }
    // Sends `count` copies of a message to `queue` on this computer; how many were taken.
    int Send(const QString& queue, const QString& first, const QString& second, int count = 1) {
        child_->process.write(
            QStringLiteral("send\tlocalhost\t%1\t%2\t%3\t%4\n").arg(queue, first, second).arg(count).toUtf8());
        for (;;) {
            const QString line = child_->NextLine();
            if (line.isEmpty()) return -1;
            if (line.startsWith(QStringLiteral("sent\t"))) return line.section(u'\t', 1, 1).toInt();
        }
    }
    int Flood(int count) {
        const std::uint64_t now = UtcNow();
        const QString message =
            QStringLiteral("<Kestrilo><TimeInfo><NowTime THi='0x%1' TLo='0x%2'/></TimeInfo></Kestrilo>")
                .arg(static_cast<std::uint32_t>(now >> 32), 8, 16, QLatin1Char('0'))
                .arg(static_cast<std::uint32_t>(now), 8, 16, QLatin1Char('0'));
        return Send(QStringLiteral("Halvane"), message, QString(), count);
    }
    void Kill() { child_->KillHard(); }

private:
    std::unique_ptr<Child> child_;
};

// The controller's label list of a period (C0301): the answer's lines, from part "00" (all
// in one line) or "01" to "99". Empty on any failure.
std::vector<std::string> AskPeriodLabels(std::uint16_t port, int period) {
    std::vector<std::string> lines;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return lines;
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    char command[32];
    std::snprintf(command, sizeof command, "C0301202201201100%02d\n", period);
    const std::size_t length = std::char_traits<char>::length(command);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, command, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length)) {
        std::string line;
        char c = 0;
        while (::recv(fd, &c, 1, 0) == 1) {
            if (c != '\n') {
                line += c;
                continue;
            }
            const std::string part = line.size() >= 7 ? line.substr(5, 2) : std::string();
            lines.push_back(std::move(line));
            line.clear();
            if (part == "00" || part == "99" || part.empty()) break;
        }
    }
    ::close(fd);
    return lines;
}

// The header of a C0301 line is 28 characters ("M0301", part, game start, period, kind,
// score, count); each label entry after it is 13.
constexpr std::size_t kPeriodHeader = 28;
constexpr std::size_t kLabelEntry = 13;

struct PeriodLabels {
    int counted = -1;  // the count the header gives
    int listed = 0;    // the entries the lines hold
};

PeriodLabels LabelsOfPeriod(std::uint16_t port, int period) {
    PeriodLabels result;
    const std::vector<std::string> lines = AskPeriodLabels(port, period);
    for (const std::string& line : lines) {
        if (line.size() < kPeriodHeader || line.compare(0, 5, "M0301") != 0) return {};
        result.counted = std::stoi(line.substr(26, 2));
        result.listed += static_cast<int>((line.size() - kPeriodHeader) / kLabelEntry);
    }
    // Cut short: the last line is not the closing one.
    if (lines.empty() || (lines.back().compare(5, 2, "00") != 0 && lines.back().compare(5, 2, "99") != 0))
        return {};
    return result;
}

// The referee console's game for the soak: `periods` periods with `eventsPerPeriod` events
// each, the event types taken in turn, all played within the first `seconds` after
// "NewGame". Each period's start is a split; there are no period ends, so that every split
// is more than the program's settling time after the one before and is carried out.
QJsonObject SoakGame(int periods, int eventsPerPeriod, double seconds) {
    static const QStringList kTypes = {
        QStringLiteral("Драка"),      QStringLiteral("Удаление игрока"), QStringLiteral("Выход на лёд игрока"),
        QStringLiteral("Синяя линия"), QStringLiteral("Гол"),             QStringLiteral("Булит"),
        QStringLiteral("Интересный момент"), QStringLiteral("Опасный момент")};
    const double slot = seconds / periods;
    QJsonArray periodList;
    QJsonArray events;
    int n = 0;
    for (int p = 1; p <= periods; ++p) {
        const double start = (p - 1) * slot + 0.5;
        const double end = p * slot - 0.5;
        periodList.append(QJsonObject{{"start", start}, {"endScore", "0:0"}});
        for (int e = 0; e < eventsPerPeriod; ++e) {
            const double at = start + (end - start) * (e + 0.5) / eventsPerPeriod;
            events.append(QJsonObject{{"type", kTypes[n++ % kTypes.size()]}, {"period", p}, {"at", at}});
        }
    }
    return QJsonObject{
        {"cameras", QJsonArray{"{6F1A0C01-0000-4000-8000-000000000001}", "{6F1A0C01-0000-4000-8000-000000000002}"}},
        {"playAudioCam", 0},
        {"timeline", QJsonObject{{"periods", periodList}, {"events", events}}}};
}

const QString kGameFolder = QStringLiteral("2022-01-20/11-00");
const QString kStartRecord = QStringLiteral("StartRecord 1111111111111111 0 \\2022-01-20\\11-00\\");

TEST(Soak, ANightUnderLoadWithTheSuite) {
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("HALVANE_SOAK_SECONDS", &ok);
    const qint64 durationMs = (ok && seconds > 0 ? seconds : 50) * 1000LL;

    World world(QStringLiteral("soak"));
    ASSERT_TRUE(world.IsValid());
    const std::uint16_t port = FreePort();
    ASSERT_NE(port, 0);
    world.SetSetting(QStringLiteral("Port"), port);
    world.SetSetting(QStringLiteral("CopyToPath"), world.Path("archive"));
    world.SetSetting(QStringLiteral("CopyFromPathList"), world.Path("rec"));
    world.SetSetting(QStringLiteral("CopyRateLimit_MBperSEC"), 50);
    world.SetSetting(QStringLiteral("VortamoIP"), QStringLiteral("127.0.0.2"));
    // A game under way, as after a restart of the program: it is current from the start,
    // with execution and polling on.
    ASSERT_TRUE(QDir().mkpath(world.Path("rec/" + kGameFolder)));
    ASSERT_TRUE(QDir().mkpath(world.Path("archive/" + kGameFolder)));
    ASSERT_TRUE(QDir().mkpath(world.Path("tamberlo")));  // where the console keeps its game
    {
        QFile csv(world.Path("archive/refresh.csv"));
        ASSERT_TRUE(csv.open(QIODevice::WriteOnly));
        csv.write("2022-01-20-11-00; 2022-01-20-11-01-00\r\n");
    }
    // The game: a period every twelve seconds or so (a split is carried out ten seconds
    // after it came, when no other came meanwhile), sixty events in each, all of it in the
    // first three quarters of the time under load.
    const double gameSeconds = static_cast<double>(durationMs) * 3.0 / 4000.0;
    const int periods = std::clamp(static_cast<int>(gameSeconds / 11.0), 2, 90);
    constexpr int kEventsPerPeriod = 60;
    const QString script = world.Path("soak-game.json");
    {
        QFile file(script);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(SoakGame(periods, kEventsPerPeriod, gameSeconds)).toJson());
    }

    QProcessEnvironment environment = world.Environment();
    // The recorder's computer: its relay listens on 127.0.0.2 and trusts this one. The
    // program's relay for the answers takes the same port on the address it leaves from.
    Child remoteRelay;
    ASSERT_TRUE(remoteRelay.Start(QStringLiteral(HALVANE_QUEUE_RELAY),
                                  {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--bind"),
                                   QStringLiteral("127.0.0.2"), QStringLiteral("--trust"), QStringLiteral("127.0.0.1")},
                                  environment));
    const QString listening = remoteRelay.NextLine();
    ASSERT_TRUE(listening.startsWith(QStringLiteral("listening "))) << listening.toStdString();
    environment.insert(QStringLiteral("ZANDREL_QUEUE_RELAY_PORT"), listening.mid(10));
    environment.insert(QStringLiteral("TAMBERLO_STATE_DIR"), world.Path("tamberlo"));
    environment.insert(QStringLiteral("VORTAMO_ROOTS"), QDir::toNativeSeparators(world.Path("rec")));
    environment.insert(QStringLiteral("VORTAMO_GROW_BYTES"), QStringLiteral("16384"));
    QProcessEnvironment returningRecorder = environment;
    // Started again, the recorder's first segment takes a number no period of the game has.
    returningRecorder.insert(QStringLiteral("VORTAMO_FIRST_PERIOD"), QStringLiteral("95"));

    Child halvane;
    // Every log line is copied to standard error: nobody reads it here.
    halvane.process.setStandardErrorFile(QProcess::nullDevice());
    ASSERT_TRUE(halvane.Start(world.Program(), {}, environment));
    ASSERT_TRUE(WaitUntil([&] { return !halvane.Running() || !AskCrestron(port, "C0601\n").empty(); }));
    ASSERT_TRUE(halvane.Running()) << halvane.ErrorText().toStdString();

    QueuePeer peer;
    ASSERT_TRUE(peer.Start(environment));
    StandIn recorder(QStringLiteral(HALVANE_VORTAMO), world.Path("vortamo.out"));
    ASSERT_TRUE(recorder.Start({}, environment));
    ASSERT_EQ(peer.Send(QStringLiteral("Vortamo1"), QStringLiteral("Vortamo.Control"), kStartRecord), 1);
    StandIn console(QStringLiteral(HALVANE_TAMBERLO), world.Path("tamberlo.out"));
    ASSERT_TRUE(console.Start({QStringLiteral("-script"), script}, environment));

    const std::vector<std::pair<std::string, std::string>> commands = {
        {"C0601\n", "M0601"}, {"C0101ABCD\n", "M0101"}, {"C0201202201201100\n", "M0201"},
        {"C0301202201201100" "01\n", "M0301"}, {"C0501202201201100" "0000060001+01\n", "M0501"}};
    long asked = 0, answered = 0, sent = 0, taken = 0, peerRestarts = 0, consoleRestarts = 0;
    int mostAnswerRelays = 0, rounds = 0;
    auto round = [&] {
        if (++rounds % 10 == 0) mostAnswerRelays = std::max(mostAnswerRelays, ChildrenOf(halvane.Pid()).answerRelays);
        for (int c = 0; c < 10; ++c) {
            const auto& [command, answer] = commands[static_cast<size_t>(asked % static_cast<long>(commands.size()))];
            ++asked;
            // A period's label list may take several lines: all of them are read.
            bool whole = false;
            if (command.rfind("C0301", 0) == 0) {
                const PeriodLabels labels = LabelsOfPeriod(port, 1);
                whole = labels.counted >= 0 && labels.listed == labels.counted;
            } else {
                whole = AskCrestron(port, command).rfind(answer, 0) == 0;
            }
            if (whole) ++answered;
        }
        sent += 100;
        taken += peer.Flood(100);
    };
    // Warm up, then take the starting figures: the fewest descriptors and threads seen over
    // the last rounds of the warm-up (connections of the companions come and go), and the
    // descriptors of each kind at the time of the fewest; then the game begins.
    // The warm-up lasts until the program has sent to the recorder's computer as well: its
    // sender thread for that computer (and the answer relay) stay from then on.
    QElapsedTimer warmUp;
    warmUp.start();
    for (int r = 0; r < 20 || ChildrenOf(halvane.Pid()).answerRelays == 0; ++r) {
        round();
        ASSERT_LT(warmUp.elapsed(), 30000) << "the program started no relay for the recorder's answers";
    }
    const double warmUpSeconds = static_cast<double>(warmUp.elapsed()) / 1000.0;
    Figures start;
    QStringList startTargets;
    for (int r = 20; r < 30; ++r) {
        round();
        const QStringList targets = DescriptorTargets(halvane.Pid());
        const Figures now = Measure(halvane.Pid());
        if (r == 20 || targets.size() < startTargets.size()) startTargets = targets;
        start.descriptors = r == 20 ? now.descriptors : std::min(start.descriptors, now.descriptors);
        start.threads = r == 20 ? now.threads : std::min(start.threads, now.threads);
        start.residentKb = now.residentKb;
    }
    ASSERT_EQ(peer.Send(QStringLiteral("Kestrilo"), QStringLiteral("NewGame"), QString()), 1);

    // The recorder is away from 30 % of the time for a tenth of it (at least 3 s); the
    // referee console is killed and opened again at 82 % and 92 %, after its game.
    const qint64 recorderAwayAt = durationMs * 3 / 10;
    const qint64 recorderBackAt = recorderAwayAt + std::max<qint64>(3000, durationMs / 10);
    bool recorderAway = false, recorderBack = false;
    int answerRelaysKilled = 0;
    std::vector<qint64> consoleRestartsAt = {durationMs * 82 / 100, durationMs * 92 / 100};
    // Resident memory is taken at half time as well: what it grows by afterwards is bounded
    // more tightly than the whole (a leak grows on; the allocator's pools level off).
    Figures half;
    QElapsedTimer elapsed;
    elapsed.start();
    int r = 0;
    while (elapsed.elapsed() < durationMs) {
        round();
        if (half.residentKb == 0 && elapsed.elapsed() >= durationMs / 2) half = Measure(halvane.Pid());
        if (++r % 50 == 0) {
            // The flood's queue holder goes and comes back, as after a crash.
            peer.Kill();
            ASSERT_TRUE(peer.Start(environment));
            ++peerRestarts;
        }
        if (!recorderAway && elapsed.elapsed() >= recorderAwayAt) {
            recorder.Kill();
            recorderAway = true;
            // The program's answer relay goes as well; its next message to the recorder
            // reaps it and starts another.
            for (const qint64 relay : ChildrenOf(halvane.Pid()).relayPids) {
                ::kill(static_cast<pid_t>(relay), SIGKILL);
                ++answerRelaysKilled;
            }
        }
        if (recorderAway && !recorderBack && elapsed.elapsed() >= recorderBackAt) {
            ASSERT_TRUE(recorder.Start({}, returningRecorder));
            ASSERT_EQ(peer.Send(QStringLiteral("Vortamo1"), QStringLiteral("Vortamo.Control"), kStartRecord), 1);
            recorderBack = true;
        }
        if (!consoleRestartsAt.empty() && elapsed.elapsed() >= consoleRestartsAt.front()) {
            console.Kill();
            ASSERT_TRUE(console.Start({QStringLiteral("-openlast"), QStringLiteral("-script"), script}, environment));
            consoleRestartsAt.erase(consoleRestartsAt.begin());
            ++consoleRestarts;
        }
    }
    const double loadSeconds = static_cast<double>(elapsed.elapsed()) / 1000.0;

    // Every event of the game reaches the model: each period lists its events and its
    // start, in as many lines as it takes.
    std::vector<PeriodLabels> lists(static_cast<size_t>(periods) + 1);
    auto allEventsListed = [&] {
        for (int p = 1; p <= periods; ++p) {
            lists[static_cast<size_t>(p)] = LabelsOfPeriod(port, p);
            if (lists[static_cast<size_t>(p)].counted != kEventsPerPeriod + 1) return false;
        }
        return true;
    };
    // A fetch runs through every event of one type at a time: a long game takes longer.
    const bool listed = WaitUntil(allEventsListed, 60000 + periods * 1000);
    int eventsListed = 0;
    for (int p = 1; p <= periods; ++p) {
        const PeriodLabels& l = lists[static_cast<size_t>(p)];
        EXPECT_EQ(l.counted, kEventsPerPeriod + 1) << "period " << p;
        EXPECT_EQ(l.listed, l.counted) << "period " << p;
        eventsListed += std::max(0, l.listed - 1);
    }
    EXPECT_TRUE(listed);
    if (!listed) {
        // Kept for a look: the program's log and what the stand-ins said.
        QFile log(ArtefactPath(QStringLiteral("soak-halvane.log")));
        if (log.open(QIODevice::WriteOnly)) log.write(world.LogText().toUtf8());
        for (const QString& f : {QStringLiteral("tamberlo.out"), QStringLiteral("tamberlo.out.err"),
                                QStringLiteral("vortamo.out"), QStringLiteral("vortamo.out.err")}) {
            QFile::remove(ArtefactPath(QStringLiteral("soak-") + f));
            QFile::copy(world.Path(f), ArtefactPath(QStringLiteral("soak-") + f));
        }
    }

    // The last split is carried out and the copies finish: nothing of the recorder's or the
    // archive's is held open, and no copy was logged for a while.
    const QString recFolder = world.Path("rec");
    const QString archiveFolder = world.Path("archive");
    EXPECT_TRUE(WaitUntil([&] {
        return world.LogText().contains(QStringLiteral("->%1 - Start FillCopyFiles").arg(periods));
    }));
    // Every segment of the game's periods closed by then is to be copied (the one recorded
    // now is closed below, after the last split, and is not; the returning recorder's first
    // segment has a number of no period and is not either).
    const auto closedSegments = [&] {
        return recorder.Output().split(u'\n').filter(QRegularExpression(QStringLiteral("^closed ")));
    };
    QStringList closedBeforeLastSplit;
    for (const QString& line : closedSegments()) {
        static const QRegularExpression number(QStringLiteral("^(\\d+)[._]"));
        const auto match = number.match(QFileInfo(QDir::fromNativeSeparators(line.mid(7))).fileName());
        const int period = match.hasMatch() ? match.captured(1).toInt() : 0;
        if (period >= 1 && period <= periods) closedBeforeLastSplit << line;
    }
    // The segment it records now would stay open.
    ASSERT_EQ(peer.Send(QStringLiteral("Vortamo1"), QStringLiteral("Vortamo.Control"), QStringLiteral("StopRecord")), 1);
    qsizetype copyLines = -1;
    QElapsedTimer quiet;
    quiet.start();
    EXPECT_TRUE(WaitUntil([&] {
        const qsizetype now = world.LogText().count(QStringLiteral("Halvane::CopyFile"));
        if (now != copyLines || HoldsFileUnder(halvane.Pid(), recFolder) ||
            HoldsFileUnder(halvane.Pid(), archiveFolder)) {
            copyLines = now;
            quiet.restart();
        }
        return quiet.elapsed() >= 3000;
    }));

    // What the program holds now is its steady state: its descriptors and threads come back
    // to the starting figures (within the time an idle companion connection is kept).
    // Descriptors are compared kind by kind.
    for (int settle = 0; settle < 20; ++settle) round();
    const std::map<QString, int> startKinds = DescriptorKinds(startTargets);
    Figures end;
    QStringList endTargets;
    WaitUntil(
        [&] {
            round();
            end = Measure(halvane.Pid());
            endTargets = DescriptorTargets(halvane.Pid());
            return KindsAbove(DescriptorKinds(endTargets), startKinds).isEmpty() && end.threads <= start.threads;
        },
        20000);

    // Each segment the recorder closed and the program copied is whole in the archive.
    int copied = 0, whole = 0;
    qint64 copiedBytes = 0;
    const auto targetOf = [&](const QString& closedLine) {
        return archiveFolder + QDir::fromNativeSeparators(closedLine.mid(7)).mid(recFolder.size());
    };
    QStringList notCopied;
    for (const QString& line : closedBeforeLastSplit)
        if (!QFileInfo::exists(targetOf(line))) notCopied << line.mid(7);
    for (const QString& line : closedSegments()) {
        const QString source = QDir::fromNativeSeparators(line.mid(7));
        const QString target = targetOf(line);
        if (!QFileInfo::exists(target)) continue;
        ++copied;
        copiedBytes += QFileInfo(target).size();
        QFile a(source), b(target);
        if (a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly) && a.readAll() == b.readAll()) ++whole;
    }
    // Every child that ended was reaped (the program's next message to the recorder reaps a
    // killed answer relay), and one answer relay serves it again.
    Children children;
    EXPECT_TRUE(WaitUntil(
        [&] {
            children = ChildrenOf(halvane.Pid());
            mostAnswerRelays = std::max(mostAnswerRelays, children.answerRelays);
            return children.zombies == 0 && children.answerRelays == 1;
        },
        30000))
        << children.zombies << " zombies, " << children.answerRelays << " answer relays";
    const long copiesLogged = static_cast<long>(world.LogText().count(QStringLiteral("Halvane::CopyFile OK")));

    std::printf("soak: %.1f s of warm-up (until the first message to the recorder's computer), %.0f s under load, %ld controller commands (%ld answered), %ld companion messages "
                "(%ld taken)\n"
                "soak: %d periods, %d referee events (%d in the model's lists); %d closed segment files "
                "copied (%d whole, %.1f MB; %lld closed in the game's periods before its last split), %ld copies in "
                "the log\n"
                "soak: recorder away %.0f s, %ld referee console restarts, %ld flood queue holder restarts, %d answer "
                "relay killed; at most %d answer relays at a time, %d at the end, %d zombies\n"
                "soak: descriptors %d -> %d, threads %d -> %d, resident %ld kB -> %ld kB (%ld kB at half time)\n",
                warmUpSeconds, loadSeconds, asked, answered, sent, taken, periods, periods * kEventsPerPeriod, eventsListed,
                copied, whole, static_cast<double>(copiedBytes) / 1e6, static_cast<long long>(closedBeforeLastSplit.size()),
                copiesLogged,
                static_cast<double>(recorderBackAt - recorderAwayAt) / 1000.0, consoleRestarts, peerRestarts,
                answerRelaysKilled, mostAnswerRelays, children.answerRelays, children.zombies,
                start.descriptors, end.descriptors, start.threads, end.threads, start.residentKb, end.residentKb, half.residentKb);
    EXPECT_TRUE(halvane.Running());
    EXPECT_EQ(answered, asked);
    EXPECT_EQ(taken, sent);
    EXPECT_EQ(eventsListed, periods * kEventsPerPeriod);
    EXPECT_GT(closedBeforeLastSplit.size(), 0) << "no segment of the game was closed";
    EXPECT_TRUE(notCopied.isEmpty()) << "closed before the last split and not copied:\n"
                                     << notCopied.join(u'\n').toStdString();
    EXPECT_EQ(whole, copied);
    EXPECT_TRUE(recorderBack);
    EXPECT_EQ(answerRelaysKilled, 1);
    EXPECT_LE(mostAnswerRelays, 1);
    EXPECT_EQ(consoleRestarts, 2);
    EXPECT_EQ(KindsAbove(DescriptorKinds(endTargets), startKinds).toStdString(), "")
        << "at the start:\n" << startTargets.join(u'\n').toStdString() << "\nat the end:\n"
        << endTargets.join(u'\n').toStdString();
    EXPECT_LE(end.threads, start.threads);
    // Memory settles after the warm-up; allow the allocator some slack, not a leak's growth.
    // (Under the address sanitizer freed memory is held back on purpose: only reported.)
#if defined(__SANITIZE_ADDRESS__)
    constexpr bool kMemoryIsHeldBack = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    constexpr bool kMemoryIsHeldBack = true;
#else
    constexpr bool kMemoryIsHeldBack = false;
#endif
#else
    constexpr bool kMemoryIsHeldBack = false;
#endif
    if (!kMemoryIsHeldBack) {
        EXPECT_LT(end.residentKb, start.residentKb + 8 * 1024);
        EXPECT_LT(end.residentKb, half.residentKb + 4 * 1024) << "still growing after half time";
    }

    console.Kill();
    ASSERT_EQ(::kill(static_cast<pid_t>(halvane.Pid()), SIGTERM), 0);
    ASSERT_TRUE(halvane.process.waitForFinished(kWaitMs));
    EXPECT_EQ(halvane.process.exitCode(), 0);
}

}  // namespace
