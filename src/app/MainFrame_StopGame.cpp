// "Stop the game": the referee console stops its clock, the recorder stops recording, the
// post-play capture is told to stop, and after a fixed wait for the recorder to close its
// files the game's recordings are queued for the archive and a recorder on this computer
// is closed. No failure ends it early: failed sends are tried again and then only warned
// about. GUI thread (the progress dialog's timer).
#include "app/MainFrame.h"
#include "app/WorkflowTick.h"
#include "language/Language.h"
#include "log/DiagnosticLog.h"

namespace hv {

namespace {

// Each command is tried this often, this far apart.
constexpr std::int32_t kStopSendTries = 5;
constexpr std::uint32_t kStopRetryMs = 333;
// The recorder gets ten waits of two seconds (and a first one) to close its files.
constexpr std::int32_t kFinishWaitSteps = 10;
// The waits that act only this long after their deadline.
constexpr std::int32_t kOneSecondMs = 1000;
// The copy of the recordings is queued to start no sooner than this.
constexpr std::uint32_t kCopyDelayMs = 5000;
// A try of "StopRecord" to a recorder on another computer is waited for until the message
// queue says how it went: it does so for every message, once that computer acknowledged it
// or the message's time ran out (the send time-out, which is configurable, and the start of
// the relay for the answers, which comes first). A try given up on before could still arrive
// there after the next one had gone out, and the recorder would be told twice. Only should
// the outcome not come even in this long, the command is given up on without another try.
constexpr std::int32_t kRemoteOutcomeBoundMs = 60000;

}  // namespace

// The phases, a hundred steps each: confirm (0), stop the referee console's clock (100),
// stop the recording (200), stop the post-play capture (300), wait for the recorder's files
// (400), queue the copies (500), close the recorder (600), done (700).
bool CMainFrame::OnFileRecStop(std::int32_t& step, std::uint32_t& deadline, CShowProgress& dialog) {
    WorkflowTick tick{step, deadline, dialog, TickNow()};
    if (step < 100) return StopGame_Confirm(tick);
    // The phases that wait act once their deadline has passed, or a second after it.
    const std::int32_t late = TickDiffMs(tick.now, deadline);
    if (step < 200) return late < 0 || StopGame_StopRefereeClock(tick);
    if (step < 300) return late < 0 || StopGame_StopRecording(tick);
    if (step < 400) return StopGame_StopCapture(tick);
    if (step < 500) return late < kOneSecondMs || StopGame_WaitRecorderFiles(tick);
    if (step < 600) return StopGame_QueueCopies(tick);
    if (step < 700) return late < kOneSecondMs || StopGame_CloseRecorder(tick);
    return StopGame_Finish(tick);
}

bool CMainFrame::StopGame_Confirm(WorkflowTick& tick) {
    RecorderSendAwaited = 0;
    tick.dialog.SetStepText(QStringLiteral("Init"));
    const bool recording = !GameFolder.isEmpty() && ExecutionEnabled;
    if (!AskYes(recording ? 529 : 536)) return false;
    WriteLog("Halvane::Menu File->Stop the game.\n");
    return tick.Next(100, tick.now, 1);
}

bool CMainFrame::StopGame_StopRefereeClock(WorkflowTick& tick) {
    tick.dialog.SetStepText(QStringLiteral("Stop Kestrilo timer"));
    if (!Link.SendToKestrilo(QStringLiteral("StopGame"))) {
        if (tick.AgainUntil(100 + kStopSendTries - 1, kStopRetryMs, 99)) return true;
        LogAndShow("Halvane::OnFileRecStop ERROR - Can't send command #1 to Kestrilo!\n", 539, BoxIcon::Warning);
    }
    return tick.Next(200, tick.now, 10);
}

bool CMainFrame::StopGame_StopRecording(WorkflowTick& tick) {
    // A try counts as failed when the send fails, here at once, or on the way to a
    // recorder on another computer (refused there, that computer not reached, or no
    // acknowledgement in time): then it is tried again, as a failed send here is.
    CCompanionLink::Delivery tried = CCompanionLink::Delivery::Failed;
    if (RecorderSendAwaited != 0) {
        tried = Link.VortamoDelivery(RecorderSendAwaited);
        if (tried == CCompanionLink::Delivery::Pending) {
            if (TickDiffMs(tick.now, RecorderSendSince) < kRemoteOutcomeBoundMs) return true;
            Link.GiveUpVortamoSend(RecorderSendAwaited);
            tried = CCompanionLink::Delivery::Failed;
            tick.step = 200 + kStopSendTries - 1;  // it may still arrive: not sent again
        }
        RecorderSendAwaited = 0;
    } else {
        tick.dialog.SetStepText(QStringLiteral("Stop Vortamo recording"));
        if (Link.SendToVortamo(QStringLiteral("StopRecord"))) {
            tried = Link.VortamoDelivery(Link.SendSequence);
            if (tried == CCompanionLink::Delivery::Pending) {
                RecorderSendAwaited = Link.SendSequence;
                RecorderSendSince = tick.now;
                return true;
            }
        }
    }
    if (tried != CCompanionLink::Delivery::Delivered) {
        if (tick.AgainUntil(200 + kStopSendTries - 1, kStopRetryMs, 189)) return true;
        LogAndShow("Halvane::OnFileRecStop ERROR - Can't send command #2 to Vortamo!\n", 538, BoxIcon::Warning);
    }
    return tick.Next(300, tick.now, 20);
}

bool CMainFrame::StopGame_StopCapture(WorkflowTick& tick) {
    tick.dialog.SetStepText(QStringLiteral("Stop & exit Dravenor"));
    Companions.StopDravenor();
    tick.dialog.SetStepText(QStringLiteral("Wait Vortamo finishing"));
    return tick.Next(400, tick.now, 30);
}

bool CMainFrame::StopGame_WaitRecorderFiles(WorkflowTick& tick) {
    // A fixed wait for the recorder to close its files; nothing is asked.
    if (tick.step < 400 + kFinishWaitSteps) return tick.Again(kOneSecondMs, 770, 2);
    return tick.Next(500, tick.now, 50);
}

bool CMainFrame::StopGame_QueueCopies(WorkflowTick& tick) {
    tick.dialog.SetStepText(QStringLiteral("Start file copy to video archive server"));
    WriteLog("StopTheGame - Start FillCopyFiles for game '%s'\n", GameFolder.toUtf8().constData());
    const std::uint32_t notBefore = tick.now + kCopyDelayMs;
    // Without a game folder there is no game to copy: planning would walk the recorders'
    // whole root folders and queue every game's recordings found there.
    if (!GameFolder.isEmpty()) {
        // Every recorder folder is listed once for all the periods.
        CopyPlanner::Batch batch;
        FillCopyFiles(batch, Settings.DefPeriodNumber, false, notBefore);
        for (std::int32_t period = 0; period < Settings.DefPeriodNumber; ++period)
            FillCopyFiles(batch, period, false, notBefore);
    }
    // The update cycle is not to plan the same copy again.
    Game.LabelsChanged.store(false);
    // The recorder's second before "Exit" counts from the end of the planning, which
    // may take a while on large recorder folders.
    return tick.Next(600, TickNow(), 60);
}

bool CMainFrame::StopGame_CloseRecorder(WorkflowTick& tick) {
    if (Settings.VortamoIP.isEmpty()) {
        tick.dialog.SetStepText(QStringLiteral("Close Vortamo"));
        if (!Link.SendToVortamo(QStringLiteral("Exit")))
            LogAndShow("Halvane::OnFileRecStop ERROR - Can't send command #3 to Vortamo!\n", 538, BoxIcon::Warning);
    }
    return tick.Next(700, tick.now, 70);
}

bool CMainFrame::StopGame_Finish(WorkflowTick& tick) {
    tick.dialog.SetStepText(QStringLiteral("..."));
    return EndWorkflow(tick, "Halvane::OnFileRecStop SUCCEEDED.\n", 537);
}

}  // namespace hv
