// The front of the answer decoder: it cuts an answer into its lines and hands them to the
// decoder of the kind its first line names. The kinds are decoded and described in
// GameAnswers.cpp, PeriodAnswers.cpp and PlaybackAnswers.cpp.
#include "PanelAnswers.h"

#include <type_traits>

#include "AnswerKinds.h"

namespace hv::panel {

using namespace decoding;

namespace {

// Decodes with the decoder of the answer's kind; sets `shortOfLines` when game or period
// information holds fewer entries than its header calls for.
DecodedAnswer Decode(std::string_view raw, bool& shortOfLines) {
    DecodedAnswer out;
    out.raw = std::string(raw);
    const SplitAnswer split = SplitLines(raw);
    if (!split.error.empty()) {
        out.error = split.error;
        return out;
    }
    const AnswerLines& lines = split.lines;
    AnswerBody body;
    std::string error;
    switch (AnswerDigit(lines[0])) {
    case 1: error = DecodeGameList(lines, body); break;
    case 2: error = DecodeGameInfo(lines, body, shortOfLines); break;
    case 3: error = DecodePeriodInfo(lines, body, shortOfLines); break;
    case 4: error = DecodeLabelInfo(lines, body); break;
    case 5: error = DecodePlayStart(lines, body); break;
    case 6: error = DecodePlayTime(lines, body); break;
    default: error = "not an answer: M0101 to M0601 expected at the start"; break;
    }
    if (error.empty()) out.body = std::move(body);
    else out.error = std::move(error);
    return out;
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

}  // namespace hv::panel
