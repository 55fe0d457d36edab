#pragma once
// The suite's score board time component, as Halvane uses it: one class offering two
// interfaces, a reset and a status query. The service that hosts it is reached through
// IServiceControl.

#include <QObject>
#include <QString>
#include <cstdint>

#include "platform/Component.h"
#include "platform/ProcessLauncher.h"
#include "platform/ResultCodes.h"

namespace hv {

inline const QString kScoreTimeComponentClass = QStringLiteral("Zandrel.ScoreTimeComponent");
// The service behind the component.
inline const QString kScoreBoardService = QStringLiteral("Wintacore");

class IScoreTimeControl {
public:
    virtual ~IScoreTimeControl() = default;
    // Resets the score board; Halvane passes 0.
    virtual HResult Reset(std::int32_t value) = 0;
};

class IScoreTimeState {
public:
    virtual ~IScoreTimeState() = default;
    // `held` counts what the score board holds, 0 once it has been reset; the other two
    // outputs are not used by Halvane.
    virtual HResult GetStatus(std::uint32_t& held, std::uint32_t& second, std::uint32_t& third) = 0;
};

// The service control manager, as far as Halvane needs it.
class IServiceControl {
public:
    virtual ~IServiceControl() = default;
    // False when the service control manager cannot be reached.
    virtual bool OpenManager() = 0;
    // Asks the service to stop; the outcome is not reported.
    virtual void StopService(const QString& name) = 0;
    // Collects what the stops left behind that has ended (a service manager's own
    // process). Does not block.
    virtual void ReapEnded() {}
};

// The system's service manager: `systemctl --no-ask-password --no-block stop <name lower
// case>.service`, started and left to itself, as a stop control is sent and not waited
// for: the GUI thread never waits on systemctl. Runs on the GUI thread.
class SystemctlServiceControl final : public IServiceControl {
public:
    bool OpenManager() override;
    void StopService(const QString& name) override;
    // Reaps the systemctl runs that have ended. Does not block.
    void ReapEnded() override { launcher_.ReapDetached(); }
    const ProcessLauncher& Launcher() const { return launcher_; }

private:
    ProcessLauncher launcher_;
};

}  // namespace hv

Q_DECLARE_INTERFACE(hv::IScoreTimeControl, "com.tervanix.zandrel.IScoreTimeControl/1.0")
Q_DECLARE_INTERFACE(hv::IScoreTimeState, "com.tervanix.zandrel.IScoreTimeState/1.0")
