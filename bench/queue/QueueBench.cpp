// Messages per second through the message queue stand-in between two processes: one way
// and round trip on this computer, and one way through the relay over loopback TCP.
//
// The same program is the other process: run with "--child" it holds the queue
// "BenchChild", answers every message whose first text is "Ping" at once, and answers a
// message whose second text is "done" once everything before it has been taken.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QProcess>
#include <QThread>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/ComponentFactory.h"
#include "platform/WindowMessages.h"
#include "workflow/SuiteComponents.h"

namespace {

constexpr unsigned kArrival = hv::WM_USER + 77;
const QString kChild = QStringLiteral("BenchChild");
const QString kParent = QStringLiteral("BenchParent");

class Window final : public QObject {
public:
    bool event(QEvent* e) override {
        if (e->type() != hv::EventTypeOf(kArrival)) return QObject::event(e);
        ++posted;
        if (onArrival) onArrival();
        return true;
    }
    int posted = 0;
    std::function<void()> onArrival;
};

struct Queue {
    hv::ComponentFactory factory{hv::ComponentFactory::DefaultDirectory()};
    hv::IQueueService* service = nullptr;
    hv::ComponentPtr serviceObject;
    hv::ComponentPtr queueObject;
    hv::IMessageQueue* queue = nullptr;

    bool Open(const QString& name, QObject* window) {
        serviceObject = factory.CreateFor(hv::kMessageQueueServiceClass, service);
        if (!serviceObject) return false;
        std::int32_t status = 0;
        std::int32_t result = 0;
        if (service->CreateQueue(status, result, name, window, kArrival, 0, 0, queueObject) != hv::S_OK)
            return false;
        queue = hv::QueryInterface<hv::IMessageQueue>(queueObject.get());
        return queue != nullptr;
    }
    bool Send(const QString& host, const QString& target, const QString& first, const QString& second,
              std::int32_t sequence) {
        std::int32_t status = 0;
        std::int32_t result = 0;
        return queue->Send(status, result, sequence, 0, 0, host, target, first, second) == hv::S_OK &&
               result == 0 && status == 1;
    }
    // The same, waiting (at most 30 s) while the queue for another computer is full: a burst
    // runs ahead of its delivery.
    bool SendWhenRoom(const QString& host, const QString& target, const QString& first, const QString& second,
                      std::int32_t sequence) {
        QDeadlineTimer deadline(30000);
        for (;;) {
            std::int32_t status = 0;
            std::int32_t result = 0;
            const hv::HResult res = queue->Send(status, result, sequence, 0, 0, host, target, first, second);
            if (res == hv::S_OK && result == 0 && status == 1) return true;
            if (result != ENOBUFS || deadline.hasExpired()) return false;
            QThread::usleep(200);
        }
    }
    // Takes every waiting message; returns how many had `first` as first text.
    int Drain(const QString& first) {
        int matching = 0;
        std::int32_t count = 0;
        std::int32_t unused = 0;
        while (queue->GetCount(count, unused) == hv::S_OK && count > 0) {
            hv::QueueMessage m;
            if (queue->Receive(m) != hv::S_OK || m.Values[2] != 1) break;
            if (m.Texts[2] == first) ++matching;
        }
        return matching;
    }
};

int RunChild() {
    Window window;
    Queue q;
    if (!q.Open(kChild, &window)) return 3;
    window.onArrival = [&] {
        std::int32_t count = 0;
        std::int32_t unused = 0;
        while (q.queue->GetCount(count, unused) == hv::S_OK && count > 0) {
            hv::QueueMessage m;
            if (q.queue->Receive(m) != hv::S_OK || m.Values[2] != 1) break;
            if (m.Texts[2] == QLatin1StringView("Ping") || m.Texts[3] == QLatin1StringView("done"))
                q.Send(m.Texts[0], m.Texts[1], QStringLiteral("Pong"), m.Texts[3], m.Values[0]);
        }
    };
    std::printf("ready\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

// The parent's side: its queue, the child process and, for remote sends, the relay.
struct Setup {
    Window window;
    Queue q;
    QProcess child;
    QProcess relay;
    bool ok = false;

    explicit Setup(bool withRelay) {
        if (withRelay) {
            relay.setProcessChannelMode(QProcess::ForwardedErrorChannel);  // what it refuses
            relay.start(QCoreApplication::applicationDirPath() + QStringLiteral("/ZandrelQueueRelay"),
                        {"--port", "0", "--bind", "127.0.0.1", "--trust", "127.0.0.1"});
            if (!relay.waitForStarted() || !relay.waitForReadyRead(10000)) return;
            const QByteArray line = relay.readLine().trimmed();
            qputenv("ZANDREL_QUEUE_RELAY_PORT", line.mid(10));
        }
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), {"--child"});
        if (!child.waitForStarted() || !child.waitForReadyRead(10000)) return;
        ok = q.Open(kParent, &window);
    }
    ~Setup() {
        q.queueObject.reset();
        for (QProcess* p : {&child, &relay}) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished();
            }
        }
    }
    // Waits for `n` answers, running the event loop.
    bool AwaitPongs(int n) {
        int got = 0;
        QDeadlineTimer deadline(30000);
        while (got < n && !deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
            got += q.Drain(QStringLiteral("Pong"));
        }
        return got >= n;
    }
};

void OneWay(benchmark::State& state, const QString& host) {
    Setup setup(host != QLatin1StringView("localhost"));
    if (!setup.ok) {
        state.SkipWithError("setup failed");
        return;
    }
    const int batch = static_cast<int>(state.range(0));
    std::int32_t sequence = 0;
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i)
            if (!setup.q.SendWhenRoom(host, kChild, QStringLiteral("EventCountДрака"), QStringLiteral("Halvane"),
                                      ++sequence))
                state.SkipWithError("send failed");
        // The child answers "done" once it has taken everything before it.
        if (!setup.q.SendWhenRoom(host, kChild, QStringLiteral("Marker"), QStringLiteral("done"), ++sequence))
            state.SkipWithError("send failed");
        if (!setup.AwaitPongs(1)) state.SkipWithError("no answer");
    }
    state.SetItemsProcessed(state.iterations() * batch);
}

void BM_OneWayLocal(benchmark::State& state) { OneWay(state, QStringLiteral("localhost")); }
void BM_OneWayThroughRelay(benchmark::State& state) { OneWay(state, QStringLiteral("127.0.0.1")); }

void BM_RoundTripLocal(benchmark::State& state) {
    Setup setup(false);
    if (!setup.ok) {
        state.SkipWithError("setup failed");
        return;
    }
    std::int32_t sequence = 0;
    for (auto _ : state) {
        setup.q.Send(QStringLiteral("localhost"), kChild, QStringLiteral("Ping"), QStringLiteral("GetState"), ++sequence);
        if (!setup.AwaitPongs(1)) state.SkipWithError("no answer");
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_OneWayLocal)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OneWayThroughRelay)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RoundTripLocal)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--child") == 0) return RunChild();
    if (qEnvironmentVariableIsEmpty("ZANDREL_QUEUE_SCOPE"))
        qputenv("ZANDREL_QUEUE_SCOPE", "bench-" + QByteArray::number(QCoreApplication::applicationPid()));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
