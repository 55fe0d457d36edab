#pragma once
// The checksum manifest of an archive folder: "SHA256SUMS", in sha256sum's own format, so
// that `sha256sum -c SHA256SUMS` run in the folder checks it as well as
// `Halvane --verify-archive` does:
//
//   <64 hexadecimal digits><space><space><name relative to the folder>LF
//
// A name with a backslash, a line feed or a carriage return is written as sha256sum writes
// it: the line starts with a backslash and those characters appear as "\\", "\n" and
// "\r". Names are bytes, as the file system stores them (any encoding); subfolders are
// separated by "/". Lines starting with "#" are comments, which sha256sum skips; the only
// comment the program writes is the note before a checksum that was taken from the archive
// copy rather than while the recording was copied (kFromArchiveNote).
//
// A manifest is replaced as a whole: written under a temporary name in the same folder,
// synced, renamed over the old one, and the folder's entries synced, so that a reader (or
// a crash at any moment) sees the old manifest or the new one, whole. Writers take an
// exclusive lock on the folder (flock) for the read-modify-write, so that the copy worker
// and `--verify-archive --record-missing` do not lose each other's lines.
//
// Any thread; keeps no state.

#include <QByteArray>
#include <vector>

namespace hv::fixity {

inline constexpr char kManifestName[] = "SHA256SUMS";
// The comment line before a checksum taken from the archive copy; the time it was taken
// follows in parentheses.
inline constexpr char kFromArchiveNote[] = "# taken from the archive, not from the recording";

struct ManifestLine {
    enum class Kind { Entry, Comment, Blank, Malformed };
    Kind Type = Kind::Blank;
    QByteArray Text;    // the line as stored, without its LF
    QByteArray Digest;  // Entry: 64 lower-case hexadecimal digits
    QByteArray Name;    // Entry: the path relative to the manifest's folder ("/" separated)
    int Number = 0;     // 1 for the first line
};

struct Manifest {
    std::vector<ManifestLine> Lines;

    // True when a line is neither a checksum line, a comment nor empty.
    bool Damaged() const;
    // True when the entry at `index` of Lines follows the note of a checksum taken from
    // the archive.
    bool FromArchive(std::size_t index) const;
    // The manifest as stored: every line ended by LF.
    QByteArray Serialize() const;
};

// sha256sum's line (without the LF) for `name` with the digest `digestHex`.
QByteArray FormatLine(const QByteArray& digestHex, const QByteArray& name);
// The digest and name of a checksum line (sha256sum's untagged form, text or binary
// mode); false when the line is none, or when its name leaves the folder (absolute, or
// with a ".." component). The name comes back without "." components or repeated "/".
bool ParseLine(const QByteArray& line, QByteArray& digestHex, QByteArray& name);
Manifest ParseManifest(const QByteArray& text);

enum class ManifestRead { Read, Absent, Failed };
// Reads the manifest of the folder `folderFd` (not through a link); Failed with *error.
ManifestRead ReadManifest(int folderFd, Manifest& manifest, int* error = nullptr);

// True for the names the program gives a manifest while it is being written.
bool IsManifestTemporary(const QByteArray& name);

struct ChecksumRecord {
    QByteArray Name;    // relative to the manifest's folder
    QByteArray Digest;  // hexadecimal
    bool FromArchive = false;
};

enum class RecordMode {
    Replace,     // each record replaces the lines of its name (a file copied again)
    AddMissing,  // only names the manifest lacks; a damaged manifest is left alone (EBADMSG)
};

// Records `records` in the manifest of the folder `folderFd`, made when missing, under the
// folder's lock (waiting at most `lockWaitMs` for it; EWOULDBLOCK after that). Other lines
// (comments, lines it cannot read) are kept as they are. `noteTime` is written in the note
// of records taken from the archive. `added`, when given, gets the names added (AddMissing).
// False with *error when the manifest could not be read or replaced; it is then unchanged.
bool RecordChecksums(int folderFd, const std::vector<ChecksumRecord>& records, RecordMode mode, int lockWaitMs,
                     int* error = nullptr, std::vector<QByteArray>* added = nullptr,
                     const QByteArray& noteTime = {});

// The checksum of a name taken out of its manifest by ForgetChecksum, to be put back.
struct ForgottenChecksum {
    bool Found = false;
    ChecksumRecord Record;
    QByteArray NoteTime;  // the time in its note, when it was taken from the archive
};

// Takes the lines of `name` (with their notes) out of the manifest of the folder
// `folderFd`, under the folder's lock as RecordChecksums takes it; the manifest is written
// only when it has such a line. A copy does this before its file takes the name, so that
// the name never has a line for an earlier file. `forgotten`, when given, gets the first
// such line's checksum. False with *error when the manifest could not be read or
// replaced; it is then unchanged.
bool ForgetChecksum(int folderFd, const QByteArray& name, int lockWaitMs, int* error = nullptr,
                    ForgottenChecksum* forgotten = nullptr);

}  // namespace hv::fixity
