#include "crestron/CrestronProtocol.h"

#include "crestron/CrestronAnswers.h"
#include "crestron/CrestronConnection.h"
#include "log/DiagnosticLog.h"

namespace hv {

namespace {

// What a command handler gets: the command text (its length already checked) and where
// the answer goes.
struct CommandCall {
    const char* text;
    ICrestronConnection& connection;
    QObject* window;
    CGameInfo& game;
    bool useGameTime;
    bool crestronLog;
    bool playPosLog;
};

enum class Echo { None, CrestronLog, PlayPosLog };

struct CommandEntry {
    char digit;        // position 2
    const char* name;  // as in the log
    int length;
    Echo echo;
    bool (*handler)(const CommandCall&);
};

// Field positions of the commands.
constexpr int kParamsAt = 17;  // after "C0x01" and the 12 characters of the game id

bool HandleGameList(const CommandCall& c) {
    return AnswerGameList(c.connection, c.game, c.crestronLog);
}

bool HandleGameInfo(const CommandCall& c) {
    return AnswerGameInfo(c.connection, c.game, c.crestronLog);
}

bool HandlePeriodInfo(const CommandCall& c) {
    const int period = ReadDecimalField(c.text + kParamsAt, 2);
    return AnswerPeriodInfo(period, c.useGameTime, c.connection, c.game, c.crestronLog);
}

bool HandleLabelInfo(const CommandCall& c) {
    const int code = ReadDecimalField(c.text + kParamsAt, 2);
    const int number = ReadDecimalField(c.text + kParamsAt + 2, 3);
    return AnswerLabelInfo(code, number, c.connection, c.game, c.window, c.crestronLog);
}

bool HandlePlayStart(const CommandCall& c) {
    const int start = ReadDecimalField(c.text + kParamsAt, 8);
    const int camera = ReadDecimalField(c.text + 25, 2);
    const bool negative = c.text[27] == '-';
    const int magnitude = ReadDecimalField(c.text + 28, 2);
    const int speed = negative ? -magnitude : magnitude;
    return StartPlayback(camera, speed, start, c.connection, c.game, c.window, c.crestronLog);
}

bool HandlePlayTime(const CommandCall& c) { return PlaybackPos(c.connection, c.game, c.playPosLog); }

// The command set: one entry per command digit.
constexpr CommandEntry kCommands[] = {
    {'1', "eCrReqGameList", 9, Echo::None, HandleGameList},
    {'2', "eCrReqGameInfo", 17, Echo::CrestronLog, HandleGameInfo},
    {'3', "eCrReqPeriodInfo", 19, Echo::CrestronLog, HandlePeriodInfo},
    {'4', "eCrReqLabelInfo", 22, Echo::CrestronLog, HandleLabelInfo},
    {'5', "eCrReqPlayStart", 30, Echo::CrestronLog, HandlePlayStart},
    {'6', "eCrReqPlayTime", 5, Echo::PlayPosLog, HandlePlayTime},
};

const CommandEntry* FindCommand(char digit) {
    for (const CommandEntry& entry : kCommands)
        if (entry.digit == digit) return &entry;
    return nullptr;
}

}  // namespace

int ReadDecimalField(const char* text, int width) {
    int value = 0;
    for (int i = 0; i < width && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10 + (text[i] - '0');
    return value;
}

// Crestron working thread.
bool ParseCrestronCommand(const char* text, int length, ICrestronConnection& connection,
                          QObject* window, CGameInfo& game, bool useGameTime, bool crestronLog,
                          bool playPosLog) {
    if (length < 5) {
        WriteLog(">>> !!! Halvane::ParseCrestronCommand: WRONG LENGTH = %d (<5) !!!\n", length);
        return false;
    }
    if (text[0] != 'C') {
        WriteLog(">>> !!! Halvane::ParseCrestronCommand: WRONG COMMAND START %c (must be C) !!!\n",
                 text[0]);
        return false;
    }
    if (text[1] != '0' || text[3] != '0' || text[4] != '1') {
        WriteLog(">>> !!! Halvane::ParseCrestronCommand: WRONG SUBCOMMAND ID = C%cx%c%c (must be "
                 "C0x01) !!!\n",
                 text[1], text[3], text[4]);
        return false;
    }
    const CommandEntry* command = FindCommand(text[2]);
    if (command == nullptr) {
        WriteLog(">>> !!! Halvane::ParseCrestronCommand() : UNKNOWN COMMAND C0%c01 !!!\n", text[2]);
        return false;
    }
    if (length != command->length) {
        WriteLog(">>> !!! Halvane::ParseCrestronCommand(%s) : wrong command size %d (must be %d) "
                 "!!!\n",
                 command->name, length, command->length);
        return false;
    }
    const bool echo = (command->echo == Echo::CrestronLog && crestronLog) ||
                      (command->echo == Echo::PlayPosLog && playPosLog);
    if (echo) WriteLog(">>> Halvane::ParseCrestronCommand:'%s'\n", text);
    return command->handler(
        CommandCall{text, connection, window, game, useGameTime, crestronLog, playPosLog});
}

// Crestron working thread.
bool SendAnswer(ICrestronConnection& connection, std::string_view answer, bool logFlag) {
    const int size = static_cast<int>(answer.size());
    const SendResult result = connection.Send(answer.data(), answer.size());
    // The answer is logged as text; it never holds a NUL.
    const std::string text(answer);
    if (result.sent == static_cast<long>(answer.size())) {
        if (logFlag) {
            WriteLog(">>> +++ Halvane::SendAnswer(size=%d) SUCCESS +++\n", size);
            WriteLog("                     Answer='%s'\n", text.c_str());
        }
        return true;
    }
    WriteLog(">>> --- Halvane::SendAnswer(size=%d, res=%d) ERROR = %d\n", size,
             static_cast<int>(result.sent), result.error);
    WriteLog("                     Answer='%s'\n", text.c_str());
    return false;
}

}  // namespace hv
