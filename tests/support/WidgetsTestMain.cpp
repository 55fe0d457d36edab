// Test programs with widgets run inside a QApplication (offscreen in tests). Link the
// halvane_widgets_test_main object library; its main takes the place of TestMain's.
#include <gtest/gtest.h>

#include <QApplication>

#include "PrivateUserFolders.h"
#include "Requirements.h"
#include "log/DiagnosticLog.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QTemporaryDir userFolders;
    hv::test::UsePrivateUserFolders(userFolders);
    QApplication app(argc, argv);
    // The program's log lines go to the trace output only (tests read them there): no log
    // file is left next to the test program.
    hv::TheLog().KeepToTraceOnly();
    return hv::test::RunAllTests();
}
