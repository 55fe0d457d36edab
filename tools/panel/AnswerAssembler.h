#pragma once
// Gathers the bytes Halvane sends into whole answers. An answer is one line, except the
// game and period information, which may come as lines numbered 01, 02 ... closed by the
// line numbered 99. Laid out to the letter of the protocol's line rules, game information
// may also carry its label counts on over several lines numbered 99 (they are gathered
// while the counts are short), and period information may end on a full numbered line
// (it is given out once it holds all its labels). A line that does not continue the
// answer under way closes it, so a broken sequence still comes out (and the decoder says
// what is wrong with it).

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace hv::panel {

class AnswerAssembler {
public:
    // A line this long without its LF is given out as it is.
    static constexpr std::size_t kMaxLineBytes = 64 * 1024;
    // An answer of more lines than this is given out as it is.
    static constexpr std::size_t kMaxAnswerLines = 256;
    // Larger than any answer Halvane sends: a longer one is only closed by a final line.
    static constexpr std::size_t kMaxCheckedBytes = 128 * 1024;

    // Takes the next bytes; returns the answers they complete, in order.
    std::vector<std::string> Feed(std::string_view bytes);
    // The bytes of an answer not complete yet: the lines of a multi-line answer before
    // its final line, and a line without its LF.
    std::string Pending() const { return open_ + partial_; }
    std::size_t PendingBytes() const { return open_.size() + partial_.size(); }
    // Gives out and forgets whatever is pending.
    std::string TakePending();

private:
    void TakeLine(std::string line, std::vector<std::string>& done);
    std::string TakeOpen();  // the lines of the answer under way, forgotten here

    std::string open_;  // whole lines of a multi-line answer under way
    std::size_t openLines_ = 0;
    bool finalSeen_ = false;  // the answer under way has had a final line
    std::string partial_;  // a line without its LF yet
};

}  // namespace hv::panel
