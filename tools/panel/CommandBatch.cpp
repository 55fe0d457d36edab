#include "CommandBatch.h"

#include <algorithm>

#include "PanelAnswers.h"
#include "PanelCommands.h"

namespace hv::panel {

CommandBatch::CommandBatch(std::string_view bytes) {
    std::size_t lf;
    while ((lf = bytes.find('\n')) != std::string_view::npos) {
        commands_.emplace_back(bytes.substr(0, lf));
        bytes.remove_prefix(lf + 1);
    }
    for (std::size_t i = 0; i < commands_.size(); ++i)
        if (CommandFault(commands_[i]).empty()) waiting_.push_back(i);
    anyExpected_ = !waiting_.empty();
}

const std::string* CommandBatch::Pair(std::string_view answer) {
    ++answers_;
    const int digit = AnswerDigit(answer);
    const auto own = std::find_if(waiting_.begin(), waiting_.end(), [&](std::size_t i) {
        return CommandDigit(commands_[i]) == digit;
    });
    if (digit != 0 && own != waiting_.end()) {
        skipped_.insert(skipped_.end(), waiting_.begin(), own);
        waiting_.erase(waiting_.begin(), own);
    }
    if (waiting_.empty()) return nullptr;
    const std::string* command = &commands_[waiting_.front()];
    waiting_.pop_front();
    return command;
}

const std::string* CommandBatch::FirstWaiting() const {
    return waiting_.empty() ? nullptr : &commands_[waiting_.front()];
}

void CommandBatch::DropFirstWaiting() {
    if (!waiting_.empty()) waiting_.pop_front();
}

bool CommandBatch::Waiting(std::size_t i) const {
    return std::find(waiting_.begin(), waiting_.end(), i) != waiting_.end();
}

bool CommandBatch::PassedOver(std::size_t i) const {
    return std::find(skipped_.begin(), skipped_.end(), i) != skipped_.end();
}

}  // namespace hv::panel
