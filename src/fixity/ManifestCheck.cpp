#include "fixity/ManifestCheck.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <QHash>
#include <algorithm>
#include <cerrno>

#include "fixity/ArchivePaths.h"
#include "platform/FileSystem.h"

namespace hv::fixity {

ManifestCheck::ManifestCheck(int rootFd, const std::vector<ManifestPlace>& manifests, CheckResults& results)
    : rootFd_(rootFd), manifests_(manifests), results_(results) {}

std::vector<NamedFile> ManifestCheck::LookUpNamed() {
    std::vector<NamedFile> files;
    for (const ManifestPlace& place : manifests_) {
        if (!place.Readable) continue;
        for (const ManifestLine& line : place.Content.Lines) {
            if (line.Type != ManifestLine::Kind::Entry) continue;
            if (std::optional<NamedFile> file = LookUp(place, line)) files.push_back(std::move(*file));
        }
    }
    std::sort(named_.begin(), named_.end());
    return files;
}

std::optional<NamedFile> ManifestCheck::LookUp(const ManifestPlace& place, const ManifestLine& line) {
    const QByteArray path = place.Folder + line.Name;
    named_.push_back(path);
    ++results_.Summary.FilesChecked;
    Finding finding;
    finding.Path = path;
    finding.Manifest = ManifestPath(place.Folder);
    finding.Line = line.Number;
    // Looked up under the root only, through no link: a folder on the way that is a
    // link (out of the archive, perhaps) does not hold the archive's file.
    struct stat st{};
    const fs::UniqueFd where(fs::OpenBeneath(rootFd_, path, O_PATH));
    if (!where.Valid() || ::fstat(where.Get(), &st) != 0) {
        const int error = errno;
        finding.Kind = IsGone(error) ? FindingKind::Missing : FindingKind::Unreadable;
        finding.Error = error;
        if (finding.Kind == FindingKind::Missing) ++results_.Summary.Missing;
        results_.Findings.push_back(finding);
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        // Something else under the file's name: the file is gone.
        finding.Kind = FindingKind::Missing;
        finding.Error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ++results_.Summary.Missing;
        results_.Findings.push_back(finding);
        return std::nullopt;
    }
    return NamedFile{path,      line.Digest, finding.Manifest, place.Folder, line.Name, line.Number,
                     static_cast<std::uint64_t>(st.st_size)};
}

std::vector<ListedFile> ManifestCheck::FilesWithout(const std::vector<ListedFile>& files) {
    QHash<QByteArray, const ManifestPlace*> places;
    for (const ManifestPlace& place : manifests_) places.insert(place.Folder, &place);
    std::vector<ListedFile> without;
    for (const ListedFile& file : files) {
        if (std::binary_search(named_.begin(), named_.end(), file.Path)) continue;
        // A manifest above it that cannot be read, or has lines that cannot, may name it.
        bool unknown = false;
        for (const QByteArray& folder : FoldersAbove(file.Path)) {
            const ManifestPlace* place = places.value(folder, nullptr);
            if (place != nullptr && (!place->Readable || place->Content.Damaged())) unknown = true;
        }
        if (unknown)
            ++results_.Summary.NotChecked;
        else
            without.push_back(file);
    }
    return without;
}

void ManifestCheck::LookAgain(const std::vector<ListedFile>& without, FileCheck& files) {
    const QSet<QByteArray> manifestFolders = ManifestFolders(manifests_);
    std::vector<ListedFile> stillWithout;
    for (const ListedFile& file : without) {
        if (!CheckWithLineNow(file, manifestFolders, files)) stillWithout.push_back(file);
    }
    for (const ListedFile& file : stillWithout) {
        results_.Add(FindingKind::NoChecksum, file.Path);
        ++results_.Summary.NoChecksum;
    }
}

bool ManifestCheck::CheckWithLineNow(const ListedFile& file, const QSet<QByteArray>& manifestFolders,
                                     FileCheck& files) {
    for (const QByteArray& folder : FoldersAbove(file.Path)) {
        if (!manifestFolders.contains(folder)) continue;
        const QByteArray name = file.Path.mid(folder.size());
        QByteArray digest;
        int number = 0;
        if (ReadLineNow(rootFd_, folder, name, digest, &number) != LineNow::Found) continue;
        ++results_.Summary.FilesChecked;
        ++results_.Progress.FilesTotal;
        results_.Progress.BytesTotal += file.Size;
        files.Check({file.Path, digest, ManifestPath(folder), folder, name, number, file.Size});
        return true;
    }
    return false;
}

}  // namespace hv::fixity
