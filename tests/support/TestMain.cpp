// Test programs run inside a Qt application object so that events posted to the frame
// and socket watches work as in the program.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "PrivateUserFolders.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QTemporaryDir userFolders;
    hv::test::UsePrivateUserFolders(userFolders);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
