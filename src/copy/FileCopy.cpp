#include "copy/FileCopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "copy/ArchiveFolders.h"
#include "copy/ChunkPacer.h"
#include "fixity/CopyNames.h"
#include "fixity/Manifest.h"
#include "platform/Trace.h"

namespace hv {

namespace {

using SteadyClock = std::chrono::steady_clock;
using fs::Printable;

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

void TraceError(int error, const char* why, const QByteArray& path) {
    Trace(QString::asprintf("\n----- !!!!! ----- Halvane::CopyFile ERROR %d : %s '%s'\n", error, why,
                            Printable(path).constData()));
}

// The folder part of `path` as something to open ("." for none).
QByteArray FolderToOpen(const QByteArray& folder) { return folder.isEmpty() ? QByteArrayLiteral(".") : folder; }

}  // namespace

FileCopy::FileCopy(QByteArray source, QByteArray target, ArchiveRoot root, QByteArray gameFolder,
                   Checksums checksums)
    : source_(std::move(source)),
      target_(std::move(target)),
      root_(std::move(root)),
      gameFolder_(std::move(gameFolder)),
      checksums_(checksums) {}

CopyResult FileCopy::Run(std::vector<char>& buffer, std::int64_t budgetUs, bool deleteAfter,
                         std::atomic<int>& percent, const std::atomic<bool>& stop) {
    SourceLock source;
    if (!OpenTargetFolder() || !OpenSource(source)) return result_;
    if (!ReplaceTarget(source, {buffer, budgetUs, percent, stop}) || !SyncedInTheArchive()) return result_;
    // The checksum is on the disk before the source may go: a source deleted is always one
    // whose copy can be checked.
    if (!RecordChecksum()) return result_;
    percent = 100;
    if (deleteAfter) DeleteSource(source);
    // The source's lock goes last, as `source` ends: a writer waiting for it finds a source
    // that was deleted without a name, and opens it anew (see copy/CopyLocks.h).
    return CopyResult::Copied;
}

bool FileCopy::Fail(CopyResult result) {
    result_ = result;
    return false;
}

bool FileCopy::FailWith(const char* why, int error, bool onArchive) {
    TraceError(error, why, target_);
    if (onArchive) archiveError_ = error;
    return Fail();
}

// 1. The target's folder, made as needed under a root that is still the archive's, every
// level's name on the disk (the source may be deleted after the copy).
bool FileCopy::OpenTargetFolder() {
    targetName_ = fs::SplitName(target_).second;
    int error = 0;
    if (targetName_.isEmpty() || !CheckDir(target_, root_, &targetFolder_, &error, FolderSync::Every)) {
        archiveError_ = error;
        return Fail();
    }
    return true;
}

// 2. The source: read access, and no one may be writing it. Opened by its name in its
// folder, never through a link.
bool FileCopy::OpenSource(SourceLock& source) {
    const auto [folder, name] = fs::SplitName(source_);
    sourceName_ = name;
    sourceFolder_ = fs::UniqueFd(fs::OpenFolderAt(AT_FDCWD, FolderToOpen(folder).constData(), true));
    if (!sourceFolder_.Valid()) {
        TraceError(errno, "Can't open source file", source_);
        return Fail();
    }
    int error = 0;
    source = SourceLock::Take(sourceFolder_.Get(), sourceName_, error);
    if (error == 0) return true;
    // Its folder is there: a source that is not is gone for good.
    if (error == ENOENT) return Fail(CopyResult::SourceGone);
    TraceError(error, "Can't open source file", source_);
    return Fail();
}

// 3.-8. The target replaced by the new copy. An earlier copy is held from the check of the
// target to the rename.
bool FileCopy::ReplaceTarget(const SourceLock& source, const Chunks& chunks) {
    EarlierCopyLock earlier;
    if (!CheckTarget(source, earlier)) return false;
    if (WriteAndRename(source, chunks)) return true;
    // Stopped: told once the partial copy is gone.
    if (result_ == CopyResult::Interrupted)
        Trace(QString::asprintf("Halvane::CopyFile BREAK!!! : remove target file '%s'\n",
                                Printable(target_).constData()));
    return false;
}

// 3. The target: not the source itself (an archive inside a recorder folder, a link, a
// second name); an earlier copy is not replaced while anyone else holds it; and the
// archive has room for the new copy beside the earlier one.
bool FileCopy::CheckTarget(const SourceLock& source, EarlierCopyLock& earlier) {
    fs::FileInfo existing;
    if (fs::ReadInfoAt(targetFolder_.Get(), targetName_.constData(), existing, true) &&
        existing.Device == source.Taken().Device && existing.Inode == source.Taken().Inode)
        return Fail(CopyResult::SameFile);
    if (!earlier.Take(targetFolder_.Get(), targetName_)) return FailWith("Can't create target file", errno, false);
    return HasRoomFor(source.Taken().Size);
}

bool FileCopy::HasRoomFor(std::uint64_t size) {
    struct statvfs space{};
    if (::fstatvfs(targetFolder_.Get(), &space) != 0 || space.f_blocks == 0) return true;
    const auto available = static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize;
    if (available >= size) return true;
    Trace(QString::asprintf("\n----- !!!!! ----- Halvane::CopyFile ERROR %d : Can't write target file '%s' - "
                            "%llu bytes free for %llu\n",
                            ENOSPC, Printable(target_).constData(), static_cast<unsigned long long>(available),
                            static_cast<unsigned long long>(size)));
    archiveError_ = ENOSPC;
    return Fail();
}

// 4.-8. The new copy, removed as `temporary` ends unless it took the target's name.
bool FileCopy::WriteAndRename(const SourceLock& source, const Chunks& chunks) {
    TemporaryTarget temporary;
    return CreateTemporary(temporary) && Transfer(source, temporary, chunks) && Complete(source, temporary) &&
           ForgetEarlierChecksum() && Rename(temporary);
}

// 4. The new copy, under its temporary name (a leftover of a copy that was cut off is
// taken over). Written through to the disk, so that each chunk's time is the disk's and
// the rate limit holds for what reaches the archive.
bool FileCopy::CreateTemporary(TemporaryTarget& temporary) {
    if (!temporary.Create(targetFolder_.Get(), TemporaryCopyName(targetName_)))
        return FailWith("Can't create target file", errno, true);
    if (!temporary.Lock()) return FailWith("Can't create target file", errno, false);
    return true;
}

// 5. The bytes, chunk by chunk.
bool FileCopy::Transfer(const SourceLock& source, TemporaryTarget& temporary, const Chunks& chunks) {
    std::vector<char>& buffer = chunks.Buffer;
    const auto size = static_cast<std::int64_t>(source.Taken().Size);
    std::int64_t counter = 0;
    ChunkPacer pacer{std::chrono::microseconds(chunks.BudgetUs)};
    auto chunkStart = SteadyClock::now();
    ssize_t n = ReadChunk(source.Fd(), buffer.data(), buffer.size());
    while (n > 0) {
        // Here the chunk read is in `buffer`, as it goes to the archive.
        if (checksums_ == Checksums::Record) hash_.Update(buffer.data(), static_cast<std::size_t>(n));
        if (!fs::WriteAll(temporary.Fd(), buffer.data(), static_cast<std::size_t>(n)))
            return FailWith("Can't write target file", errno, true);
        bytesWritten_ += static_cast<std::uint64_t>(n);
        counter += static_cast<std::int64_t>(buffer.size());
        if (size > 0) chunks.Percent = static_cast<int>((counter * 100 + 49) / size);
        // Rate limit: no chunk ends before its budget has passed (see ChunkPacer).
        SleepUntil(pacer.Deadline(chunkStart), chunks.Stop);
        if (chunks.Stop) return Fail(CopyResult::Interrupted);
        chunkStart = SteadyClock::now();
        n = ReadChunk(source.Fd(), buffer.data(), buffer.size());
    }
    if (n < 0) return FailWith("Can't read source file", errno, false);
    return true;
}

// 6. Complete only when everything of the source as it was at the start arrived, the
// source did not change meanwhile, and the copy is on the disk.
bool FileCopy::Complete(const SourceLock& source, TemporaryTarget& temporary) {
    const fs::FileInfo& before = source.Taken();
    if (bytesWritten_ != before.Size) return FailWith("Copied size differs from the source's size for", EIO, false);
    fs::FileInfo after;
    if (!fs::ReadInfo(source.Fd(), after) || after.Size != before.Size || after.LastWrite != before.LastWrite)
        return FailWith("Source file changed while it was copied to", EAGAIN, false);
    if (::fdatasync(temporary.Fd()) != 0) return FailWith("Can't write target file", errno, true);
    if (!fs::ReadInfo(temporary.Fd(), written_)) return FailWith("Can't write target file", errno, true);
    if (!temporary.Close()) return FailWith("Can't close target file", errno, true);
    if (checksums_ == Checksums::Record) digest_ = hash_.FinalHex();
    return true;
}

// 7a. The manifest that records the copy: the game folder's (the target's own folder when
// the game's is not known), where the copy goes by its name relative to that folder.
bool FileCopy::OpenManifestFolder() {
    manifestFolder_ = targetFolder_.Get();
    manifestName_ = targetName_;
    if (!gameFolder_.isEmpty() && target_.size() > gameFolder_.size() && target_.startsWith(gameFolder_) &&
        gameFolder_.endsWith(char(fs::kSeparator))) {
        int error = 0;
        if (!CheckDir(gameFolder_, root_, &manifestFolderHeld_, &error))
            return FailWith("Can't record the checksum (no game folder) of target file", error, true);
        manifestFolder_ = manifestFolderHeld_.Get();
        manifestName_ = target_.mid(gameFolder_.size());
    }
    return true;
}

// 7b. The earlier copy's checksum line goes before the new copy takes its name: whatever
// happens between the rename and the new line (the program's end, a manifest that cannot
// be written), the name never has the line of another file, which a check would report
// as damage. A name without a line is only a file without a checksum. When the line
// cannot be taken out, the copy fails here, with the earlier copy and its line in place.
bool FileCopy::ForgetEarlierChecksum() {
    if (checksums_ == Checksums::Off) return true;
    if (!OpenManifestFolder()) return false;
    int error = 0;
    if (!fixity::ForgetChecksum(manifestFolder_, manifestName_, kManifestLockWaitMs, &error, &forgotten_))
        return FailWith("Can't record the checksum in SHA256SUMS of target file", error, true);
    return true;
}

// 8a. In place of the target.
bool FileCopy::Rename(TemporaryTarget& temporary) {
    if (temporary.RenameTo(targetName_)) return true;
    const int error = errno;
    PutBackEarlierChecksum();
    return FailWith("Can't rename the copy to target file", error, true);
}

// The earlier copy keeps its name: its line goes back, as far as that is possible (else it
// is only without a checksum).
bool FileCopy::PutBackEarlierChecksum() {
    if (checksums_ != Checksums::Record || !forgotten_.Found) return true;
    return fixity::RecordChecksums(manifestFolder_, {forgotten_.Record}, fixity::RecordMode::Replace,
                                   kManifestLockWaitMs, nullptr, nullptr, forgotten_.NoteTime);
}

// 8b. Durable, and where the archive shows it.
bool FileCopy::SyncedInTheArchive() {
    if (!fs::SyncFolder(targetFolder_.Get())) return FailWith("Can't sync the folder of target file", errno, true);
    // The copy must be where the archive root leads now (its folder may have been removed,
    // or the archive unmounted, during the copy).
    if (!StillInTheArchive()) return FailWith("Target file vanished during the copy", ENOENT, false);
    return true;
}

bool FileCopy::StillInTheArchive() const {
    const fs::UniqueFd root = root_.Open(nullptr);
    if (!root.Valid()) return false;
    fs::FileInfo placed;
    const QByteArray below = target_.mid(root_.Path().size());
    return fs::ReadInfoAt(root.Get(), below.constData(), placed, false) && placed.Device == written_.Device &&
           placed.Inode == written_.Inode;
}

// 9. The checksum in the manifest (see 7a).
bool FileCopy::RecordChecksum() {
    if (checksums_ == Checksums::Off) return true;
    int error = 0;
    if (!fixity::RecordChecksums(manifestFolder_, {{manifestName_, digest_}}, fixity::RecordMode::Replace,
                                 kManifestLockWaitMs, &error))
        return FailWith("Can't record the checksum in SHA256SUMS of target file", error, true);
    return true;
}

// 10. The source goes while its shared lock is still held, and only when its name still
// leads to the file that was copied: a file that took its name meanwhile (a recording
// started again under the same name, a file renamed over it) stays.
void FileCopy::DeleteSource(const SourceLock& source) {
    fs::FileInfo now;
    if (!fs::ReadInfoAt(sourceFolder_.Get(), sourceName_.constData(), now, false) ||
        !fs::SameFileAsItWas(now, source.Taken())) {
        Trace(QString::asprintf("xxxxx-Halvane::DeleteAfterCopy '%s' - not deleted: the name leads to another file now\n",
                                Printable(source_).constData()));
        return;
    }
    if (::unlinkat(sourceFolder_.Get(), sourceName_.constData(), 0) != 0) {
        const int error = errno;
        Trace(QString::asprintf("xxxxx-Halvane::DeleteAfterCopy ERROR %d '%s'\n", error,
                                Printable(source_).constData()));
        return;
    }
    Trace(QString::asprintf("xxxxx-Halvane::DeleteAfterCopy '%s'\n", Printable(source_).constData()));
}

}  // namespace hv
