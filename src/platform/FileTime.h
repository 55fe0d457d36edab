#pragma once
// Game time: a count of 100-nanosecond intervals since 1 January 1601 UTC (the form
// the suite uses on its wire and in its files). 0 means "not set".

#include <climits>
#include <cstdint>

namespace hv {

using FileTime = std::uint64_t;

constexpr std::int64_t kFileTimeUnitsPerMs = 10'000;
constexpr std::int64_t kFileTimeUnitsPerSecond = 10'000'000;
// The latest valid time: times are signed 64-bit counts on the wire of the suite, so
// anything above is refused by the conversions (as the system's own conversions do).
constexpr FileTime kMaxFileTime = static_cast<FileTime>(INT64_MAX);

// A calendar date and time without a time zone (the zone is the caller's business).
struct CalendarTime {
    int year = 0;
    int month = 0;   // 1..12
    int day = 0;     // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
    bool operator==(const CalendarTime&) const = default;
};

// Converts a calendar value to 100-ns units since 1601. False for a value that is not a
// valid calendar time (for example all zero) or lies before 1601.
bool CalendarToFileTime(const CalendarTime& calendar, FileTime& out);
// The calendar value of a 100-ns time (years 1601 to 30827).
CalendarTime FileTimeToCalendar(FileTime time);

constexpr std::uint32_t LowPart(FileTime t) { return static_cast<std::uint32_t>(t); }
constexpr std::uint32_t HighPart(FileTime t) { return static_cast<std::uint32_t>(t >> 32); }
constexpr FileTime MakeFileTime(std::uint32_t high, std::uint32_t low) {
    return (static_cast<FileTime>(high) << 32) | low;
}

}  // namespace hv
