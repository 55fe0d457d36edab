#include "fixity/FileHasher.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "fixity/Sha256.h"
#include "platform/FileSystem.h"

namespace hv::fixity {

namespace {

constexpr std::size_t kReadChunk = 1'048'576;

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Opens `path` under the root for reading, through no link, when it is a regular file;
// not valid (with *error) otherwise.
fs::UniqueFd OpenRegularFile(int rootFd, const QByteArray& path, int* error) {
    fs::UniqueFd in(fs::OpenBeneath(rootFd, path, O_RDONLY | O_NOCTTY | O_NONBLOCK));
    struct stat st{};
    if (!in.Valid() || ::fstat(in.Get(), &st) != 0) {
        *error = errno;
        return fs::UniqueFd();
    }
    if (!S_ISREG(st.st_mode)) {
        *error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return fs::UniqueFd();
    }
    return in;
}

}  // namespace

FileHasher::FileHasher(double maxRateMiBps, CheckResults& results)
    : maxRateMiBps_(maxRateMiBps), results_(results), buffer_(kReadChunk) {}

bool FileHasher::Hash(int rootFd, const QByteArray& path, QByteArray& digest, int* error) {
    const fs::UniqueFd in = OpenRegularFile(rootFd, path, error);
    if (!in.Valid()) return false;
    (void)::posix_fadvise(in.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    Sha256 hash;
    const bool read = ReadThrough(in.Get(), hash, error);
    // What was read for the check is not kept in the page cache at the expense of others
    // (its pages go, also those that were cached before the check).
    (void)::posix_fadvise(in.Get(), 0, 0, POSIX_FADV_DONTNEED);
    ++results_.Progress.FilesDone;
    results_.Tell();
    if (!read) return false;
    digest = hash.FinalHex();
    return true;
}

bool FileHasher::ReadThrough(int fd, Sha256& hash, int* error) {
    while (true) {
        const ssize_t n = ::read(fd, buffer_.data(), buffer_.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = errno;
            return false;
        }
        if (n == 0) return true;
        const auto bytes = static_cast<std::uint64_t>(n);
        hash.Update(buffer_.data(), bytes);
        results_.Progress.BytesDone += bytes;
        results_.Summary.BytesRead += bytes;
        Pace(bytes);
        results_.Tell();
    }
}

void FileHasher::Pace(std::uint64_t bytes) {
    if (maxRateMiBps_ <= 0) return;
    const std::int64_t now = NowNs();
    if (pacedBytes_ == 0) paceStartNs_ = now;
    pacedBytes_ += bytes;
    const double bytesPerNs = maxRateMiBps_ * 1'048'576.0 / 1e9;
    const std::int64_t due = paceStartNs_ + static_cast<std::int64_t>(static_cast<double>(pacedBytes_) / bytesPerNs);
    if (due > now) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(due - now));
    } else if (now - due > 1'000'000'000) {
        // Behind by more than a second (a slow disk): the lost time is not made up by a burst.
        pacedBytes_ = 0;
    }
}

}  // namespace hv::fixity
