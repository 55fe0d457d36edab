#pragma once
// The copy worker: a thread of its own that empties the copy list into the video archive,
// one file at a time in 1 MiB chunks under the configured rate limit, puts failed items
// back for a later attempt, and has the archive's game description rewritten when the
// list has run empty after copies. Shares the list, the copy settings and the current
// file with the GUI thread under FrameLock; the percentage and the stop flag are atomics.

#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "copy/CopyList.h"
#include "platform/Clock.h"
#include "settings/AppSettings.h"

namespace hv {

class CopyWorker {
public:
    static constexpr std::size_t kChunkSize = 1'048'576;
    static constexpr int kTakePauseMs = 100;
    static constexpr int kIdlePauseMs = 1000;
    static constexpr std::uint32_t kRetryDelayMs = 5000;
    static constexpr std::uint32_t kLargestDeferralMs = 10'000;

    // What the worker shares with the frame. Everything but the two atomics is read and
    // changed only under FrameLock.
    struct Shared {
        std::mutex& FrameLock;
        CopyList& List;
        const AppSettings& Settings;  // CopyToPath, CopyRateLimit_MBperSEC, DeleteCopiedFiles
        QString& CurrentCopyFile;     // the target in hand; empty when idle
        std::atomic<int>& CopyPercent;
        std::atomic<bool>& StopRequested;
    };

    enum class CopyResult {
        Copied,       // the whole file reached the target
        Failed,       // nothing usable was written; worth another attempt
        Interrupted,  // stopped; the partial target was removed
        SourceGone,   // the source no longer exists (its folder does)
        SameFile,     // source and target are one file: nothing to copy
    };

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

    // Copies one file (worker thread, or any thread in tests). `budgetUs` is the least
    // time one chunk may take: each chunk's read and write are timed and the rest of the
    // budget slept, so the copy never runs faster than chunk / budget. `percent` shows
    // the progress; `stop` is looked at between chunks.
    static CopyResult CopyFile(const QString& source, const QString& target, const QString& archiveRoot,
                               std::vector<char>& buffer, std::int64_t budgetUs, bool deleteAfter,
                               std::atomic<int>& percent, const std::atomic<bool>& stop);
    // The least time of one 1 MiB chunk at `rateMBps` MiB/s, in microseconds, rounded up.
    static std::int64_t ChunkBudgetUs(std::int32_t rateMBps);

private:
    void Run();                  // the thread body (worker thread)
    void HandleNextItem(bool& copiedSinceIdle, std::vector<char>& buffer);
    void Pause(int ms);          // sleeps, woken early by RequestStop

    Shared shared_;
    const Clock& clock_;
    std::function<void()> writeRefresh_;
    std::thread thread_;
    std::mutex wakeMutex_;
    std::condition_variable wake_;
};

}  // namespace hv
