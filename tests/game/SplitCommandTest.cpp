// The referee console's split command: what is read from it, what is dropped, and which
// game folder a recording path names.
#include <gtest/gtest.h>

#include "game/SplitCommand.h"

namespace hv {
namespace {

TEST(SplitCommandTest, ReadsTheNumberTheTimeAndThePath) {
    const struct {
        const char* text;
        bool read;
        std::int32_t period;
        FileTime time;
        const char* path;  // null: no path
    } cases[] = {
        {"SplitAtTime 2_0x89ABCDEF_0x01D80E1F D:\\Video\\2022-01-20\\13-46\\", true, 2, 0x01D80E1F89ABCDEFULL,
         "D:\\Video\\2022-01-20\\13-46\\"},
        {"SplitAtTime -2_0x1_0x2", true, -2, 0x0000000200000001ULL, nullptr},
        {"SplitAtTime 3_0xff_0x0   /rec/g/  trailing", true, 3, 0xFF, "/rec/g/"},
        {"SplitAtTime   999_0xFFFFFFFF_0xFFFFFFFF", true, 999, 0xFFFFFFFFFFFFFFFFULL, nullptr},
        {"SplitAtTime -999_0x0_0x0", true, -999, 0, nullptr},
        {"SplitAtTime1_0x0_0x0", true, 1, 0, nullptr},  // the blank may be missing, as in the pattern
        {"splitattime 2_0x1_0x2", false, 0, 0, nullptr},
        {"SPLITATTIME 2_0x1_0x2", false, 0, 0, nullptr},
        {"SplitAtTime 2_0x1", false, 0, 0, nullptr},
        {"SplitAtTime 2_0X1_0x2", false, 0, 0, nullptr},
        {"SplitAtTime 1000_0x1_0x2", false, 0, 0, nullptr},
        {"SplitAtTime -1000_0x1_0x2", false, 0, 0, nullptr},
        {"SplitAtTime 99999999999_0x1_0x2", false, 0, 0, nullptr},
        {"SplitAtTime 2_0x100000000_0x2", false, 0, 0, nullptr},
        {"SplitAtTime 2_0x_0x2", false, 0, 0, nullptr},
        {"SplitAtTime _0x1_0x2", false, 0, 0, nullptr},
        {"Exit", false, 0, 0, nullptr},
        {"", false, 0, 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        SplitCommand command;
        ASSERT_EQ(SplitCommand::Parse(QString::fromUtf8(c.text), command), c.read);
        if (!c.read) continue;
        EXPECT_EQ(command.Period, c.period);
        EXPECT_EQ(command.Time, c.time);
        EXPECT_EQ(command.HasPath, c.path != nullptr);
        if (c.path != nullptr) EXPECT_EQ(command.Path, QString::fromUtf8(c.path));
    }
}

TEST(SplitCommandTest, APathLongerThanTheLimitCountsAsNotGiven) {
    SplitCommand command;
    const QString longest(259, u'a');
    ASSERT_TRUE(SplitCommand::Parse("SplitAtTime 1_0x0_0x0 " + longest, command));
    EXPECT_TRUE(command.HasPath);
    ASSERT_TRUE(SplitCommand::Parse("SplitAtTime 1_0x0_0x0 " + longest + "b", command));
    EXPECT_FALSE(command.HasPath);
}

TEST(SplitCommandTest, TheGameFolderComesOnlyFromAPlainPathUnderARoot) {
    const QStringList roots{"D:\\Video", "/srv/rec", "/srv/rec2/"};
    const struct {
        const char* path;
        const char* folder;  // null: none
    } cases[] = {
        {"D:\\Video\\2022-01-20\\13-46\\", "2022-01-20\\13-46\\"},
        {"d:\\VIDEO\\2022-01-20\\13-46", "2022-01-20\\13-46\\"},
        {"/srv/rec/2022-01-20/13-46/", "2022-01-20\\13-46\\"},
        {"/srv/rec2/2022-01-20/13-46/", "2022-01-20\\13-46\\"},
        {"D:\\Video2\\2022-01-20\\13-46\\", nullptr},
        {"/srv/record/x/", nullptr},
        {"D:\\Video\\", nullptr},
        {"D:\\Video", nullptr},
        {"/srv/rec/../etc/", nullptr},
        {"/srv/rec/a/../../etc/", nullptr},
        {"/srv/rec/./a/", nullptr},
        {"/srv/rec//etc/", nullptr},
        {"/srv/rec/a//b/", nullptr},
        {"D:\\Video\\C:\\Windows\\", nullptr},
        {"/elsewhere/2022-01-20/13-46/", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        QString folder = "unchanged";
        EXPECT_EQ(SplitCommand::GameFolderFromPath(QString::fromUtf8(c.path), roots, folder), c.folder != nullptr);
        EXPECT_EQ(folder, c.folder != nullptr ? QString::fromUtf8(c.folder) : QStringLiteral("unchanged"));
    }
}

}  // namespace
}  // namespace hv
