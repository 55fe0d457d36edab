#pragma once
// Cuts the controller's byte stream into command lines. Every LF ends a command; bytes
// after the last LF are kept for the next read, so a command split across two reads is
// completed when its LF arrives. A line that grows past kMaxCommandBytes without an LF is
// dropped whole (up to and including its LF), so a peer cannot make the kept bytes grow.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace hv {

struct FramedLine {
    enum class Kind { Command, Overlong };
    Kind kind = Kind::Command;
    // The command without its LF (may hold any byte, NUL included); empty for Overlong.
    std::string text;
};

class CommandFramer {
public:
    // A command and its LF fit the 4096-byte receive buffer.
    static constexpr std::size_t kMaxCommandBytes = 4095;

    // Takes the next bytes of the stream; returns, in stream order, the commands they
    // complete and one Overlong entry for each line that passed the cap.
    std::vector<FramedLine> Feed(std::string_view bytes);

    // Bytes kept after the last LF (never more than kMaxCommandBytes).
    const std::string& Carried() const { return carried_; }
    // True while the rest of an overlong line is being skipped up to its LF.
    bool Skipping() const { return skipping_; }
    void Reset();

private:
    std::string carried_;
    bool skipping_ = false;
};

}  // namespace hv
