// "Archive the game": once every recording has been copied, playback stops and the player
// is let go, the companions are told to close and given about 20 s each, the storage
// manager runs for as long as the user needs it, and then the score board, the game and
// the player are set up anew for the next game. GUI thread (the progress dialog's timer).
#include "app/MainFrame.h"
#include "language/Language.h"
#include "log/DiagnosticLog.h"

namespace hv {

namespace {

// Each companion gets this many checks a second apart (after the first) to close.
constexpr std::int32_t kCloseChecks = 20;
constexpr std::uint32_t kCheckIntervalMs = 1000;

}  // namespace

bool CMainFrame::OnFileReset(std::int32_t& step, std::uint32_t& deadline, CShowProgress& dialog) {
    const std::uint32_t now = TickNow();
    const std::int32_t late = TickDiffMs(now, deadline);

    if (step < 100) {
        dialog.SetStepText(QStringLiteral("Stop all applications"));
        // A recorder on another computer is asked now whether it runs: its answer is in by
        // the time it is looked at below.
        if (!Settings.VortamoIP.isEmpty()) (void)Link.VortamoPresence(this);
        if (!AskYes(527)) return false;
        WriteLog("Halvane::Menu File->Archive the game.\n");
        // The file being copied has already left the list: ask whether copying is finished.
        if (IsCopyBusy()) {
            WriteLog("Halvane::OnFileReset ERROR - Need Copy Files.\n");
            ShowBox(LoadStringOrMark(522), BoxIcon::Warning);
            return false;
        }
        if (SplitTimer != 0) {
            KillTimer(kSplitTimerId);
            SplitTimer = 0;
        }
        // The player lets the recordings go until it is set up again at the end.
        StopPlayback();
        Player.ReleasePlayer();
        Link.PollingEnabled = false;
        {
            // The copy worker reads the game's folder.
            std::lock_guard lock(FrameLock);
            GameFolder.clear();
        }
        ExecutionEnabled = false;
        if (!Settings.VortamoIP.isEmpty())
            WriteLog("Halvane::OnFileReset - Vortamo runs on '%s': that computer is asked whether it runs.\n",
                     Settings.VortamoIP.toUtf8().constData());
        // The results of these are not looked at: the waits below notice who stays. A
        // recorder on another computer that has not answered yet is told all the same.
        if (Link.VortamoPresence(this) != CCompanionLink::Presence::NotRunning)
            Link.SendToVortamo(QStringLiteral("StopRecord"));
        if (Link.IsKestriloRunning(this)) Link.SendToKestrilo(QStringLiteral("Exit"));
        if (!Link.IsQueueNameFree(QStringLiteral("Dravenor1"), this)) Companions.StopDravenor();
        dialog.SetStepText(QStringLiteral("Exit Vortamo"));
        step = 100;
        // The recorder's second to stop counts from "StopRecord", not from before the
        // question, which may have been open for a while.
        deadline = TickNow() + kCheckIntervalMs;
        dialog.SetProgress(1);
        return true;
    }

    // The phases up to the storage manager's wait act once their deadline has passed.
    if (step < 600 && late < 0) return true;

    if (step < 200) {
        if (Settings.VortamoIP.isEmpty()) Link.SendToVortamo(QStringLiteral("Exit"));
        dialog.SetStepText(QStringLiteral("wait Dravenor exit"));
        step = 200;
        deadline = now + kCheckIntervalMs;
        dialog.SetProgress(10);
        return true;
    }

    if (step < 300) {
        if (!Link.IsQueueNameFree(QStringLiteral("Dravenor1"), this)) {
            if (step < 200 + kCloseChecks) {
                ++step;
                deadline = now + kCheckIntervalMs;
                dialog.SetProgress(step - 190);
                return true;
            }
            WriteLog("Halvane::OnFileRecStart WARNING - Can't close Dravenor!\n");
            ShowBox(LoadStringOrMark(547), BoxIcon::Warning);
        }
        dialog.SetStepText(QStringLiteral("Wait Kestrilo exit"));
        step = 300;
        deadline = now;
        dialog.SetProgress(30);
        return true;
    }

    if (step < 400) {
        if (Link.IsKestriloRunning(this)) {
            if (step < 300 + kCloseChecks) {
                ++step;
                deadline = now + kCheckIntervalMs;
                dialog.SetProgress(step - 270);
                return true;
            }
            WriteLog("Halvane::OnFileRecStart WARNING - Can't close Kestrilo!\n");
            ShowBox(LoadStringOrMark(548), BoxIcon::Warning);
        }
        dialog.SetStepText(QStringLiteral("Wait Vortamo exit"));
        step = 400;
        deadline = now;
        dialog.SetProgress(50);
        return true;
    }

    if (step < 500) {
        // Only a recorder that was told to exit is waited for: one on another computer goes
        // on running (here only one on this computer would be waited for).
        const bool recorderStays = Settings.VortamoIP.isEmpty() ? Link.IsVortamoRunning(this)
                                                               : !Link.IsQueueNameFree(QStringLiteral("Vortamo1"), this);
        if (recorderStays) {
            if (step < 400 + kCloseChecks) {
                ++step;
                deadline = now + kCheckIntervalMs;
                dialog.SetProgress(step - 350);
                return true;
            }
            WriteLog("Halvane::OnFileRecStart WARNING - Can't close Vortamo!\n");
            ShowBox(LoadStringOrMark(549), BoxIcon::Warning);
        }
        dialog.SetStepText(QStringLiteral("Wait Ostrimund exit"));
        step = 500;
        deadline = now;
        dialog.SetProgress(70);
        return true;
    }

    if (step == 500) {
        if (!Companions.StartOstrimund()) {
            WriteLog("Halvane::OnFileReset ERROR - Can't start Ostrimund!\n");
            ShowBox(LoadStringOrMark(525), BoxIcon::Error);
            return false;
        }
        step = 501;
        deadline = now + kCheckIntervalMs;
        dialog.SetProgress(75);
        return true;
    }

    if (step < 600) {
        // No time limit: the user says when archiving is done by closing the storage manager.
        if (!Companions.OstrimundEnded()) return true;
        step = 600;
        deadline = now;
        dialog.SetProgress(80);
        return true;
    }

    if (step < 700) {
        dialog.SetStepText(QStringLiteral("..."));
        RecordingPeriod = Settings.DefPeriodNumber;
        SplitPeriod = 0;
        if (Companions.ResetScoreBoard()) {
            Link.ResetGameState();
            Game.Clear();
            StopPlayback();
            ExecutionEnabled = false;
        }
        if (!Player.InitPlayer(Settings.PlayerRegName, Settings.FifoSizeMS))
            ShowBox(Player.GetInitErrorText(Settings.PlayerRegName, Settings.FifoSizeMS), BoxIcon::Warning);
        step = 700;
        deadline = now;
        dialog.SetProgress(99);
        return true;
    }

    dialog.SetProgress(100);
    WriteLog("Halvane::OnFileReset SUCCEEDED.\n");
    ShowBox(LoadStringOrMark(521), BoxIcon::Information);
    return false;
}

}  // namespace hv
