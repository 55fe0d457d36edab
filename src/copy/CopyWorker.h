#pragma once
// The copy worker: a thread of its own that empties the copy list into the video archive,
// one file at a time in 1 MiB chunks under the configured rate limit (see FileCopy), puts
// failed items back for a later attempt, says when the archive is full or cannot be
// reached, and has the archive's game description rewritten when the list has run empty
// after copies. Shares the list, the copy settings, the archive root and the current file
// with the GUI thread under FrameLock; the percentage, the archive's state and the stop
// flag are atomics.

#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "copy/ArchiveRoot.h"
#include "copy/ArchiveRootRecord.h"
#include "copy/CopyList.h"
#include "copy/FileCopy.h"
#include "platform/Clock.h"
#include "settings/AppSettings.h"

namespace hv {

// What the archive's copies wait for, while they wait.
enum class ArchiveWait : int {
    None,
    Full,         // no room left on the archive
    Unreachable,  // the archive is mounted but cannot be written (I/O or network errors)
};

class CopyWorker {
public:
    static constexpr std::size_t kChunkSize = 1'048'576;
    static constexpr int kTakePauseMs = 100;
    static constexpr int kIdlePauseMs = 1000;
    static constexpr std::uint32_t kRetryDelayMs = 5000;
    static constexpr std::uint32_t kLargestDeferralMs = 10'000;

    // What the worker shares with the frame. Everything but the atomics is read and
    // changed only under FrameLock.
    struct Shared {
        std::mutex& FrameLock;
        CopyList& List;
        const AppSettings& Settings;  // CopyRateLimit_MBperSEC, DeleteCopiedFiles
        const ArchiveRootRecord& Root;  // the archive root of the settings now
        QString& CurrentCopyFile;     // the target in hand, readable; empty when idle
        std::atomic<int>& CopyPercent;
        std::atomic<bool>& StopRequested;
        std::atomic<ArchiveWait>& Waiting;  // what the waiting copies wait for
    };

    using CopyResult = hv::CopyResult;

    // `writeRefresh` rewrites the archive's game description (called on the worker thread,
    // with no lock held).
    CopyWorker(Shared shared, const Clock& clock, std::function<void()> writeRefresh);
    ~CopyWorker();
    CopyWorker(const CopyWorker&) = delete;
    CopyWorker& operator=(const CopyWorker&) = delete;

    void Start();
    // Sets StopRequested and wakes the worker from its pauses. Any thread.
    void RequestStop();
    // Waits for the thread's end (after RequestStop). GUI thread.
    void Join();
    bool Running() const { return thread_.joinable(); }

    // Copies one file into the archive `root` (worker thread, or any thread in tests; see
    // FileCopy). `budgetUs` is the least time one chunk may take: each chunk's read and
    // write are timed and the rest of the budget slept, so the copy never runs faster than
    // chunk / budget. `percent` shows the progress; `stop` is looked at between chunks.
    // *archiveError, when given, gets the error of a failure on the archive's side (0: none).
    // The checksum goes to the manifest of `gameFolder` (see FileCopy).
    static CopyResult CopyFile(const QByteArray& source, const QByteArray& target, const ArchiveRoot& root,
                               std::vector<char>& buffer, std::int64_t budgetUs, bool deleteAfter,
                               std::atomic<int>& percent, const std::atomic<bool>& stop, int* archiveError = nullptr,
                               const QByteArray& gameFolder = {}, Checksums checksums = Checksums::Record);
    // The least time of one 1 MiB chunk at `rateMBps` MiB/s, in microseconds, rounded up.
    static std::int64_t ChunkBudgetUs(std::int32_t rateMBps);
    // What a failure on the archive's side with error `error` makes the copies wait for.
    static ArchiveWait WaitFor(int error);

private:
    void Run();  // the thread body (worker thread)
    void HandleNextItem(bool& copiedSinceIdle, std::vector<char>& buffer);
    // Copies the item in hand; true when it goes back to the list (worker thread).
    bool CopyItemNow(CopyItem& item, std::int32_t rate, bool deleteAfter, std::vector<char>& buffer,
                     bool& copiedSinceIdle);
    bool RetryOrDrop(CopyItem& item, int archiveError);
    void NoteArchiveWait(CopyItem& item, int archiveError);
    void EndArchiveWait(const ArchiveRoot& root);
    void NoteWaitingItemLeft();
    void Pause(int ms);  // sleeps, woken early by RequestStop

    Shared shared_;
    const Clock& clock_;
    std::function<void()> writeRefresh_;
    std::thread thread_;
    std::mutex wakeMutex_;
    std::condition_variable wake_;
};

}  // namespace hv
