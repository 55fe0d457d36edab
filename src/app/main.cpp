// Halvane's entry point: the application object runs the program until Exit.
#include <QApplication>
#include <cstdio>

#include "app/CommandLine.h"
#include "app/DiagnosticLog.h"
#include "app/HalvaneApp.h"
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

    QApplication qtApp(argc, argv);
    hv::CHalvaneApp app;
    if (!app.InitInstance()) return 0;
    const int result = qtApp.exec();
    app.ExitInstance();
    return result;
}
