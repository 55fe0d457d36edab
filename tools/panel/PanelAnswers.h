#pragma once
// The controller's answers as the console reads them: decoded into their fields from the
// raw bytes of one complete answer (one or several LF-terminated lines), and described for
// a person. No I/O here: the program around it does the reading and printing.

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace hv::panel {

// The game start as the answers carry it: YYYYMMDDhhmm, local time, no seconds.
struct GameStamp {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    std::string text;  // the twelve digits as received
};

// M0101
struct GameListAnswer {
    int games = 0;
    GameStamp start;
    int periods = 0;
    int score1 = 0;
    int score2 = 0;
};

// One entry of the period list of M0201: the periods, then the game record.
struct PeriodEntry {
    int score1 = 0;
    int score2 = 0;
    int kind = 0;
};

// M0201
struct GameInfoAnswer {
    GameStamp start;
    int periods = 0;  // N: the list's entries, the game record included
    int score1 = 0;
    int score2 = 0;
    std::vector<PeriodEntry> entries;
    int groups = 0;
    // Rows 0 (the totals) to N, each with `groups` label counts. Rows 1 to N-1 are the
    // periods, row N the labels before the first period.
    std::vector<std::vector<int>> counts;
    int lines = 1;
};

// One label of M0301.
struct LabelEntry {
    int code = 0;
    int number = 0;
    int score1 = 0;
    int score2 = 0;
    int minutes = 0;
    int seconds = 0;
};

// M0301
struct PeriodInfoAnswer {
    GameStamp start;
    int period = 0;  // as requested
    int kind = 0;
    int score1 = 0;
    int score2 = 0;
    int count = 0;
    std::vector<LabelEntry> labels;
    int lines = 1;
};

// M0401
struct LabelInfoAnswer {
    GameStamp start;
    int code = 0;
    int number = 0;
    long long seconds = 0;  // from local 1 January of the label's year
};

// M0501
struct PlayStartAnswer {
    GameStamp start;
};

// M0601
struct PlayTimeAnswer {
    bool known = false;     // "err": no play request yet
    long long seconds = 0;  // from local 1 January of the game's year
};

using AnswerBody = std::variant<GameListAnswer, GameInfoAnswer, PeriodInfoAnswer,
                                LabelInfoAnswer, PlayStartAnswer, PlayTimeAnswer>;

struct DecodedAnswer {
    std::string raw;
    std::optional<AnswerBody> body;
    // Why the bytes are not an answer of the protocol; empty when `body` is set.
    std::string error;
    bool Ok() const { return body.has_value(); }
};

// Decodes one complete answer. Every line must end in LF; the lines of a multi-line
// answer must be numbered 01, 02 ... and end with the line numbered 99. Two layouts that
// follow the protocol's line rules to the letter are taken too: game information whose
// label counts go on over several lines numbered 99, and period information whose last
// line is a full numbered one (17 + 18k labels), without a line 99.
DecodedAnswer DecodeAnswer(std::string_view raw);

// How far the lines of one answer received so far go: Complete when they decode; Short
// when they are game or period information holding fewer label counts or labels than
// their header calls for, so that further lines may complete them; Broken otherwise.
enum class AnswerProgress { Complete, Short, Broken };
AnswerProgress ProgressOfAnswer(std::string_view raw);

// The command digit an answer (or a command) belongs to: 1 to 9 for "M0d01" ("C0d01"),
// 0 when the text does not start that way.
int AnswerDigit(std::string_view answer);
int CommandDigit(std::string_view command);

// The decoded fields, one per line, indented by two spaces; ends in LF. The playback
// position is counted in the game's year, which its answer does not carry: `gameYear` is
// the one of the last game start seen, 0 when none was.
std::string DescribeAnswer(const AnswerBody& body, int gameYear = 0);

// Bytes for a terminal: printable ASCII as it is, \n \r \t \\ and \xNN for the rest.
std::string EscapeBytes(std::string_view bytes);

// What an event code means and its group (the tens digit minus 1); an empty name for a
// code outside the table.
std::string_view EventNameOfCode(int code);
// A period record's kind: "regular period", "overtime", "game record" or "kind N".
std::string KindName(int kind);
// Seconds from local 1 January 00:00:00 of `year` as "MM-DD hh:mm:ss" (the day rolls over
// into the next year as the calendar does: "+1y 01-01 00:00:05"); without a year (0) as
// "day D of the year, hh:mm:ss".
std::string YearOffsetText(int year, long long seconds);

}  // namespace hv::panel
