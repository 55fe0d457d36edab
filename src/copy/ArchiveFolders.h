#pragma once
// Making sure archive folders exist. Runs on the GUI thread (planning) and on the copy
// worker thread (before each copy); keeps no state.

#include <QString>

namespace hv {

// Makes sure the folder that contains `path` exists, creating every missing level top
// down: a path ending with a separator makes sure of that folder itself. The archive root
// `archiveRoot` (and anything above it) is never created: a missing root (an unmounted
// archive) fails, so that copies never fill the local disk. An empty root guards nothing.
bool CheckDir(const QString& path, const QString& archiveRoot);

}  // namespace hv
