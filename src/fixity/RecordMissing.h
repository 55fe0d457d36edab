#pragma once
// --record-missing: the checksums of files that have none, taken from the archive's copy
// and added to a manifest, marked as taken from the archive, not from the recording. Each
// file goes to the nearest manifest above it; else to its game folder's; else to its own
// folder's. A checksum a copy recorded meanwhile is left as the copy wrote it.

#include <vector>

#include "fixity/ArchiveWalk.h"
#include "fixity/CheckFindings.h"

namespace hv::fixity {

class FileHasher;

// Reads the files `without` a checksum through `hasher` and records their checksums; what
// was recorded, and what could not be, goes to `results`.
void RecordMissing(int rootFd, const std::vector<ManifestPlace>& manifests, const std::vector<ListedFile>& without,
                   FileHasher& hasher, CheckResults& results);

}  // namespace hv::fixity
