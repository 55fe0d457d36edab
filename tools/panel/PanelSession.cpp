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
    // Each line is a command of its own; Halvane answers the well-formed ones, in order.
    std::deque<std::string> waiting;
    for (const std::string& command : CommandLines(bytes))
        if (CommandFault(command).empty()) waiting.push_back(command);
    const std::vector<std::string> commands = CommandLines(bytes);

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
    std::size_t answered = 0;
    // With no well-formed command, the whole time is spent to see that nothing comes.
    const std::size_t expected = waiting.size();
    while (answered < expected || expected == 0) {
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
            const bool asked = answered < expected;
            const std::string command = asked ? waiting.front() : std::string();
            if (asked) waiting.pop_front();
            PrintAnswer(answer, command, asked ? nullptr : "an answer to no well-formed command");
            ++answered;
        }
        std::fflush(out_);
    }
    if (answered >= expected && expected > 0) return;

    std::fflush(out_);
    const std::string pending = assembler_.TakePending();
    if (!pending.empty()) {
        std::fprintf(err_, "halvane-panel: malformed answer: incomplete after %d ms\n  raw bytes: \"%s\"\n",
                     options_.answerTimeoutMs, EscapeBytes(pending).c_str());
        Fail(kExitMalformed);
        return;
    }
    if (expected == 0 && answered > 0) return;  // Halvane answered what we thought it would refuse
    // Say which command went unanswered and, when Halvane refuses it, why.
    for (const std::string& command : commands) {
        const std::string fault = CommandFault(command);
        const bool unanswered = !fault.empty() || std::find(waiting.begin(), waiting.end(), command) != waiting.end();
        if (!unanswered) continue;
        std::fprintf(err_, "halvane-panel: no answer to \"%s\" within %d ms", EscapeBytes(command).c_str(),
                     options_.answerTimeoutMs);
        if (!fault.empty())
            std::fprintf(err_, " (Halvane answers nothing to a malformed command: %s)\n", fault.c_str());
        else
            std::fprintf(err_, " (Halvane sends nothing when it cannot answer, such as for a label "
                               "or period it does not have; its log says why)\n");
    }
    if (commands.empty())
        std::fprintf(err_, "halvane-panel: no LF was sent, so Halvane has no command to answer\n");
    Fail(kExitNoAnswer);
}

}  // namespace hv::panel
