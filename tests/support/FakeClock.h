#pragma once
// A clock that tests set by hand: tick, UTC time and UTC offset. It counts how often the
// tick was read, so that a test can wait until a thread has looked at the clock again.

#include <atomic>

#include "platform/Clock.h"

namespace hv::test {

class FakeClock final : public Clock {
public:
    std::uint32_t TickCountMs() const override {
        ++tickReads;
        return tick.load();
    }
    FileTime UtcNow() const override { return now.load(); }
    std::int64_t UtcOffsetSeconds() const override { return offsetSeconds.load(); }

    // Sets the UTC time from a UTC calendar value.
    void SetUtc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                int millisecond = 0) {
        FileTime t = 0;
        CalendarToFileTime({year, month, day, hour, minute, second, millisecond}, t);
        now = t;
    }

    std::atomic<std::uint32_t> tick{1000};
    std::atomic<FileTime> now{0};
    std::atomic<std::int64_t> offsetSeconds{0};
    mutable std::atomic<int> tickReads{0};
};

// A UTC 100-ns time from calendar parts (no zone).
inline FileTime At(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                   int millisecond = 0) {
    FileTime t = 0;
    CalendarToFileTime({year, month, day, hour, minute, second, millisecond}, t);
    return t;
}

}  // namespace hv::test
