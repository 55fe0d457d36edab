// The frame's one-second update and the status shown by the notification-area icon.
#include "app/DiagnosticLog.h"
#include "app/Language.h"
#include "app/MainFrame.h"

namespace hv {

namespace {

// The tooltip string of each status; any other status shows "Unknown state".
unsigned StatusStringId(int state) {
    static constexpr unsigned kIds[] = {501, 503, 504, 502, 507, 508, 509, 510, 506};
    if (state < 0 || state > 8) return 505;
    return kIds[state];
}

}  // namespace

void CMainFrame::UpdateTheGame() {
    int status = 8;
    if (GameFolder.isEmpty()) {
        status = 0;
    } else if (Port.Step() == CPort4Crestron::kStepListening && Port.LastError() == 0 &&
               Player.HasComponent()) {
        if (IsCopyPending())
            status = ExecutionEnabled ? 7 : 6;
        else
            status = ExecutionEnabled ? 5 : 4;
    }
    if (status != CurrentStatus) SetStatus(status);
    if (status == 6 || status == 7) ShowCopyStatus(status);

    if (ExecutionEnabled) {
        Link.PollCompanions();
        Playback.RefreshPlayPosition(Game);
    }
}

void CMainFrame::SetStatus(int state) {
    if (!TrayCreated) return;
    CurrentStatus = state;
    Tray.SetTooltip(LoadStringOrMark(StatusStringId(state)));
    Tray.SetStateIcon(state);
}

void CMainFrame::ShowCopyStatus(int state) {
    QString file;
    int percent = 0;
    {
        std::lock_guard lock(FrameLock);
        file = CurrentCopyFile.left(259);
        percent = CopyPercent;
    }
    const QString text = QStringLiteral("%1\r\n%2% %3")
                             .arg(LoadStringOrMark(state == 6 ? 509 : 510))
                             .arg(percent)
                             .arg(file);
    if (text != Tray.GetTooltip()) Tray.SetTooltip(text);
}

}  // namespace hv
