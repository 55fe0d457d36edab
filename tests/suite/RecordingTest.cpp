// The recorder stand-in's recording: the game's folder under every root, one description
// and one video per camera per segment, growing while held under an exclusive lock, a
// split closing one segment and opening the next, a stop closing everything; a name that
// someone still reads is taken later without waiting and without truncating what is read,
// and a file that loses its name is opened again.
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

// What the stand-in writes into a video of seed `seed`, from its first byte.
QByteArray Recorded(int seed, qint64 size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed * 7) >> 3);
    return bytes;
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A reader (a copy to the archive) holds the file of the same name from an earlier
// recording: the recorder neither waits for it nor empties it under the reader; once the
// reader lets go the recorder takes the name and records from the start. A reader that
// deleted the file it read leaves the recorder a new file under the name.
TEST(RecordingTest, ANameSomeoneReadsIsTakenLaterWithoutWaitingOrTruncatingIt) {
    for (const bool readerDeletes : {false, true}) {
        SCOPED_TRACE(readerDeletes ? "the reader deletes what it read" : "the reader only reads");
        QTemporaryDir dir;
        const QString game = dir.filePath("a") + "/2022-01-20/11-00/";
        QDir().mkpath(game);
        const QString video = game + "1_1.mp4";
        {
            QFile earlier(video);
            ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
            earlier.write(QByteArray(10000, 'e'));
        }
        const int reader = ::open(QFile::encodeName(video).constData(), O_RDONLY);
        ASSERT_EQ(::flock(reader, LOCK_SH), 0);

        zandrel::Recording recording({dir.filePath("a")}, 1, 1, 512);
        QString error;
        ASSERT_TRUE(recording.Start("\\2022-01-20\\11-00\\", &error)) << error.toStdString();  // returns: no wait
        for (int i = 0; i < 3; ++i) recording.Grow();
        EXPECT_EQ(ReadAll(video), QByteArray(10000, 'e')) << "what the reader reads is left as it is";
        EXPECT_FALSE(Readable(game + "1.xml")) << "the other files of the segment are recorded meanwhile";

        if (readerDeletes) {
            ASSERT_EQ(::unlink(QFile::encodeName(video).constData()), 0);
        }
        ::close(reader);
        for (int i = 0; i < 4; ++i) recording.Grow();
        recording.Stop();
        EXPECT_EQ(ReadAll(video), Recorded(18, 4 * 512)) << "recorded from its start once taken";
    }
}

// The file being recorded loses its name (deleted, or another file renamed over it): the
// recorder goes on under the name, in the file that has it, from a new start; nothing more
// is written into a file without a name.
TEST(RecordingTest, AFileThatLosesItsNameWhileRecordedIsOpenedAgain) {
    for (const bool renamedOver : {false, true}) {
        SCOPED_TRACE(renamedOver ? "another file renamed over it" : "deleted");
        QTemporaryDir dir;
        zandrel::Recording recording({dir.filePath("a")}, 1, 2, 256);
        QString error;
        ASSERT_TRUE(recording.Start("\\2022-01-20\\11-00\\", &error)) << error.toStdString();
        const QString game = dir.filePath("a") + "/2022-01-20/11-00/";
        const QString video = game + "2_1.mp4";
        recording.Grow();
        ASSERT_EQ(ReadAll(video).size(), 2 * 256);
        const QString other = game + "other";
        if (renamedOver) {
            QFile file(other);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("someone else's");
            file.close();
            ASSERT_EQ(::rename(QFile::encodeName(other).constData(), QFile::encodeName(video).constData()), 0);
        } else {
            ASSERT_TRUE(QFile::remove(video));
        }
        for (int i = 0; i < 3; ++i) recording.Grow();
        recording.Stop();
        EXPECT_EQ(ReadAll(video), Recorded(34, 3 * 256)) << "the recording goes on under its name, from a new start";
    }
}

}  // namespace
