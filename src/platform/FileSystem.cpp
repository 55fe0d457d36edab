#include "platform/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QList>
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

QByteArray WithTrailingSeparator(const QByteArray& path) {
    if (path.size() > 1 && path.back() != char(kSeparator)) return path + char(kSeparator);
    return path;
}

QByteArray Encode(const QString& path) { return QFile::encodeName(path); }

namespace {

// The length of the valid UTF-8 character at `p` (of `left` bytes), 0 when there is none.
int Utf8CharLength(const unsigned char* p, qsizetype left) {
    const unsigned char c = p[0];
    int length = 0;
    char32_t code = 0;
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) length = 2, code = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF) length = 3, code = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4) length = 4, code = c & 0x07;
    else return 0;
    if (left < length) return 0;
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        code = (code << 6) | (p[i] & 0x3F);
    }
    // No overlong forms, no surrogates, nothing above U+10FFFF.
    const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
    return length;
}

}  // namespace

QByteArray Printable(const QByteArray& path) {
    static const char kHex[] = "0123456789ABCDEF";
    QByteArray text;
    text.reserve(path.size());
    const auto* p = reinterpret_cast<const unsigned char*>(path.constData());
    const auto escape = [&](qsizetype at) {
        text += "\\x";
        text += kHex[p[at] >> 4];
        text += kHex[p[at] & 0xF];
    };
    for (qsizetype i = 0; i < path.size();) {
        const int length = Utf8CharLength(p + i, path.size() - i);
        const bool c0 = length == 1 && (p[i] < 0x20 || p[i] == 0x7F);
        const bool c1 = length == 2 && p[i] == 0xC2 && p[i + 1] < 0xA0;  // U+0080 to U+009F
        if (length == 0 || c0 || c1) {
            // Each byte as it is in the name, so that the text leads back to the bytes.
            const int count = length == 0 ? 1 : length;
            for (int k = 0; k < count; ++k) escape(i + k);
            i += count;
            continue;
        }
        // A backslash of its own is doubled, so that a name's "\\x41" never reads as an escape.
        if (p[i] == '\\') text += '\\';
        text.append(path.constData() + i, length);
        i += length;
    }
    return text;
}

QString Display(const QByteArray& path) { return QString::fromUtf8(Printable(path)); }

std::pair<QByteArray, QByteArray> SplitName(const QByteArray& path) {
    const qsizetype last = path.lastIndexOf(char(kSeparator));
    return {path.left(last + 1), path.mid(last + 1)};
}

bool UniqueFd::Close() {
    if (fd_ < 0) return true;
    const int r = ::close(fd_);
    fd_ = -1;
    return r == 0;
}

int OpenRetrying(const char* path, int flags, unsigned mode) { return OpenAtRetrying(AT_FDCWD, path, flags, mode); }

int OpenAtRetrying(int dirFd, const char* name, int flags, unsigned mode) {
    int fd = -1;
    do fd = ::openat(dirFd, name, flags, static_cast<mode_t>(mode));
    while (fd < 0 && errno == EINTR);
    return fd;
}

int OpenFolderAt(int dirFd, const char* name, bool followLinks) {
    return OpenAtRetrying(dirFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
}

int OpenBeneath(int dirFd, const QByteArray& path, int flags, bool useOpenat2) {
    if (path.isEmpty() || path.startsWith('/') || path.contains('\0')) {
        errno = path.startsWith('/') ? EXDEV : ENOENT;
        return -1;
    }
    flags |= O_CLOEXEC | O_NOFOLLOW;
    if (useOpenat2) {
        open_how how{};
        how.flags = static_cast<std::uint64_t>(flags);
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        long fd = -1;
        // EAGAIN: a rename elsewhere raced the lookup; it is simply tried again.
        for (int attempt = 0; attempt < 100; ++attempt) {
            fd = ::syscall(SYS_openat2, dirFd, path.constData(), &how, sizeof how);
            if (fd >= 0 || (errno != EINTR && errno != EAGAIN)) break;
        }
        if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
    }
    // Component by component, each a folder that is not a link.
    const QList<QByteArray> parts = path.split('/');
    UniqueFd held;
    int at = dirFd;
    qsizetype last = parts.size() - 1;
    while (last > 0 && (parts[last].isEmpty() || parts[last] == ".")) --last;
    for (qsizetype i = 0; i <= last; ++i) {
        const QByteArray& part = parts[i];
        if (part.isEmpty() || part == ".") continue;
        if (part == "..") {
            errno = EXDEV;
            return -1;
        }
        if (i == last) return OpenAtRetrying(at, part.constData(), flags);
        const int fd = OpenAtRetrying(at, part.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            struct stat st{};
            errno = error == ENOTDIR && ::fstatat(at, part.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                            S_ISLNK(st.st_mode)
                        ? ELOOP
                        : error;
            return -1;
        }
        held = UniqueFd(fd);
        at = fd;
    }
    errno = ENOENT;
    return -1;
}

bool SyncFolder(int folderFd) {
    int r = 0;
    do r = ::fsync(folderFd);
    while (r != 0 && errno == EINTR);
    return r == 0 || errno == EINVAL;
}

using DirHandle = std::unique_ptr<DIR, int (*)(DIR*)>;

// Opens `folder` (the current folder when empty) for listing; null, with the error
// number, when it cannot be listed.
static DirHandle OpenDirectory(const QByteArray& folder, int* error) {
    const QByteArray name = folder.isEmpty() ? QByteArrayLiteral(".") : folder;
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
    const DirHandle dir = OpenDirectory(Encode(folder), error);
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

bool ReadInfo(const QString& path, FileInfo& info, int* error) { return ReadInfo(Encode(path), info, error); }

bool ReadInfo(const QByteArray& path, FileInfo& info, int* error) {
    struct stat st{};
    if (::lstat(path.constData(), &st) != 0) {
        if (error != nullptr) *error = errno;
        return false;
    }
    FillInfo(st, info);
    return true;
}

bool ReadInfoAt(int dirFd, const char* name, FileInfo& info, bool followLinks, int* error) {
    struct stat st{};
    if (::fstatat(dirFd, name, &st, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
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

bool ScanFolder(const QByteArray& folder, const QByteArray& pattern, std::vector<QByteArray>& subfolders,
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
