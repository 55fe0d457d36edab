// A Halvane frame on a real display running a workflow of this program's own in the
// progress dialog, step by step as the test allows: step k waits until the file "go<k>"
// exists in the folder given as the argument. Before each step's wait it writes
//   step <k> status <n> tooltip <text with \n> icon <resource>
// to standard output; "done" once the dialog has closed.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTimer>
#include <cstdio>

#include "app/MainFrame.h"
#include "log/DiagnosticLog.h"
#include "platform/QtMessageBoxes.h"
#include "settings/SettingsStore.h"

namespace {

class ShownWorkflow final : public hv::IWorkflowSteps {
public:
    ShownWorkflow(hv::CMainFrame& frame, QString folder) : frame_(frame), folder_(std::move(folder)) {}

    bool RunWorkflowStep(int, std::int32_t& step, std::uint32_t&, hv::CShowProgress& dialog) override {
        static const char* const kTexts[] = {"Run Vortamo", "Wait Vortamo answer", "Save info for video archive server"};
        static const int kStatus[] = {1, 2, 3};
        if (step < 3 && !announced_) {
            dialog.SetStepText(QString::fromLatin1(kTexts[step]));
            dialog.SetProgress(step == 2 ? 100 : 1 + 45 * step);
            frame_.SetStatus(kStatus[step]);
            QString tooltip = frame_.Tray.GetTooltip();
            tooltip.replace(u'\n', QStringLiteral("\\n"));
            std::printf("step %d status %d tooltip %s icon %u\n", step, frame_.CurrentStatus, tooltip.toUtf8().constData(),
                        frame_.Tray.IconResource());
            std::fflush(stdout);
            announced_ = true;
        }
        if (!QFile::exists(QDir(folder_).filePath(QStringLiteral("go%1").arg(step)))) return true;
        announced_ = false;
        return ++step < 3;
    }

private:
    hv::CMainFrame& frame_;
    QString folder_;
    bool announced_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // The log's lines go to standard error only, where the test reads them: no log file is
    // left beside this program in the build folder.
    hv::TheLog().KeepToTraceOnly();
    QCoreApplication::setOrganizationName(QStringLiteral("Tervanix"));
    QCoreApplication::setApplicationName(QStringLiteral("Halvane"));
    QApplication::setQuitOnLastWindowClosed(false);
    if (app.arguments().size() != 2) {
        std::fputs("usage: halvane_progress_show FOLDER\n", stderr);
        return 2;
    }
    hv::ComponentFactory components(hv::ComponentFactory::DefaultDirectory());
    hv::QtMessageBoxes boxes;
    hv::CMainFrame::Environment environment;
    environment.Components = &components;
    environment.MessageBoxes = &boxes;
    environment.Settings = hv::SettingsEnvironment::ForThisProcess(components);
    hv::CMainFrame frame(std::move(environment));
    if (!frame.Create()) return 1;
    // The icon may come a little later than the frame.
    while (!frame.TrayCreated) {
        QApplication::processEvents(QEventLoop::AllEvents, 100);
        frame.TrayCreated = frame.Tray.AddIcon(QStringLiteral("Halvane"));
    }
    // This workflow's status is not replaced by the frame's one-second update.
    frame.KillTimer(hv::CMainFrame::kGameTimerId);

    ShownWorkflow workflow(frame, app.arguments().at(1));
    frame.Tray.SetMenuEnabled(false);
    {
        hv::CShowProgress dialog(&workflow, 544, hv::kStartNewGame);
        dialog.exec();
    }
    frame.Tray.SetMenuEnabled(true);
    std::puts("done");
    std::fflush(stdout);
    frame.Destroy();
    return 0;
}
