#pragma once
// The video archive's game description: "refresh.csv" at the archive root names the
// current game and when it was last written. It is replaced through "refresh.tmp", so a
// reader sees the old line or the new one, never half of one. Read back at start-up to
// resume the game. Any thread; keeps no state (the callers serialise writers).

#include <QString>

#include "copy/ArchiveRoot.h"
#include "platform/FileTime.h"

namespace hv {

class ArchiveRefresh {
public:
    static constexpr int kMoveAttempts = 10;
    static constexpr int kMoveRetryMs = 100;
    static constexpr int kHighestRestoredPeriod = 20;

    enum class Outcome { Written, TmpNotWritten, NotMoved };
    struct Result {
        Outcome What = Outcome::Written;
        int Error = 0;        // errno of the failure
        QString TmpPath;      // the paths used, for messages
        QString CsvPath;
    };

    // The one line, CR LF included: "2022-01-20-13-46; 2022-01-20-14-05-09\r\n".
    static QByteArray Line(const CalendarTime& game, const CalendarTime& written);
    // The game's folder text "%04d-%02d-%02d\%02d-%02d\" (backslashes) of a local start.
    static QString GameFolderOf(const CalendarTime& gameStart);

    // Writes the line for `game` at `written` into the archive `root` (no root: the current
    // folder), only while the root is still the archive's: a missing or dropped archive
    // gets nothing (TmpNotWritten with the root's error). The tmp file is written, flushed,
    // synced and closed before it is moved; a failure removes it and leaves "refresh.csv" as
    // it was. A "refresh.csv" held under a reader's lock is retried kMoveAttempts times.
    static Result Write(const ArchiveRoot& root, const CalendarTime& game, const CalendarTime& written);
    // The same into the root `archiveRoot` as it is now (ending with a separator, or empty).
    static Result Write(const QString& archiveRoot, const CalendarTime& game, const CalendarTime& written) {
        return Write(ArchiveRoot::Record(archiveRoot), game, written);
    }

    struct Restored {
        CalendarTime GameStart;      // seconds and milliseconds 0
        QString GameFolder;          // backslash text
        int RecordingPeriod = 0;     // the highest n up to 20 with 1.xml..n.xml archived; 0: none
    };
    // Reads the game named by "refresh.csv": false when the file cannot be read, does not
    // begin with five numbers, or they form no valid date and time.
    static bool Read(const QString& archiveRoot, Restored& out);
};

}  // namespace hv
