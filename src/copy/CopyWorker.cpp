#include "copy/CopyWorker.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>

#include "app/DiagnosticLog.h"
#include "copy/ArchiveFolders.h"
#include "copy/ChunkPacer.h"
#include "platform/FileSystem.h"
#include "platform/Trace.h"

namespace hv {

namespace {

using SteadyClock = std::chrono::steady_clock;

QByteArray Utf8(const QString& text) { return text.toUtf8(); }

// An open file descriptor, closed when it goes.
class FileHandle {
public:
    explicit FileHandle(int fd = -1) : fd_(fd) {}
    ~FileHandle() { Close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    // Closes now; false when the close reported an error.
    bool Close() {
        if (fd_ < 0) return true;
        const int r = ::close(fd_);
        fd_ = -1;
        return r == 0;
    }

private:
    int fd_;
};

int OpenRetryingSignals(const QByteArray& path, int flags, mode_t mode = 0) {
    int fd = -1;
    do fd = ::open(path.constData(), flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// Reads up to `size` bytes; the count, 0 at the end, -1 on an error.
ssize_t ReadChunk(int fd, char* buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, buffer + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// Sleeps until `deadline`, looking at `stop` at least every 20 ms.
void SleepUntil(SteadyClock::time_point deadline, const std::atomic<bool>& stop) {
    constexpr auto kSlice = std::chrono::milliseconds(20);
    for (auto now = SteadyClock::now(); now < deadline && !stop; now = SteadyClock::now())
        std::this_thread::sleep_for(std::min<SteadyClock::duration>(deadline - now, kSlice));
}

bool FolderReadable(const QString& path) {
    const qsizetype last = std::max(path.lastIndexOf(u'/'), path.lastIndexOf(u'\\'));
    if (last < 0) return true;
    const QString folder = last == 0 ? path.left(1) : path.left(last);
    struct stat st{};
    return ::stat(fs::Encode(folder).constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
           ::access(fs::Encode(folder).constData(), R_OK | X_OK) == 0;
}

}  // namespace

CopyWorker::CopyWorker(Shared shared, const Clock& clock, std::function<void()> writeRefresh)
    : shared_(shared), clock_(clock), writeRefresh_(std::move(writeRefresh)) {}

CopyWorker::~CopyWorker() {
    RequestStop();
    Join();
}

void CopyWorker::Start() {
    if (thread_.joinable()) return;
    thread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "CopyWorker");
        Run();
        RequestStop();
    });
}

void CopyWorker::RequestStop() {
    {
        std::lock_guard lock(wakeMutex_);
        shared_.StopRequested = true;
    }
    wake_.notify_all();
}

void CopyWorker::Join() {
    if (thread_.joinable()) thread_.join();
}

void CopyWorker::Pause(int ms) {
    std::unique_lock lock(wakeMutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return shared_.StopRequested.load(); });
}

std::int64_t CopyWorker::ChunkBudgetUs(std::int32_t rateMBps) {
    const std::int64_t rate = std::clamp<std::int32_t>(rateMBps, 1, 99);
    return (1'000'000 + rate - 1) / rate;
}

// Worker thread.
void CopyWorker::Run() {
    std::vector<char> buffer;
    try {
        buffer.resize(kChunkSize);
    } catch (const std::bad_alloc&) {
        return;
    }
    if (shared_.StopRequested) return;
    bool copiedSinceIdle = false;
    while (true) {
        bool empty = false;
        {
            std::lock_guard lock(shared_.FrameLock);
            empty = shared_.List.empty();
        }
        if (empty) {
            if (copiedSinceIdle) {
                copiedSinceIdle = false;
                if (writeRefresh_) writeRefresh_();
            }
            Pause(kIdlePauseMs);
        } else {
            Pause(kTakePauseMs);
            if (shared_.StopRequested) return;
            HandleNextItem(copiedSinceIdle, buffer);
        }
        if (shared_.StopRequested) return;
    }
}

// Worker thread.
void CopyWorker::HandleNextItem(bool& copiedSinceIdle, std::vector<char>& buffer) {
    CopyItem item;
    std::int32_t rate = 1;
    bool deleteAfter = false;
    QString archiveRoot;
    {
        std::lock_guard lock(shared_.FrameLock);
        if (shared_.List.empty()) return;
        item = std::move(shared_.List.front());
        shared_.List.pop_front();
        const std::uint32_t now = clock_.TickCountMs();
        if (TickDiffMs(now, item.NotBefore) < 0) {
            // Not due: back to the end of the list within the same hold of the lock, so
            // that the list never looks empty while the item waits.
            if (item.NotBefore - now > kLargestDeferralMs) item.NotBefore = now + kLargestDeferralMs;
            shared_.List.push_back(std::move(item));
            return;
        }
        rate = shared_.Settings.CopyRateLimit_MBperSEC;
        deleteAfter = shared_.Settings.DeleteCopiedFiles;
        archiveRoot = shared_.Settings.CopyToPath;
        shared_.CurrentCopyFile = item.Target;
    }

    const CopyResult result = CopyFile(item.Source, item.Target, archiveRoot, buffer, ChunkBudgetUs(rate), deleteAfter,
                                       shared_.CopyPercent, shared_.StopRequested);
    bool putBack = false;
    switch (result) {
    case CopyResult::Copied:
        WriteLog("Halvane::CopyFile OK : '%s' -> '%s'\n", Utf8(item.Source).constData(), Utf8(item.Target).constData());
        copiedSinceIdle = true;
        break;
    case CopyResult::Failed: {
        // The archive root itself: a target under it whose root is gone (an unmounted
        // archive) is dropped; anything else is tried again later.
        QString root = fs::WithTrailingSeparator(archiveRoot);
        if (archiveRoot.isEmpty() || !item.Target.startsWith(root)) {
            const qsizetype first = std::max(item.Target.indexOf(u'/'), item.Target.indexOf(u'\\'));
            root = first < 0 ? QString() : item.Target.left(first + 1);
        }
        struct stat st{};
        if (root.isEmpty() || ::stat(fs::Encode(root).constData(), &st) != 0) {
            const int error = root.isEmpty() ? ENOENT : errno;
            WriteLog("Halvane::CopyFile ERROR=%d. : check access to root '%s'\n", error, Utf8(root).constData());
            break;
        }
        Trace(QString::asprintf("Halvane::CopyFile (%s) ERROR - will copy again later\n", Utf8(item.Target).constData()));
        item.NotBefore = clock_.TickCountMs() + kRetryDelayMs;
        putBack = true;
        break;
    }
    case CopyResult::SourceGone:
        Trace(QString::asprintf("Halvane::CopyFile source file '%s' is gone - dropped\n", Utf8(item.Source).constData()));
        break;
    case CopyResult::SameFile:
        Trace(QString::asprintf("Halvane::CopyFile '%s' and '%s' are the same file - nothing to copy\n",
                                Utf8(item.Source).constData(), Utf8(item.Target).constData()));
        break;
    case CopyResult::Interrupted:
        break;
    }
    {
        std::lock_guard lock(shared_.FrameLock);
        if (putBack) shared_.List.push_back(std::move(item));
        shared_.CurrentCopyFile.clear();
        shared_.CopyPercent = 0;
    }
}

CopyWorker::CopyResult CopyWorker::CopyFile(const QString& source, const QString& target, const QString& archiveRoot,
                                            std::vector<char>& buffer, std::int64_t budgetUs, bool deleteAfter,
                                            std::atomic<int>& percent, const std::atomic<bool>& stop) {
    if (!CheckDir(target, archiveRoot)) return CopyResult::Failed;
    const QByteArray sourceName = fs::Encode(source);
    const QByteArray targetName = fs::Encode(target);

    // The source: read access, and no one may be writing it (the recorder holds an
    // exclusive lock while it writes).
    FileHandle in(OpenRetryingSignals(sourceName, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (in.Valid() && ::flock(in.Get(), LOCK_SH | LOCK_NB) != 0) {
        const int error = errno;
        in.Close();
        errno = error;
    }
    if (!in.Valid()) {
        const int error = errno;
        if (error == ENOENT && FolderReadable(source)) return CopyResult::SourceGone;
        Trace(QString::asprintf("\n----- !!!!! ----- Halvane::CopyFile ERROR %d : Can't open source file '%s'\n", error,
                                sourceName.constData()));
        return CopyResult::Failed;
    }
    (void)::posix_fadvise(in.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    fs::FileInfo before;
    if (!fs::ReadInfo(in.Get(), before)) return CopyResult::Failed;

    // The target: opened without truncating, and emptied only once it is known not to be
    // the source itself (an archive inside a recorder folder, a link, a bind mount) and it
    // is locked. Written through to the disk, so that each chunk's time is the disk's and
    // the rate limit holds for what reaches the archive.
    FileHandle out(OpenRetryingSignals(targetName, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_DSYNC, 0644));
    int targetError = out.Valid() ? 0 : errno;
    fs::FileInfo targetInfo;
    if (out.Valid() && fs::ReadInfo(out.Get(), targetInfo) && targetInfo.Device == before.Device &&
        targetInfo.Inode == before.Inode)
        return CopyResult::SameFile;
    if (out.Valid() && ::flock(out.Get(), LOCK_EX | LOCK_NB) != 0) {
        targetError = errno;
        out.Close();
    }
    if (!out.Valid()) {
        Trace(QString::asprintf("\n----- !!!!! ----- Halvane::CopyFile ERROR %d : Can't create target file '%s'\n",
                                targetError, targetName.constData()));
        return CopyResult::Failed;
    }
    if (::ftruncate(out.Get(), 0) != 0) {
        Trace(QString::asprintf("\n----- !!!!! ----- Halvane::CopyFile ERROR %d : Can't create target file '%s'\n",
                                errno, targetName.constData()));
        out.Close();
        (void)::unlink(targetName.constData());
        return CopyResult::Failed;
    }
    (void)::posix_fadvise(out.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    const auto abandon = [&](const char* why, int error) {
        Trace(QString::asprintf("\n----- !!!!! ----- Halvane::CopyFile ERROR %d : %s '%s'\n", error, why,
                                targetName.constData()));
        out.Close();
        in.Close();
        (void)::unlink(targetName.constData());
        return CopyResult::Failed;
    };

    const std::int64_t size = static_cast<std::int64_t>(before.Size);
    std::int64_t counter = 0;
    std::uint64_t written = 0;
    ChunkPacer pacer{std::chrono::microseconds(budgetUs)};
    auto chunkStart = SteadyClock::now();
    ssize_t n = ReadChunk(in.Get(), buffer.data(), buffer.size());
    while (n > 0) {
        if (!fs::WriteAll(out.Get(), buffer.data(), static_cast<std::size_t>(n))) return abandon("Can't write target file", errno);
        written += static_cast<std::uint64_t>(n);
        counter += static_cast<std::int64_t>(buffer.size());
        if (size > 0) percent = static_cast<int>((counter * 100 + 49) / size);
        // Rate limit: no chunk ends before its budget has passed (see ChunkPacer).
        SleepUntil(pacer.Deadline(chunkStart), stop);
        if (stop) {
            out.Close();
            in.Close();
            (void)::unlink(targetName.constData());
            Trace(QString::asprintf("Halvane::CopyFile BREAK!!! : remove target file '%s'\n", targetName.constData()));
            return CopyResult::Interrupted;
        }
        chunkStart = SteadyClock::now();
        n = ReadChunk(in.Get(), buffer.data(), buffer.size());
    }
    if (n < 0) return abandon("Can't read source file", errno);

    // Complete only when everything of the source as it was at the start arrived, the
    // source did not change meanwhile, and the target is on the disk.
    fs::FileInfo after;
    if (written != before.Size) return abandon("Copied size differs from the source's size for", EIO);
    if (!fs::ReadInfo(in.Get(), after) || after.Size != before.Size || after.LastWrite != before.LastWrite)
        return abandon("Source file changed while it was copied to", EAGAIN);
    if (::fdatasync(out.Get()) != 0) return abandon("Can't write target file", errno);
    // The target must still be where it belongs (its folder may have been removed, or the
    // archive unmounted and mounted again, during the copy).
    fs::FileInfo writtenInfo;
    fs::FileInfo placed;
    if (!fs::ReadInfo(out.Get(), writtenInfo) || !fs::ReadInfo(target, placed) || placed.Device != writtenInfo.Device ||
        placed.Inode != writtenInfo.Inode) {
        Trace(QString::asprintf("\n----- !!!!! ----- Halvane::CopyFile ERROR %d : Target file vanished during the copy '%s'\n",
                                ENOENT, targetName.constData()));
        return CopyResult::Failed;
    }
    const int closeResult = out.Close() ? 0 : errno;
    if (closeResult != 0) return abandon("Can't close target file", closeResult);
    percent = 100;

    // The source goes while its shared lock is still held, so that no writer can have
    // started on it between the check above and the removal.
    if (deleteAfter) {
        (void)::unlink(sourceName.constData());
        Trace(QString::asprintf("xxxxx-Halvane::DeleteAfterCopy '%s'\n", sourceName.constData()));
    }
    in.Close();
    return CopyResult::Copied;
}

}  // namespace hv
