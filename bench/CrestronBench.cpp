// Crestron round trips on a loopback connection: the latency of one command and its
// answer, the rate of commands pipelined on one connection, and what replacing the
// controller costs: the GUI thread's time in one accept (which ends the old connection's
// working thread), the time of a hundred replacements in a row, and how long a controller
// waits for its first answer after one that went in the middle of a command. Logging flags
// are off.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "crestron/Port4Crestron.h"
#include "game/GameInfo.h"
#include "log/DiagnosticLog.h"
#include "platform/Trace.h"
#include "platform/WindowMessages.h"

namespace {

class Frame final : public QObject {
public:
    hv::CPort4Crestron* port = nullptr;
    int accepted = 0;
    std::vector<double> acceptUs;  // the GUI thread's time in each accept

protected:
    bool event(QEvent* event) override {
        if (event->type() == hv::EventTypeOf(hv::kMsgConnectionWaiting)) {
            const auto begin = std::chrono::steady_clock::now();
            port->AcceptConnection();
            acceptUs.push_back(
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begin).count());
            ++accepted;
            return true;
        }
        return QObject::event(event);
    }
};

// The port, a game whose period 1 holds 17 labels, and one connected controller.
struct Setup {
    Frame frame;
    hv::CGameInfo game;
    hv::CPort4Crestron port;
    int fd = -1;
    std::string pending;

    bool Start() {
        frame.port = &port;
        game.Clear();
        game.SetGameStart({2026, 3, 7, 19, 0, 0, 0});
        hv::FileTime start = game.GetSnapshot().GameStart + 600 * hv::kFileTimeUnitsPerSecond;
        hv::PeriodRecord period{0, 2, 1, start, 0};
        game.SetPeriods(&period, 1);  // with its start label
        {
            std::lock_guard lock(game.GameInfoLock);
            for (int i = 1; i <= 16; ++i)
                game.AddLabel(i % 8, i, 1, start + static_cast<hv::FileTime>(i) * 30 * hv::kFileTimeUnitsPerSecond,
                              i % 3, i % 2, i / 2, i % 60);
        }
        if (!port.InitPort(0, &frame, &game)) return false;

        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port.ListeningPort());
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        QDeadlineTimer deadline(10000);
        while (frame.accepted == 0 && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (frame.accepted != 1) return false;
        // The period answer is the one-line form with all 17 labels.
        Send("C0301202603071900" "01\n");
        constexpr size_t kAnswerBytes = 28 + 17 * 13 + 1;
        char answer[kAnswerBytes];
        const ssize_t got = ::recv(fd, answer, kAnswerBytes, MSG_WAITALL);
        return got == static_cast<ssize_t>(kAnswerBytes) && answer[kAnswerBytes - 1] == '\n' &&
               std::string(answer, 7) == "M030100";
    }

    void Stop() {
        port.ClosePort();
        if (fd >= 0) ::close(fd);
    }

    void Send(const std::string& bytes) {
        const char* data = bytes.data();
        size_t left = bytes.size();
        while (left > 0) {
            const ssize_t sent = ::send(fd, data, left, MSG_NOSIGNAL);
            if (sent <= 0) std::abort();
            data += sent;
            left -= static_cast<size_t>(sent);
        }
    }

    // Reads until `lines` answers have arrived.
    void ReadAnswers(int lines) {
        char buffer[65536];
        for (;;) {
            int complete = static_cast<int>(std::count(pending.begin(), pending.end(), '\n'));
            if (complete >= lines) {
                size_t cut = 0;
                for (int i = 0; i < lines; ++i) cut = pending.find('\n', cut) + 1;
                pending.erase(0, cut);
                return;
            }
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) std::abort();
            pending.append(buffer, static_cast<size_t>(got));
        }
    }
};

Setup* theSetup = nullptr;

void ReportLatency(benchmark::State& state, std::vector<double>& latenciesUs) {
    if (latenciesUs.empty()) return;
    std::sort(latenciesUs.begin(), latenciesUs.end());
    const auto at = [&](double share) {
        return latenciesUs[std::min(latenciesUs.size() - 1,
                                    static_cast<size_t>(share * static_cast<double>(latenciesUs.size())))];
    };
    state.counters["median_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
}

void RoundTrip(benchmark::State& state, const std::string& command) {
    std::vector<double> latenciesUs;
    latenciesUs.reserve(1 << 16);
    for (auto _ : state) {
        const auto begin = std::chrono::steady_clock::now();
        theSetup->Send(command);
        theSetup->ReadAnswers(1);
        latenciesUs.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begin).count());
    }
    ReportLatency(state, latenciesUs);
}

