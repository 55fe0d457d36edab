#pragma once
// The settings dialog's rules, apart from its widgets: what its number edits take, which
// FIFO size and player it shows for the values it is given, when a control is enabled,
// how the From list keeps its folders, and where the folder pickers start and what they
// give.

#include <QString>
#include <QStringList>
#include <cstdint>

#include "settings/AppSettings.h"

namespace hv {

// An edit with its spin control: the values it steps through (a value outside them is
// shown as the nearest end) and how many characters it takes.
struct NumberEditRule {
    SettingRange Range;
    int Chars;
};
inline constexpr NumberEditRule kPortEdit{kPortRange, 5};
inline constexpr NumberEditRule kPrerollEdit{kPrerollRange, 2};
inline constexpr NumberEditRule kRateLimitEdit{kCopyRateLimitRange, 2};
inline constexpr NumberEditRule kPeriodNumberEdit{kDefPeriodNumberRange, 3};

// --- The FIFO size: one of kFifoSizesMs. ---

// How `sizeMs` is offered: `format` (message 511, "%d ms") with the number in it.
QString FifoSizeText(const QString& format, std::int32_t sizeMs);
// The offered size shown for `currentMs`: the largest not above it; the smallest when all are.
int FifoSizeIndexFor(std::int32_t currentMs);
// The size chosen at `index` of the offered ones; the smallest when none is chosen.
std::int32_t FifoSizeAt(int index);

// --- The player. ---

// The player shown: the last one whose registry name matched (`matched`, -1 when none
// did), else the first of the `count` listed, else none (-1).
int PlayerIndexToShow(int matched, int count);

// --- The recorder's computer. ---

// The recorder is on another computer when it has an address.
bool RecorderIsRemote(const QString& vortamoIP);
// The address kept: the one given for a remote recorder, none for this computer's.
QString RecorderAddressToKeep(bool remote, const QString& address);
// The address can be edited only while the recorder is remote.
bool RecorderAddressEnabled(bool remote);

// --- The From list of folders. ---

// The list's order, as a sorted list box keeps it: without regard to case, then by the
// exact text, so that the order never depends on the order of adding.
bool FolderSortsBefore(const QString& a, const QString& b);
// Remove can be pressed while a folder is selected (`selectedRow` -1: none is).
bool RemoveEnabled(int selectedRow);
// The row selected after `removedRow` was removed and `remaining` folders are left: the
// one that took its place, else the new last one; -1 when none is left.
int RowAfterRemoving(int removedRow, int remaining);
// The folders are kept as one text with ";" between them: a folder with ";" in its name
// would come back as two other folders, so it is not listed.
bool FolderCanBeListed(const QString& folder);

// --- The folder pickers, which choose a folder by way of a file in it. ---

// Where Add starts: the selected folder of `folders`, else the first, else the root.
QString FolderToStartAddingFrom(const QStringList& folders, int selectedRow);
// The folder a picker's chosen path names: the path up to its last separator. A file
// picked at the root of the file system (or of a drive) gives the root itself ("/",
// "C:\"); a path without a separator is taken whole.
QString FolderOfPickedPath(const QString& path);
// Where a picker starts: `folder` with the file name "any.mp4" in it.
QString PickerStartFile(const QString& folder);

}  // namespace hv
