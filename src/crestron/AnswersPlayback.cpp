// One label (C0401), the play request (C0501) and the playback position (C0601).
#include "crestron/CrestronAnswers.h"
#include "crestron/CrestronProtocol.h"
#include "game/GameInfo.h"
#include "log/DiagnosticLog.h"
#include "platform/WindowMessages.h"

namespace hv {

using crestron_detail::Format;

// Crestron working thread.
bool AnswerLabelInfo(int code, int number, ICrestronConnection& connection, CGameInfo& game,
                     QObject* window, bool crestronLog) {
    const int type = TypeOfCrestronCode(code);
    if (type < 0) {
        WriteLog(">>> !!! Halvane::ParseCrestronCommand(C0401): ERROR - unknown label type %d "
                 "!!!\n",
                 code);
        return false;
    }
    Label label;
    if (!game.FindLabel(type, number, label)) {
        WriteLog(">>> !!! Halvane::ParseCrestronCommand(C0401): ERROR - there is no label with "
                 "type %d & number %d !!!\n",
                 code, number);
        return false;
    }
    // Counted in the label's own year.
    const std::int32_t seconds = SecondsFromYearStart(label.Time, game.TimeSource());
    const GameState state = game.GetSnapshot();
    const CalendarTime start = game.TimeSource().LocalCalendar(state.GameStart);
    const std::string answer =
        Format("M0401%04d%02d%02d%02d%02d%02d%03d%08d\n", start.year, start.month, start.day,
               start.hour, start.minute, code, number, seconds);
    // The next play start is moved back by the preroll, whether or not the send succeeds.
    PostWindowMessage(window, kMsgLabelRequested, 0, 0);
    return SendAnswer(connection, answer, crestronLog);
}

// Crestron working thread.
bool StartPlayback(int camera, int speed, int start, ICrestronConnection& connection,
                   CGameInfo& game, QObject* window, bool crestronLog) {
    const GameState state = game.GetSnapshot();
    const Clock& clock = game.TimeSource();
    const CalendarTime gameStart = clock.LocalCalendar(state.GameStart);
    const std::string answer = Format("M0501%04d%02d%02d%02d%02d ok\n", gameStart.year,
                                      gameStart.month, gameStart.day, gameStart.hour,
                                      gameStart.minute);
    if (crestronLog) {
        const CalendarTime t = clock.LocalCalendar(TimeFromGameYearOffset(state.GameStart, start, clock));
        WriteLog(" >>> >>> >>> Halvane::StartPlayback: time=%04d-%02d-%02d_%02d:%02d:%02d, cam=%d, "
                 "speed=%d\n",
                 t.year, t.month, t.day, t.hour, t.minute, t.second, camera, speed);
    }
    game.PlayPosition.store(start);
    // Camera in the low 16 bits, the signed speed as a 16-bit value in the high 16 bits.
    const std::uintptr_t wParam =
        (static_cast<std::uintptr_t>(static_cast<std::uint16_t>(camera))) |
        (static_cast<std::uintptr_t>(static_cast<std::uint16_t>(static_cast<std::int16_t>(speed)))
         << 16);
    PostWindowMessage(window, kMsgPlayRequest, wParam, static_cast<std::intptr_t>(start));
    return SendAnswer(connection, answer, crestronLog);
}

// Crestron working thread.
bool PlaybackPos(ICrestronConnection& connection, CGameInfo& game, bool playPosLog) {
    const std::int32_t position = game.PlayPosition.load();
    const std::string answer =
        position < 0 ? std::string("M060100000000err\n") : Format("M0601%08d ok\n", position);
    if (playPosLog) {
        const Clock& clock = game.TimeSource();
        const GameState state = game.GetSnapshot();
        const CalendarTime t =
            clock.LocalCalendar(TimeFromGameYearOffset(state.GameStart, position, clock));
        WriteLog(" >>> >>> >>> Halvane::PlaybackPos: time=%04d-%02d-%02d_%02d:%02d:%02d\n", t.year,
                 t.month, t.day, t.hour, t.minute, t.second);
    }
    return SendAnswer(connection, answer, playPosLog);
}

}  // namespace hv
