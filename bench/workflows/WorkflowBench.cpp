// The four game workflows as the operator runs them on a game night, in the real progress
// dialog with the real clock, against the simulated suite's programs run as processes:
// Start new game, a few seconds of game, Stop the game, the recordings copied to the
// archive, Archive the game (the storage manager closes itself after 2 s), Start archived
// game. One night per repetition.
//
// Reported for each workflow (counters new_*, stop_*, archive_*, restore_*):
//   *_wall_s   from the dialog's opening to its end
//   *_sched_s  the waits the workflow's schedule prescribes for the path it took: the
//              first tick (100 ms); after each step that acted, the wait it set before the
//              next step (at least one tick, rounded up to whole ticks; Stop the game waits
//              one second past the deadline in its phases 400 and 600); the storage
//              manager's 2 s; and the sleeps the GUI thread is told to take (the score
//              board reset). A poll that finds no answer yet is part of the schedule too:
//              how fast a companion answers is the companion's time, not the workflow's.
//   *_ratio    wall / sched: what the workflow adds to its schedule (goal: under 1.1)
//   *_wait_ms  the longest time an event posted to the GUI thread waited while the
//              workflow ran (one is posted every 5 ms from another thread; goal: under 50)
//   *_step_ms  the longest single call of the step function, *_slowest_step its step number
//   *_ok       1 when the workflow logged its success line
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

// What one workflow's schedule holds beyond its deadlines.
struct Schedule {
    int kind;
    unsigned titleId;      // the dialog's caption
    const char* name;      // counter prefix
    const char* function;  // the step function, as its log lines name it
    // Steps that act only one second after their deadline.
    std::int32_t lateFrom = -1, lateTo = -1, lateAlso = -1;
    // The step that waits for the storage manager to be closed, which takes this long.
    std::int32_t storageStep = -1;
};

const Schedule kNight[] = {
    {hv::kStartNewGame, 544, "new", "OnFileRecStart"},
    {hv::kStopGame, 545, "stop", "OnFileRecStop", 400, 410, 600},
    {hv::kArchiveGame, 543, "archive", "OnFileReset", -1, -1, -1, 501},
    {hv::kStartArchivedGame, 546, "restore", "OnFileOldStart"},
};

// Runs the frame's step function for the dialog and keeps the workflow's schedule.
class ScheduledSteps final : public hv::IWorkflowSteps {
public:
    ScheduledSteps(hv::CMainFrame& frame, const Schedule& schedule) : frame_(frame), schedule_(schedule) {}

    bool RunWorkflowStep(int kind, std::int32_t& step, std::uint32_t& deadline, hv::CShowProgress& dialog) override {
        const std::int32_t stepBefore = step;
        const std::uint32_t deadlineBefore = deadline;
        const std::uint32_t tick = hv::Clock::System().TickCountMs();
        const auto start = Steady::now();
        const bool goOn = frame_.RunWorkflowStep(kind, step, deadline, dialog);
        if (const double ms = MsSince(start); ms > longestStepMs) {
            longestStepMs = ms;
            slowestStep = stepBefore;
        }
        ++calls;
        if (!goOn || (step == stepBefore && deadline == deadlineBefore)) return goOn;
        ++acted;
        std::int64_t waitMs = hv::TickDiffMs(deadline, tick);
        if ((step >= schedule_.lateFrom && step <= schedule_.lateTo) || step == schedule_.lateAlso) waitMs += 1000;
        if (step == schedule_.storageStep) waitMs = std::max<std::int64_t>(waitMs, kStorageManagerMs);
        scheduledMs += std::max(kTickMs, (waitMs + kTickMs - 1) / kTickMs * kTickMs);
        return goOn;
    }

    int calls = 0;
    int acted = 0;
    double scheduledMs = kTickMs;  // the first tick
    double longestStepMs = 0;
    std::int32_t slowestStep = 0;  // the step number its longest call started from

private:
    hv::CMainFrame& frame_;
    const Schedule& schedule_;
};

struct Measured {
    bool built = false;
    bool succeeded = false;
    double wallMs = 0;
    double scheduledMs = 0;
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
        std::string notBuilt;
        for (const Schedule& schedule : kNight) {
            const Measured m = world.Run(schedule);
            wallMs += m.wallMs;
            if (!m.built) {
                notBuilt += notBuilt.empty() ? schedule.function : std::string(", ") + schedule.function;
                continue;
            }
            const std::string prefix = std::string(schedule.name) + "_";
            state.counters[prefix + "wall_s"] = m.wallMs / 1000;
            state.counters[prefix + "sched_s"] = m.scheduledMs / 1000;
            state.counters[prefix + "ratio"] = m.wallMs / m.scheduledMs;
            state.counters[prefix + "wait_ms"] = m.longestWaitMs;
            state.counters[prefix + "step_ms"] = m.longestStepMs;
            state.counters[prefix + "slowest_step"] = m.slowestStep;
            state.counters[prefix + "ok"] = m.succeeded ? 1 : 0;
            if (!m.succeeded) continue;
            if (schedule.kind == hv::kStartNewGame) Night::Pass(8000);  // a period starts after 5 s
            if (schedule.kind == hv::kStopGame)
                Night::Pass(60'000, [&] { return !world.Frame().IsCopyBusy(); });
        }
        state.SetIterationTime(wallMs / 1000);
        if (!notBuilt.empty()) state.SetLabel("not built: " + notBuilt);
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
