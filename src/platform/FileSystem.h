#pragma once
// The file-system facilities the archive copy needs: listing a folder without following
// symbolic links, reading a path's attributes, wildcard matching of file names, and the
// one conversion of backslash-separated path text to native separators.

#include <QByteArray>
#include <QString>
#include <cstdint>
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
bool ScanFolder(const QString& folder, const QByteArray& pattern, std::vector<QByteArray>& subfolders,
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
// Attributes of an open file.
bool ReadInfo(int fd, FileInfo& info, int* error = nullptr);

// File-name matching with "*" (any run, also empty) and "?" (one character); every other
// character matches itself, case-sensitively.
// Writes all `size` bytes to `fd`, again after an interruption; false on an error (a full
// disk among them).
bool WriteAll(int fd, const char* data, std::size_t size);

bool WildcardMatch(const QByteArray& pattern, const QByteArray& name);
bool WildcardMatch(const QByteArray& pattern, const char* name, qsizetype length);

// The bytes the system uses for `path`.
QByteArray Encode(const QString& path);

}  // namespace hv::fs
