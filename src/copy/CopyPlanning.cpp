#include "copy/CopyPlanning.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>

#include "copy/ArchiveFolders.h"
#include "platform/Trace.h"

namespace hv {

namespace {

using fs::Printable;

// The game's folder in native form with a separator at its end (when longer than one
// character), as it is appended to a root folder.
QByteArray NativeGameFolder(const QString& gameFolder) {
    return fs::WithTrailingSeparator(fs::Encode(fs::NativePath(gameFolder)));
}

// A recorder folder as it is scanned: native bytes ending with a separator.
QByteArray NativeFolder(const QString& folder) { return fs::WithTrailingSeparator(fs::Encode(folder)); }

// The files of the recorder folders that one pattern of a request reaches, listed straight
// from the file system, or from the run's listings when there are (listing a folder into
// them the first time). Symbolic links are never followed.
class FolderWalk {
public:
    FolderWalk(QByteArray pattern, FolderListings* listings) : pattern_(std::move(pattern)), listings_(listings) {}

    // Calls `visit(folder, below, name)` for each matching file of the tree `top` (ending
    // with a separator): the subfolders first (depth first), then the folder's own files.
    // `below` is the file's folder below `top`, ending with a separator (empty in `top`).
    template <typename Visit>
    void Walk(const QByteArray& top, const Visit& visit) const {
        WalkFolder(top, QByteArray(), visit);
    }

private:
    template <typename Visit>
    void WalkFolder(const QByteArray& folder, const QByteArray& below, const Visit& visit) const {
        std::vector<QByteArray> subfolders, files;
        if (!Scan(folder, subfolders, files)) return;
        for (const QByteArray& name : subfolders)
            WalkFolder(folder + name + char(fs::kSeparator), below + name + char(fs::kSeparator), visit);
        for (const QByteArray& name : files) visit(folder, below, name);
    }

    // The subfolders of `folder` and its files that match the pattern; false when the
    // folder cannot be listed.
    bool Scan(const QByteArray& folder, std::vector<QByteArray>& subfolders, std::vector<QByteArray>& files) const {
        if (listings_ == nullptr) return fs::ScanFolder(folder, pattern_, subfolders, files);
        const bool added = !listings_->contains(folder);
        FolderListing& listing = (*listings_)[folder];
        if (added) listing.Listed = fs::ScanFolder(folder, QByteArrayLiteral("*"), listing.Subfolders, listing.Files);
        if (!listing.Listed) return false;
        subfolders = listing.Subfolders;
        files.clear();
        for (const QByteArray& name : listing.Files)
            if (fs::WildcardMatch(pattern_, name)) files.push_back(name);
        return true;
    }

