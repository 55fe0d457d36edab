#pragma once
// The answers to the controller's queries, built from the game model. All of them run on
// the Crestron working thread; each ends with SendAnswer and returns its result.

#include <cstdint>
#include <string>

#include "platform/FileTime.h"

class QObject;

namespace hv {

class CGameInfo;
class Clock;
class ICrestronConnection;

// The controller's two-digit code of an event type index, 0 for an index outside 0..12.
int CrestronCodeOfType(int type);
// The event type index of a controller code, -1 when the code is not in the table.
int TypeOfCrestronCode(int code);
// A label group (the code's tens digit minus 1), -1 for an index outside 0..12.
int CrestronGroupOfType(int type);

constexpr int kCrestronGroupCount = 4;
// Rows of the label count table: the totals row 0 and period numbers up to 99.
constexpr int kCrestronCountRows = 100;

// C0101
bool AnswerGameList(ICrestronConnection& connection, CGameInfo& game, bool crestronLog);
// C0201
bool AnswerGameInfo(ICrestronConnection& connection, CGameInfo& game, bool crestronLog);
// C0301
bool AnswerPeriodInfo(int period, bool useGameTime, ICrestronConnection& connection,
                      CGameInfo& game, bool crestronLog);
// C0401; posts WM_USER+2 to `window` before sending.
bool AnswerLabelInfo(int code, int number, ICrestronConnection& connection, CGameInfo& game,
                     QObject* window, bool crestronLog);
// C0501; sets the play position and posts WM_USER+1 to `window` before sending.
bool StartPlayback(int camera, int speed, int start, ICrestronConnection& connection,
                   CGameInfo& game, QObject* window, bool crestronLog);
// C0601
bool PlaybackPos(ICrestronConnection& connection, CGameInfo& game, bool playPosLog);

namespace crestron_detail {
// printf into a string / onto its end.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
void AppendFormat(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
}  // namespace crestron_detail

}  // namespace hv
