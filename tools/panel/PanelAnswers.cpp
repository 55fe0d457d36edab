// Decoding the controller's answers field by field. Every field has a fixed width; the
// one exception met in practice is a period's label count, which grows to three digits
// from 100 labels on and moves the entries along with it.
#include "PanelAnswers.h"

#include <chrono>
#include <cstdio>
#include <type_traits>

namespace hv::panel {

namespace {

constexpr std::size_t kPrefixBytes = 5;   // "M0d01"
constexpr std::size_t kStampBytes = 12;   // YYYYMMDDhhmm
constexpr std::size_t kGameInfoHeaderBytes = 25;
constexpr std::size_t kPeriodHeaderBytesBeforeCount = 26;
constexpr std::size_t kLabelEntryBytes = 13;
constexpr std::size_t kCountBytes = 3;
constexpr int kFinalPart = 99;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool AllDigits(std::string_view text) {
    for (char c : text)
        if (!IsDigit(c)) return false;
    return true;
}

// The value of a run of digits (callers check them and keep it short).
long long ValueOf(std::string_view digits) {
    long long value = 0;
    for (char c : digits) value = value * 10 + (c - '0');
    return value;
}

std::string Printf(const char* format, auto... values) {
    char buffer[160];
    std::snprintf(buffer, sizeof buffer, format, values...);
    return buffer;
}

// Reads fixed-width decimal fields from the start of a line, naming the first that fails.
class FieldReader {
public:
    explicit FieldReader(std::string_view line, std::size_t position = kPrefixBytes)
        : line_(line), position_(position) {}

