#include "app/CommandLine.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

namespace hv {

namespace {

// Options that Qt's application objects read and remove from the arguments themselves:
// those Qt documents for QGuiApplication and QApplication, and the few it reads without
// documenting them.
struct QtOption {
    const char* name;
    bool takesValue;
};
constexpr QtOption kQtOptions[] = {
    // every platform
    {"platform", true},
    {"platformpluginpath", true},
    {"platformtheme", true},
    {"plugin", true},
    {"qwindowgeometry", true},
    {"qwindowicon", true},
    {"qwindowtitle", true},
    {"reverse", false},
    {"session", true},
    {"qmljsdebugger", true},
    // X11
    {"display", true},
    {"geometry", true},
    {"name", true},
    {"title", true},
    {"icon", true},
    {"visual", true},
    {"nograb", false},
    {"dograb", false},
    {"sync", false},
    // widgets
    {"style", true},
    {"stylesheet", true},
    {"widgetcount", false},
    {"testability", false},
};

const QtOption* FindQtOption(const QString& name) {
    for (const QtOption& option : kQtOptions)
        if (name == QLatin1String(option.name)) return &option;
    return nullptr;
}

struct SortedArguments {
    QStringList own;       // the program's path, our options and the other arguments
    QStringList warnings;  // what is ignored, for standard error
    bool platformChosen = false;  // -platform or -display with its value
};

// Takes Qt's options (with their values) out of the arguments, and the options nobody
// knows, each with a warning: they have never stopped the program, and they do not now.
SortedArguments SortArguments(const QStringList& arguments, const QStringList& ownNames) {
    SortedArguments sorted;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (i == 0 || argument.size() < 2 || !argument.startsWith(u'-')) {
            sorted.own << argument;
            continue;
        }
        if (argument == QLatin1String("--")) {
            sorted.own << arguments.mid(i);
            break;
        }
        const QString option = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
        const QString name = option.section(u'=', 0, 0);
        if (ownNames.contains(name)) {
            sorted.own << argument;
        } else if (const QtOption* qt = FindQtOption(name)) {
            const bool choosesPlatform = name == QLatin1String("platform") || name == QLatin1String("display");
            if (!qt->takesValue || option.contains(u'=')) {
                sorted.platformChosen = sorted.platformChosen || choosesPlatform;
                continue;
            }
            if (i + 1 < arguments.size()) {
                ++i;  // Qt takes the next argument, whatever it is
                sorted.platformChosen = sorted.platformChosen || choosesPlatform;
            } else {
                sorted.warnings << QStringLiteral("'%1' needs a value; ignored").arg(argument);
            }
        } else {
            sorted.warnings << QStringLiteral("unknown option '%1' ignored").arg(argument);
        }
    }
    return sorted;
}

}  // namespace

const QString kDescription = QStringLiteral(
    "Links the venue's Crestron controller to the replay suite. Halvane has no main\n"
    "window: its icon in the notification area carries the menu.\n"
    "\n"
    "Settings: $XDG_CONFIG_HOME/Tervanix/Halvane.conf (~/.config when unset).\n"
    "Log: Halvane_<start time>.log in $XDG_STATE_HOME/Tervanix/Halvane (~/.local/state)\n"
    "when installed; next to the program when it runs from its build folder (in the state\n"
    "folder too when that folder is not writable).\n"
    "Qt's own options (-platform NAME, -display NAME, -style NAME, ...) are accepted;\n"
    "other unknown options are ignored with a warning.\n"
    "\n"
    "Without a display (neither DISPLAY nor WAYLAND_DISPLAY set, no platform chosen, or a\n"
    "display that cannot be opened) or with a platform that cannot start, Halvane says\n"
    "which and ends with status 3; --offscreen (or -platform offscreen) runs it without a\n"
    "display. There a message nobody can answer is written to standard error and taken\n"
    "as answered: OK, or No to a question.\n"
    "\n"
    "Halvane --verify-archive [FOLDER] checks the video archive against the checksums\n"
    "kept in SHA256SUMS of each game folder, and ends; 'Halvane --verify-archive --help'\n"
    "lists its options and exit statuses.\n"
    "\n"
    "Exit status: 0 when it ended normally (also a second Halvane, which ends at once),\n"
    "1 when it could not start (its controller port or message queue could not be opened,\n"
    "after the message that says so, or its single-instance lock could not be taken at\n"
    "all), 2 for a command line it cannot use,\n"
    "3 without a display.");

QString ProgramVersionText() { return QStringLiteral("Halvane " HALVANE_VERSION); }

CommandLineOutcome ReadCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    // "-platform" is one option, as Qt reads it, not the letters p, l, a ...
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(kDescription);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Shows this help and ends."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Shows the version and ends."));
    const QCommandLineOption offscreen(
        QStringLiteral("offscreen"),
        QStringLiteral("Runs without a display, on Qt's offscreen platform: no icon and no "
                       "windows (its menu cannot be reached), but the controller is served "
                       "and the game the archive's refresh.csv names is followed. Ended by "
                       "SIGTERM or Ctrl+C."));
    parser.addOption(help);
    parser.addOption(version);
    parser.addOption(offscreen);

    const SortedArguments sorted =
        SortArguments(arguments, help.names() + version.names() + offscreen.names());
    CommandLineOutcome outcome;
    for (const QString& warning : sorted.warnings)
        outcome.Error += QStringLiteral("Halvane: %1\n").arg(warning);
    // What is left are the program's own options: a misuse of them ends the program.
    if (!parser.parse(sorted.own)) {
        outcome.Run = false;
        outcome.ExitCode = kCommandLineError;
        outcome.Error += QStringLiteral("Halvane: %1\nTry 'Halvane --help' for the options.\n")
                             .arg(parser.errorText());
        return outcome;
    }
    if (parser.isSet(help)) {
        // The parser names the program only when an application object exists; there is
        // none yet, on purpose.
        QString text = parser.helpText();
        text = QStringLiteral("Usage: Halvane [options]") + text.mid(text.indexOf(u'\n'));
        outcome.Run = false;
        outcome.Output = text;
        return outcome;
    }
    if (parser.isSet(version)) {
        outcome.Run = false;
        outcome.Output = ProgramVersionText() + u'\n';
        return outcome;
    }
    outcome.Offscreen = parser.isSet(offscreen);
    outcome.PlatformChosen = sorted.platformChosen;
    if (outcome.Offscreen && outcome.PlatformChosen) {
        outcome.Run = false;
        outcome.ExitCode = kCommandLineError;
        outcome.Error += QStringLiteral("Halvane: --offscreen chooses the platform itself; leave out -platform and "
                                        "-display\nTry 'Halvane --help' for the options.\n");
    }
    return outcome;
}

}  // namespace hv
