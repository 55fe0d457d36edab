#include "game/ArchiveRefresh.h"

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

// One attempt to put tmp in place of csv. A reader that holds "refresh.csv" under a lock
// keeps it (as a reader's open file does where files are shared by mode).
int MoveOnce(const QByteArray& tmp, const QByteArray& csv) {
    const int held = ::open(csv.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (held >= 0 && ::flock(held, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(held);
        return error;
    }
    const int result = ::rename(tmp.constData(), csv.constData()) == 0 ? 0 : errno;
    if (held >= 0) ::close(held);
    return result;
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

ArchiveRefresh::Result ArchiveRefresh::Write(const QString& archiveRoot, const CalendarTime& game,
                                             const CalendarTime& written) {
    Result result;
    result.TmpPath = archiveRoot + QStringLiteral("refresh.tmp");
    result.CsvPath = archiveRoot + QStringLiteral("refresh.csv");
    const QByteArray tmp = fs::Encode(result.TmpPath);
    const QByteArray csv = fs::Encode(result.CsvPath);

    const int fd = ::open(tmp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        result.What = Outcome::TmpNotWritten;
        result.Error = errno;
        return result;
    }
    const QByteArray line = Line(game, written);
    int error = 0;
    if (!fs::WriteAll(fd, line.constData(), static_cast<std::size_t>(line.size())))
        error = errno == 0 ? EIO : errno;
    else if (::fdatasync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error != 0) {
        (void)::unlink(tmp.constData());
        result.What = Outcome::TmpNotWritten;
        result.Error = error;
        return result;
    }
    for (int attempt = 1; attempt <= kMoveAttempts; ++attempt) {
        error = MoveOnce(tmp, csv);
        if (error == 0) return result;
        if (attempt < kMoveAttempts) std::this_thread::sleep_for(std::chrono::milliseconds(kMoveRetryMs));
    }
    result.What = Outcome::NotMoved;
    result.Error = error;
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
