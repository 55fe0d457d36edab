// The recorder stand-in and the copy worker on one file name: the recorder starts a
// segment under the name of a recording that is being copied with deletion on (the same
// period number again). The recording being copied reaches the archive whole, the
// recorder does not wait for the copy, and the new recording is whole, in a file that has
// its name.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <thread>

#include "CopyTestSupport.h"
#include "Recording.h"
#include "copy/ArchiveRoot.h"
#include "copy/CopyWorker.h"

namespace hv {
namespace {

constexpr qint64 kMiB = 1'048'576;
constexpr qint64 kGrowBytes = 4096;

// What the stand-in writes into a video whose seed is `seed`, from its first byte.
QByteArray RecordedVideo(int seed, qint64 size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed * 7) >> 3);
    return bytes;
}

TEST(RecorderAndCopyTest, ARecordingStartedUnderANameBeingCopiedSurvivesWhole) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString rec = dir.filePath("rec");
    const QString archive = dir.filePath("archive");
    QDir().mkpath(archive);
    const QString game = "/2022-01-20/11-00/";
    const QString source = rec + game + "1_1.mp4";
    const QString target = archive + game + "1_1.mp4";
    test::WriteFile(source, 6 * kMiB, 3);  // period 1 of an earlier start of the game
    const QByteArray earlier = test::ReadFile(source);

    // A reader of the test's own holds the file (a shared lock, as the copy holds it) while
    // the recorder starts: a recorder that waited for the readers to let go would not start
    // at all, whatever the pace of the copy.
    const int reader = ::open(fs::Encode(source).constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(::flock(reader, LOCK_SH), 0);

    // 6 MiB at 4 MiB/s: the copy holds the name for about a second and a half, so that the
    // recorder starts while it does even on a loaded machine (the test's assertions do not
    // depend on that: a copy done before the recorder starts only tries less).
    std::vector<char> buffer(CopyWorker::kChunkSize);
    std::atomic<int> percent{0};
    std::atomic<bool> stop{false}, copied{false};
    CopyResult result = CopyResult::Failed;
    std::thread copier([&] {
        result = CopyWorker::CopyFile(fs::Encode(source), fs::Encode(target), ArchiveRoot::Record(archive), buffer,
                                      CopyWorker::ChunkBudgetUs(4), true, percent, stop);
        copied = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (percent == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_GT(percent, 0);

    // The game started again: period 1 recorded anew under the same names.
    zandrel::Recording recorder({rec}, 1, 1, kGrowBytes);
    QString error;
    bool startedOk = false;
    std::atomic<bool> started{false};
    std::thread starter([&] {
        startedOk = recorder.Start("\\2022-01-20\\11-00\\", &error);
        started = true;
    });
    const auto startDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!started && std::chrono::steady_clock::now() < startDeadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const bool startedWhileHeld = started;
    ::close(reader);  // lets a recorder that waits for it go on, so that the test ends
    starter.join();
    EXPECT_TRUE(startedOk) << error.toStdString();
    EXPECT_TRUE(startedWhileHeld) << "the recorder waited for the file's readers to let go";
    while (!copied) {  // the recorder's timer meanwhile
        recorder.Grow();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    copier.join();
    for (int i = 0; i < 10; ++i) recorder.Grow();
    recorder.Stop();

    EXPECT_EQ(result, CopyResult::Copied);
    EXPECT_EQ(test::ReadFile(target), earlier) << "the earlier recording is archived whole";
    const QByteArray recorded = test::ReadFile(source);
    EXPECT_GE(recorded.size(), 10 * kGrowBytes);
    EXPECT_EQ(recorded.size() % kGrowBytes, 0);
    EXPECT_TRUE(recorded == RecordedVideo(18, recorded.size())) << "the new recording, whole from its first byte";
    EXPECT_TRUE(test::ReadFile(rec + game + "1.xml").startsWith("<?xml")) << "its description too";
}

}  // namespace
}  // namespace hv
