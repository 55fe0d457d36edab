#include "fixity/ArchivePaths.h"

#include <fcntl.h>
#include <unistd.h>

#include <QList>
#include <QRegularExpression>
#include <cerrno>

#include "fixity/Manifest.h"
#include "platform/FileSystem.h"

namespace hv::fixity {

QDate DateOfFolder(const QByteArray& name) {
    static const QRegularExpression pattern(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d$"));
    const QString text = QString::fromLatin1(name);
    if (!pattern.match(text).hasMatch()) return {};
    return QDate::fromString(text, QStringLiteral("yyyy-MM-dd"));
}

QByteArray GameFolderOf(const QByteArray& path) {
    static const QRegularExpression time(QStringLiteral("^\\d\\d-\\d\\d$"));
    const QList<QByteArray> parts = path.split('/');
    if (parts.size() < 3 || !DateOfFolder(parts[0]).isValid() ||
        !time.match(QString::fromLatin1(parts[1])).hasMatch())
        return {};
    return parts[0] + '/' + parts[1] + '/';
}

std::vector<QByteArray> FoldersAbove(const QByteArray& path) {
    std::vector<QByteArray> folders;
    for (qsizetype at = path.lastIndexOf('/'); at >= 0; at = at == 0 ? -1 : path.lastIndexOf('/', at - 1))
        folders.push_back(path.left(at + 1));
    folders.push_back(QByteArray());
    return folders;
}

QByteArray ManifestPath(const QByteArray& folder) { return folder + kManifestName; }

bool IsGone(int error) { return error == ENOENT || error == ENOTDIR || error == ELOOP || error == EXDEV; }

int OpenFolderBeneath(int rootFd, const QByteArray& folder) {
    return folder.isEmpty() ? ::dup(rootFd) : fs::OpenBeneath(rootFd, folder.chopped(1), O_RDONLY | O_DIRECTORY);
}

}  // namespace hv::fixity
