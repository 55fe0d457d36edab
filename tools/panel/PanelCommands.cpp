#include "PanelCommands.h"

#include <charconv>
#include <cstdio>
#include <optional>
#include <vector>

#include "PanelAnswers.h"

namespace hv::panel {

namespace {

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        const std::size_t start = at;
        while (at < line.size() && line[at] != ' ' && line[at] != '\t') ++at;
        if (at > start) words.push_back(line.substr(start, at - start));
    }
    return words;
}

bool ReadInt(std::string_view word, long long low, long long high, long long& out) {
    if (!word.empty() && word[0] == '+') word.remove_prefix(1);
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), out);
    return error == std::errc() && end == word.data() + word.size() && out >= low && out <= high;
}

// C escapes in raw text: \n \r \t \\ and \xNN.
bool Unescape(std::string_view text, std::string& out, std::string& error) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) {
            error = "a lone \\ at the end (write \\\\ for a backslash)";
            return false;
        }
        switch (text[i]) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case '\\': out += '\\'; break;
        case 'x': {
            unsigned value = 0;
            const char* begin = text.data() + i + 1;
            const char* end = text.data() + std::min(text.size(), i + 3);
            const auto [stop, fault] = std::from_chars(begin, end, value, 16);
            if (fault != std::errc() || stop != end || end - begin != 2) {
                error = "\\x takes two hexadecimal digits";
                return false;
            }
            out += static_cast<char>(value);
            i += 2;
            break;
        }
        default:
            error = "unknown escape \\" + EscapeBytes(text.substr(i, 1));
            return false;
        }
    }
    return true;
}

PanelRequest Invalid(std::string error) {
    PanelRequest request;
    request.kind = PanelRequest::Kind::Invalid;
    request.error = std::move(error);
    return request;
}

PanelRequest Send(std::string bytes) {
    PanelRequest request;
    request.kind = PanelRequest::Kind::Send;
    request.bytes = std::move(bytes);
    request.bytes += '\n';
    return request;
}

struct ValueRange {
    const char* name;
    long long low;
    long long high;
};

// The values of a short command, checked against their ranges.
bool ReadValues(const std::vector<std::string_view>& words, std::initializer_list<ValueRange> ranges,
                std::vector<long long>& values, std::string& error) {
    const std::string usage = [&] {
        std::string text(words[0]);
        for (const ValueRange& range : ranges) text += std::string(" ") + range.name;
        return text;
    }();
    if (words.size() != ranges.size() + 1) {
        error = "usage: " + usage;
        return false;
    }
    std::size_t i = 1;
    for (const ValueRange& range : ranges) {
        long long value = 0;
        if (!ReadInt(words[i], range.low, range.high, value)) {
            error = std::string(range.name) + " must be a whole number from " + std::to_string(range.low) +
                    " to " + std::to_string(range.high) + " (usage: " + usage + ")";
            return false;
        }
        values.push_back(value);
        ++i;
    }
    return true;
}

std::string Format(const char* format, auto... values) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, values...);
    return buffer;
}

bool IsName(std::string_view word, std::initializer_list<std::string_view> names) {
    for (std::string_view name : names)
        if (word == name) return true;
    return false;
}

// A short command: a command for Halvane built from the values typed after its name.
// Nothing when `words` name none of them.
std::optional<PanelRequest> ShortCommand(const std::vector<std::string_view>& words, const std::string& id) {
    const std::string_view name = words[0];
    std::vector<long long> v;
    std::string error;
    if (IsName(name, {"list", "games"})) {
        if (!ReadValues(words, {}, v, error)) return Invalid(error);
        return Send("C01010000");
    }
    if (IsName(name, {"game", "info"})) {
        if (!ReadValues(words, {}, v, error)) return Invalid(error);
        return Send("C0201" + id);
    }
    if (IsName(name, {"period"})) {
        if (!ReadValues(words, {{"PERIOD", 0, 99}}, v, error)) return Invalid(error);
        return Send("C0301" + id + Format("%02lld", v[0]));
    }
    if (IsName(name, {"label"})) {
        if (!ReadValues(words, {{"CODE", 0, 99}, {"NUMBER", 0, 999}}, v, error)) return Invalid(error);
        return Send("C0401" + id + Format("%02lld%03lld", v[0], v[1]));
    }
    if (IsName(name, {"play"})) {
        if (!ReadValues(words, {{"SECONDS", 0, 99'999'999}, {"CAMERA", 0, 99}, {"SPEED", -99, 99}}, v,
                        error))
            return Invalid(error);
        return Send("C0501" + id + Format("%08lld%02lld%c%02lld", v[0], v[1], v[2] < 0 ? '-' : '+',
                                          v[2] < 0 ? -v[2] : v[2]));
    }
    if (IsName(name, {"pos", "position", "time"})) {
        if (!ReadValues(words, {}, v, error)) return Invalid(error);
        return Send("C0601");
    }
    return std::nullopt;
}

