#pragma once
// What a check of the archive finds (see ArchiveCheck.h): each finding, the figures of the
// whole check, and how far its reading has come.

#include <QByteArray>
#include <cstdint>
#include <functional>
#include <vector>

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

// What one check has found so far, filled in by its steps, and the progress it tells.
struct CheckResults {
    using ProgressSink = std::function<void(const CheckProgress&)>;

    std::vector<Finding> Findings;
    CheckSummary Summary;
    CheckProgress Progress;
    ProgressSink Sink;

    // A finding of `kind` about `path`, with the error number for errors.
    void Add(FindingKind kind, const QByteArray& path, int error = 0);
    // Tells the progress now to the one who watches the check.
    void Tell() const;
    // At the end: the errors counted, and the findings in the report's order (by path, then line).
    void Finish();
};

}  // namespace hv::fixity
