#pragma once
// Checking a video archive against its checksum manifests (see Manifest.h), without
// changing anything unless asked to record the checksums of files that have none.
//
// The archive is walked from its root (ArchiveWalk.h: with a first day, only the date
// folders named that day or later, "YYYY-MM-DD"), not following links. Every file a
// manifest names, relative to the manifest's folder, is read again and its SHA-256
// compared (ManifestCheck.h, FileCheck.h); every other file is a file without a checksum,
// unless a manifest of its folder or of a folder above it cannot be read or is damaged (it
// may be named there: it is counted as not checked). Not files of the archive's content:
// "refresh.csv" and "refresh.tmp" at the root, the manifests, and the temporary files of
// copies and of manifests being written. With --record-missing, the files without a
// checksum get one (RecordMissing.h).
//
// A file copied again while the check runs (the copy worker replaces the file, then its
// line) is not reported as damage: when a file differs from its line, or is gone, the
// manifest is read again; a new line is compared (the file read once more), and a line
// that is gone meanwhile leaves the file not checked ("changed during the check"). Files
// without a line are looked up again in their manifests before they are reported.
//
// Reading is paced to a rate limit, and what was read is dropped from the page cache after
// each file (FileHasher.h), so that a check of a whole season does not push out what the
// machine is using. Runs on the thread that calls it.

#include <QByteArray>
#include <QDate>
#include <optional>
#include <vector>

#include "fixity/CheckFindings.h"

namespace hv::fixity {

struct CheckOptions {
    QByteArray Root;             // the archive's root folder (bytes)
    std::optional<QDate> Since;  // only games of this day or later
    double MaxRateMiBps = 64;    // reading rate limit; 0: none
    bool RecordMissing = false;  // record the checksums of files without one
};

// The exit statuses of the command.
inline constexpr int kCheckGood = 0;
inline constexpr int kCheckDamage = 1;
inline constexpr int kCheckUsage = 2;
inline constexpr int kCheckFailed = 3;
inline constexpr int kCheckOnlyNoChecksum = 4;

struct ArchiveListing;  // ArchiveWalk.h

class ArchiveCheck {
public:
    using ProgressSink = CheckResults::ProgressSink;

    explicit ArchiveCheck(CheckOptions options);

    // Walks and checks the archive, telling `progress` after each chunk read. False when the
    // root itself cannot be opened (RootError tells why); nothing is checked then.
    bool Run(const ProgressSink& progress = {});
    int RootError() const { return rootError_; }

    // What was found, by path.
    const std::vector<Finding>& Findings() const { return results_.Findings; }
    const CheckSummary& Summary() const { return results_.Summary; }
    // 1 when anything is damaged; else 3 when anything could not be checked (or the root
    // not opened); else 4 when files have no checksum; else 0.
    int ExitCode() const;

private:
    // The files of `listing`: those the manifests name read again, and those they do not
    // name recorded or reported.
    void CheckFiles(int rootFd, const ArchiveListing& listing);

    CheckOptions options_;
    int rootError_ = 0;
    bool ran_ = false;
    CheckResults results_;
};

}  // namespace hv::fixity
