#pragma once
// Time sources: the 32-bit millisecond tick, the UTC clock and the UTC offset in force
// now. Everything that reads time takes a Clock so that tests can set it.

#include <cstdint>

#include "platform/FileTime.h"

namespace hv {

class Clock {
public:
    virtual ~Clock() = default;

    // Milliseconds from a monotonic clock, wrapping at 2^32 like the system tick count.
    // Compare two ticks by their signed 32-bit difference (TickDiffMs).
    virtual std::uint32_t TickCountMs() const = 0;
    // The current UTC time in 100-ns units since 1601.
    virtual FileTime UtcNow() const = 0;
    // Local time minus UTC, in seconds, as in force at this moment. Every local-time
    // conversion uses this value, also for past and future times.
    virtual std::int64_t UtcOffsetSeconds() const = 0;

    // Local <-> UTC with the offset in force now. False (and out untouched) when the
    // result would fall before 1601.
    bool UtcToLocal(FileTime utc, FileTime& local) const;
    bool LocalToUtc(FileTime local, FileTime& utc) const;
    // The local calendar time of a UTC time (zero calendar when it cannot be converted).
    CalendarTime LocalCalendar(FileTime utc) const;
    CalendarTime LocalNow() const { return LocalCalendar(UtcNow()); }

    // The process's real clock.
    static const Clock& System();
};

constexpr std::int32_t TickDiffMs(std::uint32_t later, std::uint32_t earlier) {
    return static_cast<std::int32_t>(later - earlier);
}

}  // namespace hv
