// A whole game night with the real program, in real time, on a virtual X display: the
// operator starts a new game from the icon's menu and answers its message boxes with the
// keyboard, the referee console plays a short scripted game of two periods while a
// controller on loopback reads the game, its periods and its labels, the game is stopped
// and its recordings reach the archive (each with its checksum in the game folder's
// manifest, which sha256sum accepts), the game is archived (the storage manager opens
// and is closed), and the archived game is started again. The suite's programs are the
// installed stand-ins, started by Halvane itself; the recorder records for real.
//
// The progress dialog and the message boxes are photographed into
// <build>/desktop-artefacts/game-night/.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QSettings>
#include <QThread>
#include <QTimeZone>
#include <algorithm>
#include <array>
#include <iostream>
#include <map>

#include "../desktop/DesktopSupport.h"
#include "PanelAnswers.h"
#include "ScopedEnvironment.h"
#include "platform/ComponentFactory.h"
#include "workflow/SuiteComponents.h"

namespace hv {
namespace {

using namespace desktop;

// ---- the game ----

// The script, in seconds after "NewGame", and what Crestron is told of it.
struct ScriptPeriod {
    int start, end;
    int score1, score2;  // at its end
};
struct ScriptEvent {
    const char* type;
    int code;  // Crestron's label code of the type
    int period, at;
    int score1, score2;
    int next1 = -1, next2 = -1;  // a goal's score after it
};
const ScriptPeriod kPeriods[] = {{1, 5, 1, 0}, {6, 10, 1, 1}};
const ScriptEvent kEvents[] = {
    {"Синяя линия", 14, 1, 2, 0, 0},
    {"Гол", 21, 1, 3, 0, 0, 1, 0},
    {"Удаление игрока", 12, 2, 7, 1, 0},
    {"Опасный момент", 32, 2, 8, 1, 0},
    {"Гол", 21, 2, 9, 1, 0, 1, 1},
};
constexpr int kTimelineEnd = 10;

QByteArray ScriptJson() {
    QByteArray json = R"({"cameras": ["{00000000-0000-0000-0000-000000000001}", "{00000000-0000-0000-0000-000000000002}"],
  "timeline": {"periods": [)";
    for (const ScriptPeriod& p : kPeriods)
        json += QStringLiteral("%1{\"start\": %2, \"end\": %3, \"endScore\": \"%4:%5\"}")
                    .arg(&p == kPeriods ? "" : ", ")
                    .arg(p.start)
                    .arg(p.end)
                    .arg(p.score1)
                    .arg(p.score2)
                    .toUtf8();
    json += "], \"events\": [";
    for (const ScriptEvent& e : kEvents) {
        json += QStringLiteral("%1{\"type\": \"%2\", \"period\": %3, \"at\": %4, \"score\": \"%5:%6\"")
                    .arg(&e == kEvents ? "" : ", ", QString::fromUtf8(e.type))
                    .arg(e.period)
                    .arg(e.at)
                    .arg(e.score1)
                    .arg(e.score2)
                    .toUtf8();
        if (e.next1 >= 0) json += QStringLiteral(", \"nextScore\": \"%1:%2\"").arg(e.next1).arg(e.next2).toUtf8();
        json += "}";
    }
    return json + "]}}\n";
}

constexpr std::int64_t kUnitsPerSecond = 10'000'000;
constexpr std::int64_t kUnixEpochAsFileTime = 116'444'736'000'000'000LL;

// Halvane runs in UTC here, so local time is UTC.
QDateTime ToDateTime(std::int64_t fileTime) {
    return QDateTime::fromMSecsSinceEpoch((fileTime - kUnixEpochAsFileTime) / 10'000, Qt::UTC);
}
std::int64_t ToFileTime(const QDateTime& t) { return kUnixEpochAsFileTime + t.toMSecsSinceEpoch() * 10'000; }

// Whole seconds (to the nearest) from 1 January of the time's year.
std::int32_t SecondsFromYearStart(std::int64_t t) {
    const QDateTime yearStart(QDate(ToDateTime(t).date().year(), 1, 1), QTime(0, 0), Qt::UTC);
    return static_cast<std::int32_t>((t - ToFileTime(yearStart) + 4'999'999) / kUnitsPerSecond);
}

// The labels of the scripted game as the game model keeps them when the console began it
// at `started` and Halvane counts the game from `gameStart`: its own marks of the game,
// each period's start, then the referee's events (each type numbered in the script's
// order).
struct ScriptLabel {
    int code, number, period;  // period 0: before the first period
    std::int64_t time;
    int score1, score2, minute, second;
};
std::vector<ScriptLabel> LabelsOf(std::int64_t started, std::int64_t gameStart) {
    auto at = [&](int seconds) { return started + seconds * kUnitsPerSecond; };
    std::vector<ScriptLabel> labels{{41, 1, 0, gameStart, 0, 0, 0, 0}, {33, 1, 0, gameStart, 0, 0, 0, 0}};
    for (int i = 0; i < static_cast<int>(std::size(kPeriods)); ++i)
        labels.push_back({43, i + 1, i + 1, at(kPeriods[i].start), kPeriods[i].score1, kPeriods[i].score2, 20, 0});
    std::map<int, int> numbers;
    for (const ScriptEvent& e : kEvents) {
        const int fromStart = e.at - kPeriods[e.period - 1].start;
        const bool goal = e.next1 >= 0;
        labels.push_back({e.code, ++numbers[e.code], e.period, at(e.at), goal ? e.next1 : e.score1,
                          goal ? e.next2 : e.score2, fromStart / 60, fromStart % 60});
    }
    return labels;
}

// What a controller should read of the scripted game, as the controller console decodes
// it (its decoder is tested against literal answers), by command. The answers' layout is
// the decoder's business: here only the game's content, from the script.
std::map<std::string, panel::AnswerBody> ExpectedAnswers(std::int64_t started, std::int64_t gameStart) {
    const QDateTime startTime = ToDateTime(gameStart);
    panel::GameStamp stamp{startTime.date().year(), startTime.date().month(), startTime.date().day(),
                           startTime.time().hour(), startTime.time().minute(),
                           startTime.toString(QStringLiteral("yyyyMMddHHmm")).toStdString()};
    const std::string& gs = stamp.text;
    const std::vector<ScriptLabel> labels = LabelsOf(started, gameStart);
    const int periods = static_cast<int>(std::size(kPeriods));
    const int n = periods + 1;  // with the game record
    const ScriptPeriod& last = kPeriods[periods - 1];
    std::map<std::string, panel::AnswerBody> answers;

    answers["C01010000"] = panel::GameListAnswer{1, stamp, periods, last.score1, last.score2};

    panel::GameInfoAnswer info{stamp, n, last.score1, last.score2, {}, 4, {}, 1};
    for (const ScriptPeriod& p : kPeriods) info.entries.push_back({p.score1, p.score2, 0});
    info.entries.push_back({0, 0, 3});
    // Rows: the totals, each period, the labels before the first period; a column per group.
    info.counts.assign(n + 1, std::vector<int>(4, 0));
    for (const ScriptLabel& l : labels) {
        const int group = l.code / 10 - 1;
        ++info.counts[0][group];
        ++info.counts[l.period > 0 ? l.period : n][group];
    }
    answers["C0201" + gs] = info;

    // Each period, and one beyond the last: the game record with the labels before the game.
    for (int k = 1; k <= n; ++k) {
        const bool record = k == n;
        std::vector<ScriptLabel> of;
        for (const ScriptLabel& l : labels)
            if (l.period == (record ? 0 : k)) of.push_back(l);
        std::stable_sort(of.begin(), of.end(), [](const ScriptLabel& a, const ScriptLabel& b) { return a.time < b.time; });
        panel::PeriodInfoAnswer period{stamp, k, record ? 3 : 0, record ? 0 : kPeriods[k - 1].score1,
                                       record ? 0 : kPeriods[k - 1].score2, static_cast<int>(of.size()), {}, 1};
        for (const ScriptLabel& l : of)
            period.labels.push_back({l.code, l.number, l.score1, l.score2, l.minute, l.second});
        answers[QStringLiteral("C0301%1%2").arg(QString::fromStdString(gs)).arg(k, 2, 10, QLatin1Char('0')).toStdString()] =
            period;
    }
    for (const ScriptLabel& l : labels)
        answers[QStringLiteral("C0401%1%2%3")
                    .arg(QString::fromStdString(gs))
                    .arg(l.code, 2, 10, QLatin1Char('0'))
                    .arg(l.number, 3, 10, QLatin1Char('0'))
                    .toStdString()] = panel::LabelInfoAnswer{stamp, l.code, l.number, SecondsFromYearStart(l.time)};
    return answers;
}

// How the answer `raw` to `command` differs from `expected`: empty when it decodes to the
// same content; otherwise both, described field by field.
std::string Disagreement(const std::string& command, const std::string& raw, panel::AnswerBody expected) {
    const panel::DecodedAnswer decoded = panel::DecodeAnswer(raw);
    if (!decoded.Ok())
        return command + ": '" + panel::EscapeBytes(raw) + "' does not decode (" + decoded.error + "), expected\n" +
               panel::DescribeAnswer(expected);
    // How many lines the answer takes is its layout, not the game's.
    if (auto* info = std::get_if<panel::GameInfoAnswer>(&expected))
        if (auto* got = std::get_if<panel::GameInfoAnswer>(&*decoded.body)) info->lines = got->lines;
    if (auto* period = std::get_if<panel::PeriodInfoAnswer>(&expected))
        if (auto* got = std::get_if<panel::PeriodInfoAnswer>(&*decoded.body)) period->lines = got->lines;
    const std::string want = panel::DescribeAnswer(expected);
    const std::string got = panel::DescribeAnswer(*decoded.body);
    return got == want ? std::string() : command + ": read\n" + got + "expected\n" + want;
}

// ---- the processes of the night ----

// The suite's programs running for this world (found by the queue scope in their
// environment), by process id, with their program names.
std::map<qint64, QString> CompanionsOf(const QString& scope, qint64 except) {
    std::map<qint64, QString> found;
    const QByteArray mark = "ZANDREL_QUEUE_SCOPE=" + scope.toUtf8();
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid || pid == except || pid == ::getpid()) continue;
        QFile environ(QStringLiteral("/proc/%1/environ").arg(pid));
        if (!environ.open(QIODevice::ReadOnly)) continue;
        // A process that has ended but is not reaped yet shows no environment.
        if (!environ.readAll().split('\0').contains(mark)) continue;
        found[pid] = QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid))).fileName();
    }
    return found;
}

