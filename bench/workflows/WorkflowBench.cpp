// The four game workflows as the operator runs them on a game night, in the real progress
// dialog with the real clock, against the simulated suite's programs run as processes:
// Start new game, a few seconds of game, Stop the game, the recordings copied to the
// archive, Archive the game (the storage manager closes itself after 2 s), Start archived
// game. One night per repetition.
//
// Reported for each workflow (counters new_*, stop_*, archive_*, restore_*):
//   *_ok       1 when the workflow logged its success line, else 0 (always reported; the
//              label names the workflows that failed). The other counters are reported
//              only for a run that succeeded, so that the aggregates take succeeded runs.
//   *_wall_s   from the dialog's opening to its end
//   *_sched_s  the waits of the workflows' own rules on the success path, with companions
//              that answer in time: the first tick (100 ms); for each phase change the
//              workflow made, the wait its rule (the table below) gives before the next
//              step (at least one tick, rounded up to whole ticks; one second more where the
//              next step acts one second past its deadline); the storage manager's 2 s; and
//              the sleeps the program's rules give the GUI thread (the score board reset).
//              The first check of each wait is taken to find what it waits for.
//   *_polls, *_poll_s  the further checks of the waits the run took and the waits their
//              rules give: time spent on slower companions (or a workflow that checks more
//              often than it should), kept out of the schedule and so inside the ratio
//   *_mismatch the phase changes that the table does not have, or whose deadline was set
//              another distance ahead than its rule gives (0 when the workflow keeps to it)
//   *_ratio    wall / sched (goal: under 1.1)
//   *_wait_ms  the longest time an event posted to the GUI thread waited while the
//              workflow ran (one is posted every 5 ms from another thread; goal: under 50)
//   *_step_ms  the longest single call of the step function, *_slowest_step its step number
// A workflow whose step function ends on its first tick without a step is not built in this
// tree: its counters are left out and the label names it.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEvent>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/MainFrame.h"
#include "platform/Trace.h"

