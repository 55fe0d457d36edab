// "Stop the game": the referee console stops its clock, the recorder stops recording, the
// post-play capture is told to stop, and after a fixed wait for the recorder to close its
// files the game's recordings are queued for the archive and a recorder on this computer
// is closed. No failure ends it early: failed sends are tried again and then only warned
// about. GUI thread (the progress dialog's timer).
#include "app/MainFrame.h"
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

bool CMainFrame::OnFileRecStop(std::int32_t& step, std::uint32_t& deadline, CShowProgress& dialog) {
    const std::uint32_t now = TickNow();
    const std::int32_t late = TickDiffMs(now, deadline);

    if (step < 100) {
        RecorderSendAwaited = 0;
        dialog.SetStepText(QStringLiteral("Init"));
        const bool recording = !GameFolder.isEmpty() && ExecutionEnabled;
        if (!AskYes(recording ? 529 : 536)) return false;
        WriteLog("Halvane::Menu File->Stop the game.\n");
        step = 100;
        deadline = now;
        dialog.SetProgress(1);
        return true;
    }

    if (step < 200) {
        if (late < 0) return true;
        dialog.SetStepText(QStringLiteral("Stop Kestrilo timer"));
        if (!Link.SendToKestrilo(QStringLiteral("StopGame"))) {
            if (step < 100 + kStopSendTries - 1) {
                ++step;
                deadline = now + kStopRetryMs;
                dialog.SetProgress(step - 99);
                return true;
            }
            WriteLog("Halvane::OnFileRecStop ERROR - Can't send command #1 to Kestrilo!\n");
            ShowBox(LoadStringOrMark(539), BoxIcon::Warning);
        }
        step = 200;
        deadline = now;
        dialog.SetProgress(10);
        return true;
    }

    if (step < 300) {
        if (late < 0) return true;
        // A try counts as failed when the send fails, here at once, or on the way to a
        // recorder on another computer (refused there, that computer not reached, or no
        // acknowledgement in time): then it is tried again, as a failed send here is.
        CCompanionLink::Delivery tried = CCompanionLink::Delivery::Failed;
        if (RecorderSendAwaited != 0) {
            tried = Link.VortamoDelivery(RecorderSendAwaited);
            if (tried == CCompanionLink::Delivery::Pending) {
                if (TickDiffMs(now, RecorderSendSince) < kRemoteOutcomeBoundMs) return true;
                Link.GiveUpVortamoSend(RecorderSendAwaited);
                tried = CCompanionLink::Delivery::Failed;
                step = 200 + kStopSendTries - 1;  // it may still arrive: not sent again
            }
            RecorderSendAwaited = 0;
        } else {
            dialog.SetStepText(QStringLiteral("Stop Vortamo recording"));
            if (Link.SendToVortamo(QStringLiteral("StopRecord"))) {
                tried = Link.VortamoDelivery(Link.SendSequence);
                if (tried == CCompanionLink::Delivery::Pending) {
                    RecorderSendAwaited = Link.SendSequence;
                    RecorderSendSince = now;
                    return true;
                }
            }
        }
        if (tried != CCompanionLink::Delivery::Delivered) {
            if (step < 200 + kStopSendTries - 1) {
                ++step;
                deadline = now + kStopRetryMs;
                dialog.SetProgress(step - 189);
                return true;
            }
            WriteLog("Halvane::OnFileRecStop ERROR - Can't send command #2 to Vortamo!\n");
            ShowBox(LoadStringOrMark(538), BoxIcon::Warning);
        }
        step = 300;
        deadline = now;
        dialog.SetProgress(20);
        return true;
    }

    if (step < 400) {
        dialog.SetStepText(QStringLiteral("Stop & exit Dravenor"));
        Companions.StopDravenor();
        dialog.SetStepText(QStringLiteral("Wait Vortamo finishing"));
        step = 400;
        deadline = now;
        dialog.SetProgress(30);
        return true;
    }

    if (step < 500) {
        // A fixed wait for the recorder to close its files; nothing is asked.
        if (late < kOneSecondMs) return true;
        ++step;
        if (step <= 400 + kFinishWaitSteps) {
            deadline = now + kOneSecondMs;
            dialog.SetProgress(2 * step - 770);
            return true;
        }
        step = 500;
        deadline = now;
        dialog.SetProgress(50);
        return true;
    }

    if (step < 600) {
        dialog.SetStepText(QStringLiteral("Start file copy to video archive server"));
        WriteLog("StopTheGame - Start FillCopyFiles for game '%s'\n", GameFolder.toUtf8().constData());
        const std::uint32_t notBefore = now + kCopyDelayMs;
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
        step = 600;
        // The recorder's second before "Exit" counts from the end of the planning, which
        // may take a while on large recorder folders.
        deadline = TickNow();
        dialog.SetProgress(60);
        return true;
    }

    if (step < 700) {
        if (late < kOneSecondMs) return true;
        if (Settings.VortamoIP.isEmpty()) {
            dialog.SetStepText(QStringLiteral("Close Vortamo"));
            if (!Link.SendToVortamo(QStringLiteral("Exit"))) {
                WriteLog("Halvane::OnFileRecStop ERROR - Can't send command #3 to Vortamo!\n");
                ShowBox(LoadStringOrMark(538), BoxIcon::Warning);
            }
        }
        step = 700;
        deadline = now;
        dialog.SetProgress(70);
        return true;
    }

    dialog.SetStepText(QStringLiteral("..."));
    dialog.SetProgress(100);
    WriteLog("Halvane::OnFileRecStop SUCCEEDED.\n");
    ShowBox(LoadStringOrMark(537), BoxIcon::Information);
    return false;
}

}  // namespace hv