// "id YYYYMMDDhhmm": the game identifier of the short commands from now on.
PanelRequest GameIdCommand(const std::vector<std::string_view>& words) {
    if (words.size() != 2 || words[1].size() != 12 ||
        words[1].find_first_not_of("0123456789") != std::string_view::npos)
        return Invalid("usage: id YYYYMMDDhhmm (twelve digits)");
    PanelRequest request;
    request.kind = PanelRequest::Kind::SetGameId;
    request.gameId = std::string(words[1]);
    return request;
}

// "raw TEXT": everything after "raw " exactly, escapes read.
PanelRequest RawCommand(std::string_view line) {
    const std::size_t at = line.find("raw") + 3;
    const std::string_view text = at < line.size() ? line.substr(at + 1) : std::string_view();
    std::string bytes, error;
    if (!Unescape(text, bytes, error)) return Invalid("raw: " + error);
    return Send(std::move(bytes));
}

}  // namespace

PanelRequest ReadRequest(std::string_view line, std::string_view gameId) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    const std::vector<std::string_view> words = Words(line);
    if (words.empty() || words[0][0] == '#') return {};
    const std::string_view name = words[0];
    if (auto request = ShortCommand(words, std::string(gameId))) return *request;
    if (IsName(name, {"id"})) return GameIdCommand(words);
    if (IsName(name, {"raw"})) return RawCommand(line);
    if (IsName(name, {"help", "?"})) return {PanelRequest::Kind::Help, {}, {}, {}};
    if (IsName(name, {"quit", "exit"})) return {PanelRequest::Kind::Quit, {}, {}, {}};
    // Anything else goes to Halvane as it was typed.
    return Send(std::string(line));
}

std::string CommandFault(std::string_view command) {
    if (command.size() < 5) return Format("it is %zu characters long, less than 5", command.size());
    if (command[0] != 'C') return "it does not start with C";
    if (command[1] != '0' || command[3] != '0' || command[4] != '1')
        return "it does not start with C0d01";
    static constexpr std::size_t kLengths[] = {0, 9, 17, 19, 22, 30, 5};
    const int digit = command[2] - '0';
    if (digit < 1 || digit > 6) return "C0" + EscapeBytes(command.substr(2, 1)) + "01 is not a command";
    if (command.size() != kLengths[digit])
        return Format("C0%d01 must be %zu characters long, it is %zu", digit, kLengths[digit],
                      command.size());
    return {};
}

std::string_view CommandHelp() {
    return "Commands (the game identifier is the last game start seen, or set with \"id\"):\n"
           "  list                       C0101  the game list\n"
           "  game                       C0201  the game with its periods and label counts\n"
           "  period PERIOD              C0301  one period (1 to 99) with its labels\n"
           "  label CODE NUMBER          C0401  one label: its event code and number\n"
           "  play SECONDS CAMERA SPEED  C0501  play from SECONDS after 1 January of the game's\n"
           "                                    year on CAMERA at SPEED (negative: backwards)\n"
           "  pos                        C0601  the playback position\n"
           "  id YYYYMMDDhhmm            the game identifier for the commands above\n"
           "  raw TEXT                   TEXT as it is, with \\r \\n \\t \\\\ \\xNN; then LF\n"
           "  C0601 (any other text)     sent as it is, then LF\n"
           "  help, quit\n"
           "Event codes: 11 fight, 12 penalty, 13 player enters the ice, 14 blue line, 21 goal,\n"
           "22 penalty shot, 31 interesting moment, 32 dangerous moment, 33 warm-up,\n"
           "41 game start, 42 game end, 43 period start, 44 period end.\n";
}

}  // namespace hv::panel
