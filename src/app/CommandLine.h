#pragma once
// The program's command line. --help and --version are answered before anything else
// starts: no window, no icon, no log file, no settings. A misuse of these two (a value
// given to them) ends the program with a message and status 2. Qt's own options
// (-platform NAME, -display NAME, -style NAME, ...) are left to Qt; any other option is
// ignored with a warning and other arguments are not used, as before.

#include <QString>
#include <QStringList>

namespace hv {

// The exit status for a command line the program cannot use.
inline constexpr int kCommandLineError = 2;

struct CommandLineOutcome {
    bool Run = true;   // go on starting the program
    int ExitCode = 0;  // otherwise the process's exit status
    QString Output;    // text for standard output
    QString Error;     // text for standard error
};

// `arguments` as the process got them, the program's path first.
CommandLineOutcome ReadCommandLine(const QStringList& arguments);

// "Halvane 1.0": the name and the version the program was built as.
QString ProgramVersionText();

}  // namespace hv
