#pragma once
// Starting and stopping the suite's applications, waiting for the storage manager, and
// resetting the score board. Everything runs on the GUI thread. Nothing waits for a
// program it starts; a score board reset through its service sleeps the one second the
// service is given to stop (the stop itself is only asked for).

#include <sys/types.h>

#include <QString>
#include <QStringList>
#include <functional>

#include "platform/ComponentFactory.h"
#include "platform/ProcessLauncher.h"
#include "settings/AppSettings.h"
#include "workflow/ScoreBoard.h"

namespace hv {

// How a companion's window is shown when it is started directly.
enum class WindowShow { Hidden, Normal };

enum class CompanionId { Vortamo, Dravenor, Kestrilo, Ostrimund };

// One row of the companion table.
struct CompanionEntry {
    CompanionId Id;
    QString AppSettings::*ExePath;
    const char* QueueName;   // the name probed for presence; null for the storage manager
    const char* StartArgs;   // blank-separated
    const char* StopArgs;    // started again with these to stop it; null when stopped by message
    WindowShow Show;
};

const CompanionEntry& Companion(CompanionId id);

class CCompanionProcesses {
public:
    struct Environment {
        const ComponentFactory* Components = nullptr;
        IServiceControl* Services = nullptr;
        // Sleeps the GUI thread; tests pass one that does not wait.
        std::function<void(int ms)> Sleep;
    };

    CCompanionProcesses(const AppSettings& settings, Environment environment);
    CCompanionProcesses(const CCompanionProcesses&) = delete;
    CCompanionProcesses& operator=(const CCompanionProcesses&) = delete;

    // Starts an executable as the logged-on user, or directly when that is not possible.
    // A start that fails is not reported: the workflow waiting for the companion notices.
    void StartCompanion(const QString& path, const QStringList& arguments, WindowShow show);
    // Starts a companion of the table with its start arguments.
    void StartCompanion(CompanionId id);
    // Starts the post-play capture a second time, with its stop arguments.
    void StopDravenor();
    // There is no task scheduler here to start a program as another user: always false.
    bool LaunchAsUser(const QString& path, const QStringList& arguments);

    // Starts the storage manager and keeps it to wait for. False when it cannot start.
    bool StartOstrimund();
    // True once the storage manager started by StartOstrimund has ended (or none runs).
    bool OstrimundEnded();
    pid_t OstrimundProcess() const { return ostrimund_; }

    bool ResetScoreBoard();
    bool IsScoreBoardReset();

    // Reaps companions started directly that have ended.
    void ReapEnded() { launcher_.ReapDetached(); }
    const ProcessLauncher& Launcher() const { return launcher_; }

private:
    const AppSettings& settings_;
    Environment environment_;
    ProcessLauncher launcher_;
    pid_t ostrimund_ = 0;
};

}  // namespace hv
