#include "Recording.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>

namespace zandrel {

namespace {

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

// True when the open file `fd` is still the file at `path`: not unlinked, not replaced.
bool HasItsName(int fd, const QString& path) {
    struct stat open{}, named{};
    return ::fstat(fd, &open) == 0 && open.st_nlink > 0 && ::stat(QFile::encodeName(path).constData(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

QByteArray DescriptionHead(int number) {
    return "<?xml version=\"1.0\"?>\r\n<Segment Number=\"" + QByteArray::number(number) + "\">\r\n";
}

}  // namespace

Recording::Recording(QStringList roots, int cameras, int firstNumber, qint64 bytesPerGrow)
    : roots_(std::move(roots)), cameras_(cameras < 1 ? 1 : cameras), firstNumber_(firstNumber),
      bytesPerGrow_(bytesPerGrow < 1 ? 1 : bytesPerGrow) {}

Recording::~Recording() { Stop(); }

bool Recording::Start(const QString& gameFolderText, QString* error) {
    Stop();
    if (roots_.isEmpty()) {
        if (error) *error = QStringLiteral("no root folders to record into");
        return false;
    }
    // "\2022-01-20\13-46\" -> "2022-01-20/13-46/"; nothing that climbs out of a root.
    QStringList parts;
    for (const QString& part : QString(gameFolderText).replace(u'\\', u'/').split(u'/', Qt::SkipEmptyParts)) {
        if (part == u"." || part == u"..") {
            if (error) *error = QStringLiteral("bad game folder '%1'").arg(gameFolderText);
            return false;
        }
        parts.append(part);
    }
    gameFolders_.clear();
    for (const QString& root : roots_) {
        const QString folder = QDir(root).filePath(parts.join(u'/'));
        if (!QDir().mkpath(folder)) {
            if (error) *error = QStringLiteral("cannot make '%1'").arg(folder);
            return false;
        }
        gameFolders_.append(folder + u'/');
    }
    return OpenSegment(firstNumber_, error);
}

bool Recording::Split(int number, QString* error) {
    if (!Active()) {
        if (error) *error = QStringLiteral("not recording");
        return false;
    }
    CloseSegment();
    return OpenSegment(number, error);
}

void Recording::Stop() { CloseSegment(); }

bool Recording::OpenSegment(int number, QString* error) {
    number_ = number;
    QStringList paths{gameFolders_[0] + QString::number(number) + QStringLiteral(".xml")};
    for (int c = 1; c <= cameras_; ++c) {
        const QString folder = gameFolders_[(c - 1) % gameFolders_.size()] +
                               (c == 1 ? QString() : QStringLiteral("cam%1/").arg(c));
        QDir().mkpath(folder);
        paths.append(folder + QStringLiteral("%1_%2.mp4").arg(number).arg(c));
    }
    int seed = number * 16;
    for (const QString& path : paths) {
        OpenFile file;
        file.path = path;
        file.seed = ++seed;
        if (!Take(file) && errno != EWOULDBLOCK) {
            if (error) *error = QStringLiteral("cannot record '%1': %2").arg(path, QString::fromUtf8(std::strerror(errno)));
            Release(file);
            CloseSegment();
            return false;
        }
        open_.push_back(file);
    }
    Grow();
    return true;
}

bool Recording::Take(OpenFile& file) {
    // A few rounds: each finds a file that lost its name meanwhile and opens the new one.
    for (int round = 0; round < 3; ++round) {
        if (file.fd < 0) file.fd = ::open(QFile::encodeName(file.path).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (file.fd < 0) return false;
        if (::flock(file.fd, LOCK_EX | LOCK_NB) != 0) return false;  // read by someone: later
        if (!HasItsName(file.fd, file.path)) {
            ::close(file.fd);
            file.fd = -1;
            continue;
        }
        if (::ftruncate(file.fd, 0) != 0 || ::lseek(file.fd, 0, SEEK_SET) != 0) return false;
        file.held = true;
        file.written = 0;
        if (file.path.endsWith(QStringLiteral(".xml"))) {
            const QByteArray head = DescriptionHead(number_);
            WriteAll(file.fd, head.constData(), static_cast<std::size_t>(head.size()));
        }
        return true;
    }
    errno = EWOULDBLOCK;
    return false;
}

void Recording::Release(OpenFile& file) {
    if (file.fd >= 0) ::close(file.fd);  // releases the lock
    file.fd = -1;
    file.held = false;
}

void Recording::Grow() {
    QByteArray block;
    for (OpenFile& file : open_) {
        if (file.held && !HasItsName(file.fd, file.path)) {
            // Unlinked or replaced under the writer: what follows goes to a file with a name.
            Release(file);
        }
        if (!file.held && !Take(file)) continue;
        if (file.path.endsWith(QStringLiteral(".xml"))) {
            const QByteArray line = "  <Frame Offset=\"" + QByteArray::number(file.written) + "\"/>\r\n";
            if (WriteAll(file.fd, line.constData(), static_cast<std::size_t>(line.size()))) file.written += line.size();
            continue;
        }
        block.resize(static_cast<qsizetype>(bytesPerGrow_));
        for (qsizetype i = 0; i < block.size(); ++i)
            block[i] = static_cast<char>(((file.written + i) * 131 + file.seed * 7) >> 3);
        if (WriteAll(file.fd, block.constData(), static_cast<std::size_t>(block.size()))) file.written += block.size();
    }
}

void Recording::CloseSegment() {
    for (OpenFile& file : open_) {
        if (file.held) {
            if (file.path.endsWith(QStringLiteral(".xml"))) WriteAll(file.fd, "</Segment>\r\n", 12);
            ::fsync(file.fd);
            closed_.append(file.path);
        }
        Release(file);
    }
    open_.clear();
}

QStringList Recording::TakeClosedFiles() {
    QStringList files;
    files.swap(closed_);
    return files;
}

}  // namespace zandrel
