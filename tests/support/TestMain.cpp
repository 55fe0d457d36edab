// Test programs run inside a Qt application object so that events posted to the frame
// and socket watches work as in the program.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "PrivateUserFolders.h"
#include "Requirements.h"
#include "log/DiagnosticLog.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QTemporaryDir userFolders;
    hv::test::UsePrivateUserFolders(userFolders);
    QCoreApplication app(argc, argv);
    // The program's log lines go to the trace output only (tests read them there): no log
    // file is left next to the test program.
    hv::TheLog().KeepToTraceOnly();
    return hv::test::RunAllTests();
}
