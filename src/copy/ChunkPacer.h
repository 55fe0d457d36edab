#pragma once
// The pace of a rate-limited copy: each chunk may end no earlier than one budget after
// it began, or after the previous chunk's earliest end, whichever is later. Time lost to
// a slow chunk (a disk that stalled) is never made up by running the following chunks
// faster, so no stretch of the copy goes above the rate.

#include <algorithm>
#include <chrono>

namespace hv {

class ChunkPacer {
public:
    using Clock = std::chrono::steady_clock;

    explicit ChunkPacer(std::chrono::microseconds budget) : budget_(budget) {}

    // The earliest end of the chunk that began at `chunkStart`; chunks are given in order.
    Clock::time_point Deadline(Clock::time_point chunkStart) {
        next_ = std::max(next_, chunkStart) + budget_;
        return next_;
    }

private:
    std::chrono::microseconds budget_;
    Clock::time_point next_{};
};

}  // namespace hv