    bool Int(std::size_t width, int& out, const char* name) {
        long long value = 0;
        if (!Long(width, value, name)) return false;
        out = static_cast<int>(value);
        return true;
    }
    bool Long(std::size_t width, long long& out, const char* name) {
        if (!error_.empty()) return false;
        if (position_ + width > line_.size()) {
            error_ = Printf("the line ends before its %s (position %zu, %zu digits)", name,
                            position_, width);
            return false;
        }
        const std::string_view field = line_.substr(position_, width);
        if (!AllDigits(field)) {
            error_ = Printf("the %s at position %zu is not %zu digits: \"", name, position_, width) +
                     EscapeBytes(field) + "\"";
            return false;
        }
        out = ValueOf(field);
        position_ += width;
        return true;
    }
    bool Stamp(GameStamp& out) {
        const std::size_t at = position_;
        if (!Int(4, out.year, "game start") || !Int(2, out.month, "game start") ||
            !Int(2, out.day, "game start") || !Int(2, out.hour, "game start") ||
            !Int(2, out.minute, "game start"))
            return false;
        out.text = std::string(line_.substr(at, kStampBytes));
        return true;
    }
    std::size_t Position() const { return position_; }
    const std::string& Error() const { return error_; }

private:
    std::string_view line_;
    std::size_t position_;
    std::string error_;
};

struct Lines {
    std::vector<std::string_view> lines;
    std::string error;
};

Lines SplitLines(std::string_view raw) {
    Lines out;
    if (raw.empty()) {
        out.error = "no bytes";
        return out;
    }
    std::size_t start = 0;
    while (start < raw.size()) {
        const std::size_t lf = raw.find('\n', start);
        if (lf == std::string_view::npos) {
            out.error = "the answer does not end in LF";
            return out;
        }
        out.lines.push_back(raw.substr(start, lf - start));
        start = lf + 1;
    }
    return out;
}

std::string ExpectOneLine(const std::vector<std::string_view>& lines) {
    if (lines.size() == 1) return {};
    return Printf("one line expected, %zu received", lines.size());
}

std::string ExpectLength(std::string_view line, std::size_t bytes) {
    if (line.size() == bytes) return {};
    return Printf("%zu characters before the LF expected, %zu received", bytes, line.size());
}

// How a multi-line answer may end besides its one line "99".
enum class FinalParts {
    One,       // exactly one line "99"
    Run,       // one or more lines "99" (the game information's counts, laid out to the letter)
    Optional,  // one line "99", or none after a full numbered line (the period information)
};

// The part numbers of a multi-line answer: "00" alone, or "01", "02" ... and the final
// part "99" as `finals` allows. The header after the part number (`headerBytes` in all) is
// the same on every line.
std::string CheckParts(const std::vector<std::string_view>& lines, std::size_t headerBytes,
                       FinalParts finals) {
    std::vector<int> parts;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        if (line.size() < headerBytes)
            return Printf("line %zu is %zu characters long, shorter than its header of %zu", i + 1,
                          line.size(), headerBytes);
        if (line.substr(0, kPrefixBytes) != lines[0].substr(0, kPrefixBytes))
            return Printf("line %zu starts with \"", i + 1) + EscapeBytes(line.substr(0, kPrefixBytes)) +
                   "\", not as the first line";
        const std::string_view part = line.substr(kPrefixBytes, 2);
        if (!AllDigits(part)) return Printf("line %zu has no two-digit part number", i + 1);
        parts.push_back(static_cast<int>(ValueOf(part)));
        if (line.substr(kPrefixBytes + 2, headerBytes - kPrefixBytes - 2) !=
            lines[0].substr(kPrefixBytes + 2, headerBytes - kPrefixBytes - 2))
            return Printf("the header of line %zu differs from the first line's", i + 1);
    }
    if (parts[0] == 0) {
        if (lines.size() == 1) return {};
        return Printf("a one-line answer (part 00) followed by %zu more lines", lines.size() - 1);
    }
    if (parts[0] != 1) return Printf("the first line is part %02d, not 00 or 01", parts[0]);
    std::size_t i = 1;
    for (; i < parts.size() && parts[i] != kFinalPart; ++i) {
        // The numbering stops below the final part's number in a very long answer.
        const bool next = parts[i] == parts[i - 1] + 1 || (parts[i - 1] == 98 && parts[i] == 98);
        if (!next) return Printf("line %zu is part %02d after part %02d", i + 1, parts[i], parts[i - 1]);
    }
    if (i == parts.size()) {
        if (finals == FinalParts::Optional) return {};
        return Printf("the last line is part %02d: the answer's final line (part 99) is missing",
                      parts.back());
    }
    for (std::size_t k = i + 1; k < parts.size(); ++k)
        if (parts[k] != kFinalPart || finals != FinalParts::Run)
            return Printf("line %zu is part %02d after part %02d", k + 1, parts[k], parts[k - 1]);
    return {};
}

std::string DecodeGameList(const std::vector<std::string_view>& lines, AnswerBody& body) {
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

// Sets `shortOfLines` when the lines hold fewer label counts than the header calls for:
// further lines may bring the rest.
std::string DecodeGameInfo(const std::vector<std::string_view>& lines, AnswerBody& body,
                           bool& shortOfLines) {
    if (auto error = CheckParts(lines, kGameInfoHeaderBytes, FinalParts::Run); !error.empty())
        return error;
    GameInfoAnswer answer;
    answer.lines = static_cast<int>(lines.size());
    FieldReader header(lines[0], kPrefixBytes + 2);
    if (!header.Stamp(answer.start) || !header.Int(2, answer.periods, "period count") ||
        !header.Int(2, answer.score1, "score") || !header.Int(2, answer.score2, "score"))
        return header.Error();

    // The period list and the group count sit whole in the first line; the counts follow
    // there and on the further lines, never cut.
    const std::string_view first = lines[0];
    const std::size_t listBytes = 5 * static_cast<std::size_t>(answer.periods) + 2;
    FieldReader list(first, kGameInfoHeaderBytes);
    for (int i = 0; i < answer.periods; ++i) {
        PeriodEntry entry;
        if (!list.Int(2, entry.score1, "period score") || !list.Int(2, entry.score2, "period score") ||
            !list.Int(1, entry.kind, "period kind"))
            return list.Error() + Printf(" (period list entry %d)", i + 1);
        answer.entries.push_back(entry);
    }
    if (!list.Int(2, answer.groups, "group count")) return list.Error();
    if (answer.groups < 1) return "the group count is 00";

    std::string counts;
    counts.append(first.substr(kGameInfoHeaderBytes + listBytes));
    if ((first.size() - kGameInfoHeaderBytes - listBytes) % kCountBytes != 0)
        return "line 1 ends inside a label count";
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view payload = lines[i].substr(kGameInfoHeaderBytes);
        if (payload.size() % kCountBytes != 0)
            return Printf("line %zu ends inside a label count", i + 1);
        counts.append(payload);
    }
    const std::size_t rows = static_cast<std::size_t>(answer.periods) + 1;
    const std::size_t expected = rows * static_cast<std::size_t>(answer.groups) * kCountBytes;
    shortOfLines = counts.size() < expected;
    if (counts.size() != expected)
        return Printf("%zu rows of %d label counts (%zu digits) expected, %zu digits received", rows,
                      answer.groups, expected, counts.size());
    FieldReader table(counts, 0);
    for (std::size_t row = 0; row < rows; ++row) {
        std::vector<int> values(static_cast<std::size_t>(answer.groups));
        for (int& value : values)
            if (!table.Int(kCountBytes, value, "label count")) return table.Error();
        answer.counts.push_back(std::move(values));
    }
    body = std::move(answer);
    return {};
}

// The width of the label count of a period header: two digits, more from 100 on. The
// entries that follow are 13 characters each, so only one width fits the line.
std::size_t PeriodCountWidth(std::string_view line) {
    for (std::size_t width = 2; width <= 4; ++width) {
        const std::size_t header = kPeriodHeaderBytesBeforeCount + width;
        if (line.size() < header || (line.size() - header) % kLabelEntryBytes != 0) continue;
        const std::string_view count = line.substr(kPeriodHeaderBytesBeforeCount, width);
        if (width > 2 && count[0] == '0') continue;  // a wider count is never zero-padded
        return width;
    }
    return 2;
}

// Sets `shortOfLines` when the lines hold fewer labels than the header counts.
std::string DecodePeriodInfo(const std::vector<std::string_view>& lines, AnswerBody& body,
                             bool& shortOfLines) {
    const std::size_t headerBytes = kPeriodHeaderBytesBeforeCount + PeriodCountWidth(lines[0]);
    if (auto error = CheckParts(lines, headerBytes, FinalParts::Optional); !error.empty())
        return error;
    PeriodInfoAnswer answer;
    answer.lines = static_cast<int>(lines.size());
    FieldReader header(lines[0], kPrefixBytes + 2);
    if (!header.Stamp(answer.start) || !header.Int(2, answer.period, "period number") ||
        !header.Int(1, answer.kind, "period kind") || !header.Int(2, answer.score1, "score") ||
        !header.Int(2, answer.score2, "score") ||
        !header.Int(headerBytes - kPeriodHeaderBytesBeforeCount, answer.count, "label count"))
        return header.Error();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::size_t payload = lines[i].size() - headerBytes;
        if (payload % kLabelEntryBytes != 0)
            return Printf("line %zu holds %zu characters after its header, not whole 13-character "
                          "label entries",
                          i + 1, payload);
        FieldReader entries(lines[i], headerBytes);
        for (std::size_t k = 0; k < payload / kLabelEntryBytes; ++k) {
            LabelEntry label;
            if (!entries.Int(2, label.code, "label code") || !entries.Int(3, label.number, "label number") ||
                !entries.Int(2, label.score1, "label score") || !entries.Int(2, label.score2, "label score") ||
                !entries.Int(2, label.minutes, "label minutes") ||
                !entries.Int(2, label.seconds, "label seconds"))
                return entries.Error() + Printf(" (line %zu)", i + 1);
            answer.labels.push_back(label);
        }
    }
    if (answer.labels.size() != static_cast<std::size_t>(answer.count)) {
        shortOfLines = answer.labels.size() < static_cast<std::size_t>(answer.count);
        std::string error = Printf("the header counts %d labels, the lines hold %zu", answer.count,
                                   answer.labels.size());
        // Without the final line, an answer ends only when its last numbered line is full.
        const std::string_view lastPart = lines.back().substr(kPrefixBytes, 2);
        if (lastPart != "99" && lastPart != "00")
            error += Printf(": the last line is part %s and the answer's final line (part 99) is missing",
                            std::string(lastPart).c_str());
        return error;
    }
    body = std::move(answer);
    return {};
}

