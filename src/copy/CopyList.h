#pragma once
// The queue of recordings to copy to the video archive, shared by the GUI thread (which
// plans copies) and the copy worker (which carries them out) under the frame's FrameLock.

#include <QByteArray>
#include <cstdint>
#include <deque>
#include <utility>

#include "copy/ArchiveRoot.h"

namespace hv {

struct CopyItem {
    CopyItem() = default;
    CopyItem(QByteArray source, QByteArray target, std::uint32_t notBefore, ArchiveRoot root = {},
             QByteArray gameFolder = {})
        : Source(std::move(source)),
          Target(std::move(target)),
          NotBefore(notBefore),
          Root(std::move(root)),
          GameFolder(std::move(gameFolder)) {}

    QByteArray Source;            // full native path of the recorded file, as listed (bytes)
    QByteArray Target;            // full native path of the archive copy, under Root
    std::uint32_t NotBefore = 0;  // tick count before which the item waits
    ArchiveRoot Root;             // the archive root it was planned under
    bool WaitsForArchive = false; // put back because the archive was full or unreachable
    // The game's archive folder (ending with a separator, Target lies under it), whose
    // checksum manifest records the copy; empty: the manifest of Target's own folder.
    QByteArray GameFolder;
};

// First in, first out.
using CopyList = std::deque<CopyItem>;

}  // namespace hv