void BM_RoundTripPlayTime(benchmark::State& state) { RoundTrip(state, "C0601\n"); }
void BM_RoundTripPeriodOf17Labels(benchmark::State& state) {
    RoundTrip(state, "C0301202603071900" "01\n");
}

void BM_PipelinedPlayTime(benchmark::State& state) {
    const int batch = static_cast<int>(state.range(0));
    std::string commands;
    for (int i = 0; i < batch; ++i) commands += "C0601\n";
    for (auto _ : state) {
        theSetup->Send(commands);
        theSetup->ReadAnswers(batch);
    }
    state.SetItemsProcessed(state.iterations() * batch);
}

int ConnectController(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
    return fd;
}

// A hundred controllers in a row, each replacing the one before (which stays connected and
// idle, so its working thread is waiting when it is told to stop).
void BM_HundredControllerReplacements(benchmark::State& state) {
    Frame frame;
    hv::CGameInfo game;
    hv::CPort4Crestron port;
    frame.port = &port;
    if (!port.InitPort(0, &frame, &game)) std::abort();
    std::vector<double> acceptUs;
    int previous = -1;
    for (auto _ : state) {
        for (int i = 0; i < 100; ++i) {
            const int fd = ConnectController(port.ListeningPort());
            const int before = frame.accepted;
            while (frame.accepted == before) QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
            if (previous >= 0) ::close(previous);
            previous = fd;
        }
    }
    port.ClosePort();
    if (previous >= 0) ::close(previous);
    ReportLatency(state, frame.acceptUs);
    state.counters["max_accept_us"] = frame.acceptUs.empty() ? 0.0 : frame.acceptUs.back();
}

// Sends C0601 on `fd` and waits, running the event loop (which accepts the connections),
// for its answer line.
void AskWhileAccepting(int fd) {
    if (::send(fd, "C0601\n", 6, MSG_NOSIGNAL) != 6) std::abort();
    std::string answer;
    while (answer.find('\n') == std::string::npos) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        char buffer[256];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) answer.append(buffer, static_cast<size_t>(got));
        else if (got == 0) std::abort();
    }
}

// A controller sends C0601 and then goes: having read its answer (Arg 0), or closing at
// once, in the middle of the command (Arg 1). How long the next controller waits for the
// answer to its C0601, from its connect: the accept of both on the GUI thread, the old
// working thread's end and the new one's start, with the log lines that go with them.
void BM_NextControllerAfterOneThatWent(benchmark::State& state) {
    const bool abrupt = state.range(0) == 1;
    Frame frame;
    hv::CGameInfo game;
    hv::CPort4Crestron port;
    frame.port = &port;
    if (!port.InitPort(0, &frame, &game)) std::abort();
    std::vector<double> latenciesUs;
    for (auto _ : state) {
        const int gone = ConnectController(port.ListeningPort());
        if (abrupt) {
            if (::send(gone, "C0601\n", 6, MSG_NOSIGNAL) != 6) std::abort();
        } else {
            AskWhileAccepting(gone);
        }
        ::close(gone);
        const auto begin = std::chrono::steady_clock::now();
        const int next = ConnectController(port.ListeningPort());
        AskWhileAccepting(next);
        latenciesUs.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begin).count());
        ::close(next);
    }
    port.ClosePort();
    ReportLatency(state, latenciesUs);
    state.counters["max_us"] = *std::max_element(latenciesUs.begin(), latenciesUs.end());
}

BENCHMARK(BM_RoundTripPlayTime)->UseRealTime();
BENCHMARK(BM_NextControllerAfterOneThatWent)->Arg(0)->Arg(1)->Iterations(200)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HundredControllerReplacements)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RoundTripPeriodOf17Labels)->UseRealTime();
BENCHMARK(BM_PipelinedPlayTime)->Arg(100)->Arg(1000)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    hv::SetTraceSink([](std::string_view) {});
    // The log file is written and synced line by line, as in the program; this shows what
    // the port itself costs without it.
    if (qEnvironmentVariableIsSet("HALVANE_BENCH_WITHOUT_LOG_FILE")) hv::TheLog().KeepToTraceOnly();
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    auto setup = std::make_unique<Setup>();
    if (!setup->Start()) {
        std::fprintf(stderr, "cannot open the Crestron port or connect to it\n");
        return 1;
    }
    theSetup = setup.get();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    setup->Stop();
    return 0;
}
