// The frame's one-second update, the split command of the referee console, and the
// status shown by the notification-area icon. GUI thread.
#include <algorithm>
#include <cstdlib>

#include "app/MainFrame.h"
#include "game/SplitCommand.h"
#include "language/Language.h"
#include "log/DiagnosticLog.h"
#include "platform/Trace.h"

namespace hv {

namespace {

// The tooltip string of each status; any other status shows "Unknown state".
unsigned StatusStringId(int state) {
    static constexpr unsigned kIds[] = {501, 503, 504, 502, 507, 508, 509, 510, 506};
    if (state < 0 || state > 8) return 505;
    return kIds[state];
}

// A split is completed this long after its time, and no sooner than this after the
// command, nor later than twice this.
constexpr std::int64_t kSplitSettleMs = 10'000;
// A label change copies the descriptions this long after it was seen.
constexpr std::uint32_t kLabelCopyDelayMs = 1000;
// The copy status while the copies wait for the archive.
constexpr unsigned kArchiveFullId = 554;
constexpr unsigned kArchiveUnreachableId = 555;

}  // namespace

void CMainFrame::UpdateTheGame() {
    int status = 8;
    if (GameFolder.isEmpty()) {
        status = 0;
    } else if (Port.Step() == CPort4Crestron::kStepListening && Port.LastError() == 0 &&
               Player.HasComponent()) {
        // The file being copied has left the list already: it counts as copying too.
        if (IsCopyBusy())
            status = ExecutionEnabled ? 7 : 6;
        else
            status = ExecutionEnabled ? 5 : 4;
    }
    if (status != CurrentStatus) SetStatus(status);
    if (status == 6 || status == 7) ShowCopyStatus(status);

    Link.LogQueueNotes();
    if (ExecutionEnabled) {
        Link.PollCompanions();
        Playback.RefreshPlayPosition(Game);
    }

    if (Link.PendingCommandSet) {
        Link.PendingCommandSet = false;
        RunSplit(Link.PendingCommand);
    }

    if (Game.LabelsChanged.load() && Settings.DefPeriodNumber != RecordingPeriod && !GameFolder.isEmpty() &&
        !IsCopyPending()) {
        WriteLog("UpdateTheGame - Event list was changed - Start FillCopyFiles for game '%s'\n",
                 GameFolder.toUtf8().constData());
        const std::uint32_t notBefore = environment_.TimeSource->TickCountMs() + kLabelCopyDelayMs;
        CopyPlanner::Batch batch;
        FillCopyFiles(batch, Settings.DefPeriodNumber, true, notBefore);
        const std::int32_t last = std::abs(RecordingPeriod);
        for (std::int32_t i = 0; i <= last; ++i) FillCopyFiles(batch, i, true, notBefore);
        Game.LabelsChanged.exchange(false);
    }
}

void CMainFrame::RunSplit(const QString& text) {
    SplitCommand command;
    if (!SplitCommand::Parse(text, command)) return;  // every "Exit" ends here too
    if (GameFolder.isEmpty()) {
        // No current game (it was archived): nothing to split or to copy.
        Trace(QStringLiteral("Halvane::SplitAtTime without a current game - dropped\n"));
        return;
    }
    if (command.HasPath) {
        QString folder;
        if (SplitCommand::GameFolderFromPath(command.Path, Settings.CopyFromFolders(), folder)) {
            std::lock_guard lock(FrameLock);
            GameFolder = folder;
        }
    }
    SplitPeriod = command.Period;
    const auto ahead = static_cast<std::int64_t>(command.Time - environment_.TimeSource->UtcNow());
    const std::int64_t delay = std::clamp<std::int64_t>(ahead / kFileTimeUnitsPerMs, 0, kSplitSettleMs);
    if (SplitTimer != 0) KillTimer(SplitTimer);
    SetTimer(kSplitTimerId, static_cast<int>(delay + kSplitSettleMs));
    SplitTimer = kSplitTimerId;
}

void CMainFrame::CompleteSplit() {
    KillTimer(kSplitTimerId);
    SplitTimer = 0;
    WriteLog("Was SplitAtTime %d->%d - Start FillCopyFiles for game '%s'\n", RecordingPeriod, SplitPeriod,
             GameFolder.toUtf8().constData());
    if (!GameFolder.isEmpty()) {
        const std::uint32_t now = environment_.TimeSource->TickCountMs();
        CopyPlanner::Batch batch;
        if (Settings.DefPeriodNumber != RecordingPeriod) {
            FillCopyFiles(batch, Settings.DefPeriodNumber, true, now);
            const std::int32_t end = std::abs(RecordingPeriod);
            for (std::int32_t i = 0; i < end; ++i) FillCopyFiles(batch, i, true, now);
        }
        FillCopyFiles(batch, RecordingPeriod, false, now);
    }
    RecordingPeriod = SplitPeriod;
    Game.LabelsChanged.exchange(false);
}

void CMainFrame::SetStatus(int state) {
    if (!TrayCreated) return;
    CurrentStatus = state;
    // A trace line for each status set, for whoever follows the icon from outside.
    Trace(QStringLiteral("Halvane::SetStatus %1\n").arg(state));
    Tray.SetTooltip(LoadStringOrMark(StatusStringId(state)));
    Tray.SetStateIcon(state);
}

void CMainFrame::ShowCopyStatus(int state) {
    QString file;
    {
        std::lock_guard lock(FrameLock);
        file = CurrentCopyFile.left(259);
    }
    // The counter runs in whole chunks, so during a file's last chunk it may pass 100.
    const int percent = std::min(CopyPercent.load(), 100);
    const QString status = LoadStringOrMark(state == 6 ? 509 : 510);
    QString text;
    switch (ArchiveWaiting.load()) {
    case ArchiveWait::Full:
        text = QStringLiteral("%1\r\n%2").arg(status, LoadStringOrMark(kArchiveFullId));
        break;
    case ArchiveWait::Unreachable:
        text = QStringLiteral("%1\r\n%2").arg(status, LoadStringOrMark(kArchiveUnreachableId));
        break;
    case ArchiveWait::None:
        text = QStringLiteral("%1\r\n%2% %3").arg(status).arg(percent).arg(file);
        break;
    }
    // The icon holds the text cut to its length: compared as held, a long text is not set again.
    if (CSystemTray::CutTooltip(text) != Tray.GetTooltip()) Tray.SetTooltip(text);
}

}  // namespace hv
