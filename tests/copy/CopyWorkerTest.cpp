// The copy worker and its single-file copy over real files: progress, the rate limit,
// stopping, what counts as copied, an earlier copy kept through a failed one, what is
// deleted after a copy and what is not, the deferral and retry of items, the archive root
// check, the refresh after a batch, names that are not UTF-8, and a real full file system
// (a size-limited tmpfs).
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <thread>

#include "CopyTestSupport.h"
#include "FakeClock.h"
#include "LogCapture.h"
#include "Mounts.h"
#include "fixity/Manifest.h"
#include "fixity/Sha256.h"
#include "Requirements.h"
#include "copy/ArchiveRoot.h"
#include "copy/ChunkPacer.h"
#include "copy/CopyPlanning.h"
#include "copy/CopyWorker.h"

extern "C" char** environ;

namespace hv {
namespace {

using test::ReadFile;
using test::WriteFile;
using Result = CopyWorker::CopyResult;
using namespace std::chrono_literals;

constexpr qint64 kMiB = 1'048'576;

// Runs a program to its end (posix_spawn: the thread sanitizer cannot follow QProcess's way
// of starting one), its standard error into `errors`; its exit code, or -1. A leak check
// cannot run under ptrace, so the child runs without one.
int RunToEnd(const QStringList& arguments, const QString& errors) {
    std::vector<QByteArray> args;
    for (const QString& a : arguments) args.push_back(QFile::encodeName(a));
    std::vector<char*> argv;
    for (QByteArray& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    QByteArray asan = "ASAN_OPTIONS=" + qgetenv("ASAN_OPTIONS") + ":detect_leaks=0";
    std::vector<char*> envp{asan.data()};
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "ASAN_OPTIONS=", 13) != 0) envp.push_back(*e);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const QByteArray errorFile = QFile::encodeName(errors);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

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

    // One copy into the root as it is now (as if the settings were taken just before).
    Result Copy(std::int64_t budgetUs = 0, bool deleteAfter = false) {
        return CopyWorker::CopyFile(fs::Encode(source), fs::Encode(target), ArchiveRoot::Record(root), buffer,
                                    budgetUs, deleteAfter, percent, stop, &archiveError);
    }

