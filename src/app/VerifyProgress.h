#pragma once
// The progress line of `Halvane --verify-archive` on a terminal (files, bytes, rate, time
// left), rewritten in place a few times a second; nothing when the stream is not a terminal.

#include <chrono>
#include <cstdio>

#include "fixity/CheckFindings.h"

namespace hv::fixity {

class ProgressLine {
public:
    explicit ProgressLine(std::FILE* stream);

    void Show(const CheckProgress& progress);
    // Clears the line before the report.
    void End();

private:
    using SteadyClock = std::chrono::steady_clock;

    std::FILE* stream_;
    bool shown_;
    bool written_ = false;
    SteadyClock::time_point start_ = SteadyClock::now();
    SteadyClock::time_point last_{};
};

}  // namespace hv::fixity
