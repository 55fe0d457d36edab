// The GUI thread's latency while the game workflows run, on every workflow's success path
// and on each failure its workflow knows: an event is posted to the GUI thread every 2 ms
// from another thread, and the longest time one waited to be handled is kept. The sleep the
// workflows take by the program's own rule (the score board's service gets one second to
// stop) is measured apart: the part of a wait that falls into it is named, not hidden in
// the figure of what else held the GUI thread.
//
// Each case runs one workflow in the real progress dialog with the real clock, in a world of
// its own (settings, recorder folders, archive, queue names), with the suite's programs as
// processes and the companions misbehaving as the case needs: the waits of the failures
// (up to about 40 s) are taken in full, as on a game night, since the frame's one-second
// update, which asks the companions, keeps real time too. Every question is answered Yes
// unless the case declines it; no box waits for anyone. All cases take about 9 minutes.
//
// The score board: on the success paths once through its component and once through the
// service fallback; the other cases of Start new game and Archive the game take the
// fallback. The service manager there is a systemctl of the bench's own that takes 20 s,
// as a slow or hung one would (the GUI thread must not wait for it).
//
// Reported per case:
//   ok             1 when the case took its row (its log line or message was seen), else 0
//   own_wait_ms    the longest wait of a posted event, less what fell into a sleep of the
//                  program's rules
//   wait_ms        the longest wait of a posted event, those sleeps included
//   rule_sleep_ms  the sleeps of the program's rules the GUI thread took (the score
//                  board's second)
//   step_ms        the longest call of the step function, less those sleeps
//   slowest_step   the step number that call started from
//   event_ms       the longest event the GUI thread handled (less those sleeps);
//                  the label names its receiver ("hv::CShowProgress timer": a workflow
//                  step; "hv::CMainFrame timer": the one-second update; ...)
//   wall_s         from the dialog's opening to its end
// And apart, as figures of the waits the program keeps on purpose:
//   BM_LogLine     one line of the diagnostic log, synced to the disk (fdatasync)
//   BM_RefreshCsv  "refresh.csv" written through "refresh.tmp", synced, and moved
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../../tests/e2e/CompanionProcess.h"
#include "app/MainFrame.h"
#include "copy/ArchiveRefresh.h"
#include "language/Language.h"
#include "log/DiagnosticLog.h"
#include "platform/Trace.h"

