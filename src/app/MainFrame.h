#pragma once
// CMainFrame: the program's one (hidden) window and the owner of everything that lives
// as long as the program: the notification-area icon, the Crestron port, the game model,
// the companion link, the replay player, the settings, the copy list and the workflow
// state. Runs on the GUI thread; other threads reach it only by posted window messages,
// the model's lock, FrameLock and atomics.

#include <QObject>
#include <QString>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "copy/CopyList.h"
#include "crestron/Port4Crestron.h"
#include "game/GameInfo.h"
#include "platform/Clock.h"
#include "platform/ComponentFactory.h"
#include "platform/MessageBoxes.h"
#include "playback/PlaybackControl.h"
#include "playback/ReplayPlayer.h"
#include "settings/AppSettings.h"
#include "settings/SettingsStore.h"
#include "tray/SystemTray.h"
#include "workflow/CompanionLink.h"

namespace hv {

class CMainFrame final : public QObject, public ITrayMenuOwner {
    Q_OBJECT
public:
    // What the frame needs from the world; tests replace each piece.
    struct Environment {
        const ComponentFactory* Components = nullptr;
        IMessageBoxes* MessageBoxes = nullptr;
        SettingsEnvironment Settings;
        const Clock* TimeSource = &Clock::System();
        TrayBackendFactory TrayBackend = QtTrayBackendFactory();
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
    void Exit();
    // Exit without the close question (see MayCloseUnattended): the same close in order.
    void ExitUnattended();

    // One tick of the game timer (the update cycle).
    void UpdateTheGame();
    // The status shown by the notification-area icon (0 to 8).
    void SetStatus(int state);

    bool IsCopyPending() const;

    // Window timers by our own ids.
    void SetTimer(int id, int periodMs);
    void KillTimer(int id);
    bool HasTimer(int id) const { return timers_.count(id) != 0; }

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
    QString CurrentCopyFile;        // guarded by FrameLock
    int CopyPercent = 0;            // guarded by FrameLock
    int RecordingPeriod = 50;
    CalendarTime GameStartLocal;
    QString GameFolder;
    std::atomic<bool> StopRequested{false};

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

    Environment environment_;
    std::map<int, int> timers_;  // our id -> Qt's timer id
    bool updateRunning_ = false;  // the update cycle is not re-entered from a nested loop
    bool destroyed_ = false;
};

}  // namespace hv
