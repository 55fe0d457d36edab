#include "settings/SettingsRules.h"

#include <QDir>
#include <iterator>

namespace hv {

namespace {
const QString kPickerFileName = QStringLiteral("any.mp4");
}  // namespace

QString FifoSizeText(const QString& format, std::int32_t sizeMs) {
    QString text = format;
    text.replace(QLatin1String("%d"), QString::number(sizeMs));
    return text;
}

int FifoSizeIndexFor(std::int32_t currentMs) {
    int index = 0;
    for (std::size_t i = 0; i < std::size(kFifoSizesMs); ++i)
        if (kFifoSizesMs[i] <= currentMs) index = static_cast<int>(i);
    return index;
}

std::int32_t FifoSizeAt(int index) {
    const bool offered = index >= 0 && static_cast<std::size_t>(index) < std::size(kFifoSizesMs);
    return offered ? kFifoSizesMs[index] : kFifoSizesMs[0];
}

int PlayerIndexToShow(int matched, int count) {
    if (matched >= 0) return matched;
    return count > 0 ? 0 : -1;
}

bool RecorderIsRemote(const QString& vortamoIP) { return !vortamoIP.isEmpty(); }

QString RecorderAddressToKeep(bool remote, const QString& address) {
    return remote ? address : QString();
}

bool RecorderAddressEnabled(bool remote) { return remote; }

bool FolderSortsBefore(const QString& a, const QString& b) {
    const int order = a.compare(b, Qt::CaseInsensitive);
    return order != 0 ? order < 0 : a < b;
}

bool RemoveEnabled(int selectedRow) { return selectedRow >= 0; }

int RowAfterRemoving(int removedRow, int remaining) {
    return removedRow < remaining ? removedRow : remaining - 1;
}

bool FolderCanBeListed(const QString& folder) { return !folder.contains(QLatin1Char(';')); }

QString FolderToStartAddingFrom(const QStringList& folders, int selectedRow) {
    if (selectedRow >= 0) return folders.at(selectedRow);
    if (!folders.isEmpty()) return folders.first();
    return QDir::toNativeSeparators(QDir::rootPath());
}

QString FolderOfPickedPath(const QString& path) {
    const QString native = QDir::toNativeSeparators(path);
    const qsizetype cut = native.lastIndexOf(QDir::separator());
    if (cut < 0) return native;
    const QString folder = native.left(cut);
    // The root keeps its separator: "/" rather than "" or the file's own path, "C:\"
    // rather than the drive-relative "C:".
    const bool isRoot = folder.isEmpty() || (folder.size() == 2 && folder[1] == QLatin1Char(':'));
    return isRoot ? native.left(cut + 1) : folder;
}

QString PickerStartFile(const QString& folder) {
    if (folder.isEmpty() || folder.endsWith(QDir::separator()) || folder.endsWith(QLatin1Char('/')))
        return folder + kPickerFileName;
    return folder + QDir::separator() + kPickerFileName;
}

}  // namespace hv
