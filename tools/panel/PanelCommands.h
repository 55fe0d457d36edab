#pragma once
// What a person or a script types into the console, turned into what goes to Halvane:
// a command by its short name with its values, or the text of a command as it is.

#include <string>
#include <string_view>

namespace hv::panel {

struct PanelRequest {
    enum class Kind {
        Nothing,    // an empty line or a comment
        Send,       // `bytes` go to Halvane
        SetGameId,  // `gameId` is used by the short commands from now on
        Help,
        Quit,
        Invalid,  // `error` says why
    };
    Kind kind = Kind::Nothing;
    std::string bytes;  // the command and its LF
    std::string gameId;
    std::string error;
};

// The game identifier the short commands send until a game start is known.
inline constexpr std::string_view kNoGameId = "000000000000";

// Reads one input line. `gameId` (twelve digits) fills the identifier of the short
// commands; Halvane does not look at it, a controller sends the game start it was told.
PanelRequest ReadRequest(std::string_view line, std::string_view gameId);

// Why Halvane would refuse `command` (without its LF) and send nothing back; empty when
// it is a well-formed command.
std::string CommandFault(std::string_view command);

// The short names with their values, for --help and "help".
std::string_view CommandHelp();

}  // namespace hv::panel
