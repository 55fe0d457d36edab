#include "PanelSession.h"

#include <chrono>

#include "PanelCommands.h"

namespace hv::panel {

namespace {

// Why Halvane may have sent nothing back to `command`, whose fault (CommandFault) is
// `fault`.
std::string WhyNoAnswer(std::string_view command, const std::string& fault) {
    if (!fault.empty()) return "Halvane answers nothing to a malformed command: " + fault;
    const int digit = CommandDigit(command);
    if (digit == 3 || digit == 4)
        return "Halvane sends nothing when it cannot answer, such as for a label or period it "
               "does not have; its log says why";
    // The game list and information, a play request and the position are always answered.
    return "Halvane always answers it: no answer in time means Halvane is busy or hung, or "
           "the program on this port is not Halvane";
}

std::string WithoutFinalLf(std::string_view bytes) {
    if (!bytes.empty() && bytes.back() == '\n') bytes.remove_suffix(1);
    return std::string(bytes);
}

// The answer's lines after "<", escaped, with `note` above them.
void PrintRawLines(std::FILE* out, std::string_view raw, const char* note) {
    if (note) std::fprintf(out, "  (%s)\n", note);
    while (!raw.empty()) {
        const std::size_t lf = raw.find('\n');
        const std::string_view line = raw.substr(0, lf);
        std::fprintf(out, "< %s%s\n", EscapeBytes(line).c_str(),
                     lf == std::string_view::npos ? "   (no LF)" : "");
        raw.remove_prefix(lf == std::string_view::npos ? raw.size() : lf + 1);
    }
}

// Why `answer` is not a well-formed answer to `command` (none: any answer); empty when it is.
std::string AnswerFault(const DecodedAnswer& answer, std::string_view command) {
    if (!answer.error.empty()) return answer.error;
    const int expected = CommandDigit(command);
    if (expected != 0 && AnswerDigit(answer.raw) != expected)
        return "it answers C0" + std::to_string(AnswerDigit(answer.raw)) + "01, not this command";
    return {};
}

}  // namespace

PanelSession::PanelSession(PanelConnection& connection, const PanelOptions& options, std::FILE* out,
                           std::FILE* err)
    : connection_(connection), options_(options), out_(out), err_(err) {
    gameIdSet_ = !options.gameId.empty();
    gameId_ = gameIdSet_ ? options.gameId : std::string(kNoGameId);
}

void PanelSession::Fail(int code) {
    if (exitCode_ == kExitOk) exitCode_ = code;
}

void PanelSession::Close() {
    Fail(kExitClosed);
    closed_ = true;
}

bool PanelSession::Handle(std::string_view line) {
    if (closed_) return false;
    const PanelRequest request = ReadRequest(line, gameId_);
    switch (request.kind) {
    case PanelRequest::Kind::Nothing: return true;
    case PanelRequest::Kind::Help: std::fputs(CommandHelp().data(), out_); return true;
    case PanelRequest::Kind::Quit: return false;
    case PanelRequest::Kind::SetGameId:
        gameId_ = request.gameId;
        gameIdSet_ = true;
        return true;
    case PanelRequest::Kind::Invalid:
        std::fprintf(err_, "halvane-panel: %s\n", request.error.c_str());
        Fail(kExitUsage);
        return true;
    case PanelRequest::Kind::Send: Exchange(request.bytes); return !closed_;
    }
    return true;
}

void PanelSession::PrintAnswer(const std::string& raw, std::string_view command, const char* note) {
    const DecodedAnswer answer = DecodeAnswer(raw);
    if (options_.rawOnly) std::fwrite(raw.data(), 1, raw.size(), out_);
    else PrintRawLines(out_, raw, note);
    if (const std::string fault = AnswerFault(answer, command); !fault.empty()) {
        std::fflush(out_);
        std::fprintf(err_, "halvane-panel: malformed answer to \"%s\": %s\n  raw bytes: \"%s\"\n",
                     EscapeBytes(command).c_str(), fault.c_str(), EscapeBytes(raw).c_str());
        Fail(kExitMalformed);
        return;
    }
    RememberGame(*answer.body);
    if (!options_.rawOnly) std::fputs(DescribeAnswer(*answer.body, gameYear_).c_str(), out_);
}

// The answers carry the game start: the short commands name the game by it.
void PanelSession::RememberGame(const AnswerBody& body) {
    std::visit(
        [this](const auto& answer) {
            if constexpr (requires { answer.start; }) {
                // Before the first game the start is 1601-01-01 (no time at all).
                if (answer.start.year <= 1601) return;
                gameYear_ = answer.start.year;
                if (!gameIdSet_) gameId_ = answer.start.text;
            }
        },
        body);
}

void PanelSession::PrintLateAnswers() {
    for (;;) {
        std::string bytes, error;
        if (connection_.Read(0, bytes, error) != PanelConnection::ReadResult::Data) return;
        for (const std::string& answer : assembler_.Feed(bytes))
            PrintAnswer(answer, {}, "a late answer to an earlier command");
    }
}

void PanelSession::Exchange(const std::string& bytes) {
    PrintLateAnswers();
    CommandBatch batch(bytes);
    if (!options_.rawOnly) std::fprintf(out_, "> %s\n", EscapeBytes(WithoutFinalLf(bytes)).c_str());
    std::fflush(out_);
    std::string error;
    if (!connection_.SendAll(bytes, error)) {
        std::fprintf(err_, "halvane-panel: Halvane closed the connection (%s)\n", error.c_str());
        Close();
        return;
    }
    if (AwaitAnswers(batch)) ReportUnanswered(batch);
}

bool PanelSession::AwaitAnswers(CommandBatch& batch) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(options_.answerTimeoutMs);
    // With no well-formed command, the whole time is spent to see that nothing comes.
    while (batch.AnyWaiting() || !batch.AnyExpected()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        std::string received, error;
        const auto result = connection_.Read(static_cast<int>(left), received, error);
        if (result == PanelConnection::ReadResult::Timeout) continue;
        if (result != PanelConnection::ReadResult::Data) {
            ReportClosed(error);
            return false;
        }
        for (const std::string& answer : assembler_.Feed(received)) {
            if (const std::string* command = batch.Pair(answer)) PrintAnswer(answer, *command, nullptr);
            else PrintAnswer(answer, {}, "an answer to no well-formed command");
        }
        std::fflush(out_);
    }
    std::fflush(out_);
    return true;
}

