// The frame's side of the video archive: copy planning for the current game, the
// archive's game description "refresh.csv", and resuming the game it names.
#include "app/MainFrame.h"
#include "copy/ArchiveRefresh.h"
#include "language/Language.h"
#include "language/MessageText.h"
#include "log/DiagnosticLog.h"
#include "platform/FileSystem.h"

namespace hv {

void CMainFrame::FillCopyFiles(std::int32_t number, bool xmlOnly, std::uint32_t notBefore) {
    Planner.FillCopyFiles(ArchiveRootNow(), Settings, GameFolder, number, xmlOnly, notBefore);
}

void CMainFrame::FillCopyFiles(CopyPlanner::Batch& batch, std::int32_t number, bool xmlOnly,
                               std::uint32_t notBefore) {
    Planner.FillCopyFiles(batch, ArchiveRootNow(), Settings, GameFolder, number, xmlOnly, notBefore);
}

// GUI thread or copy worker thread.
bool CMainFrame::WriteArchiveRefresh(IMessageBoxes* owner, bool skipWithoutGame) {
    ArchiveRefresh::Result result;
    {
        // The later caller writes later, so its game is the one that stays.
        std::lock_guard serial(refreshMutex_);
        // The archive root as recorded with the settings: the file is written only while
        // the root is still the archive's (never onto the folder of a dropped share).
        const ArchiveRoot root = ArchiveRootNow();
        CalendarTime game;
        {
            std::lock_guard lock(FrameLock);
            game = GameStartLocal;
        }
        if (skipWithoutGame && game.year == 0) return false;
        result = ArchiveRefresh::Write(root, game, environment_.TimeSource->LocalNow());
    }
    // No lock is held while a message box runs.
    switch (result.What) {
    case ArchiveRefresh::Outcome::Written:
        return true;
    case ArchiveRefresh::Outcome::TmpNotWritten:
        WriteLog("Can't create tmp file with game info for Video_Archive '%s'!\n", result.TmpPath.toUtf8().constData());
        if (owner != nullptr)
            owner->Show(FillMessage(LoadStringOrMark(541), {result.TmpPath, result.Error}),
                        BoxIcon::Warning, BoxButtons::Ok);
        return false;
    case ArchiveRefresh::Outcome::NotMoved:
        if (owner != nullptr)
            owner->Show(FillMessage(LoadStringOrMark(542), {result.TmpPath, result.CsvPath, result.Error}),
                        BoxIcon::Warning, BoxButtons::Ok);
        return false;
    }
    return false;
}

bool CMainFrame::RestoreCurrentGame() {
    QString root;
    {
        std::lock_guard lock(FrameLock);
        root = fs::WithTrailingSeparator(Settings.CopyToPath);
    }
    ArchiveRefresh::Restored restored;
    if (!ArchiveRefresh::Read(root, restored)) return false;
    {
        std::lock_guard lock(FrameLock);
        GameStartLocal = restored.GameStart;
        GameFolder = restored.GameFolder;
    }
    Game.SetGameStart(restored.GameStart);
    if (restored.RecordingPeriod > 0) RecordingPeriod = restored.RecordingPeriod;
    return true;
}

}  // namespace hv
