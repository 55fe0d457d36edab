// The answers about playback: the acknowledgement of a play request (M0501) and the
// playback position (M0601).
#include "AnswerKinds.h"
#include "AnswerText.h"

namespace hv::panel::decoding {

std::string DecodePlayStart(const AnswerLines& lines, AnswerBody& body) {
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

std::string DecodePlayTime(const AnswerLines& lines, AnswerBody& body) {
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

void Describe(std::string& out, const PlayStartAnswer& a) {
    out += "  M0501 play start acknowledged (ok)\n";
    Field(out, "game start", StampText(a.start));
}

void Describe(std::string& out, const PlayTimeAnswer& a, int gameYear) {
    out += "  M0601 playback position\n";
    if (!a.known) {
        Field(out, "position", "none (err): no play request yet");
        return;
    }
    Field(out, "position", Printf("%08lld s from 1 January of the game's year = ", a.seconds) +
                               YearOffsetText(gameYear, a.seconds));
}

}  // namespace hv::panel::decoding