std::string DecodeLabelInfo(const std::vector<std::string_view>& lines, AnswerBody& body) {
    if (auto error = ExpectOneLine(lines); !error.empty()) return error;
    LabelInfoAnswer answer;
    FieldReader reader(lines[0]);
    if (!reader.Stamp(answer.start) || !reader.Int(2, answer.code, "label code") ||
        !reader.Int(3, answer.number, "label number") || !reader.Long(8, answer.seconds, "time"))
        return reader.Error();
    if (auto error = ExpectLength(lines[0], reader.Position()); !error.empty()) return error;
    body = answer;
    return {};
}

std::string DecodePlayStart(const std::vector<std::string_view>& lines, AnswerBody& body) {
    if (auto error = ExpectOneLine(lines); !error.empty()) return error;
    PlayStartAnswer answer;
    FieldReader reader(lines[0]);
    if (!reader.Stamp(answer.start)) return reader.Error();
    if (lines[0].substr(reader.Position()) != " ok")
        return "\" ok\" expected after the game start, \"" +
               EscapeBytes(lines[0].substr(reader.Position())) + "\" received";
    body = answer;
    return {};
}

std::string DecodePlayTime(const std::vector<std::string_view>& lines, AnswerBody& body) {
    if (auto error = ExpectOneLine(lines); !error.empty()) return error;
    const std::string_view line = lines[0];
    PlayTimeAnswer answer;
    if (line == "M060100000000err") {
        body = answer;
        return {};
    }
    // Eight digits, more for a position beyond them.
    std::size_t end = kPrefixBytes;
    while (end < line.size() && IsDigit(line[end])) ++end;
    const std::string_view digits = line.substr(kPrefixBytes, end - kPrefixBytes);
    if (digits.size() < 8 || digits.size() > 10 || line.substr(end) != " ok")
        return "eight digits and \" ok\", or \"00000000err\", expected after \"M0601\"";
    answer.known = true;
    answer.seconds = ValueOf(digits);
    body = answer;
    return {};
}

