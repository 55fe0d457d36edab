// The words and numbers the console writes answers in, and the bytes it cannot write as
// they are.
#include "AnswerText.h"

#include <chrono>

#include "AnswerFields.h"

namespace hv::panel {

namespace decoding {

void Field(std::string& out, std::string_view name, const std::string& value) {
    out += "  ";
    out += name;
    out.append(name.size() < 14 ? 14 - name.size() : 1, ' ');
    out += value;
    out += '\n';
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

std::string LinesText(int lines) { return lines == 1 ? "1 line" : Printf("%d lines", lines); }

}  // namespace decoding

using decoding::Printf;

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
