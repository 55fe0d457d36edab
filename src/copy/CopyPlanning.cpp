#include "copy/CopyPlanning.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

// The subfolders of `folder` and its files that match `pattern`, from the run's listing
// when there is one (listing the folder into it the first time), else straight from the
// file system. False when the folder cannot be listed.
bool Scan(const QByteArray& folder, const QByteArray& pattern, FolderListings* listings,
          std::vector<QByteArray>& subfolders, std::vector<QByteArray>& files) {
    if (listings == nullptr) return fs::ScanFolder(folder, pattern, subfolders, files);
    const bool added = !listings->contains(folder);
    FolderListing& listing = (*listings)[folder];
    if (added) listing.Listed = fs::ScanFolder(folder, QByteArrayLiteral("*"), listing.Subfolders, listing.Files);
    if (!listing.Listed) return false;
    subfolders = listing.Subfolders;
    files.clear();
    for (const QByteArray& name : listing.Files)
        if (fs::WildcardMatch(pattern, name)) files.push_back(name);
    return true;
}

}  // namespace

QByteArray CopyPlanner::XmlPattern(std::int32_t number) { return QByteArray::number(number) + ".xml"; }

QByteArray CopyPlanner::Mp4Pattern(std::int32_t number) { return QByteArray::number(number) + "_*.mp4"; }

void CopyPlanner::FillCopyFiles(const ArchiveRoot& root, const AppSettings& settings, const QString& gameFolder,
                                std::int32_t number, bool xmlOnly, std::uint32_t notBefore) {
    if (number < 0) {
        if (!settings.DeleteCopiedFiles) return;
        for (const QByteArray& path : CollectDeletes(settings, Mp4Pattern(number), gameFolder, batch_)) {
            // Failures are ignored; they are traced so that a file left behind is explained.
            if (::unlink(path.constData()) != 0) {
                const int error = errno;
                Trace(QString::asprintf("xxxxx-Halvane::DeleteWithoutCopy ERROR %d '%s'\n", error,
                                        Printable(path).constData()));
            }
        }
        return;
    }
    const std::vector<CopyItem> xmlItems =
        CollectCopies(root, settings, XmlPattern(number), gameFolder, notBefore, batch_);
    std::vector<CopyItem> mp4Items;
    if (!xmlOnly) mp4Items = CollectCopies(root, settings, Mp4Pattern(number), gameFolder, notBefore, batch_);

    // Each source and target pair is in the list at most once: the candidates are looked
    // up in one pass over the list, which may be long, with no copies of its texts.
    using Pair = std::pair<QByteArray, QByteArray>;
    QHash<Pair, bool> candidates;  // value: already in the list or taken
    for (const std::vector<CopyItem>* items : {static_cast<const std::vector<CopyItem>*>(&mp4Items), &xmlItems})
        for (const CopyItem& item : *items) candidates.insert(Pair(item.Source, item.Target), false);
    if (candidates.isEmpty()) return;
    std::lock_guard lock(frameLock_);
    for (const CopyItem& item : list_) {
        // An item planned under an earlier record of the root (a share has arrived over it
        // since) is not this copy: the worker drops it, and this one takes its place.
        if (!(item.Root == root)) continue;
        const auto found = candidates.find(Pair(item.Source, item.Target));
        if (found != candidates.end()) found.value() = true;
    }
    for (const std::vector<CopyItem>* items : {static_cast<const std::vector<CopyItem>*>(&mp4Items), &xmlItems}) {
        for (const CopyItem& item : *items) {
            bool& queued = candidates[Pair(item.Source, item.Target)];
            if (queued) continue;
            queued = true;
            list_.push_back(item);
        }
    }
}

std::vector<CopyItem> CopyPlanner::CollectCopies(const ArchiveRoot& root, const AppSettings& settings,
                                                 const QByteArray& pattern, const QString& gameFolder,
                                                 std::uint32_t notBefore, FolderListings* listings) {
    std::vector<CopyItem> list;
    if (root.Empty()) return list;
    const QByteArray game = NativeGameFolder(gameFolder);
    const QByteArray targetFolder = root.Path() + game;
    // The game's archive folder is made even when nothing turns out to need copying.
    if (!CheckDir(targetFolder, root)) return list;
    for (const QString& folder : settings.CopyFromFolders())
        ScanCopies(NativeFolder(folder) + game, targetFolder, root, list, pattern, notBefore, listings, targetFolder);
    return list;
}

