// halvane-panel: a controller's console for Halvane. It speaks to Halvane's controller
// port as a Crestron panel does, and shows each answer raw and decoded into its fields.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "PanelAnswers.h"
#include "PanelCommands.h"
#include "PanelConnection.h"
#include "PanelSession.h"

#ifdef HALVANE_PANEL_EDITLINE
#include <editline/readline.h>
#endif

namespace {

using namespace hv::panel;

constexpr std::string_view kUsage =
    "Usage: halvane-panel [OPTIONS] [--] [COMMAND ...]\n"
    "\n"
    "Speaks to a running Halvane as a Crestron controller does: sends commands to its\n"
    "controller port and prints each answer raw (after \"<\") and decoded into its fields.\n"
    "Each COMMAND argument is one command (quote those with values: \"period 1\"). Without\n"
    "COMMAND arguments, commands are read from standard input, one per line, with line\n"
    "editing and history when it is a terminal.\n"
    "Halvane serves one controller at a time: connecting ends the connection of any panel\n"
    "that is connected now.\n"
    "\n"
    "Options:\n"
    "  -H, --host HOST          Halvane's computer (default 127.0.0.1)\n"
    "  -p, --port PORT          its controller port (default 1025)\n"
    "  -t, --timeout MS         how long to wait for an answer (default 3000)\n"
    "      --connect-timeout MS how long to wait for the connection (default 5000)\n"
    "  -g, --game YYYYMMDDhhmm  the game identifier the commands send (default: the game\n"
    "                           start of the last answer, 000000000000 before the first)\n"
    "  -r, --raw                print only the answers' bytes, as they came\n"
    "  -h, --help               this text\n"
    "  -V, --version            the version\n"
    "\n";

constexpr std::string_view kExitCodes =
    "\n"
    "Exit codes (the first failure counts; every command is still tried):\n"
    "  0  every command was answered with a well-formed answer\n"
    "  1  a bad option, or a command that could not be built\n"
    "  2  no connection: refused, unknown host, or no reply in time\n"
    "  3  a command got no answer in time (Halvane is silent on malformed commands and\n"
    "     on labels or periods it does not have)\n"
    "  4  a malformed answer (not one of the protocol, broken, or incomplete)\n"
    "  5  Halvane closed the connection (it serves one controller at a time)\n";

bool ReadNumber(const char* text, int low, int high, int& out) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < low || value > high) return false;
    out = static_cast<int>(value);
    return true;
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "halvane-panel: %s\nTry 'halvane-panel --help'.\n", message.c_str());
    return kExitUsage;
}

std::string HistoryPath() {
    const char* home = std::getenv("HOME");
    return home && *home ? std::string(home) + "/.halvane_panel_history" : std::string();
}

// Commands typed at a terminal, with line editing and history where it was built in.
int RunInteractive(PanelSession& session, const PanelOptions& options) {
    std::printf("Connected to Halvane at %s:%s. Type \"help\" for the commands, \"quit\" to end.\n",
                options.host.c_str(), options.port.c_str());
    std::fflush(stdout);
#ifdef HALVANE_PANEL_EDITLINE
    const std::string history = HistoryPath();
    if (!history.empty()) read_history(history.c_str());
    bool going = true;
    while (going) {
        char* line = readline("halvane-panel> ");
        if (!line) break;
        const std::string text(line);
        std::free(line);
        if (text.find_first_not_of(" \t") != std::string::npos) add_history(text.c_str());
        going = session.Handle(text);
    }
    if (!history.empty()) {
        write_history(history.c_str());
        history_truncate_file(history.c_str(), 1000);
    }
#else
    std::string text;
    std::fputs("halvane-panel> ", stdout);
    std::fflush(stdout);
    while (std::getline(std::cin, text) && session.Handle(text)) {
        std::fputs("halvane-panel> ", stdout);
        std::fflush(stdout);
    }
#endif
    // Failures of single commands were said as they came; only a lost connection counts.
    return session.ExitCode() == kExitClosed ? kExitClosed : kExitOk;
}

// Reads option `arg` into `options`, taking its value from `value()`. Help, the version
// and a bad option are printed at once, and their exit code returned: the program ends.
std::optional<int> ReadOption(std::string_view arg, auto&& value, PanelOptions& options) {
    if (arg == "-h" || arg == "--help") {
        std::fputs(kUsage.data(), stdout);
        std::fputs(CommandHelp().data(), stdout);
        std::fputs(kExitCodes.data(), stdout);
        return kExitOk;
    }
    if (arg == "-V" || arg == "--version") {
        std::printf("halvane-panel %s\n", HALVANE_PANEL_VERSION);
        return kExitOk;
    }
    if (arg == "-H" || arg == "--host") {
        const char* v = value();
        if (!v || !*v) return UsageError("--host needs a host name or address");
        options.host = v;
    } else if (arg == "-p" || arg == "--port") {
        const char* v = value();
        int port = 0;
        if (!v || !ReadNumber(v, 1, 65535, port)) return UsageError("--port needs a number from 1 to 65535");
        options.port = std::to_string(port);
    } else if (arg == "-t" || arg == "--timeout") {
        const char* v = value();
        if (!v || !ReadNumber(v, 1, 3'600'000, options.answerTimeoutMs))
            return UsageError("--timeout needs milliseconds from 1 to 3600000");
    } else if (arg == "--connect-timeout") {
        const char* v = value();
        if (!v || !ReadNumber(v, 1, 3'600'000, options.connectTimeoutMs))
            return UsageError("--connect-timeout needs milliseconds from 1 to 3600000");
    } else if (arg == "-g" || arg == "--game") {
        const char* v = value();
        const std::string_view id = v ? v : "";
        if (id.size() != 12 || id.find_first_not_of("0123456789") != std::string_view::npos)
            return UsageError("--game needs twelve digits: YYYYMMDDhhmm");
        options.gameId = std::string(id);
    } else if (arg == "-r" || arg == "--raw") {
        options.rawOnly = true;
    } else {
        return UsageError("unknown option " + EscapeBytes(arg));
    }
    return std::nullopt;
}

// What the command line asks for: the options and commands to run with, or an exit code
// when the program ends without connecting (help, version, a bad option).
struct CommandLine {
    PanelOptions options;
    std::vector<std::string> commands;
    std::optional<int> exitCode;
};

CommandLine ReadCommandLine(int argc, char** argv) {
    CommandLine line;
    bool onlyCommands = false;
    for (int i = 1; i < argc && !line.exitCode; ++i) {
        const std::string_view arg = argv[i];
        // The value of an option: the next argument.
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (onlyCommands || arg.empty() || arg[0] != '-') line.commands.emplace_back(arg);
        else if (arg == "--") onlyCommands = true;
        else line.exitCode = ReadOption(arg, value, line.options);
    }
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    const CommandLine line = ReadCommandLine(argc, argv);
    if (line.exitCode) return *line.exitCode;

    PanelConnection connection;
    std::string error;
    if (connection.Connect(line.options.host, line.options.port, line.options.connectTimeoutMs, error) !=
        PanelConnection::Failure::None) {
        std::fprintf(stderr, "halvane-panel: %s\n", error.c_str());
        return kExitNoConnection;
    }
    PanelSession session(connection, line.options, stdout, stderr);
    if (!line.commands.empty()) {
        for (const std::string& command : line.commands)
            if (!session.Handle(command)) break;
    } else if (::isatty(STDIN_FILENO)) {
        return RunInteractive(session, line.options);
    } else {
        std::string text;
        while (std::getline(std::cin, text))
            if (!session.Handle(text)) break;
    }
    std::fflush(stdout);
    return session.ExitCode();
}
