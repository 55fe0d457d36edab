// The game list (C0101) and the game information with its label counts (C0201).
#include <algorithm>
#include <array>
#include <vector>

#include "crestron/CrestronAnswers.h"
#include "crestron/CrestronProtocol.h"
#include "game/GameInfo.h"

namespace hv {

using crestron_detail::AppendFormat;

namespace {

// Label counts by row (0 the totals, then the period rows) and group.
using CountTable = std::array<std::array<int, kCrestronGroupCount>, kCrestronCountRows>;

// Every label counts once in the totals row and once in the row of its period; a label
// before the first period counts in row `periodCount`. Labels of a period number beyond the
// table count in the totals only; when the label's row is the totals row itself (no
// periods yet) it is counted once.
CountTable CountLabels(const std::vector<Label>& labels, int periodCount) {
    CountTable table{};
    for (const Label& label : labels) {
        const int group = CrestronGroupOfType(label.Type);
        if (group < 0) continue;
        ++table[0][static_cast<size_t>(group)];
        const int row = label.Period <= 0 ? periodCount : label.Period;
        if (row > 0 && row < kCrestronCountRows) ++table[static_cast<size_t>(row)][static_cast<size_t>(group)];
    }
    return table;
}

}  // namespace

// Crestron working thread.
bool AnswerGameList(ICrestronConnection& connection, CGameInfo& game, bool crestronLog) {
    const GameState state = game.GetSnapshot();
    const CalendarTime start = game.TimeSource().LocalCalendar(state.GameStart);
    const int periods = state.PeriodCount > 1 ? state.PeriodCount - 1 : 0;
    const std::string answer = crestron_detail::Format(
        "M01010001%04d%02d%02d%02d%02d%02d%02d%02d\n", start.year, start.month, start.day,
        start.hour, start.minute, periods, state.Score1, state.Score2);
    return SendAnswer(connection, answer, crestronLog);
}

// Crestron working thread.
bool AnswerGameInfo(ICrestronConnection& connection, CGameInfo& game, bool crestronLog) {
    const GameState state = game.GetSnapshot();
    const CalendarTime start = game.TimeSource().LocalCalendar(state.GameStart);
    const int n = std::clamp(state.PeriodCount, 0, kMaxPeriodRecords);

    // Records 1 to N-1, then the game record as the N-th entry.
    std::vector<const PeriodRecord*> entries;
    for (int k = 1; k < n; ++k) entries.push_back(&state.Periods[k]);
    if (n > 0) entries.push_back(&state.Periods[0]);

    std::vector<Label> labels;
    game.CopyLabels(labels, -1);
    const CountTable counts = CountLabels(labels, n);

    std::string answer;
    auto appendHeader = [&](int part) {
        AppendFormat(answer, "M0201%02d%04d%02d%02d%02d%02d%02d%02d%02d", part, start.year,
                     start.month, start.day, start.hour, start.minute, n, state.Score1,
                     state.Score2);
    };
    auto appendEntries = [&] {
        for (const PeriodRecord* record : entries)
            AppendFormat(answer, "%02d%02d%d", record->Score1, record->Score2, record->PeriodKind);
        AppendFormat(answer, "%02d", kCrestronGroupCount);
    };

    if (9 * n + 31 <= 254) {
        appendHeader(0);
        appendEntries();
        for (int row = 0; row <= n; ++row)
            for (int group = 0; group < kCrestronGroupCount; ++group)
                AppendFormat(answer, "%03d", counts[static_cast<size_t>(row)][static_cast<size_t>(group)]);
        answer += '\n';
        return SendAnswer(connection, answer, crestronLog);
    }

    // Several lines: the list in the first, the counts spread over lines of up to 228
    // characters after the header. A line that will hold the last of the counts is part
    // "99"; the ones before it are numbered on from "01".
    constexpr int kLineBudget = 228;
    constexpr int kCountWidth = 3;
    int part = 1;
    int budget = kLineBudget - 5 * n - 2;
    int countsLeft = (n + 1) * kCrestronGroupCount;
    appendHeader(part);
    appendEntries();
    for (int row = 0; row <= n; ++row) {
        for (int group = 0; group < kCrestronGroupCount; ++group) {
            if (budget < kCountWidth) {
                answer += '\n';
                // Part numbers stay two digits and below the closing "99".
                part = countsLeft * kCountWidth > kLineBudget ? std::min(part + 1, 98) : 99;
                appendHeader(part);
                budget = kLineBudget;
            }
            AppendFormat(answer, "%03d", counts[static_cast<size_t>(row)][static_cast<size_t>(group)]);
            budget -= kCountWidth;
            --countsLeft;
        }
    }
    answer += '\n';
    return SendAnswer(connection, answer, crestronLog);
}

}  // namespace hv
