#pragma once
// Checking a video archive against its checksum manifests (see Manifest.h), without
// changing anything unless asked to record the checksums of files that have none.
//
// The archive is walked from its root (with a first day: only the date folders named that
// day or later, "YYYY-MM-DD"), not following links. Every file a manifest names, relative
// to the manifest's folder, is read again and its SHA-256 compared; every other file is a
// file without a checksum, unless a manifest of its folder or of a folder above it cannot
// be read or is damaged (it may be named there: it is counted as not checked). Not files
// of the archive's content: "refresh.csv" and "refresh.tmp" at the root, the manifests,
// and the temporary files of copies and of manifests being written.
//
// A file copied again while the check runs (the copy worker replaces the file, then its
// line) is not reported as damage: when a file differs from its line, or is gone, the
// manifest is read again; a new line is compared (the file read once more), and a line
// that is gone meanwhile leaves the file not checked ("changed during the check"). Files
// without a line are looked up again in their manifests before they are reported.
//
// Reading is paced to a rate limit, and what was read is dropped from the page cache after
// each file (POSIX_FADV_DONTNEED: also the pages of it that were cached before the check),
// so that a check of a whole season does not push out what the machine is using. Runs on
// the thread that calls it.

#include <QByteArray>
#include <QDate>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "fixity/Manifest.h"

namespace hv::fixity {

enum class FindingKind {
    Changed,             // damage: the file's content differs from its checksum
    Missing,             // damage: a manifest names it, the archive does not hold it
    NoChecksum,          // a file no manifest names
    Recorded,            // its checksum was added, taken from the archive copy
    Unreadable,          // error: a file a manifest names could not be read
    ManifestUnreadable,  // error: a manifest could not be read
    ManifestDamaged,     // error: a line of a manifest is not a checksum line
    FolderUnreadable,    // error: a folder could not be listed
    RecordFailed,        // error: a checksum could not be recorded
    ChangedDuringCheck,  // error: copied again while it was checked, its line gone (not checked)
};

struct Finding {
    FindingKind Kind = FindingKind::Changed;
    QByteArray Path;      // relative to the archive root (bytes)
    QByteArray Manifest;  // the manifest concerned, relative to the root
    int Line = 0;         // its line
    QByteArray Expected;  // Changed: the recorded digest
    QByteArray Actual;    // Changed: the digest of the file now
    int Error = 0;        // the system's error number, for errors
};

// Whether a finding is damage, an error, or neither.
bool IsDamage(FindingKind kind);
bool IsError(FindingKind kind);

struct CheckOptions {
    QByteArray Root;             // the archive's root folder (bytes)
    std::optional<QDate> Since;  // only games of this day or later
    double MaxRateMiBps = 64;    // reading rate limit; 0: none
    bool RecordMissing = false;  // record the checksums of files without one
};

struct CheckProgress {
    std::uint64_t FilesDone = 0, FilesTotal = 0;
    std::uint64_t BytesDone = 0, BytesTotal = 0;
};

struct CheckSummary {
    int Manifests = 0;
    int FilesChecked = 0;  // files a manifest names, looked at
    int Good = 0;
    int Changed = 0;
    int Missing = 0;
    int NoChecksum = 0;
    int Recorded = 0;
    int NotChecked = 0;  // files under a manifest that cannot be read, or copied again meanwhile
    int Errors = 0;
    std::uint64_t BytesRead = 0;
};

// The exit statuses of the command.
inline constexpr int kCheckGood = 0;
inline constexpr int kCheckDamage = 1;
inline constexpr int kCheckUsage = 2;
inline constexpr int kCheckFailed = 3;
inline constexpr int kCheckOnlyNoChecksum = 4;

// A regular file of the archive, as listed.
struct ListedFile {
    QByteArray Path;  // relative to the root
    std::uint64_t Size = 0;
};

// A manifest of the archive, as read.
struct ManifestPlace {
    QByteArray Folder;  // relative to the root: "" or ending with "/"
    bool Readable = false;
    Manifest Content;
};

class ArchiveCheck {
public:
    using ProgressSink = std::function<void(const CheckProgress&)>;

    explicit ArchiveCheck(CheckOptions options);

    // Walks and checks the archive, telling `progress` after each chunk read. False when the
    // root itself cannot be opened (RootError tells why); nothing is checked then.
    bool Run(const ProgressSink& progress = {});
    int RootError() const { return rootError_; }

    // What was found, by path.
    const std::vector<Finding>& Findings() const { return findings_; }
    const CheckSummary& Summary() const { return summary_; }
    // 1 when anything is damaged; else 3 when anything could not be checked (or the root
    // not opened); else 4 when files have no checksum; else 0.
    int ExitCode() const;

private:
    void Walk(int folderFd, const QByteArray& relative, int depth, std::vector<ListedFile>& files);
    // The manifests' files, read again; `named` gets the paths they name.
    void CheckManifests(int rootFd, const std::vector<ListedFile>& files, std::vector<QByteArray>& named);
    // The files no manifest names: without a checksum, or not checked.
    std::vector<ListedFile> FilesWithout(const std::vector<ListedFile>& files, std::vector<QByteArray>& named);
    void RecordMissing(int rootFd, const std::vector<ListedFile>& without);
    // A file a manifest names, to be read.
    struct Pending {
        QByteArray Path, Digest, Manifest;
        QByteArray Folder, Name;  // the manifest's folder, the file's name there
        int Line = 0;
        std::uint64_t Size = 0;
    };
    enum class LineNow { Found, Gone, Unknown };
    // The digest of `name` in the manifest of `folder`, read again now.
    LineNow ReadLineNow(int rootFd, const QByteArray& folder, const QByteArray& name, QByteArray& digest,
                        int* number = nullptr);
    // Reads a file a manifest names and tells what it found.
    void CheckFile(int rootFd, const Pending& file);
    // Reads `path` (under the root) through the hash; the digest, or false with *error.
    bool HashFile(int rootFd, const QByteArray& path, QByteArray& digest, int* error);
    void Pace(std::uint64_t bytes);
    void Tell();

    CheckOptions options_;
    int rootError_ = 0;
    bool ran_ = false;
    std::vector<Finding> findings_;
    CheckSummary summary_;
    std::vector<ManifestPlace> manifests_;
    CheckProgress progress_;
    ProgressSink sink_;
    std::vector<char> buffer_;
    std::int64_t paceStartNs_ = 0;
    std::uint64_t pacedBytes_ = 0;
};

}  // namespace hv::fixity
