// The answers about a period and its labels: the period information (M0301) with the
// period's labels, and the label information (M0401). A period's label count is the one
// field whose width varies: it grows to three digits from 100 labels on and moves the
// entries along with it.
#include "AnswerKinds.h"
#include "AnswerParts.h"
#include "AnswerText.h"

namespace hv::panel::decoding {

namespace {

// "M0301", part, start, period, kind, score: the header up to the label count.
constexpr std::size_t kPeriodHeaderBytesBeforeCount = 26;
constexpr std::size_t kLabelEntryBytes = 13;

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

std::string ReadPeriodHeader(std::string_view first, std::size_t countWidth, PeriodInfoAnswer& answer) {
    FieldReader header(first, kPrefixBytes + kPartBytes);
    if (!header.Stamp(answer.start) || !header.Int(2, answer.period, "period number") ||
        !header.Int(1, answer.kind, "period kind") || !header.Int(2, answer.score1, "score") ||
        !header.Int(2, answer.score2, "score") || !header.Int(countWidth, answer.count, "label count"))
        return header.Error();
    return {};
}

// The whole label entries after the header of every line.
std::string ReadLabels(const AnswerLines& lines, std::size_t headerBytes, PeriodInfoAnswer& answer) {
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
    return {};
}

// Why the labels the lines hold are not as many as the header counts.
std::string LabelCountError(const AnswerLines& lines, const PeriodInfoAnswer& answer) {
    std::string error = Printf("the header counts %d labels, the lines hold %zu", answer.count,
                               answer.labels.size());
    // Without the final line, an answer ends only when its last numbered line is full.
    const std::string_view lastPart = lines.back().substr(kPrefixBytes, kPartBytes);
    if (lastPart != "99" && lastPart != "00")
        error += Printf(": the last line is part %s and the answer's final line (part 99) is missing",
                        std::string(lastPart).c_str());
    return error;
}

}  // namespace

std::string DecodePeriodInfo(const AnswerLines& lines, AnswerBody& body, bool& shortOfLines) {
    const std::size_t countWidth = PeriodCountWidth(lines[0]);
    const std::size_t headerBytes = kPeriodHeaderBytesBeforeCount + countWidth;
    if (auto error = CheckParts(lines, headerBytes, FinalParts::Optional); !error.empty())
        return error;
    PeriodInfoAnswer answer;
    answer.lines = static_cast<int>(lines.size());
    if (auto error = ReadPeriodHeader(lines[0], countWidth, answer); !error.empty()) return error;
    if (auto error = ReadLabels(lines, headerBytes, answer); !error.empty()) return error;
    if (answer.labels.size() != static_cast<std::size_t>(answer.count)) {
        shortOfLines = answer.labels.size() < static_cast<std::size_t>(answer.count);
        return LabelCountError(lines, answer);
    }
    body = std::move(answer);
    return {};
}

std::string DecodeLabelInfo(const AnswerLines& lines, AnswerBody& body) {
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

}  // namespace hv::panel::decoding
