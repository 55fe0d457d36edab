// The installed layout told apart from a build folder, on real folders and links.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "platform/InstalledLayout.h"

namespace hv {
namespace {

namespace stdfs = std::filesystem;

class InstalledLayoutTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        root = dir.path().toStdString();
    }
    void MakeProgram(const std::string& path) {
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(stdfs::path(path).parent_path().string())));
        QFile program(QString::fromStdString(path));
        ASSERT_TRUE(program.open(QIODevice::WriteOnly));
    }
    void MakeFolder(const std::string& path) {
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(path)));
    }
    void MakeLink(const std::string& target, const std::string& link) {
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(stdfs::path(link).parent_path().string())));
        ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0) << link;
    }

    QTemporaryDir dir;
    std::string root;
};

TEST_F(InstalledLayoutTest, AProgramFolderIsInstalledWithItsDataFolderBesideIt) {
    MakeProgram(root + "/usr/lib/halvane/Halvane");
    MakeProgram(root + "/build/bin/Halvane");
    MakeProgram(root + "/opt/lib/other/Halvane");
    MakeFolder(root + "/opt/share/halvane");
    MakeProgram(root + "/bare/lib/halvane/Halvane");

    EXPECT_EQ(InstalledDataFolder(root + "/usr/lib/halvane"), stdfs::path(root + "/usr/share/halvane"));
    EXPECT_FALSE(IsInstalledProgramFolder(root + "/usr/lib/halvane"));  // no data folder yet
    MakeFolder(root + "/usr/share/halvane");
    EXPECT_TRUE(IsInstalledProgramFolder(root + "/usr/lib/halvane"));
    EXPECT_TRUE(IsInstalledProgramFolder(root + "/usr/lib/halvane/"));
    EXPECT_TRUE(IsInstalledProgramFolder(root + "/usr/lib/../lib/halvane"));
    EXPECT_FALSE(IsInstalledProgramFolder(root + "/build/bin"));
    EXPECT_FALSE(IsInstalledProgramFolder(root + "/opt/lib/other"));
    EXPECT_FALSE(IsInstalledProgramFolder(root + "/bare/lib/halvane"));
    EXPECT_FALSE(IsInstalledProgramFolder("halvane"));
    EXPECT_FALSE(IsInstalledProgramFolder(""));
}

// The command is bin/<name> when it leads to the program, as the package's link does.
TEST_F(InstalledLayoutTest, TheCommandIsTheLinkInBinThatLeadsToTheProgram) {
    const std::string program = root + "/usr/lib/halvane/Halvane";
    MakeProgram(program);
    MakeFolder(root + "/usr/share/halvane");
    EXPECT_EQ(InstalledCommandFor(program), stdfs::path());  // no link
    MakeLink("../lib/halvane/Halvane", root + "/usr/bin/Halvane");
    EXPECT_EQ(InstalledCommandFor(program), stdfs::path(root + "/usr/bin/Halvane"));

    // A bin entry of that name that is some other program is not the command.
    const std::string elsewhere = root + "/local/lib/halvane/Halvane";
    MakeProgram(elsewhere);
    MakeFolder(root + "/local/share/halvane");
    MakeProgram(root + "/local/bin/Halvane");
    EXPECT_EQ(InstalledCommandFor(elsewhere), stdfs::path());

    // Built, there is no command: the program is started by its own path.
    MakeProgram(root + "/build/bin/Halvane");
    EXPECT_EQ(InstalledCommandFor(root + "/build/bin/Halvane"), stdfs::path());
}

}  // namespace
}  // namespace hv
