#pragma once
// Copy planning: which recordings of the current game go to the video archive. Walks the
// recorder's root folders (CopyFromPathList) under the game's folder, mirrors the relative
// folders under the archive root (CopyToPath), skips what the archive already holds and
// queues the rest in the copy list; for negative period numbers it deletes the videos
// instead (when DeleteCopiedFiles is set). GUI thread; only the final merge into the
// list takes FrameLock.
//
// Paths are native bytes from the listing on (see platform/FileSystem.h); each item
// carries the archive root it was planned under.

#include <QByteArray>
#include <QByteArrayList>
#include <QHash>
#include <QString>
#include <cstdint>
#include <mutex>
#include <vector>

#include "copy/ArchiveRoot.h"
#include "copy/CopyList.h"
#include "platform/FileSystem.h"
#include "settings/AppSettings.h"

namespace hv {

// What one listing of a recorder folder found: its subfolders and its regular files.
struct FolderListing {
    bool Listed = false;
    std::vector<QByteArray> Subfolders;
    std::vector<QByteArray> Files;
};
using FolderListings = QHash<QByteArray, FolderListing>;

class CopyPlanner {
public:
    CopyPlanner(std::mutex& frameLock, CopyList& list) : frameLock_(frameLock), list_(list) {}

    // A run of requests planned together (the requests of a split, of a label change, of
    // Stop the game): while it lives every folder is listed once, at its first request,
    // and the later requests of the run match their patterns against that listing.
    class Batch {
    public:
        explicit Batch(CopyPlanner& planner) : planner_(planner) { planner_.batch_ = &listings_; }
        ~Batch() { planner_.batch_ = nullptr; }
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        CopyPlanner& planner_;
        FolderListings listings_;
    };

    // Number 0 or above: queues the period's description ("<n>.xml") and, unless xmlOnly,
    // its videos ("<n>_*.mp4"), not before the tick notBefore, into the archive `root`
    // (recorded when the settings were loaded or applied). Below 0: deletes the period's
    // videos in every recorder folder when DeleteCopiedFiles is set.
    // `gameFolder` is the game's folder as backslash text ("2024-05-17\19-30\").
    void FillCopyFiles(const ArchiveRoot& root, const AppSettings& settings, const QString& gameFolder,
                       std::int32_t number, bool xmlOnly, std::uint32_t notBefore);
    // The same into the archive root of `settings` as it is now (a plan of its own).
    void FillCopyFiles(const AppSettings& settings, const QString& gameFolder, std::int32_t number, bool xmlOnly,
                       std::uint32_t notBefore) {
        FillCopyFiles(ArchiveRoot::Record(settings.CopyToPath), settings, gameFolder, number, xmlOnly, notBefore);
    }

    // The file-name patterns of a period.
    static QByteArray XmlPattern(std::int32_t number);
    static QByteArray Mp4Pattern(std::int32_t number);

    // The items for one pattern over all recorder folders (empty without an archive root or
    // when the game's archive folder cannot be made).
    static std::vector<CopyItem> CollectCopies(const ArchiveRoot& root, const AppSettings& settings,
                                               const QByteArray& pattern, const QString& gameFolder,
                                               std::uint32_t notBefore, FolderListings* listings = nullptr);
    // One folder tree, subfolders first (depth first), then the folder's own files. Both
    // folders end with a separator. Symbolic links are never followed. The items' game
    // folder (whose manifest records their checksums) is `gameFolder`, by default
    // `targetFolder`.
    static void ScanCopies(const QByteArray& sourceFolder, const QByteArray& targetFolder, const ArchiveRoot& root,
                           std::vector<CopyItem>& list, const QByteArray& pattern, std::uint32_t notBefore,
                           FolderListings* listings = nullptr, const QByteArray& gameFolder = {});
    // True when the target already holds the source: the same size and written no earlier.
    static bool CheckCopyFile(const QByteArray& sourcePath, const QByteArray& targetPath, const fs::FileInfo& source);

    static QByteArrayList CollectDeletes(const AppSettings& settings, const QByteArray& pattern,
                                         const QString& gameFolder, FolderListings* listings = nullptr);
    static void ScanDeletes(const QByteArray& sourceFolder, QByteArrayList& paths, const QByteArray& pattern,
                            FolderListings* listings = nullptr);

private:
    std::mutex& frameLock_;
    CopyList& list_;
    FolderListings* batch_ = nullptr;
};

}  // namespace hv
