#include "fixity/FileCheck.h"

#include <cerrno>

#include "fixity/ArchivePaths.h"
#include "fixity/FileHasher.h"
#include "fixity/Manifest.h"
#include "platform/FileSystem.h"

namespace hv::fixity {

namespace {

// Whether a read's error means the file is gone, or something else is in its place.
bool IsGoneOrReplaced(int error) { return IsGone(error) || error == EINVAL || error == EISDIR; }

}  // namespace

LineNow ReadLineNow(int rootFd, const QByteArray& folder, const QByteArray& name, QByteArray& digest, int* number) {
    const fs::UniqueFd folderFd(OpenFolderBeneath(rootFd, folder));
    if (!folderFd.Valid()) return LineNow::Unknown;
    Manifest manifest;
    if (ReadManifest(folderFd.Get(), manifest) != ManifestRead::Read) return LineNow::Unknown;
    for (const ManifestLine& line : manifest.Lines) {
        if (line.Type == ManifestLine::Kind::Entry && line.Name == name) {
            digest = line.Digest;
            if (number != nullptr) *number = line.Number;
            return LineNow::Found;
        }
    }
    return manifest.Damaged() ? LineNow::Unknown : LineNow::Gone;
}

FileCheck::FileCheck(int rootFd, FileHasher& hasher, CheckResults& results)
    : rootFd_(rootFd), hasher_(hasher), results_(results) {}

void FileCheck::Check(const NamedFile& file) {
    Finding finding;
    finding.Path = file.Path;
    finding.Manifest = file.Manifest;
    finding.Line = file.Line;
    QByteArray digest;
    int error = 0;
    const bool read = hasher_.Hash(rootFd_, file.Path, digest, &error);
    // Gone, or something else in its place, since it was looked up.
    const bool gone = !read && IsGoneOrReplaced(error);
    if (read && digest == file.Digest) {
        ++results_.Summary.Good;
        return;
    }
    if (!read && !gone) {
        finding.Error = error;
        Report(finding, FindingKind::Unreadable);
        return;
    }
    // Not as its line said: perhaps copied again meanwhile. Its manifest now tells.
    QByteArray now;
    const LineNow line = ReadLineNow(rootFd_, file.Folder, file.Name, now);
    if (line == LineNow::Gone) {
        Report(finding, FindingKind::ChangedDuringCheck);
    } else if (gone) {
        finding.Error = error;
        Report(finding, FindingKind::Missing);
    } else if (line == LineNow::Found && now != file.Digest) {
        CheckAgainstNewLine(file, now, digest, finding);
    } else {
        finding.Expected = file.Digest;
        finding.Actual = digest;
        Report(finding, FindingKind::Changed);
    }
}

void FileCheck::CheckAgainstNewLine(const NamedFile& file, const QByteArray& now, QByteArray digest,
                                    Finding& finding) {
    if (now != digest) {
        // A new line: the file is read once more, for the copy it names.
        ++results_.Progress.FilesTotal;
        results_.Progress.BytesTotal += file.Size;
        int error = 0;
        if (!hasher_.Hash(rootFd_, file.Path, digest, &error)) {
            finding.Error = error;
            Report(finding, IsGoneOrReplaced(error) ? FindingKind::Missing : FindingKind::Unreadable);
            return;
        }
    }
    if (digest == now) {
        ++results_.Summary.Good;
        return;
    }
    finding.Expected = now;
    finding.Actual = digest;
    Report(finding, FindingKind::Changed);
}

void FileCheck::Report(Finding& finding, FindingKind kind) {
    finding.Kind = kind;
    if (kind == FindingKind::Changed) ++results_.Summary.Changed;
    if (kind == FindingKind::Missing) ++results_.Summary.Missing;
    if (kind == FindingKind::ChangedDuringCheck) ++results_.Summary.NotChecked;
    results_.Findings.push_back(finding);
}

}  // namespace hv::fixity
