#include "fixity/Manifest.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QByteArrayList>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/FileSystem.h"

namespace hv::fixity {

namespace {

constexpr int kDigestDigits = 64;
constexpr char kTemporaryPrefix[] = ".SHA256SUMS.";
constexpr char kTemporarySuffix[] = ".halvane-tmp";
// The temporary name while the folder's lock is held: a leftover of a writer that died is
// removed by the next one, which then makes the name anew (never writing into a file
// found there: a hard link to a file elsewhere would be written through).
constexpr char kLockedTemporary[] = ".SHA256SUMS.halvane-tmp";
// Larger manifests are not read (a game folder's holds some hundred lines).
constexpr qsizetype kLargestManifest = 64 * 1024 * 1024;

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool NeedsEscape(const QByteArray& name) {
    return name.contains('\\') || name.contains('\n') || name.contains('\r');
}

// sha256sum's escapes undone; false for an escape it does not write.
bool Unescape(const QByteArray& escaped, QByteArray& name) {
    name.clear();
    name.reserve(escaped.size());
    for (qsizetype i = 0; i < escaped.size(); ++i) {
        const char c = escaped[i];
        if (c != '\\') {
            name += c;
            continue;
        }
        if (++i == escaped.size()) return false;
        switch (escaped[i]) {
        case '\\': name += '\\'; break;
        case 'n': name += '\n'; break;
        case 'r': name += '\r'; break;
        default: return false;
        }
    }
    return true;
}

// The name without "." components and empty ones; false when it is absolute, empty or
// climbs out with "..".
bool NormaliseName(const QByteArray& name, QByteArray& normal) {
    if (name.isEmpty() || name.startsWith('/') || name.contains('\0')) return false;
    normal.clear();
    for (const QByteArray& part : name.split('/')) {
        if (part.isEmpty() || part == ".") continue;
        if (part == "..") return false;
        if (!normal.isEmpty()) normal += '/';
        normal += part;
    }
    return !normal.isEmpty();
}

bool IsNote(const ManifestLine& line) {
    return line.Type == ManifestLine::Kind::Comment && line.Text.startsWith(kFromArchiveNote);
}

// An exclusive lock on a folder, tried until `waitMs` have passed. A file system that
// cannot lock (some network shares) leaves it not held without an error: the manifest is
// then still replaced whole, under a name of the writer's own.
class FolderLock {
public:
    FolderLock(int folderFd, int waitMs) : fd_(folderFd) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        while (true) {
            if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
                held_ = true;
                return;
            }
            const int e = errno;
            if (e == EINTR) continue;
            if (e != EWOULDBLOCK) return;  // no locks here
            if (std::chrono::steady_clock::now() >= deadline) {
                busy_ = true;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~FolderLock() {
        if (held_) (void)::flock(fd_, LOCK_UN);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    bool Held() const { return held_; }
    bool Busy() const { return busy_; }

private:
    int fd_;
    bool held_ = false;
    bool busy_ = false;
};

// Replaces the folder's manifest with `content`: temporary file, synced, renamed over the
// manifest, the folder synced.
bool WriteManifest(int folderFd, const QByteArray& content, bool locked, int* error) {
    static std::atomic<unsigned> counter{0};
    const QByteArray temporary =
        locked ? QByteArray(kLockedTemporary)
               : kTemporaryPrefix + QByteArray::number(::getpid()) + '-' + QByteArray::number(counter++) +
                     kTemporarySuffix;
    const auto fail = [&](int e, bool made) {
        if (made) (void)::unlinkat(folderFd, temporary.constData(), 0);
        if (error != nullptr) *error = e;
        return false;
    };
    if (locked && ::unlinkat(folderFd, temporary.constData(), 0) != 0 && errno != ENOENT) return fail(errno, false);
    fs::UniqueFd out(fs::OpenAtRetrying(folderFd, temporary.constData(),
                                        O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0644));
    if (!out.Valid()) return fail(errno, false);
    if (!fs::WriteAll(out.Get(), content.constData(), static_cast<std::size_t>(content.size())))
        return fail(errno != 0 ? errno : EIO, true);
    if (::fdatasync(out.Get()) != 0) return fail(errno, true);
    if (!out.Close()) return fail(errno, true);
    if (::renameat(folderFd, temporary.constData(), folderFd, kManifestName) != 0) return fail(errno, true);
    if (!fs::SyncFolder(folderFd)) return fail(errno, false);
    return true;
}

ManifestLine EntryLine(const QByteArray& digest, const QByteArray& name, int number) {
    ManifestLine line;
    line.Type = ManifestLine::Kind::Entry;
    line.Digest = digest.toLower();
    line.Name = name;
    line.Text = FormatLine(line.Digest, name);
    line.Number = number;
    return line;
}

// The index of the first entry of `name` at `from` or after; lines.size() when none is.
std::size_t FindEntry(const std::vector<ManifestLine>& lines, const QByteArray& name, std::size_t from = 0) {
    while (from < lines.size() && (lines[from].Type != ManifestLine::Kind::Entry || lines[from].Name != name)) ++from;
    return from;
}

// The first line of the entry at `entry`: the notes above it go with it.
std::size_t FirstLineOf(const std::vector<ManifestLine>& lines, std::size_t entry) {
    std::size_t first = entry;
    while (first > 0 && IsNote(lines[first - 1])) --first;
    return first;
}

// Takes out the lines from `first` to before `end`.
void EraseLines(std::vector<ManifestLine>& lines, std::size_t first, std::size_t end) {
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(first), lines.begin() + static_cast<std::ptrdiff_t>(end));
}

// Gives the first entry of `name` the checksum `digest`, without the notes it had (the
// same checksum in an entry without notes stays as it is), and takes out any further
// entries of the name with theirs. False when there is no entry of the name; `changed`
// is set when a line changed.
bool ReplaceEntries(std::vector<ManifestLine>& lines, const QByteArray& name, const QByteArray& digest,
                    bool& changed) {
    bool found = false;
    for (std::size_t i = FindEntry(lines, name); i < lines.size(); i = FindEntry(lines, name, i)) {
        const std::size_t first = FirstLineOf(lines, i);
        if (!found && first == i && lines[i].Digest == digest.toLower()) {
            // The same checksum again: nothing to change for this line.
            ++i;
        } else if (!found) {
            lines[i] = EntryLine(digest, name, 0);
            EraseLines(lines, first, i);
            i = first + 1;
            changed = true;
        } else {
            EraseLines(lines, first, i + 1);
            i = first;
            changed = true;
        }
        found = true;
    }
    return found;
}

// Adds the entry of `record` (named `name`) at the end, after its note when its checksum
// was taken from the archive.
void AppendEntry(std::vector<ManifestLine>& lines, const ChecksumRecord& record, const QByteArray& name,
                 const QByteArray& noteTime) {
    if (record.FromArchive) {
        ManifestLine note;
        note.Type = ManifestLine::Kind::Comment;
        note.Text = QByteArray(kFromArchiveNote) + (noteTime.isEmpty() ? QByteArray() : " (" + noteTime + ")");
        lines.push_back(note);
    }
    lines.push_back(EntryLine(record.Digest, name, 0));
}

}  // namespace

QByteArray FormatLine(const QByteArray& digestHex, const QByteArray& name) {
    if (!NeedsEscape(name)) return digestHex + "  " + name;
    QByteArray escaped;
    escaped.reserve(name.size() + 8);
    for (const char c : name) {
        if (c == '\\') escaped += "\\\\";
        else if (c == '\n') escaped += "\\n";
        else if (c == '\r') escaped += "\\r";
        else escaped += c;
    }
    return '\\' + digestHex + "  " + escaped;
}

bool ParseLine(const QByteArray& line, QByteArray& digestHex, QByteArray& name) {
    qsizetype at = 0;
    const bool escaped = line.startsWith('\\');
    if (escaped) at = 1;
    if (line.size() < at + kDigestDigits + 3) return false;
    for (qsizetype i = at; i < at + kDigestDigits; ++i)
        if (!IsHexDigit(line[i])) return false;
    const qsizetype flag = at + kDigestDigits + 1;
    if (line[flag - 1] != ' ' || (line[flag] != ' ' && line[flag] != '*')) return false;
    QByteArray raw = line.mid(flag + 1);
    if (escaped && !Unescape(QByteArray(raw), raw)) return false;
    if (!NormaliseName(raw, name)) return false;
    digestHex = line.mid(at, kDigestDigits).toLower();
    return true;
}

Manifest ParseManifest(const QByteArray& text) {
    Manifest manifest;
    QList<QByteArray> lines = text.split('\n');
    if (!lines.isEmpty() && lines.back().isEmpty()) lines.removeLast();  // after the last LF
    int number = 0;
    for (const QByteArray& stored : lines) {
        ManifestLine line;
        line.Text = stored;
        line.Number = ++number;
        if (stored.isEmpty())
            line.Type = ManifestLine::Kind::Blank;
        else if (stored.startsWith('#'))
            line.Type = ManifestLine::Kind::Comment;
        else if (ParseLine(stored, line.Digest, line.Name))
            line.Type = ManifestLine::Kind::Entry;
        else
            line.Type = ManifestLine::Kind::Malformed;
        manifest.Lines.push_back(std::move(line));
    }
    return manifest;
}

bool Manifest::Damaged() const {
    for (const ManifestLine& line : Lines)
        if (line.Type == ManifestLine::Kind::Malformed) return true;
    return false;
}

bool Manifest::FromArchive(std::size_t index) const {
    return index > 0 && index < Lines.size() && IsNote(Lines[index - 1]);
}

QByteArray Manifest::Serialize() const {
    QByteArray text;
    for (const ManifestLine& line : Lines) text += line.Text + '\n';
    return text;
}

ManifestRead ReadManifest(int folderFd, Manifest& manifest, int* error) {
    manifest = {};
    const auto fail = [error](int e) {
        if (error != nullptr) *error = e;
        return ManifestRead::Failed;
    };
    fs::UniqueFd in(fs::OpenAtRetrying(folderFd, kManifestName, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK));
    if (!in.Valid()) {
        if (errno == ENOENT) return ManifestRead::Absent;
        return fail(errno);
    }
    fs::FileInfo info;
    int e = 0;
    if (!fs::ReadInfo(in.Get(), info, &e)) return fail(e != 0 ? e : EIO);
    if (!info.IsRegular) return fail(info.IsDirectory ? EISDIR : EINVAL);
    if (info.Size > static_cast<std::uint64_t>(kLargestManifest)) return fail(EFBIG);
    QByteArray text;
    char chunk[65536];
    while (true) {
        const ssize_t n = ::read(in.Get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(errno);
        if (n == 0) break;
        text.append(chunk, n);
        if (text.size() > kLargestManifest) return fail(EFBIG);
    }
    manifest = ParseManifest(text);
    return ManifestRead::Read;
}

bool IsManifestTemporary(const QByteArray& name) {
    return name.startsWith(kTemporaryPrefix) && name.endsWith(kTemporarySuffix);
}

bool RecordChecksums(int folderFd, const std::vector<ChecksumRecord>& records, RecordMode mode, int lockWaitMs,
                     int* error, std::vector<QByteArray>* added, const QByteArray& noteTime) {
    const auto fail = [error](int e) {
        if (error != nullptr) *error = e;
        return false;
    };
    if (added != nullptr) added->clear();
    const FolderLock lock(folderFd, lockWaitMs);
    if (lock.Busy()) return fail(EWOULDBLOCK);
    Manifest manifest;
    int e = 0;
    if (ReadManifest(folderFd, manifest, &e) == ManifestRead::Failed) return fail(e);
    if (mode == RecordMode::AddMissing && manifest.Damaged()) return fail(EBADMSG);

    bool changed = false;
    for (const ChecksumRecord& record : records) {
        QByteArray name;
        if (!NormaliseName(record.Name, name)) return fail(EINVAL);
        const bool found = mode == RecordMode::AddMissing ? FindEntry(manifest.Lines, name) < manifest.Lines.size()
                                                          : ReplaceEntries(manifest.Lines, name, record.Digest, changed);
        if (found) continue;
        AppendEntry(manifest.Lines, record, name, noteTime);
        if (added != nullptr) added->push_back(name);
        changed = true;
    }
    if (!changed) return true;
    return WriteManifest(folderFd, manifest.Serialize(), lock.Held(), error);
}

bool ForgetChecksum(int folderFd, const QByteArray& name, int lockWaitMs, int* error, ForgottenChecksum* forgotten) {
    const auto fail = [error](int e) {
        if (error != nullptr) *error = e;
        return false;
    };
    if (forgotten != nullptr) *forgotten = {};
    QByteArray normal;
    if (!NormaliseName(name, normal)) return fail(EINVAL);
    const FolderLock lock(folderFd, lockWaitMs);
    if (lock.Busy()) return fail(EWOULDBLOCK);
    Manifest manifest;
    int e = 0;
    const ManifestRead read = ReadManifest(folderFd, manifest, &e);
    if (read == ManifestRead::Failed) return fail(e);
    if (read == ManifestRead::Absent) return true;
    std::vector<ManifestLine>& lines = manifest.Lines;
    bool found = false;
    for (std::size_t i = FindEntry(lines, normal); i < lines.size(); i = FindEntry(lines, normal, i)) {
        const std::size_t first = FirstLineOf(lines, i);
        if (!found && forgotten != nullptr) {
            forgotten->Found = true;
            forgotten->Record = {normal, lines[i].Digest, first < i};
            if (first < i) {
                // "<note> (<time>)"
                QByteArray time = lines[i - 1].Text.mid(qsizetype(sizeof kFromArchiveNote) - 1).trimmed();
                if (time.startsWith('(') && time.endsWith(')')) forgotten->NoteTime = time.mid(1, time.size() - 2);
            }
        }
        found = true;
        EraseLines(lines, first, i + 1);
        i = first;
    }
    if (!found) return true;
    return WriteManifest(folderFd, manifest.Serialize(), lock.Held(), error);
}

}  // namespace hv::fixity
