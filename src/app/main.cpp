// Halvane's entry point: the application object runs the program until Exit.
#include <QApplication>
#include <cstdio>
#include <memory>
#include <vector>

#include "app/CommandLine.h"
#include "app/DisplayCheck.h"
#include "app/HalvaneApp.h"
#include "app/VerifyCommand.h"
#include "log/DiagnosticLog.h"
#include "platform/TerminationSignals.h"

namespace {

void Print(std::FILE* stream, const QString& text) {
    if (text.isEmpty()) return;
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

}  // namespace

int main(int argc, char** argv) {
    // The archive check is a command of its own, answered before anything of the program
    // starts: no display, no log, no single-instance lock.
    if (hv::fixity::IsVerifyCommand(argc, argv))
        return hv::fixity::RunVerifyCommand(std::vector<QByteArray>(argv + 1, argv + argc), stdout, stderr);

    hv::TheLog();  // the log's start time is the process's start; its file opens on the first line
    hv::TerminationSignals::IgnoreBrokenPipes();

    // Help, the version and a wrong option are answered before the application object
    // exists: they need no display and leave no trace.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    const hv::CommandLineOutcome command = hv::ReadCommandLine(arguments);
    Print(stdout, command.Output);
    Print(stderr, command.Error);
    if (!command.Run) return command.ExitCode;

    // Without a display Qt would abort: say what is wrong, unless the offscreen platform
    // was asked for.
    if (!command.Offscreen && !command.PlatformChosen && hv::NoDisplayNamed()) {
        Print(stderr, hv::NoDisplayText(QStringLiteral("neither DISPLAY nor WAYLAND_DISPLAY is set")));
        return hv::kNoDisplay;
    }
    hv::QtArguments qtArguments(argc, argv, command.Offscreen);
    std::unique_ptr<QApplication> qtApp;
    {
        const hv::PlatformFailureExit exitIfThePlatformFails;
        qtApp = std::make_unique<QApplication>(qtArguments.Count(), qtArguments.Values());
    }
    hv::CHalvaneApp app;
    // Another Halvane runs: a normal end. A start that failed says so in its status.
    if (!app.InitInstance()) return app.StartFailed() ? hv::kStartFailed : 0;
    const int result = qtApp->exec();
    app.ExitInstance();
    return result;
}
