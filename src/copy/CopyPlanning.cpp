#include "copy/CopyPlanning.h"

#include <QFile>
#include <QHash>
#include <cstdlib>

#include "copy/ArchiveFolders.h"
#include "platform/Trace.h"

namespace hv {

namespace {

QByteArray Utf8(const QString& text) { return text.toUtf8(); }

// The game's folder in native form with a separator at its end (when longer than one
// character), as it is appended to a root folder.
QString NativeGameFolder(const QString& gameFolder) { return fs::WithTrailingSeparator(fs::NativePath(gameFolder)); }

// The subfolders of `folder` and its files that match `pattern`, from the run's listing
// when there is one (listing the folder into it the first time), else straight from the
// file system. False when the folder cannot be listed.
bool Scan(const QString& folder, const QByteArray& pattern, FolderListings* listings,
          std::vector<QByteArray>& subfolders, std::vector<QByteArray>& files) {
    if (listings == nullptr) return fs::ScanFolder(folder, pattern, subfolders, files);
    auto [at, added] = listings->try_emplace(folder);
    FolderListing& listing = at->second;
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

void CopyPlanner::FillCopyFiles(const AppSettings& settings, const QString& gameFolder, std::int32_t number,
                                bool xmlOnly, std::uint32_t notBefore) {
    if (number < 0) {
        if (!settings.DeleteCopiedFiles) return;
        for (const QString& path : CollectDeletes(settings, Mp4Pattern(number), gameFolder, batch_))
            (void)QFile::remove(path);
        return;
    }
    const std::vector<CopyItem> xmlItems = CollectCopies(settings, XmlPattern(number), gameFolder, notBefore, batch_);
    std::vector<CopyItem> mp4Items;
    if (!xmlOnly) mp4Items = CollectCopies(settings, Mp4Pattern(number), gameFolder, notBefore, batch_);

    // Each source and target pair is in the list at most once: the candidates are looked
    // up in one pass over the list, which may be long, with no copies of its texts.
    using Pair = std::pair<QString, QString>;
    QHash<Pair, bool> candidates;  // value: already in the list or taken
    for (const std::vector<CopyItem>* items : {static_cast<const std::vector<CopyItem>*>(&mp4Items), &xmlItems})
        for (const CopyItem& item : *items) candidates.insert(Pair(item.Source, item.Target), false);
    if (candidates.isEmpty()) return;
    std::lock_guard lock(frameLock_);
    for (const CopyItem& item : list_) {
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

std::vector<CopyItem> CopyPlanner::CollectCopies(const AppSettings& settings, const QByteArray& pattern,
                                                 const QString& gameFolder, std::uint32_t notBefore,
                                                 FolderListings* listings) {
    std::vector<CopyItem> list;
    if (settings.CopyToPath.isEmpty()) return list;
    const QString archiveRoot = fs::WithTrailingSeparator(settings.CopyToPath);
    const QString game = NativeGameFolder(gameFolder);
    const QString targetFolder = archiveRoot + game;
    // The game's archive folder is made even when nothing turns out to need copying.
    if (!CheckDir(targetFolder, archiveRoot)) return list;
    for (const QString& folder : settings.CopyFromFolders())
        ScanCopies(fs::WithTrailingSeparator(folder) + game, targetFolder, list, pattern, notBefore, listings);
    return list;
}

void CopyPlanner::ScanCopies(const QString& sourceFolder, const QString& targetFolder, std::vector<CopyItem>& list,
                             const QByteArray& pattern, std::uint32_t notBefore, FolderListings* listings) {
    std::vector<QByteArray> subfolders, files;
    if (!Scan(sourceFolder, pattern, listings, subfolders, files)) return;
    for (const QByteArray& entry : subfolders) {
        const QString name = QFile::decodeName(entry);
        ScanCopies(sourceFolder + name + QChar(fs::kSeparator), targetFolder + name + QChar(fs::kSeparator), list,
                   pattern, notBefore, listings);
    }
    for (const QByteArray& entry : files) {
        const QString name = QFile::decodeName(entry);
        const QString sourcePath = sourceFolder + name;
        fs::FileInfo info;
        if (!fs::ReadInfo(sourcePath, info) || !info.IsRegular || info.Size == 0) continue;
        const QString targetPath = targetFolder + name;
        if (CheckCopyFile(sourcePath, targetPath, info)) {
            Trace(QString::asprintf("+-+-+Halvane::SkipCopy '%s'->'%s' - the same files.\n", Utf8(sourcePath).constData(),
                                    Utf8(targetPath).constData()));
        } else {
            list.push_back(CopyItem{sourcePath, targetPath, notBefore});
            Trace(QString::asprintf("+++++Halvane::Add2Copy '%s'->'%s'\n", Utf8(sourcePath).constData(),
                                    Utf8(targetPath).constData()));
        }
    }
}

bool CopyPlanner::CheckCopyFile(const QString& sourcePath, const QString& targetPath, const fs::FileInfo& source) {
    fs::FileInfo target;
    int error = 0;
    if (!fs::ReadInfo(targetPath, target, &error)) {
        Trace(QString::asprintf("CheckCopyFile: Target file not exist, err=0x%X,%d file(%s)\n", error, error,
                                Utf8(targetPath).constData()));
        return false;
    }
    if (source.Size != target.Size) {
        Trace(QString::asprintf("CheckCopyFile: Source file size %lld != Target file size %lld, (%s)->(%s)\n",
                                static_cast<long long>(source.Size), static_cast<long long>(target.Size),
                                Utf8(sourcePath).constData(), Utf8(targetPath).constData()));
        return false;
    }
    const std::uint32_t sourceHigh = HighPart(source.LastWrite), targetHigh = HighPart(target.LastWrite);
    if (sourceHigh > targetHigh) {
        Trace(QString::asprintf("CheckCopyFile: Source file hi_time %d > Target file hi_time %d, (%s)->(%s)\n",
                                static_cast<int>(sourceHigh), static_cast<int>(targetHigh), Utf8(sourcePath).constData(),
                                Utf8(targetPath).constData()));
        return false;
    }
    if (sourceHigh < targetHigh) return true;
    const std::uint32_t sourceLow = LowPart(source.LastWrite), targetLow = LowPart(target.LastWrite);
    if (sourceLow > targetLow) {
        Trace(QString::asprintf("CheckCopyFile: Source file low_time %d > Target file low_time %d, (%s)->(%s)\n",
                                static_cast<int>(sourceLow), static_cast<int>(targetLow), Utf8(sourcePath).constData(),
                                Utf8(targetPath).constData()));
        return false;
    }
    return true;
}

QStringList CopyPlanner::CollectDeletes(const AppSettings& settings, const QByteArray& pattern,
                                        const QString& gameFolder, FolderListings* listings) {
    QStringList paths;
    const QString game = NativeGameFolder(gameFolder);
    for (const QString& folder : settings.CopyFromFolders())
        ScanDeletes(fs::WithTrailingSeparator(folder) + game, paths, pattern, listings);
    return paths;
}

void CopyPlanner::ScanDeletes(const QString& sourceFolder, QStringList& paths, const QByteArray& pattern,
                              FolderListings* listings) {
    std::vector<QByteArray> subfolders, files;
    if (!Scan(sourceFolder, pattern, listings, subfolders, files)) return;
    for (const QByteArray& entry : subfolders)
        ScanDeletes(sourceFolder + QFile::decodeName(entry) + QChar(fs::kSeparator), paths, pattern, listings);
    for (const QByteArray& entry : files) {
        const QString path = sourceFolder + QFile::decodeName(entry);
        paths.append(path);
        Trace(QString::asprintf("xxxxx-Halvane::DeleteWithoutCopy '%s'\n", Utf8(path).constData()));
    }
}

}  // namespace hv