QStringList Names(const std::map<qint64, QString>& processes) {
    QStringList names;
    for (const auto& [pid, name] : processes) names << name;
    names.sort();
    return names;
}

// Every file under `folder`, by its path relative to it.
QStringList FilesUnder(const QString& folder) {
    QStringList files;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) files << QDir(folder).relativeFilePath(it.next());
    files.sort();
    return files;
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The lines of `text` that begin with "Halvane::", without their time stamps.
QStringList HalvaneLines(const QString& text) {
    QStringList lines;
    static const QRegularExpression line(QStringLiteral("(Halvane::[^\\r\\n]*)"));
    for (auto match = line.globalMatch(text); match.hasNext();) lines << match.next().captured(1);
    return lines;
}

class GameNight : public ::testing::Test {
protected:
    static constexpr int kWorkflowMs = 120000;

    void SetUp() override {
        // The test scripts install the tools and require the desktop: there a missing tool
        // or an X server that did not start is a failure, not a reason to skip.
        HV_NEEDS(StartDesktop(display_));
        ASSERT_TRUE(world_.IsValid());
        QDir().mkpath(ArtefactPath(QStringLiteral("game-night")));
        for (const char* folder : {"archive", "rec1", "rec2", "tamberlo"}) QDir().mkpath(world_.Path(folder));

        // The suite: its programs where the build installed them, and one replay player.
        QSettings system(world_.Path("system/Tervanix/ZandrelSoftware.conf"), QSettings::IniFormat);
        system.setValue("ZandrelSetup_Params/Setup_Path", QCoreApplication::applicationDirPath() + "/Zandrel Software");
        system.sync();
        QSettings suite(world_.Path("config/Tervanix/ZandrelSoftware.conf"), QSettings::IniFormat);
        suite.beginWriteArray(QStringLiteral("Players"), 1);
        suite.setArrayIndex(0);
        suite.setValue("DisplayName", "Main player");
        suite.setValue("RegName", "Lumentra.Main");
        suite.setValue("Id", "{11111111-2222-3333-4444-555555555550}");
        suite.setValue("Param", 0);
        suite.endArray();
        suite.sync();

        port_ = FreePort();
        ASSERT_NE(port_, 0);
        world_.SetSetting("Port", port_);
        world_.SetSetting("PlayerRegName", "Lumentra.Main");
        world_.SetSetting("CopyToPath", world_.Path("archive"));
        world_.SetSetting("CopyFromPathList", world_.Path("rec1") + ";" + world_.Path("rec2"));
        world_.SetSetting("CopyRateLimit_MBperSEC", 20);

        QSaveFile script(world_.Path("game.json"));
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write(ScriptJson());
        ASSERT_TRUE(script.commit());

        environment_ = world_.Environment(display_.get());
        scope_ = environment_.value("ZANDREL_QUEUE_SCOPE");
        // What the programs Halvane starts take from its environment.
        environment_.insert("TZ", "UTC");
        environment_.insert("TAMBERLO_SCRIPT", world_.Path("game.json"));
        environment_.insert("TAMBERLO_STATE_DIR", world_.Path("tamberlo"));
        environment_.insert("VORTAMO_ROOTS", world_.Path("rec1") + ";" + world_.Path("rec2"));
        environment_.insert("VORTAMO_CAMERAS", "2");
        environment_.insert("VORTAMO_GROW_BYTES", "4096");
        environment_.insert("VORTAMO_REPORT_FILE", world_.Path("vortamo.txt"));
        environment_.insert("OSTRIMUND_EXIT_FILE", world_.Path("ostrimund-done"));
        // A loaded computer may take a moment to answer a message.
        environment_.insert("ZANDREL_QUEUE_LOCAL_TIMEOUT_MS", "2000");
        for (const char* name : {"VORTAMO_MISBEHAVE", "TAMBERLO_MISBEHAVE", "DRAVENOR_MISBEHAVE", "SCOREBOARD_MISBEHAVE",
                                 "OSTRIMUND_EXIT_AFTER_MS", "VORTAMO_CLOCK_SKEW_MS", "VORTAMO_CLOCK_AT"})
            environment_.remove(name);
    }

