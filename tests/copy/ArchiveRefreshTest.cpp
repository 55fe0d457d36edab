// The archive's game description "refresh.csv": its line byte for byte, its safe
// replacement through "refresh.tmp", and reading the game back.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>

#include "copy/ArchiveRefresh.h"
#include "platform/FileSystem.h"

namespace hv {
namespace {

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void Write(const QString& path, const QByteArray& content) {
    QDir().mkpath(path.left(path.lastIndexOf('/')));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
}

class ArchiveRefreshTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        root = dir.path() + "/";
    }
    QTemporaryDir dir;
    QString root;
    const CalendarTime game{2022, 1, 20, 13, 46, 0, 0};
    const CalendarTime written{2022, 1, 20, 14, 5, 9, 0};
};

TEST_F(ArchiveRefreshTest, TheLineAndTheGameFolder) {
    EXPECT_EQ(ArchiveRefresh::Line(game, written), QByteArray("2022-01-20-13-46; 2022-01-20-14-05-09\r\n"));
    EXPECT_EQ(ArchiveRefresh::GameFolderOf(game), QStringLiteral("2022-01-20\\13-46\\"));
}

TEST_F(ArchiveRefreshTest, WritingReplacesTheFileWholeAndLeavesNoTmp) {
    Write(root + "refresh.csv", "old line that is longer than the new one......................\r\n");
    const auto result = ArchiveRefresh::Write(root, game, written);
    EXPECT_EQ(result.What, ArchiveRefresh::Outcome::Written);
    EXPECT_EQ(ReadAll(root + "refresh.csv"), QByteArray("2022-01-20-13-46; 2022-01-20-14-05-09\r\n"));
    EXPECT_FALSE(QFile::exists(root + "refresh.tmp"));
}

TEST_F(ArchiveRefreshTest, ATmpThatCannotBeWrittenLeavesTheOldFile) {
    Write(root + "refresh.csv", "2020-01-01-00-00; 2020-01-01-00-00-00\r\n");
    QDir().mkpath(root + "refresh.tmp");  // a folder in the way
    auto result = ArchiveRefresh::Write(root, game, written);
    EXPECT_EQ(result.What, ArchiveRefresh::Outcome::TmpNotWritten);
    EXPECT_EQ(result.Error, EISDIR);
    EXPECT_EQ(result.TmpPath, root + "refresh.tmp");
    EXPECT_EQ(ReadAll(root + "refresh.csv"), QByteArray("2020-01-01-00-00; 2020-01-01-00-00-00\r\n"));

    result = ArchiveRefresh::Write(dir.filePath("missing") + "/", game, written);
    EXPECT_EQ(result.What, ArchiveRefresh::Outcome::TmpNotWritten);
    EXPECT_EQ(result.Error, ENOENT);
}

TEST_F(ArchiveRefreshTest, ALockedFileIsTriedForAboutASecondAndStays) {
    Write(root + "refresh.csv", "held\r\n");
    const int reader = ::open(fs::Encode(root + "refresh.csv").constData(), O_RDONLY);
    ASSERT_EQ(::flock(reader, LOCK_SH), 0);
    const auto start = std::chrono::steady_clock::now();
    const auto result = ArchiveRefresh::Write(root, game, written);
    const auto took = std::chrono::steady_clock::now() - start;
    ::close(reader);
    EXPECT_EQ(result.What, ArchiveRefresh::Outcome::NotMoved);
    EXPECT_EQ(result.Error, EWOULDBLOCK);
    EXPECT_GE(took, std::chrono::milliseconds(900)) << "nine pauses of 100 ms between ten attempts";
    EXPECT_EQ(ReadAll(root + "refresh.csv"), QByteArray("held\r\n"));
    EXPECT_EQ(ReadAll(root + "refresh.tmp"), QByteArray("2022-01-20-13-46; 2022-01-20-14-05-09\r\n"));
}

TEST_F(ArchiveRefreshTest, ReadingBackTheGameAndTheHighestArchivedPeriodInARow) {
    Write(root + "refresh.csv", "2022-01-20-13-46; 2022-01-20-14-05-09\r\n");
    for (int n : {1, 2, 4}) Write(root + QString("2022-01-20/13-46/%1.xml").arg(n), "<x/>");
    ArchiveRefresh::Restored restored;
    ASSERT_TRUE(ArchiveRefresh::Read(root, restored));
    EXPECT_EQ(restored.GameStart, game);
    EXPECT_EQ(restored.GameFolder, QStringLiteral("2022-01-20\\13-46\\"));
    EXPECT_EQ(restored.RecordingPeriod, 2);

    QFile::remove(root + "2022-01-20/13-46/1.xml");
    ASSERT_TRUE(ArchiveRefresh::Read(root, restored));
    EXPECT_EQ(restored.RecordingPeriod, 0) << "no description of period 1: nothing to set";
}

