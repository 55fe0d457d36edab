#pragma once
// One recording copied into the video archive, in the steps of a copy the archive can be
// trusted with:
//   1. the target's folder, opened from the archive root down (made where missing, never
//      the root itself, only while the root is still the archive's);
//   2. the source, under a shared lock (no writer at work), and what file it is;
//   3. the target checked: not the source itself, an earlier copy not held by anyone else,
//      room on the archive for the new copy;
//   4. the new copy written under a temporary name in the target's folder;
//   5. the bytes, chunk by chunk, paced to the rate limit, with the progress shown and the
//      stop flag looked at between chunks;
//   6. the copy complete: every byte of the source as it was, the source unchanged, the
//      copy on the disk;
//   7. the line of an earlier copy taken out of the checksum manifest of the game's
//      folder (see fixity/Manifest.h), so that the name never has another file's line;
//   8. the copy put in place of the target by a rename, the folder's entries synced, and
//      the copy found where the archive root shows it now;
//   9. the SHA-256 of the bytes copied (computed chunk by chunk as they were read and
//      written) recorded in that manifest;
//   10. the source deleted when asked, only when its name still leads to the file copied.
// Any failure before 8 removes the temporary copy (as its TemporaryTarget ends) and leaves an
// earlier copy of the target as it was (its line back in the manifest when 8 fails, as far
// as that is possible). A manifest that cannot be written fails the copy after 8, without a
// line: the copy stays in the archive, the source stays too, and the copy is tried again
// later. The files held from one step to a later one, and the locks they are held under,
// are in copy/CopyLocks.h. Runs on the copy worker thread (or any thread in tests and
// benchmarks).

#include <QByteArray>
#include <atomic>
#include <cstdint>
#include <vector>

#include "copy/ArchiveRoot.h"
#include "copy/CopyLocks.h"
#include "fixity/Manifest.h"
#include "fixity/Sha256.h"
#include "platform/FileSystem.h"

namespace hv {

enum class CopyResult {
    Copied,       // the whole file reached the target
    Failed,       // nothing usable was written; worth another attempt
    Interrupted,  // stopped; the partial copy was removed
    SourceGone,   // the source no longer exists (its folder does)
    SameFile,     // source and target are one file: nothing to copy
};

// Whether a copy records its checksum (always, in the program; benchmarks compare).
enum class Checksums { Record, Off };

class FileCopy {
public:
    // `gameFolder`: the game's archive folder (ending with a separator) whose manifest
    // records the copy, `target` lying under it; empty: the manifest of the target's own
    // folder.
    FileCopy(QByteArray source, QByteArray target, ArchiveRoot root, QByteArray gameFolder = {},
             Checksums checksums = Checksums::Record);

    // Copies with chunks of `buffer`'s size, each taking at least `budgetUs`; `percent`
    // shows the progress, `stop` ends the copy between chunks.
    CopyResult Run(std::vector<char>& buffer, std::int64_t budgetUs, bool deleteAfter, std::atomic<int>& percent,
                   const std::atomic<bool>& stop);

    // When the copy failed on the archive's side (its folders, the new copy, its room, its
    // place, its manifest), the system's error number; 0 otherwise.
    int ArchiveError() const { return archiveError_; }
    // The SHA-256 of the bytes copied, in hexadecimal, once the whole file was copied.
    const QByteArray& Digest() const { return digest_; }
    // How long the copy waits for the manifest's lock held by another writer.
    static constexpr int kManifestLockWaitMs = 2000;

private:
    // What the bytes are copied with (see Run).
    struct Chunks {
        std::vector<char>& Buffer;
        std::int64_t BudgetUs;
        std::atomic<int>& Percent;
        const std::atomic<bool>& Stop;
    };

    bool OpenTargetFolder();
    bool OpenSource(SourceLock& source);
    bool ReplaceTarget(const SourceLock& source, const Chunks& chunks);
    bool CheckTarget(const SourceLock& source, EarlierCopyLock& earlier);
    bool HasRoomFor(std::uint64_t size);
    bool WriteAndRename(const SourceLock& source, const Chunks& chunks);
    bool CreateTemporary(TemporaryTarget& temporary);
    bool Transfer(const SourceLock& source, TemporaryTarget& temporary, const Chunks& chunks);
    bool Complete(const SourceLock& source, TemporaryTarget& temporary);
    bool OpenManifestFolder();
    bool ForgetEarlierChecksum();
    bool Rename(TemporaryTarget& temporary);
    bool PutBackEarlierChecksum();
    bool SyncedInTheArchive();
    bool StillInTheArchive() const;
    bool RecordChecksum();
    void DeleteSource(const SourceLock& source);

    // Fails: traces why (with the target); `onArchive`: the error is the archive's.
    bool FailWith(const char* why, int error, bool onArchive);
    bool Fail(CopyResult result = CopyResult::Failed);

    QByteArray source_, target_;
    ArchiveRoot root_;
    QByteArray gameFolder_;
    Checksums checksums_;
    fixity::Sha256 hash_;
    QByteArray digest_;
    // The manifest that records the copy: its folder (the game's, or the target's own) and
    // the copy's name there; the earlier copy's line, taken out before the rename.
    fs::UniqueFd manifestFolderHeld_;
    int manifestFolder_ = -1;
    QByteArray manifestName_;
    fixity::ForgottenChecksum forgotten_;
    // The folders stay open for the whole copy: what happens in them happens by name there,
    // wherever their paths lead meanwhile.
    QByteArray sourceName_, targetName_;
    fs::UniqueFd sourceFolder_, targetFolder_;
    fs::FileInfo written_;  // the new copy once complete
    std::uint64_t bytesWritten_ = 0;
    CopyResult result_ = CopyResult::Failed;
    int archiveError_ = 0;
};

}  // namespace hv