    void TearDown() override {
        // The night's log, Halvane's traces and the recorder's report stay with the pictures.
        if (world_.IsValid() && display_) {
            const QStringList logs = world_.LogFiles();
            for (const auto& [from, to] : {std::pair{logs.value(0), QStringLiteral("halvane.log")},
                                           std::pair{world_.Path("halvane.err"), QStringLiteral("halvane-traces.txt")},
                                           std::pair{world_.Path("vortamo.txt"), QStringLiteral("vortamo-report.txt")}}) {
                const QString target = ArtefactPath("game-night/" + to);
                QFile::remove(target);
                if (!from.isEmpty()) QFile::copy(from, target);
            }
        }
        // Nothing of this world outlives the test.
        if (!scope_.isEmpty())
            for (const auto& [pid, name] : CompanionsOf(scope_, -1)) ::kill(static_cast<pid_t>(pid), SIGKILL);
    }

    void StartNotificationArea() {
        ASSERT_TRUE(hv::desktop::StartNotificationArea(*display_, area_)) << "the notification area did not come up";
    }

    bool Tool(const QStringList& arguments) const {
        return display_->Tool(QStringLiteral("xdotool"), arguments).has_value();
    }
    QStringList Windows() const { return display_->VisibleWindowsOf(halvane_.Pid()); }
    bool IsTooltip(const QString& window) const { return display_->IsOfType(window, "TOOLTIP"); }
    // Halvane's visible window titled `title`; empty when there is none.
    QString WindowTitled(const QString& title) {
        for (const QString& window : Windows())
            if (window != icon_ && display_->Title(window) == title) return window;
        return {};
    }
    QString WaitForWindowTitled(const QString& title, int timeoutMs = kWaitMs) {
        QString found;
        WaitUntil([&] { return !(found = WindowTitled(title)).isEmpty() || !halvane_.Running(); }, timeoutMs);
        return found;
    }

