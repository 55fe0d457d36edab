// "Start archived game": brings a game restored from the archive back to Crestron. The
// game state is cleared, the referee console runs with its last game open, and once it has
// reported the game's periods the game starts where its first period started and the
// archive's "refresh.csv" names it again. Nothing is recorded. GUI thread, one step per
// tick of the progress dialog.
#include "app/MainFrame.h"
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

bool CMainFrame::OnFileOldStart(std::int32_t& step, std::uint32_t& deadline, CShowProgress& dialog) {
    const std::uint32_t now = TickNow();
    const bool due = TickDiffMs(now, deadline) >= 0;

    if (step < kRunConsole) {
        dialog.SetStepText(QStringLiteral("Init & check files"));
        if (Settings.CopyToPath.isEmpty()) {
            ShowBox(LoadStringOrMark(530), BoxIcon::Error);
            return false;
        }
        WriteLog("Halvane::Menu File->Start archived game.\n");
        Link.ResetGameState();
        Game.Clear();
        StopPlayback();
        ExecutionEnabled = true;
        step = kRunConsole;
        deadline = now;
        dialog.SetProgress(1);
        return true;
    }

    if (step == kFinish) {
        dialog.SetStepText(QStringLiteral("..."));
        dialog.SetProgress(100);
        WriteLog("Halvane::OnFileOldStart SUCCEEDED.\n");
        ShowBox(LoadStringOrMark(551), BoxIcon::Information);
        return false;
    }

    if (!due) return true;

    if (step < kWaitConsole) {
        // A console that already runs keeps its game; the reset above still makes the
        // workflow wait for a message of its own.
        if (Link.IsQueueNameFree(QStringLiteral("Kestrilo"), this)) {
            dialog.SetStepText(QStringLiteral("Run Kestrilo"));
            Companions.StartCompanion(Settings.TamberloExePath, {QStringLiteral("-openlast")}, WindowShow::Normal);
        }
        Link.PollingEnabled = true;
        dialog.SetStepText(QStringLiteral("Wait Kestrilo start"));
        step = kWaitConsole;
        deadline = now + kFirstCheckMs;
        dialog.SetProgress(2);
        return true;
    }

    if (step < kWaitPeriods) {
        if (Link.KestriloSpoken) {
            dialog.SetStepText(QStringLiteral("Wait Period's Info"));
            step = kWaitPeriods;
            deadline = now + kFirstCheckMs;
            dialog.SetProgress(32);
            return true;
        }
        if (step >= kWaitConsoleLast) {
            WriteLog("Halvane::OnFileOldStart ERROR - no answer from Kestrilo!\n");
            ShowBox(LoadStringOrMark(540), BoxIcon::Error);
            return false;
        }
        ++step;
        deadline = now + kRecheckMs;
        dialog.SetProgress(3 * step - 598);
        return true;
    }

    // Waiting for the periods. A period list whose first period has no start (a console
    // that has not started the game's clock) is no game start yet: taken as it is, it would
    // restore a game that started in 1601. Nor is a start that has no local time (beyond
    // what the calendar converts): it would name the game "0000-00-00-00-00".
    FileTime firstStart = 0;
    CalendarTime local{};
    if (Link.CurrentPeriod >= 0) {
        firstStart = Game.GetSnapshot().Periods[1].Start;
        if (firstStart == 0) {
            Trace(QStringLiteral("Halvane::OnFileOldStart - the first period has no start yet, waiting\n"));
        } else {
            local = environment_.TimeSource->LocalCalendar(firstStart);
            if (local.year == 0) {
                Trace(QStringLiteral("Halvane::OnFileOldStart - the first period's start has no local time, waiting\n"));
                firstStart = 0;
            }
        }
    }
    if (firstStart != 0) {
        Game.SetGameStartTime(firstStart);
        {
            // The copy worker reads the game's start when it rewrites "refresh.csv".
            std::lock_guard lock(FrameLock);
            GameStartLocal = local;
        }
        dialog.SetStepText(QStringLiteral("Save info for video archive server"));
        WriteArchiveRefresh(environment_.MessageBoxes);
        step = kFinish;
        deadline = now + kFinishDelayMs;
        dialog.SetProgress(99);
        return true;
    }
    if (step >= kWaitPeriodsLast) {
        WriteLog("Halvane::OnFileOldStart ERROR - no periods info!\n");
        ShowBox(LoadStringOrMark(550), BoxIcon::Error);
        return false;
    }
    ++step;
    deadline = now + kRecheckMs;
    dialog.SetProgress(3 * step - 865);
    return true;
}

}  // namespace hv
