#include "fixity/ArchiveWalk.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "fixity/ArchivePaths.h"
#include "fixity/CopyNames.h"
#include "platform/FileSystem.h"

namespace hv::fixity {

namespace {

bool Ignored(const QByteArray& name, int depth) {
    if (depth == 0 && (name == "refresh.csv" || name == "refresh.tmp")) return true;
    return IsManifestTemporary(name) || IsTemporaryCopyName(name);
}

// A folder's entries without "." and "..": the name and the type the listing tells.
using Entries = std::vector<std::pair<QByteArray, unsigned char>>;

// Lists the folder `folderFd`, by name; false with *error when it cannot be listed.
bool ListFolder(int folderFd, Entries& entries, int* error) {
    const int listFd = ::dup(folderFd);
    DIR* folder = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (folder == nullptr) {
        *error = errno;
        if (listFd >= 0) ::close(listFd);
        return false;
    }
    errno = 0;
    while (const dirent* entry = ::readdir(folder)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..") entries.emplace_back(name, entry->d_type);
        errno = 0;
    }
    *error = errno;
    ::closedir(folder);
    if (*error != 0) return false;
    std::sort(entries.begin(), entries.end());
    return true;
}

class Walker {
public:
    Walker(const std::optional<QDate>& since, CheckResults& results, ArchiveListing& listing)
        : since_(since), results_(results), listing_(listing) {}

    // The folder `relative` and every folder below it.
    void Walk(int folderFd, const QByteArray& relative, int depth);

private:
    // Takes in one entry of a folder; true when it is the folder's manifest.
    bool Take(int folderFd, const QByteArray& relative, int depth, const QByteArray& name, unsigned char reported);
    void ReadManifestOf(int folderFd, const QByteArray& relative);

    const std::optional<QDate>& since_;
    CheckResults& results_;
    ArchiveListing& listing_;
};

void Walker::Walk(int folderFd, const QByteArray& relative, int depth) {
    Entries entries;
    int error = 0;
    if (!ListFolder(folderFd, entries, &error)) {
        results_.Add(FindingKind::FolderUnreadable, relative.isEmpty() ? QByteArrayLiteral(".") : relative.chopped(1),
                     error);
        return;
    }
    bool hasManifest = false;
    for (const auto& [name, reported] : entries) {
        if (Take(folderFd, relative, depth, name, reported)) hasManifest = true;
    }
    if (hasManifest) ReadManifestOf(folderFd, relative);
}

bool Walker::Take(int folderFd, const QByteArray& relative, int depth, const QByteArray& name,
                  unsigned char reported) {
    const unsigned char type = fs::ResolveEntryType(folderFd, name.constData(), reported);
    if (depth == 0 && since_) {
        // Only the date folders of the days asked for.
        const QDate day = DateOfFolder(name);
        if (type != DT_DIR || !day.isValid() || day < *since_) return false;
    }
    if (type == DT_DIR) {
        const fs::UniqueFd sub(fs::OpenFolderAt(folderFd, name.constData(), false));
        if (!sub.Valid()) {
            const int error = errno;
            results_.Add(FindingKind::FolderUnreadable, relative + name, error);
            return false;
        }
        Walk(sub.Get(), relative + name + '/', depth + 1);
        return false;
    }
    // Links and special files are not the archive's content.
    if (type != DT_REG) return false;
    if (name == kManifestName) return true;
    if (Ignored(name, depth)) return false;
    fs::FileInfo info;
    (void)fs::ReadInfoAt(folderFd, name.constData(), info, false);
    listing_.Files.push_back({relative + name, info.Size});
    return false;
}

void Walker::ReadManifestOf(int folderFd, const QByteArray& relative) {
    ManifestPlace place;
    place.Folder = relative;
    Finding finding;
    finding.Path = finding.Manifest = ManifestPath(relative);
    int error = 0;
    if (ReadManifest(folderFd, place.Content, &error) != ManifestRead::Read) {
        finding.Kind = FindingKind::ManifestUnreadable;
        finding.Error = error;
        results_.Findings.push_back(finding);
    } else {
        place.Readable = true;
        finding.Kind = FindingKind::ManifestDamaged;
        for (const ManifestLine& line : place.Content.Lines) {
            if (line.Type != ManifestLine::Kind::Malformed) continue;
            finding.Line = line.Number;
            results_.Findings.push_back(finding);
        }
    }
    listing_.Manifests.push_back(std::move(place));
}

}  // namespace

ArchiveListing WalkArchive(int rootFd, const std::optional<QDate>& since, CheckResults& results) {
    ArchiveListing listing;
    Walker(since, results, listing).Walk(rootFd, QByteArray(), 0);
    std::sort(listing.Files.begin(), listing.Files.end(),
              [](const ListedFile& a, const ListedFile& b) { return a.Path < b.Path; });
    std::sort(listing.Manifests.begin(), listing.Manifests.end(),
              [](const ManifestPlace& a, const ManifestPlace& b) { return a.Folder < b.Folder; });
    return listing;
}

QSet<QByteArray> ManifestFolders(const std::vector<ManifestPlace>& manifests) {
    QSet<QByteArray> folders;
    for (const ManifestPlace& place : manifests) folders.insert(place.Folder);
    return folders;
}

}  // namespace hv::fixity
