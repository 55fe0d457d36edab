#include "fixity/ArchiveCheck.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <thread>

#include "fixity/CopyNames.h"
#include "fixity/Sha256.h"
#include "platform/FileSystem.h"

namespace hv::fixity {

namespace {

constexpr std::size_t kReadChunk = 1'048'576;
// How long --record-missing waits for a manifest that the copy worker is writing.
constexpr int kRecordLockWaitMs = 30'000;

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A date folder's name ("2024-05-17") as a date; invalid for any other name.
QDate DateOfFolder(const QByteArray& name) {
    static const QRegularExpression pattern(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d$"));
    const QString text = QString::fromLatin1(name);
    if (!pattern.match(text).hasMatch()) return {};
    return QDate::fromString(text, QStringLiteral("yyyy-MM-dd"));
}

// The game folder ("2024-05-17/19-30/") that `path` lies in, as the program names game
// folders; empty when it lies in none.
QByteArray GameFolderOf(const QByteArray& path) {
    static const QRegularExpression time(QStringLiteral("^\\d\\d-\\d\\d$"));
    const QList<QByteArray> parts = path.split('/');
    if (parts.size() < 3 || !DateOfFolder(parts[0]).isValid() ||
        !time.match(QString::fromLatin1(parts[1])).hasMatch())
        return {};
    return parts[0] + '/' + parts[1] + '/';
}

// The folders above `path` (relative, "/" separated), nearest first, each ending with
// "/"; the root is "".
std::vector<QByteArray> FoldersAbove(const QByteArray& path) {
    std::vector<QByteArray> folders;
    for (qsizetype at = path.lastIndexOf('/'); at >= 0; at = at == 0 ? -1 : path.lastIndexOf('/', at - 1))
        folders.push_back(path.left(at + 1));
    folders.push_back(QByteArray());
    return folders;
}

bool Ignored(const QByteArray& name, int depth) {
    if (depth == 0 && (name == "refresh.csv" || name == "refresh.tmp")) return true;
    return IsManifestTemporary(name) || IsTemporaryCopyName(name);
}

QByteArray ManifestPath(const QByteArray& folder) { return folder + kManifestName; }

// Whether a lookup's error means the file is not there as a file of the archive: no such
// name, or a link (or something else) on the way to it.
bool IsGone(int error) { return error == ENOENT || error == ENOTDIR || error == ELOOP || error == EXDEV; }

}  // namespace

bool IsDamage(FindingKind kind) { return kind == FindingKind::Changed || kind == FindingKind::Missing; }

bool IsError(FindingKind kind) {
    switch (kind) {
    case FindingKind::Unreadable:
    case FindingKind::ManifestUnreadable:
    case FindingKind::ManifestDamaged:
    case FindingKind::FolderUnreadable:
    case FindingKind::RecordFailed:
    case FindingKind::ChangedDuringCheck:
        return true;
    default:
        return false;
    }
}

ArchiveCheck::ArchiveCheck(CheckOptions options) : options_(std::move(options)) {}

int ArchiveCheck::ExitCode() const {
    if (!ran_ || rootError_ != 0) return kCheckFailed;
    if (summary_.Changed + summary_.Missing > 0) return kCheckDamage;
    if (summary_.Errors > 0) return kCheckFailed;
    if (summary_.NoChecksum > 0) return kCheckOnlyNoChecksum;
    return kCheckGood;
}

bool ArchiveCheck::Run(const ProgressSink& progress) {
    ran_ = true;
    sink_ = progress;
    buffer_.resize(kReadChunk);
    const fs::UniqueFd root(fs::OpenFolderAt(AT_FDCWD, options_.Root.constData(), true));
    if (!root.Valid()) {
        rootError_ = errno != 0 ? errno : ENOENT;
        return false;
    }
    std::vector<ListedFile> files;
    Walk(root.Get(), QByteArray(), 0, files);
    std::sort(files.begin(), files.end(), [](const ListedFile& a, const ListedFile& b) { return a.Path < b.Path; });
    std::sort(manifests_.begin(), manifests_.end(),
              [](const ManifestPlace& a, const ManifestPlace& b) { return a.Folder < b.Folder; });
    summary_.Manifests = static_cast<int>(manifests_.size());

    std::vector<QByteArray> named;
    CheckManifests(root.Get(), files, named);

    for (Finding& finding : findings_) {
        if (IsError(finding.Kind)) ++summary_.Errors;
    }
    std::stable_sort(findings_.begin(), findings_.end(), [](const Finding& a, const Finding& b) {
        return a.Path != b.Path ? a.Path < b.Path : a.Line < b.Line;
    });
    return true;
}

void ArchiveCheck::Walk(int folderFd, const QByteArray& relative, int depth, std::vector<ListedFile>& files) {
    const auto unreadable = [&](int error) {
        Finding finding;
        finding.Kind = FindingKind::FolderUnreadable;
        finding.Path = relative.isEmpty() ? QByteArrayLiteral(".") : relative.chopped(1);
        finding.Error = error;
        findings_.push_back(finding);
    };
    const int listFd = ::dup(folderFd);
    DIR* folder = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (folder == nullptr) {
        const int error = errno;
        if (listFd >= 0) ::close(listFd);
        unreadable(error);
        return;
    }
    std::vector<std::pair<QByteArray, unsigned char>> entries;
    errno = 0;
    while (const dirent* entry = ::readdir(folder)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..") entries.emplace_back(name, entry->d_type);
        errno = 0;
    }
    const int listError = errno;
    ::closedir(folder);
    if (listError != 0) {
        unreadable(listError);
        return;
    }
    std::sort(entries.begin(), entries.end());

    bool hasManifest = false;
    for (const auto& [name, reported] : entries) {
        const unsigned char type = fs::ResolveEntryType(folderFd, name.constData(), reported);
        if (depth == 0 && options_.Since) {
            // Only the date folders of the days asked for.
            const QDate day = DateOfFolder(name);
            if (type != DT_DIR || !day.isValid() || day < *options_.Since) continue;
        }
        if (type == DT_DIR) {
            const fs::UniqueFd sub(fs::OpenFolderAt(folderFd, name.constData(), false));
            if (!sub.Valid()) {
                Finding finding;
                finding.Kind = FindingKind::FolderUnreadable;
                finding.Path = relative + name;
                finding.Error = errno;
                findings_.push_back(finding);
                continue;
            }
            Walk(sub.Get(), relative + name + '/', depth + 1, files);
        } else if (type == DT_REG) {
            if (name == kManifestName) {
                hasManifest = true;
                continue;
            }
            if (Ignored(name, depth)) continue;
            fs::FileInfo info;
            (void)fs::ReadInfoAt(folderFd, name.constData(), info, false);
            files.push_back({relative + name, info.Size});
        }
        // Links and special files are not the archive's content.
    }

    if (!hasManifest) return;
    ManifestPlace place;
    place.Folder = relative;
    int error = 0;
    if (ReadManifest(folderFd, place.Content, &error) != ManifestRead::Read) {
        Finding finding;
        finding.Kind = FindingKind::ManifestUnreadable;
        finding.Path = finding.Manifest = ManifestPath(relative);
        finding.Error = error;
        findings_.push_back(finding);
    } else {
        place.Readable = true;
        for (const ManifestLine& line : place.Content.Lines) {
            if (line.Type != ManifestLine::Kind::Malformed) continue;
            Finding finding;
            finding.Kind = FindingKind::ManifestDamaged;
            finding.Path = finding.Manifest = ManifestPath(relative);
            finding.Line = line.Number;
            findings_.push_back(finding);
        }
    }
    manifests_.push_back(std::move(place));
}

void ArchiveCheck::CheckManifests(int rootFd, const std::vector<ListedFile>& files, std::vector<QByteArray>& named) {
    // What to read: every file a readable manifest names, once looked up.
    std::vector<Pending> pending;
    for (const ManifestPlace& place : manifests_) {
        if (!place.Readable) continue;
        for (const ManifestLine& line : place.Content.Lines) {
            if (line.Type != ManifestLine::Kind::Entry) continue;
            const QByteArray path = place.Folder + line.Name;
            named.push_back(path);
            ++summary_.FilesChecked;
            Finding finding;
            finding.Path = path;
            finding.Manifest = ManifestPath(place.Folder);
            finding.Line = line.Number;
            // Looked up under the root only, through no link: a folder on the way that is a
            // link (out of the archive, perhaps) does not hold the archive's file.
            struct stat st{};
            const fs::UniqueFd where(fs::OpenBeneath(rootFd, path, O_PATH));
            if (!where.Valid() || ::fstat(where.Get(), &st) != 0) {
                const int error = errno;
                finding.Kind = IsGone(error) ? FindingKind::Missing : FindingKind::Unreadable;
                finding.Error = error;
                if (finding.Kind == FindingKind::Missing) ++summary_.Missing;
                findings_.push_back(finding);
                continue;
            }
            if (!S_ISREG(st.st_mode)) {
                // Something else under the file's name: the file is gone.
                finding.Kind = FindingKind::Missing;
                finding.Error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
                ++summary_.Missing;
                findings_.push_back(finding);
                continue;
            }
            pending.push_back({path, line.Digest, finding.Manifest, place.Folder, line.Name, line.Number,
                               static_cast<std::uint64_t>(st.st_size)});
        }
    }
    std::sort(named.begin(), named.end());

    const std::vector<ListedFile> without = FilesWithout(files, named);
    progress_.FilesTotal = pending.size() + (options_.RecordMissing ? without.size() : 0);
    for (const Pending& file : pending) progress_.BytesTotal += file.Size;
    if (options_.RecordMissing)
        for (const ListedFile& file : without) progress_.BytesTotal += file.Size;
    Tell();

    for (const Pending& file : pending) CheckFile(rootFd, file);

    if (options_.RecordMissing) {
        RecordMissing(rootFd, without);
        return;
    }
    // A line may have been on its way when its manifest was read (a copy again takes the
    // earlier copy's line out before its file takes the name, and writes its own after):
    // the manifests above each such file are read again.
    QSet<QByteArray> manifestFolders;
    for (const ManifestPlace& place : manifests_) manifestFolders.insert(place.Folder);
    std::vector<ListedFile> stillWithout;
    for (const ListedFile& file : without) {
        bool checked = false;
        for (const QByteArray& folder : FoldersAbove(file.Path)) {
            if (!manifestFolders.contains(folder)) continue;
            QByteArray digest;
            int number = 0;
            if (ReadLineNow(rootFd, folder, file.Path.mid(folder.size()), digest, &number) != LineNow::Found) continue;
            ++summary_.FilesChecked;
            ++progress_.FilesTotal;
            progress_.BytesTotal += file.Size;
            CheckFile(rootFd, {file.Path, digest, ManifestPath(folder), folder, file.Path.mid(folder.size()), number,
                                      file.Size});
            checked = true;
            break;
        }
        if (!checked) stillWithout.push_back(file);
    }
    for (const ListedFile& file : stillWithout) {
        Finding finding;
        finding.Kind = FindingKind::NoChecksum;
        finding.Path = file.Path;
        ++summary_.NoChecksum;
        findings_.push_back(finding);
    }
}

std::vector<ListedFile> ArchiveCheck::FilesWithout(const std::vector<ListedFile>& files,
                                                   std::vector<QByteArray>& named) {
    QHash<QByteArray, const ManifestPlace*> places;
    for (const ManifestPlace& place : manifests_) places.insert(place.Folder, &place);
    std::vector<ListedFile> without;
    for (const ListedFile& file : files) {
        if (std::binary_search(named.begin(), named.end(), file.Path)) continue;
        // A manifest above it that cannot be read, or has lines that cannot, may name it.
        bool unknown = false;
        for (const QByteArray& folder : FoldersAbove(file.Path)) {
            const ManifestPlace* place = places.value(folder, nullptr);
            if (place != nullptr && (!place->Readable || place->Content.Damaged())) unknown = true;
        }
        if (unknown)
            ++summary_.NotChecked;
        else
            without.push_back(file);
    }
    return without;
}

void ArchiveCheck::RecordMissing(int rootFd, const std::vector<ListedFile>& without) {
    QSet<QByteArray> manifestFolders;
    for (const ManifestPlace& place : manifests_) manifestFolders.insert(place.Folder);
    // The manifest each file goes to: the nearest one above it; else its game's folder;
    // else its own folder.
    std::map<QByteArray, std::vector<std::pair<QByteArray, QByteArray>>> byFolder;  // folder: path, digest
    for (const ListedFile& file : without) {
        QByteArray folder;
        bool found = false;
        for (const QByteArray& above : FoldersAbove(file.Path)) {
            if (manifestFolders.contains(above)) {
                folder = above;
                found = true;
                break;
            }
        }
        if (!found) {
            folder = GameFolderOf(file.Path);
            if (folder.isEmpty()) folder = file.Path.left(file.Path.lastIndexOf('/') + 1);
        }
        QByteArray digest;
        int error = 0;
        if (!HashFile(rootFd, file.Path, digest, &error)) {
            Finding finding;
            finding.Kind = FindingKind::Unreadable;
            finding.Path = file.Path;
            finding.Error = error;
            findings_.push_back(finding);
            continue;
        }
        byFolder[folder].emplace_back(file.Path, digest);
    }

    const QByteArray noteTime = QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toLatin1();
    for (const auto& [folder, records] : byFolder) {
        std::vector<ChecksumRecord> checksums;
        for (const auto& [path, digest] : records) checksums.push_back({path.mid(folder.size()), digest, true});
        int error = 0;
        std::vector<QByteArray> added;
        const fs::UniqueFd folderFd(folder.isEmpty() ? ::dup(rootFd)
                                                     : fs::OpenBeneath(rootFd, folder.chopped(1), O_RDONLY | O_DIRECTORY));
        const bool recorded = folderFd.Valid() && RecordChecksums(folderFd.Get(), checksums, RecordMode::AddMissing,
                                                                  kRecordLockWaitMs, &error, &added, noteTime);
        if (!folderFd.Valid()) error = errno;
        for (const auto& [path, digest] : records) {
            Finding finding;
            finding.Path = path;
            finding.Manifest = ManifestPath(folder);
            if (!recorded) {
                finding.Kind = FindingKind::RecordFailed;
                finding.Error = error;
            } else if (std::find(added.begin(), added.end(), path.mid(folder.size())) != added.end()) {
                finding.Kind = FindingKind::Recorded;
                finding.Actual = digest;
                ++summary_.Recorded;
            } else {
                continue;  // recorded meanwhile by a copy of the file
            }
            findings_.push_back(finding);
        }
    }
}

ArchiveCheck::LineNow ArchiveCheck::ReadLineNow(int rootFd, const QByteArray& folder, const QByteArray& name,
                                                QByteArray& digest, int* number) {
    const fs::UniqueFd folderFd(folder.isEmpty() ? ::dup(rootFd)
                                                 : fs::OpenBeneath(rootFd, folder.chopped(1), O_RDONLY | O_DIRECTORY));
    if (!folderFd.Valid()) return LineNow::Unknown;
    Manifest manifest;
    if (ReadManifest(folderFd.Get(), manifest) != ManifestRead::Read) return LineNow::Unknown;
    for (const ManifestLine& line : manifest.Lines) {
        if (line.Type == ManifestLine::Kind::Entry && line.Name == name) {
            digest = line.Digest;
            if (number != nullptr) *number = line.Number;
            return LineNow::Found;
        }
    }
    return manifest.Damaged() ? LineNow::Unknown : LineNow::Gone;
}

void ArchiveCheck::CheckFile(int rootFd, const Pending& file) {
    Finding finding;
    finding.Path = file.Path;
    finding.Manifest = file.Manifest;
    finding.Line = file.Line;
    const auto report = [&](FindingKind kind) {
        finding.Kind = kind;
        if (kind == FindingKind::Changed) ++summary_.Changed;
        if (kind == FindingKind::Missing) ++summary_.Missing;
        if (kind == FindingKind::ChangedDuringCheck) ++summary_.NotChecked;
        findings_.push_back(finding);
    };
    QByteArray digest;
    int error = 0;
    const bool read = HashFile(rootFd, file.Path, digest, &error);
    // Gone, or something else in its place, since it was looked up.
    const bool gone = !read && (IsGone(error) || error == EINVAL || error == EISDIR);
    if (read && digest == file.Digest) {
        ++summary_.Good;
        return;
    }
    if (!read && !gone) {
        finding.Error = error;
        report(FindingKind::Unreadable);
        return;
    }
    // Not as its line said: perhaps copied again meanwhile. Its manifest now tells.
    QByteArray now;
    const LineNow line = ReadLineNow(rootFd, file.Folder, file.Name, now);
    if (line == LineNow::Gone) {
        report(FindingKind::ChangedDuringCheck);
        return;
    }
    if (gone) {
        finding.Error = error;
        report(FindingKind::Missing);
        return;
    }
    if (line == LineNow::Found && now != file.Digest) {
        if (now != digest) {
            // A new line: the file is read once more, for the copy it names.
            ++progress_.FilesTotal;
            progress_.BytesTotal += file.Size;
            if (!HashFile(rootFd, file.Path, digest, &error)) {
                finding.Error = error;
                report(IsGone(error) || error == EINVAL || error == EISDIR ? FindingKind::Missing
                                                                           : FindingKind::Unreadable);
                return;
            }
        }
        if (digest == now) {
            ++summary_.Good;
            return;
        }
        finding.Expected = now;
    } else {
        finding.Expected = file.Digest;
    }
    finding.Actual = digest;
    report(FindingKind::Changed);
}

bool ArchiveCheck::HashFile(int rootFd, const QByteArray& path, QByteArray& digest, int* error) {
    // Under the root only, through no link; and nothing but a regular file is read.
    const fs::UniqueFd in(fs::OpenBeneath(rootFd, path, O_RDONLY | O_NOCTTY | O_NONBLOCK));
    if (!in.Valid()) {
        *error = errno;
        return false;
    }
    struct stat st{};
    if (::fstat(in.Get(), &st) != 0) {
        *error = errno;
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    (void)::posix_fadvise(in.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    Sha256 hash;
    bool failed = false;
    while (true) {
        const ssize_t n = ::read(in.Get(), buffer_.data(), buffer_.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = errno;
            failed = true;
            break;
        }
        if (n == 0) break;
        hash.Update(buffer_.data(), static_cast<std::size_t>(n));
        progress_.BytesDone += static_cast<std::uint64_t>(n);
        summary_.BytesRead += static_cast<std::uint64_t>(n);
        Pace(static_cast<std::uint64_t>(n));
        Tell();
    }
    // What was read for the check is not kept in the page cache at the expense of others
    // (its pages go, also those that were cached before the check).
    (void)::posix_fadvise(in.Get(), 0, 0, POSIX_FADV_DONTNEED);
    ++progress_.FilesDone;
    Tell();
    if (failed) return false;
    digest = hash.FinalHex();
    return true;
}

void ArchiveCheck::Pace(std::uint64_t bytes) {
    if (options_.MaxRateMiBps <= 0) return;
    const std::int64_t now = NowNs();
    if (pacedBytes_ == 0) paceStartNs_ = now;
    pacedBytes_ += bytes;
    const double bytesPerNs = options_.MaxRateMiBps * 1'048'576.0 / 1e9;
    const std::int64_t due = paceStartNs_ + static_cast<std::int64_t>(static_cast<double>(pacedBytes_) / bytesPerNs);
    if (due > now) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(due - now));
    } else if (now - due > 1'000'000'000) {
        // Behind by more than a second (a slow disk): the lost time is not made up by a burst.
        pacedBytes_ = 0;
    }
}

void ArchiveCheck::Tell() {
    if (sink_) sink_(progress_);
}

}  // namespace hv::fixity
