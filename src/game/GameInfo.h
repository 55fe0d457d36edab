#pragma once
// CGameInfo: the program's picture of the current game. Written on the GUI thread,
// read on the Crestron thread through copies taken under GameInfoLock.

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <vector>

#include "platform/Clock.h"
#include "platform/FileTime.h"
#include "platform/Guid.h"

namespace hv {

constexpr int kMaxPeriodRecords = 99;  // record 0 is the game record, 1..98 the periods
constexpr int kGameRecordKind = 3;

struct PeriodRecord {
    std::int32_t PeriodKind = 0;  // 3 game record, 0 periods 1-3, 1 overtime
    std::int32_t Score1 = 0;
    std::int32_t Score2 = 0;
    FileTime Start = 0;
    FileTime End = 0;
};

// The fixed-size part of the model, always copied whole.
struct GameState {
    FileTime GameStart = 0;
    FileTime LastGameTime = 0;
    std::int32_t Score1 = 0;
    std::int32_t Score2 = 0;
    std::int32_t PeriodCount = 0;  // valid records, the game record included
    PeriodRecord Periods[kMaxPeriodRecords];
};

struct Label {
    std::int32_t Type = 0;    // event type index 0..12
    std::int32_t Number = 0;  // within its type, from 1
    FileTime Time = 0;
    std::int32_t Period = 0;  // 0 before the first period
    std::int32_t Offset = 0;  // SecondsFromYearStart(Time)
    std::int32_t Score1 = 0;
    std::int32_t Score2 = 0;
    std::int32_t ClockMinute = 0;
    std::int32_t ClockSecond = 0;
};

// Whole seconds from local 1 January 00:00:00 of t's local year (rounded to nearest,
// an exact half going down).
std::int32_t SecondsFromYearStart(FileTime t, const Clock& clock);
// The UTC time `seconds` (signed) after local 1 January 00:00:00.000 of the local year of
// the UTC time `base`; local conversions use the offset in force now. 0 when the result
// would fall before 1601.
FileTime TimeFromYearOffset(FileTime base, std::int32_t seconds, const Clock& clock);
// The game time the controller means by `seconds` from the start of the game's year. The
// controller is told label times counted from the label's own year, so in a game that runs
// over New Year a time (0 or more) that would lie more than half a year before the game
// start is one of the following year.
FileTime TimeFromGameYearOffset(FileTime gameStart, std::int32_t seconds, const Clock& clock);

class CGameInfo {
public:
    explicit CGameInfo(const Clock& clock = Clock::System());

    // Zeroes the game state and removes every label; cameras, PlayPosition and
    // LabelsChanged stay.
    void Clear();
    // localTime is a local calendar time; an invalid one (all zero) sets GameStart to 0.
    void SetGameStart(const CalendarTime& localTime);
    void SetGameStartTime(FileTime time);
    GameState GetSnapshot() const;
    void SetLastGameTime(FileTime time);
    // periods[0..count-1] are periods 1..count; at most kMaxPeriodRecords - 1 are used.
    void SetPeriods(const PeriodRecord* periods, int count);

    // The caller holds GameInfoLock.
    void AddLabel(int type, int number, int period, FileTime time, int score1, int score2,
                  int clockMinute, int clockSecond);
    void RemoveLabel(int type, int aboveNumber);
    bool FindLabel(int type, int number, Label& out) const;
    // Appends copies in model order: all labels when period < 0, else that period's.
    void CopyLabels(std::vector<Label>& out, int period) const;

    void SetCameras(int count, const Guid* cameras, const Guid& audio);
    bool GetCamera(int index, Guid& out) const;
    void GetAudioCamera(Guid& out) const;
    int GetCameraCount() const { return cameraCount_; }  // GUI thread only

    void SetPlayPosition(FileTime time);

    const Clock& TimeSource() const { return clock_; }

    mutable std::mutex GameInfoLock;
    // Seconds from the start of the game's year; -1 when there is none.
    std::atomic<std::int32_t> PlayPosition{-1};
    // Set whenever a label is added or changed; readers clear it with exchange(false).
    std::atomic<bool> LabelsChanged{false};

private:
    void SetPeriodsLocked(const PeriodRecord* periods, int count);
    void TraceLabel(const char* operation, const Label& label) const;

    const Clock& clock_;
    GameState state_;
    std::vector<Guid> cameras_;
    int cameraCount_ = 0;
    Guid audioCamera_;
    std::list<Label> labels_;
};

}  // namespace hv