std::string TwoDigits(int value) { return Printf("%02d", value); }

std::string StampText(const GameStamp& stamp) {
    std::string text = Printf("%04d-%02d-%02d %02d:%02d", stamp.year, stamp.month, stamp.day,
                              stamp.hour, stamp.minute);
    const bool calendar = stamp.month >= 1 && stamp.month <= 12 && stamp.day >= 1 &&
                          stamp.day <= 31 && stamp.hour <= 23 && stamp.minute <= 59;
    if (!calendar) text += " (not a calendar time)";
    else if (stamp.year <= 1601) text += " (no game start set)";
    return text;
}

std::string ScoreText(int score1, int score2) { return Printf("%02d:%02d", score1, score2); }

std::string CodeText(int code) {
    const std::string_view name = EventNameOfCode(code);
    return TwoDigits(code) + " " + (name.empty() ? std::string("(not an event code)") : std::string(name));
}

void Field(std::string& out, std::string_view name, const std::string& value) {
    out += "  ";
    out += name;
    out.append(name.size() < 14 ? 14 - name.size() : 1, ' ');
    out += value;
    out += '\n';
}

std::string LinesText(int lines) { return lines == 1 ? "1 line" : Printf("%d lines", lines); }

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

void Describe(std::string& out, const PeriodInfoAnswer& a) {
    out += "  M0301 period information, " + LinesText(a.lines) + "\n";
    Field(out, "game start", StampText(a.start));
    Field(out, "period", TwoDigits(a.period) + "  " + KindName(a.kind));
    Field(out, "score", ScoreText(a.score1, a.score2));
    Field(out, "labels", TwoDigits(a.count));
    if (!a.labels.empty()) Field(out, "", "no.  score  clock  event");
    for (const LabelEntry& l : a.labels)
        Field(out, "", Printf("%03d  ", l.number) + ScoreText(l.score1, l.score2) + "  " +
                           Printf("%02d:%02d  ", l.minutes, l.seconds) + CodeText(l.code));
}

void Describe(std::string& out, const LabelInfoAnswer& a) {
    out += "  M0401 label information\n";
    Field(out, "game start", StampText(a.start));
    Field(out, "label", CodeText(a.code) + Printf(", number %03d", a.number));
    Field(out, "time", Printf("%08lld s from 1 January of the label's year = ", a.seconds) +
                           YearOffsetText(a.start.year, a.seconds));
}

void Describe(std::string& out, const PlayStartAnswer& a) {
    out += "  M0501 play start acknowledged (ok)\n";
    Field(out, "game start", StampText(a.start));
}

void Describe(std::string& out, const PlayTimeAnswer& a, int year) {
    out += "  M0601 playback position\n";
    if (!a.known) {
        Field(out, "position", "none (err): no play request yet");
        return;
    }
    Field(out, "position", Printf("%08lld s from 1 January of the game's year = ", a.seconds) +
                               YearOffsetText(year, a.seconds));
}

}  // namespace

