// The recorder stand-in's recording: the game's folder under every root, one description
// and one video per camera per segment, growing while held under an exclusive lock, a
// split closing one segment and opening the next, a stop closing everything.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "Recording.h"

namespace {

// True when a reader could take the file now (no writer holds it).
bool Readable(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
    if (fd < 0) return false;
    const bool free = ::flock(fd, LOCK_SH | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

TEST(RecordingTest, SegmentsGrowUnderALockAndSplitsCloseThem) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString a = dir.filePath("a"), b = dir.filePath("b");
    zandrel::Recording recording({a, b}, 3, 50, 4096);
    QString error;
    ASSERT_TRUE(recording.Start("\\2022-01-20\\11-00\\", &error)) << error.toStdString();
    const QString gameA = a + "/2022-01-20/11-00/", gameB = b + "/2022-01-20/11-00/";
    EXPECT_TRUE(QDir(gameB).exists()) << "the game's folder under every root";
    const QStringList first{gameA + "50.xml", gameA + "50_1.mp4", gameB + "cam2/50_2.mp4", gameA + "cam3/50_3.mp4"};
    for (const QString& path : first) {
        EXPECT_TRUE(QFile::exists(path)) << path.toStdString();
        EXPECT_FALSE(Readable(path)) << "held while recorded: " << path.toStdString();
    }
    const qint64 before = QFileInfo(gameA + "50_1.mp4").size();
    recording.Grow();
    EXPECT_EQ(QFileInfo(gameA + "50_1.mp4").size(), before + 4096);

    ASSERT_TRUE(recording.Split(1, &error));
    for (const QString& path : first) EXPECT_TRUE(Readable(path)) << "closed at the split: " << path.toStdString();
    EXPECT_EQ(recording.TakeClosedFiles(), first);
    EXPECT_TRUE(QFile(gameA + "50.xml").open(QIODevice::ReadOnly));
    EXPECT_FALSE(Readable(gameA + "1_1.mp4"));

    recording.Stop();
    EXPECT_FALSE(recording.Active());
    EXPECT_TRUE(Readable(gameA + "1_1.mp4"));
    EXPECT_EQ(recording.TakeClosedFiles().size(), 4);
    EXPECT_FALSE(recording.Split(2, &error)) << "nothing to split once stopped";
}

TEST(RecordingTest, AGameFolderThatClimbsOutOfTheRootsIsRefused) {
    QTemporaryDir dir;
    zandrel::Recording recording({dir.filePath("a")}, 1, 50, 16);
    QString error;
    EXPECT_FALSE(recording.Start("\\..\\..\\etc\\", &error));
    EXPECT_FALSE(recording.Active());
}

}  // namespace
