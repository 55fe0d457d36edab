// Test programs with widgets run inside a QApplication (offscreen in tests). Link the
// halvane_widgets_test_main object library; its main takes the place of TestMain's.
#include <gtest/gtest.h>

#include <QApplication>

#include "PrivateUserFolders.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QTemporaryDir userFolders;
    hv::test::UsePrivateUserFolders(userFolders);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