namespace {

using Steady = std::chrono::steady_clock;

constexpr int kProbePeriodMs = 2;
constexpr int kCaseLimitMs = 180'000;
constexpr int kSlowSystemctlSeconds = 20;

double MsBetween(Steady::time_point from, Steady::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// ---- what the workflows see -------------------------------------------------------------

// The sleeps the program's rules give the GUI thread, real, each noted with its time span.
// GUI thread.
class RuleSleeps {
public:
    void Sleep(int ms) {
        const auto from = Steady::now();
        QThread::msleep(static_cast<unsigned long>(ms));
        spans_.push_back({from, Steady::now()});
    }
    // How much of [from, to] fell into such a sleep.
    double OverlapMs(Steady::time_point from, Steady::time_point to) const {
        double ms = 0;
        for (const auto& [begin, end] : spans_) {
            const auto a = std::max(from, begin);
            const auto b = std::min(to, end);
            if (b > a) ms += MsBetween(a, b);
        }
        return ms;
    }
    double TotalMs() const {
        double ms = 0;
        for (const auto& [begin, end] : spans_) ms += MsBetween(begin, end);
        return ms;
    }
    void Clear() { spans_.clear(); }

private:
    std::vector<std::pair<Steady::time_point, Steady::time_point>> spans_;
};

// Answers Yes, or No to the questions the case declines; keeps what was shown.
class ScriptedBoxes final : public hv::IMessageBoxes {
public:
    hv::BoxAnswer Show(const QString& text, hv::BoxIcon, hv::BoxButtons buttons) override {
        shown.push_back(text);
        if (buttons != hv::BoxButtons::YesNo) return hv::BoxAnswer::Ok;
        for (const QString& declined : declines)
            if (text == declined) return hv::BoxAnswer::No;
        return hv::BoxAnswer::Yes;
    }
    std::vector<QString> declines;
    std::vector<QString> shown;
};

class NoTray final : public hv::ITrayBackend {
public:
    bool Add(const QIcon&, const QString&) override { return true; }
    void SetIcon(const QIcon&) override {}
    void SetToolTip(const QString&) override {}
    void Remove() override {}
    QAction* ShowMenu(QMenu&) override { return nullptr; }
};

// The log lines, as traced (from any thread).
class LogLines {
public:
    void Add(std::string_view line) {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(line);
    }
    bool Contains(const std::string& piece) const {
        std::lock_guard lock(mutex_);
        return std::any_of(lines_.begin(), lines_.end(),
                           [&](const std::string& l) { return l.find(piece) != std::string::npos; });
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }
    std::string All() const {
        std::lock_guard lock(mutex_);
        std::string all;
        for (const std::string& l : lines_) all += l;
        return all;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

LogLines& Log() {
    static LogLines lines;
    return lines;
}

// ---- the probe --------------------------------------------------------------------------

// Events posted to the GUI thread from another thread every kProbePeriodMs; each notes how
// long it waited to be handled, and how much of that fell into a sleep of the program's rules.
class EventProbe final : public QObject {
public:
    explicit EventProbe(const RuleSleeps& sleeps) : sleeps_(sleeps) {}
    ~EventProbe() override { Stop(); }
    void Start() {
        longestMs_ = longestOwnMs_ = 0;
        running_ = true;
        poster_ = std::thread([this] {
            while (running_) {
                QCoreApplication::postEvent(this, new Stamped(Steady::now()));
                std::this_thread::sleep_for(std::chrono::milliseconds(kProbePeriodMs));
            }
        });
    }
    // Stops posting and takes the events still on their way.
    void Stop() {
        if (!poster_.joinable()) return;
        running_ = false;
        poster_.join();
        QCoreApplication::sendPostedEvents(this, kType);
    }
    double LongestMs() const { return longestMs_; }
    double LongestOwnMs() const { return longestOwnMs_; }
    static QEvent::Type Type() { return kType; }

protected:
    bool event(QEvent* e) override {
        if (e->type() != kType) return QObject::event(e);
        const auto posted = static_cast<Stamped*>(e)->posted;
        const auto now = Steady::now();
        const double waited = MsBetween(posted, now);
        longestMs_ = std::max(longestMs_, waited);
        longestOwnMs_ = std::max(longestOwnMs_, waited - sleeps_.OverlapMs(posted, now));
        return true;
    }

private:
    static inline const QEvent::Type kType = static_cast<QEvent::Type>(QEvent::registerEventType());
    struct Stamped final : QEvent {
        explicit Stamped(Steady::time_point t) : QEvent(kType), posted(t) {}
        Steady::time_point posted;
    };
    const RuleSleeps& sleeps_;
    std::atomic<bool> running_{false};
    std::thread poster_;
    double longestMs_ = 0;     // GUI thread
    double longestOwnMs_ = 0;  // GUI thread
};

// The application, timing every event it delivers outside nested loops: the longest one
// (less the sleeps of the program's rules) and what it was, to tell what held the GUI thread.
class TimedApplication final : public QApplication {
public:
    TimedApplication(int& argc, char** argv) : QApplication(argc, argv) {}
    bool notify(QObject* receiver, QEvent* event) override {
        if (depth_ > 0 || sleeps_ == nullptr || event->type() == ignored_) {
            ++depth_;
            const bool handled = QApplication::notify(receiver, event);
            --depth_;
            return handled;
        }
        const auto from = Steady::now();
        ++depth_;
        const bool handled = QApplication::notify(receiver, event);
        --depth_;
        const auto to = Steady::now();
        const double ms = MsBetween(from, to) - sleeps_->OverlapMs(from, to);
        if (ms > longestMs) {
            longestMs = ms;
            longestWhat = Describe(receiver, event);
        }
        return handled;
    }
    // Times the events from now on, apart from the probe's own (`ignored`).
    void Watch(const RuleSleeps* sleeps, QEvent::Type ignored) {
        sleeps_ = sleeps;
        ignored_ = ignored;
        longestMs = 0;
        longestWhat.clear();
    }
    // Stops timing; what was found stays.
    void StopWatching() { sleeps_ = nullptr; }
    double longestMs = 0;
    std::string longestWhat;

private:
    static std::string Describe(QObject* receiver, QEvent* event) {
        std::string what = receiver->metaObject()->className();
        if (event->type() == QEvent::Timer)
            what += " timer " + std::to_string(static_cast<QTimerEvent*>(event)->timerId());
        else
            what += " event " + std::to_string(static_cast<int>(event->type()));
        return what;
    }
    const RuleSleeps* sleeps_ = nullptr;
    QEvent::Type ignored_ = QEvent::None;
    int depth_ = 0;
};

TimedApplication* App() { return static_cast<TimedApplication*>(QCoreApplication::instance()); }

// Runs the frame's step function for the dialog and times each call.
class TimedSteps final : public hv::IWorkflowSteps {
public:
    TimedSteps(hv::CMainFrame& frame, const RuleSleeps& sleeps) : frame_(frame), sleeps_(sleeps) {}
    bool RunWorkflowStep(int kind, std::int32_t& step, std::uint32_t& deadline, hv::CShowProgress& dialog) override {
        const std::int32_t before = step;
        const auto from = Steady::now();
        const bool goOn = frame_.RunWorkflowStep(kind, step, deadline, dialog);
        const auto to = Steady::now();
        const double ms = MsBetween(from, to) - sleeps_.OverlapMs(from, to);
        if (ms > longestMs) {
            longestMs = ms;
            slowestStep = before;
        }
        return goOn;
    }
    double longestMs = 0;
    std::int32_t slowestStep = 0;

private:
    hv::CMainFrame& frame_;
    const RuleSleeps& sleeps_;
};

// ---- a world per case -------------------------------------------------------------------

class World {
public:
    World() {
        static int worlds = 0;
        qputenv("ZANDREL_QUEUE_SCOPE",
                "halvane-bench-latency-" + QByteArray::number(::getpid()) + "-" + QByteArray::number(++worlds));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, root_.filePath("user"));
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, root_.filePath("system"));
        QSettings suite(root_.filePath("user/Tervanix/ZandrelSoftware.conf"), QSettings::IniFormat);
        suite.beginWriteArray("Players", 1);
        suite.setArrayIndex(0);
        suite.setValue("DisplayName", "Main player");
        suite.setValue("RegName", "Lumentra.Main");
        suite.setValue("Id", "{11111111-2222-3333-4444-555555555555}");
        suite.setValue("Param", "7");
        suite.endArray();
        suite.sync();
        QSettings system(root_.filePath("system/Tervanix/ZandrelSoftware.conf"), QSettings::IniFormat);
        system.setValue("ZandrelSetup_Params/Setup_Path",
                        QCoreApplication::applicationDirPath() + QStringLiteral("/Zandrel Software"));
        system.sync();
        const QString rec1 = Path("rec1"), rec2 = Path("rec2"), archive = Path("archive");
        for (const QString& folder : {rec1, rec2, archive, Path("tamberlo"), Path("no-systemctl")}) QDir().mkpath(folder);
        QSettings settings(QSettings::NativeFormat, QSettings::UserScope, "Tervanix", "Halvane");
        settings.setValue("Settings/Port", 0);  // any free port
        settings.setValue("Settings/PlayerRegName", "Lumentra.Main");
        settings.setValue("Settings/CopyToPath", archive);
        settings.setValue("Settings/CopyFromPathList", rec1 + ";" + rec2);
        settings.setValue("Settings/CopyRateLimit_MBperSEC", 99);
        settings.sync();
        qputenv("TAMBERLO_STATE_DIR", Path("tamberlo").toLocal8Bit());
        qputenv("VORTAMO_ROOTS", (rec1 + ";" + rec2).toLocal8Bit());
        qputenv("OSTRIMUND_EXIT_AFTER_MS", "300");
        WriteSlowSystemctl();
        path_ = qgetenv("PATH");

        hv::CMainFrame::Environment environment;
        environment.Components = &components_;
        environment.MessageBoxes = &boxes;
        environment.Settings.Components = &components_;
        environment.Settings.ExecutablePath = Path("bin/Halvane");
        environment.Settings.AutostartFolder = Path("autostart");
        environment.TrayBackend = [](std::function<void(hv::TrayClick)>) -> std::unique_ptr<hv::ITrayBackend> {
            return std::make_unique<NoTray>();
        };
        environment.Services = nullptr;  // the system's: systemctl, found on the PATH
        environment.Sleep = [this](int ms) { sleeps.Sleep(ms); };
        frame_ = std::make_unique<hv::CMainFrame>(std::move(environment));
        created_ = frame_->Create();
    }

    ~World() {
        EndEverything();
        frame_.reset();
        qputenv("PATH", path_);
        for (const char* name : {"TAMBERLO_STATE_DIR", "VORTAMO_ROOTS", "OSTRIMUND_EXIT_AFTER_MS", "SCOREBOARD_MISBEHAVE",
                                 "VORTAMO_MISBEHAVE", "TAMBERLO_MISBEHAVE", "DRAVENOR_MISBEHAVE", "VORTAMO_CLOCK_SKEW_MS"})
            qunsetenv(name);
    }

    bool Created() const { return created_; }
    hv::CMainFrame& Frame() { return *frame_; }
    QString Path(const QString& relative) const { return root_.filePath(relative); }

    // The score board through its service, with a systemctl that takes kSlowSystemctlSeconds.
    void UseServiceFallback() {
        qputenv("SCOREBOARD_MISBEHAVE", "not-installed");
        qputenv("PATH", Path("systemctl-bin").toLocal8Bit());
    }
    // Neither the component nor a service manager.
    void UseNoScoreBoardAtAll() {
        qputenv("SCOREBOARD_MISBEHAVE", "not-installed");
        qputenv("PATH", Path("no-systemctl").toLocal8Bit());
    }

    // The companions as Start new game leaves them, started here; `misbehave` entries
    // ("NAME=value") go to that program only.
    bool StartConsole(const QStringList& environment = {}) {
        return Start("Zandrel Software/Ferrolith/Tamberlo", {QStringLiteral("-openlast")}, "console", environment);
    }
    bool StartRecorder(const QStringList& environment = {}) {
        return Start("Zandrel Software/Vortamo/Vortamo", {QStringLiteral("#1")}, "recorder", environment);
    }
    bool StartCapture(const QStringList& environment = {}) {
        return Start("Zandrel Software/Ferrolith/Dravenor",
                     {QStringLiteral("#1"), QStringLiteral("-start"), QStringLiteral("-minimize")}, "capture",
                     environment);
    }
    bool StartAll() { return StartConsole() && StartRecorder() && StartCapture(); }
    // The recorder started here, stopped (SIGSTOP): it holds its queue but answers nothing.
    void HangRecorder() {
        for (auto& c : companions_)
            if (c.second == "recorder") ::kill(c.first->Pid(), SIGSTOP);
    }
    // Another program takes Halvane's queue name while Halvane's own queue is closed.
    bool TakeHalvanesQueueName() {
        auto& link = Frame().Link;
        link.OwnQueue = nullptr;
        link.OwnQueueObject.reset();
        link.QueueOpen = false;
        std::int32_t status = 0, result = 0;
        return link.MsgComponent->CreateQueue(status, result, QStringLiteral("Halvane"), &holderWindow_, 0x400, 0, 0,
                                              heldQueue_) == hv::S_OK &&
               result == 0;
    }
    // A current game that is being recorded.
    void MakeGameCurrent() {
        auto& f = Frame();
        std::lock_guard lock(f.FrameLock);
        f.GameFolder = QStringLiteral("2026-12-10\\19-30\\");
        f.GameStartLocal = {2026, 12, 10, 19, 30, 0, 0};
        f.ExecutionEnabled = true;
        f.Link.PollingEnabled = true;
    }

    ScriptedBoxes boxes;
    RuleSleeps sleeps;

private:
    bool Start(const char* program, const QStringList& args, const char* name, const QStringList& environment) {
        auto process = std::make_unique<hv::test::CompanionProcess>();
        if (!process->Start(program, args, Path(QString::fromLatin1(name)), environment)) return false;
        const bool ready = process->WaitForLine(QStringLiteral("ready"));
        companions_.emplace_back(std::move(process), name);
        return ready;
    }

    void WriteSlowSystemctl() {
        QDir().mkpath(Path("systemctl-bin"));
        QFile script(Path("systemctl-bin/systemctl"));
        if (!script.open(QIODevice::WriteOnly)) return;
        script.write(QStringLiteral("#!/bin/sh\necho $$ >> '%1'\nexec /bin/sleep %2\n")
                         .arg(Path("systemctl-runs"))
                         .arg(kSlowSystemctlSeconds)
                         .toUtf8());
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    // Whatever the case left running is killed and reaped.
    void EndEverything() {
        std::vector<pid_t> pids;
        if (frame_ && created_) {
            pids = frame_->Companions.Launcher().DetachedChildren();
            if (frame_->Companions.OstrimundProcess() > 0) pids.push_back(frame_->Companions.OstrimundProcess());
        }
        QFile runs(Path("systemctl-runs"));
        if (runs.open(QIODevice::ReadOnly))
            for (const QByteArray& line : runs.readAll().split('\n'))
                if (line.toInt() > 0) pids.push_back(line.toInt());
        for (const pid_t pid : pids) {
            ::kill(pid, SIGCONT);
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        for (auto& c : companions_) {
            ::kill(c.first->Pid(), SIGCONT);
            c.first->Kill();
        }
        companions_.clear();
    }

    QTemporaryDir root_;
    hv::ComponentFactory components_{hv::ComponentFactory::DefaultDirectory()};
    QObject holderWindow_;
    hv::ComponentPtr heldQueue_;
    std::unique_ptr<hv::CMainFrame> frame_;
    std::vector<std::pair<std::unique_ptr<hv::test::CompanionProcess>, std::string>> companions_;
    QByteArray path_;
    bool created_ = false;
};

// ---- the cases --------------------------------------------------------------------------

struct Case {
    const char* name;
    int kind;
    unsigned titleId;
    std::vector<unsigned> declines;            // questions answered No
    std::function<bool(World&)> prepare;       // false: the case could not be set up
    std::vector<const char*> shows;            // pieces of log lines or messages that prove the row
};

QString Text(unsigned id) { return hv::LoadStringOrMark(id); }

bool Fallback(World& w) {
    w.UseServiceFallback();
    return true;
}
bool WithGame(World& w) {
    w.MakeGameCurrent();
    return w.StartAll();
}

std::vector<Case> Cases() {
    using hv::kArchiveGame;
    using hv::kStartArchivedGame;
    using hv::kStartNewGame;
    using hv::kStopGame;
    auto env = [](const char* name, const char* value) {
        return [=](World& w) {
            w.UseServiceFallback();
            qputenv(name, value);
            return true;
        };
    };
    auto archiveWith = [](std::function<bool(World&)> more) {
        return [more](World& w) {
            w.UseServiceFallback();
            w.MakeGameCurrent();
            return more(w);
        };
    };
    return {
        // Start new game
        {"NewGame/Success/ScoreBoardComponent", kStartNewGame, 544, {}, [](World&) { return true; },
         {"OnFileRecStart SUCCEEDED"}},
        {"NewGame/Success/ScoreBoardService", kStartNewGame, 544, {}, Fallback, {"OnFileRecStart SUCCEEDED"}},
        {"NewGame/NotConfirmed", kStartNewGame, 544, {528}, Fallback, {"Are you ready to start the game?"}},
        {"NewGame/NoArchiveRoot", kStartNewGame, 544, {}, [](World& w) {
             w.Frame().Settings.CopyToPath.clear();
             return Fallback(w);
         }, {"Video archive root folder was not specified"}},
        {"NewGame/NoRecorderFolders", kStartNewGame, 544, {}, [](World& w) {
             w.Frame().Settings.CopyFromPathList.clear();
             return Fallback(w);
         }, {"Vortamo root folder was not specified"}},
        {"NewGame/QueueCannotBeOpened", kStartNewGame, 544, {}, [](World& w) {
             return Fallback(w) && w.TakeHalvanesQueueName();
         }, {"Can't create local queue"}},
        {"NewGame/RecorderDoesNotStartUserDeclines", kStartNewGame, 544, {532}, env("VORTAMO_MISBEHAVE", "no-start"),
         {"Can't start Vortamo!"}},
        {"NewGame/RecorderDoesNotAnswer", kStartNewGame, 544, {}, env("VORTAMO_MISBEHAVE", "silent"),
         {"No answer from Vortamo!"}},
        {"NewGame/RecorderClockOff", kStartNewGame, 544, {}, env("VORTAMO_CLOCK_SKEW_MS", "2000"),
         {"too big time offset"}},
        {"NewGame/ScoreBoardNotResetUserDeclines", kStartNewGame, 544, {533}, [](World&) {
             qputenv("SCOREBOARD_MISBEHAVE", "stuck");
             return true;
         }, {"Can't reset score board info - user cancel!"}},
        {"NewGame/RecorderDoesNotRecord", kStartNewGame, 544, {}, env("VORTAMO_MISBEHAVE", "no-record"),
         {"Vortamo can't start recording!"}},
        {"NewGame/ConsoleSilent", kStartNewGame, 544, {}, env("TAMBERLO_MISBEHAVE", "silent"),
         {"OnFileRecStart ERROR - no answer from Kestrilo!"}},
        // Stop the game
        {"StopGame/Success", kStopGame, 545, {}, WithGame, {"OnFileRecStop SUCCEEDED"}},
        {"StopGame/NotConfirmed", kStopGame, 545, {529}, WithGame, {"Are you ready to stop the game?"}},
        {"StopGame/StopGameRefused", kStopGame, 545, {}, [](World& w) {
             w.MakeGameCurrent();
             return w.StartConsole({QStringLiteral("TAMBERLO_MISBEHAVE=refuse-stopgame")}) && w.StartRecorder() &&
                    w.StartCapture();
         }, {"Can't send command #1 to Kestrilo!", "OnFileRecStop SUCCEEDED"}},
        {"StopGame/RecorderGone", kStopGame, 545, {}, [](World& w) {
             w.MakeGameCurrent();
             return w.StartConsole() && w.StartCapture();
         }, {"Can't send command #2 to Vortamo!", "Can't send command #3 to Vortamo!"}},
        // Not a row of the workflow: a recorder that holds its queue but is stuck.
        {"StopGame/RecorderHung", kStopGame, 545, {}, [](World& w) {
             w.MakeGameCurrent();
             const bool started = w.StartAll();
             w.HangRecorder();
             return started;
         }, {"Can't send command #2 to Vortamo!"}},
        // Archive the game
        {"ArchiveGame/Success/ScoreBoardComponent", kArchiveGame, 543, {}, WithGame, {"OnFileReset SUCCEEDED"}},
        {"ArchiveGame/Success/ScoreBoardService", kArchiveGame, 543, {}, archiveWith([](World& w) { return w.StartAll(); }),
         {"OnFileReset SUCCEEDED"}},
        {"ArchiveGame/NotConfirmed", kArchiveGame, 543, {527}, archiveWith([](World& w) { return w.StartAll(); }),
         {"Are you ready to archive the game?"}},
        {"ArchiveGame/FilesStillToCopy", kArchiveGame, 543, {}, archiveWith([](World& w) {
             auto& f = w.Frame();
             std::lock_guard lock(f.FrameLock);
             f.Copies.push_back(hv::CopyItem{QFile::encodeName(w.Path("rec1/a.mp4")), QFile::encodeName(w.Path("archive/a.mp4")),
                                             hv::Clock::System().TickCountMs() + 3'600'000});
             return true;
         }), {"Need Copy Files"}},
        {"ArchiveGame/CaptureWillNotClose", kArchiveGame, 543, {}, archiveWith([](World& w) {
             return w.StartConsole() && w.StartRecorder() &&
                    w.StartCapture({QStringLiteral("DRAVENOR_MISBEHAVE=refuse-exit")});
         }), {"Can't close Dravenor!", "OnFileReset SUCCEEDED"}},
        {"ArchiveGame/ConsoleWillNotClose", kArchiveGame, 543, {}, archiveWith([](World& w) {
             return w.StartConsole({QStringLiteral("TAMBERLO_MISBEHAVE=ignore-exit")}) && w.StartRecorder() &&
                    w.StartCapture();
         }), {"Can't close Kestrilo!", "OnFileReset SUCCEEDED"}},
        {"ArchiveGame/RecorderWillNotClose", kArchiveGame, 543, {}, archiveWith([](World& w) {
             return w.StartConsole() && w.StartRecorder({QStringLiteral("VORTAMO_MISBEHAVE=ignore-exit")}) &&
                    w.StartCapture();
         }), {"Can't close Vortamo!", "OnFileReset SUCCEEDED"}},
        {"ArchiveGame/StorageManagerDoesNotStart", kArchiveGame, 543, {}, archiveWith([](World& w) {
             w.Frame().Settings.OstrimundExePath = w.Path("no-such-program");
             return w.StartAll();
         }), {"Can't start Ostrimund!"}},
        {"ArchiveGame/ScoreBoardResetFails", kArchiveGame, 543, {}, [](World& w) {
             w.UseNoScoreBoardAtAll();
             w.MakeGameCurrent();
             return w.StartAll();
         }, {"OnFileReset SUCCEEDED"}},
        {"ArchiveGame/PlayerCannotBeSetUp", kArchiveGame, 543, {}, archiveWith([](World& w) {
             w.Frame().Settings.PlayerRegName = QStringLiteral("Missing.Player");
             return w.StartAll();
         }), {"Can't init Lumentra player", "OnFileReset SUCCEEDED"}},
        // Start archived game
        {"RestoreGame/Success", kStartArchivedGame, 546, {}, [](World&) { return true; },
         {"OnFileOldStart SUCCEEDED"}},
        {"RestoreGame/NoArchiveRoot", kStartArchivedGame, 546, {}, [](World& w) {
             w.Frame().Settings.CopyToPath.clear();
             return true;
         }, {"Video archive root folder was not specified"}},
        {"RestoreGame/ConsoleSilent", kStartArchivedGame, 546, {}, [](World&) {
             qputenv("TAMBERLO_MISBEHAVE", "silent");
             return true;
         }, {"OnFileOldStart ERROR - no answer from Kestrilo!"}},
        {"RestoreGame/NoPeriods", kStartArchivedGame, 546, {}, [](World&) {
             qputenv("TAMBERLO_MISBEHAVE", "no-periods");
             return true;
         }, {"no periods info!"}},
    };
}

struct Measured {
    bool ok = false;
    double ownWaitMs = 0, waitMs = 0, ruleSleepMs = 0, stepMs = 0, eventMs = 0, wallMs = 0;
    std::int32_t slowestStep = 0;
    std::string longestEvent;  // what the longest event was delivered to
    std::string missing;  // what the case did not show
};

Measured RunCase(const Case& c) {
    Measured m;
    World world;
    if (!world.Created()) {
        m.missing = "the frame could not be created";
        return m;
    }
    for (unsigned id : c.declines) world.boxes.declines.push_back(Text(id));
    if (!c.prepare(world)) {
        m.missing = "the case could not be set up";
        return m;
    }
    Log().Clear();
    world.sleeps.Clear();
    TimedSteps steps(world.Frame(), world.sleeps);
    hv::CShowProgress dialog(&steps, c.titleId, c.kind);
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &dialog, [&] { dialog.End(); });
    limit.start(kCaseLimitMs);
    EventProbe probe(world.sleeps);
    App()->Watch(&world.sleeps, EventProbe::Type());
    probe.Start();
    const auto start = Steady::now();
    dialog.exec();
    m.wallMs = MsBetween(start, Steady::now());
    probe.Stop();
    App()->StopWatching();
    m.eventMs = App()->longestMs;
    m.longestEvent = App()->longestWhat;
    m.ownWaitMs = probe.LongestOwnMs();
    m.waitMs = probe.LongestMs();
    m.ruleSleepMs = world.sleeps.TotalMs();
    m.stepMs = steps.longestMs;
    m.slowestStep = steps.slowestStep;
    m.ok = true;
    for (const char* piece : c.shows) {
        const bool inBoxes = std::any_of(world.boxes.shown.begin(), world.boxes.shown.end(),
                                         [&](const QString& t) { return t.contains(QString::fromUtf8(piece)); });
        if (!inBoxes && !Log().Contains(piece)) {
            m.ok = false;
            m.missing += (m.missing.empty() ? "" : "; ") + std::string(piece);
        }
    }
    // HALVANE_BENCH_VERBOSE=1: the lines and messages of a case that did not take its row.
    if (!m.ok && qEnvironmentVariableIntValue("HALVANE_BENCH_VERBOSE") == 1) {
        std::fprintf(stderr, "---- %s: lines\n%s---- messages\n", c.name, Log().All().c_str());
        for (const QString& t : world.boxes.shown) std::fprintf(stderr, "%s\n", qPrintable(t));
    }
    return m;
}

void BM_Workflow(benchmark::State& state, const Case& c) {
    for (auto _ : state) {
        const Measured m = RunCase(c);
        state.SetIterationTime(m.wallMs / 1000);
        state.counters["ok"] = m.ok ? 1 : 0;
        state.counters["own_wait_ms"] = m.ownWaitMs;
        state.counters["wait_ms"] = m.waitMs;
        state.counters["rule_sleep_ms"] = m.ruleSleepMs;
        state.counters["step_ms"] = m.stepMs;
        state.counters["slowest_step"] = m.slowestStep;
        state.counters["event_ms"] = m.eventMs;
        state.counters["wall_s"] = m.wallMs / 1000;
        state.SetLabel((m.missing.empty() ? std::string() : "not seen: " + m.missing + "; ") + "longest event: " +
                       m.longestEvent);
    }
}

// ---- the waits kept on purpose ----------------------------------------------------------

// A folder on the build's disk (not /tmp, which may be memory), as the program's log and
// archive would be.
QString DiskFolder(const char* name) {
    const QString folder = QCoreApplication::applicationDirPath() + QStringLiteral("/bench-latency/") + QLatin1String(name);
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    return folder;
}

void LogLine(hv::DiagnosticLog& log, const char* format, ...) {
    va_list args;
    va_start(args, format);
    log.Write(format, args);
    va_end(args);
}

void BM_LogLine(benchmark::State& state) {
    const QString folder = DiskFolder("log");
    {
        hv::DiagnosticLog log(folder.toStdString(), "Halvane", folder.toStdString(), hv::Clock::System());
        double longestMs = 0;
        for (auto _ : state) {
            const auto from = Steady::now();
            LogLine(log, "Halvane::AcceptConnection START\n");
            longestMs = std::max(longestMs, MsBetween(from, Steady::now()));
        }
        state.counters["longest_ms"] = longestMs;
    }
    QDir(folder).removeRecursively();
}

void BM_RefreshCsv(benchmark::State& state) {
    const QString root = DiskFolder("archive") + u'/';
    double longestMs = 0;
    for (auto _ : state) {
        const auto from = Steady::now();
        const auto result = hv::ArchiveRefresh::Write(root, {2026, 12, 10, 19, 30, 0, 0}, hv::Clock::System().LocalNow());
        longestMs = std::max(longestMs, MsBetween(from, Steady::now()));
        if (result.What != hv::ArchiveRefresh::Outcome::Written) state.SkipWithError("refresh.csv not written");
    }
    state.counters["longest_ms"] = longestMs;
    QDir(root).removeRecursively();
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Traces are kept to see which row a case took (the step functions' lines).
    hv::SetTraceSink([](std::string_view line) { Log().Add(line); });
    TimedApplication app(argc, argv);
    hv::UiLanguage::Instance().Init(QString(), QStringLiteral("Halvane"));
    static const std::vector<Case> cases = Cases();
    for (const Case& c : cases)
        benchmark::RegisterBenchmark(c.name, BM_Workflow, c)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);
    benchmark::RegisterBenchmark("BM_LogLine", BM_LogLine)->Unit(benchmark::kMillisecond)->Iterations(200);
    benchmark::RegisterBenchmark("BM_RefreshCsv", BM_RefreshCsv)->Unit(benchmark::kMillisecond)->Iterations(100);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