    QTemporaryDir dir;
    QString source, root, target;
    std::vector<char> buffer;
    std::atomic<int> percent{0};
    std::atomic<bool> stop{false};
    int archiveError = 0;
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

// A source that cannot be deleted (here a file something is mounted on) stays after its
// copy, and the trace tells why instead of telling that it was deleted.
TEST_F(CopyFileTest, ASourceThatCannotBeDeletedIsTracedWithItsError) {
    HV_NEEDS(test::Root("mounts file systems of its own"));
    WriteFile(source, kMiB + 5);
    const QByteArray content = ReadFile(source);
    test::MountGuard pinned;
    ASSERT_TRUE(pinned.MountBind(source, source)) << pinned.Error();
    ASSERT_EQ(Copy(0, true), Result::Copied);
    EXPECT_EQ(ReadFile(target), content);
    EXPECT_EQ(ReadFile(source), content);
    const std::string path = source.toStdString();
    EXPECT_TRUE(traces.Contains("xxxxx-Halvane::DeleteAfterCopy ERROR " + std::to_string(EBUSY) + " '" + path + "'\n"))
        << traces.Text();
    EXPECT_FALSE(traces.Contains("xxxxx-Halvane::DeleteAfterCopy '" + path + "'\n"));
}

// A writer that wants the source back (the same name recorded again) waits for the copy's
// shared lock. The copy deletes the source before it lets go, so a writer that then looks
// whether the file it holds still has its name, as the recorder does, finds it without one
// and starts a new file under the name: its recording is never written into a file that
// has no name, nor deleted after it was written.
TEST_F(CopyFileTest, AWriterThatWaitedForACopiedSourceFindsItNamelessAndRecordsIntoANewFile) {
    WriteFile(source, 3 * kMiB);
    const QByteArray copied = ReadFile(source);
    const int writer = ::open(fs::Encode(source).constData(), O_WRONLY | O_CLOEXEC);  // no truncation
    ASSERT_GE(writer, 0);
    Result result = Result::Failed;
    std::thread copier([&] { result = Copy(CopyWorker::ChunkBudgetUs(20), true); });
    ASSERT_TRUE(Eventually([&] { return percent > 0; }));
    ASSERT_EQ(::flock(writer, LOCK_EX), 0);  // waits for the copy to let go
    struct stat held{};
    ASSERT_EQ(::fstat(writer, &held), 0);
    ::close(writer);
    copier.join();
    EXPECT_EQ(result, Result::Copied);
    EXPECT_EQ(ReadFile(target), copied);
    EXPECT_EQ(held.st_nlink, 0U) << "the file the writer was given is the copied one, already without a name";
    // The writer opens the name anew and records; that recording stays whole.
    WriteFile(source, 1000, 9);
    EXPECT_EQ(ReadFile(source).size(), 1000);
    EXPECT_EQ(ReadFile(target), copied);
}

// A file renamed over the source while it is copied (a recording that took the name) is
// another file: it is not deleted with the copied one, and the next planning finds it
// different from the archive's copy, so it is copied in its turn.
TEST_F(CopyFileTest, AFileRenamedOverTheSourceDuringItsCopyStaysAndIsCopiedLater) {
    WriteFile(source, 4 * kMiB, 1);
    const QByteArray first = ReadFile(source);
    const QString next = dir.filePath("rec/game/next.part");
    WriteFile(next, 2 * kMiB + 5, 2);
    const QByteArray second = ReadFile(next);
    Result result = Result::Failed;
    std::thread copier([&] { result = Copy(CopyWorker::ChunkBudgetUs(20), true); });
    ASSERT_TRUE(Eventually([&] { return percent > 0; }));
    ASSERT_EQ(::rename(fs::Encode(next).constData(), fs::Encode(source).constData()), 0);
    copier.join();
    EXPECT_EQ(result, Result::Copied) << "what was opened is copied whole";
    EXPECT_EQ(ReadFile(target), first);
    EXPECT_EQ(ReadFile(source), second) << "the file that took the name is not deleted";
    EXPECT_TRUE(traces.Contains("xxxxx-Halvane::DeleteAfterCopy '" + source.toStdString() + "' - not deleted"));

    fs::FileInfo info;
    ASSERT_TRUE(fs::ReadInfo(source, info));
    EXPECT_FALSE(CopyPlanner::CheckCopyFile(fs::Encode(source), fs::Encode(target), info)) << "planned again";
    EXPECT_EQ(Copy(0, true), Result::Copied);
    EXPECT_EQ(ReadFile(target), second);
    EXPECT_FALSE(QFile::exists(source));
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
    std::thread copier([&] {
        result = Copy(CopyWorker::ChunkBudgetUs(10), true);
        done = true;
    });
    ASSERT_TRUE(Eventually([&] { return percent > 0; }));
    stop = true;
    copier.join();
    EXPECT_EQ(result, Result::Interrupted);
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_TRUE(test::EntriesOf(root + "game/cam").isEmpty()) << "nothing of the copy is left";
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
    // An archive root above the recorder's folder, so that the source is a target too.
    const QString archiveRoot = root;
    root = dir.path() + "/";
    WriteFile(source, 3 * kMiB);
    const QByteArray content = ReadFile(source);
    // The same path, a link to the source, and a second name of the same file.
    const QString link = archiveRoot + "game/link.mp4";
    const QString hard = archiveRoot + "game/hard.mp4";
    QDir().mkpath(archiveRoot + "game");
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

TEST_F(CopyFileTest, AFullArchiveDiskIsNeverReportedAsCopied) {
    HV_NEEDS(test::Root("mounts file systems of its own"));
    test::MountGuard small;
    ASSERT_TRUE(small.MountTmpfs(dir.filePath("archive"), "size=2m")) << small.Error();
    WriteFile(source, 3 * kMiB);
    EXPECT_EQ(Copy(0, true), Result::Failed);
    EXPECT_EQ(archiveError, ENOSPC);
    EXPECT_FALSE(QFile::exists(target)) << "nothing half-written is left";
    EXPECT_TRUE(test::EntriesOf(root + "game/cam").isEmpty());
    EXPECT_TRUE(QFile::exists(source));
    EXPECT_TRUE(traces.Contains("Halvane::CopyFile ERROR 28 : Can't write target file"));
    ASSERT_TRUE(small.Remount("size=16m"));
    EXPECT_EQ(Copy(0, false), Result::Copied);
    EXPECT_EQ(ReadFile(target), ReadFile(source));
}

// An earlier good copy survives every re-copy that fails: an archive found full before
// the copy starts, an archive that fills up during it, a source that changes, a stop.
// Nothing of the failed copy is left beside it, and the source stays.
TEST_F(CopyFileTest, AFailedReCopyLeavesTheEarlierCopyInPlace) {
    HV_NEEDS(test::Root("mounts file systems of its own"));
    test::MountGuard small;
    // Room for two copies of 1.5 MiB, or one of 2 MiB and one of 1 MiB, and the manifest.
    ASSERT_TRUE(small.MountTmpfs(dir.filePath("archive"), "size=3200k")) << small.Error();
    const QString filler = root + "filler";
    const auto fillTheDisk = [&] {
        QFile file(filler);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        const QByteArray block(64 * 1024, 'f');
        while (file.write(block) == block.size() && file.flush()) {
        }
    };
    const struct {
        const char* what;
        qint64 firstSize, secondSize;
        std::function<void()> during;  // while the second copy runs
        Result result;
        int archiveError;
    } cases[] = {
        {"the archive is full before the copy", 2 * kMiB, 2 * kMiB, nullptr, Result::Failed, ENOSPC},
        {"the archive fills up during the copy", kMiB, 3 * kMiB / 2, fillTheDisk, Result::Failed, ENOSPC},
        {"the source changes during the copy", kMiB, 3 * kMiB / 2,
         [&] {
             QFile grow(source);
             ASSERT_TRUE(grow.open(QIODevice::Append));
             grow.write(QByteArray(1000, 'x'));
         },
         Result::Failed, 0},
        {"the copy is stopped", kMiB, 3 * kMiB / 2, [&] { stop = true; }, Result::Interrupted, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        stop = false;
        QFile::remove(filler);
        WriteFile(source, c.firstSize, 1);
        ASSERT_EQ(Copy(), Result::Copied);
        const QByteArray first = ReadFile(target);
        ASSERT_EQ(first.size(), c.firstSize);
        WriteFile(source, c.secondSize, 2);  // a later recording under the same name
        percent = 0;
        Result result = Result::Copied;
        std::thread copier([&] { result = Copy(CopyWorker::ChunkBudgetUs(2), true); });
        if (c.during) {
            EXPECT_TRUE(Eventually([&] { return percent > 0; }));
            c.during();
        }
        copier.join();
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(archiveError, c.archiveError);
        EXPECT_EQ(ReadFile(target), first) << "the earlier copy is untouched";
        EXPECT_EQ(test::EntriesOf(root + "game/cam"), (QStringList{"1_1.mp4", "SHA256SUMS"})) << "nothing else is left";
        EXPECT_EQ(ReadFile(root + "game/cam/SHA256SUMS"), fixity::Sha256::HexOf(first) + "  1_1.mp4\n")
            << "the failed copy wrote no checksum line: the earlier copy's stays";
        EXPECT_TRUE(QFile::exists(source));
    }
}

// The order on the disk, seen in the system calls of a real copy (strace): the new copy's
// data is synced, it is renamed over the target, the target's folder is synced, and every
// folder on the way had its name synced in its parent, all before the source is deleted,
// whether the copy made those folders or found them (made by an earlier pass whose sync
// failed). Otherwise a power cut could leave the source deleted and the copy without a
// name. And the source is deleted before its lock is given up (its descriptor closed): a
// writer waiting for the lock finds the file already without its name. A copy again takes
// the earlier copy's checksum line out of the manifest before the rename (a copy whose
// name has no line yet leaves the manifest alone until its own line): the name never
// has the line of the file it replaced.
TEST_F(CopyFileTest, TheCopysNameIsOnTheDiskBeforeTheSourceIsDeleted) {
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    ASSERT_FALSE(strace.isEmpty()) << "strace is missing (scripts/setup.sh installs it)";
    const QString archive = QRegularExpression::escape(dir.filePath("archive"));
    const QString folder = archive + "/game/cam";
    const QString sourcePath = QRegularExpression::escape(source);
    for (const int pass : {0, 1, 2}) {
        const bool foldersThere = pass > 0, again = pass == 2;
        SCOPED_TRACE(again          ? "copied again over an earlier copy with its line"
                     : foldersThere ? "the folders were there"
                                    : "the copy makes its folders");
        if (!again) QDir(dir.filePath("archive/game")).removeRecursively();
        if (foldersThere) {
            ASSERT_TRUE(QDir().mkpath(dir.filePath("archive/game/cam")));
        }
        WriteFile(source, 2 * kMiB + 3 + pass);
        const QString trace = dir.filePath("calls.txt");
        const int status = RunToEnd({strace, "-f", "-y", "-qq", "-o", trace, "-e",
                                     "trace=mkdir,mkdirat,fsync,fdatasync,rename,renameat,renameat2,unlink,unlinkat,"
                                     "flock,close",
                                     QStringLiteral(HALVANE_COPY_ONE), source, target, root, "delete"},
                                    dir.filePath("errors.txt"));
        ASSERT_EQ(status, 0) << ReadFile(dir.filePath("errors.txt")).toStdString();
        EXPECT_FALSE(QFile::exists(source));
        const QStringList calls = QString::fromUtf8(ReadFile(trace)).split(u'\n', Qt::SkipEmptyParts);
        const std::string all = calls.join(u'\n').toStdString();
        // The first call from `after` on that matches `pattern`; -1 when there is none.
        const auto at = [&](const QString& pattern, qsizetype after = -1) {
            const QRegularExpression re(pattern);
            for (qsizetype i = after + 1; i < calls.size(); ++i)
                if (re.match(calls[i]).hasMatch()) return i;
            return qsizetype(-1);
        };
        const auto syncedAfter = [&](const QString& folderPattern, qsizetype after) {
            return at("fsync\\(\\d+<" + folderPattern + ">\\) = 0", after);
        };
        const qsizetype dataSynced = at("fdatasync\\(\\d+<" + folder + "/\\.1_1\\.mp4\\.halvane-copy>\\) = 0");
        const qsizetype renamed = at("rename.*\"\\.1_1\\.mp4\\.halvane-copy\".*\"1_1\\.mp4\".* = 0");
        const qsizetype deleted = at("unlinkat\\(\\d+<" + QRegularExpression::escape(dir.filePath("rec/game")) +
                                     ">, \"1_1\\.mp4\", 0\\) = 0");
        ASSERT_GE(dataSynced, 0) << all;
        ASSERT_GT(renamed, dataSynced) << all;
        // The earlier copy's line taken out: the manifest replaced before the rename.
        const QString manifestRename = "rename.*\"\\.SHA256SUMS\\.halvane-tmp\".*\"SHA256SUMS\".* = 0";
        const qsizetype firstManifestRename = at(manifestRename);
        if (again) {
            EXPECT_GE(firstManifestRename, 0) << all;
            EXPECT_LT(firstManifestRename, renamed) << all;
        } else {
            EXPECT_GT(firstManifestRename, renamed) << "no manifest written before the copy's own line\n" << all;
        }
        const qsizetype folderSynced = syncedAfter(folder, renamed);
        ASSERT_GT(folderSynced, renamed) << all;
        EXPECT_GT(deleted, folderSynced) << all;
        // The copy's checksum: its manifest replaced whole (synced, renamed, the folder
        // synced) after the copy is in place and before the source goes.
        const qsizetype manifestSynced = at("fdatasync\\(\\d+<" + folder + "/\\.SHA256SUMS\\.halvane-tmp>\\) = 0", folderSynced);
        const qsizetype manifestRenamed = at("rename.*\"\\.SHA256SUMS\\.halvane-tmp\".*\"SHA256SUMS\".* = 0", manifestSynced);
        ASSERT_GT(manifestSynced, folderSynced) << all;
        ASSERT_GT(manifestRenamed, manifestSynced) << all;
        const qsizetype manifestFolderSynced = syncedAfter(folder, manifestRenamed);
        ASSERT_GT(manifestFolderSynced, manifestRenamed) << all;
        EXPECT_GT(deleted, manifestFolderSynced) << all;
        // The folders on the way: "game" in the root, "cam" in "game".
        for (const auto& [level, parent] : {std::pair{QStringLiteral("game"), archive},
                                            std::pair{QStringLiteral("cam"), archive + "/game"}}) {
            const qsizetype madeAt = at("mkdirat\\(\\d+<" + parent + ">, \"" + level + "\", ");
            EXPECT_EQ(madeAt >= 0, !foldersThere) << level.toStdString();
            const qsizetype parentSynced = syncedAfter(parent, madeAt);
            EXPECT_GT(parentSynced, madeAt) << level.toStdString();
            EXPECT_LT(parentSynced, deleted) << level.toStdString();
        }
        // The source's shared lock, taken on its descriptor, goes with that descriptor's
        // close (or an unlock), after the unlink.
        const QRegularExpression locked("flock\\((\\d+)<" + sourcePath + ">, LOCK_SH\\|LOCK_NB\\) = 0");
        qsizetype lockedAt = -1;
        QString fd;
        for (qsizetype i = 0; i < calls.size() && lockedAt < 0; ++i)
            if (const auto m = locked.match(calls[i]); m.hasMatch()) lockedAt = i, fd = m.captured(1);
        ASSERT_GE(lockedAt, 0) << all;
        const qsizetype closed = at("close\\(" + fd + "<", lockedAt);
        const qsizetype unlocked = at("flock\\(" + fd + "<.*LOCK_UN", lockedAt);
        ASSERT_GT(closed, lockedAt) << all;
        EXPECT_GT(deleted, lockedAt) << all;
        EXPECT_LT(deleted, closed) << "deleted before its lock is given up\n" << all;
        if (unlocked >= 0) {
            EXPECT_LT(deleted, unlocked) << all;
        }
    }
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
        RecordRoot();
    }
    void TearDown() override {
        worker.RequestStop();
        worker.Join();
        // Names that are not UTF-8 are beyond the temporary folder's own clean-up.
        std::error_code ignored;
        std::filesystem::remove_all(fs::Encode(dir.path()).toStdString(), ignored);
    }

    // The archive root as the settings take it (loaded or applied).
    void RecordRoot() {
        ArchiveRoot recorded = ArchiveRoot::Record(settings.CopyToPath);
        std::lock_guard guard(lock);
        root = std::move(recorded);
    }

    QString Source(const QString& name) const { return dir.filePath("rec/g/" + name); }
    QString Target(const QString& name) const { return archive + "/g/" + name; }

    void Queue(const QString& name, std::uint32_t notBefore) {
        std::lock_guard guard(lock);
        list.push_back(CopyItem{fs::Encode(Source(name)), fs::Encode(Target(name)), notBefore, root});
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
    ArchiveRoot root;
    std::mutex lock;
    CopyList list;
    QString current;
    std::atomic<int> percent{0};
    std::atomic<bool> stop{false};
    std::atomic<ArchiveWait> waiting{ArchiveWait::None};
    std::atomic<int> refreshes{0};
    test::FakeClock clock;
    test::LogCapture traces;
    ArchiveRootRecord record{lock, root};
    CopyWorker worker{CopyWorker::Shared{lock, list, settings, record, current, percent, stop, waiting}, clock,
                      [this] { ++refreshes; }};
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
            EXPECT_EQ(item.NotBefore, item.Source == fs::Encode(Source("1.xml")) ? now + 10'000 : now + 5000);
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

// The archive was full (or could not be reached) for a copy, and that copy leaves the list
// without being copied (its source gone, planned for another archive root) while other
// copies still wait their turn: the archive's state clears with the last copy that waited
// for it, not only when the list runs empty.
TEST_F(CopyWorkerTest, TheArchiveWaitEndsWithTheLastCopyWaitingForItWhateverTakesItOut) {
    const QString other = dir.filePath("other");
    QDir().mkpath(other);
    const ArchiveRoot otherRoot = ArchiveRoot::Record(other);
    QDir().mkpath(dir.filePath("rec/g"));
    WriteFile(Source("9.xml"), 100);
    const struct {
        const char* what;
        bool plannedElsewhere;  // else: its source is gone
        bool laterOneWaitsToo;
        ArchiveWait after;
    } cases[] = {
        {"the source gone", false, false, ArchiveWait::None},
        {"planned for another root", true, false, ArchiveWait::None},
        {"another copy still waits", false, true, ArchiveWait::Full},
    };
    worker.Start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        traces.Clear();
        {
            std::lock_guard guard(lock);
            waiting = ArchiveWait::Full;
            // The copy that met the full archive, due again now.
            list.push_back(CopyItem{fs::Encode(Source("1.xml")), fs::Encode(Target("1.xml")), clock.tick,
                                    c.plannedElsewhere ? otherRoot : root});
            list.back().WaitsForArchive = true;
            // A copy due in a minute.
            list.push_back(CopyItem{fs::Encode(Source("9.xml")), fs::Encode(Target("9.xml")), clock.tick + 60'000, root});
            list.back().WaitsForArchive = c.laterOneWaitsToo;
        }
        ASSERT_TRUE(Eventually([&] { return traces.Contains("1.xml") && traces.Contains("dropped\n"); }))
            << traces.Text();
        if (c.after == ArchiveWait::None)
            EXPECT_TRUE(Eventually([&] { return waiting == ArchiveWait::None; }));
        else
            EXPECT_TRUE(Throughout([&] { return waiting == c.after; }, 10 * 1ms * CopyWorker::kTakePauseMs));
        EXPECT_TRUE(Pending()) << "the later copy still waits its turn";
        EXPECT_FALSE(traces.Contains("takes copies again")) << "nothing was copied, so the log does not say so";
        std::lock_guard guard(lock);
        list.clear();
    }
}

// A copy that waited for a full archive and then fails at its source (a recorder still
// writes it) waits for its source, not for the archive: the status shows the archive's
// wait no longer, and the copy is tried again.
TEST_F(CopyWorkerTest, AWaitingCopyThatFailsAtItsSourceNoLongerWaitsForTheArchive) {
    WriteFile(Source("3_1.mp4"), 2 * kMiB);
    HeldForWriting writer(Source("3_1.mp4"));
    {
        std::lock_guard guard(lock);
        waiting = ArchiveWait::Full;
        list.push_back(CopyItem{fs::Encode(Source("3_1.mp4")), fs::Encode(Target("3_1.mp4")), clock.tick, root});
        list.back().WaitsForArchive = true;
    }
    worker.Start();
    const std::string retry = "Halvane::CopyFile (" + Target("3_1.mp4").toStdString() + ") ERROR - will copy again later\n";
    ASSERT_TRUE(Eventually([&] { return traces.Count(retry) == 1; })) << traces.Text();
    EXPECT_TRUE(Eventually([&] { return waiting == ArchiveWait::None; }));
    EXPECT_TRUE(Pending()) << "tried again later";
    std::lock_guard guard(lock);
    ASSERT_EQ(list.size(), 1U);
    EXPECT_FALSE(list.front().WaitsForArchive);
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

// A full archive: the item waits (retried every five seconds), the log says so once for the
// whole wait, the status can show it, and copying goes on by itself once there is room.
TEST_F(CopyWorkerTest, AFullArchiveIsRetriedUntilThereIsRoomAndNothingIsLeftHalfWritten) {
    HV_NEEDS(test::Root("mounts file systems of its own"));
    test::MountGuard small;
    ASSERT_TRUE(small.MountTmpfs(archive, "size=2m")) << small.Error();
    RecordRoot();  // the settings taken with the archive mounted
    settings.DeleteCopiedFiles = true;
    WriteFile(Source("1_1.mp4"), 3 * kMiB);
    const QByteArray content = ReadFile(Source("1_1.mp4"));
    Queue("1_1.mp4", clock.tick);
    worker.Start();
    const std::string retry = "Halvane::CopyFile (" + Target("1_1.mp4").toStdString() + ") ERROR - will copy again later\n";
    const std::string full = "Halvane::CopyFile ERROR=28. : the video archive '" + archive.toStdString() +
                             "/' is full - copying waits for free space\n";
    ASSERT_TRUE(Eventually([&] { return traces.Count(retry) == 1; }));
    EXPECT_EQ(waiting, ArchiveWait::Full);
    for (int attempt = 2; attempt <= 3; ++attempt) {
        clock.tick += 5000;
        ASSERT_TRUE(Eventually([&] { return traces.Count(retry) == static_cast<size_t>(attempt); }));
    }
    EXPECT_EQ(traces.Count(full), 1U) << "once for the whole wait, not once per attempt";
    EXPECT_TRUE(Pending());
    EXPECT_FALSE(QFile::exists(Target("1_1.mp4")));
    EXPECT_TRUE(QFile::exists(Source("1_1.mp4")));
    EXPECT_FALSE(traces.Contains("Halvane::CopyFile OK"));
    ASSERT_TRUE(small.Remount("size=16m"));
    clock.tick += 5000;
    ASSERT_TRUE(Eventually([&] { return !Busy(); }));
    EXPECT_EQ(ReadFile(Target("1_1.mp4")), content);
    EXPECT_FALSE(QFile::exists(Source("1_1.mp4")));
    EXPECT_EQ(waiting, ArchiveWait::None);
    EXPECT_EQ(traces.Count("Halvane::CopyFile : the video archive '" + archive.toStdString() + "/' takes copies again\n"),
              1U);
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

// Names in Latin-1 and bytes that are no UTF-8 at all, in a recorder folder and in a
// subfolder with such a name: planned, copied byte for byte under the same names, deleted
// when asked, also the videos of a period that is not archived, and logged readably.
TEST_F(CopyWorkerTest, NamesThatAreNotUtf8AreCopiedByteForByteDeletedAndLoggedReadably) {
    settings.DeleteCopiedFiles = true;
    settings.CopyFromPathList = dir.filePath("rec");
    const QByteArray rec = fs::Encode(dir.filePath("rec/g/"));
    const QByteArray arch = fs::Encode(archive + "/g/");
    const QByteArray folder = "cam\xE9/";  // "camé" in Latin-1
    ASSERT_TRUE(QDir().mkpath(dir.filePath("rec/g")));
    ASSERT_EQ(::mkdir((rec + folder).constData(), 0777), 0);
    const QByteArrayList names = {"3_caf\xE9.mp4", folder + "3_\xFF\xFE\x80.mp4", "3.xml"};
    for (const QByteArray& name : names) test::WriteRawFile(rec + name, "content of " + name);
    test::WriteRawFile(rec + "-3_d\xE9j\xE0.mp4", "not archived");

    CopyPlanner planner(lock, list);
    planner.FillCopyFiles(root, settings, "g\\", 3, false, clock.tick);
    planner.FillCopyFiles(root, settings, "g\\", -3, false, clock.tick);
    EXPECT_FALSE(test::RawExists(rec + "-3_d\xE9j\xE0.mp4"));
    EXPECT_TRUE(traces.Contains("xxxxx-Halvane::DeleteWithoutCopy '" + rec.toStdString() + "-3_d\\xE9j\\xE0.mp4'\n"));
    {
        std::lock_guard guard(lock);
        ASSERT_EQ(list.size(), 3U);
        EXPECT_EQ(list.front().Source, rec + folder + "3_\xFF\xFE\x80.mp4") << "the listed bytes, unchanged";
    }
    worker.Start();
    ASSERT_TRUE(Eventually([&] { return !Busy(); }));
    for (const QByteArray& name : names) {
        EXPECT_EQ(test::ReadRawFile(arch + name), "content of " + name) << fs::Printable(name).constData();
        EXPECT_FALSE(test::RawExists(rec + name)) << fs::Printable(name).constData();
    }
    const std::string readable[] = {"3_caf\\xE9.mp4", "cam\\xE9/3_\\xFF\\xFE\\x80.mp4"};
    for (const std::string& name : readable)
        EXPECT_EQ(traces.Count("Halvane::CopyFile OK : '" + rec.toStdString() + name + "' -> '" + arch.toStdString() +
                               name + "'\n"),
                  1U)
            << name;
    EXPECT_EQ(fs::Display(rec + folder), QString::fromUtf8(rec) + "cam\\xE9/") << "the tooltip's form";
    // The game folder's manifest names each by its bytes, below the game's folder.
    const fixity::Manifest manifest = fixity::ParseManifest(test::ReadRawFile(arch + "SHA256SUMS"));
    EXPECT_FALSE(manifest.Damaged());
    QByteArrayList named;
    for (const fixity::ManifestLine& line : manifest.Lines) {
        named << line.Name;
        EXPECT_EQ(line.Digest, fixity::Sha256::HexOf("content of " + line.Name)) << fs::Printable(line.Name).constData();
    }
    std::sort(named.begin(), named.end());
    QByteArrayList expected = names;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(named, expected);
}

// The archive root changed ("To:" in the settings) while copies waited: they were planned
// for the old root and go nowhere, so nothing is made there again; the next planning
// queues the recordings for the new root.
TEST_F(CopyWorkerTest, CopiesPlannedForAnotherArchiveRootAreDroppedAndMakeNothingThere) {
    WriteFile(Source("1.xml"), 100);
    Queue("1.xml", clock.tick);
    const QString other = dir.filePath("other");
    QDir().mkpath(other);
    settings.CopyToPath = other + "/";
    RecordRoot();
    ASSERT_TRUE(QDir(archive).removeRecursively());
    worker.Start();
    ASSERT_TRUE(Eventually([&] { return !Busy(); }));
    EXPECT_FALSE(QDir(archive).exists()) << "the old root is not made again";
    EXPECT_TRUE(test::EntriesOf(other).isEmpty());
    EXPECT_TRUE(QFile::exists(Source("1.xml")));
    EXPECT_TRUE(traces.Contains("Halvane::CopyFile '" + Target("1.xml").toStdString() + "' was planned for the archive '" +
                                archive.toStdString() + "/', which is not the archive now - dropped\n"));
}

}  // namespace
}  // namespace hv
