// The answers about the game: the game list (M0101) and the game information (M0201) with
// its period list and label counts.
#include "AnswerKinds.h"
#include "AnswerParts.h"
#include "AnswerText.h"

namespace hv::panel::decoding {

namespace {

constexpr std::size_t kGameInfoHeaderBytes = 25;  // "M0201", part, start, entries, score
constexpr std::size_t kPeriodEntryBytes = 5;      // score, score, kind
constexpr std::size_t kGroupCountBytes = 2;
constexpr std::size_t kCountBytes = 3;

// The game start, the number of period list entries and the score.
std::string ReadGameInfoHeader(std::string_view first, GameInfoAnswer& answer) {
    FieldReader header(first, kPrefixBytes + kPartBytes);
    if (!header.Stamp(answer.start) || !header.Int(2, answer.periods, "period count") ||
        !header.Int(2, answer.score1, "score") || !header.Int(2, answer.score2, "score"))
        return header.Error();
    return {};
}

// The period list and the group count: they sit whole in the first line.
std::string ReadPeriodList(std::string_view first, GameInfoAnswer& answer) {
    FieldReader list(first, kGameInfoHeaderBytes);
    for (int i = 0; i < answer.periods; ++i) {
        PeriodEntry entry;
        if (!list.Int(2, entry.score1, "period score") || !list.Int(2, entry.score2, "period score") ||
            !list.Int(1, entry.kind, "period kind"))
            return list.Error() + Printf(" (period list entry %d)", i + 1);
        answer.entries.push_back(entry);
    }
    if (!list.Int(kGroupCountBytes, answer.groups, "group count")) return list.Error();
    if (answer.groups < 1) return "the group count is 00";
    return {};
}

// The digits of the label counts: they follow the group count in the first line and go
// on after the header of the further lines, never cut.
std::string GatherCounts(const AnswerLines& lines, const GameInfoAnswer& answer, std::string& counts) {
    const std::string_view first = lines[0];
    const std::size_t listBytes =
        kPeriodEntryBytes * static_cast<std::size_t>(answer.periods) + kGroupCountBytes;
    counts.append(first.substr(kGameInfoHeaderBytes + listBytes));
    if ((first.size() - kGameInfoHeaderBytes - listBytes) % kCountBytes != 0)
        return "line 1 ends inside a label count";
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view payload = lines[i].substr(kGameInfoHeaderBytes);
        if (payload.size() % kCountBytes != 0)
            return Printf("line %zu ends inside a label count", i + 1);
        counts.append(payload);
    }
    return {};
}

// Rows 0 (the totals) to N of `groups` counts each, from digits that hold them exactly.
std::string ReadCountTable(std::string_view counts, std::size_t rows, GameInfoAnswer& answer) {
    FieldReader table(counts, 0);
    for (std::size_t row = 0; row < rows; ++row) {
        std::vector<int> values(static_cast<std::size_t>(answer.groups));
        for (int& value : values)
            if (!table.Int(kCountBytes, value, "label count")) return table.Error();
        answer.counts.push_back(std::move(values));
    }
    return {};
}

// The label counts as a table: a column per group, a row per period list entry.
void DescribeCounts(std::string& out, const GameInfoAnswer& a) {
    std::string heading;
    for (int g = 0; g < a.groups; ++g) heading += Printf("  %2dx", g + 1);
    Field(out, "label counts", heading.substr(2));
    for (std::size_t row = 0; row < a.counts.size(); ++row) {
        std::string values;
        for (int count : a.counts[row]) values += Printf("  %03d", count);
        const std::string name = row == 0 ? std::string("  all")
                                 : row + 1 == a.counts.size() ? std::string("  before 1st")
                                                              : Printf("  period %zu", row);
        Field(out, name, values.substr(2));
    }
}

}  // namespace

std::string DecodeGameList(const AnswerLines& lines, AnswerBody& body) {
    if (auto error = ExpectOneLine(lines); !error.empty()) return error;
    GameListAnswer answer;
    FieldReader reader(lines[0]);
    if (!reader.Int(4, answer.games, "game count") || !reader.Stamp(answer.start) ||
        !reader.Int(2, answer.periods, "period count") || !reader.Int(2, answer.score1, "score") ||
        !reader.Int(2, answer.score2, "score"))
        return reader.Error();
    if (auto error = ExpectLength(lines[0], reader.Position()); !error.empty()) return error;
    body = answer;
    return {};
}

std::string DecodeGameInfo(const AnswerLines& lines, AnswerBody& body, bool& shortOfLines) {
    if (auto error = CheckParts(lines, kGameInfoHeaderBytes, FinalParts::Run); !error.empty())
        return error;
    GameInfoAnswer answer;
    answer.lines = static_cast<int>(lines.size());
    if (auto error = ReadGameInfoHeader(lines[0], answer); !error.empty()) return error;
    if (auto error = ReadPeriodList(lines[0], answer); !error.empty()) return error;
    std::string counts;
    if (auto error = GatherCounts(lines, answer, counts); !error.empty()) return error;
    const std::size_t rows = static_cast<std::size_t>(answer.periods) + 1;
    const std::size_t expected = rows * static_cast<std::size_t>(answer.groups) * kCountBytes;
    shortOfLines = counts.size() < expected;
    if (counts.size() != expected)
        return Printf("%zu rows of %d label counts (%zu digits) expected, %zu digits received", rows,
                      answer.groups, expected, counts.size());
    if (auto error = ReadCountTable(counts, rows, answer); !error.empty()) return error;
    body = std::move(answer);
    return {};
}

void Describe(std::string& out, const GameListAnswer& a) {
    out += "  M0101 game list\n";
    Field(out, "games", Printf("%04d", a.games));
    Field(out, "game start", StampText(a.start));
    Field(out, "periods", TwoDigits(a.periods));
    Field(out, "score", ScoreText(a.score1, a.score2));
}

void Describe(std::string& out, const GameInfoAnswer& a) {
    out += "  M0201 game information, " + LinesText(a.lines) + "\n";
    Field(out, "game start", StampText(a.start));
    Field(out, "entries", TwoDigits(a.periods) + " (the periods, then the game record)");
    Field(out, "score", ScoreText(a.score1, a.score2));
    for (std::size_t i = 0; i < a.entries.size(); ++i) {
        const PeriodEntry& e = a.entries[i];
        const bool game = i + 1 == a.entries.size();
        Field(out, game ? std::string("game") : Printf("period %zu", i + 1),
              ScoreText(e.score1, e.score2) + "  " + KindName(e.kind));
    }
    Field(out, "groups", TwoDigits(a.groups));
    DescribeCounts(out, a);
}

}  // namespace hv::panel::decoding
