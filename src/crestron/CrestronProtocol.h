#pragma once
// The Crestron command protocol: validation and dispatch of one command line, and the
// common send-and-log step that ends every answer. Runs on the Crestron working thread.

#include <string_view>

class QObject;

namespace hv {

class CGameInfo;
class ICrestronConnection;

// Validates `text` (the command without its LF, `length` bytes, NUL-terminated) and
// runs its handler. True when the command was valid, handled and its answer sent
// completely; false otherwise (every failure is logged; malformed commands get no answer).
bool ParseCrestronCommand(const char* text, int length, ICrestronConnection& connection,
                          QObject* window, CGameInfo& game, bool useGameTime, bool crestronLog,
                          bool playPosLog);

// Sends `answer` (ending in LF) in one call. Logs the success pair when `logFlag` is on,
// the error line and the answer always on failure.
bool SendAnswer(ICrestronConnection& connection, std::string_view answer, bool logFlag);

// A numeric field: up to `width` decimal digits from `text`, stopping at the first
// character that is not a digit; 0 when the first one is not.
int ReadDecimalField(const char* text, int width);

}  // namespace hv
