// A peer for the message queue tests: holds a queue name through the real component,
// reports every message it takes on its standard output, optionally answers it, and
// sends messages on command from its standard input.
//
//   queue_peer <queue name> [--echo] [--answer-host HOST]
//
// Output lines (UTF-8, fields separated by TAB):
//   ready                                  the name is held
//   held <res> <result>                    the name could not be opened (exit code 3)
//   got <seq> <host> <queue> <first> <second>
//   sent <accepted> <last res>             after a "send" command
// Input lines:
//   send <host> <queue> <first> <second> <count>
//   quit
// With --echo every message is answered with first text "Echo" and second text
// "<first>|<second>", to the sender's host (or HOST) and queue.

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>
#include <QStringList>
#include <cstdio>

#include "platform/ComponentFactory.h"
#include "platform/WindowMessages.h"
#include "workflow/SuiteComponents.h"

namespace {

constexpr unsigned kPeerMessage = hv::WM_USER + 5;

void Print(const QString& line) {
    const QByteArray utf8 = (line + u'\n').toUtf8();
    std::fwrite(utf8.constData(), 1, static_cast<size_t>(utf8.size()), stdout);
    std::fflush(stdout);
}

class Peer final : public QObject {
public:
    Peer(bool echo, QString answerHost) : echo_(echo), answerHost_(std::move(answerHost)) {}

    hv::IMessageQueue* queue = nullptr;

    bool event(QEvent* e) override {
        hv::ReceiveWindowMessages(this);
        if (e->type() != hv::EventTypeOf(kPeerMessage)) return QObject::event(e);
        Drain();
        return true;
    }

    void Drain() {
        std::int32_t count = 0;
        std::int32_t second = 0;
        while (queue->GetCount(count, second) == hv::S_OK && count > 0) {
            hv::QueueMessage m;
            if (queue->Receive(m) != hv::S_OK || m.Values[2] != 1) break;
            Print(QStringLiteral("got\t%1\t%2\t%3\t%4\t%5")
                      .arg(m.Values[0])
                      .arg(m.Texts[0], m.Texts[1], m.Texts[2], m.Texts[3]));
            if (echo_) {
                std::int32_t status = 0;
                std::int32_t result = 0;
                const QString host = answerHost_.isEmpty() ? m.Texts[0] : answerHost_;
                queue->Send(status, result, m.Values[0], 0, 0, host, m.Texts[1],
                            QStringLiteral("Echo"), m.Texts[2] + u'|' + m.Texts[3]);
            }
        }
    }

    void OnInput(const QString& line) {
        const QStringList f = line.split(u'\t');
        if (f.value(0) == QLatin1StringView("quit")) {
            QCoreApplication::quit();
        } else if (f.value(0) == QLatin1StringView("send") && f.size() == 6) {
            const int n = f[5].toInt();
            int accepted = 0;
            hv::HResult lastFailure = 0;
            for (int i = 1; i <= n; ++i) {
                std::int32_t status = 0;
                std::int32_t result = 0;
                const hv::HResult res = queue->Send(status, result, i, 0, 0, f[1], f[2], f[3], f[4]);
                if (res == hv::S_OK && result == 0 && status == 1)
                    ++accepted;
                else
                    lastFailure = res;
            }
            Print(QStringLiteral("sent\t%1\t0x%2").arg(accepted).arg(static_cast<unsigned>(lastFailure), 0, 16));
        }
    }

private:
    bool echo_;
    QString answerHost_;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: queue_peer <name> [--echo] [--answer-host HOST]\n");
        return 2;
    }
    const QString name = args[1];
    const bool echo = args.contains(QStringLiteral("--echo"));
    QString answerHost;
    if (const qsizetype i = args.indexOf(QStringLiteral("--answer-host")); i > 0 && i + 1 < args.size())
        answerHost = args[i + 1];

    hv::ComponentFactory factory(hv::ComponentFactory::DefaultDirectory());
    hv::IQueueService* service = nullptr;
    hv::ComponentPtr serviceObject = factory.CreateFor(hv::kMessageQueueServiceClass, service);
    if (!serviceObject) {
        Print(QStringLiteral("no component"));
        return 4;
    }

    Peer peer(echo, answerHost);
    std::int32_t status = 0;
    std::int32_t result = 0;
    hv::ComponentPtr queueObject;
    const hv::HResult res = service->CreateQueue(status, result, name, &peer, kPeerMessage, 0, 0, queueObject);
    peer.queue = hv::QueryInterface<hv::IMessageQueue>(queueObject.get());
    if (res != hv::S_OK || result != 0 || peer.queue == nullptr) {
        Print(QStringLiteral("held\t0x%1\t%2").arg(static_cast<unsigned>(res), 0, 16).arg(result));
        return 3;
    }

    ::fcntl(STDIN_FILENO, F_SETFL, ::fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    QByteArray input;
    QSocketNotifier notifier(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &peer, [&] {
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
            if (n > 0) {
                input.append(chunk, n);
                continue;
            }
            if (n == 0) {  // the test went away
                notifier.setEnabled(false);
                QCoreApplication::quit();
            }
            break;
        }
        qsizetype end;
        while ((end = input.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(input.left(end));
            input.remove(0, end + 1);
            peer.OnInput(line);
        }
    });

    Print(QStringLiteral("ready"));
    const int code = app.exec();
    queueObject.reset();  // closes the queue before the peer object goes
    return code;
}
