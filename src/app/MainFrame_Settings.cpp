// The frame's "Settings..." command: the settings dialog, and on OK the new values applied
// to the running program (the player and the Crestron port restarted only when theirs
// changed) and saved.
#include "app/MainFrame.h"
#include "language/Language.h"
#include "log/DiagnosticLog.h"
#include "platform/FileSystem.h"
#include "settings/SettingsDlgValues.h"

namespace hv {

namespace {
constexpr unsigned kStopExecutionFirstId = 512;
}  // namespace

void CMainFrame::SettingsCommand() {
    if (ExecutionEnabled) {
        if (environment_.MessageBoxes->Show(LoadStringOrMark(kStopExecutionFirstId), BoxIcon::Warning,
                                            BoxButtons::YesNo) != BoxAnswer::Yes)
            return;
        ExecutionEnabled = false;  // only the flag: nothing else of Advanced Stop
    }

    CSettingsDlg dialog(nullptr, SettingsDlgValues::From(Settings),
                        {environment_.Components, environment_.MessageBoxes, environment_.FilePrompt});

    // No game update runs while the dialog is open.
    const bool timerWasRunning = HasTimer(kGameTimerId);
    KillTimer(kGameTimerId);

    if (dialog.DoModal() == QDialog::Accepted) ApplySettings(dialog.Values());

    // A termination signal may have closed the frame while the dialog was open: its timer
    // stays stopped then.
    if (timerWasRunning && !destroyed_) SetTimer(kGameTimerId, kGameTimerPeriodMs);
}

void CMainFrame::ApplySettings(const SettingsDlgValues& values) {
    WriteLog("Halvane::Menu File->Settings.\n");

    CopyPlainSettings(values, Settings);
    Port.UseGameTime = values.UseGameTime;

    // The archive root is recorded anew when it changed: an archive that is away while the
    // same root is applied again stays the archive it was (unless it no longer opens and a
    // share was mounted over it meanwhile, see below). Copies queued for another root are
    // not copied (the worker drops them; the next planning queues them again).
    const bool newRoot = fs::WithTrailingSeparator(values.CopyToPath) != fs::WithTrailingSeparator(Settings.CopyToPath);
    ArchiveRoot root;
    if (newRoot) root = CopyRootRecord.Record(values.CopyToPath);
    {
        // The copy worker reads these under the lock: it sees all of the change or none.
        std::lock_guard lock(FrameLock);
        CopyCopyingSettings(values, Settings);
        Settings.NormaliseCopySettings();
        if (newRoot) CopyRoot = std::move(root);
    }
    // The same root applied again: recorded anew when its record no longer opens and the
    // root is found again without trading a share for the local disk.
    if (!newRoot) (void)ArchiveRootNow();

    if (PlayerSettingsDiffer(values, Settings)) {
        CopyPlayerSettings(values, Settings);
        if (!Player.InitPlayer(Settings.PlayerRegName, Settings.FifoSizeMS))
            environment_.MessageBoxes->Show(
                Player.GetInitErrorText(Settings.PlayerRegName, Settings.FifoSizeMS),
                BoxIcon::Warning, BoxButtons::Ok);
    }

    if (values.Port != Settings.Port) {
        Settings.Port = values.Port;
        Port.ClosePort();
        const unsigned port = Settings.ListenPort();
        if (!Port.OpenPort(port))
            environment_.MessageBoxes->Show(Port.GetInitErrorText(port), BoxIcon::Warning,
                                            BoxButtons::Ok);
    }

    Link.SetVortamoHost(Settings.VortamoIP);
    SaveSettings(Settings, environment_.Settings);
}

}  // namespace hv
