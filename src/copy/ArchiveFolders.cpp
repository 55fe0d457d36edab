#include "copy/ArchiveFolders.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <QByteArrayList>
#include <cerrno>

#include "platform/Trace.h"

namespace hv {

namespace {

void TraceCreateError(int error, const QByteArray& folder) {
    Trace(QString::asprintf("\n----- !!!!! ----- Halvane::CheckDir ERROR %d - can't create directory '%s'\n\n", error,
                            fs::Printable(folder).constData()));
}

QByteArray WithoutTrailingSeparator(QByteArray path) {
    while (path.size() > 1 && path.back() == char(fs::kSeparator)) path.chop(1);
    return path;
}

// Opens the level `name` of `parent`, making it first when it is missing. `parent` is
// synced, so that the name is on the disk, when the level was made and, with
// FolderSync::Every, also when it was there. Invalid with the reason in `error`.
fs::UniqueFd OpenOrMakeLevel(int parent, const QByteArray& name, FolderSync sync, int& error) {
    fs::UniqueFd level(fs::OpenFolderAt(parent, name.constData(), false));
    bool made = false;
    if (!level.Valid() && errno == ENOENT) {
        made = ::mkdirat(parent, name.constData(), 0777) == 0 || errno == EEXIST;
        if (made) level = fs::UniqueFd(fs::OpenFolderAt(parent, name.constData(), false));
    }
    if (!level.Valid()) {
        error = errno;
        return level;
    }
    if ((made || sync == FolderSync::Every) && !fs::SyncFolder(parent)) {
        error = errno;
        return fs::UniqueFd();
    }
    return level;
}

}  // namespace

bool CheckDir(const QByteArray& path, const ArchiveRoot& root, fs::UniqueFd* folder, int* error, FolderSync sync) {
    const auto fail = [error](int e) {
        if (error != nullptr) *error = e;
        return false;
    };
    const qsizetype last = path.lastIndexOf(char(fs::kSeparator));
    if (last <= 0) {
        Trace(QString::asprintf("\n----- !!!!! ----- Halvane::CheckDir ERROR - empty directory '%s'\n\n",
                                fs::Printable(path).constData()));
        return fail(ENOENT);
    }
    const QByteArray rootPath = root.Path();
    if (root.Empty() || !path.startsWith(rootPath)) {
        TraceCreateError(EXDEV, path.left(last));
        return fail(EXDEV);
    }
    int e = 0;
    fs::UniqueFd level = root.Open(&e);
    if (!level.Valid()) {
        TraceCreateError(e, WithoutTrailingSeparator(rootPath));
        return fail(e);
    }
    QByteArray made = WithoutTrailingSeparator(rootPath);
    // The levels between the root and the folder of `path` (none for a path in the root).
    const QByteArray below = path.left(last + 1).mid(rootPath.size());
    for (const QByteArray& name : below.split(char(fs::kSeparator))) {
        if (name.isEmpty()) continue;
        made += char(fs::kSeparator) + name;
        if (name == "." || name == "..") {  // nothing leads out of the root
            TraceCreateError(EINVAL, made);
            return fail(EINVAL);
        }
        fs::UniqueFd next = OpenOrMakeLevel(level.Get(), name, sync, e);
        if (!next.Valid()) {
            TraceCreateError(e, made);
            return fail(e);
        }
        level = std::move(next);
    }
    if (folder != nullptr) *folder = std::move(level);
    return true;
}

}  // namespace hv
