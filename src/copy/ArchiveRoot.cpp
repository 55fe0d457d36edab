#include "copy/ArchiveRoot.h"

#include <fcntl.h>
#include <mntent.h>
#include <sys/stat.h>

#include <QSet>
#include <cerrno>
#include <cstdlib>
#include <vector>

namespace hv {

namespace {

bool DeviceOf(const QByteArray& path, std::uint64_t& device) {
    struct stat st{};
    if (::stat(path.constData(), &st) != 0) return false;
    device = static_cast<std::uint64_t>(st.st_dev);
    return true;
}

// "/a/b" gives "/a", "/a" gives "/".
QByteArray ParentOf(const QByteArray& absolute) {
    const qsizetype last = absolute.lastIndexOf('/');
    return last <= 0 ? QByteArrayLiteral("/") : absolute.left(last);
}

// True when a file system is mounted at `folder`: it lies on another device than its parent.
bool IsMountPoint(const QByteArray& folder) {
    std::uint64_t here = 0, parent = 0;
    return DeviceOf(folder, here) && DeviceOf(ParentOf(folder), parent) && here != parent;
}

// The folder `path` leads to, links and ".." resolved; empty when it cannot be resolved.
QByteArray RealPath(const QByteArray& path) {
    char* real = ::realpath(path.constData(), nullptr);
    if (real == nullptr) return {};
    QByteArray resolved(real);
    std::free(real);
    return resolved;
}

// True when `folder` is `above` or lies under it (both resolved).
bool AtOrUnder(const QByteArray& folder, const QByteArray& above) {
    return folder == above || above == "/" || folder.startsWith(above + '/');
}

// Calls `visit` with the folder of every entry of the mount table `path` (in the form of
// /etc/fstab or /proc/self/mounts); false when the table cannot be read. Reentrant: the
// GUI thread (planning) and the copy worker (the refresh) may read tables at once.
template <typename Visit>
bool ForEachMountFolder(const char* path, Visit visit) {
    FILE* table = ::setmntent(path, "r");
    if (table == nullptr) return false;
    mntent entry{};
    std::vector<char> buffer(4096);
    while (::getmntent_r(table, &entry, buffer.data(), static_cast<int>(buffer.size())) != nullptr)
        visit(QByteArray(entry.mnt_dir));
    ::endmntent(table);
    return true;
}

// The folders where a file system is mounted now (as the kernel resolved them).
QSet<QByteArray> MountedFolders() {
    QSet<QByteArray> folders;
    ForEachMountFolder("/proc/self/mounts", [&folders](const QByteArray& at) { folders.insert(at); });
    return folders;
}

// True when `mountTable` mounts a file system at `folder` (resolved) or at a folder above
// it that is not mounted now: `folder` is then the empty mount point, or lies under it, on
// the disk below. No table: nothing is known to be missing. Entries that are mounted now
// are passed over before their folders are resolved: resolving a folder where an
// unrelated share hangs would block.
bool AwaitsItsMount(const QByteArray& folder, const char* mountTable) {
    const QSet<QByteArray> mounted = MountedFolders();
    bool awaits = false;
    ForEachMountFolder(mountTable, [&](QByteArray at) {
        if (awaits || !at.startsWith('/') || at == "/") return;  // swap ("none"), the system's own
        if (mounted.contains(at)) return;
        const QByteArray real = RealPath(at);
        if (!real.isEmpty()) at = real;
        if (!mounted.contains(at) && AtOrUnder(folder, at)) awaits = true;
    });
    return awaits;
}

}  // namespace

ArchiveRoot ArchiveRoot::Record(const QString& path, const char* mountTable) {
    ArchiveRoot root;
    if (path.isEmpty()) return root;
    root.text_ = fs::WithTrailingSeparator(path);
    root.path_ = fs::WithTrailingSeparator(fs::Encode(path));
    const QByteArray folder = RealPath(root.path_);
    struct stat st{};
    if (folder.isEmpty() || ::stat(folder.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) return root;
    if (AwaitsItsMount(folder, mountTable)) return root;
    root.found_ = true;
    root.device_ = static_cast<std::uint64_t>(st.st_dev);
    // The highest folder at or above the root on the root's device is where its file
    // system is mounted.
    QByteArray mount = folder;
    for (std::uint64_t parent = 0; mount != "/" && DeviceOf(ParentOf(mount), parent) && parent == root.device_;)
        mount = ParentOf(mount);
    root.mount_ = mount;
    root.mountPoint_ = mount == folder && folder != "/";
    return root;
}

ArchiveRoot ArchiveRoot::Renewed(const char* mountTable) const {
    if (Empty() || Open(nullptr).Valid()) return *this;
    ArchiveRoot now = Record(text_, mountTable);
    if (!now.found_) return *this;
    if (!found_) return now;
    // Mounted over since: the root's file system is mounted deeper than the recorded one.
    if (now.mount_ != mount_ && AtOrUnder(now.mount_, mount_)) return now;
    return *this;
}

fs::UniqueFd ArchiveRoot::Open(int* error) const {
    const auto fail = [error](int e) {
        if (error != nullptr) *error = e;
        return fs::UniqueFd();
    };
    if (!found_) return fail(ENOENT);
    fs::UniqueFd fd(fs::OpenFolderAt(AT_FDCWD, path_.constData(), true));
    if (!fd.Valid()) return fail(errno);
    fs::FileInfo here;
    int e = 0;
    if (!fs::ReadInfo(fd.Get(), here, &e)) return fail(e);
    if (mount_ == "/") {
        // On the system's own file system: nothing may have been mounted in between.
        if (here.Device != device_) return fail(ENODEV);
    } else if (mountPoint_) {
        // Still a mount point: the share, or the share mounted again, not the folder under it.
        fs::FileInfo parent;
        if (!fs::ReadInfoAt(fd.Get(), "..", parent, true, &e)) return fail(e);
        if (parent.Device == here.Device) return fail(ENODEV);
    } else {
        // A folder of a mounted file system: that is still mounted, and the root lies on it.
        std::uint64_t mounted = 0;
        if (!IsMountPoint(mount_) || !DeviceOf(mount_, mounted) || here.Device != mounted) return fail(ENODEV);
    }
    return fd;
}

}  // namespace hv
