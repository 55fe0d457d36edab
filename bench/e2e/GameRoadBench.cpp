// The road of a referee event: the console's "Event" message leaves its queue, the message
// queue component announces it to the main frame, the frame stores the label, and a
// Crestron controller polling C0301 over loopback sees it. Each iteration changes the same
// goal (its score and game clock), so every answer has the same size.
//
// Reported: the time per event (manual time) and its median and 99th percentile.
#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QSettings>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/MainFrame.h"
#include "game/EventTypes.h"
#include "platform/Trace.h"
#include "platform/WindowMessages.h"

namespace {

constexpr unsigned kConsoleArrival = hv::WM_USER + 123;
constexpr int kTimeoutMs = 10000;

class NoBoxes final : public hv::IMessageBoxes {
public:
    hv::BoxAnswer Show(const QString&, hv::BoxIcon, hv::BoxButtons) override { return hv::BoxAnswer::Ok; }
};

class NoTray final : public hv::ITrayBackend {
public:
    bool Add(const QIcon&, const QString&) override { return true; }
    void SetIcon(const QIcon&) override {}
    void SetToolTip(const QString&) override {}
    void Remove() override {}
    QAction* ShowMenu(QMenu&) override { return nullptr; }
};

// The referee console's end: its queue "Kestrilo", through the installed component.
// Requests that arrive are taken and dropped.
class Console final : public QObject {
public:
    bool Open() {
        serviceObject_ = factory_.CreateFor(hv::kMessageQueueServiceClass, service_);
        if (!serviceObject_) return false;
        std::int32_t status = 0;
        std::int32_t result = 0;
        if (service_->CreateQueue(status, result, QStringLiteral("Kestrilo"), this, kConsoleArrival, 0, 0,
                                  queueObject_) != hv::S_OK)
            return false;
        queue_ = hv::QueryInterface<hv::IMessageQueue>(queueObject_.get());
        return queue_ != nullptr;
    }
    ~Console() override {
        queue_ = nullptr;
        queueObject_.reset();
    }
    bool SendToHalvane(const QString& xml) {
        std::int32_t status = 0;
        std::int32_t result = 0;
        return queue_->Send(status, result, ++sequence_, 0, 0, QStringLiteral("localhost"),
                            QStringLiteral("Halvane"), xml, QString()) == hv::S_OK &&
               result == 0 && status == 1;
    }

protected:
    bool event(QEvent* e) override {
        if (e->type() != hv::EventTypeOf(kConsoleArrival)) return QObject::event(e);
        std::int32_t count = 0;
        std::int32_t unused = 0;
        while (queue_ && queue_->GetCount(count, unused) == hv::S_OK && count > 0) {
            hv::QueueMessage m;
            if (queue_->Receive(m) != hv::S_OK || m.Values[2] != 1) break;
        }
        return true;
    }

private:
    hv::ComponentFactory factory_{hv::ComponentFactory::DefaultDirectory()};
    hv::IQueueService* service_ = nullptr;
    hv::ComponentPtr serviceObject_;
    hv::ComponentPtr queueObject_;
    hv::IMessageQueue* queue_ = nullptr;
    std::int32_t sequence_ = 0;
};

// A Crestron controller on loopback.
class Controller {
public:
    explicit Controller(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Controller() { ::close(fd_); }
    bool Connected() const { return connected_; }
    // One answer line; empty when none came in time. Runs the GUI thread's events while it
    // waits.
    std::string Ask(const std::string& command) {
        const std::string line = command + '\n';
        if (::send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) return {};
        QDeadlineTimer deadline(kTimeoutMs);
        for (;;) {
            const auto lf = buffer_.find('\n');
            if (lf != std::string::npos) {
                std::string answer = buffer_.substr(0, lf + 1);
                buffer_.erase(0, lf + 1);
                return answer;
            }
            if (deadline.hasExpired()) return {};
            // The frame goes on with its messages meanwhile (the first answer needs the
            // connection accepted on this thread).
            QCoreApplication::processEvents();
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0) {
                std::this_thread::yield();
                continue;
            }
            char chunk[4096];
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) return {};
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    std::string buffer_;
};

// 2022-01-20 11:05:00 UTC and 11:12:30 UTC in 100-ns units since 1601.
const QString kPeriods = QStringLiteral(
    R"(<Kestrilo><Periods><Period Num="1" EndScore="0:0" THi="0x1D80DED" TLo="0x91165600"/></Periods></Kestrilo>)");
const char* kGoalFormat =
    R"(<Kestrilo><Event><Time Period="1" THi="0x1D80DEE" TLo="0x9D4EE300" Score="0:0" FromStart="%02d:%02d"/>)"
    R"(<NextScore Score="%d:%d"/></Event></Kestrilo>)";

void BM_RefereeEventToController(benchmark::State& state) {
    QTemporaryDir root;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, root.filePath("user"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, root.filePath("system"));
    {
        QSettings settings(QSettings::NativeFormat, QSettings::UserScope, "Tervanix", "Halvane");
        settings.setValue("Settings/Port", 0);  // any free port
    }
    hv::ComponentFactory components(hv::ComponentFactory::DefaultDirectory());
    NoBoxes boxes;
    hv::CMainFrame::Environment environment;
    environment.Components = &components;
    environment.MessageBoxes = &boxes;
    environment.Settings.Components = &components;
    environment.Settings.ExecutablePath = root.filePath("bin/Halvane");
    environment.Settings.AutostartFolder = root.filePath("autostart");
    environment.TrayBackend = [](std::function<void(hv::TrayClick)>) -> std::unique_ptr<hv::ITrayBackend> {
        return std::make_unique<NoTray>();
    };
    hv::CMainFrame frame(std::move(environment));
    Console console;
    if (!frame.Create() || !console.Open()) {
        state.SkipWithError("the frame or the console's queue could not be made");
        return;
    }
    frame.GameStartLocal = hv::CalendarTime{2022, 1, 20, 11, 0, 0, 0};
    frame.AdvancedStart();
    // Only the messages move the model here; the update cycle would only add requests.
    frame.KillTimer(hv::CMainFrame::kGameTimerId);

    Controller controller(frame.Port.ListeningPort());
    const std::string c0301 = "C030120220120110001";
    auto awaitAnswer = [&](const std::string& part) {
        QDeadlineTimer deadline(kTimeoutMs);
        while (!deadline.hasExpired()) {
            QCoreApplication::processEvents();
            if (controller.Ask(c0301).find(part) != std::string::npos) return true;
        }
        return false;
    };
    if (!controller.Connected() || !console.SendToHalvane(kPeriods) || !awaitAnswer("4300100002000")) {
        state.SkipWithError("the period did not reach the controller");
        return;
    }

    std::vector<double> samplesUs;
    std::int64_t i = 0;
    for (auto _ : state) {
        ++i;
        const int score1 = static_cast<int>(i / 3600 % 100);
        const int minute = static_cast<int>(i / 60 % 60);
        const int second = static_cast<int>(i % 60);
        const QString goal = QString::asprintf(kGoalFormat, minute, second, score1, 1);
        char entry[16];
        std::snprintf(entry, sizeof entry, "21001%02d%02d%02d%02d", score1, 1, minute, second);
        // The console's answer to "EventInfo0_Гол": the goal is stored as number 1.
        frame.Link.EventTypeCursor = hv::kEventGoal;
        frame.Link.EventInfoNext = 1;
        frame.Link.EventCount = 0;

        const auto start = std::chrono::steady_clock::now();
        if (!console.SendToHalvane(goal) || !awaitAnswer(entry)) {
            state.SkipWithError("the goal did not reach the controller");
            return;
        }
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(elapsed.count());
        samplesUs.push_back(elapsed.count() * 1e6);
    }
    if (samplesUs.empty()) return;
    std::sort(samplesUs.begin(), samplesUs.end());
    state.counters["median_us"] = samplesUs[samplesUs.size() / 2];
    state.counters["p99_us"] = samplesUs[std::min(samplesUs.size() - 1, samplesUs.size() * 99 / 100)];
    state.counters["max_us"] = samplesUs.back();
}
BENCHMARK(BM_RefereeEventToController)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(2000);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Queue names of this run's own.
    qputenv("ZANDREL_QUEUE_SCOPE", "halvane-bench-e2e-" + QByteArray::number(::getpid()));
    // The model's label lines and the log's trace copies are not part of what is measured.
    hv::SetTraceSink([](std::string_view) {});
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
