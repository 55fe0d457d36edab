#pragma once
// Making sure archive folders exist. Runs on the GUI thread (planning) and on the copy
// worker thread (before each copy); keeps no state.

#include <QByteArray>

#include "copy/ArchiveRoot.h"
#include "platform/FileSystem.h"

namespace hv {

// Which folders' names CheckDir syncs to the disk.
enum class FolderSync {
    Made,   // the names of the folders it makes, at once
    Every,  // also the name of every level that was there: one made by an earlier pass whose
            // sync failed is on the disk too (before a copy whose source is then deleted)
};

// Makes sure the folder that contains `path` exists under the archive root `root`,
// creating every missing level top down: a path ending with a separator makes sure of
// that folder itself. The root itself is never created, and nothing is made unless the
// root is still the archive's (see ArchiveRoot): a missing or dropped archive never fills
// the local disk. The levels are opened from the root down without following links, and
// their names synced as `sync` says.
//
// On success `folder`, when given, holds the folder that contains `path`. On failure
// *error, when given, holds the reason.
bool CheckDir(const QByteArray& path, const ArchiveRoot& root, fs::UniqueFd* folder = nullptr, int* error = nullptr,
              FolderSync sync = FolderSync::Made);

}  // namespace hv
