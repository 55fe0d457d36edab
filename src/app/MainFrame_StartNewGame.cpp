// "Start new game": resets the score board and the game, makes sure the recorder, the
// post-play capture and the referee console run, checks the recorder's clock, fixes the
// game's start and folder, starts the recording and tells the referee console and the
// archive server. One step per tick of the progress dialog, on the GUI thread.
#include "app/MainFrame.h"
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

void CMainFrame::SendStartRecord() {
    // A state answered before the command (the recorder recording an earlier game) says
    // nothing about this one.
    Link.VortamoState = 0;
    StartRecordSequence =
        Link.SendToVortamo(QStringLiteral("StartRecord 1111111111111111 0 \\") + GameFolder) ? Link.SendSequence : 0;
}

bool CMainFrame::OnFileRecStart(std::int32_t& step, std::uint32_t& deadline, CShowProgress& dialog) {
    if (step < 0) return false;
    const std::uint32_t now = TickNow();
    const std::int32_t phase = step / 100;
    // Phases 0, 100 and 900 act at once; the others wait for their deadline.
    if (phase != 0 && phase != 1 && phase != 9 && SinceDeadline(deadline) < 0) return true;

    switch (phase) {
    case 0:
        dialog.SetStepText(QStringLiteral("Init & check files"));
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
        step = 100;
        deadline = now;
        dialog.SetProgress(1);
        return true;

    case 1:
        dialog.SetStepText(QStringLiteral("Reset score board info"));
        (void)Companions.ResetScoreBoard();
        Link.ResetGameState();
        Game.Clear();
        StopPlayback();
        if (!Link.OpenQueue(this)) {
            WriteLog("Halvane::OnFileRecStart ERROR - Can't create local queue!\n");
            ShowBox(LoadStringOrMark(514), BoxIcon::Error);
            return false;
        }
        ExecutionEnabled = true;
        Link.PollingEnabled = true;
        step = 200;
        deadline = now;
        dialog.SetProgress(2);
        return true;

    case 2:
        if (step == 200) {
            dialog.SetStepText(QStringLiteral("Run Vortamo"));
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
                deadline = now + 5000;
            }
            step = 201;
            dialog.SetProgress(3);
            return true;
        }
        if (Link.IsVortamoRunning(this)) {
            Link.SendToVortamo(QStringLiteral("GetTime"));
            Link.SendToVortamo(QStringLiteral("GetState"));
            WithoutVortamo = false;
        } else if (step < 220) {
            ++step;
            deadline = now + 1000;
            dialog.SetProgress(step - 196);
            return true;
        } else {
            WriteLog("Halvane::OnFileRecStart ERROR - Can't start Vortamo!\n");
            if (!AskYes(532)) return false;
            WithoutVortamo = true;
        }
        step = 300;
        deadline = now;
        dialog.SetProgress(24);
        return true;

    case 3:
        dialog.SetStepText(QStringLiteral("Run Dravenor"));
        // Started whether or not it runs already: a second one leaves the first alone.
        Companions.StartCompanion(CompanionId::Dravenor);
        step = 400;
        deadline = now + 5000;
        dialog.SetProgress(25);
        return true;

    case 4:
        dialog.SetStepText(QStringLiteral("Wait Vortamo starting"));
        if (!WithoutVortamo) {
            if (Link.VortamoState == 0) {
                if (step >= 430) {
                    WriteLog("Halvane::OnFileRecStart ERROR - No answer from Vortamo!\n");
                    ShowBox(LoadStringOrMark(538), BoxIcon::Error);
                    return false;
                }
                Link.SendToVortamo(QStringLiteral("GetTime"));
                Link.SendToVortamo(QStringLiteral("GetState"));
                ++step;
                deadline = now + 1000;
                dialog.SetProgress(step - 375);
                return true;
            }
            const std::int32_t offset = Link.VortamoClockOffset;
            if (offset < -kMaxClockOffsetMs || offset > kMaxClockOffsetMs) {
                WriteLog("Halvane::OnFileRecStart WARNING - Vortamo has too big time offset %dms!\n", offset);
                ShowBox(FillMessage(LoadStringOrMark(552), {offset}), BoxIcon::Error);
                dialog.SetStepText(QStringLiteral("Stop & exit Dravenor"));
                Companions.StopDravenor();
                return false;
            }
            Link.SendToVortamo(QStringLiteral("ExternalControlOn"));
            Link.SendToVortamo(QStringLiteral("ResetFolder"));
        }
        dialog.SetStepText(QStringLiteral("Reset Vortamo"));
        step = 500;
        deadline = now + 300;
        dialog.SetProgress(55);
        return true;

    case 5:
        if (!Link.IsKestriloRunning(this)) {
            dialog.SetStepText(QStringLiteral("Run Kestrilo"));
            Companions.StartCompanion(CompanionId::Kestrilo);
        }
        Link.PollingEnabled = true;
        step = 600;
        deadline = now + 1000;
        dialog.SetProgress(60);
        return true;

    case 6: {
        dialog.SetStepText(QStringLiteral("Check score board state"));
        if (!Companions.IsScoreBoardReset() && !AskYes(533)) {
            WriteLog("Halvane::OnFileRecStart ERROR - Can't reset score board info - user cancel!\n");
            return false;
        }
        const CalendarTime start = GameStartAfter(environment_.TimeSource->LocalNow());
        if (start.year == 0) {
            // A clock that cannot be read as a date: no game is started in a zero-date folder,
            // and the operator is told that it is the clock (not the recorder) that is wrong.
            WriteLog("Halvane::OnFileRecStart ERROR - Can't convert the game's start time!\n");
            ShowBox(LoadStringOrMark(553), BoxIcon::Error);
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
        dialog.SetStepText(QStringLiteral("Wait Vortamo recording start"));
        step = 700;
        // The recorder's second counts from the start command, not from before the question,
        // which may have been open for a while.
        deadline = TickNow() + 1000;
        dialog.SetProgress(65);
        return true;
    }

    case 7: {
        // The start command counts once the recorder has taken it: at once here, a moment
        // later on another computer. One that failed (at once, or there) is sent again at
        // the next check, before the question, within the same wait.
        const CCompanionLink::Delivery started = WithoutVortamo            ? CCompanionLink::Delivery::Delivered
                                                 : StartRecordSequence == 0 ? CCompanionLink::Delivery::Failed
                                                                            : Link.VortamoDelivery(StartRecordSequence);
        if (WithoutVortamo || (Link.VortamoState == 2 && started == CCompanionLink::Delivery::Delivered)) {
            dialog.SetStepText(QStringLiteral("Wait Kestrilo starting"));
            step = 800;
            deadline = now + 3000;
            dialog.SetProgress(90);
            return true;
        }
        if (step >= 725) {
            WriteLog("Halvane::OnFileRecStart ERROR - Vortamo can't start recording!\n");
            ShowBox(LoadStringOrMark(538), BoxIcon::Error);
            return false;
        }
        if (started == CCompanionLink::Delivery::Failed) SendStartRecord();
        Link.SendToVortamo(QStringLiteral("GetState"));
        ++step;
        deadline = now + 1000;
        dialog.SetProgress(step - 635);
        return true;
    }

    case 8:
        if (Link.KestriloSpoken) {
            Link.SendToKestrilo(QStringLiteral("NewGame"));
            dialog.SetStepText(QStringLiteral("Save info for video archive server"));
            // A failure is shown (541, 542) and the game goes on: it is recording already.
            WriteArchiveRefresh(environment_.MessageBoxes);
            step = 900;
            deadline = now + 100;
            dialog.SetProgress(99);
            return true;
        }
        if (step >= 810) {
            WriteLog("Halvane::OnFileRecStart ERROR - no answer from Kestrilo!\n");
            ShowBox(LoadStringOrMark(540), BoxIcon::Error);
            return false;
        }
        ++step;
        deadline = now + 2000;
        dialog.SetProgress(step - 710);
        return true;

    case 9:
        dialog.SetStepText(QStringLiteral("..."));
        dialog.SetProgress(100);
        WriteLog("Halvane::OnFileRecStart SUCCEEDED.\n");
        ShowBox(LoadStringOrMark(535), BoxIcon::Information);
        return false;

    default:
        return false;
    }
}

}  // namespace hv