void PanelSession::ReportClosed(const std::string& error) {
    const std::string pending = assembler_.TakePending();
    std::fflush(out_);
    std::fprintf(err_, "halvane-panel: Halvane closed the connection%s%s%s\n", error.empty() ? "" : " (",
                 error.c_str(), error.empty() ? "" : ")");
    if (!pending.empty())
        std::fprintf(err_, "  bytes of an unfinished answer: \"%s\"\n", EscapeBytes(pending).c_str());
    Close();
}

void PanelSession::ReportUnanswered(CommandBatch& batch) {
    if (batch.AllAnswered()) return;
    if (const std::string pending = assembler_.TakePending(); !pending.empty()) {
        ReportIncomplete(batch, pending);
        if (batch.NoneLeft()) return;
    } else if (!batch.AnyExpected() && batch.Answers() > 0) {
        return;  // Halvane answered what we thought it would refuse
    }
    ReportNoAnswer(batch);
}

// The first command still waiting got `pending`, not a whole answer.
void PanelSession::ReportIncomplete(CommandBatch& batch, const std::string& pending) {
    const std::string* command = batch.FirstWaiting();
    const std::string to = command ? " to \"" + EscapeBytes(*command) + "\"" : std::string();
    std::fprintf(err_, "halvane-panel: malformed answer%s: incomplete after %d ms\n  raw bytes: \"%s\"\n",
                 to.c_str(), options_.answerTimeoutMs, EscapeBytes(pending).c_str());
    Fail(kExitMalformed);
    batch.DropFirstWaiting();
}

// Says which command went unanswered and why that may be.
void PanelSession::ReportNoAnswer(const CommandBatch& batch) {
    const std::vector<std::string>& commands = batch.Commands();
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const std::string& command = commands[i];
        const std::string fault = CommandFault(command);
        const bool passedOver = batch.PassedOver(i);
        if (fault.empty() && !passedOver && !batch.Waiting(i)) continue;
        if (passedOver)
            std::fprintf(err_, "halvane-panel: no answer to \"%s\": the next answer was a later command's",
                         EscapeBytes(command).c_str());
        else
            std::fprintf(err_, "halvane-panel: no answer to \"%s\" within %d ms", EscapeBytes(command).c_str(),
                         options_.answerTimeoutMs);
        std::fprintf(err_, " (%s)\n", WhyNoAnswer(command, fault).c_str());
    }
    if (commands.empty())
        std::fprintf(err_, "halvane-panel: no LF was sent, so Halvane has no command to answer\n");
    Fail(kExitNoAnswer);
}

}  // namespace hv::panel
