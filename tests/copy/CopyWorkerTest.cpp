// The copy worker and its single-file copy over real files: progress, the rate limit,
// stopping, what counts as copied, the deferral and retry of items, the archive root
// check, the refresh after a batch, and a real full file system (a size-limited tmpfs).
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>

#include <QDir>
#include <QFile>
#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "CopyTestSupport.h"
#include "FakeClock.h"
#include "LogCapture.h"
#include "Requirements.h"
#include "copy/ChunkPacer.h"
#include "copy/CopyWorker.h"

namespace hv {
namespace {

using test::ReadFile;
using test::WriteFile;
using Result = CopyWorker::CopyResult;
using namespace std::chrono_literals;

constexpr qint64 kMiB = 1'048'576;

// Waits (polling) until `condition` holds or the time is up.
bool Eventually(const std::function<bool()>& condition, int timeoutMs = 15000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// True when `condition` holds at every look for `ms`: for what must not happen, looked for
// as long as it would take to happen.
bool Throughout(const std::function<bool()>& condition, std::chrono::milliseconds ms) {
    const auto end = std::chrono::steady_clock::now() + ms;
    while (std::chrono::steady_clock::now() < end) {
        if (!condition()) return false;
        std::this_thread::sleep_for(5ms);
    }
    return condition();
}

// Two idle passes of the worker: what it does on every idle pass has happened by then.
constexpr auto kTwoIdlePasses = std::chrono::milliseconds(2 * CopyWorker::kIdlePauseMs + 200);

// A file held as its writer holds it (an exclusive advisory lock) while the object lives.
class HeldForWriting {
public:
    explicit HeldForWriting(const QString& path) : fd_(::open(fs::Encode(path).constData(), O_RDWR)) {
        EXPECT_EQ(::flock(fd_, LOCK_EX), 0);
    }
    ~HeldForWriting() { ::close(fd_); }

private:
    int fd_;
};

class CopyFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        source = dir.filePath("rec/game/1_1.mp4");
        root = dir.filePath("archive") + "/";
        target = root + "game/cam/1_1.mp4";
        QDir().mkpath(dir.filePath("archive"));
        buffer.resize(CopyWorker::kChunkSize);
    }

    Result Copy(std::int64_t budgetUs = 0, bool deleteAfter = false) {
        return CopyWorker::CopyFile(source, target, root, buffer, budgetUs, deleteAfter, percent, stop);
    }

