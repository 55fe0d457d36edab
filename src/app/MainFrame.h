#pragma once
// CMainFrame: the program's one (hidden) window and the owner of everything that lives
// as long as the program: the notification-area icon, the Crestron port, the game model,
// the companion link, the replay player, the settings, the copy list and the workflow
// state. Runs on the GUI thread; other threads reach it only by posted window messages,
// the model's lock, FrameLock and atomics.

#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "copy/CopyList.h"
#include "copy/CopyPlanning.h"
#include "copy/CopyWorker.h"
#include "crestron/Port4Crestron.h"
#include "game/GameInfo.h"
#include "platform/Clock.h"
#include "platform/ComponentFactory.h"
#include "platform/MessageBoxes.h"
#include "playback/PlaybackControl.h"
#include "playback/ReplayPlayer.h"
#include "settings/AppSettings.h"
#include "settings/SettingsDlg.h"
#include "settings/SettingsStore.h"
#include "tray/SystemTray.h"
#include "workflow/CompanionLink.h"
#include "workflow/CompanionProcesses.h"
#include "workflow/ShowProgress.h"

namespace hv {

struct CompanionCloseWait;
struct WorkflowTick;

class CMainFrame final : public QObject, public ITrayMenuOwner, public IWorkflowSteps {
    Q_OBJECT
public:
    // What the frame needs from the world; tests replace each piece.
    struct Environment {
        const ComponentFactory* Components = nullptr;
        IMessageBoxes* MessageBoxes = nullptr;
        SettingsEnvironment Settings;
        const Clock* TimeSource = &Clock::System();
        TrayBackendFactory TrayBackend = QtTrayBackendFactory();
        // The service manager (the system's when null) and the GUI thread's sleep (a
        // real one when empty), as the companion processes use them.
        IServiceControl* Services = nullptr;
        std::function<void(int ms)> Sleep;
        IFilePrompt* FilePrompt = nullptr;  // the settings dialog's pickers; null: the desktop's
        // The mount table the archive root is checked against (see ArchiveRoot).
        QByteArray MountTable = ArchiveRoot::kSystemMountTable;
    };

    static constexpr int kGameTimerId = 101;
    static constexpr int kGameTimerPeriodMs = 1000;
    static constexpr int kSplitTimerId = 103;

    explicit CMainFrame(Environment environment);
    ~CMainFrame() override;
    CMainFrame(const CMainFrame&) = delete;
    CMainFrame& operator=(const CMainFrame&) = delete;

    // The window's creation: settings, model, Crestron port, message queue, player, icon,
    // timer. False (after the user's message) when the port or the queue cannot be opened.
    bool Create();
    // The window's destruction: stops the timer and removes the icon.
    void Destroy();
    // Asked before Halvane closes: false while files wait to be copied and the user does
    // not agree to stop copying.
    bool MayClose();
    // The close check when nobody can be asked (a session ending without interaction, a
    // termination signal): always true; files still queued for copying are logged.
    bool MayCloseUnattended();

    // The command table: runs a menu command, and tells whether it is enabled and ticked.
    void OnCommand(unsigned command);
    bool IsCommandEnabled(unsigned command) const;
    bool IsCommandChecked(unsigned command) const;
    // The icon's menu asks for the items' states and hands over the chosen command.
    CommandState QueryCommandState(unsigned command) override;
    void OnMenuCommand(unsigned command) override { OnCommand(command); }

    // Commands with more than one step.
    void AdvancedStart();
    void AdvancedStop();
    void ChooseLanguageCommand(unsigned lcid);
    // "Settings...": the settings dialog, and on OK the new values applied and saved.
    void SettingsCommand();
    void Exit();
    // Exit without the close question (see MayCloseUnattended): the same close in order.
    void ExitUnattended();

    // One tick of the game timer (the update cycle).
    void UpdateTheGame();
    // The status shown by the notification-area icon (0 to 8).
    void SetStatus(int state);

    // True while the copy list holds items (the item being copied is not in the list).
    bool IsCopyPending() const;
    // True while items wait or one is being copied: what closing would abandon. Whatever
    // asks whether copying is finished (closing, message 522 of "Archive the game") asks
    // this, not IsCopyPending: the file being copied has already left the list.
    bool IsCopyBusy() const;