void CopyPlanner::ScanCopies(const QByteArray& sourceFolder, const QByteArray& targetFolder, const ArchiveRoot& root,
                             std::vector<CopyItem>& list, const QByteArray& pattern, std::uint32_t notBefore,
                             FolderListings* listings, const QByteArray& gameFolder) {
    std::vector<QByteArray> subfolders, files;
    if (!Scan(sourceFolder, pattern, listings, subfolders, files)) return;
    for (const QByteArray& name : subfolders)
        ScanCopies(sourceFolder + name + char(fs::kSeparator), targetFolder + name + char(fs::kSeparator), root, list,
                   pattern, notBefore, listings, gameFolder.isEmpty() ? targetFolder : gameFolder);
    for (const QByteArray& name : files) {
        const QByteArray sourcePath = sourceFolder + name;
        fs::FileInfo info;
        int error = 0;
        if (!fs::ReadInfo(sourcePath, info, &error)) {
            // Listed a moment ago: gone meanwhile, or not readable. Never skipped unseen.
            Trace(QString::asprintf("+-+-+Halvane::SkipCopy '%s' - can't read its attributes, err=%d\n",
                                    Printable(sourcePath).constData(), error));
            continue;
        }
        if (!info.IsRegular || info.Size == 0) continue;
        const QByteArray targetPath = targetFolder + name;
        if (CheckCopyFile(sourcePath, targetPath, info)) {
            Trace(QString::asprintf("+-+-+Halvane::SkipCopy '%s'->'%s' - the same files.\n",
                                    Printable(sourcePath).constData(), Printable(targetPath).constData()));
        } else {
            list.push_back(CopyItem{sourcePath, targetPath, notBefore, root, gameFolder.isEmpty() ? targetFolder : gameFolder});
            Trace(QString::asprintf("+++++Halvane::Add2Copy '%s'->'%s'\n", Printable(sourcePath).constData(),
                                    Printable(targetPath).constData()));
        }
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
    const std::uint32_t sourceHigh = HighPart(source.LastWrite), targetHigh = HighPart(target.LastWrite);
    if (sourceHigh > targetHigh) {
        Trace(QString::asprintf("CheckCopyFile: Source file hi_time %d > Target file hi_time %d, (%s)->(%s)\n",
                                static_cast<int>(sourceHigh), static_cast<int>(targetHigh), Printable(sourcePath).constData(),
                                Printable(targetPath).constData()));
        return false;
    }
    if (sourceHigh < targetHigh) return true;
    const std::uint32_t sourceLow = LowPart(source.LastWrite), targetLow = LowPart(target.LastWrite);
    if (sourceLow > targetLow) {
        Trace(QString::asprintf("CheckCopyFile: Source file low_time %d > Target file low_time %d, (%s)->(%s)\n",
                                static_cast<int>(sourceLow), static_cast<int>(targetLow), Printable(sourcePath).constData(),
                                Printable(targetPath).constData()));
        return false;
    }
    return true;
}

QByteArrayList CopyPlanner::CollectDeletes(const AppSettings& settings, const QByteArray& pattern,
                                           const QString& gameFolder, FolderListings* listings) {
    QByteArrayList paths;
    const QByteArray game = NativeGameFolder(gameFolder);
    for (const QString& folder : settings.CopyFromFolders())
        ScanDeletes(NativeFolder(folder) + game, paths, pattern, listings);
    return paths;
}

void CopyPlanner::ScanDeletes(const QByteArray& sourceFolder, QByteArrayList& paths, const QByteArray& pattern,
                              FolderListings* listings) {
    std::vector<QByteArray> subfolders, files;
    if (!Scan(sourceFolder, pattern, listings, subfolders, files)) return;
    for (const QByteArray& name : subfolders)
        ScanDeletes(sourceFolder + name + char(fs::kSeparator), paths, pattern, listings);
    for (const QByteArray& name : files) {
        const QByteArray path = sourceFolder + name;
        paths.append(path);
        Trace(QString::asprintf("xxxxx-Halvane::DeleteWithoutCopy '%s'\n", Printable(path).constData()));
    }
}

}  // namespace hv
