#include "AnswerAssembler.h"

#include "PanelAnswers.h"

namespace hv::panel {

namespace {

bool IsMultiLineKind(int digit) { return digit == 2 || digit == 3; }

// The part number of a game or period information line, -1 for any other line.
int PartOf(std::string_view line) {
    if (!IsMultiLineKind(AnswerDigit(line)) || line.size() < 7) return -1;
    const char tens = line[5];
    const char ones = line[6];
    if (tens < '0' || tens > '9' || ones < '0' || ones > '9') return -1;
    return (tens - '0') * 10 + (ones - '0');
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
                if (!open_.empty()) done.push_back(TakePending());
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
        // Only a line of the same kind with a part number after 01 continues the answer.
        const bool continues = part > 1 && line.compare(0, 5, open_, 0, 5) == 0;
        if (!continues || openLines_ >= kMaxAnswerLines) {
            done.push_back(open_);
            open_.clear();
            openLines_ = 0;
        }
    }
    if (part >= 1 && part <= 98) {
        open_ += line;
        ++openLines_;
        return;
    }
    if (!open_.empty()) {
        open_ += line;  // the final part
        line.swap(open_);
        open_.clear();
        openLines_ = 0;
    }
    done.push_back(std::move(line));
}

std::string AnswerAssembler::TakePending() {
    std::string pending = open_ + partial_;
    open_.clear();
    openLines_ = 0;
    partial_.clear();
    return pending;
}

}  // namespace hv::panel