    // Copy planning for the current game (see CopyPlanner::FillCopyFiles), as a request of
    // its own or of the run `batch`.
    void FillCopyFiles(std::int32_t number, bool xmlOnly, std::uint32_t notBefore);
    void FillCopyFiles(CopyPlanner::Batch& batch, std::int32_t number, bool xmlOnly, std::uint32_t notBefore);
    // The end of a split (timer 103): the finished segment's recordings go to the archive.
    void CompleteSplit();
    // Rewrites "refresh.csv" for the current game. `owner` shows the failure messages (541,
    // 542); none shows nothing. Serialised between the GUI thread and the copy worker.
    // `skipWithoutGame`: write nothing while there is no game (the worker's call).
    bool WriteArchiveRefresh(IMessageBoxes* owner, bool skipWithoutGame = false);
    // Makes the game named by the archive's "refresh.csv" the current game. GUI thread.
    bool RestoreCurrentGame();
    // The archive root as recorded when the settings were loaded or applied. A root that
    // was not there then is recorded the first time it is found. Any thread.
    ArchiveRoot ArchiveRootNow();
    // Takes the settings dialog's values: the copy settings under one FrameLock hold and
    // within their ranges; the player and the Crestron port set up again only when theirs
    // changed; then saves.
    void ApplySettings(const SettingsDlgValues& values);

    // The workflow commands: each runs its workflow in the progress dialog.
    void OnArchiveGame();
    void OnStartNewGame();
    void OnStopGame();
    void OnStartArchivedGame();
    // Runs one step of a workflow for the progress dialog.
    bool RunWorkflowStep(int kind, std::int32_t& step, std::uint32_t& deadline, CShowProgress& dialog) override;
    // The step functions of the four workflows.
    bool OnFileReset(std::int32_t& step, std::uint32_t& deadline, CShowProgress& dialog);
    bool OnFileRecStart(std::int32_t& step, std::uint32_t& deadline, CShowProgress& dialog);
    bool OnFileRecStop(std::int32_t& step, std::uint32_t& deadline, CShowProgress& dialog);
    bool OnFileOldStart(std::int32_t& step, std::uint32_t& deadline, CShowProgress& dialog);
    // The debug menu's manual recorder cycle: one step per use.
    void OnTest();
    // The dialog of the workflow that runs now, null between workflows.
    CShowProgress* ActiveProgress() const { return activeProgress_; }

    // Window timers by our own ids.
    void SetTimer(int id, int periodMs);
    void KillTimer(int id);
    bool HasTimer(int id) const { return timers_.count(id) != 0; }
    int TimerPeriodMs(int id) const;

