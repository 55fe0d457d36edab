#include "app/HalvaneApp.h"

#include <QApplication>
#include <QSessionManager>
#include <QWidget>

#include "app/MainFrame.h"
#include "app/StartupComponent.h"
#include "language/Language.h"
#include "log/DiagnosticLog.h"
#include "settings/SettingsStore.h"

namespace hv {

namespace {
// The lock's name; a test run may give each started program its own.
std::string InstanceName() {
    const QByteArray configured = qgetenv("HALVANE_INSTANCE_NAME");
    return configured.isEmpty() ? std::string("Halvane") : configured.toStdString();
}
}  // namespace

CHalvaneApp::CHalvaneApp()
    : instance_(InstanceName()), components_(ComponentFactory::DefaultDirectory()) {
    // From the start: a signal that comes while a start-up message is open is not lost.
    connect(&signals_, &TerminationSignals::Received, this, &CHalvaneApp::OnTerminationSignal);
}

CHalvaneApp::~CHalvaneApp() { ExitInstance(); }

bool CHalvaneApp::InitInstance() {
    QCoreApplication::setOrganizationName(QStringLiteral("Tervanix"));
    QCoreApplication::setApplicationName(QStringLiteral("Halvane"));
    QApplication::setQuitOnLastWindowClosed(false);
    ApplySavedLanguage();

    // Another Halvane of this user runs: end without a word. A lock that cannot be taken at
    // all (no runtime folder fit for use) is said in the log before the end.
    if (!instance_.Acquire()) {
        if (instance_.LastError() != 0) {
            WriteLog("Halvane::InitInstance ERROR - can't take the single-instance lock: %s\n",
                     instance_.Problem().c_str());
            startFailed_ = true;
        }
        return false;
    }

    startupObject_ = components_.CreateFor(kStartupComponentClass, startup_);
    if (startup_ != nullptr) startup_->Begin(0, 2, 0);

    CMainFrame::Environment environment;
    environment.Components = &components_;
    environment.MessageBoxes = &messageBoxes_;
    environment.Settings = SettingsEnvironment::ForThisProcess(components_);
    frame_ = std::make_unique<CMainFrame>(std::move(environment));
    if (!frame_->Create()) {
        frame_.reset();
        startFailed_ = true;
        return false;
    }
    connect(frame_.get(), &CMainFrame::CloseRequested, qApp, &QCoreApplication::quit,
            Qt::QueuedConnection);
    // The desktop session asks before it logs off or shuts down; the question is asked only
    // when the session lets the program talk to the user.
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager& session) {
        const bool interactionAllowed = session.allowsInteraction();
        const bool mayEnd = MaySessionEnd(interactionAllowed);
        if (interactionAllowed) session.release();
        if (!mayEnd) session.cancel();
    });
    started_ = true;
    // A signal during the start-up: the close in order, once the main loop runs.
    if (terminationRequested_) frame_->ExitUnattended();
    return true;
}

bool CHalvaneApp::MaySessionEnd(bool interactionAllowed) {
    if (interactionAllowed) return MayCloseAll();
    return frame_ == nullptr || frame_->MayCloseUnattended();
}

void CHalvaneApp::OnTerminationSignal(int signalNumber) {
    WriteLog("Halvane::OnSignal %s => close\n", TerminationSignals::Name(signalNumber));
    if (!started_) {
        // The start-up is still under way, perhaps in a message box: close that box, and
        // the close follows when the start-up is over.
        terminationRequested_ = true;
        if (QWidget* box = QApplication::activeModalWidget()) box->close();
        return;
    }
    if (frame_ != nullptr) {
        frame_->ExitUnattended();
    } else {
        QCoreApplication::quit();
    }
}

void CHalvaneApp::ExitInstance() {
    frame_.reset();
    if (startup_ != nullptr) startup_->End();
    startup_ = nullptr;
    startupObject_.reset();
    instance_.Release();
}

bool CHalvaneApp::MayCloseAll() { return frame_ == nullptr || frame_->MayClose(); }

}  // namespace hv
