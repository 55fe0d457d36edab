// Halvane's entry point.
#include <QCoreApplication>

#include "app/DiagnosticLog.h"

int main(int argc, char** argv) {
    hv::TheLog();  // the log's start time is the process's start
    QCoreApplication app(argc, argv);
    return app.exec();
}
