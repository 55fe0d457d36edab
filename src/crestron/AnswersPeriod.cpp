// One period with its labels (C0301).
#include <algorithm>
#include <vector>

#include "crestron/CrestronAnswers.h"
#include "crestron/CrestronProtocol.h"
#include "game/GameInfo.h"
#include "log/DiagnosticLog.h"

namespace hv {

using crestron_detail::AppendFormat;

namespace {

constexpr int kEntriesInFirstLine = 17;

void AppendLabelEntry(std::string& answer, const Label& label, const PeriodRecord& record,
                      bool useGameTime) {
    long long minutes = label.ClockMinute;
    long long seconds = label.ClockSecond;
    if (!useGameTime) {
        // Time from the period's start, to the nearest second; 0 before the start. Times
        // from outside may lie anywhere in 64 bits: the difference is taken without
        // overflow.
        long long s = 0;
        if (label.Time > record.Start) {
            const FileTime elapsed = label.Time - record.Start;
            s = static_cast<long long>(elapsed / kFileTimeUnitsPerSecond +
                                       (elapsed % kFileTimeUnitsPerSecond >= 5'000'001 ? 1 : 0));
        }
        minutes = s / 60;
        seconds = s % 60;
    }
    // An entry has a fixed width, and the controller finds the next one by it: a time too
    // long for four digits shows as 99:59, a negative one as 00:00.
    if (minutes < 0 || seconds < 0) {
        minutes = 0;
        seconds = 0;
    } else if (minutes > 99 || seconds > 99) {
        minutes = 99;
        seconds = 59;
    }
    AppendFormat(answer, "%02d%03d%02d%02d%02lld%02lld", CrestronCodeOfType(label.Type),
                 label.Number, label.Score1, label.Score2, minutes, seconds);
}

}  // namespace

// Crestron working thread.
bool AnswerPeriodInfo(int period, bool useGameTime, ICrestronConnection& connection,
                      CGameInfo& game, bool crestronLog) {
    if (period < 1 || period > 99) {
        WriteLog(">>> !!! Halvane::ParseCrestronCommand(C0301): ERROR - wrong period number %d "
                 "!!!\n",
                 period);
        return false;
    }
    const GameState state = game.GetSnapshot();
    const CalendarTime start = game.TimeSource().LocalCalendar(state.GameStart);
    // A period the game does not have yet answers with the game record.
    const bool isPeriod = period < state.PeriodCount;
    const PeriodRecord& record = state.Periods[isPeriod ? period : 0];

    std::vector<Label> labels;
    game.CopyLabels(labels, isPeriod ? period : 0);
    std::stable_sort(labels.begin(), labels.end(),
                     [](const Label& a, const Label& b) { return a.Time < b.Time; });
    const int count = static_cast<int>(labels.size());

    std::string answer;
    auto appendHeader = [&](int part) {
        AppendFormat(answer, "M0301%02d%04d%02d%02d%02d%02d%02d%d%02d%02d%02d", part, start.year,
                     start.month, start.day, start.hour, start.minute, period, record.PeriodKind,
                     record.Score1, record.Score2, count);
    };

    if (count <= kEntriesInFirstLine) {
        appendHeader(0);
        for (const Label& label : labels) AppendLabelEntry(answer, label, record, useGameTime);
        answer += '\n';
        return SendAnswer(connection, answer, crestronLog);
    }

    // Several lines: 17 entries in the first, 18 in every further full line. The line that
    // will hold the last of the entries is part "99", also when it is a full one (35, 53,
    // 71 ... labels), so that a controller waiting for "99" always gets it.
    constexpr int kEntriesInFurtherLine = kEntriesInFirstLine + 1;
    int part = 1;
    int lineRoom = kEntriesInFirstLine;
    int left = count;
    appendHeader(part);
    for (const Label& label : labels) {
        if (--lineRoom < 0) {
            answer += '\n';
            if (left > kEntriesInFurtherLine) {
                lineRoom = kEntriesInFirstLine;
                // Part numbers stay two digits and below the closing "99".
                part = std::min(part + 1, 98);
            } else {
                lineRoom = left;
                part = 99;
            }
            appendHeader(part);
        }
        AppendLabelEntry(answer, label, record, useGameTime);
        --left;
    }
    answer += '\n';
    return SendAnswer(connection, answer, crestronLog);
}

}  // namespace hv
