#include "fixity/RecordMissing.h"

#include <QDateTime>
#include <algorithm>
#include <cerrno>
#include <map>
#include <utility>

#include "fixity/ArchivePaths.h"
#include "fixity/FileHasher.h"
#include "fixity/Manifest.h"
#include "platform/FileSystem.h"

namespace hv::fixity {

namespace {

// How long --record-missing waits for a manifest that the copy worker is writing.
constexpr int kRecordLockWaitMs = 30'000;

// The checksums for one manifest: path (relative to the root) and digest.
using Records = std::vector<std::pair<QByteArray, QByteArray>>;

// The folder whose manifest the checksum of `path` goes to.
QByteArray ManifestFolderFor(const QByteArray& path, const QSet<QByteArray>& manifestFolders) {
    for (const QByteArray& above : FoldersAbove(path)) {
        if (manifestFolders.contains(above)) return above;
    }
    const QByteArray game = GameFolderOf(path);
    return game.isEmpty() ? path.left(path.lastIndexOf('/') + 1) : game;
}

// Records `records` in the manifest of `folder` and reports each: recorded, or not.
void RecordInFolder(int rootFd, const QByteArray& folder, const Records& records, const QByteArray& noteTime,
                    CheckResults& results) {
    std::vector<ChecksumRecord> checksums;
    for (const auto& [path, digest] : records) checksums.push_back({path.mid(folder.size()), digest, true});
    int error = 0;
    std::vector<QByteArray> added;
    const fs::UniqueFd folderFd(OpenFolderBeneath(rootFd, folder));
    const bool recorded = folderFd.Valid() && RecordChecksums(folderFd.Get(), checksums, RecordMode::AddMissing,
                                                              kRecordLockWaitMs, &error, &added, noteTime);
    if (!folderFd.Valid()) error = errno;
    for (const auto& [path, digest] : records) {
        Finding finding;
        finding.Path = path;
        finding.Manifest = ManifestPath(folder);
        if (!recorded) {
            finding.Kind = FindingKind::RecordFailed;
            finding.Error = error;
        } else if (std::find(added.begin(), added.end(), path.mid(folder.size())) != added.end()) {
            finding.Kind = FindingKind::Recorded;
            finding.Actual = digest;
            ++results.Summary.Recorded;
        } else {
            continue;  // recorded meanwhile by a copy of the file
        }
        results.Findings.push_back(finding);
    }
}

}  // namespace

void RecordMissing(int rootFd, const std::vector<ManifestPlace>& manifests, const std::vector<ListedFile>& without,
                   FileHasher& hasher, CheckResults& results) {
    const QSet<QByteArray> manifestFolders = ManifestFolders(manifests);
    std::map<QByteArray, Records> byFolder;
    for (const ListedFile& file : without) {
        const QByteArray folder = ManifestFolderFor(file.Path, manifestFolders);
        QByteArray digest;
        int error = 0;
        if (!hasher.Hash(rootFd, file.Path, digest, &error)) {
            results.Add(FindingKind::Unreadable, file.Path, error);
            continue;
        }
        byFolder[folder].emplace_back(file.Path, digest);
    }
    const QByteArray noteTime = QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toLatin1();
    for (const auto& [folder, records] : byFolder) RecordInFolder(rootFd, folder, records, noteTime, results);
}

}  // namespace hv::fixity
