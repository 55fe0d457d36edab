// Tamberlo, the replay machine stand-in, in its referee console mode: it holds the queue
// "Kestrilo" and answers each request with the console's XML message, taken from a
// scripted game.
//
//   Tamberlo [-openlast] [-script FILE]
//
// Without -script the file named by TAMBERLO_SCRIPT is played; without either, the last
// game, LastGame.json next to the program; without that, an empty game whose clock is the
// current time.
//
// The console keeps its last game: the run that "NewGame" started, with the time where
// "StopGame" (or, failing that, "Exit") froze its clock, is saved with the script's path in
// LastRun.json in the state folder (TAMBERLO_STATE_DIR, else $XDG_STATE_HOME/Tervanix/Tamberlo,
// see LastRun.h). With
// -openlast the console opens that game again, frozen where it was saved (a run that was
// never frozen, because the console was killed, is opened played out to the end of its
// timeline), when no script is named or the named one is the game's own. With -openlast,
// no saved game and no script named, the shipped last game is opened as a game that has
// just been played out. Two games come with the suite (games/regular.json and
// games/overtime-shootout.json, see ScriptedGame.h for the format). The script is read again whenever its content
// changes, so a game can go on while the console runs; a script that cannot be used is
// reported once and the game played so far stays.
//
// A request arrives with the command as its first text and the asking application's queue
// name as its second; the answer goes to that queue on the asker's computer, with the XML
// as its first text. "NewGame" starts the script's timeline (see ScriptedGame.h) on the
// current time, "StopGame" freezes the game clock; both are acknowledged on standard
// output. "Exit" ends the program. Anything else is reported on standard error and ignored.
//
// At the start of period k of the timeline the console sends "SplitAtTime k_0x<low>_0x<high>"
// (the split time, UTC in 100-ns units since 1601) to "Halvane" and, as a control command,
// to "Vortamo1"; at its end "SplitAtTime -k_...".
//
// Misbehaviours (TAMBERLO_MISBEHAVE, comma-separated, or "misbehave" in Tamberlo.conf next
// to the program): "silent" answers nothing, "no-periods" reports no periods,
// "no-period-start" reports the game's periods without their start times (no "THi" and
// "TLo", as a console whose game clock has not been started does; with
// TAMBERLO_NO_PERIOD_START_ANSWERS=N only its first N answers to "PeriodInfo" lack them, as a
// clock that is started a while later), "no-event-names"
// reports no event types, "ignore-exit" stays on "Exit", "refuse-stopgame" refuses the
// message "StopGame" at its queue, so that its sender's send fails (as it fails on a full
// queue) and the clock runs on.
//
// Standard output: "ready" once the queue is held; "command <text>" for each command.
// Exit codes: 0 after "Exit", 2 bad arguments or script, 3 the queue is held by another
// program, 4 no message queue component.
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <optional>

#include "CompanionQueue.h"
#include "GameScript.h"
#include "LastRun.h"
#include "RefereeConsole.h"

namespace {

// What the command line and the environment ask for.
struct Options {
    QString scriptPath;         // the script named, else the shipped last game, else empty
    bool scriptNamed = false;   // by -script or TAMBERLO_SCRIPT
    bool openLast = false;
};

// Nothing when an argument is not understood.
std::optional<Options> ReadOptions(const QStringList& args) {
    Options options;
    options.scriptPath = qEnvironmentVariable("TAMBERLO_SCRIPT");
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1StringView("-openlast")) {
            options.openLast = true;
            continue;
        }
        if (args[i] == QLatin1StringView("-script") && i + 1 < args.size()) {
            options.scriptPath = args[++i];
            continue;
        }
        return std::nullopt;
    }
    options.scriptNamed = !options.scriptPath.isEmpty();
    const QString shippedLastGame = QCoreApplication::applicationDirPath() + QStringLiteral("/LastGame.json");
    if (!options.scriptNamed && QFile::exists(shippedLastGame)) options.scriptPath = shippedLastGame;
    return options;
}

bool SameFile(const QString& a, const QString& b) {
    const QString canonical = QFileInfo(a).canonicalFilePath();
    return !canonical.isEmpty() && canonical == QFileInfo(b).canonicalFilePath();
}

// With -openlast: the game the console kept, unless the script named is another game.
std::optional<zandrel::LastRun> LastRunAskedFor(const Options& options, const QString& stateFolder) {
    if (!options.openLast) return std::nullopt;
    std::optional<zandrel::LastRun> last = zandrel::LoadLastRun(stateFolder);
    if (last && options.scriptNamed && !SameFile(last->script, options.scriptPath)) last.reset();
    return last;
}

// The game the console opens and the run it stands at.
struct OpenedGame {
    zandrel::GameScript script;
    zandrel::GameRun run;
};

// The kept game frozen where it was saved, else the script named (with -openlast and none
// named: the shipped last game played out), else the empty game. Nothing when the script
// cannot be used.
std::optional<OpenedGame> OpenTheGame(const Options& options, const QString& stateFolder) {
    std::optional<zandrel::LastRun> last = LastRunAskedFor(options, stateFolder);
    zandrel::GameScript script(last ? last->script : options.scriptPath);
    if (last && !script.Refresh()) {
        zandrel::ReportError(QStringLiteral("Tamberlo: the last game cannot be opened again"));
        last.reset();
        script = zandrel::GameScript(options.scriptPath);
    }
    if (!script.Refresh()) return std::nullopt;
    if (script.Path().isEmpty()) zandrel::ReportError(QStringLiteral("Tamberlo: no script, an empty game"));

    zandrel::GameRun run;
    if (last)
        run = script.Game().PlayedOut(last->run);
    else if (options.openLast && !options.scriptNamed)
        run = script.Game().EndedAt(zandrel::CurrentUtc());
    return OpenedGame{std::move(script), run};
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::optional<Options> options = ReadOptions(app.arguments().mid(1));
    if (!options) {
        zandrel::ReportError(QStringLiteral("usage: Tamberlo [-openlast] [-script FILE]"));
        return zandrel::kExitBadArguments;
    }
    const QString stateFolder = zandrel::StateFolder();
    std::optional<OpenedGame> game = OpenTheGame(*options, stateFolder);
    if (!game) return zandrel::kExitBadArguments;
    zandrel::RefereeConsole console(std::move(game->script), game->run, stateFolder);
    return console.Run(app);
}
