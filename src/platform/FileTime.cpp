#include "platform/FileTime.h"

#include <chrono>

namespace hv {

namespace {
using namespace std::chrono;
// Days from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kDaysFrom1601To1970 = 134'774;
constexpr std::int64_t kUnitsPerDay = 86'400LL * kFileTimeUnitsPerSecond;
}  // namespace

bool CalendarToFileTime(const CalendarTime& c, FileTime& out) {
    const year_month_day ymd{year{c.year}, month{static_cast<unsigned>(c.month)},
                             day{static_cast<unsigned>(c.day)}};
    if (c.year < 1601 || c.year > 30827 || !ymd.ok()) return false;
    if (c.hour < 0 || c.hour > 23 || c.minute < 0 || c.minute > 59 || c.second < 0 ||
        c.second > 59 || c.millisecond < 0 || c.millisecond > 999)
        return false;
    const std::int64_t days = sys_days{ymd}.time_since_epoch().count() + kDaysFrom1601To1970;
    out = static_cast<FileTime>(days * kUnitsPerDay +
                                ((c.hour * 60LL + c.minute) * 60LL + c.second) * kFileTimeUnitsPerSecond +
                                c.millisecond * kFileTimeUnitsPerMs);
    return true;
}

CalendarTime FileTimeToCalendar(FileTime t) {
    const auto days = static_cast<std::int64_t>(t / kUnitsPerDay);
    std::int64_t rest = static_cast<std::int64_t>(t % kUnitsPerDay);
    const year_month_day ymd{sys_days{std::chrono::days{days - kDaysFrom1601To1970}}};
    CalendarTime c;
    c.year = static_cast<int>(ymd.year());
    c.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
    c.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
    c.hour = static_cast<int>(rest / (3600 * kFileTimeUnitsPerSecond));
    rest %= 3600 * kFileTimeUnitsPerSecond;
    c.minute = static_cast<int>(rest / (60 * kFileTimeUnitsPerSecond));
    rest %= 60 * kFileTimeUnitsPerSecond;
    c.second = static_cast<int>(rest / kFileTimeUnitsPerSecond);
    rest %= kFileTimeUnitsPerSecond;
    c.millisecond = static_cast<int>(rest / kFileTimeUnitsPerMs);
    return c;
}

}  // namespace hv
