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

// The game information answer, written from a snapshot of the game: a header with the
// game's start, its period count and score, the period list, and the label counts.
class GameInfoAnswer {
public:
    GameInfoAnswer(const GameState& state, const CalendarTime& start, int periodCount, const CountTable& counts)
        : state_(state), start_(start), n_(periodCount), counts_(counts) {
        // Records 1 to N-1, then the game record as the N-th entry.
        for (int k = 1; k < n_; ++k) entries_.push_back(&state_.Periods[k]);
        if (n_ > 0) entries_.push_back(&state_.Periods[0]);
    }

    // The whole answer fits one line (part "00").
    bool FitsOneLine() const { return 9 * n_ + 31 <= 254; }

    std::string OneLine() const {
        std::string answer;
        AppendHeader(answer, 0);
        AppendEntries(answer);
        for (int row = 0; row <= n_; ++row)
            for (int group = 0; group < kCrestronGroupCount; ++group) AppendCount(answer, row, group);
        answer += '\n';
        return answer;
    }

    // Several lines: the list in the first, the counts spread over lines of up to 228
    // characters after the header. A line that will hold the last of the counts is part
    // "99"; the ones before it are numbered on from "01".
    std::string SeveralLines() const {
        constexpr int kLineBudget = 228;
        constexpr int kCountWidth = 3;
        std::string answer;
        int part = 1;
        int budget = kLineBudget - 5 * n_ - 2;
        int countsLeft = (n_ + 1) * kCrestronGroupCount;
        AppendHeader(answer, part);
        AppendEntries(answer);
        for (int row = 0; row <= n_; ++row) {
            for (int group = 0; group < kCrestronGroupCount; ++group) {
                if (budget < kCountWidth) {
                    answer += '\n';
                    // Part numbers stay two digits and below the closing "99".
                    part = countsLeft * kCountWidth > kLineBudget ? std::min(part + 1, 98) : 99;
                    AppendHeader(answer, part);
                    budget = kLineBudget;
                }
                AppendCount(answer, row, group);
                budget -= kCountWidth;
                --countsLeft;
            }
        }
        answer += '\n';
        return answer;
    }

private:
    void AppendHeader(std::string& answer, int part) const {
        AppendFormat(answer, "M0201%02d%04d%02d%02d%02d%02d%02d%02d%02d", part, start_.year, start_.month,
                     start_.day, start_.hour, start_.minute, n_, state_.Score1, state_.Score2);
    }
    void AppendEntries(std::string& answer) const {
        for (const PeriodRecord* record : entries_)
            AppendFormat(answer, "%02d%02d%d", record->Score1, record->Score2, record->PeriodKind);
        AppendFormat(answer, "%02d", kCrestronGroupCount);
    }
    void AppendCount(std::string& answer, int row, int group) const {
        AppendFormat(answer, "%03d", counts_[static_cast<size_t>(row)][static_cast<size_t>(group)]);
    }

    const GameState& state_;
    const CalendarTime& start_;
    const int n_;
    const CountTable& counts_;
    std::vector<const PeriodRecord*> entries_;
};

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
    std::vector<Label> labels;
    game.CopyLabels(labels, -1);
    const CountTable counts = CountLabels(labels, n);

    const GameInfoAnswer answer(state, start, n, counts);
    return SendAnswer(connection, answer.FitsOneLine() ? answer.OneLine() : answer.SeveralLines(), crestronLog);
}

}  // namespace hv
