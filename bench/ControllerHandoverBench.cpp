// The real program and a controller that goes: how long the next controller waits for the
// answer to its first C0601, from its connect, after one that sent "C0601\n" and went.
// Halvane runs as it is installed and started, offscreen (--offscreen), in a world of its
// own as the tests start it (settings, state, runtime folder, queue scope, lock name; its
// log file next to it, every line synced as always).
//
//   bench_controller_handover [--benchmark_filter=...] [--benchmark_repetitions=N]
//
// Arg 0: the one before read its answer, then closed. Arg 1: it closed right after
// sending "C0601\n", in the middle of its command. Arg 2: the same with a reset
// (SO_LINGER 0) instead of a close.
// Counters: median_ms, p99_ms, max_ms of the next controller's wait.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QProcess>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ProgramWorld.h"

namespace {

using namespace hv::desktop;

// How long the program may take to answer its first controller.
constexpr int kStartMs = 30000;

int Connect(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends C0601 on `fd` and reads its answer line; empty on a failure or after 10 s.
std::string Ask(int fd) {
    std::string answer;
    if (::send(fd, "C0601\n", 6, MSG_NOSIGNAL) != 6) return answer;
    char c = 0;
    while (::recv(fd, &c, 1, 0) == 1) {
        answer += c;
        if (c == '\n') break;
    }
    return answer;
}

// The program in a world of its own (tests/desktop/ProgramWorld.h), offscreen without a
// display.
class Program {
public:
    bool Start() {
        if (!world_.IsValid()) return false;
        port_ = FreePort();
        world_.SetSetting(QStringLiteral("Port"), port_);
        // Every log line is copied to standard error: nobody reads it here.
        halvane_.process.setStandardErrorFile(QProcess::nullDevice());
        halvane_.process.setStandardOutputFile(QProcess::nullDevice());
        return halvane_.Start(world_.Program(), {QStringLiteral("--offscreen")}, WithoutADisplay(world_)) &&
               AnswersController(halvane_, port_, kStartMs);
    }
    void Stop() {
        if (halvane_.process.state() == QProcess::NotRunning) return;
        ::kill(static_cast<pid_t>(halvane_.Pid()), SIGTERM);
        if (!halvane_.process.waitForFinished(20000)) halvane_.KillHard();
    }
    std::uint16_t Port() const { return port_; }
    bool Running() { return halvane_.Running(); }

private:
    World world_{QStringLiteral("bench-handover")};
    Child halvane_;
    std::uint16_t port_ = 0;
};

Program* theProgram = nullptr;

void BM_NextControllerAfterOneThatWent(benchmark::State& state) {
    const int how = static_cast<int>(state.range(0));
    const std::uint16_t port = theProgram->Port();
    std::vector<double> waitsMs;
    for (auto _ : state) {
        const int gone = Connect(port);
        if (gone < 0) {
            state.SkipWithError("the controller before could not connect");
            break;
        }
        if (how == 0) {
            if (Ask(gone) != kNoPlayPosition) {
                state.SkipWithError("the controller before got no answer");
                ::close(gone);
                break;
            }
        } else {
            (void)!::send(gone, "C0601\n", 6, MSG_NOSIGNAL);
            if (how == 2) {
                const linger abort{1, 0};
                ::setsockopt(gone, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            }
        }
        ::close(gone);
        const auto begin = std::chrono::steady_clock::now();
        const int next = Connect(port);
        const std::string answer = next >= 0 ? Ask(next) : std::string();
        const auto end = std::chrono::steady_clock::now();
        if (next >= 0) ::close(next);
        if (answer != kNoPlayPosition) {
            state.SkipWithError("the next controller got no answer within 10 s");
            break;
        }
        const double ms = std::chrono::duration<double, std::milli>(end - begin).count();
        waitsMs.push_back(ms);
        state.SetIterationTime(ms / 1000.0);
    }
    if (waitsMs.empty()) return;
    std::sort(waitsMs.begin(), waitsMs.end());
    const auto at = [&](double share) {
        return waitsMs[std::min(waitsMs.size() - 1, static_cast<size_t>(share * static_cast<double>(waitsMs.size())))];
    };
    state.counters["median_ms"] = at(0.50);
    state.counters["p99_ms"] = at(0.99);
    state.counters["max_ms"] = waitsMs.back();
}

BENCHMARK(BM_NextControllerAfterOneThatWent)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(200)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    auto program = std::make_unique<Program>();
    if (!program->Start()) {
        std::fprintf(stderr, "Halvane did not start or did not answer a controller\n");
        program->Stop();
        return 1;
    }
    theProgram = program.get();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const bool stillRunning = program->Running();
    program->Stop();
    if (!stillRunning) {
        std::fprintf(stderr, "Halvane ended during the benchmark\n");
        return 1;
    }
    return 0;
}
