#include "game/GameInfo.h"

#include <QString>
#include <algorithm>
#include <climits>

#include "game/EventTypes.h"
#include "platform/Trace.h"

namespace hv {

std::int32_t SecondsFromYearStart(FileTime t, const Clock& clock) {
    FileTime local = 0;
    if (!clock.UtcToLocal(t, local)) return 0;
    CalendarTime yearStart;
    yearStart.year = FileTimeToCalendar(local).year;
    yearStart.month = 1;
    yearStart.day = 1;
    FileTime yearStartTime = 0;
    if (!CalendarToFileTime(yearStart, yearStartTime)) return 0;  // beyond the last full year
    const std::int64_t difference =
        static_cast<std::int64_t>(local) - static_cast<std::int64_t>(yearStartTime);
    return static_cast<std::int32_t>((difference + 4'999'999) / kFileTimeUnitsPerSecond);
}

FileTime TimeFromYearOffset(FileTime base, std::int32_t seconds, const Clock& clock) {
    FileTime local = 0;
    clock.UtcToLocal(base, local);  // a base that cannot be converted counts from 1601
    CalendarTime yearStart;
    yearStart.year = FileTimeToCalendar(local).year;
    yearStart.month = 1;
    yearStart.day = 1;
    FileTime yearStartLocal = 0;
    if (!CalendarToFileTime(yearStart, yearStartLocal)) return 0;
    // Near the end of the time range the sum does not fit: no such time.
    std::int64_t target = 0;
    if (__builtin_add_overflow(static_cast<std::int64_t>(yearStartLocal),
                               static_cast<std::int64_t>(seconds) * kFileTimeUnitsPerSecond, &target))
        return 0;
    FileTime utc = 0;
    if (target < 0 || !clock.LocalToUtc(static_cast<FileTime>(target), utc)) return 0;
    return utc;
}

FileTime TimeFromGameYearOffset(FileTime gameStart, std::int32_t seconds, const Clock& clock) {
    constexpr std::int64_t kHalfYear = 183LL * 86400 * kFileTimeUnitsPerSecond;
    const FileTime time = TimeFromYearOffset(gameStart, seconds, clock);
    // (Both times are valid here, or the first is above the range and nothing is moved.)
    if (gameStart == 0 || gameStart > kMaxFileTime || time > kMaxFileTime || seconds < 0 ||
        static_cast<std::int64_t>(gameStart) - static_cast<std::int64_t>(time) <= kHalfYear)
        return time;
    FileTime local = 0;
    if (!clock.UtcToLocal(gameStart, local)) return time;
    const int year = FileTimeToCalendar(local).year;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const std::int64_t nextYear = static_cast<std::int64_t>(seconds) + (leap ? 366 : 365) * 86400LL;
    if (nextYear > INT32_MAX) return time;
    return TimeFromYearOffset(gameStart, static_cast<std::int32_t>(nextYear), clock);
}

CGameInfo::CGameInfo(const Clock& clock) : clock_(clock) {}

void CGameInfo::Clear() {
    std::lock_guard lock(GameInfoLock);
    state_ = GameState{};
    labels_.clear();
}

void CGameInfo::SetGameStart(const CalendarTime& localTime) {
    FileTime local = 0;
    FileTime utc = 0;
    if (!CalendarToFileTime(localTime, local) || !clock_.LocalToUtc(local, utc)) utc = 0;
    std::lock_guard lock(GameInfoLock);
    state_.GameStart = utc;
}

void CGameInfo::SetGameStartTime(FileTime time) {
    std::lock_guard lock(GameInfoLock);
    state_.GameStart = time;
}

GameState CGameInfo::GetSnapshot() const {
    std::lock_guard lock(GameInfoLock);
    return state_;
}

void CGameInfo::SetLastGameTime(FileTime time) {
    std::lock_guard lock(GameInfoLock);
    state_.LastGameTime = time;
    const int last = state_.PeriodCount > 0 ? state_.PeriodCount - 1 : 0;
    state_.Periods[last].End = time;
}

void CGameInfo::SetPeriods(const PeriodRecord* periods, int count) {
    std::lock_guard lock(GameInfoLock);
    SetPeriodsLocked(periods, count);
}

void CGameInfo::SetPeriodsLocked(const PeriodRecord* periods, int count) {
    // Room for periods 1 to 98; anything beyond is dropped.
    count = std::clamp(count, 0, kMaxPeriodRecords - 1);

    PeriodRecord& game = state_.Periods[0];
    game.PeriodKind = kGameRecordKind;
    game.Score1 = 0;
    game.Score2 = 0;
    game.Start = state_.GameStart;

    state_.Score1 = 0;
    state_.Score2 = 0;
    for (int k = 1; k <= count; ++k) {
        PeriodRecord& record = state_.Periods[k];
        record.PeriodKind = periods[k - 1].PeriodKind;
        record.Score1 = periods[k - 1].Score1;
        record.Score2 = periods[k - 1].Score2;
        record.Start = periods[k - 1].Start;
        state_.Score1 = record.Score1;
        state_.Score2 = record.Score2;
    }
    for (int k = 1; k < count; ++k) state_.Periods[k].End = state_.Periods[k + 1].Start;
    state_.Periods[count].End = state_.LastGameTime;
    state_.PeriodCount = count + 1;

    AddLabel(kEventGameStart, 1, 0, state_.GameStart, 0, 0, 0, 0);
    AddLabel(kEventWarmUp, 1, 0, state_.GameStart, 0, 0, 0, 0);
    for (int i = 1; i <= count; ++i) {
        const PeriodRecord& record = state_.Periods[i];
        AddLabel(kEventPeriodStart, i, i, record.Start, record.Score1, record.Score2,
                 i < 4 ? 20 : 5, 0);
    }
}

void CGameInfo::AddLabel(int type, int number, int period, FileTime time, int score1, int score2,
                         int clockMinute, int clockSecond) {
    const std::int32_t offset = SecondsFromYearStart(time, clock_);
    auto found = std::find_if(labels_.begin(), labels_.end(), [&](const Label& label) {
        return label.Type == type && label.Number == number;
    });
    if (found != labels_.end()) {
        Label& label = *found;
        if (label.Time == time && label.Period == period && label.Offset == offset &&
            label.Score1 == score1 && label.Score2 == score2 &&
            label.ClockMinute == clockMinute && label.ClockSecond == clockSecond)
            return;
        label.Time = time;
        label.Period = period;
        label.Offset = offset;
        label.Score1 = score1;
        label.Score2 = score2;
        label.ClockMinute = clockMinute;
        label.ClockSecond = clockSecond;
        LabelsChanged.store(true);
        return;
    }
    const Label label{type, number, time, period, offset, score1, score2, clockMinute, clockSecond};
    TraceLabel("AddLabel", label);
    labels_.push_back(label);
    LabelsChanged.store(true);
}

void CGameInfo::RemoveLabel(int type, int aboveNumber) {
    std::lock_guard lock(GameInfoLock);
    for (auto it = labels_.begin(); it != labels_.end();) {
        if (it->Type == type && it->Number > aboveNumber) {
            TraceLabel("RemoveLabel", *it);
            it = labels_.erase(it);
        } else {
            ++it;
        }
    }
}

bool CGameInfo::FindLabel(int type, int number, Label& out) const {
    std::lock_guard lock(GameInfoLock);
    for (const Label& label : labels_) {
        if (label.Type == type && label.Number == number) {
            out = label;
            return true;
        }
    }
    return false;
}

void CGameInfo::CopyLabels(std::vector<Label>& out, int period) const {
    std::lock_guard lock(GameInfoLock);
    for (const Label& label : labels_)
        if (period < 0 || label.Period == period) out.push_back(label);
}

void CGameInfo::SetCameras(int count, const Guid* cameras, const Guid& audio) {
    std::lock_guard lock(GameInfoLock);
    count = std::max(count, 0);
    cameras_.assign(cameras, cameras + count);
    cameraCount_ = count;
    audioCamera_ = audio;
}

bool CGameInfo::GetCamera(int index, Guid& out) const {
    std::lock_guard lock(GameInfoLock);
    if (index < 0 || index >= cameraCount_) {
        out = Guid{};
        return false;
    }
    out = cameras_[static_cast<size_t>(index)];
    return !out.IsNull();
}

void CGameInfo::GetAudioCamera(Guid& out) const {
    std::lock_guard lock(GameInfoLock);
    out = audioCamera_;
}

void CGameInfo::SetPlayPosition(FileTime time) {
    if (time == 0) return;
    std::lock_guard lock(GameInfoLock);
    PlayPosition.store(SecondsFromYearStart(time, clock_));
}

void CGameInfo::TraceLabel(const char* operation, const Label& label) const {
    const CalendarTime t = clock_.LocalCalendar(label.Time);
    Trace(QString::asprintf(
        "----- %s[%s.%d] %04d-%02d-%02d %02d:%02d:%02d  period=%d,  score=%d:%d   OFFSET=%08d\n",
        operation, EventTypeName(label.Type).toUtf8().constData(), label.Number, t.year, t.month,
        t.day, t.hour, t.minute, t.second, label.Period, label.Score1, label.Score2,
        SecondsFromYearStart(label.Time, clock_)));
}

}  // namespace hv
