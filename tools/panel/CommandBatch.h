#pragma once
// The command lines sent together in one exchange, and which answer belongs to which.
// Halvane answers the well-formed commands in order and sends nothing for those it cannot
// answer, so an answer belongs to the first waiting command of its kind: the waiting ones
// before it were passed over. An answer of no waiting command's kind is paired with the
// first waiting command (and the console says it is wrong).

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace hv::panel {

class CommandBatch {
public:
    // `bytes` as sent: each line is a command of its own (a last piece without LF is a
    // line Halvane never sees whole, and is left out).
    explicit CommandBatch(std::string_view bytes);

    const std::vector<std::string>& Commands() const { return commands_; }
    // Whether any line is a well-formed command, which Halvane answers.
    bool AnyExpected() const { return anyExpected_; }
    bool AnyWaiting() const { return !waiting_.empty(); }
    // Every well-formed command got its answer, none was passed over.
    bool AllAnswered() const { return anyExpected_ && waiting_.empty() && skipped_.empty(); }
    bool NoneLeft() const { return waiting_.empty() && skipped_.empty(); }
    std::size_t Answers() const { return answers_; }

    // The command `answer` belongs to, which waits no more; nullptr when no command waits.
    const std::string* Pair(std::string_view answer);
    // The first command still waiting, nullptr when none is; Drop gives up on it.
    const std::string* FirstWaiting() const;
    void DropFirstWaiting();

    // Whether command `i` still waits for its answer, or was passed over by a later one's.
    bool Waiting(std::size_t i) const;
    bool PassedOver(std::size_t i) const;

private:
    std::vector<std::string> commands_;
    std::deque<std::size_t> waiting_;   // well-formed commands without an answer yet
    std::vector<std::size_t> skipped_;  // commands a later command's answer passed over
    bool anyExpected_ = false;
    std::size_t answers_ = 0;
};

}  // namespace hv::panel
