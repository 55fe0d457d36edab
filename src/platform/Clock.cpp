#include "platform/Clock.h"

#include <ctime>

namespace hv {

namespace {

// 100-ns units from 1601-01-01 to 1970-01-01.
constexpr std::uint64_t kUnixEpochAsFileTime = 116'444'736'000'000'000ULL;

class SystemClock final : public Clock {
public:
    std::uint32_t TickCountMs() const override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        const std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000U +
                                 static_cast<std::uint64_t>(ts.tv_nsec) / 1'000'000U;
        return static_cast<std::uint32_t>(ms);
    }
    FileTime UtcNow() const override {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        return kUnixEpochAsFileTime + static_cast<std::uint64_t>(ts.tv_sec) * 10'000'000ULL +
               static_cast<std::uint64_t>(ts.tv_nsec) / 100U;
    }
    std::int64_t UtcOffsetSeconds() const override {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        return local.tm_gmtoff;
    }
};

}  // namespace

namespace {
// `time` moved by `offsetSeconds`; false when either is out of range or the result falls
// outside 0 to kMaxFileTime.
bool Shift(FileTime time, std::int64_t offsetSeconds, FileTime& out) {
    std::int64_t offset = 0;
    std::int64_t shifted = 0;
    if (time > kMaxFileTime || __builtin_mul_overflow(offsetSeconds, kFileTimeUnitsPerSecond, &offset) ||
        __builtin_add_overflow(static_cast<std::int64_t>(time), offset, &shifted) || shifted < 0)
        return false;
    out = static_cast<FileTime>(shifted);
    return true;
}
}  // namespace

bool Clock::UtcToLocal(FileTime utc, FileTime& local) const {
    return Shift(utc, UtcOffsetSeconds(), local);
}

bool Clock::LocalToUtc(FileTime local, FileTime& utc) const {
    const std::int64_t offset = UtcOffsetSeconds();
    return offset != INT64_MIN && Shift(local, -offset, utc);
}

CalendarTime Clock::LocalCalendar(FileTime utc) const {
    FileTime local = 0;
    if (!UtcToLocal(utc, local)) return {};
    return FileTimeToCalendar(local);
}

const Clock& Clock::System() {
    static const SystemClock clock;
    return clock;
}

}  // namespace hv
