#include "app/CommandLine.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

namespace hv {

namespace {

// Options that Qt's application objects read and remove from the arguments themselves.
struct QtOption {
    const char* name;
    bool takesValue;
};
constexpr QtOption kQtOptions[] = {
    {"platform", true},
    {"platformpluginpath", true},
    {"platformtheme", true},
    {"plugin", true},
    {"qwindowgeometry", true},
    {"geometry", true},
    {"qwindowicon", true},
    {"icon", true},
    {"qwindowtitle", true},
    {"title", true},
    {"session", true},
    {"display", true},
    {"name", true},
    {"visual", true},
    {"style", true},
    {"stylesheet", true},
    {"qmljsdebugger", true},
    {"reverse", false},
    {"widgetcount", false},
    {"nograb", false},
    {"dograb", false},
    {"sync", false},
};

const QString kDescription = QStringLiteral(
    "Links the venue's Crestron controller to the replay suite. Halvane has no main\n"
    "window: its icon in the notification area carries the menu.\n"
    "\n"
    "Settings: $XDG_CONFIG_HOME/Tervanix/Halvane.conf (~/.config when unset).\n"
    "Log: Halvane_<start time>.log next to the program, or in\n"
    "$XDG_STATE_HOME/Tervanix/Halvane (~/.local/state) when that folder is not writable.\n"
    "Qt's own options (-platform NAME, -display NAME, -style NAME, ...) are accepted.");

}  // namespace

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
    parser.addOption(help);
    parser.addOption(version);
    for (const QtOption& qt : kQtOptions) {
        QCommandLineOption option(QString::fromLatin1(qt.name));
        if (qt.takesValue) option.setValueName(QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }

    CommandLineOutcome outcome;
    if (!parser.parse(arguments)) {
        outcome.Run = false;
        outcome.ExitCode = kCommandLineError;
        outcome.Error = QStringLiteral("Halvane: %1\nTry 'Halvane --help' for the options.\n")
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
    }
    return outcome;
}

}  // namespace hv