TEST_F(ArchiveRefreshTest, WhatRestoresNothing) {
    ArchiveRefresh::Restored restored;
    EXPECT_FALSE(ArchiveRefresh::Read(root, restored)) << "no file";
    for (const char* line : {"2022-01-20-13; 2022-01-20-14-05-09\r\n", "", "game\r\n", "2022-13-20-13-46\r\n",
                             "2022-02-30-13-46\r\n", "2022-01-20-24-00\r\n", "99999-01-20-13-46\r\n"}) {
        Write(root + "refresh.csv", line);
        EXPECT_FALSE(ArchiveRefresh::Read(root, restored)) << line;
    }
}

// The flags of this process's descriptor `fd` as the kernel reports them (octal), or -1.
long DescriptorFlags(int fd) {
    QFile info(QStringLiteral("/proc/self/fdinfo/%1").arg(fd));
    if (!info.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : info.readAll().split('\n'))
        if (line.startsWith("flags:")) return line.mid(6).trimmed().toLong(nullptr, 8);
    return -1;
}

// This process's descriptor open for reading on `path`, or -1.
int ReadingDescriptorOn(const QString& path) {
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& name : fds.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
        if (QFile::symLinkTarget(fds.filePath(name)) != path) continue;
        const long flags = DescriptorFlags(name.toInt());
        if (flags >= 0 && (flags & O_ACCMODE) == O_RDONLY) return name.toInt();
    }
    return -1;
}

TEST_F(ArchiveRefreshTest, ReadingKeepsItsDescriptorFromProgramsStartedMeanwhile) {
    // "refresh.csv" as a pipe holds the reading open until the test has looked at its
    // descriptor: it must be close-on-exec, so that a companion started from another thread
    // at that moment does not inherit it.
    const QString csv = root + "refresh.csv";
    ASSERT_EQ(::mkfifo(fs::Encode(csv).constData(), 0600), 0);
    // The reading's outcome, shared with its thread, which is let go if it never ends.
    struct Reading {
        ArchiveRefresh::Restored restored;
        bool read = false;
        std::atomic<bool> done{false};
    };
    const auto reading = std::make_shared<Reading>();
    const QString folder = root;
    std::thread reader([reading, folder] {
        reading->read = ArchiveRefresh::Read(folder, reading->restored);
        reading->done = true;
    });
    const QString pipePath = QFileInfo(csv).canonicalFilePath();
    // The writing end, once the reading has opened the pipe: not blocking, it fails (ENXIO)
    // until then. A reading that never comes is given up after the deadline.
    QDeadlineTimer deadline(10000);
    int writer = -1;
    while ((writer = ::open(fs::Encode(csv).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0 && errno == ENXIO &&
           !deadline.hasExpired())
        QThread::msleep(1);
    int readerFd = -1;
    while ((readerFd = ReadingDescriptorOn(pipePath)) < 0 && !deadline.hasExpired()) QThread::msleep(1);
    const long flags = readerFd >= 0 ? DescriptorFlags(readerFd) : -1;
    const QByteArray line = "2022-01-20-13-46; 2022-01-20-14-05-09\r\n";
    if (writer >= 0) {
        (void)!::write(writer, line.constData(), static_cast<size_t>(line.size()));
        ::close(writer);
    }
    // A reading that is still opening the pipe (or comes to it late) is let through by a
    // read-write end, which never waits, and finds it empty; one that does not end even so
    // is let go, and the test fails rather than hangs.
    QDeadlineTimer end(10000);
    while (!reading->done && !end.hasExpired()) {
        const int release = ::open(fs::Encode(csv).constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (release >= 0) ::close(release);
        QThread::msleep(10);
    }
    if (!reading->done) {
        reader.detach();
        FAIL() << "the reading did not end";
    }
    reader.join();
    ASSERT_GE(writer, 0) << "the reading never opened the pipe";
    ASSERT_GE(readerFd, 0) << "the reading's descriptor was not found";
    EXPECT_NE(flags & O_CLOEXEC, 0) << "flags 0" << std::oct << flags;
    EXPECT_TRUE(reading->read);
    EXPECT_EQ(reading->restored.GameStart, game);
}

}  // namespace
}  // namespace hv
