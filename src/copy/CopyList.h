#pragma once
// The queue of recordings to copy to the video archive, shared by the GUI thread (which
// plans copies) and the copy worker (which carries them out) under the frame's FrameLock.

#include <QString>
#include <cstdint>
#include <deque>

namespace hv {

struct CopyItem {
    QString Source;               // full path of the recorded file
    QString Target;               // full path of the archive copy
    std::uint32_t NotBefore = 0;  // tick count before which the item waits
};

// First in, first out.
using CopyList = std::deque<CopyItem>;

}  // namespace hv
