#pragma once
// The referee console's split command, "SplitAtTime <n>_0x<low>_0x<high> [<path>]": the
// period number of the recording segment that starts now, the split time (UTC, 100-ns
// units since 1601, as two hexadecimal halves) and optionally the path of the new
// recording. Pure functions.

#include <QString>
#include <QStringList>
#include <cstdint>

#include "platform/FileTime.h"

namespace hv {

struct SplitCommand {
    static constexpr std::int32_t kLowestPeriod = -999;
    static constexpr std::int32_t kHighestPeriod = 999;
    static constexpr qsizetype kLongestPath = 259;

    std::int32_t Period = 0;
    FileTime Time = 0;
    bool HasPath = false;
    QString Path;

    // Reads `text` the way the command is written: the literal parts exactly (case
    // included), blanks where the pattern has blanks, a decimal period in -999..999 and two
    // hexadecimal 32-bit halves. The path is the next run without blanks, at most 259
    // characters (a longer one counts as not given). False when the command is dropped.
    static bool Parse(const QString& text, SplitCommand& out);

    // The game folder (backslash text, ending with a backslash) named by a recording path
    // under one of `roots`, tried in order: the root must be followed by a separator in the
    // path (or end with one), and the rest must be a plain relative path (no empty, "." or
    // ".." part, no drive colon). False when no root gives such a rest.
    static bool GameFolderFromPath(const QString& path, const QStringList& roots, QString& gameFolder);
};

}  // namespace hv
