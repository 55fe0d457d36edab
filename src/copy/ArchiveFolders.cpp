#include "copy/ArchiveFolders.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/FileSystem.h"
#include "platform/Trace.h"

namespace hv {

namespace {

qsizetype LastSeparator(const QString& path) {
    for (qsizetype i = path.size() - 1; i >= 0; --i)
        if (fs::IsSeparator(path.at(i))) return i;
    return -1;
}

QString WithoutTrailingSeparators(QString path) {
    while (path.size() > 1 && fs::IsSeparator(path.back())) path.chop(1);
    return path;
}

// True when `folder` is the archive root or one of the folders above it.
bool IsRootOrAbove(const QString& folder, const QString& archiveRoot) {
    if (archiveRoot.isEmpty()) return false;
    const QString root = WithoutTrailingSeparators(archiveRoot);
    const QString f = WithoutTrailingSeparators(folder);
    if (f == root) return true;
    return root.startsWith(f) && root.size() > f.size() && (fs::IsSeparator(root.at(f.size())) || fs::IsSeparator(f.back()));
}

void TraceCreateError(int error, const QString& folder) {
    Trace(QString::asprintf("\n----- !!!!! ----- Halvane::CheckDir ERROR %d - can't create directory '%s'\n\n", error,
                            folder.toUtf8().constData()));
}

}  // namespace

bool CheckDir(const QString& path, const QString& archiveRoot) {
    const qsizetype last = LastSeparator(path);
    if (last <= 0) {
        Trace(QString::asprintf("\n----- !!!!! ----- Halvane::CheckDir ERROR - empty directory '%s'\n\n",
                                path.toUtf8().constData()));
        return false;
    }
    const QString folder = path.left(last);
    // The folder may be reached through a link (an archive root that is a link to a mount).
    struct stat st{};
    if (::stat(fs::Encode(folder).constData(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    if (IsRootOrAbove(folder, archiveRoot)) {
        TraceCreateError(ENOENT, folder);
        return false;
    }
    if (!CheckDir(folder, archiveRoot)) return false;
    if (::mkdir(fs::Encode(folder).constData(), 0777) != 0) {
        const int error = errno;
        // Made meanwhile by someone else: as good as made here.
        if (error == EEXIST && ::stat(fs::Encode(folder).constData(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
        TraceCreateError(error, folder);
        return false;
    }
    return true;
}

}  // namespace hv
