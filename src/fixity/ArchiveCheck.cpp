#include "fixity/ArchiveCheck.h"

#include <fcntl.h>

#include <cerrno>
#include <utility>

#include "fixity/ArchiveWalk.h"
#include "fixity/FileCheck.h"
#include "fixity/FileHasher.h"
#include "fixity/ManifestCheck.h"
#include "fixity/RecordMissing.h"
#include "platform/FileSystem.h"

namespace hv::fixity {

ArchiveCheck::ArchiveCheck(CheckOptions options) : options_(std::move(options)) {}

int ArchiveCheck::ExitCode() const {
    const CheckSummary& summary = results_.Summary;
    if (!ran_ || rootError_ != 0) return kCheckFailed;
    if (summary.Changed + summary.Missing > 0) return kCheckDamage;
    if (summary.Errors > 0) return kCheckFailed;
    if (summary.NoChecksum > 0) return kCheckOnlyNoChecksum;
    return kCheckGood;
}

bool ArchiveCheck::Run(const ProgressSink& progress) {
    ran_ = true;
    results_.Sink = progress;
    const fs::UniqueFd root(fs::OpenFolderAt(AT_FDCWD, options_.Root.constData(), true));
    if (!root.Valid()) {
        rootError_ = errno != 0 ? errno : ENOENT;
        return false;
    }
    const ArchiveListing listing = WalkArchive(root.Get(), options_.Since, results_);
    results_.Summary.Manifests = static_cast<int>(listing.Manifests.size());
    CheckFiles(root.Get(), listing);
    results_.Finish();
    return true;
}

void ArchiveCheck::CheckFiles(int rootFd, const ArchiveListing& listing) {
    FileHasher hasher(options_.MaxRateMiBps, results_);
    FileCheck fileCheck(rootFd, hasher, results_);
    ManifestCheck manifests(rootFd, listing.Manifests, results_);
    const std::vector<NamedFile> named = manifests.LookUpNamed();
    const std::vector<ListedFile> without = manifests.FilesWithout(listing.Files);

    CheckProgress& progress = results_.Progress;
    progress.FilesTotal = named.size() + (options_.RecordMissing ? without.size() : 0);
    for (const NamedFile& file : named) progress.BytesTotal += file.Size;
    if (options_.RecordMissing)
        for (const ListedFile& file : without) progress.BytesTotal += file.Size;
    results_.Tell();

    for (const NamedFile& file : named) fileCheck.Check(file);
    if (options_.RecordMissing)
        RecordMissing(rootFd, listing.Manifests, without, hasher, results_);
    else
        manifests.LookAgain(without, fileCheck);
}

}  // namespace hv::fixity
