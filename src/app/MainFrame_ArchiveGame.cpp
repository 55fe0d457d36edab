// "Archive the game": once every recording has been copied, playback stops and the player
// is let go, the companions are told to close and given about 20 s each, the storage
// manager runs for as long as the user needs it, and then the score board, the game and
// the player are set up anew for the next game. GUI thread (the progress dialog's timer).
#include "app/MainFrame.h"
#include "app/WorkflowTick.h"
#include "language/Language.h"
#include "log/DiagnosticLog.h"

namespace hv {

namespace {

// Each companion gets this many checks a second apart (after the first) to close.
constexpr std::int32_t kCloseChecks = 20;
constexpr std::uint32_t kCheckIntervalMs = 1000;

}  // namespace

// A wait for one companion to close: its phase, the bar while it waits (the step less
// `progressOffset`), the log line and the warning when it stays, and the next phase's
// text and bar.
struct CompanionCloseWait {
    std::int32_t phase;
    std::int32_t progressOffset;
    const char* staysLogLine;
    unsigned staysMessageId;
    const char* nextStepText;
    int nextProgress;
};

namespace {

constexpr CompanionCloseWait kCaptureCloses{
    200, 190, "Halvane::OnFileRecStart WARNING - Can't close Dravenor!\n", 547, "Wait Kestrilo exit", 30};
constexpr CompanionCloseWait kRefereeCloses{
    300, 270, "Halvane::OnFileRecStart WARNING - Can't close Kestrilo!\n", 548, "Wait Vortamo exit", 50};
constexpr CompanionCloseWait kRecorderCloses{
    400, 350, "Halvane::OnFileRecStart WARNING - Can't close Vortamo!\n", 549, "Wait Ostrimund exit", 70};

}  // namespace

// The phases, a hundred steps each: confirm and tell everything to stop (0), close the
// recorder (100), wait for the post-play capture (200), the referee console (300) and the
// recorder (400) to close, run the storage manager and wait for the user to close it
// (500), set up for the next game (600), done (700).
bool CMainFrame::OnFileReset(std::int32_t& step, std::uint32_t& deadline, CShowProgress& dialog) {
    WorkflowTick tick{step, deadline, dialog, TickNow()};
    if (step < 100) return ArchiveGame_StopAll(tick);
    // The phases up to the storage manager's wait act once their deadline has passed.
    if (step < 600 && TickDiffMs(tick.now, deadline) < 0) return true;
    if (step < 200) return ArchiveGame_CloseRecorder(tick);
    if (step < 300)
        return ArchiveGame_WaitClosed(tick, !Link.IsQueueNameFree(QStringLiteral("Dravenor1"), this), kCaptureCloses);
    if (step < 400) return ArchiveGame_WaitClosed(tick, Link.IsKestriloRunning(this), kRefereeCloses);
    if (step < 500) return ArchiveGame_WaitClosed(tick, ArchiveGame_RecorderStays(), kRecorderCloses);
    if (step == 500) return ArchiveGame_RunStorageManager(tick);
    if (step < 600) return ArchiveGame_WaitStorageManager(tick);
    if (step < 700) return ArchiveGame_SetUpNextGame(tick);
    return ArchiveGame_Finish(tick);
}

bool CMainFrame::ArchiveGame_StopAll(WorkflowTick& tick) {
    tick.dialog.SetStepText(QStringLiteral("Stop all applications"));
    // A recorder on another computer is asked now whether it runs: its answer is in by
    // the time it is looked at below.
    if (!Settings.VortamoIP.isEmpty()) (void)Link.VortamoPresence(this);
    if (!AskYes(527)) return false;
    WriteLog("Halvane::Menu File->Archive the game.\n");
    // The file being copied has already left the list: ask whether copying is finished.
    if (IsCopyBusy()) {
        LogAndShow("Halvane::OnFileReset ERROR - Need Copy Files.\n", 522, BoxIcon::Warning);
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
    tick.dialog.SetStepText(QStringLiteral("Exit Vortamo"));
    // The recorder's second to stop counts from "StopRecord", not from before the
    // question, which may have been open for a while.
    return tick.Next(100, TickNow() + kCheckIntervalMs, 1);
}

bool CMainFrame::ArchiveGame_CloseRecorder(WorkflowTick& tick) {
    if (Settings.VortamoIP.isEmpty()) Link.SendToVortamo(QStringLiteral("Exit"));
    tick.dialog.SetStepText(QStringLiteral("wait Dravenor exit"));
    return tick.Next(200, tick.now + kCheckIntervalMs, 10);
}

bool CMainFrame::ArchiveGame_RecorderStays() {
    // Only a recorder that was told to exit is waited for: one on another computer goes
    // on running (here only one on this computer would be waited for).
    return Settings.VortamoIP.isEmpty() ? Link.IsVortamoRunning(this)
                                        : !Link.IsQueueNameFree(QStringLiteral("Vortamo1"), this);
}

bool CMainFrame::ArchiveGame_WaitClosed(WorkflowTick& tick, bool stays, const CompanionCloseWait& wait) {
    if (stays) {
        if (tick.AgainUntil(wait.phase + kCloseChecks, kCheckIntervalMs, wait.progressOffset)) return true;
        LogAndShow(wait.staysLogLine, wait.staysMessageId, BoxIcon::Warning);
    }
    tick.dialog.SetStepText(QString::fromUtf8(wait.nextStepText));
    return tick.Next(wait.phase + 100, tick.now, wait.nextProgress);
}

bool CMainFrame::ArchiveGame_RunStorageManager(WorkflowTick& tick) {
    if (!Companions.StartOstrimund()) {
        LogAndShow("Halvane::OnFileReset ERROR - Can't start Ostrimund!\n", 525, BoxIcon::Error);
        return false;
    }
    return tick.Next(501, tick.now + kCheckIntervalMs, 75);
}

bool CMainFrame::ArchiveGame_WaitStorageManager(WorkflowTick& tick) {
    // No time limit: the user says when archiving is done by closing the storage manager.
    if (!Companions.OstrimundEnded()) return true;
    return tick.Next(600, tick.now, 80);
}

bool CMainFrame::ArchiveGame_SetUpNextGame(WorkflowTick& tick) {
    tick.dialog.SetStepText(QStringLiteral("..."));
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
    return tick.Next(700, tick.now, 99);
}

bool CMainFrame::ArchiveGame_Finish(WorkflowTick& tick) {
    return EndWorkflow(tick, "Halvane::OnFileReset SUCCEEDED.\n", 521);
}

}  // namespace hv