    QTemporaryDir dir;
    QString source, root, target;
    std::vector<char> buffer;
    std::atomic<int> percent{0};
    std::atomic<bool> stop{false};
    test::LogCapture traces;
};

TEST_F(CopyFileTest, AWholeFileArrivesWithItsFoldersAndTheSourceGoesOnlyWhenAsked) {
    for (const bool deleteAfter : {false, true}) {
        WriteFile(source, 3 * kMiB + 17, deleteAfter ? 2 : 1);
        const QByteArray content = ReadFile(source);
        ASSERT_EQ(Copy(0, deleteAfter), Result::Copied);
        EXPECT_EQ(ReadFile(target), content);
        EXPECT_EQ(percent, 100);
        EXPECT_EQ(QFile::exists(source), !deleteAfter);
        EXPECT_GE(test::LastWrite(target), deleteAfter ? 0 : test::LastWrite(source)) << "newer than its source";
    }
    EXPECT_TRUE(traces.Contains("xxxxx-Halvane::DeleteAfterCopy '" + source.toStdString() + "'\n"));
}

// A writer that wants the source back waits for the copy's shared lock; by the time it
// has the file, a source copied with deletion is already gone from its folder, so the
// writer can never have started on a file that is then removed under it.
TEST_F(CopyFileTest, ACopiedSourceIsDeletedBeforeItsLockIsGiven) {
    WriteFile(source, 3 * kMiB);
    const int writer = ::open(fs::Encode(source).constData(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    Result result = Result::Failed;
    std::thread copier([&] { result = Copy(CopyWorker::ChunkBudgetUs(20), true); });
    ASSERT_TRUE(Eventually([&] { return percent > 0; }));
    ASSERT_EQ(::flock(writer, LOCK_EX), 0);  // waits for the copy to let go
    const bool sourceStillThere = QFile::exists(source);
    ::close(writer);
    copier.join();
    EXPECT_EQ(result, Result::Copied);
    EXPECT_FALSE(sourceStillThere);
}

TEST_F(CopyFileTest, TheProgressOfAOneAndAHalfMebibyteFile) {
    WriteFile(source, 1'572'864);
    std::set<int> seen;
    std::vector<int> order;
    std::atomic<bool> done{false};
    std::thread copier([&] {
        EXPECT_EQ(Copy(300'000), Result::Copied);
        done = true;
    });
    while (!done) {
        const int p = percent;
        if (order.empty() || order.back() != p) order.push_back(p);
        std::this_thread::sleep_for(1ms);
    }
    copier.join();
    if (order.back() != percent) order.push_back(percent);
    if (order.front() == 0) order.erase(order.begin());
    EXPECT_EQ(order, (std::vector<int>{66, 133, 100}));
}

// The budget of a chunk, and a real copy slowed to it. Whether the read time counts
// towards the budget cannot show here (both are fast on a local disk): the pacer's own test
// below shows it on a simulated clock.
TEST_F(CopyFileTest, TheChunkBudgetFollowsTheRateAndSlowsAFastCopyToIt) {
    WriteFile(source, 5 * kMiB);
    const std::int64_t budgetUs = CopyWorker::ChunkBudgetUs(50);
    EXPECT_EQ(budgetUs, 20'000);
    EXPECT_EQ(CopyWorker::ChunkBudgetUs(99), 10'102) << "rounded up: never above 99 MiB/s";
    EXPECT_EQ(CopyWorker::ChunkBudgetUs(0), 1'000'000) << "a rate below 1 is taken as 1";
    EXPECT_EQ(CopyWorker::ChunkBudgetUs(500), 10'102) << "a rate above 99 is taken as 99";
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Copy(budgetUs), Result::Copied);
    // A fast disk writes a chunk in far less than its budget: the rest of it is slept.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(5 * budgetUs));
}

// A disk that stalls: the chunks' own times (in ms) with a stall somewhere, run through the
// pacer on a simulated clock as the copy loop runs them (work, then sleep to the deadline).
// After the stall, no stretch of chunks may run faster than the budget allows.
TEST(ChunkPacerTest, TimeLostToAStalledChunkIsNeverMadeUpLater) {
    using Ms = std::chrono::milliseconds;
    const Ms budget{100};  // 10 MiB/s
    const std::vector<std::vector<int>> runs = {
        {3000, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {5, 5, 2000, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5},
        {150, 0, 400, 0, 0, 0, 250, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    };
    for (const auto& work : runs) {
        ChunkPacer pacer{budget};
        auto now = ChunkPacer::Clock::time_point{} + std::chrono::hours(1);
        std::vector<ChunkPacer::Clock::time_point> starts, ends;
        for (const int ms : work) {
            starts.push_back(now);
            const auto deadline = pacer.Deadline(now);
            now = std::max(now + Ms(ms), deadline);
            ends.push_back(now);
        }
        for (std::size_t first = 0; first < work.size(); ++first)
            for (std::size_t last = first; last < work.size(); ++last)
                EXPECT_GE(ends[last] - starts[first], budget * static_cast<int>(last - first + 1))
                    << "chunks " << first << " to " << last << " ran above the rate";
        // Nothing slower than needed either: a chunk that takes no time waits one budget.
        EXPECT_EQ(ends.back() - starts.back(), budget);
    }
}

TEST_F(CopyFileTest, AStopDuringALargeCopyRemovesThePartialTargetWithinOneChunk) {
    WriteFile(source, 64 * kMiB);
    std::atomic<bool> done{false};
    Result result = Result::Copied;
    std::chrono::steady_clock::time_point stoppedAt;
    std::thread copier([&] {
        result = Copy(CopyWorker::ChunkBudgetUs(10), true);
        done = true;
    });
    ASSERT_TRUE(Eventually([&] { return percent > 0; }));
    stop = true;
    copier.join();
    EXPECT_EQ(result, Result::Interrupted);
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_TRUE(QFile::exists(source)) << "never deleted after an interruption";
    EXPECT_TRUE(traces.Contains("Halvane::CopyFile BREAK!!! : remove target file '" + target.toStdString() + "'\n"));
}

TEST_F(CopyFileTest, WhatCannotBeOpenedFailsAndAVanishedSourceIsToldApart) {
    // Missing source in a readable folder: gone for good.
    QDir().mkpath(dir.filePath("rec/game"));
    EXPECT_EQ(Copy(), Result::SourceGone);
    // Missing folder: maybe a recorder share that is away for the moment.
    source = dir.filePath("away/1_1.mp4");
    EXPECT_EQ(Copy(), Result::Failed);
    EXPECT_TRUE(traces.Contains("Halvane::CopyFile ERROR 2 : Can't open source file '" + source.toStdString() + "'\n"));

    // A source its writer still holds.
    source = dir.filePath("rec/game/2_1.mp4");
    WriteFile(source, 1000);
    {
        HeldForWriting writer(source);
        traces.Clear();
        EXPECT_EQ(Copy(), Result::Failed);
        EXPECT_TRUE(traces.Contains("Can't open source file '" + source.toStdString() + "'"));
        EXPECT_FALSE(QFile::exists(target));
    }
    EXPECT_EQ(Copy(), Result::Copied);

    // A target someone else holds is not touched.
    WriteFile(source, 2000, 5);
    {
        HeldForWriting other(target);
        EXPECT_EQ(Copy(), Result::Failed);
        EXPECT_TRUE(traces.Contains("Can't create target file '" + target.toStdString() + "'"));
    }
    EXPECT_EQ(ReadFile(target).size(), 1000) << "the earlier copy stays as it was";

    // A target whose folder cannot be made.
    root = dir.filePath("unmounted") + "/";
    target = root + "game/1_1.mp4";
    EXPECT_EQ(Copy(), Result::Failed);
    EXPECT_FALSE(QDir(dir.filePath("unmounted")).exists());
}

TEST_F(CopyFileTest, SourceAndTargetBeingOneFileIsNeverTruncated) {
    WriteFile(source, 3 * kMiB);
    const QByteArray content = ReadFile(source);
    // The same path, a link to the source, and a second name of the same file.
    const QString link = root + "game/link.mp4";
    const QString hard = root + "game/hard.mp4";
    QDir().mkpath(root + "game");
    ASSERT_EQ(::symlink(fs::Encode(source).constData(), fs::Encode(link).constData()), 0);
    ASSERT_EQ(::link(fs::Encode(source).constData(), fs::Encode(hard).constData()), 0);
    for (const QString& same : {source, link, hard}) {
        target = same;
        EXPECT_EQ(Copy(0, true), Result::SameFile) << same.toStdString();
        EXPECT_EQ(ReadFile(source), content);
    }
}

TEST_F(CopyFileTest, ASourceThatChangesDuringTheCopyIsNotCopied) {
    WriteFile(source, 4 * kMiB);
    std::atomic<bool> done{false};
    Result result = Result::Copied;
    std::thread copier([&] {
        result = Copy(CopyWorker::ChunkBudgetUs(20), true);
        done = true;
    });
    ASSERT_TRUE(Eventually([&] { return percent > 0; }));
    {
        QFile grow(source);
        ASSERT_TRUE(grow.open(QIODevice::Append));
        grow.write(QByteArray(1000, 'x'));
    }
    copier.join();
    EXPECT_EQ(result, Result::Failed);
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_TRUE(QFile::exists(source));
}

TEST_F(CopyFileTest, ASourceDeletedDuringItsCopyStillArrivesWhole) {
    WriteFile(source, 4 * kMiB);
    const QByteArray content = ReadFile(source);
    std::atomic<bool> done{false};
    Result result = Result::Failed;
    std::thread copier([&] {
        result = Copy(CopyWorker::ChunkBudgetUs(20), true);
        done = true;
    });
    ASSERT_TRUE(Eventually([&] { return percent > 0; }));
    ASSERT_TRUE(QFile::remove(source));
    copier.join();
    // What was open is read to its end: the archive holds the recording as it was.
    EXPECT_EQ(result, Result::Copied);
    EXPECT_EQ(ReadFile(target), content);
}

// A size-limited file system for the archive, mounted by the test.
class SmallArchive {
public:
    explicit SmallArchive(const QString& folder) : folder_(folder) {
        QDir().mkpath(folder);
        mounted_ = ::mount("tmpfs", fs::Encode(folder).constData(), "tmpfs", 0, "size=2m") == 0;
        if (!mounted_) error_ = errno;
    }
    ~SmallArchive() {
        if (mounted_) ::umount2(fs::Encode(folder_).constData(), MNT_DETACH);
    }
    bool Mounted() const { return mounted_; }
    // Mounting takes root (CI runs as root): a test without the mount is skipped or fails.
    test::Need MountNeed() const {
        return test::Need(test::Requirement::Root,
                          mounted_ ? std::string() : "cannot mount a tmpfs here (errno " + std::to_string(error_) + ")");
    }
    bool Grow() { return ::mount("tmpfs", fs::Encode(folder_).constData(), "tmpfs", MS_REMOUNT, "size=16m") == 0; }

private:
    QString folder_;
    bool mounted_ = false;
    int error_ = 0;
};

TEST_F(CopyFileTest, AFullArchiveDiskIsNeverReportedAsCopied) {
    SmallArchive small(dir.filePath("archive"));
    HV_NEEDS(small.MountNeed());
    WriteFile(source, 3 * kMiB);
    EXPECT_EQ(Copy(0, true), Result::Failed);
    EXPECT_FALSE(QFile::exists(target)) << "nothing half-written is left";
    EXPECT_TRUE(QFile::exists(source));
    EXPECT_TRUE(traces.Contains("Halvane::CopyFile ERROR 28 : Can't write target file"));
    ASSERT_TRUE(small.Grow());
    EXPECT_EQ(Copy(0, false), Result::Copied);
    EXPECT_EQ(ReadFile(target), ReadFile(source));
}

// The worker thread over a list, with settings and a tick the test controls.
class CopyWorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        archive = dir.filePath("archive");
        QDir().mkpath(archive);
        settings.CopyToPath = archive + "/";
        settings.CopyRateLimit_MBperSEC = 99;
    }
    void TearDown() override {
        worker.RequestStop();
        worker.Join();
    }

    QString Source(const QString& name) const { return dir.filePath("rec/g/" + name); }
    QString Target(const QString& name) const { return archive + "/g/" + name; }

    void Queue(const QString& name, std::uint32_t notBefore) {
        std::lock_guard guard(lock);
        list.push_back(CopyItem{Source(name), Target(name), notBefore});
    }
    bool Pending() {
        std::lock_guard guard(lock);
        return !list.empty();
    }
    std::uint32_t FirstNotBefore() {
        std::lock_guard guard(lock);
        return list.empty() ? 0 : list.front().NotBefore;
    }
    bool Busy() {
        std::lock_guard guard(lock);
        return !list.empty() || !current.isEmpty();
    }

    QTemporaryDir dir;
    QString archive;
    AppSettings settings;
    std::mutex lock;
    CopyList list;
    QString current;
    std::atomic<int> percent{0};
    std::atomic<bool> stop{false};
    std::atomic<int> refreshes{0};
    test::FakeClock clock;
    test::LogCapture traces;
    CopyWorker worker{CopyWorker::Shared{lock, list, settings, current, percent, stop}, clock, [this] { ++refreshes; }};
};

TEST_F(CopyWorkerTest, ItemsNotYetDueWaitAtTheBackAndNeverLookDone) {
    WriteFile(Source("1.xml"), 100);
    WriteFile(Source("2.xml"), 100);
    const std::uint32_t now = clock.tick;
    Queue("1.xml", now + 60'000);
    Queue("2.xml", now + 5000);
    worker.Start();
    // The far item is brought back to ten seconds and both wait behind each other, the list
    // never empty meanwhile.
    const auto until = std::chrono::steady_clock::now() + 600ms;
    bool alwaysPending = true;
    while (std::chrono::steady_clock::now() < until) alwaysPending = alwaysPending && Pending();
    EXPECT_TRUE(alwaysPending);
    {
        std::lock_guard guard(lock);
        ASSERT_EQ(list.size(), 2U);
        for (const CopyItem& item : list)
            EXPECT_EQ(item.NotBefore, item.Source == Source("1.xml") ? now + 10'000 : now + 5000);
    }
    clock.tick = now + 5000;
    ASSERT_TRUE(Eventually([&] { return QFile::exists(Target("2.xml")); }));
    EXPECT_TRUE(Pending());
    clock.tick = now + 10'000;
    ASSERT_TRUE(Eventually([&] { return !Busy(); }));
    EXPECT_TRUE(QFile::exists(Target("1.xml")));
    EXPECT_EQ(percent, 0) << "idle again";
    EXPECT_TRUE(Eventually([&] { return refreshes == 1; }));
    EXPECT_EQ(traces.Count("Halvane::CopyFile OK : '" + Source("1.xml").toStdString() + "' -> '" +
                           Target("1.xml").toStdString() + "'\n"), 1U);
}

TEST_F(CopyWorkerTest, ALockedSourceIsRetriedEveryFiveSecondsAndStaysPending) {
    WriteFile(Source("3_1.mp4"), 2 * kMiB);
    std::optional<HeldForWriting> writer(std::in_place, Source("3_1.mp4"));
    Queue("3_1.mp4", clock.tick);
    worker.Start();
    const std::string retry = "Halvane::CopyFile (" + Target("3_1.mp4").toStdString() + ") ERROR - will copy again later\n";
    ASSERT_TRUE(Eventually([&] { return traces.Count(retry) == 1; }));
    EXPECT_EQ(FirstNotBefore(), clock.tick + 5000);
    // The worker looks at the waiting item again (every 100 ms) and leaves it.
    const int looked = clock.tickReads;
    ASSERT_TRUE(Eventually([&] { return clock.tickReads >= looked + 3; }));
    EXPECT_EQ(traces.Count(retry), 1U) << "not before five seconds";
    EXPECT_TRUE(Pending());
    clock.tick += 5000;
    ASSERT_TRUE(Eventually([&] { return traces.Count(retry) == 2; }));
    writer.reset();
    clock.tick += 5000;
    ASSERT_TRUE(Eventually([&] { return !Busy(); }));
    EXPECT_EQ(ReadFile(Target("3_1.mp4")), ReadFile(Source("3_1.mp4")));
    EXPECT_TRUE(Eventually([&] { return refreshes == 1; }));
}

TEST_F(CopyWorkerTest, AVanishedArchiveRootDropsTheItemWithOneLogLineAndNoRefresh) {
    WriteFile(Source("1.xml"), 100);
    WriteFile(Source("2.xml"), 100);
    ASSERT_TRUE(QDir(archive).removeRecursively());
    Queue("1.xml", clock.tick);
    Queue("2.xml", clock.tick);
    worker.Start();
    ASSERT_TRUE(Eventually([&] { return !Busy(); }));
    EXPECT_EQ(traces.Count("Halvane::CopyFile ERROR=2. : check access to root '" + archive.toStdString() + "/'\n"), 2U);
    EXPECT_FALSE(QDir(archive).exists()) << "the root is never made";
    EXPECT_TRUE(Throughout([&] { return refreshes == 0; }, kTwoIdlePasses)) << "failures only: no refresh";
}

TEST_F(CopyWorkerTest, ASourceGoneForGoodIsDroppedAndTheRestIsCopiedOnce) {
    WriteFile(Source("2.xml"), 100);
    QDir().mkpath(dir.filePath("rec/g"));
    Queue("1.xml", clock.tick);  // never written
    Queue("2.xml", clock.tick);
    worker.Start();
    ASSERT_TRUE(Eventually([&] { return !Busy(); }));
    EXPECT_TRUE(traces.Contains("Halvane::CopyFile source file '" + Source("1.xml").toStdString() + "' is gone - dropped\n"));
    EXPECT_TRUE(Eventually([&] { return refreshes == 1; }));
    EXPECT_TRUE(Throughout([&] { return refreshes == 1; }, kTwoIdlePasses)) << "once per batch, not on every idle pass";
}

TEST_F(CopyWorkerTest, StoppingDuringACopyEndsTheWorkerAndRemovesThePartialTarget) {
    // 32 MiB at 1 MiB/s: a worker that finished its copy before it stopped would take half
    // a minute, one that stops within a chunk about a second.
    settings.CopyRateLimit_MBperSEC = 1;
    settings.DeleteCopiedFiles = true;
    WriteFile(Source("1_1.mp4"), 32 * kMiB);
    Queue("1_1.mp4", clock.tick);
    worker.Start();
    ASSERT_TRUE(Eventually([&] { return percent > 0; }));
    {
        std::lock_guard guard(lock);
        EXPECT_EQ(current, Target("1_1.mp4"));
    }
    EXPECT_TRUE(Busy()) << "the item being copied counts for closing";
    const auto asked = std::chrono::steady_clock::now();
    worker.RequestStop();
    worker.Join();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 15s) << "the stop waited for the copy's end";
    EXPECT_FALSE(QFile::exists(Target("1_1.mp4")));
    EXPECT_TRUE(QFile::exists(Source("1_1.mp4")));
    EXPECT_EQ(traces.Count("Halvane::CopyFile OK : '" + Source("1_1.mp4").toStdString() + "' -> '" +
                           Target("1_1.mp4").toStdString() + "'\n"), 0U);
}

TEST_F(CopyWorkerTest, AFullArchiveIsRetriedUntilThereIsRoomAndNothingIsLeftHalfWritten) {
    SmallArchive small(archive);
    HV_NEEDS(small.MountNeed());
    settings.DeleteCopiedFiles = true;
    WriteFile(Source("1_1.mp4"), 3 * kMiB);
    const QByteArray content = ReadFile(Source("1_1.mp4"));
    Queue("1_1.mp4", clock.tick);
    worker.Start();
    const std::string retry = "Halvane::CopyFile (" + Target("1_1.mp4").toStdString() + ") ERROR - will copy again later\n";
    ASSERT_TRUE(Eventually([&] { return traces.Count(retry) == 1; }));
    EXPECT_TRUE(Pending());
    EXPECT_FALSE(QFile::exists(Target("1_1.mp4")));
    EXPECT_TRUE(QFile::exists(Source("1_1.mp4")));
    EXPECT_FALSE(traces.Contains("Halvane::CopyFile OK"));
    ASSERT_TRUE(small.Grow());
    clock.tick += 5000;
    ASSERT_TRUE(Eventually([&] { return !Busy(); }));
    EXPECT_EQ(ReadFile(Target("1_1.mp4")), content);
    EXPECT_FALSE(QFile::exists(Source("1_1.mp4")));
    worker.RequestStop();
    worker.Join();
}

TEST_F(CopyWorkerTest, TheArchiveRootRemovedAndMadeAgainDuringACopy) {
    settings.CopyRateLimit_MBperSEC = 20;
    settings.DeleteCopiedFiles = true;
    WriteFile(Source("1_1.mp4"), 8 * kMiB);
    const QByteArray content = ReadFile(Source("1_1.mp4"));
    Queue("1_1.mp4", clock.tick);
    worker.Start();
    ASSERT_TRUE(Eventually([&] { return percent > 0; }));
    // The open target goes with its folder: that copy reached nowhere and must be redone.
    ASSERT_TRUE(QDir(archive).removeRecursively());
    QDir().mkpath(archive);
    const std::string retry = "Halvane::CopyFile (" + Target("1_1.mp4").toStdString() + ") ERROR - will copy again later\n";
    ASSERT_TRUE(Eventually([&] { return traces.Count(retry) == 1; }));
    EXPECT_TRUE(QFile::exists(Source("1_1.mp4"))) << "kept until a copy is really in the archive";
    clock.tick += 5000;
    ASSERT_TRUE(Eventually([&] { return !Busy(); }));
    EXPECT_EQ(ReadFile(Target("1_1.mp4")), content);
    EXPECT_FALSE(QFile::exists(Source("1_1.mp4")));
}

}  // namespace
}  // namespace hv
