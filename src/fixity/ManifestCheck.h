#pragma once
// The manifests' side of a check: every file they name, looked up in the archive; the
// listed files they do not name; and of those, the ones whose line came while the check
// ran (looked up again in their manifests before they are reported without a checksum).

#include <QByteArray>
#include <QSet>
#include <optional>
#include <vector>

#include "fixity/ArchiveWalk.h"
#include "fixity/CheckFindings.h"
#include "fixity/FileCheck.h"

namespace hv::fixity {

class ManifestCheck {
public:
    ManifestCheck(int rootFd, const std::vector<ManifestPlace>& manifests, CheckResults& results);

    // The files the readable manifests name that are there to be read; those that are not
    // are reported (missing, or unreadable).
    std::vector<NamedFile> LookUpNamed();
    // The listed files no manifest named when looked up: without a checksum. Those under a
    // manifest that cannot be read, or has lines that cannot, may be named there: they are
    // counted as not checked instead.
    std::vector<ListedFile> FilesWithout(const std::vector<ListedFile>& files);
    // The files without a checksum, looked up again in their manifests: a line that has
    // come meanwhile (a copy again takes the earlier copy's line out before its file takes
    // the name, and writes its own after) has its file checked by `files`; the others are
    // reported without a checksum.
    void LookAgain(const std::vector<ListedFile>& without, FileCheck& files);

private:
    // The file `line` of `place` names, looked up under the root; nothing when it is not
    // there to be read (reported).
    std::optional<NamedFile> LookUp(const ManifestPlace& place, const ManifestLine& line);
    // Checks `file` against a line for it in a manifest above it now; false when none has one.
    bool CheckWithLineNow(const ListedFile& file, const QSet<QByteArray>& manifestFolders, FileCheck& files);

    int rootFd_;
    const std::vector<ManifestPlace>& manifests_;
    CheckResults& results_;
    std::vector<QByteArray> named_;  // the paths the manifests name, sorted
};

}  // namespace hv::fixity
