#pragma once
// The program's command line. --help and --version are answered before anything else
// starts: no window, no icon, no log file, no settings. --offscreen runs the program on
// Qt's offscreen platform. A misuse of these (a value given to them, --offscreen with
// -platform) ends the program with a message and status 2. Qt's own options
// (-platform NAME, -display NAME, -style NAME, ...) are left to Qt; any other option is
// ignored with a warning and other arguments are not used, as before.

#include <QString>
#include <QStringList>

namespace hv {

// The exit status when the program could not start: its controller port or its message
// queue could not be opened (after the message that says so), or the single-instance lock
// could not be taken at all.
inline constexpr int kStartFailed = 1;
// The exit status for a command line the program cannot use.
inline constexpr int kCommandLineError = 2;
// The exit status when there is no display to run on (and --offscreen was not asked for).
inline constexpr int kNoDisplay = 3;

struct CommandLineOutcome {
    bool Run = true;   // go on starting the program
    int ExitCode = 0;  // otherwise the process's exit status
    QString Output;    // text for standard output
    QString Error;     // text for standard error
    // --offscreen: run on Qt's offscreen platform, without a display.
    bool Offscreen = false;
    // Qt's -platform or -display was given: the platform is chosen on the command line.
    bool PlatformChosen = false;
};

// `arguments` as the process got them, the program's path first.
CommandLineOutcome ReadCommandLine(const QStringList& arguments);

// "Halvane 1.0": the name and the version the program was built as.
QString ProgramVersionText();

}  // namespace hv