int AnswerDigit(std::string_view answer) {
    if (answer.size() < kPrefixBytes || answer[0] != 'M' || answer[1] != '0' || !IsDigit(answer[2]) ||
        answer[2] == '0' || answer[3] != '0' || answer[4] != '1')
        return 0;
    return answer[2] - '0';
}

int CommandDigit(std::string_view command) {
    if (command.empty() || command[0] != 'C') return 0;
    return AnswerDigit("M" + std::string(command.substr(1, kPrefixBytes - 1)));
}

namespace {

DecodedAnswer Decode(std::string_view raw, bool& shortOfLines) {
    DecodedAnswer out;
    out.raw = std::string(raw);
    const Lines split = SplitLines(raw);
    if (!split.error.empty()) {
        out.error = split.error;
        return out;
    }
    AnswerBody body;
    std::string error;
    switch (AnswerDigit(split.lines[0])) {
    case 1: error = DecodeGameList(split.lines, body); break;
    case 2: error = DecodeGameInfo(split.lines, body, shortOfLines); break;
    case 3: error = DecodePeriodInfo(split.lines, body, shortOfLines); break;
    case 4: error = DecodeLabelInfo(split.lines, body); break;
    case 5: error = DecodePlayStart(split.lines, body); break;
    case 6: error = DecodePlayTime(split.lines, body); break;
    default: error = "not an answer: M0101 to M0601 expected at the start"; break;
    }
    if (error.empty()) out.body = std::move(body);
    else out.error = std::move(error);
    return out;
}

}  // namespace

DecodedAnswer DecodeAnswer(std::string_view raw) {
    bool shortOfLines = false;
    return Decode(raw, shortOfLines);
}

AnswerProgress ProgressOfAnswer(std::string_view raw) {
    bool shortOfLines = false;
    const DecodedAnswer decoded = Decode(raw, shortOfLines);
    if (decoded.Ok()) return AnswerProgress::Complete;
    return shortOfLines ? AnswerProgress::Short : AnswerProgress::Broken;
}

std::string DescribeAnswer(const AnswerBody& body, int gameYear) {
    std::string out;
    std::visit(
        [&out, gameYear](const auto& answer) {
            if constexpr (std::is_same_v<std::decay_t<decltype(answer)>, PlayTimeAnswer>)
                Describe(out, answer, gameYear);
            else
                Describe(out, answer);
        },
        body);
    return out;
}

std::string EscapeBytes(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\\': out += "\\\\"; break;
        default:
            if (byte >= 0x20 && byte < 0x7F) out += c;
            else out += Printf("\\x%02X", byte);
        }
    }
    return out;
}

std::string_view EventNameOfCode(int code) {
    switch (code) {
    case 11: return "fight";
    case 12: return "penalty";
    case 13: return "player enters the ice";
    case 14: return "blue line";
    case 21: return "goal";
    case 22: return "penalty shot";
    case 31: return "interesting moment";
    case 32: return "dangerous moment";
    case 33: return "warm-up";
    case 41: return "game start";
    case 42: return "game end";
    case 43: return "period start";
    case 44: return "period end";
    default: return {};
    }
}

std::string KindName(int kind) {
    switch (kind) {
    case 0: return "regular period";
    case 1: return "overtime";
    case 3: return "game record";
    default: return Printf("kind %d", kind);
    }
}

std::string YearOffsetText(int year, long long seconds) {
    using namespace std::chrono;
    const long long days = seconds / 86400;
    const long long rest = seconds % 86400;
    if (year <= 0)
        return Printf("day %lld of the year, %02lld:%02lld:%02lld", days + 1, rest / 3600,
                      rest / 60 % 60, rest % 60);
    const sys_days first{std::chrono::year{year} / January / 1};
    const year_month_day date{first + std::chrono::days{days}};
    std::string text;
    const int years = static_cast<int>(date.year()) - year;
    if (years > 0) text = Printf("+%dy ", years);
    text += Printf("%02u-%02u %02lld:%02lld:%02lld", static_cast<unsigned>(date.month()),
                   static_cast<unsigned>(date.day()), rest / 3600, rest / 60 % 60, rest % 60);
    return text;
}

}  // namespace hv::panel
