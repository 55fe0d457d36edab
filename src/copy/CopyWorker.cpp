#include "copy/CopyWorker.h"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>

#include "log/DiagnosticLog.h"
#include "platform/FileSystem.h"
#include "platform/Trace.h"

namespace hv {

namespace {

using fs::Printable;

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

ArchiveWait CopyWorker::WaitFor(int error) {
    switch (error) {
    case ENOSPC:
    case EDQUOT:
        return ArchiveWait::Full;
    case EIO:
    case ESTALE:
    case ETIMEDOUT:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENETDOWN:
    case ENETUNREACH:
    case ENOTCONN:
    case ECONNRESET:
    case ECONNABORTED:
    case ECONNREFUSED:
    case ENXIO:
    case EROFS:
    case EACCES:  // a share that refuses writes
    case EPERM:
        return ArchiveWait::Unreachable;
    default:
        return ArchiveWait::None;
    }
}

CopyResult CopyWorker::CopyFile(const QByteArray& source, const QByteArray& target, const ArchiveRoot& root,
                                std::vector<char>& buffer, std::int64_t budgetUs, bool deleteAfter,
                                std::atomic<int>& percent, const std::atomic<bool>& stop, int* archiveError,
                                const QByteArray& gameFolder, Checksums checksums) {
    FileCopy copy(source, target, root, gameFolder, checksums);
    const CopyResult result = copy.Run(buffer, budgetUs, deleteAfter, percent, stop);
    if (archiveError != nullptr) *archiveError = result == CopyResult::Failed ? copy.ArchiveError() : 0;
    return result;
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
            // Nothing waits for the archive any more.
            shared_.Waiting = ArchiveWait::None;
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
    bool plannedElsewhere = false;
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
        // Planned before the archive root was changed: nothing goes to the old root.
        plannedElsewhere = !shared_.Root.IsCurrent(item.Root);
        if (!plannedElsewhere) shared_.CurrentCopyFile = fs::Display(item.Target);
    }

    bool putBack = false;
    if (plannedElsewhere)
        WriteLog("Halvane::CopyFile '%s' was planned for the archive '%s', which is not the archive now - dropped\n",
                 Printable(item.Target).constData(), Printable(item.Root.Path()).constData());
    else
        putBack = CopyItemNow(item, rate, deleteAfter, buffer, copiedSinceIdle);
    {
        std::lock_guard lock(shared_.FrameLock);
        if (putBack)
            shared_.List.push_back(std::move(item));
        else if (item.WaitsForArchive)
            NoteWaitingItemLeft();
        shared_.CurrentCopyFile.clear();
        shared_.CopyPercent = 0;
    }
}

// Worker thread, under FrameLock. A copy that waited for the archive left the list (copied,
// or dropped for whatever reason): when none waits any more, nothing waits for the archive.
void CopyWorker::NoteWaitingItemLeft() {
    const bool othersWait = std::any_of(shared_.List.begin(), shared_.List.end(),
                                        [](const CopyItem& waiting) { return waiting.WaitsForArchive; });
    if (!othersWait) shared_.Waiting = ArchiveWait::None;
}

// Worker thread.
bool CopyWorker::CopyItemNow(CopyItem& item, std::int32_t rate, bool deleteAfter, std::vector<char>& buffer,
                             bool& copiedSinceIdle) {
    int archiveError = 0;
    const CopyResult result = CopyFile(item.Source, item.Target, item.Root, buffer, ChunkBudgetUs(rate), deleteAfter,
                                       shared_.CopyPercent, shared_.StopRequested, &archiveError, item.GameFolder);
    switch (result) {
    case CopyResult::Copied:
        WriteLog("Halvane::CopyFile OK : '%s' -> '%s'\n", Printable(item.Source).constData(),
                 Printable(item.Target).constData());
        copiedSinceIdle = true;
        if (item.WaitsForArchive) EndArchiveWait(item.Root);
        return false;
    case CopyResult::Failed:
        return RetryOrDrop(item, archiveError);
    case CopyResult::SourceGone:
        Trace(QString::asprintf("Halvane::CopyFile source file '%s' is gone - dropped\n",
                                Printable(item.Source).constData()));
        return false;
    case CopyResult::SameFile:
        Trace(QString::asprintf("Halvane::CopyFile '%s' and '%s' are the same file - nothing to copy\n",
                                Printable(item.Source).constData(), Printable(item.Target).constData()));
        return false;
    case CopyResult::Interrupted:
        return false;
    }
    return false;
}

// Worker thread. An item whose archive root is gone (an unmounted archive, a root that is
// not the archive's file system any more) is dropped; anything else is tried again later.
bool CopyWorker::RetryOrDrop(CopyItem& item, int archiveError) {
    int error = 0;
    if (!item.Root.Open(&error).Valid()) {
        WriteLog("Halvane::CopyFile ERROR=%d. : check access to root '%s'\n", error,
                 Printable(item.Root.Path()).constData());
        return false;
    }
    // The time of the next attempt is fixed before the wait is shown: whoever sees it (the
    // status, a person) and then waits five seconds finds the item due.
    item.NotBefore = clock_.TickCountMs() + kRetryDelayMs;
    Trace(QString::asprintf("Halvane::CopyFile (%s) ERROR - will copy again later\n",
                            Printable(item.Target).constData()));
    NoteArchiveWait(item, archiveError);
    return true;
}

// Worker thread. One log line when the archive starts to be full (or unreachable), not
// one per attempt.
void CopyWorker::NoteArchiveWait(CopyItem& item, int archiveError) {
    const ArchiveWait wait = WaitFor(archiveError);
    if (wait == ArchiveWait::None) {
        // Failed for a reason of its own (its source): it no longer waits for the archive.
        if (item.WaitsForArchive) {
            item.WaitsForArchive = false;
            std::lock_guard lock(shared_.FrameLock);
            NoteWaitingItemLeft();
        }
        return;
    }
    item.WaitsForArchive = true;
    if (shared_.Waiting.exchange(wait) == wait) return;
    if (wait == ArchiveWait::Full)
        WriteLog("Halvane::CopyFile ERROR=%d. : the video archive '%s' is full - copying waits for free space\n",
                 archiveError, Printable(item.Root.Path()).constData());
    else
        WriteLog("Halvane::CopyFile ERROR=%d. : the video archive '%s' cannot be reached - copying waits for it\n",
                 archiveError, Printable(item.Root.Path()).constData());
}

// Worker thread.
void CopyWorker::EndArchiveWait(const ArchiveRoot& root) {
    if (shared_.Waiting.exchange(ArchiveWait::None) == ArchiveWait::None) return;
    WriteLog("Halvane::CopyFile : the video archive '%s' takes copies again\n", Printable(root.Path()).constData());
}

}  // namespace hv