    QByteArray pattern_;
    FolderListings* listings_;
};

// The file `sourcePath` as a copy to `targetPath`, unless it is no recording to copy (not
// a regular file, empty) or the target already holds it.
std::optional<CopyItem> PlanCopy(const QByteArray& sourcePath, const QByteArray& targetPath,
                                 std::uint32_t notBefore, const ArchiveRoot& root, const QByteArray& gameFolder) {
    fs::FileInfo info;
    int error = 0;
    if (!fs::ReadInfo(sourcePath, info, &error)) {
        // Listed a moment ago: gone meanwhile, or not readable. Never skipped unseen.
        Trace(QString::asprintf("+-+-+Halvane::SkipCopy '%s' - can't read its attributes, err=%d\n",
                                Printable(sourcePath).constData(), error));
        return std::nullopt;
    }
    if (!info.IsRegular || info.Size == 0) return std::nullopt;
    if (CopyPlanner::CheckCopyFile(sourcePath, targetPath, info)) {
        Trace(QString::asprintf("+-+-+Halvane::SkipCopy '%s'->'%s' - the same files.\n",
                                Printable(sourcePath).constData(), Printable(targetPath).constData()));
        return std::nullopt;
    }
    Trace(QString::asprintf("+++++Halvane::Add2Copy '%s'->'%s'\n", Printable(sourcePath).constData(),
                            Printable(targetPath).constData()));
    return CopyItem{sourcePath, targetPath, notBefore, root, gameFolder};
}

// The items for one pattern over all recorder folders, the game's folder of each mirrored
// under the archive root (empty without an archive root or when the game's archive folder
// cannot be made). Their game folder, whose manifest records their checksums, is the
// game's archive folder.
std::vector<CopyItem> CollectCopies(const ArchiveRoot& root, const AppSettings& settings, const QString& gameFolder,
                                    std::uint32_t notBefore, const FolderWalk& walk) {
    std::vector<CopyItem> items;
    if (root.Empty()) return items;
    const QByteArray game = NativeGameFolder(gameFolder);
    const QByteArray targetFolder = root.Path() + game;
    // The game's archive folder is made even when nothing turns out to need copying.
    if (!CheckDir(targetFolder, root)) return items;
    for (const QString& folder : settings.CopyFromFolders())
        walk.Walk(NativeFolder(folder) + game, [&](const QByteArray& at, const QByteArray& below, const QByteArray& name) {
            std::optional<CopyItem> item = PlanCopy(at + name, targetFolder + below + name, notBefore, root, targetFolder);
            if (item) items.push_back(std::move(*item));
        });
    return items;
}

// The files for one pattern over all recorder folders.
QByteArrayList CollectDeletes(const AppSettings& settings, const QString& gameFolder, const FolderWalk& walk) {
    QByteArrayList paths;
    const QByteArray game = NativeGameFolder(gameFolder);
    for (const QString& folder : settings.CopyFromFolders())
        walk.Walk(NativeFolder(folder) + game, [&](const QByteArray& at, const QByteArray&, const QByteArray& name) {
            const QByteArray path = at + name;
            paths.append(path);
            Trace(QString::asprintf("xxxxx-Halvane::DeleteWithoutCopy '%s'\n", Printable(path).constData()));
        });
    return paths;
}

// Deletes the files of `paths`. Failures are ignored; they are traced so that a file left
// behind is explained.
void DeleteAll(const QByteArrayList& paths) {
    for (const QByteArray& path : paths) {
        if (::unlink(path.constData()) != 0) {
            const int error = errno;
            Trace(QString::asprintf("xxxxx-Halvane::DeleteWithoutCopy ERROR %d '%s'\n", error,
                                    Printable(path).constData()));
        }
    }
}

}  // namespace

QByteArray CopyPlanner::XmlPattern(std::int32_t number) { return QByteArray::number(number) + ".xml"; }

QByteArray CopyPlanner::Mp4Pattern(std::int32_t number) { return QByteArray::number(number) + "_*.mp4"; }

void CopyPlanner::Fill(FolderListings* listings, const ArchiveRoot& root, const AppSettings& settings,
                       const QString& gameFolder, std::int32_t number, bool xmlOnly, std::uint32_t notBefore) {
    if (number < 0) {
        if (settings.DeleteCopiedFiles) DeleteAll(CollectDeletes(settings, gameFolder, {Mp4Pattern(number), listings}));
        return;
    }
    const std::vector<CopyItem> xmlItems =
        CollectCopies(root, settings, gameFolder, notBefore, {XmlPattern(number), listings});
    // The videos go first, then the description.
    std::vector<CopyItem> items;
    if (!xmlOnly) items = CollectCopies(root, settings, gameFolder, notBefore, {Mp4Pattern(number), listings});
    items.insert(items.end(), xmlItems.begin(), xmlItems.end());
    Queue(root, items);
}

void CopyPlanner::Queue(const ArchiveRoot& root, const std::vector<CopyItem>& items) {
    // Each source and target pair is in the list at most once: the candidates are looked
    // up in one pass over the list, which may be long, with no copies of its texts.
    using Pair = std::pair<QByteArray, QByteArray>;
    QHash<Pair, bool> candidates;  // value: already in the list or taken
    for (const CopyItem& item : items) candidates.insert(Pair(item.Source, item.Target), false);
    if (candidates.isEmpty()) return;
    std::lock_guard lock(frameLock_);
    for (const CopyItem& item : list_) {
        // An item planned under an earlier record of the root (a share has arrived over it
        // since) is not this copy: the worker drops it, and this one takes its place.
        if (!(item.Root == root)) continue;
        const auto found = candidates.find(Pair(item.Source, item.Target));
        if (found != candidates.end()) found.value() = true;
    }
    for (const CopyItem& item : items) {
        bool& queued = candidates[Pair(item.Source, item.Target)];
        if (queued) continue;
        queued = true;
        list_.push_back(item);
    }
}

bool CopyPlanner::CheckCopyFile(const QByteArray& sourcePath, const QByteArray& targetPath,
                                const fs::FileInfo& source) {
    fs::FileInfo target;
    int error = 0;
    if (!fs::ReadInfo(targetPath, target, &error)) {
        Trace(QString::asprintf("CheckCopyFile: Target file not exist, err=0x%X,%d file(%s)\n", error, error,
                                Printable(targetPath).constData()));
        return false;
    }
    if (source.Size != target.Size) {
        Trace(QString::asprintf("CheckCopyFile: Source file size %lld != Target file size %lld, (%s)->(%s)\n",
                                static_cast<long long>(source.Size), static_cast<long long>(target.Size),
                                Printable(sourcePath).constData(), Printable(targetPath).constData()));
        return false;
    }
    // The times compare by their high parts, then their low parts; a source written later
    // than its copy in one of them is traced.
    const auto sourceLater = [&](const char* part, std::uint32_t sourceTime, std::uint32_t targetTime) {
        if (sourceTime > targetTime)
            Trace(QString::asprintf("CheckCopyFile: Source file %s %d > Target file %s %d, (%s)->(%s)\n", part,
                                    static_cast<int>(sourceTime), part, static_cast<int>(targetTime),
                                    Printable(sourcePath).constData(), Printable(targetPath).constData()));
        return sourceTime > targetTime;
    };
    const std::uint32_t sourceHigh = HighPart(source.LastWrite), targetHigh = HighPart(target.LastWrite);
    if (sourceHigh != targetHigh) return !sourceLater("hi_time", sourceHigh, targetHigh);
    return !sourceLater("low_time", LowPart(source.LastWrite), LowPart(target.LastWrite));
}

}  // namespace hv
