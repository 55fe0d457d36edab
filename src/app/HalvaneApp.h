#pragma once
// CHalvaneApp: prepares the process, makes sure only one Halvane runs, creates the hidden
// main frame and runs the event loop. Also the About command and the close check that the
// desktop session asks before it ends.

#include <QObject>
#include <memory>

#include "platform/ComponentFactory.h"
#include "platform/QtMessageBoxes.h"
#include "platform/SingleInstance.h"
#include "platform/TerminationSignals.h"

namespace hv {

class CMainFrame;
class IStartupComponent;

class CHalvaneApp final : public QObject {
    Q_OBJECT
public:
    CHalvaneApp();
    ~CHalvaneApp() override;

    // Start-up in order: settings location, saved language, single instance, the suite's
    // start-up component, the main frame. False when Halvane must end now: another one
    // runs, or it could not start (StartFailed).
    bool InitInstance();
    // After a false InitInstance: the start failed (the frame could not be created after
    // telling the user why, or the single-instance lock could not be taken at all), rather
    // than another Halvane running.
    bool StartFailed() const { return startFailed_; }
    // The end: the start-up component's second call, the lock released.
    void ExitInstance();
    // Asked before the main window closes: the frame's close check.
    bool MayCloseAll();
    // The desktop session ends: the close question only when the session lets us ask.
    bool MaySessionEnd(bool interactionAllowed);
    // SIGTERM, SIGINT or SIGHUP: the close in order, without the close question.
    void OnTerminationSignal(int signalNumber);

    CMainFrame* Frame() const { return frame_.get(); }

private:
    SingleInstance instance_;
    TerminationSignals signals_;
    ComponentFactory components_;
    QtMessageBoxes messageBoxes_;
    ComponentPtr startupObject_;
    IStartupComponent* startup_ = nullptr;
    std::unique_ptr<CMainFrame> frame_;
    bool started_ = false;               // InitInstance has finished
    bool startFailed_ = false;           // InitInstance could not start the program
    bool terminationRequested_ = false;  // a signal came while it ran
};

}  // namespace hv