    // Members, in the order the program describes them.
    CSystemTray Tray;
    bool TrayCreated = false;
    AppSettings Settings;
    CPort4Crestron Port;
    CGameInfo Game;
    int CurrentStatus = 4;
    CCompanionLink Link;
    bool ExecutionEnabled = false;
    ReplayPlayer Player;
    PlaybackControl Playback;
    int SplitPeriod = 0;
    mutable std::mutex FrameLock;
    CopyList Copies;                // guarded by FrameLock
    ArchiveRoot CopyRoot;           // guarded by FrameLock; recorded with the settings
    ArchiveRootRecord CopyRootRecord;  // what CopyRoot is and when it is recorded anew
    QString CurrentCopyFile;        // guarded by FrameLock
    std::atomic<int> CopyPercent{0};  // written by the copy worker, read by the status
    // What the waiting copies wait for: written by the copy worker, read by the status.
    std::atomic<ArchiveWait> ArchiveWaiting{ArchiveWait::None};
    int RecordingPeriod = 50;
    CalendarTime GameStartLocal;    // written under FrameLock on the GUI thread, read by the copy worker
    QString GameFolder;             // written under FrameLock on the GUI thread, read on the GUI thread
    std::atomic<bool> StopRequested{false};
    int SplitTimer = 0;             // kSplitTimerId while the split timer runs, else 0
    CopyPlanner Planner{FrameLock, Copies};
    // Started at the end of Create, stopped by Destroy, joined by the destructor.
    CopyWorker Worker;
    CCompanionProcesses Companions;
    std::int32_t TestStep = 0;
    // Start new game: the user chose to go on without the recorder; the workflow then
    // neither checks nor starts its recording.
    bool WithoutVortamo = false;
    // Start new game: the sequence number of the start command sent last (0: it failed at
    // once). Its state answer counts only once the command is known to have been taken.
    std::int32_t StartRecordSequence = 0;
    // Stop the game: the try of "StopRecord" whose outcome the step waits for (its sequence
    // number, 0: none) and the tick it was sent at. A recorder on another computer tells
    // whether it took a message only a moment after it was sent.
    std::int32_t RecorderSendAwaited = 0;
    std::uint32_t RecorderSendSince = 0;

signals:
    // Emitted when Exit was accepted: the application ends its event loop.
    void CloseRequested();

protected:
    bool event(QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    void OnGameTimer();
    void StopPlayback();
    void ShowCopyStatus(int state);
    void RunSplit(const QString& command);
    void RunWorkflow(int status, unsigned titleId, int kind);

    // What every step function uses: the tick now, the signed time since the step's
    // deadline (right across a wrap of the tick), and the workflow's message boxes, shown
    // while the progress dialog is open and so owned by it.
    std::uint32_t TickNow() const { return environment_.TimeSource->TickCountMs(); }
    std::int32_t SinceDeadline(std::uint32_t deadline) const { return TickDiffMs(TickNow(), deadline); }
    bool AskYes(unsigned questionId);                   // a question box; only Yes is consent
    void ShowBox(const QString& text, BoxIcon icon);    // an OK box: error, warning or plain
    // A step's outcome: `logLine` goes to the log, then message `messageId` is shown.
    void LogAndShow(const char* logLine, unsigned messageId, BoxIcon icon);
    // A workflow's successful end: the bar full, `successLine` logged and message
    // `messageId` shown; false, so that the dialog closes.
    bool EndWorkflow(WorkflowTick& tick, const char* successLine, unsigned messageId);

    // "Start new game", phase by phase (see OnFileRecStart).
    bool StartNewGame_Confirm(WorkflowTick& tick);
    bool StartNewGame_ResetGame(WorkflowTick& tick);
    bool StartNewGame_RunRecorder(WorkflowTick& tick);
    bool StartNewGame_WaitRecorder(WorkflowTick& tick);
    bool StartNewGame_RunCapture(WorkflowTick& tick);
    bool StartNewGame_CheckRecorder(WorkflowTick& tick);
    bool StartNewGame_RunReferee(WorkflowTick& tick);
    bool StartNewGame_StartRecording(WorkflowTick& tick);
    bool StartNewGame_WaitRecording(WorkflowTick& tick);
    bool StartNewGame_WaitReferee(WorkflowTick& tick);
    bool StartNewGame_Finish(WorkflowTick& tick);
    // Asks the recorder for its clock and its state (the answers come as messages).
    void AskRecorderTimeAndState();
    // Tells the recorder to record into the game's folder; only a state answered after
    // this counts.
    void SendStartRecord();

    // "Stop the game", phase by phase (see OnFileRecStop).
    bool StopGame_Confirm(WorkflowTick& tick);
    bool StopGame_StopRefereeClock(WorkflowTick& tick);
    bool StopGame_StopRecording(WorkflowTick& tick);
    bool StopGame_StopCapture(WorkflowTick& tick);
    bool StopGame_WaitRecorderFiles(WorkflowTick& tick);
    bool StopGame_QueueCopies(WorkflowTick& tick);
    bool StopGame_CloseRecorder(WorkflowTick& tick);
    bool StopGame_Finish(WorkflowTick& tick);

    // "Archive the game", phase by phase (see OnFileReset).
    bool ArchiveGame_StopAll(WorkflowTick& tick);
    bool ArchiveGame_CloseRecorder(WorkflowTick& tick);
    bool ArchiveGame_WaitClosed(WorkflowTick& tick, bool stays, const CompanionCloseWait& wait);
    bool ArchiveGame_RecorderStays();  // the recorder that was to exit still runs
    bool ArchiveGame_RunStorageManager(WorkflowTick& tick);
    bool ArchiveGame_WaitStorageManager(WorkflowTick& tick);
    bool ArchiveGame_SetUpNextGame(WorkflowTick& tick);
    bool ArchiveGame_Finish(WorkflowTick& tick);

    // "Start archived game", phase by phase (see OnFileOldStart).
    bool StartArchivedGame_ResetGame(WorkflowTick& tick);
    bool StartArchivedGame_RunReferee(WorkflowTick& tick);
    bool StartArchivedGame_WaitReferee(WorkflowTick& tick);
    bool StartArchivedGame_WaitPeriods(WorkflowTick& tick);
    bool StartArchivedGame_Finish(WorkflowTick& tick);
    // The start of the game's first period once the referee console has reported one that
    // can be used (with its local time in `local`), else 0.
    FileTime StartArchivedGame_FirstPeriodStart(CalendarTime& local);

    std::mutex refreshMutex_;  // one "refresh.csv" writer at a time; taken before FrameLock

    Environment environment_;
    SystemctlServiceControl systemServices_;
    CShowProgress* activeProgress_ = nullptr;
    std::map<int, int> timers_;  // our id -> Qt's timer id
    std::map<int, int> timerPeriods_;  // our id -> period in ms
    bool updateRunning_ = false;  // the update cycle is not re-entered from a nested loop
    bool destroyed_ = false;
};

}  // namespace hv
