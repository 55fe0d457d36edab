#pragma once
// The walk of the archive's folders: its files and its manifests, as they are when walked.
// From the root (with a first day: only the date folders named that day or later), not
// following links. Not files of the archive's content: "refresh.csv" and "refresh.tmp" at
// the root, the manifests, and the temporary files of copies and of manifests being
// written; nor links and special files.

#include <QByteArray>
#include <QDate>
#include <QSet>
#include <cstdint>
#include <optional>
#include <vector>

#include "fixity/CheckFindings.h"
#include "fixity/Manifest.h"

namespace hv::fixity {

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

struct ArchiveListing {
    std::vector<ListedFile> Files;         // by path
    std::vector<ManifestPlace> Manifests;  // by folder
};

// Walks the archive from its root `rootFd`. The folders that cannot be listed, and the
// manifests that cannot be read or have lines that are not checksum lines, go to `results`.
ArchiveListing WalkArchive(int rootFd, const std::optional<QDate>& since, CheckResults& results);

// The folders that hold a manifest.
QSet<QByteArray> ManifestFolders(const std::vector<ManifestPlace>& manifests);

}  // namespace hv::fixity