namespace {

using Steady = std::chrono::steady_clock;

constexpr std::int64_t kTickMs = hv::CShowProgress::kTickMs;
constexpr int kStorageManagerMs = 2000;
constexpr int kWorkflowLimitMs = 180'000;

double MsSince(Steady::time_point start) {
    return std::chrono::duration<double, std::milli>(Steady::now() - start).count();
}

// Every question is answered Yes, every message taken at once.
class YesBoxes final : public hv::IMessageBoxes {
public:
    hv::BoxAnswer Show(const QString&, hv::BoxIcon, hv::BoxButtons buttons) override {
        return buttons == hv::BoxButtons::YesNo ? hv::BoxAnswer::Yes : hv::BoxAnswer::Ok;
    }
};

class NoTray final : public hv::ITrayBackend {
public:
    bool Add(const QIcon&, const QString&) override { return true; }
    void SetIcon(const QIcon&) override {}
    void SetToolTip(const QString&) override {}
    void Remove() override {}
    QAction* ShowMenu(QMenu&) override { return nullptr; }
};

// The machine's service manager is left alone.
class NoServices final : public hv::IServiceControl {
public:
    bool OpenManager() override { return true; }
    void StopService(const QString&) override {}
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

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

LogLines& Log() {
    static LogLines lines;
    return lines;
}

// Events posted to the GUI thread from another thread every 5 ms; each notes how long it
// waited to be handled.
class EventProbe final : public QObject {
public:
    ~EventProbe() override { Stop(); }
    void Start() {
        longestMs_ = 0;
        running_ = true;
        poster_ = std::thread([this] {
            while (running_) {
                QCoreApplication::postEvent(this, new Stamped(Steady::now()));
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }
    // Stops posting and takes the events still on their way.
    double Stop() {
        if (!poster_.joinable()) return longestMs_;
        running_ = false;
        poster_.join();
        QCoreApplication::sendPostedEvents(this, kType);
        return longestMs_;
    }

protected:
    bool event(QEvent* e) override {
        if (e->type() != kType) return QObject::event(e);
        longestMs_ = std::max(longestMs_, MsSince(static_cast<Stamped*>(e)->posted));
        return true;
    }

private:
    static inline const QEvent::Type kType = static_cast<QEvent::Type>(QEvent::registerEventType());
    struct Stamped final : QEvent {
        explicit Stamped(Steady::time_point t) : QEvent(kType), posted(t) {}
        Steady::time_point posted;
    };
    std::atomic<bool> running_{false};
    std::thread poster_;
    double longestMs_ = 0;  // GUI thread
};

// One phase change of a workflow as its rule has it: leaving a step of [from, fromLast]
// for the step `to` (kNextStep: the next check of the same wait), the step sets its
// deadline `waitMs` ahead of its tick.
constexpr std::int32_t kNextStep = -1;
struct Change {
    std::int32_t from, fromLast, to;
    std::int64_t waitMs;
    // A further check of a wait: on the success path with working companions the first
    // check finds what it waits for, so these are counted apart from the schedule.
    bool poll = false;
    // The next step acts only one second past its deadline.
    bool late = false;
    // The step may instead leave its deadline as it was (a companion that already runs
    // is not started, and its wait is not set).
    bool mayKeepDeadline = false;
    // The step that follows waits at least this long for something outside the program
    // (the storage manager closes itself after 2 s).
    std::int64_t atLeastMs = 0;
};

// Start new game: the recorder started and probed 5 s later, Dravenor and 5 s for the
// recorder's answer, 300 ms, the console started and 1 s, the start time and 1 s for the
// recording, 3 s for the console, 100 ms.
const Change kNewGameChanges[] = {
    {0, 0, 100, 0},
    {100, 100, 200, 0},
    {200, 200, 201, 5000, false, false, true},
    {201, 219, kNextStep, 1000, true},
    {201, 220, 300, 0},
    {300, 300, 400, 5000},
    {400, 429, kNextStep, 1000, true},
    {400, 430, 500, 300},
    {500, 500, 600, 1000},
    {600, 600, 700, 1000},
    {700, 724, kNextStep, 1000, true},
    {700, 725, 800, 3000},
    {800, 809, kNextStep, 2000, true},
    {800, 810, 900, 100},
};

// Stop the game: both commands taken at the first try (retries 333 ms apart), the fixed
// wait of eleven steps one second past a deadline one second ahead, the copy planned,
// one second past the deadline to close the recorder.
const Change kStopGameChanges[] = {
    {0, 0, 100, 0},
    {100, 103, kNextStep, 333, true},
    {100, 104, 200, 0},
    {200, 203, kNextStep, 333, true},
    {200, 204, 300, 0},
    {300, 300, 400, 0, false, true},
    {400, 409, kNextStep, 1000, false, true},
    {410, 410, 500, 0},
    {500, 500, 600, 0, false, true},
    {600, 600, 700, 0},
};

// Archive the game: 1 s after the closing messages, 1 s after the recorder's "Exit", each
// companion gone at its first check (checks 1 s apart), the storage manager.
const Change kArchiveGameChanges[] = {
    {0, 0, 100, 1000},
    {100, 100, 200, 1000},
    {200, 219, kNextStep, 1000, true},
    {200, 220, 300, 0},
    {300, 319, kNextStep, 1000, true},
    {300, 320, 400, 0},
    {400, 419, kNextStep, 1000, true},
    {400, 420, 500, 0},
    {500, 500, 501, 1000, false, false, false, kStorageManagerMs},
    {501, 501, 600, 0},
    {600, 600, 700, 0},
};

// Start archived game: the console started and 1 s, 1 s for the periods (checks 2 s
// apart), 100 ms.
const Change kRestoreChanges[] = {
    {0, 0, 100, 0},
    {100, 100, 200, 1000},
    {200, 209, kNextStep, 2000, true},
    {200, 210, 300, 1000},
    {300, 319, kNextStep, 2000, true},
    {300, 320, 900, 100},
};

struct Schedule {
    int kind;
    unsigned titleId;      // the dialog's caption
    const char* name;      // counter prefix
    const char* function;  // the step function, as its log lines name it
    const Change* changes;
    std::size_t changeCount;
};

template <std::size_t N>
constexpr Schedule MakeSchedule(int kind, unsigned titleId, const char* name, const char* function,
                                const Change (&changes)[N]) {
    return {kind, titleId, name, function, changes, N};
}

const Schedule kNight[] = {
    MakeSchedule(hv::kStartNewGame, 544, "new", "OnFileRecStart", kNewGameChanges),
    MakeSchedule(hv::kStopGame, 545, "stop", "OnFileRecStop", kStopGameChanges),
    MakeSchedule(hv::kArchiveGame, 543, "archive", "OnFileReset", kArchiveGameChanges),
    MakeSchedule(hv::kStartArchivedGame, 546, "restore", "OnFileOldStart", kRestoreChanges),
};

// Runs the frame's step function for the dialog; each phase change it makes is looked up
// in the workflow's rules for its changes, which give the schedule.
class ScheduledSteps final : public hv::IWorkflowSteps {
public:
    ScheduledSteps(hv::CMainFrame& frame, const Schedule& schedule) : frame_(frame), schedule_(schedule) {}

    bool RunWorkflowStep(int kind, std::int32_t& step, std::uint32_t& deadline, hv::CShowProgress& dialog) override {
        const std::int32_t stepBefore = step;
        const std::uint32_t deadlineBefore = deadline;
        const std::uint32_t tick = hv::Clock::System().TickCountMs();
        const auto start = Steady::now();
        const bool goOn = frame_.RunWorkflowStep(kind, step, deadline, dialog);
        const double stepMs = MsSince(start);
        if (stepMs > longestStepMs) {
            longestStepMs = stepMs;
            slowestStep = stepBefore;
        }
        ++calls;
        if (!goOn || (step == stepBefore && deadline == deadlineBefore)) return goOn;
        ++acted;
        const Change* change = Find(stepBefore, step);
        if (change == nullptr) {
            ++mismatches;  // a phase change the workflow's rules do not have
            return goOn;
        }
        // The deadline is set from the step's own reading of the tick, a little after ours.
        const std::int64_t setMs = hv::TickDiffMs(deadline, tick);
        const bool kept = change->mayKeepDeadline && deadline == deadlineBefore;
        if (!kept && (setMs < change->waitMs - 1 || setMs > change->waitMs + static_cast<std::int64_t>(stepMs) + 2))
            ++mismatches;
        std::int64_t waitMs = (kept ? 0 : change->waitMs) + (change->late ? 1000 : 0);
        waitMs = std::max(waitMs, change->atLeastMs);
        const std::int64_t ticksMs = std::max(kTickMs, (waitMs + kTickMs - 1) / kTickMs * kTickMs);
        if (change->poll) {
            ++polls;
            pollMs += ticksMs;
        } else {
            scheduledMs += ticksMs;
        }
        return goOn;
    }

    int calls = 0;
    int acted = 0;
    int mismatches = 0;    // phase changes the rules do not have, or with another wait
    int polls = 0;         // further checks of a wait
    double pollMs = 0;     // the waits their rules give
    double scheduledMs = kTickMs;  // the first tick
    double longestStepMs = 0;
    std::int32_t slowestStep = 0;  // the step number its longest call started from

private:
    const Change* Find(std::int32_t from, std::int32_t to) const {
        for (std::size_t i = 0; i < schedule_.changeCount; ++i) {
            const Change& c = schedule_.changes[i];
            if (from >= c.from && from <= c.fromLast && to == (c.to == kNextStep ? from + 1 : c.to)) return &c;
        }
        return nullptr;
    }

    hv::CMainFrame& frame_;
    const Schedule& schedule_;
};

struct Measured {
    bool built = false;
    bool succeeded = false;
    double wallMs = 0;
    double scheduledMs = 0;
    int mismatches = 0;
    int polls = 0;
    double pollMs = 0;
    double longestWaitMs = 0;
    double longestStepMs = 0;
    std::int32_t slowestStep = 0;
};

// One night's world: settings, recorder and archive folders, the console's state folder,
// and the frame.
class Night {
public:
    Night() {
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
        const QString rec1 = root_.filePath("rec1"), rec2 = root_.filePath("rec2"), archive = root_.filePath("archive");
        for (const QString& folder : {rec1, rec2, archive, root_.filePath("tamberlo")}) QDir().mkpath(folder);
        QSettings settings(QSettings::NativeFormat, QSettings::UserScope, "Tervanix", "Halvane");
        settings.setValue("Settings/Port", 0);  // any free port
        settings.setValue("Settings/PlayerRegName", "Lumentra.Main");
        settings.setValue("Settings/CopyToPath", archive);
        settings.setValue("Settings/CopyFromPathList", rec1 + ";" + rec2);
        settings.setValue("Settings/CopyRateLimit_MBperSEC", 99);
        settings.sync();
        // The companions the workflows start inherit these.
        qputenv("TAMBERLO_STATE_DIR", root_.filePath("tamberlo").toLocal8Bit());
        qputenv("VORTAMO_ROOTS", (rec1 + ";" + rec2).toLocal8Bit());
        qputenv("OSTRIMUND_EXIT_AFTER_MS", QByteArray::number(kStorageManagerMs));

        hv::CMainFrame::Environment environment;
        environment.Components = &components_;
        environment.MessageBoxes = &boxes_;
        environment.Settings.Components = &components_;
        environment.Settings.ExecutablePath = root_.filePath("bin/Halvane");
        environment.Settings.AutostartFolder = root_.filePath("autostart");
        environment.TrayBackend = [](std::function<void(hv::TrayClick)>) -> std::unique_ptr<hv::ITrayBackend> {
            return std::make_unique<NoTray>();
        };
        environment.Services = &services_;
        environment.Sleep = [this](int ms) {
            sleptMs_ += ms;
            QThread::msleep(static_cast<unsigned long>(ms));
        };
        frame_ = std::make_unique<hv::CMainFrame>(std::move(environment));
        created_ = frame_->Create();
    }

    ~Night() {
        EndCompanions();
        frame_.reset();
        for (const char* name : {"TAMBERLO_STATE_DIR", "VORTAMO_ROOTS", "OSTRIMUND_EXIT_AFTER_MS"}) qunsetenv(name);
    }

    bool Created() const { return created_; }
    hv::CMainFrame& Frame() { return *frame_; }

    Measured Run(const Schedule& schedule) {
        Measured m;
        Log().Clear();
        ScheduledSteps steps(*frame_, schedule);
        const double sleptBefore = sleptMs_;
        hv::CShowProgress dialog(&steps, schedule.titleId, schedule.kind);
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, &dialog, [&] { dialog.End(); });
        limit.start(kWorkflowLimitMs);
        probe_.Start();
        const auto start = Steady::now();
        dialog.exec();
        m.wallMs = MsSince(start);
        m.longestWaitMs = probe_.Stop();
        m.built = steps.calls > 1 || steps.acted > 0;
        m.succeeded = Log().Contains(std::string("Halvane::") + schedule.function + " SUCCEEDED.");
        m.scheduledMs = steps.scheduledMs + (sleptMs_ - sleptBefore);
        m.mismatches = steps.mismatches;
        m.polls = steps.polls;
        m.pollMs = steps.pollMs;
        m.longestStepMs = steps.longestStepMs;
        m.slowestStep = steps.slowestStep;
        return m;
    }

    // Runs the event loop for a while (the game goes on, the copies are made).
    static void Pass(int ms, const std::function<bool()>& done = {}) {
        QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired() && !(done && done())) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }

private:
    // Whatever still runs is told to end, and killed when it does not.
    void EndCompanions() {
        if (!frame_ || !created_) return;
        frame_->Link.SendToKestrilo(QStringLiteral("Exit"));
        frame_->Link.SendToVortamo(QStringLiteral("Exit"));
        if (!frame_->Link.IsQueueNameFree(QStringLiteral("Dravenor1"), frame_.get())) frame_->Companions.StopDravenor();
        for (const pid_t pid : frame_->Companions.Launcher().DetachedChildren()) {
            Pass(5000, [pid] { return hv::ProcessLauncher::ChildEnded(pid); });
            if (hv::ProcessLauncher::ChildEnded(pid)) continue;
            ::kill(pid, SIGKILL);
            Pass(5000, [pid] { return hv::ProcessLauncher::ChildEnded(pid); });
        }
        if (const pid_t storage = frame_->Companions.OstrimundProcess(); storage > 0) {
            ::kill(storage, SIGTERM);
            Pass(5000, [storage] { return hv::ProcessLauncher::ChildEnded(storage); });
        }
    }

    QTemporaryDir root_;
    hv::ComponentFactory components_{hv::ComponentFactory::DefaultDirectory()};
    YesBoxes boxes_;
    NoServices services_;
    double sleptMs_ = 0;
    EventProbe probe_;
    std::unique_ptr<hv::CMainFrame> frame_;
    bool created_ = false;
};

void BM_GameNight(benchmark::State& state) {
    for (auto _ : state) {
        // Queue names of this night's own.
        static int night = 0;
        qputenv("ZANDREL_QUEUE_SCOPE",
                "halvane-bench-workflows-" + QByteArray::number(::getpid()) + "-" + QByteArray::number(++night));
        Night world;
        if (!world.Created()) {
            state.SkipWithError("the frame could not be created");
            return;
        }
        double wallMs = 0;
        std::string notBuilt, failed;
        for (const Schedule& schedule : kNight) {
            const Measured m = world.Run(schedule);
            wallMs += m.wallMs;
            if (!m.built) {
                notBuilt += notBuilt.empty() ? schedule.function : std::string(", ") + schedule.function;
                continue;
            }
            const std::string prefix = std::string(schedule.name) + "_";
            state.counters[prefix + "ok"] = m.succeeded ? 1 : 0;
            // A failed run took another path than the one scheduled: its figures stay out of
            // the aggregates (which take each counter over the runs that set it).
            if (!m.succeeded) {
                failed += failed.empty() ? schedule.function : std::string(", ") + schedule.function;
                continue;
            }
            state.counters[prefix + "wall_s"] = m.wallMs / 1000;
            state.counters[prefix + "sched_s"] = m.scheduledMs / 1000;
            state.counters[prefix + "ratio"] = m.wallMs / m.scheduledMs;
            state.counters[prefix + "polls"] = m.polls;
            state.counters[prefix + "poll_s"] = m.pollMs / 1000;
            state.counters[prefix + "mismatch"] = m.mismatches;
            state.counters[prefix + "wait_ms"] = m.longestWaitMs;
            state.counters[prefix + "step_ms"] = m.longestStepMs;
            state.counters[prefix + "slowest_step"] = m.slowestStep;
            if (schedule.kind == hv::kStartNewGame) Night::Pass(8000);  // a period starts after 5 s
            if (schedule.kind == hv::kStopGame)
                Night::Pass(60'000, [&] { return !world.Frame().IsCopyBusy(); });
        }
        state.SetIterationTime(wallMs / 1000);
        std::string label;
        if (!notBuilt.empty()) label = "not built: " + notBuilt;
        if (!failed.empty()) label += (label.empty() ? "" : "; ") + std::string("failed: ") + failed;
        if (!label.empty()) state.SetLabel(label);
    }
}
BENCHMARK(BM_GameNight)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Traces are kept only for the workflows' result lines.
    hv::SetTraceSink([](std::string_view line) {
        if (line.rfind("Halvane::On", 0) == 0) Log().Add(line);
    });
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
