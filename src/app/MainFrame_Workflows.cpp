// The workflow commands, the dispatch of the progress dialog's ticks to the workflows'
// step functions, and the debug menu's manual recorder cycle.
#include <QCoreApplication>

#include "app/MainFrame.h"
#include "app/WorkflowTick.h"
#include "copy/ArchiveRefresh.h"
#include "language/Language.h"
#include "log/DiagnosticLog.h"

namespace hv {

void CMainFrame::OnArchiveGame() { RunWorkflow(3, 543, kArchiveGame); }
void CMainFrame::OnStartNewGame() { RunWorkflow(1, 544, kStartNewGame); }
void CMainFrame::OnStopGame() { RunWorkflow(2, 545, kStopGame); }
void CMainFrame::OnStartArchivedGame() { RunWorkflow(1, 546, kStartArchivedGame); }

void CMainFrame::RunWorkflow(int status, unsigned titleId, int kind) {
    // Clicks on the icon are ignored while the dialog is open.
    Tray.SetMenuEnabled(false);
    SetStatus(status);
    {
        CShowProgress dialog(this, titleId, kind);
        activeProgress_ = &dialog;
        dialog.exec();
        activeProgress_ = nullptr;
    }
    Tray.SetMenuEnabled(true);
}

bool CMainFrame::AskYes(unsigned questionId) {
    return environment_.MessageBoxes->Show(LoadStringOrMark(questionId), BoxIcon::Question, BoxButtons::YesNo) ==
           BoxAnswer::Yes;
}

void CMainFrame::ShowBox(const QString& text, BoxIcon icon) {
    environment_.MessageBoxes->Show(text, icon, BoxButtons::Ok);
}

void CMainFrame::LogAndShow(const char* logLine, unsigned messageId, BoxIcon icon) {
    WriteLog("%s", logLine);
    ShowBox(LoadStringOrMark(messageId), icon);
}

bool CMainFrame::EndWorkflow(WorkflowTick& tick, const char* successLine, unsigned messageId) {
    tick.dialog.SetProgress(100);
    LogAndShow(successLine, messageId, BoxIcon::Information);
    return false;
}

bool CMainFrame::RunWorkflowStep(int kind, std::int32_t& step, std::uint32_t& deadline, CShowProgress& dialog) {
    // A closing frame runs no more steps.
    if (destroyed_) return false;
    switch (kind) {
    case kArchiveGame: return OnFileReset(step, deadline, dialog);
    case kStartNewGame: return OnFileRecStart(step, deadline, dialog);
    case kStopGame: return OnFileRecStop(step, deadline, dialog);
    case kStartArchivedGame: return OnFileOldStart(step, deadline, dialog);
    default: return false;
    }
}

void CMainFrame::OnTest() {
    const Clock& clock = *environment_.TimeSource;
    QString sent;
    if (TestStep == 0) {
        Link.SendToVortamo(QStringLiteral("ExternalControlOn"));
        Link.SendToVortamo(QStringLiteral("ResetFolder"));
        CalendarTime start = clock.LocalNow();
        start.second = 0;
        start.millisecond = 0;
        {
            // The copy worker reads the game's start when it writes the archive's description.
            std::lock_guard lock(FrameLock);
            GameStartLocal = start;
            GameFolder = ArchiveRefresh::GameFolderOf(start);
        }
        Game.SetGameStart(start);
        sent = QStringLiteral("StartRecord 1111111111111111 0 \\") + GameFolder;
        Link.SendToVortamo(sent);
        TestStep = 1;
    } else if (TestStep > 3) {
        sent = QStringLiteral("StopRecord");
        Link.SendToVortamo(sent);
        TestStep = 0;
    } else {
        const FileTime now = clock.UtcNow();
        sent = QString::asprintf("SplitAtTime %d_0x%08X_0x%08X", TestStep, static_cast<unsigned>(now & 0xFFFFFFFFu),
                                 static_cast<unsigned>(now >> 32));
        Link.SendToVortamo(sent);
        TestStep = TestStep > 0 ? -TestStep : 1 - TestStep;
    }
    environment_.MessageBoxes->Show(sent, BoxIcon::Information, BoxButtons::Ok);
}

}  // namespace hv
