#include "Recording.h"

#include <fcntl.h>
#include <sys/file.h>
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
        file.fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (file.fd < 0 || ::flock(file.fd, LOCK_EX) != 0) {
            if (error) *error = QStringLiteral("cannot record '%1': %2").arg(path, QString::fromUtf8(std::strerror(errno)));
            if (file.fd >= 0) ::close(file.fd);
            CloseSegment();
            return false;
        }
        if (path.endsWith(QStringLiteral(".xml"))) {
            const QByteArray head = "<?xml version=\"1.0\"?>\r\n<Segment Number=\"" + QByteArray::number(number) + "\">\r\n";
            WriteAll(file.fd, head.constData(), static_cast<std::size_t>(head.size()));
        }
        open_.push_back(file);
    }
    Grow();
    return true;
}

void Recording::Grow() {
    QByteArray block;
    for (OpenFile& file : open_) {
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
        if (file.path.endsWith(QStringLiteral(".xml"))) WriteAll(file.fd, "</Segment>\r\n", 12);
        ::fsync(file.fd);
        ::close(file.fd);  // releases the lock
        closed_.append(file.path);
    }
    open_.clear();
}

QStringList Recording::TakeClosedFiles() {
    QStringList files;
    files.swap(closed_);
    return files;
}

}  // namespace zandrel
