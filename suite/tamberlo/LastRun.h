#pragma once
// The referee console's last game: the script it played and the run that "NewGame" started,
// kept in "LastRun.json" in the console's state folder, so that "-openlast" opens the game
// again after the console was closed (Halvane closes it before archiving and starts it
// again to restore the game).

#include <QString>
#include <optional>

#include "ScriptedGame.h"

namespace zandrel {

struct LastRun {
    QString script;  // absolute path; empty for the empty game
    GameRun run;
};

// TAMBERLO_STATE_DIR when set, else the user's state folder for the console:
// $XDG_STATE_HOME/Tervanix/Tamberlo (~/.local/state/Tervanix/Tamberlo). Not the program's
// own folder, which an installed program's user cannot write.
QString StateFolder();

// Makes the folder when it is missing. False with a reason in `error` when the file cannot
// be written.
bool SaveLastRun(const QString& folder, const LastRun& last, QString* error);
// Nothing when no run was saved or the file cannot be read.
std::optional<LastRun> LoadLastRun(const QString& folder);

}  // namespace zandrel
