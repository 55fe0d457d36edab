#pragma once
// Reading the archive's files through SHA-256 for a check. Reading is paced to a rate
// limit, and what was read is dropped from the page cache after each file
// (POSIX_FADV_DONTNEED: also the pages of it that were cached before the check), so that
// a check of a whole season does not push out what the machine is using. Each read is
// counted in the check's progress and figures, and told.

#include <QByteArray>
#include <cstdint>
#include <vector>

#include "fixity/CheckFindings.h"

namespace hv::fixity {

class Sha256;

class FileHasher {
public:
    // `maxRateMiBps` 0: no limit.
    FileHasher(double maxRateMiBps, CheckResults& results);

    // Reads `path` (under the root `rootFd`, through no link; nothing but a regular file)
    // through the hash; the digest, or false with *error.
    bool Hash(int rootFd, const QByteArray& path, QByteArray& digest, int* error);

private:
    // Reads the open file `fd` to its end into `hash`; false with *error.
    bool ReadThrough(int fd, Sha256& hash, int* error);
    // Waits as long as the rate limit asks after `bytes` more were read.
    void Pace(std::uint64_t bytes);

    double maxRateMiBps_;
    CheckResults& results_;
    std::vector<char> buffer_;
    std::int64_t paceStartNs_ = 0;
    std::uint64_t pacedBytes_ = 0;
};

}  // namespace hv::fixity
