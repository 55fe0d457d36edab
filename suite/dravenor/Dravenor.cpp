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

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    static const QRegularExpression numberArgument(QStringLiteral("^#(\\d{1,3})$"));
    int number = -1;
    bool start = false;
    bool stop = false;
    for (const QString& arg : args) {
        const auto match = numberArgument.match(arg);
        if (match.hasMatch() && number < 0) {
            number = match.captured(1).toInt();
        } else if (arg == QLatin1StringView("-start")) {
            start = true;
        } else if (arg == QLatin1StringView("-stop")) {
            stop = true;
        } else if (arg != QLatin1StringView("-minimize") && arg != QLatin1StringView("-exit")) {
            number = -2;
            break;
        }
    }
    if (number < 0 || start == stop) {
        zandrel::ReportError(QStringLiteral("usage: Dravenor #<n> -start [-minimize] | Dravenor #<n> -stop -exit"));
        return 2;
    }
    const QString name = QStringLiteral("Dravenor") + QString::number(number);
    QString error;

    if (stop) {
        // A queue of its own to send from, under a name no one else uses.
        zandrel::CompanionQueue sender([](const hv::QueueMessage&) {});
        const auto opened = sender.Open(zandrel::ComponentDirectory(),
                                        name + QStringLiteral("Stop") + QString::number(app.applicationPid()), &error);
        if (opened == zandrel::CompanionQueue::OpenResult::NoComponent) {
            zandrel::ReportError(QStringLiteral("Dravenor: ") + error);
            return 4;
        }
        if (opened == zandrel::CompanionQueue::OpenResult::Opened &&
            !sender.Send(QStringLiteral("localhost"), name, QStringLiteral("Exit"), QString()))
            zandrel::ReportLine(QStringLiteral("none running"));
        return 0;
    }

    const bool refusesExit = zandrel::Misbehaviours(QStringLiteral("Dravenor")).contains(QLatin1StringView("refuse-exit"));
    zandrel::CompanionQueue holder([&](const hv::QueueMessage& m) {
        if (m.Texts[2] != QLatin1StringView("Exit")) {
            zandrel::ReportError(QStringLiteral("Dravenor: ignored message '%1'").arg(m.Texts[2].left(200)));
            return;
        }
        zandrel::ReportLine(QStringLiteral("command Exit"));
        if (!refusesExit) QCoreApplication::quit();
    });
    switch (holder.Open(zandrel::ComponentDirectory(), name, &error)) {
    case zandrel::CompanionQueue::OpenResult::Opened:
        break;
    case zandrel::CompanionQueue::OpenResult::NoComponent:
        zandrel::ReportError(QStringLiteral("Dravenor: ") + error);
        return 4;
    case zandrel::CompanionQueue::OpenResult::NameHeld:
        zandrel::ReportLine(QStringLiteral("already running"));
        return 0;
    }
    zandrel::ReportLine(QStringLiteral("ready"));
    return app.exec();
}
