// Halvane's entry point: the application object runs the program until Exit.
#include <QApplication>

#include "app/DiagnosticLog.h"
#include "app/HalvaneApp.h"
#include "platform/TerminationSignals.h"

int main(int argc, char** argv) {
    hv::TheLog();  // the log's start time is the process's start
    hv::TerminationSignals::IgnoreBrokenPipes();
    QApplication qtApp(argc, argv);
    hv::CHalvaneApp app;
    if (!app.InitInstance()) return 0;
    const int result = qtApp.exec();
    app.ExitInstance();
    return result;
}
