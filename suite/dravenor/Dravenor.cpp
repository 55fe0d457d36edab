// Dravenor, the post-play capture stand-in.
//
//   Dravenor #<n> -start [-minimize]   holds the queue "Dravenor<n>" until told to end; when
//                                      another one holds it already, leaves it alone and
//                                      exits
//   Dravenor #<n> -stop -exit          tells the holder of "Dravenor<n>" to end and exits at
//                                      once, also when none runs
//
// The holder ends on the message "Exit" (first text). Misbehaviour (DRAVENOR_MISBEHAVE, or
// "misbehave" in Dravenor.conf next to the program): "refuse-exit" stays on "Exit".
//
// Standard output: "ready" once the queue is held; "already running" for a second start;
// "command Exit" when told to end. Exit codes: 0 done, 2 bad arguments, 4 no message
// queue component.
#include <QCoreApplication>
#include <QRegularExpression>
#include <QStringList>

#include "CompanionQueue.h"

namespace {

const QString kProgram = QStringLiteral("Dravenor");

// What the command line asks for.
struct Options {
    int number = -1;  // <n>; negative when it is missing or an argument is not understood
    bool start = false;
    bool stop = false;
};

Options ReadOptions(const QStringList& args) {
    static const QRegularExpression numberArgument(QStringLiteral("^#(\\d{1,3})$"));
    Options options;
    for (const QString& arg : args) {
        const auto match = numberArgument.match(arg);
        if (match.hasMatch() && options.number < 0) {
            options.number = match.captured(1).toInt();
        } else if (arg == QLatin1StringView("-start")) {
            options.start = true;
        } else if (arg == QLatin1StringView("-stop")) {
            options.stop = true;
        } else if (arg != QLatin1StringView("-minimize") && arg != QLatin1StringView("-exit")) {
            options.number = -2;
            break;
        }
    }
    return options;
}

// -stop: tells the holder of `name` to end, from a queue of its own under a name no one
// else uses.
int StopTheHolder(const QString& name) {
    zandrel::CompanionQueue sender([](const hv::QueueMessage&) {});
    QString error;
    const auto opened = sender.Open(zandrel::ComponentDirectory(),
                                    name + QStringLiteral("Stop") + QString::number(QCoreApplication::applicationPid()),
                                    &error);
    if (opened == zandrel::CompanionQueue::OpenResult::NoComponent) return zandrel::OpenFailed(opened, kProgram, error);
    if (opened == zandrel::CompanionQueue::OpenResult::Opened &&
        !sender.Send(QStringLiteral("localhost"), name, QStringLiteral("Exit"), QString()))
        zandrel::ReportLine(QStringLiteral("none running"));
    return 0;
}

// -start: holds `name` until told to end, unless another one holds it already.
int HoldUntilExit(QCoreApplication& app, const QString& name) {
    const bool refusesExit = zandrel::Misbehaviours(kProgram).contains(QLatin1StringView("refuse-exit"));
    zandrel::CompanionQueue holder([&](const hv::QueueMessage& m) {
        if (m.Texts[2] != QLatin1StringView("Exit")) {
            zandrel::ReportError(QStringLiteral("Dravenor: ignored message '%1'").arg(m.Texts[2].left(200)));
            return;
        }
        zandrel::ReportLine(QStringLiteral("command Exit"));
        if (!refusesExit) QCoreApplication::quit();
    });
    QString error;
    const auto opened = holder.Open(zandrel::ComponentDirectory(), name, &error);
    if (opened == zandrel::CompanionQueue::OpenResult::NameHeld) {
        zandrel::ReportLine(QStringLiteral("already running"));
        return 0;
    }
    if (opened != zandrel::CompanionQueue::OpenResult::Opened) return zandrel::OpenFailed(opened, kProgram, error);
    zandrel::ReportLine(QStringLiteral("ready"));
    return app.exec();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const Options options = ReadOptions(app.arguments().mid(1));
    if (options.number < 0 || options.start == options.stop) {
        zandrel::ReportError(QStringLiteral("usage: Dravenor #<n> -start [-minimize] | Dravenor #<n> -stop -exit"));
        return zandrel::kExitBadArguments;
    }
    const QString name = kProgram + QString::number(options.number);
    return options.stop ? StopTheHolder(name) : HoldUntilExit(app, name);
}
