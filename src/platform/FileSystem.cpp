#include "platform/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>
#include <memory>

namespace hv::fs {

namespace {

constexpr std::int64_t kUnixEpochAsFileTime = 116'444'736'000'000'000LL;

void FillInfo(const struct stat& st, FileInfo& info) {
    info.IsDirectory = S_ISDIR(st.st_mode);
    info.IsRegular = S_ISREG(st.st_mode);
    info.Size = static_cast<std::uint64_t>(st.st_size);
    info.LastWrite = static_cast<FileTime>(kUnixEpochAsFileTime +
                                           static_cast<std::int64_t>(st.st_mtim.tv_sec) * 10'000'000LL +
                                           st.st_mtim.tv_nsec / 100);
    info.Device = static_cast<std::uint64_t>(st.st_dev);
    info.Inode = static_cast<std::uint64_t>(st.st_ino);
}

}  // namespace

QString NativePath(const QString& text) {
#ifdef Q_OS_WIN
    return text;
#else
    QString path = text;
    path.replace(u'\\', u'/');
    return path;
#endif
}

QString WithTrailingSeparator(const QString& path) {
    if (path.size() > 1 && !IsSeparator(path.back())) return path + QChar(kSeparator);
    return path;
}

QByteArray Encode(const QString& path) { return QFile::encodeName(path); }

using DirHandle = std::unique_ptr<DIR, int (*)(DIR*)>;

// Opens `folder` (the current folder when empty) for listing; null, with the error
// number, when it cannot be listed.
static DirHandle OpenDirectory(const QString& folder, int* error) {
    const QByteArray name = Encode(folder.isEmpty() ? QStringLiteral(".") : folder);
    const int fd = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DirHandle dir(fd < 0 ? nullptr : ::fdopendir(fd), &::closedir);
    if (!dir) {
        if (error != nullptr) *error = errno;
        if (fd >= 0) ::close(fd);
    }
    return dir;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool ListDirectory(const QString& folder, std::vector<DirEntry>& entries, int* error) {
    entries.clear();
    const DirHandle dir = OpenDirectory(folder, error);
    if (!dir) return false;
    while (const dirent* entry = ::readdir(dir.get())) {
        const char* n = entry->d_name;
        if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
        DirEntry item;
        item.Name = QByteArray(n);
        const unsigned char type = ResolveEntryType(::dirfd(dir.get()), n, entry->d_type);
        item.Kind = type == DT_DIR ? EntryKind::Directory : type == DT_REG ? EntryKind::File : EntryKind::Other;
        entries.push_back(std::move(item));
    }
    return true;
}

bool ReadInfo(const QString& path, FileInfo& info, int* error) {
    struct stat st{};
    if (::lstat(Encode(path).constData(), &st) != 0) {
        if (error != nullptr) *error = errno;
        return false;
    }
    FillInfo(st, info);
    return true;
}

bool ReadInfo(int fd, FileInfo& info, int* error) {
    struct stat st{};
    if (::fstat(fd, &st) != 0) {
        if (error != nullptr) *error = errno;
        return false;
    }
    FillInfo(st, info);
    return true;
}

bool WildcardMatch(const QByteArray& pattern, const QByteArray& name) {
    return WildcardMatch(pattern, name.constData(), name.size());
}

bool WildcardMatch(const QByteArray& pattern, const char* name, qsizetype length) {
    // Greedy matching with one backtrack point for the last "*".
    qsizetype p = 0, n = 0, star = -1, resume = 0;
    while (n < length) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (star >= 0) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

unsigned char ResolveEntryType(int dirFd, const char* name, unsigned char reported) {
    if (reported != DT_UNKNOWN) return reported;
    struct stat st{};
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return DT_UNKNOWN;
    return S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : S_ISLNK(st.st_mode) ? DT_LNK : DT_UNKNOWN;
}

bool ScanFolder(const QString& folder, const QByteArray& pattern, std::vector<QByteArray>& subfolders,
                std::vector<QByteArray>& matches, int* error) {
    subfolders.clear();
    matches.clear();
    const DirHandle dir = OpenDirectory(folder, error);
    if (!dir) return false;
    while (const dirent* entry = ::readdir(dir.get())) {
        const char* n = entry->d_name;
        if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
        // A cheap look at the name first: a file the pattern does not take needs no stat.
        unsigned char type = entry->d_type;
        if (type != DT_DIR && type != DT_REG && type != DT_UNKNOWN) continue;
        const qsizetype length = static_cast<qsizetype>(std::strlen(n));
        const bool matching = WildcardMatch(pattern, n, length);
        if (type == DT_REG && !matching) continue;
        // Only then what the entry is, where the listing did not say: it may be a
        // subfolder, which is kept whatever its name.
        type = ResolveEntryType(::dirfd(dir.get()), n, type);
        if (type == DT_DIR)
            subfolders.emplace_back(n, length);
        else if (type == DT_REG && matching)
            matches.emplace_back(n, length);
    }
    return true;
}

}  // namespace hv::fs
