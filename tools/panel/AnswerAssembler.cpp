#include "AnswerAssembler.h"

#include "AnswerParts.h"
#include "PanelAnswers.h"

namespace hv::panel {

namespace {

using decoding::kFinalPart;
using decoding::kPartBytes;
using decoding::kPrefixBytes;

bool IsMultiLineKind(int digit) { return digit == 2 || digit == 3; }

// The part number of a game or period information line, -1 for any other line.
int PartOf(std::string_view line) {
    if (!IsMultiLineKind(AnswerDigit(line)) || line.size() < kPrefixBytes + kPartBytes) return -1;
    const std::string_view part = line.substr(kPrefixBytes, kPartBytes);
    return decoding::AllDigits(part) ? static_cast<int>(decoding::ValueOf(part)) : -1;
}

}  // namespace

std::vector<std::string> AnswerAssembler::Feed(std::string_view bytes) {
    std::vector<std::string> done;
    while (!bytes.empty()) {
        const std::size_t lf = bytes.find('\n');
        if (lf == std::string_view::npos) {
            partial_.append(bytes);
            if (partial_.size() >= kMaxLineBytes) {
                std::string line;
                line.swap(partial_);
                if (!open_.empty()) done.push_back(TakeOpen());
                done.push_back(std::move(line));
            }
            break;
        }
        partial_.append(bytes.substr(0, lf + 1));
        bytes.remove_prefix(lf + 1);
        std::string line;
        line.swap(partial_);
        TakeLine(std::move(line), done);
    }
    return done;
}

void AnswerAssembler::TakeLine(std::string line, std::vector<std::string>& done) {
    const int part = PartOf(line);
    if (!open_.empty()) {
        // Only a line of the same kind with a part number after 01 continues the answer;
        // after a final line, only another final line (more label counts).
        const bool continues = part > 1 && line.compare(0, kPrefixBytes, open_, 0, kPrefixBytes) == 0 &&
                               (!finalSeen_ || part == kFinalPart);
        if (!continues || openLines_ >= kMaxAnswerLines) done.push_back(TakeOpen());
    }
    if (open_.empty() && (part < 1 || part == kFinalPart)) {
        done.push_back(std::move(line));  // a one-line answer, or a final line alone
        return;
    }
    open_ += line;
    ++openLines_;
    finalSeen_ = finalSeen_ || part == kFinalPart;
    // Whether the lines so far make the whole answer; an answer larger than any Halvane
    // sends is not looked at again and again.
    const AnswerProgress progress =
        open_.size() <= kMaxCheckedBytes ? ProgressOfAnswer(open_) : AnswerProgress::Broken;
    if (part == kFinalPart) {
        // The final line closes the answer, unless the game information's label counts
        // are still short: then they go on over further final lines.
        const bool countsGoOn = progress == AnswerProgress::Short && AnswerDigit(open_) == 2;
        if (!countsGoOn) done.push_back(TakeOpen());
    } else if (progress == AnswerProgress::Complete) {
        done.push_back(TakeOpen());  // the period information's last full line, without a "99"
    }
}

std::string AnswerAssembler::TakeOpen() {
    std::string answer;
    answer.swap(open_);
    openLines_ = 0;
    finalSeen_ = false;
    return answer;
}

std::string AnswerAssembler::TakePending() {
    std::string pending = TakeOpen() + partial_;
    partial_.clear();
    return pending;
}

}  // namespace hv::panel
