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
    // Stop the game): the requests given the same run list every folder once, at the first
    // of them, and the later ones match their patterns against that listing.
    class Batch {
    public:
        Batch() = default;
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        friend class CopyPlanner;
        FolderListings listings_;
    };

    // Number 0 or above: queues the period's description ("<n>.xml") and, unless xmlOnly,
    // its videos ("<n>_*.mp4"), not before the tick notBefore, into the archive `root`
    // (recorded when the settings were loaded or applied). Below 0: deletes the period's
    // videos in every recorder folder when DeleteCopiedFiles is set.
    // `gameFolder` is the game's folder as backslash text ("2024-05-17\19-30\").
    void FillCopyFiles(const ArchiveRoot& root, const AppSettings& settings, const QString& gameFolder,
                       std::int32_t number, bool xmlOnly, std::uint32_t notBefore) {
        Fill(nullptr, root, settings, gameFolder, number, xmlOnly, notBefore);
    }
    // The same as one request of the run `batch`.
    void FillCopyFiles(Batch& batch, const ArchiveRoot& root, const AppSettings& settings, const QString& gameFolder,
                       std::int32_t number, bool xmlOnly, std::uint32_t notBefore) {
        Fill(&batch.listings_, root, settings, gameFolder, number, xmlOnly, notBefore);
    }

    // The file-name patterns of a period.
    static QByteArray XmlPattern(std::int32_t number);
    static QByteArray Mp4Pattern(std::int32_t number);

    // True when the target already holds the source: the same size and written no earlier.
    static bool CheckCopyFile(const QByteArray& sourcePath, const QByteArray& targetPath, const fs::FileInfo& source);

private:
    // `listings`: the run's, or none for a request of its own.
    void Fill(FolderListings* listings, const ArchiveRoot& root, const AppSettings& settings,
              const QString& gameFolder, std::int32_t number, bool xmlOnly, std::uint32_t notBefore);
    // Queues the items planned under `root` that the list does not hold yet, each once.
    void Queue(const ArchiveRoot& root, const std::vector<CopyItem>& items);

    std::mutex& frameLock_;
    CopyList& list_;
};

}  // namespace hv
