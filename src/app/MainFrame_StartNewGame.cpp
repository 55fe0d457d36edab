// "Start new game": resets the score board and the game, makes sure the recorder, the
// post-play capture and the referee console run, checks the recorder's clock, fixes the
// game's start and folder, starts the recording and tells the referee console and the
// archive server. One step per tick of the progress dialog, on the GUI thread.
#include "app/MainFrame.h"
#include "app/WorkflowTick.h"
#include "copy/ArchiveRefresh.h"
#include "language/Language.h"
#include "language/MessageText.h"
#include "log/DiagnosticLog.h"

namespace hv {

namespace {

// The largest clock difference from the recorder that a game may start with.
constexpr std::int32_t kMaxClockOffsetMs = 500;

// The game starts on a whole minute: the next one, or the one after when the seconds are
// past 50. Calendar arithmetic, so that a start in the last minute or two of a day, a
// month or a year falls on the next day (never on an hour 24). A time that cannot be
// converted gives the zero calendar (year 0).
CalendarTime GameStartAfter(const CalendarTime& now) {
    CalendarTime minute = now;
    minute.second = 0;
    minute.millisecond = 0;
    FileTime start = 0;
    if (!CalendarToFileTime(minute, start)) return {};
    const int minutes = now.second > 50 ? 2 : 1;
    return FileTimeToCalendar(start + static_cast<FileTime>(minutes) * 60u * kFileTimeUnitsPerSecond);
}

}  // namespace

void CMainFrame::AskRecorderTimeAndState() {
    Link.SendToVortamo(QStringLiteral("GetTime"));
    Link.SendToVortamo(QStringLiteral("GetState"));
}

void CMainFrame::SendStartRecord() {
    // A state answered before the command (the recorder recording an earlier game) says
    // nothing about this one.
    Link.VortamoState = 0;
    StartRecordSequence =
        Link.SendToVortamo(QStringLiteral("StartRecord 1111111111111111 0 \\") + GameFolder) ? Link.SendSequence : 0;
}

// The phases, a hundred steps each: confirm (0), reset the game (100), run the recorder
// and wait for it (200), run the post-play capture (300), check the recorder's answer and
// clock (400), run the referee console (500), fix the game's start and start recording
// (600), wait for the recording (700), wait for the referee console (800), done (900).
bool CMainFrame::OnFileRecStart(std::int32_t& step, std::uint32_t& deadline, CShowProgress& dialog) {
    if (step < 0) return false;
    WorkflowTick tick{step, deadline, dialog, TickNow()};
    const std::int32_t phase = step / 100;
    // Phases 0, 100 and 900 act at once; the others wait for their deadline.
    if (phase != 0 && phase != 1 && phase != 9 && SinceDeadline(deadline) < 0) return true;

    switch (phase) {
    case 0: return StartNewGame_Confirm(tick);
    case 1: return StartNewGame_ResetGame(tick);
    case 2: return step == 200 ? StartNewGame_RunRecorder(tick) : StartNewGame_WaitRecorder(tick);
    case 3: return StartNewGame_RunCapture(tick);
    case 4: return StartNewGame_CheckRecorder(tick);
    case 5: return StartNewGame_RunReferee(tick);
    case 6: return StartNewGame_StartRecording(tick);
    case 7: return StartNewGame_WaitRecording(tick);
    case 8: return StartNewGame_WaitReferee(tick);
    case 9: return StartNewGame_Finish(tick);
    default: return false;
    }
}

bool CMainFrame::StartNewGame_Confirm(WorkflowTick& tick) {
    tick.dialog.SetStepText(QStringLiteral("Init & check files"));
    if (!AskYes(528)) return false;
    if (Settings.CopyToPath.isEmpty()) {
        ShowBox(LoadStringOrMark(530), BoxIcon::Error);
        return false;
    }
    if (Settings.CopyFromPathList.isEmpty()) {
        ShowBox(LoadStringOrMark(531), BoxIcon::Error);
        return false;
    }
    WriteLog("Halvane::Menu File->Start new game.\n");
    return tick.Next(100, tick.now, 1);
}

bool CMainFrame::StartNewGame_ResetGame(WorkflowTick& tick) {
    tick.dialog.SetStepText(QStringLiteral("Reset score board info"));
    (void)Companions.ResetScoreBoard();
    Link.ResetGameState();
    Game.Clear();
    StopPlayback();
    if (!Link.OpenQueue(this)) {
        LogAndShow("Halvane::OnFileRecStart ERROR - Can't create local queue!\n", 514, BoxIcon::Error);
        return false;
    }
    ExecutionEnabled = true;
    Link.PollingEnabled = true;
    return tick.Next(200, tick.now, 2);
}

bool CMainFrame::StartNewGame_RunRecorder(WorkflowTick& tick) {
    tick.dialog.SetStepText(QStringLiteral("Run Vortamo"));
    Link.VortamoState = 0;
    if (!Settings.VortamoIP.isEmpty()) {
        // Nothing to start here; the probe below asks that computer whether it runs
        // (the first answer comes with the next probe, a second later).
        WriteLog("Halvane::OnFileRecStart Vortamo is remote on '%s': not started here, "
                 "its presence is asked of that computer.\n",
                 Settings.VortamoIP.toUtf8().constData());
        (void)Link.VortamoPresence(this);  // the first question goes now
    } else if (!Link.IsVortamoRunning(this)) {
        Companions.StartCompanion(CompanionId::Vortamo);
        tick.deadline = tick.now + 5000;
    }
    tick.step = 201;
    tick.dialog.SetProgress(3);
    return true;
}

bool CMainFrame::StartNewGame_WaitRecorder(WorkflowTick& tick) {
    if (Link.IsVortamoRunning(this)) {
        AskRecorderTimeAndState();
        WithoutVortamo = false;
    } else if (tick.step < 220) {
        return tick.Again(1000, 196);
    } else {
        WriteLog("Halvane::OnFileRecStart ERROR - Can't start Vortamo!\n");
        if (!AskYes(532)) return false;
        WithoutVortamo = true;
    }
    return tick.Next(300, tick.now, 24);
}

bool CMainFrame::StartNewGame_RunCapture(WorkflowTick& tick) {
    tick.dialog.SetStepText(QStringLiteral("Run Dravenor"));
    // Started whether or not it runs already: a second one leaves the first alone.
    Companions.StartCompanion(CompanionId::Dravenor);
    return tick.Next(400, tick.now + 5000, 25);
}

bool CMainFrame::StartNewGame_CheckRecorder(WorkflowTick& tick) {
    tick.dialog.SetStepText(QStringLiteral("Wait Vortamo starting"));
    if (!WithoutVortamo) {
        if (Link.VortamoState == 0) {
            if (tick.step >= 430) {
                LogAndShow("Halvane::OnFileRecStart ERROR - No answer from Vortamo!\n", 538, BoxIcon::Error);
                return false;
            }
            AskRecorderTimeAndState();
            return tick.Again(1000, 375);
        }
        const std::int32_t offset = Link.VortamoClockOffset;
        if (offset < -kMaxClockOffsetMs || offset > kMaxClockOffsetMs) {
            WriteLog("Halvane::OnFileRecStart WARNING - Vortamo has too big time offset %dms!\n", offset);
            ShowBox(FillMessage(LoadStringOrMark(552), {offset}), BoxIcon::Error);
            tick.dialog.SetStepText(QStringLiteral("Stop & exit Dravenor"));
            Companions.StopDravenor();
            return false;
        }
        Link.SendToVortamo(QStringLiteral("ExternalControlOn"));
        Link.SendToVortamo(QStringLiteral("ResetFolder"));
    }
    tick.dialog.SetStepText(QStringLiteral("Reset Vortamo"));
    return tick.Next(500, tick.now + 300, 55);
}

bool CMainFrame::StartNewGame_RunReferee(WorkflowTick& tick) {
    if (!Link.IsKestriloRunning(this)) {
        tick.dialog.SetStepText(QStringLiteral("Run Kestrilo"));
        Companions.StartCompanion(CompanionId::Kestrilo);
    }
    Link.PollingEnabled = true;
    return tick.Next(600, tick.now + 1000, 60);
}

bool CMainFrame::StartNewGame_StartRecording(WorkflowTick& tick) {
    tick.dialog.SetStepText(QStringLiteral("Check score board state"));
    if (!Companions.IsScoreBoardReset() && !AskYes(533)) {
        WriteLog("Halvane::OnFileRecStart ERROR - Can't reset score board info - user cancel!\n");
        return false;
    }
    const CalendarTime start = GameStartAfter(environment_.TimeSource->LocalNow());
    if (start.year == 0) {
        // A clock that cannot be read as a date: no game is started in a zero-date folder,
        // and the operator is told that it is the clock (not the recorder) that is wrong.
        LogAndShow("Halvane::OnFileRecStart ERROR - Can't convert the game's start time!\n", 553, BoxIcon::Error);
        return false;
    }
    const QString folder = ArchiveRefresh::GameFolderOf(start);
    {
        // The copy worker reads the game's start and folder.
        std::lock_guard lock(FrameLock);
        GameStartLocal = start;
        GameFolder = folder;
    }
    Game.SetGameStart(start);
    if (!WithoutVortamo) SendStartRecord();
    tick.dialog.SetStepText(QStringLiteral("Wait Vortamo recording start"));
    // The recorder's second counts from the start command, not from before the question,
    // which may have been open for a while.
    return tick.Next(700, TickNow() + 1000, 65);
}

bool CMainFrame::StartNewGame_WaitRecording(WorkflowTick& tick) {
    // The start command counts once the recorder has taken it: at once here, a moment
    // later on another computer. One that failed (at once, or there) is sent again at
    // the next check, before the question, within the same wait.
    const CCompanionLink::Delivery started = WithoutVortamo            ? CCompanionLink::Delivery::Delivered
                                             : StartRecordSequence == 0 ? CCompanionLink::Delivery::Failed
                                                                        : Link.VortamoDelivery(StartRecordSequence);
    if (WithoutVortamo || (Link.VortamoState == 2 && started == CCompanionLink::Delivery::Delivered)) {
        tick.dialog.SetStepText(QStringLiteral("Wait Kestrilo starting"));
        return tick.Next(800, tick.now + 3000, 90);
    }
    if (tick.step >= 725) {
        LogAndShow("Halvane::OnFileRecStart ERROR - Vortamo can't start recording!\n", 538, BoxIcon::Error);
        return false;
    }
    if (started == CCompanionLink::Delivery::Failed) SendStartRecord();
    Link.SendToVortamo(QStringLiteral("GetState"));
    return tick.Again(1000, 635);
}

bool CMainFrame::StartNewGame_WaitReferee(WorkflowTick& tick) {
    if (Link.KestriloSpoken) {
        Link.SendToKestrilo(QStringLiteral("NewGame"));
        tick.dialog.SetStepText(QStringLiteral("Save info for video archive server"));
        // A failure is shown (541, 542) and the game goes on: it is recording already.
        WriteArchiveRefresh(environment_.MessageBoxes);
        return tick.Next(900, tick.now + 100, 99);
    }
    if (tick.AgainUntil(810, 2000, 710)) return true;
    LogAndShow("Halvane::OnFileRecStart ERROR - no answer from Kestrilo!\n", 540, BoxIcon::Error);
    return false;
}

bool CMainFrame::StartNewGame_Finish(WorkflowTick& tick) {
    tick.dialog.SetStepText(QStringLiteral("..."));
    return EndWorkflow(tick, "Halvane::OnFileRecStart SUCCEEDED.\n", 535);
}

}  // namespace hv
