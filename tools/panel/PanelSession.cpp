#include "PanelSession.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <vector>

#include "PanelAnswers.h"
#include "PanelCommands.h"

namespace hv::panel {

namespace {

// The lines of `bytes`, each without its LF (a last piece without LF counts as a line
// Halvane never sees whole, and is left out).
std::vector<std::string> CommandLines(std::string_view bytes) {
    std::vector<std::string> lines;
    std::size_t lf;
    while ((lf = bytes.find('\n')) != std::string_view::npos) {
        lines.emplace_back(bytes.substr(0, lf));
        bytes.remove_prefix(lf + 1);
    }
    return lines;
}

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
    if (options_.rawOnly) {
        std::fwrite(raw.data(), 1, raw.size(), out_);
    } else {
        if (note) std::fprintf(out_, "  (%s)\n", note);
        std::string_view rest = raw;
        while (!rest.empty()) {
            const std::size_t lf = rest.find('\n');
            const std::string_view line = rest.substr(0, lf);
            std::fprintf(out_, "< %s%s\n", EscapeBytes(line).c_str(),
                         lf == std::string_view::npos ? "   (no LF)" : "");
            rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
        }
    }
    std::string fault = answer.error;
    const int expected = CommandDigit(command);
    if (fault.empty() && expected != 0 && AnswerDigit(raw) != expected)
        fault = "it answers C0" + std::to_string(AnswerDigit(raw)) + "01, not this command";
    if (!fault.empty()) {
        std::fflush(out_);
        std::fprintf(err_, "halvane-panel: malformed answer to \"%s\": %s\n  raw bytes: \"%s\"\n",
                     EscapeBytes(command).c_str(), fault.c_str(), EscapeBytes(raw).c_str());
        Fail(kExitMalformed);
        return;
    }
    // The answers carry the game start: the short commands name the game by it.
    std::visit(
        [this](const auto& body) {
            if constexpr (requires { body.start; }) {
                // Before the first game the start is 1601-01-01 (no time at all).
                if (body.start.year <= 1601) return;
                gameYear_ = body.start.year;
                if (!gameIdSet_) gameId_ = body.start.text;
            }
        },
        *answer.body);
    if (!options_.rawOnly) std::fputs(DescribeAnswer(*answer.body, gameYear_).c_str(), out_);
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
    // Each line is a command of its own; Halvane answers the well-formed ones, in order,
    // and sends nothing for those it cannot answer.
    const std::vector<std::string> commands = CommandLines(bytes);
    std::deque<std::size_t> waiting;   // well-formed commands without an answer yet
    std::vector<std::size_t> skipped;  // commands a later command's answer passed over
    for (std::size_t i = 0; i < commands.size(); ++i)
        if (CommandFault(commands[i]).empty()) waiting.push_back(i);
    const bool anyExpected = !waiting.empty();

    if (!options_.rawOnly) std::fprintf(out_, "> %s\n", EscapeBytes(WithoutFinalLf(bytes)).c_str());
    std::fflush(out_);
    std::string error;
    if (!connection_.SendAll(bytes, error)) {
        std::fprintf(err_, "halvane-panel: Halvane closed the connection (%s)\n", error.c_str());
        Fail(kExitClosed);
        closed_ = true;
        return;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.answerTimeoutMs);
    std::size_t answers = 0;
    // With no well-formed command, the whole time is spent to see that nothing comes.
    while (!waiting.empty() || !anyExpected) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) break;
        std::string received;
        const auto result = connection_.Read(static_cast<int>(left), received, error);
        if (result == PanelConnection::ReadResult::Timeout) continue;
        if (result != PanelConnection::ReadResult::Data) {
            const std::string pending = assembler_.TakePending();
            std::fflush(out_);
            std::fprintf(err_, "halvane-panel: Halvane closed the connection%s%s%s\n",
                         error.empty() ? "" : " (", error.c_str(), error.empty() ? "" : ")");
            if (!pending.empty())
                std::fprintf(err_, "  bytes of an unfinished answer: \"%s\"\n", EscapeBytes(pending).c_str());
            Fail(kExitClosed);
            closed_ = true;
            return;
        }
        for (const std::string& answer : assembler_.Feed(received)) {
            ++answers;
            // The answer belongs to the first waiting command of its kind: the ones before
            // it got none. An answer of no waiting command's kind is paired with the first,
            // and said to be wrong.
            const int digit = AnswerDigit(answer);
            const auto own = std::find_if(waiting.begin(), waiting.end(), [&](std::size_t i) {
                return CommandDigit(commands[i]) == digit;
            });
            if (digit != 0 && own != waiting.end()) {
                skipped.insert(skipped.end(), waiting.begin(), own);
                waiting.erase(waiting.begin(), own);
            }
            if (waiting.empty()) {
                PrintAnswer(answer, {}, "an answer to no well-formed command");
                continue;
            }
            const std::string& command = commands[waiting.front()];
            waiting.pop_front();
            PrintAnswer(answer, command, nullptr);
        }
        std::fflush(out_);
    }
    std::fflush(out_);
    if (anyExpected && waiting.empty() && skipped.empty()) return;

    const std::string pending = assembler_.TakePending();
    if (!pending.empty()) {
        // The first command still waiting got these bytes, not a whole answer.
        std::fprintf(err_, "halvane-panel: malformed answer%s%s%s: incomplete after %d ms\n  raw bytes: \"%s\"\n",
                     waiting.empty() ? "" : " to \"", waiting.empty() ? "" : EscapeBytes(commands[waiting.front()]).c_str(),
                     waiting.empty() ? "" : "\"", options_.answerTimeoutMs, EscapeBytes(pending).c_str());
        Fail(kExitMalformed);
        if (!waiting.empty()) waiting.pop_front();
        if (waiting.empty() && skipped.empty()) return;
    } else if (!anyExpected && answers > 0) {
        return;  // Halvane answered what we thought it would refuse
    }
    // Say which command went unanswered and why that may be.
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const std::string& command = commands[i];
        const std::string fault = CommandFault(command);
        const bool passedOver = std::find(skipped.begin(), skipped.end(), i) != skipped.end();
        const bool timedOut = std::find(waiting.begin(), waiting.end(), i) != waiting.end();
        if (fault.empty() && !passedOver && !timedOut) continue;
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
