#pragma once
// The referee console's event types. The index is a label's Type.

#include <QString>

namespace hv {

constexpr int kEventTypeCount = 13;

enum EventType : int {
    kEventFight = 0,
    kEventPenalty = 1,
    kEventPlayerEnters = 2,
    kEventBlueLine = 3,
    kEventGoal = 4,
    kEventPenaltyShot = 5,
    kEventInteresting = 6,
    kEventDangerous = 7,
    kEventGameStart = 8,
    kEventGameEnd = 9,
    kEventPeriodStart = 10,
    kEventPeriodEnd = 11,
    kEventWarmUp = 12,
};

// The names the referee console uses, and how many of their characters are compared
// when the console's configured names are matched.
QString EventTypeName(int index);
int EventTypePrefixLength(int index);

}  // namespace hv
