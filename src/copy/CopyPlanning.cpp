#include "copy/CopyPlanning.h"

#include <QFile>
#include <QSet>
#include <cstdlib>

#include "copy/ArchiveFolders.h"
#include "platform/Trace.h"

namespace hv {

namespace {

QByteArray Utf8(const QString& text) { return text.toUtf8(); }

// The game's folder in native form with a separator at its end (when longer than one
// character), as it is appended to a root folder.
QString NativeGameFolder(const QString& gameFolder) { return fs::WithTrailingSeparator(fs::NativePath(gameFolder)); }

}  // namespace

QByteArray CopyPlanner::XmlPattern(std::int32_t number) { return QByteArray::number(number) + ".xml"; }

QByteArray CopyPlanner::Mp4Pattern(std::int32_t number) { return QByteArray::number(number) + "_*.mp4"; }

void CopyPlanner::FillCopyFiles(const AppSettings& settings, const QString& gameFolder, std::int32_t number,
                                bool xmlOnly, std::uint32_t notBefore) {
    if (number < 0) {
        if (!settings.DeleteCopiedFiles) return;
        for (const QString& path : CollectDeletes(settings, Mp4Pattern(number), gameFolder))
            (void)QFile::remove(path);
        return;
    }
    const std::vector<CopyItem> xmlItems = CollectCopies(settings, XmlPattern(number), gameFolder, notBefore);
    std::vector<CopyItem> mp4Items;
    if (!xmlOnly) mp4Items = CollectCopies(settings, Mp4Pattern(number), gameFolder, notBefore);

    std::lock_guard lock(frameLock_);
    // Each source and target pair is in the list at most once.
    QSet<QString> queued;
    queued.reserve(static_cast<qsizetype>(list_.size() + mp4Items.size() + xmlItems.size()));
    const auto key = [](const CopyItem& item) { return item.Source + QChar(0) + item.Target; };
    for (const CopyItem& item : list_) queued.insert(key(item));
    for (const std::vector<CopyItem>* items : {static_cast<const std::vector<CopyItem>*>(&mp4Items), &xmlItems}) {
        for (const CopyItem& item : *items) {
            const QString k = key(item);
            if (queued.contains(k)) continue;
            queued.insert(k);
            list_.push_back(item);
        }
    }
}

std::vector<CopyItem> CopyPlanner::CollectCopies(const AppSettings& settings, const QByteArray& pattern,
                                                 const QString& gameFolder, std::uint32_t notBefore) {
    std::vector<CopyItem> list;
    if (settings.CopyToPath.isEmpty()) return list;
    const QString archiveRoot = fs::WithTrailingSeparator(settings.CopyToPath);
    const QString game = NativeGameFolder(gameFolder);
    const QString targetFolder = archiveRoot + game;
    // The game's archive folder is made even when nothing turns out to need copying.
    if (!CheckDir(targetFolder, archiveRoot)) return list;
    for (const QString& folder : settings.CopyFromFolders())
        ScanCopies(fs::WithTrailingSeparator(folder) + game, targetFolder, list, pattern, notBefore);
    return list;
}

void CopyPlanner::ScanCopies(const QString& sourceFolder, const QString& targetFolder, std::vector<CopyItem>& list,
                             const QByteArray& pattern, std::uint32_t notBefore) {
    std::vector<fs::DirEntry> entries;
    if (!fs::ListDirectory(sourceFolder, entries)) return;
    for (const fs::DirEntry& entry : entries) {
        if (entry.Kind != fs::EntryKind::Directory) continue;
        const QString name = QFile::decodeName(entry.Name);
        ScanCopies(sourceFolder + name + QChar(fs::kSeparator), targetFolder + name + QChar(fs::kSeparator), list,
                   pattern, notBefore);
    }
    for (const fs::DirEntry& entry : entries) {
        if (entry.Kind != fs::EntryKind::File || !fs::WildcardMatch(pattern, entry.Name)) continue;
        const QString name = QFile::decodeName(entry.Name);
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
                                        const QString& gameFolder) {
    QStringList paths;
    const QString game = NativeGameFolder(gameFolder);
    for (const QString& folder : settings.CopyFromFolders())
        ScanDeletes(fs::WithTrailingSeparator(folder) + game, paths, pattern);
    return paths;
}

void CopyPlanner::ScanDeletes(const QString& sourceFolder, QStringList& paths, const QByteArray& pattern) {
    std::vector<fs::DirEntry> entries;
    if (!fs::ListDirectory(sourceFolder, entries)) return;
    for (const fs::DirEntry& entry : entries) {
        if (entry.Kind == fs::EntryKind::Directory)
            ScanDeletes(sourceFolder + QFile::decodeName(entry.Name) + QChar(fs::kSeparator), paths, pattern);
    }
    for (const fs::DirEntry& entry : entries) {
        if (entry.Kind != fs::EntryKind::File || !fs::WildcardMatch(pattern, entry.Name)) continue;
        const QString path = sourceFolder + QFile::decodeName(entry.Name);
        paths.append(path);
        Trace(QString::asprintf("xxxxx-Halvane::DeleteWithoutCopy '%s'\n", Utf8(path).constData()));
    }
}

}  // namespace hv