    QString WaitForIcon() {
        return hv::desktop::WaitForIcon(*display_, [this] { return Windows(); }, [] { return true; });
    }

    // Right-click on the icon: its menu, where only the keyboard picks items.
    bool OpenMenu() {
        const QRect place = display_->Geometry(icon_);
        const QStringList windows = Windows();
        const QSet<QString> before(windows.begin(), windows.end());
        if (!Tool({"mousemove", QString::number(place.center().x()), QString::number(place.center().y()), "click", "3"}))
            return false;
        const bool opened = WaitUntil([&] {
            for (const QString& window : Windows())
                if (!before.contains(window) && !IsTooltip(window)) return true;
            return false;
        });
        return opened && Tool({"mousemove", "5", "475"});
    }

    // The File command `position` places down the icon's menu (1 is Start new game).
    bool ChooseFromMenu(int position) {
        if (!OpenMenu()) return false;
        for (int i = 0; i < position; ++i)
            if (!Tool({"key", "Down"})) return false;
        return Tool({"key", "Return"});
    }

    // A message box ("Halvane") is answered with `key` as a person would, after its picture
    // is taken; false when none came.
    bool AnswerBox(const QString& key, const QString& picture) {
        const QString box = WaitForWindowTitled(QStringLiteral("Halvane"), kWorkflowMs);
        if (box.isEmpty()) return false;
        EXPECT_TRUE(display_->SettledScreenshot("game-night/" + picture, display_->Geometry(box)));
        if (!Tool({"windowfocus", "--sync", box}) || !Tool({"key", key})) return false;
        return WaitUntil([&] { return !Windows().contains(box); });
    }

    // The progress dialog titled `caption`, photographed once its step text is `stepText`.
    void PhotographProgress(const QString& caption, const QString& stepText, const QString& picture) {
        ASSERT_TRUE(WaitUntil([&] { return StepTexts().contains(stepText); }, kWorkflowMs)) << Diagnosis();
        const QString dialog = WindowTitled(caption);
        // A dialog already gone is a picture missed, not a fault of the workflow.
        if (dialog.isEmpty()) {
            std::cerr << "the dialog \"" << caption.toStdString() << "\" closed before its picture was taken\n";
            return;
        }
        EXPECT_TRUE(display_->SettledScreenshot("game-night/" + picture, display_->Geometry(dialog).adjusted(-4, -4, 4, 4)));
    }

