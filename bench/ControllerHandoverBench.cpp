// The real program and a controller that goes: how long the next controller waits for the
// answer to its first C0601, from its connect, after one that sent "C0601\n" and went.
// Halvane runs as it is installed and started, offscreen (--offscreen), in a folder of
// its own (settings, state, runtime folder, queue scope, lock name; its log file next to
// it, every line synced as always).
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
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

const std::string kNoPlayPosition = "M060100000000err\n";

// A TCP port nobody listens on right now.
std::uint16_t FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    std::uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

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

// The program in a folder of its own.
class Program {
public:
    bool Start() {
        if (!dir_.isValid()) return false;
        port_ = FreePort();
        for (const char* sub : {"bin", "config", "system", "state", "runtime"}) QDir(dir_.path()).mkpath(sub);
        QFile::setPermissions(dir_.filePath("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        // The program itself under the folder (a hard link), so that its log is written there.
        const QString program = dir_.filePath("bin/Halvane");
        if (::link(HALVANE_PROGRAM, QFile::encodeName(program).constData()) != 0 &&
            !QFile::copy(QStringLiteral(HALVANE_PROGRAM), program))
            return false;
        {
            QSettings settings(dir_.filePath("config/Tervanix/Halvane.conf"), QSettings::IniFormat);
            settings.setValue(QStringLiteral("Settings/Port"), port_);
        }
        const QString unique = QStringLiteral("halvane-bench-handover-%1").arg(QCoreApplication::applicationPid());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), dir_.filePath("config"));
        environment.insert(QStringLiteral("XDG_CONFIG_DIRS"), dir_.filePath("system"));
        environment.insert(QStringLiteral("XDG_STATE_HOME"), dir_.filePath("state"));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir_.filePath("runtime"));
        environment.insert(QStringLiteral("ZANDREL_QUEUE_SCOPE"), unique);
        environment.insert(QStringLiteral("HALVANE_INSTANCE_NAME"), unique);
        environment.insert(QStringLiteral("HALVANE_COMPONENT_DIR"), QStringLiteral(HALVANE_COMPONENT_FOLDER));
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(QString::fromLatin1(name));
        process_.setProcessEnvironment(environment);
        // Every log line is copied to standard error: nobody reads it here.
        process_.setStandardErrorFile(QProcess::nullDevice());
        process_.setStandardOutputFile(QProcess::nullDevice());
        process_.start(program, {QStringLiteral("--offscreen")});
        if (!process_.waitForStarted(10000)) return false;
        QDeadlineTimer deadline(30000);
        while (!deadline.hasExpired() && process_.state() == QProcess::Running) {
            const int fd = Connect(port_);
            const bool answered = fd >= 0 && Ask(fd) == kNoPlayPosition;
            if (fd >= 0) ::close(fd);
            if (answered) return true;
            QThread::msleep(100);
        }
        return false;
    }
    void Stop() {
        if (process_.state() == QProcess::NotRunning) return;
        ::kill(static_cast<pid_t>(process_.processId()), SIGTERM);
        if (!process_.waitForFinished(20000)) process_.kill();
        process_.waitForFinished(5000);
    }
    std::uint16_t Port() const { return port_; }
    bool Running() { return process_.state() == QProcess::Running && !process_.waitForFinished(0); }

private:
    QTemporaryDir dir_;
    QProcess process_;
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
