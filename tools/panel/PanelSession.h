#pragma once
// One console session over an open connection: each input line becomes a command, its
// answer is gathered, printed raw and decoded, and what went wrong is said on the error
// stream with the bytes that came.

#include <cstdio>
#include <string>
#include <string_view>

#include "AnswerAssembler.h"
#include "CommandBatch.h"
#include "PanelAnswers.h"
#include "PanelConnection.h"

namespace hv::panel {

// The program's exit codes, also listed by --help.
enum PanelExit : int {
    kExitOk = 0,
    kExitUsage = 1,      // a bad option or command
    kExitNoConnection = 2,
    kExitNoAnswer = 3,   // a command got no answer in time
    kExitMalformed = 4,  // an answer that is not one of the protocol, or a broken one
    kExitClosed = 5,     // Halvane closed the connection
};

struct PanelOptions {
    std::string host = "127.0.0.1";
    std::string port = "1025";
    int answerTimeoutMs = 3000;
    int connectTimeoutMs = 5000;
    std::string gameId;  // empty: the last game start seen
    bool rawOnly = false;
};

class PanelSession {
public:
    PanelSession(PanelConnection& connection, const PanelOptions& options, std::FILE* out,
                 std::FILE* err);

    // Handles one input line; false when the session ends (quit, or the connection is gone).
    bool Handle(std::string_view line);
    // The code of the first failure, kExitOk when there was none.
    int ExitCode() const { return exitCode_; }

private:
    // Sends the command lines of `bytes`, prints their answers and says what went wrong.
    void Exchange(const std::string& bytes);
    // Prints answers until every well-formed command has one or the time is up; false
    // when the connection closed meanwhile.
    bool AwaitAnswers(CommandBatch& batch);
    void PrintAnswer(const std::string& raw, std::string_view command, const char* note);
    void PrintLateAnswers();
    void RememberGame(const AnswerBody& body);
    void ReportClosed(const std::string& error);
    void ReportUnanswered(CommandBatch& batch);
    void ReportIncomplete(CommandBatch& batch, const std::string& pending);
    void ReportNoAnswer(const CommandBatch& batch);
    void Fail(int code);
    void Close();

    PanelConnection& connection_;
    PanelOptions options_;
    std::FILE* out_;
    std::FILE* err_;
    AnswerAssembler assembler_;
    std::string gameId_;
    bool gameIdSet_ = false;
    int gameYear_ = 0;
    int exitCode_ = kExitOk;
    bool closed_ = false;
};

}  // namespace hv::panel
