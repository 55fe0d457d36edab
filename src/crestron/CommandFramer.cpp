#include "crestron/CommandFramer.h"

namespace hv {

std::vector<FramedLine> CommandFramer::Feed(std::string_view bytes) {
    std::vector<FramedLine> lines;
    while (!bytes.empty()) {
        const std::size_t lf = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, lf);  // up to, not including, the LF
        if (skipping_) {
            // The rest of an overlong line: nothing of it is a command.
        } else if (carried_.size() + piece.size() > kMaxCommandBytes) {
            carried_.clear();
            skipping_ = true;
            lines.push_back({FramedLine::Kind::Overlong, {}});
        } else {
            carried_.append(piece);
        }
        if (lf == std::string_view::npos) break;  // the line goes on in the next read
        if (skipping_) {
            skipping_ = false;
        } else {
            lines.push_back({FramedLine::Kind::Command, std::move(carried_)});
        }
        carried_.clear();
        bytes.remove_prefix(lf + 1);
    }
    return lines;
}

void CommandFramer::Reset() {
    carried_.clear();
    skipping_ = false;
}

}  // namespace hv
