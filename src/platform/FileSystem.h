#pragma once
// The file-system facilities the archive copy needs: listing a folder without following
// symbolic links, reading a path's attributes, wildcard matching of file names, folders
// opened and synced by descriptor, the one conversion of backslash-separated path text to
// native separators, and the readable form of names that are bytes.
//
// Paths of recordings and archive copies are bytes, as the file system stores them: a
// name read from a listing reaches open and unlink unchanged, whatever its encoding.
// Text (QString) is only made of them for the log and the icon's tooltip.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/FileTime.h"

namespace hv::fs {

#ifdef Q_OS_WIN
constexpr char16_t kSeparator = u'\\';
#else
constexpr char16_t kSeparator = u'/';
#endif

// Path text with backslashes (as the recorder and the referee console write it) in the
// native form. Every file-system operation on such text goes through here.
QString NativePath(const QString& text);
// True when `c` separates path components (the native separator or a backslash).
inline bool IsSeparator(QChar c) { return c == u'/' || c == u'\\'; }
// `path` with the native separator appended when it is longer than one character and
// does not end with a separator; otherwise unchanged.
QString WithTrailingSeparator(const QString& path);
QByteArray WithTrailingSeparator(const QByteArray& path);  // the native separator only

// A path's bytes as readable UTF-8 for the log and traces: valid UTF-8 as it is, every
// byte that is not part of a valid character, and each byte of every control character
// (C0, DEL and C1), as "\xNN"; a backslash as "\\", so that the text reads back to the
// bytes unambiguously.
QByteArray Printable(const QByteArray& path);
// The same as text, for the tooltip.
QString Display(const QByteArray& path);

// The folder part of `path` (up to and including its last native separator) and the name
// after it. A path without a separator is all name. In bytes only the native separator
// separates: elsewhere a backslash is part of a name.
std::pair<QByteArray, QByteArray> SplitName(const QByteArray& path);

// An open file descriptor, closed when it goes.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { Close(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Close();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    // Closes now; false (with errno) when the close reported an error.
    bool Close();

private:
    int fd_;
};

// open(2), again after an interruption; -1 with errno.
int OpenRetrying(const char* path, int flags, unsigned mode = 0);
int OpenAtRetrying(int dirFd, const char* name, int flags, unsigned mode = 0);
// Opens the folder `name` in `dirFd` (AT_FDCWD: a path) for use as a descriptor; links are
// followed only when `followLinks`. -1 with errno.
int OpenFolderAt(int dirFd, const char* name, bool followLinks);
// Opens `path` (relative, "/" separated) under the folder `dirFd` without leaving it and
// without following a link anywhere on the way or at its end: openat2 with RESOLVE_BENEATH
// and RESOLVE_NO_SYMLINKS, or, where the kernel has no openat2 (or `useOpenat2` is false),
// one component after the other with O_NOFOLLOW. A link on the way fails with ELOOP (a
// link at the end too, unless O_PATH | O_NOFOLLOW opens the link itself). -1 with errno.
int OpenBeneath(int dirFd, const QByteArray& path, int flags, bool useOpenat2 = true);
// Makes the folder's entries durable (fsync). A file system that cannot sync folders
// (EINVAL) counts as done. False with errno.
bool SyncFolder(int folderFd);

enum class EntryKind : std::uint8_t { File, Directory, Other };  // links are Other

struct DirEntry {
    QByteArray Name;  // the name as stored (bytes)
    EntryKind Kind = EntryKind::Other;
};

// The entries of `folder` other than "." and "..", in the order the file system gives
// them. Symbolic links are reported as Other and never followed. False (with errno in
// *error) when the folder cannot be listed.
bool ListDirectory(const QString& folder, std::vector<DirEntry>& entries, int* error = nullptr);

// One pass over `folder` that keeps only what a pattern search needs: the names of the
// subfolders (links excluded) and of the regular files whose names match `pattern`, both
// in the order the file system gives them. False (with errno) when it cannot be listed.
bool ScanFolder(const QByteArray& folder, const QByteArray& pattern, std::vector<QByteArray>& subfolders,
                std::vector<QByteArray>& matches, int* error = nullptr);
inline bool ScanFolder(const QString& folder, const QByteArray& pattern, std::vector<QByteArray>& subfolders,
                       std::vector<QByteArray>& matches, int* error = nullptr);

// What the entry `name` of the open folder `dirFd` is: `reported` (a DT_ value from a
// listing) unless that is DT_UNKNOWN, as some file systems report every entry; then the
// entry itself is looked at (a link is not followed). DT_UNKNOWN when it cannot be seen.
unsigned char ResolveEntryType(int dirFd, const char* name, unsigned char reported);

struct FileInfo {
    bool IsDirectory = false;
    bool IsRegular = false;
    std::uint64_t Size = 0;
    FileTime LastWrite = 0;  // 100-ns units since 1601, UTC
    std::uint64_t Device = 0;
    std::uint64_t Inode = 0;
};

// The attributes of `path` itself (a link is not followed). False with errno in *error.
bool ReadInfo(const QString& path, FileInfo& info, int* error = nullptr);
bool ReadInfo(const QByteArray& path, FileInfo& info, int* error = nullptr);
// Attributes of an open file.
bool ReadInfo(int fd, FileInfo& info, int* error = nullptr);
// Attributes of the entry `name` of the open folder `dirFd`; links followed only when asked.
bool ReadInfoAt(int dirFd, const char* name, FileInfo& info, bool followLinks, int* error = nullptr);
// True when `a` and `b` are one file as it was: the same device and inode, size and
// last-write time.
inline bool SameFileAsItWas(const FileInfo& a, const FileInfo& b) {
    return a.Device == b.Device && a.Inode == b.Inode && a.Size == b.Size && a.LastWrite == b.LastWrite;
}

// Writes all `size` bytes to `fd`, again after an interruption; false on an error (a full
// disk among them).
bool WriteAll(int fd, const char* data, std::size_t size);

// File-name matching with "*" (any run, also empty) and "?" (one character); every other
// character matches itself, case-sensitively.
bool WildcardMatch(const QByteArray& pattern, const QByteArray& name);
bool WildcardMatch(const QByteArray& pattern, const char* name, qsizetype length);

// The bytes the system uses for `path`.
QByteArray Encode(const QString& path);

inline bool ScanFolder(const QString& folder, const QByteArray& pattern, std::vector<QByteArray>& subfolders,
                       std::vector<QByteArray>& matches, int* error) {
    return ScanFolder(Encode(folder), pattern, subfolders, matches, error);
}

}  // namespace hv::fs
