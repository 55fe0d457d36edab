#include "app/MainFrame.h"

#include <QTimerEvent>

#include "language/Language.h"
#include "log/DiagnosticLog.h"
#include "platform/WindowMessages.h"

namespace hv {

CMainFrame::CMainFrame(Environment environment)
    : Tray(*this, environment.TrayBackend),
      Game(*environment.TimeSource),
      Link(*environment.Components, *environment.TimeSource),
      Player(*environment.Components, *environment.TimeSource),
      Playback(Player),
      CopyRootRecord(FrameLock, CopyRoot, environment.MountTable),
      Worker(CopyWorker::Shared{FrameLock, Copies, Settings, CopyRootRecord, CurrentCopyFile, CopyPercent, StopRequested,
                                ArchiveWaiting},
             *environment.TimeSource, [this] { WriteArchiveRefresh(nullptr, true); }),
      Companions(Settings, {environment.Components,
                            environment.Services != nullptr ? environment.Services : &systemServices_,
                            environment.Sleep}),
      environment_(std::move(environment)) {
    Link.SetMessageBoxes(environment_.MessageBoxes);
}

CMainFrame::~CMainFrame() {
    if (!destroyed_) Destroy();
    Worker.RequestStop();
    Worker.Join();
    {
        std::lock_guard lock(FrameLock);
        Copies.clear();
    }
    Player.ReleasePlayer();
    // The Crestron thread reads the model: it is joined before the model goes.
    Port.ClosePort();
}

bool CMainFrame::Create() {
    LoadSettings(Settings, environment_.Settings, [this](const QString& host) { Link.SetVortamoHost(host); });
    Settings.NormaliseCopySettings();
    {
        ArchiveRoot root = CopyRootRecord.Record(Settings.CopyToPath);
        std::lock_guard lock(FrameLock);
        CopyRoot = std::move(root);
    }
    Port.UseGameTime = Settings.UseGameTime;
    Game.Clear();

    const unsigned port = Settings.ListenPort();
    if (!Port.InitPort(port, this, &Game)) {
        environment_.MessageBoxes->Show(Port.GetInitErrorText(port), BoxIcon::Error, BoxButtons::Ok);
        return false;
    }
    if (!Link.OpenQueue(this)) {
        environment_.MessageBoxes->Show(LoadStringOrMark(514), BoxIcon::Error, BoxButtons::Ok);
        return false;
    }
    Player.InitPlayer(Settings.PlayerRegName, Settings.FifoSizeMS);  // silent at start-up
    TrayCreated = Tray.AddIcon(QStringLiteral("Halvane"));
    SetTimer(kGameTimerId, kGameTimerPeriodMs);
    Worker.Start();
    const bool resumed = RestoreCurrentGame();
    ExecutionEnabled = resumed;
    Link.PollingEnabled = resumed;
    return true;
}

void CMainFrame::Destroy() {
    destroyed_ = true;
    // A workflow's dialog would refuse to close and so hold the program's end back.
    if (activeProgress_ != nullptr) activeProgress_->End();
    Worker.RequestStop();
    WriteLog("Halvane::OnDestroy()\n");
    KillTimer(kGameTimerId);
    Tray.RemoveIcon();
}

// Any thread.
ArchiveRoot CMainFrame::ArchiveRootNow() { return CopyRootRecord.Now(); }

bool CMainFrame::IsCopyPending() const {
    std::lock_guard lock(FrameLock);
    return !Copies.empty();
}

bool CMainFrame::IsCopyBusy() const {
    std::lock_guard lock(FrameLock);
    return !Copies.empty() || !CurrentCopyFile.isEmpty();
}

bool CMainFrame::MayClose() {
    if (!IsCopyBusy()) return true;
    return environment_.MessageBoxes->Show(LoadStringOrMark(523), BoxIcon::Question,
                                           BoxButtons::YesNo) == BoxAnswer::Yes;
}

bool CMainFrame::MayCloseUnattended() {
    if (IsCopyBusy())
        WriteLog("Halvane::MayClose: nobody to ask, closing with files not copied yet\n");
    return true;
}

void CMainFrame::SetTimer(int id, int periodMs) {
    KillTimer(id);
    timers_[id] = startTimer(periodMs);
    timerPeriods_[id] = periodMs;
}

int CMainFrame::TimerPeriodMs(int id) const {
    const auto found = timerPeriods_.find(id);
    return found == timerPeriods_.end() ? 0 : found->second;
}

void CMainFrame::KillTimer(int id) {
    const auto found = timers_.find(id);
    if (found == timers_.end()) return;
    killTimer(found->second);
    timers_.erase(found);
    timerPeriods_.erase(id);
}

void CMainFrame::timerEvent(QTimerEvent* event) {
    int ours = 0;
    for (const auto& [id, qtId] : timers_)
        if (qtId == event->timerId()) ours = id;
    if (ours == kGameTimerId)
        OnGameTimer();
    else if (ours == kSplitTimerId)
        CompleteSplit();
    else
        QObject::timerEvent(event);
}

void CMainFrame::OnGameTimer() {
    // A tick that arrives while an earlier update runs (inside a message box's loop) skips.
    if (!updateRunning_) {
        updateRunning_ = true;
        UpdateTheGame();
        updateRunning_ = false;
    }
    if (!TrayCreated) TrayCreated = Tray.AddIcon(QStringLiteral("Halvane"));
    Companions.ReapEnded();
    systemServices_.ReapEnded();
}

bool CMainFrame::event(QEvent* event) {
    ReceiveWindowMessages(this);
    const auto* message = dynamic_cast<const WindowMessageEvent*>(event);
    if (message == nullptr) return QObject::event(event);
    switch (message->Message()) {
    case kMsgPlayRequest:
    case kMsgLabelRequested:
        Playback.HandleMessage(*message, Game, Settings.Preroll);
        return true;
    case kMsgConnectionWaiting:
        Port.AcceptConnection();
        return true;
    case kMsgCompanionMessages:
        if (Link.MsgComponent != nullptr && Link.QueueOpen) Link.OnCompanionMessages(Game);
        return true;
    default:
        return QObject::event(event);
    }
}

}  // namespace hv
