#include "copy/ArchiveRefresh.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>

#include "platform/FileSystem.h"

namespace hv {

namespace {

constexpr char kTmpName[] = "refresh.tmp";
constexpr char kCsvName[] = "refresh.csv";

// One attempt to put tmp in place of csv in the folder `folder`. A reader that holds
// "refresh.csv" under a lock keeps it (as a reader's open file does where files are shared
// by mode).
int MoveOnce(int folder) {
    const fs::UniqueFd held(fs::OpenAtRetrying(folder, kCsvName, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    if (held.Valid() && ::flock(held.Get(), LOCK_EX | LOCK_NB) != 0) return errno;
    return ::renameat(folder, kTmpName, folder, kCsvName) == 0 ? 0 : errno;
}

// Writes `line` into a new "refresh.tmp" of `folder`; 0 or the error (the tmp file removed).
int WriteTmp(int folder, const QByteArray& line) {
    const int fd = fs::OpenAtRetrying(folder, kTmpName, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return errno;
    int error = 0;
    if (!fs::WriteAll(fd, line.constData(), static_cast<std::size_t>(line.size())))
        error = errno == 0 ? EIO : errno;
    else if (::fdatasync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error != 0) (void)::unlinkat(folder, kTmpName, 0);
    return error;
}

}  // namespace

QByteArray ArchiveRefresh::Line(const CalendarTime& g, const CalendarTime& w) {
    char text[96];
    const int n = std::snprintf(text, sizeof text, "%04d-%02d-%02d-%02d-%02d; %04d-%02d-%02d-%02d-%02d-%02d\r\n", g.year,
                                g.month, g.day, g.hour, g.minute, w.year, w.month, w.day, w.hour, w.minute, w.second);
    return QByteArray(text, n < 0 ? 0 : std::min<int>(n, sizeof text - 1));
}

QString ArchiveRefresh::GameFolderOf(const CalendarTime& g) {
    return QString::asprintf("%04d-%02d-%02d\\%02d-%02d\\", g.year, g.month, g.day, g.hour, g.minute);
}

ArchiveRefresh::Result ArchiveRefresh::Write(const ArchiveRoot& root, const CalendarTime& game,
                                             const CalendarTime& written) {
    Result result;
    result.TmpPath = root.Text() + QLatin1StringView(kTmpName);
    result.CsvPath = root.Text() + QLatin1StringView(kCsvName);
    // The archive root as it is now, and only while it is still the archive's.
    fs::UniqueFd opened;
    int folder = AT_FDCWD;
    if (!root.Empty()) {
        opened = root.Open(&result.Error);
        if (!opened.Valid()) {
            result.What = Outcome::TmpNotWritten;
            return result;
        }
        folder = opened.Get();
    }
    result.Error = WriteTmp(folder, Line(game, written));
    if (result.Error != 0) {
        result.What = Outcome::TmpNotWritten;
        return result;
    }
    for (int attempt = 1; attempt <= kMoveAttempts; ++attempt) {
        result.Error = MoveOnce(folder);
        if (result.Error == 0) {
            (void)fs::SyncFolder(folder);
            return result;
        }
        if (attempt < kMoveAttempts) std::this_thread::sleep_for(std::chrono::milliseconds(kMoveRetryMs));
    }
    result.What = Outcome::NotMoved;
    return result;
}

bool ArchiveRefresh::Read(const QString& archiveRoot, Restored& out) {
    // "e": close-on-exec, as every descriptor of the program, so that a program started
    // meanwhile from another thread never inherits it.
    FILE* file = std::fopen(fs::Encode(archiveRoot + QStringLiteral("refresh.csv")).constData(), "re");
    if (file == nullptr) return false;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    const int read = std::fscanf(file, "%d-%d-%d-%d-%d", &year, &month, &day, &hour, &minute);
    std::fclose(file);
    if (read < 5) return false;
    // Numbers that form no date and time resume nothing.
    const CalendarTime start{year, month, day, hour, minute, 0, 0};
    FileTime unused = 0;
    if (year > 9999 || !CalendarToFileTime(start, unused)) return false;
    out.GameStart = start;
    out.GameFolder = GameFolderOf(start);
    out.RecordingPeriod = 0;
    const QString folder = archiveRoot + fs::NativePath(out.GameFolder);
    for (int n = 1; n <= kHighestRestoredPeriod; ++n) {
        struct stat st{};
        if (::stat(fs::Encode(folder + QString::number(n) + QStringLiteral(".xml")).constData(), &st) != 0) break;
        out.RecordingPeriod = n;
    }
    return true;
}

}  // namespace hv
