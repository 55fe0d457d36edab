#pragma once
// The archive root the program copies into now, and the one place that knows it. The frame
// records it from the settings' CopyToPath when they are loaded or applied (Record, kept in
// the frame under its lock), and it is recorded anew where a share arrived since (Now).
// Planning and the archive's game description take Now(); each planned copy carries that
// root (CopyItem::Root), and the copy worker copies an item only while its root IsCurrent()
// and only into that root. Any thread.

#include <QByteArray>
#include <QString>
#include <mutex>

#include "copy/ArchiveRoot.h"

namespace hv {

class ArchiveRootRecord {
public:
    // `recorded` is kept by the caller and guarded by `lock`; `mountTable` is the computer's
    // mount table as ArchiveRoot::Record reads it.
    ArchiveRootRecord(std::mutex& lock, ArchiveRoot& recorded, QByteArray mountTable = ArchiveRoot::kSystemMountTable)
        : lock_(lock), recorded_(recorded), mountTable_(std::move(mountTable)) {}

    // The root `path` (as the settings hold it) recorded now, for the caller to keep. Takes
    // no lock.
    ArchiveRoot Record(const QString& path) const { return ArchiveRoot::Record(path, mountTable_.constData()); }
    // The recorded root, recorded anew (and kept) when it no longer opens and is found again
    // without trading a share for the local disk (see ArchiveRoot::Renewed). Takes the lock.
    ArchiveRoot Now();
    // True when `planned` is the recorded root. The caller holds the lock.
    bool IsCurrent(const ArchiveRoot& planned) const { return planned == recorded_; }

private:
    std::mutex& lock_;
    ArchiveRoot& recorded_;
    QByteArray mountTable_;
};

}  // namespace hv
