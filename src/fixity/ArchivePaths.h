#pragma once
// Where things lie in the archive: its date and game folders, the folders above a file
// and their manifests; and the way to a folder under the root, through no link. Paths
// are relative to the archive's root, "/" separated; a folder is "" (the root) or ends
// with "/".

#include <QByteArray>
#include <QDate>
#include <vector>

namespace hv::fixity {

// A date folder's name ("2024-05-17") as a date; invalid for any other name.
QDate DateOfFolder(const QByteArray& name);

// The game folder ("2024-05-17/19-30/") that `path` lies in, as the program names game
// folders; empty when it lies in none.
QByteArray GameFolderOf(const QByteArray& path);

// The folders above `path`, nearest first; the root ("") last.
std::vector<QByteArray> FoldersAbove(const QByteArray& path);

// The manifest of `folder`.
QByteArray ManifestPath(const QByteArray& folder);

// Whether a lookup's error means the file is not there as a file of the archive: no such
// name, or a link (or something else) on the way to it.
bool IsGone(int error);

// Opens `folder` under the root `rootFd`, through no link (the root itself: a copy of
// `rootFd`); -1 with errno.
int OpenFolderBeneath(int rootFd, const QByteArray& folder);

}  // namespace hv::fixity
