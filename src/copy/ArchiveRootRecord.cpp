#include "copy/ArchiveRootRecord.h"

namespace hv {

ArchiveRoot ArchiveRootRecord::Now() {
    ArchiveRoot recorded;
    {
        std::lock_guard lock(lock_);
        recorded = recorded_;
    }
    // Not there when the settings were taken (the archive is what is found there first),
    // or a share mounted over it since. The copies queued for the old record are dropped by
    // the worker, their sources untouched, and planned again (see CopyWorker): nothing in
    // hand for it is lost.
    ArchiveRoot renewed = recorded.Renewed(mountTable_.constData());
    if (renewed == recorded) return recorded;
    std::lock_guard lock(lock_);
    if (recorded_ == recorded) recorded_ = std::move(renewed);
    return recorded_;
}

}  // namespace hv
