// "Start archived game": brings a game restored from the archive back to Crestron. The
// game state is cleared, the referee console runs with its last game open, and once it has
// reported the game's periods the game starts where its first period started and the
// archive's "refresh.csv" names it again. Nothing is recorded. GUI thread, one step per
// tick of the progress dialog.
#include "app/MainFrame.h"
#include "app/WorkflowTick.h"
#include "language/Language.h"
#include "log/DiagnosticLog.h"
#include "platform/Trace.h"

namespace hv {

namespace {

// Steps, in hundreds per phase.
constexpr std::int32_t kRunConsole = 100;
constexpr std::int32_t kWaitConsole = 200;
constexpr std::int32_t kWaitConsoleLast = 210;   // 1 s, then ten more checks 2 s apart
constexpr std::int32_t kWaitPeriods = 300;
constexpr std::int32_t kWaitPeriodsLast = 320;   // 1 s, then twenty more checks 2 s apart
constexpr std::int32_t kFinish = 900;

constexpr std::uint32_t kFirstCheckMs = 1000;
constexpr std::uint32_t kRecheckMs = 2000;
constexpr std::uint32_t kFinishDelayMs = 100;

}  // namespace

// The phases: reset the game (0), run the referee console (100), wait for it (200), wait
// for the game's periods and name the game again (300), done (900).
bool CMainFrame::OnFileOldStart(std::int32_t& step, std::uint32_t& deadline, CShowProgress& dialog) {
    WorkflowTick tick{step, deadline, dialog, TickNow()};
    if (step < kRunConsole) return StartArchivedGame_ResetGame(tick);
    if (step == kFinish) return StartArchivedGame_Finish(tick);
    if (TickDiffMs(tick.now, deadline) < 0) return true;
    if (step < kWaitConsole) return StartArchivedGame_RunReferee(tick);
    if (step < kWaitPeriods) return StartArchivedGame_WaitReferee(tick);
    return StartArchivedGame_WaitPeriods(tick);
}

bool CMainFrame::StartArchivedGame_ResetGame(WorkflowTick& tick) {
    tick.dialog.SetStepText(QStringLiteral("Init & check files"));
    if (Settings.CopyToPath.isEmpty()) {
        ShowBox(LoadStringOrMark(530), BoxIcon::Error);
        return false;
    }
    WriteLog("Halvane::Menu File->Start archived game.\n");
    Link.ResetGameState();
    Game.Clear();
    StopPlayback();
    ExecutionEnabled = true;
    return tick.Next(kRunConsole, tick.now, 1);
}

bool CMainFrame::StartArchivedGame_RunReferee(WorkflowTick& tick) {
    // A console that already runs keeps its game; the reset above still makes the
    // workflow wait for a message of its own.
    if (Link.IsQueueNameFree(QStringLiteral("Kestrilo"), this)) {
        tick.dialog.SetStepText(QStringLiteral("Run Kestrilo"));
        Companions.StartCompanion(Settings.TamberloExePath, {QStringLiteral("-openlast")}, WindowShow::Normal);
    }
    Link.PollingEnabled = true;
    tick.dialog.SetStepText(QStringLiteral("Wait Kestrilo start"));
    return tick.Next(kWaitConsole, tick.now + kFirstCheckMs, 2);
}

bool CMainFrame::StartArchivedGame_WaitReferee(WorkflowTick& tick) {
    if (Link.KestriloSpoken) {
        tick.dialog.SetStepText(QStringLiteral("Wait Period's Info"));
        return tick.Next(kWaitPeriods, tick.now + kFirstCheckMs, 32);
    }
    if (tick.AgainUntil(kWaitConsoleLast, kRecheckMs, 598, 3)) return true;
    LogAndShow("Halvane::OnFileOldStart ERROR - no answer from Kestrilo!\n", 540, BoxIcon::Error);
    return false;
}

bool CMainFrame::StartArchivedGame_WaitPeriods(WorkflowTick& tick) {
    CalendarTime local{};
    const FileTime firstStart = StartArchivedGame_FirstPeriodStart(local);
    if (firstStart != 0) {
        Game.SetGameStartTime(firstStart);
        {
            // The copy worker reads the game's start when it rewrites "refresh.csv".
            std::lock_guard lock(FrameLock);
            GameStartLocal = local;
        }
        tick.dialog.SetStepText(QStringLiteral("Save info for video archive server"));
        WriteArchiveRefresh(environment_.MessageBoxes);
        return tick.Next(kFinish, tick.now + kFinishDelayMs, 99);
    }
    if (tick.AgainUntil(kWaitPeriodsLast, kRecheckMs, 865, 3)) return true;
    LogAndShow("Halvane::OnFileOldStart ERROR - no periods info!\n", 550, BoxIcon::Error);
    return false;
}

FileTime CMainFrame::StartArchivedGame_FirstPeriodStart(CalendarTime& local) {
    // A period list whose first period has no start (a console that has not started the
    // game's clock) is no game start yet: taken as it is, it would restore a game that
    // started in 1601. Nor is a start that has no local time (beyond what the calendar
    // converts): it would name the game "0000-00-00-00-00".
    if (Link.CurrentPeriod < 0) return 0;
    const FileTime firstStart = Game.GetSnapshot().Periods[1].Start;
    if (firstStart == 0) {
        Trace(QStringLiteral("Halvane::OnFileOldStart - the first period has no start yet, waiting\n"));
        return 0;
    }
    local = environment_.TimeSource->LocalCalendar(firstStart);
    if (local.year == 0) {
        Trace(QStringLiteral("Halvane::OnFileOldStart - the first period's start has no local time, waiting\n"));
        return 0;
    }
    return firstStart;
}

bool CMainFrame::StartArchivedGame_Finish(WorkflowTick& tick) {
    tick.dialog.SetStepText(QStringLiteral("..."));
    return EndWorkflow(tick, "Halvane::OnFileOldStart SUCCEEDED.\n", 551);
}

}  // namespace hv