    // Runs the File command at `position` from the menu: confirms (unless it asks nothing),
    // waits for `successLine` in the log and closes the final message.
    void RunWorkflow(int position, const QString& name, bool asks, const QString& caption, const QString& stepText,
                     const QString& successLine, const std::function<void()>& whileWaiting = {}) {
        ASSERT_TRUE(ChooseFromMenu(position)) << Diagnosis();
        if (asks) {
            ASSERT_TRUE(AnswerBox("y", name + "-question.png")) << Diagnosis();
        }
        PhotographProgress(caption, stepText, name + "-progress.png");
        if (whileWaiting) whileWaiting();
        ASSERT_TRUE(WaitUntil([&] { return LogHas(successLine); }, kWorkflowMs)) << Diagnosis();
        ASSERT_TRUE(AnswerBox("Return", name + "-done.png")) << Diagnosis();
        ASSERT_TRUE(WaitUntil([&] { return Windows() == QStringList{icon_}; })) << Diagnosis();
    }

    // Waits until the suite's programs of this world are exactly `names`.
    bool WaitForCompanions(QStringList names) {
        names.sort();
        return WaitUntil([&] { return Names(CompanionsOf(scope_, halvane_.Pid())) == names; }, 20000);
    }

    bool LogHas(const QString& line) const { return world_.LogText().contains(line); }
    QString Traces() const { return QString::fromUtf8(ReadAll(world_.Path("halvane.err"))); }
    QStringList StepTexts() { return Traces().split(u'\n'); }
    // The statuses set, in order.
    std::vector<int> Statuses() {
        std::vector<int> statuses;
        static const QRegularExpression set(QStringLiteral("Halvane::SetStatus (\\d+)\n"));
        for (auto match = set.globalMatch(Traces()); match.hasNext();) statuses.push_back(match.next().captured(1).toInt());
        return statuses;
    }

    int LastStatus() {
        const std::vector<int> statuses = Statuses();
        return statuses.empty() ? -1 : statuses.back();
    }

    // What the recorder stand-in reported, line by line.
    QStringList RecorderReport() const {
        return QString::fromUtf8(ReadAll(world_.Path("vortamo.txt"))).split(u'\n', Qt::SkipEmptyParts);
    }

    // A controller's question on a connection of its own: the whole answer (all its lines);
    // empty when no answer came within a second and a half (Halvane answers nothing for a
    // label it does not have).
    std::string AskOnce(const std::string& command) const {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return {};
        timeval timeout{1, 500'000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port_);
        std::string answer;
        const std::string line = command + "\n";
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())) {
            char c = 0;
            while (::recv(fd, &c, 1, 0) == 1) {
                answer += c;
                if (c == '\n' && panel::ProgressOfAnswer(answer) != panel::AnswerProgress::Short) break;
            }
        }
        ::close(fd);
        return answer;
    }
    // Asks every command; how the answers differ from the expected ones (empty: not at all).
    std::string Disagreements(const std::map<std::string, panel::AnswerBody>& expected) const {
        std::string text;
        for (const auto& [command, answer] : expected) text += Disagreement(command, AskOnce(command), answer);
        return text;
    }
    // Asks every command until the answers agree with the expected ones, or the time is up;
    // the last disagreements.
    std::string AskUntilAgreed(const std::map<std::string, panel::AnswerBody>& expected) const {
        std::string disagreements;
        WaitUntil([&] { return (disagreements = Disagreements(expected)).empty(); }, 60000);
        return disagreements;
    }

    std::string Diagnosis() {
        QString text = QStringLiteral("Halvane's windows:");
        for (const QString& window : Windows())
            text += QStringLiteral(" %1 '%2'").arg(window, display_->Title(window));
        text += QStringLiteral("\nprocesses: ") + Names(CompanionsOf(scope_, halvane_.Pid())).join(u' ');
        text += QStringLiteral("\nHalvane's traces (end): ") + Traces().right(3000);
        text += QStringLiteral("\nHalvane's log: ") + world_.LogText().right(4000);
        return text.toStdString();
    }

    std::unique_ptr<XDisplay> display_;
    World world_{QStringLiteral("game-night")};
    QProcessEnvironment environment_;
    QString scope_;
    std::uint16_t port_ = 0;
    Child area_;
    Child halvane_;
    QString icon_;
};

