#pragma once
// The video archive's root folder as it was when the settings were loaded or applied: its
// path, and the file system it lies on. Every copy, every archive folder and the game
// description go into that file system only. A root that is gone, that was a mount point
// and is one no longer (a share that dropped leaves its empty mount-point folder on the
// local disk), whose file system is no longer mounted, or that lies on another device than
// the one it was found on, counts as missing: nothing is written there. A share mounted
// again at the same place counts as the archive again (it gets a new device number).
//
// A root at or under a folder where the computer's mount table (/etc/fstab) mounts a file
// system that is not mounted now is the empty mount point (or a folder under it) on the
// disk below: it is recorded as not found, as if it were missing, until the share is there.
// A share the table does not list (mounted by hand) cannot be told from a plain folder
// before it arrives; once it is mounted over a root recorded as a plain folder, the root is
// recorded anew (see Renewed).
//
// A plain value, copied into each queued copy: the item is copied only into the root it
// was planned under. Any thread; keeps no descriptor open (that would keep the archive
// from being unmounted).

#include <QByteArray>
#include <QString>
#include <cstdint>

#include "platform/FileSystem.h"

namespace hv {

class ArchiveRoot {
public:
    // The computer's mount table: what is mounted where when the system starts.
    static constexpr char kSystemMountTable[] = "/etc/fstab";

    // No archive root (copying is off).
    ArchiveRoot() = default;
    // The root `path` (as the settings hold it) and what it lies on now. A root that does
    // not exist yet, or whose file system `mountTable` (a file in the form of /etc/fstab)
    // mounts and that is not mounted now, is recorded as not found: it is written to only
    // once it was found.
    static ArchiveRoot Record(const QString& path, const char* mountTable = kSystemMountTable);

    // This record while it opens; else the root recorded anew where that never trades a
    // share for the local disk: a root that was not found and is found now, or one that a
    // file system was mounted over since (its file system is now mounted below the folder
    // the old one was mounted at: a share that arrived over a root recorded as a plain
    // folder). A share that dropped leaves this record as it is.
    ArchiveRoot Renewed(const char* mountTable = kSystemMountTable) const;

    bool Empty() const { return text_.isEmpty(); }
    // True when the root existed when it was recorded.
    bool Found() const { return found_; }
    // True when the root is itself a mount point.
    bool MountPoint() const { return mountPoint_; }
    std::uint64_t Device() const { return device_; }
    // The folder the root's file system is mounted at ("/" for the system's own).
    const QByteArray& Mount() const { return mount_; }
    // The path as configured, ending with a separator (for messages).
    const QString& Text() const { return text_; }
    // The native path, ending with a separator.
    const QByteArray& Path() const { return path_; }

    // Opens the root folder when it is still the archive's (following a link to it). An
    // invalid descriptor with the reason in *error: ENOENT (missing, or never found),
    // ENOTDIR, ENODEV (no longer the archive's file system), or what opening it gave.
    fs::UniqueFd Open(int* error) const;

    bool operator==(const ArchiveRoot& other) const = default;

private:
    QString text_;
    QByteArray path_;
    bool found_ = false;
    bool mountPoint_ = false;
    std::uint64_t device_ = 0;
    QByteArray mount_;
};

}  // namespace hv
