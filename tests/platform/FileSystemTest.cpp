// One pass over a real folder for a pattern search: subfolders whatever their names,
// regular files by the pattern, links never; and the same when the file system does not
// report what its entries are.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>

#include "platform/FileSystem.h"

namespace hv::fs {
namespace {

class ScanFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        root = dir.path();
        ASSERT_TRUE(QDir(root).mkpath("game_2026/cam1"));
        ASSERT_TRUE(QDir(root).mkpath("1_1.mp4.d"));
        for (const char* name : {"1_1.mp4", "notes.txt", "game_2026/cam1/2_1.mp4"}) {
            QFile file(root + "/" + name);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        }
        ASSERT_EQ(::symlink("1_1.mp4", QFile::encodeName(root + "/link.mp4").constData()), 0);
        ASSERT_EQ(::symlink("game_2026", QFile::encodeName(root + "/linked_game").constData()), 0);
    }

    static std::vector<QByteArray> Sorted(std::vector<QByteArray> names) {
        std::sort(names.begin(), names.end());
        return names;
    }

    QTemporaryDir dir;
    QString root;
};

TEST_F(ScanFolderTest, SubfoldersAreKeptWhateverTheirNamesAndFilesByThePattern) {
    std::vector<QByteArray> subfolders, matches;
    ASSERT_TRUE(ScanFolder(root, "*.mp4", subfolders, matches));
    EXPECT_EQ(Sorted(subfolders), (std::vector<QByteArray>{"1_1.mp4.d", "game_2026"}));
    EXPECT_EQ(matches, (std::vector<QByteArray>{"1_1.mp4"})) << "links are never taken";

    ASSERT_TRUE(ScanFolder(root + "/game_2026", "?_1.mp4", subfolders, matches));
    EXPECT_EQ(subfolders, (std::vector<QByteArray>{"cam1"}));
    EXPECT_TRUE(matches.empty());

    int error = 0;
    EXPECT_FALSE(ScanFolder(root + "/missing", "*", subfolders, matches, &error));
    EXPECT_EQ(error, ENOENT);
}

// A file system that reports DT_UNKNOWN for every entry: each is looked at itself.
TEST_F(ScanFolderTest, AnEntryOfUnknownTypeIsLookedAtWithoutFollowingLinks) {
    const int fd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const struct {
        const char* name;
        unsigned char expected;
    } cases[] = {
        {"game_2026", DT_DIR}, {"1_1.mp4.d", DT_DIR},  {"1_1.mp4", DT_REG},
        {"notes.txt", DT_REG}, {"link.mp4", DT_LNK},   {"linked_game", DT_LNK},
        {"gone", DT_UNKNOWN},
    };
    for (const auto& c : cases) EXPECT_EQ(ResolveEntryType(fd, c.name, DT_UNKNOWN), c.expected) << c.name;
    EXPECT_EQ(ResolveEntryType(fd, "gone", DT_REG), DT_REG) << "a reported type is taken as it is";
    ::close(fd);
}

// How a name's bytes are shown in the log and the tooltip: readable where they are text,
// and never two names with one display.
TEST(PrintableTest, EveryNameHasADisplayOfItsOwn) {
    const struct {
        QByteArray name;
        QByteArray shown;
    } cases[] = {
        {"/rec/2022-01-20/1_1.mp4", "/rec/2022-01-20/1_1.mp4"},
        {"caf\xC3\xA9 \xE2\x82\xAC.mp4", "caf\xC3\xA9 \xE2\x82\xAC.mp4"},  // UTF-8 as it is
        {"caf\xE9.mp4", "caf\\xE9.mp4"},                                   // Latin-1: no UTF-8
        {"\xFF\xFE\x80", "\\xFF\\xFE\\x80"},
        {"\xC0\xAF", "\\xC0\\xAF"},                                        // an overlong "/"
        {"a\tb\nc\x1B\x7F", "a\\x09b\\x0Ac\\x1B\\x7F"},                    // C0 controls, DEL
        {"a\xC2\x85" "b\xC2\x9F", "a\\xC2\\x85b\\xC2\\x9F"},               // C1 controls
        {"\xC2\xA0", "\xC2\xA0"},                                          // U+00A0 is text
        {"a\\b", "a\\\\b"},                                                // a backslash doubled
        {"\\xE9", "\\\\xE9"},                                              // never an escape
        {"\\\\", "\\\\\\\\"},
    };
    for (const auto& c : cases) EXPECT_EQ(Printable(c.name), c.shown) << c.shown.constData();
    EXPECT_NE(Printable("\\xE9"), Printable("\xE9"));
    EXPECT_EQ(Display("caf\xE9\\"), QStringLiteral(u"caf\\xE9\\\\"));
}

}  // namespace
}  // namespace hv::fs