TEST_F(GameNight, StartPlayStopArchiveAndStartTheArchivedGameAgain) {
    StartNotificationArea();
    ASSERT_FALSE(HasFatalFailure());
    // Its traces (and what the programs it starts write) go to files.
    halvane_.process.setStandardOutputFile(world_.Path("halvane.out"));
    halvane_.process.setStandardErrorFile(world_.Path("halvane.err"));
    ASSERT_TRUE(halvane_.Start(world_.Program(), {}, environment_));
    icon_ = WaitForIcon();
    ASSERT_FALSE(icon_.isEmpty()) << Diagnosis();
    ASSERT_TRUE(WaitUntil([&] { return !AskCrestron(port_, "C0601\n").empty(); })) << Diagnosis();
    const qint64 halvanePid = halvane_.Pid();
    auto companions = [&] { return Names(CompanionsOf(scope_, halvanePid)); };

    // ---- Start new game: the companions started, the recording under way, the console told.
    RunWorkflow(1, "1-start-new-game", true, "Start Recording", "Wait Vortamo starting",
                "Halvane::OnFileRecStart SUCCEEDED.");
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_TRUE(WaitForCompanions({"Dravenor", "Tamberlo", "Vortamo"})) << companions().join(u' ').toStdString();
    static const QRegularExpression startRecord(
        QStringLiteral("^command StartRecord 1111111111111111 0 \\\\(\\d{4}-\\d\\d-\\d\\d\\\\\\d\\d-\\d\\d\\\\)$"));
    QString gameFolder;
    for (const QString& line : RecorderReport())
        if (const auto match = startRecord.match(line); match.hasMatch()) gameFolder = match.captured(1);
    ASSERT_FALSE(gameFolder.isEmpty()) << RecorderReport().join(u'\n').toStdString();
    const QDateTime gameStart(QDate::fromString(gameFolder.left(10), QStringLiteral("yyyy-MM-dd")),
                              QTime::fromString(gameFolder.mid(11, 5), QStringLiteral("HH-mm")), Qt::UTC);
    ASSERT_TRUE(gameStart.isValid()) << gameFolder.toStdString();

    // ---- The game: the console began it on "NewGame"; its first split says when.
    static const QRegularExpression firstSplit(QStringLiteral("^command SplitAtTime 1_0x([0-9A-F]{8})_0x([0-9A-F]{8})$"));
    std::int64_t started = 0;
    ASSERT_TRUE(WaitUntil([&] {
        for (const QString& line : RecorderReport())
            if (const auto match = firstSplit.match(line); match.hasMatch())
                started = static_cast<std::int64_t>((match.captured(2).toULongLong(nullptr, 16) << 32) |
                                                    match.captured(1).toULongLong(nullptr, 16)) -
                          kPeriods[0].start * kUnitsPerSecond;
        return started != 0;
    })) << RecorderReport().join(u'\n').toStdString();
    // Played out, and every answer as the script has it.
    ASSERT_TRUE(WaitUntil([&] { return ToFileTime(QDateTime::currentDateTimeUtc()) > started + (kTimelineEnd + 1) * kUnitsPerSecond; }));
    EXPECT_EQ(AskUntilAgreed(ExpectedAnswers(started, ToFileTime(gameStart))), "");

    // ---- Stop the game: the recordings of the game reach the archive.
    RunWorkflow(2, "2-stop-the-game", true, "Stop Recording", "Wait Vortamo finishing", "Halvane::OnFileRecStop SUCCEEDED.");
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_TRUE(WaitForCompanions({"Tamberlo"})) << "the recorder closed, the post-play capture stopped: "
                                                 << companions().join(u' ').toStdString();
    const QString subfolder = QString(gameFolder).replace(u'\\', u'/');
    // Every segment of the game (the pauses between periods, numbered below 0, stay behind).
    // By path under the game's folder: the recording.
    auto recordings = [&] {
        std::map<QString, QString> files;
        for (const char* root : {"rec1", "rec2"}) {
            const QString folder = world_.Path(root) + "/" + subfolder;
            for (const QString& file : FilesUnder(folder))
                if (!QFileInfo(file).fileName().startsWith(u'-')) files[file] = folder + file;
        }
        return files;
    };
    auto archived = [&] {
        for (const auto& [file, recording] : recordings())
            if (ReadAll(world_.Path("archive/") + subfolder + file) != ReadAll(recording)) return false;
        return true;
    };
    const QString csvGame = gameStart.toString(QStringLiteral("yyyy-MM-dd-HH-mm"));
    // The copy is planned at the time of the stop's log line; the description of the archive
    // is written again once everything planned has been copied, at least 5 s later.
    const QString fillLine = "StopTheGame - Start FillCopyFiles for game '" + gameFolder + "'";
    static const QRegularExpression stamped(QStringLiteral("(\\d{4}\\.\\d\\d\\.\\d\\d \\d\\d:\\d\\d:\\d\\d)\\.\\d{3}: (.*)"));
    QDateTime stopped;
    for (const QString& line : world_.LogText().split(u'\n'))
        if (const auto match = stamped.match(line.trimmed()); match.hasMatch() && match.captured(2) == fillLine)
        {
            // Halvane runs with TZ=UTC: its time stamps are UTC, whatever this process's zone.
            const QStringList parts = match.captured(1).split(u' ');
            stopped = QDateTime(QDate::fromString(parts[0], QStringLiteral("yyyy.MM.dd")),
                                QTime::fromString(parts[1], QStringLiteral("HH:mm:ss")), QTimeZone::utc())
                          .addSecs(5);
        }
    ASSERT_TRUE(stopped.isValid()) << Diagnosis();
    static const QRegularExpression csvLine(QStringLiteral("^(\\d{4}-\\d\\d-\\d\\d-\\d\\d-\\d\\d); (\\d{4}-\\d\\d-\\d\\d-\\d\\d-\\d\\d-\\d\\d)\r\n$"));
    auto csvWrittenAfter = [&](const QString& game, const QDateTime& after) {
        const auto match = csvLine.match(QString::fromLatin1(ReadAll(world_.Path("archive/refresh.csv"))));
        if (!match.hasMatch() || match.captured(1) != game) return false;
        const QDateTime written = QDateTime::fromString(match.captured(2), QStringLiteral("yyyy-MM-dd-HH-mm-ss"));
        return QDateTime(written.date(), written.time(), Qt::UTC) >= after.addSecs(-1);
    };
    ASSERT_TRUE(WaitUntil([&] { return archived() && csvWrittenAfter(csvGame, stopped) && LastStatus() == 5; }, 60000))
        << "archived " << archived() << ", refresh.csv " << ReadAll(world_.Path("archive/refresh.csv")).toStdString()
        << " (stopped " << stopped.toString(Qt::ISODate).toStdString() << "), status " << LastStatus() << "\narchive: " << FilesUnder(world_.Path("archive")).join(u' ').toStdString() << "\n" << Diagnosis();
    QStringList expectedArchive;
    for (const auto& [file, recording] : recordings()) expectedArchive << subfolder + file;
    expectedArchive << "refresh.csv" << subfolder + "SHA256SUMS";
    expectedArchive.sort();
    EXPECT_EQ(FilesUnder(world_.Path("archive")), expectedArchive);
    // Three segments (before the game and two periods), each a description and two videos.
    EXPECT_EQ(expectedArchive.size(), 3 * 3 + 2);
    // The game folder's manifest holds one line per recording copied, and sha256sum itself
    // accepts every line.
    {
        QStringList named;
        for (const QByteArray& line : ReadAll(world_.Path("archive/") + subfolder + "SHA256SUMS").split('\n'))
            if (!line.isEmpty()) named << QString::fromUtf8(line.mid(66));
        named.sort();
        QStringList copied;
        for (const auto& [file, recording] : recordings()) copied << file;
        EXPECT_EQ(named, copied);
        QProcess check;
        check.setWorkingDirectory(world_.Path("archive/") + subfolder);
        check.start(QStringLiteral("sha256sum"), {QStringLiteral("-c"), QStringLiteral("--strict"), QStringLiteral("SHA256SUMS")});
        ASSERT_TRUE(check.waitForFinished(60000));
        const QByteArray said = check.readAllStandardOutput();
        EXPECT_EQ(check.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(check.exitCode(), 0) << said.toStdString() << check.readAllStandardError().toStdString();
        EXPECT_EQ(said.count(": OK\n"), static_cast<qsizetype>(copied.size())) << said.toStdString();
    }

    // ---- Archive the game: the companions closed, the storage manager run until closed.
    RunWorkflow(3, "3-archive-the-game", true, "Prepare Game", "Wait Ostrimund exit", "Halvane::OnFileReset SUCCEEDED.",
                [&] {
                    // The storage manager's window beside the dialog, which waits at 75 percent.
                    EXPECT_TRUE(WaitForCompanions({"Ostrimund"})) << companions().join(u' ').toStdString();
                    EXPECT_TRUE(WaitUntil([&] { return Tool({"search", "--onlyvisible", "--name", "^Ostrimund$"}); }));
                    EXPECT_TRUE(display_->SettledScreenshot("game-night/3-archive-the-game-storage-manager.png"));
                    QFile(world_.Path("ostrimund-done")).open(QIODevice::WriteOnly);
                });
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_TRUE(WaitForCompanions({})) << companions().join(u' ').toStdString();

    // ---- Start archived game: the console opens the game it kept; Crestron reads it again,
    // now counted from the start of the first period.
    const QDateTime restoredAt = QDateTime::currentDateTimeUtc();
    RunWorkflow(4, "4-start-archived-game", false, "After Restore", "Wait Kestrilo start",
                "Halvane::OnFileOldStart SUCCEEDED.");
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_TRUE(WaitForCompanions({"Tamberlo"})) << companions().join(u' ').toStdString();
    const std::int64_t firstPeriod = started + kPeriods[0].start * kUnitsPerSecond;
    EXPECT_EQ(AskUntilAgreed(ExpectedAnswers(started, firstPeriod)), "");
    EXPECT_TRUE(csvWrittenAfter(ToDateTime(firstPeriod).toString(QStringLiteral("yyyy-MM-dd-HH-mm")), restoredAt))
        << ReadAll(world_.Path("archive/refresh.csv")).toStdString();

    // Each workflow's log lines, in order.
    QStringList workflowLines;
    for (const QString& line : HalvaneLines(world_.LogText()))
        if (line.startsWith(QStringLiteral("Halvane::Menu File->")) || line.startsWith(QStringLiteral("Halvane::OnFile")))
            workflowLines << line;
    EXPECT_EQ(workflowLines, (QStringList{"Halvane::Menu File->Start new game.", "Halvane::OnFileRecStart SUCCEEDED.",
                                          "Halvane::Menu File->Stop the game.", "Halvane::OnFileRecStop SUCCEEDED.",
                                          "Halvane::Menu File->Archive the game.", "Halvane::OnFileReset SUCCEEDED.",
                                          "Halvane::Menu File->Start archived game.",
                                          "Halvane::OnFileOldStart SUCCEEDED."}));
    EXPECT_TRUE(LogHas(fillLine));

    // The icon's status: each command's own (1, 2, 3, 1), and in between what the one-second
    // update makes of the game: no game (0), running (5), copying (7).
    const std::vector<int> statuses = Statuses();
    auto collapse = [](std::vector<int> v) {
        v.erase(std::unique(v.begin(), v.end()), v.end());
        return v;
    };
    std::vector<int> commands;
    std::vector<std::vector<int>> between(1);
    for (const int s : statuses) {
        if (s >= 1 && s <= 3) {
            commands.push_back(s);
            between.emplace_back();
        } else {
            between.back().push_back(s);
        }
    }
    EXPECT_EQ(commands, (std::vector<int>{1, 2, 3, 1})) << ::testing::PrintToString(statuses);
    auto only = [](const std::vector<int>& v, std::initializer_list<int> allowed) {
        return std::all_of(v.begin(), v.end(), [&](int s) { return std::find(allowed.begin(), allowed.end(), s) != allowed.end(); });
    };
    if (between.size() == 5) {
        EXPECT_TRUE(only(between[0], {0})) << "before the game";
        // No game until its start is fixed, then running, copying the descriptions at times.
        const auto game = collapse(between[1]);
        EXPECT_TRUE(game.size() >= 2 && game.front() == 0 && game.back() == 5 &&
                    only(std::vector<int>(game.begin() + 1, game.end()), {5, 7}))
            << "during the game: " << ::testing::PrintToString(game);
        const auto copy = collapse(between[2]);
        EXPECT_TRUE(!copy.empty() && copy.back() == 5 && only(copy, {5, 7}))
            << "after the stop: " << ::testing::PrintToString(copy);
        // Running while the question is open, no game once it is archived.
        const auto archive = collapse(between[3]);
        EXPECT_TRUE(!archive.empty() && archive.back() == 0 && only(archive, {0, 5})) << ::testing::PrintToString(archive);
        EXPECT_EQ(collapse(between[4]), std::vector<int>{0}) << "an archived game has no folder of its own";
    }

    // The console of the archived game is ended as Halvane would end it, then Halvane itself.
    ComponentFactory components(QString::fromLocal8Bit(HALVANE_COMPONENT_FOLDER));
    std::optional<test::ScopedEnvironment> ofTheNight(std::in_place);
    ofTheNight->Set("ZANDREL_QUEUE_SCOPE", scope_.toUtf8());
    // The queues of the night are in the world's runtime folder.
    ofTheNight->Set("XDG_RUNTIME_DIR", environment_.value("XDG_RUNTIME_DIR").toUtf8());
    IQueueService* service = nullptr;
    ComponentPtr serviceObject = components.CreateFor(kMessageQueueServiceClass, service);
    ASSERT_NE(service, nullptr);
    QObject window;
    ComponentPtr queueObject;
    std::int32_t status = 0, result = 0;
    ASSERT_EQ(service->CreateQueue(status, result, "GameNightTest", &window, 0x47B, 0, 0, queueObject), S_OK);
    auto* queue = QueryInterface<IMessageQueue>(queueObject.get());
    ASSERT_NE(queue, nullptr);
    ASSERT_EQ(queue->Send(status, result, 1, 0, 0, "localhost", "Kestrilo", "Exit", "GameNightTest"), S_OK);
    EXPECT_TRUE(WaitForCompanions({})) << companions().join(u' ').toStdString();
    ofTheNight.reset();

    // Exit ("E&xit") from the icon's menu ends Halvane.
    ASSERT_TRUE(OpenMenu()) << Diagnosis();
    ASSERT_TRUE(Tool({"key", "x"}));
    ASSERT_TRUE(halvane_.process.waitForFinished(kWaitMs)) << Diagnosis();
    EXPECT_EQ(halvane_.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(halvane_.process.exitCode(), 0);
    EXPECT_TRUE(CompanionsOf(scope_, -1).empty());
}

}  // namespace
}  // namespace hv
