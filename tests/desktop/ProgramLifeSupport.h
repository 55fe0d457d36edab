#pragma once
// The program's life from outside (ProgramLifeTest.cpp): the program on a controller port
// of its own, a queue held beside it, controllers that stay or take its port, and the
// signals it catches.

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <QObject>
#include <QProcess>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "ProgramWorld.h"
#include "ScopedEnvironment.h"
#include "platform/ComponentFactory.h"
#include "workflow/SuiteComponents.h"

namespace hv::desktop {

// The program in a world of its own, on a free controller port.
struct ProgramOnItsPort {
    explicit ProgramOnItsPort(const char* worldName) : world(QString::fromLatin1(worldName)) {}

    // The world made and the port in its settings (under ASSERT_NO_FATAL_FAILURE).
    void Prepare() {
        ASSERT_TRUE(world.IsValid());
        port = FreePort();
        ASSERT_NE(port, 0);
        world.SetSetting(QStringLiteral("Port"), port);
    }
    // Started with `arguments` in `environment` and answering a controller.
    void StartServing(const QStringList& arguments, const QProcessEnvironment& environment) {
        ASSERT_TRUE(halvane.Start(world.Program(), arguments, environment));
        ASSERT_TRUE(AnswersController(halvane, port)) << halvane.ErrorText().toStdString();
    }
    // `signalNumber` ends it in order: a normal exit with status 0.
    void EndOn(int signalNumber = SIGTERM) {
        ASSERT_EQ(::kill(static_cast<pid_t>(halvane.Pid()), signalNumber), 0);
        ASSERT_TRUE(halvane.process.waitForFinished(kWaitMs));
        EXPECT_EQ(halvane.process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(halvane.process.exitCode(), 0);
    }

    World world;
    std::uint16_t port = 0;
    Child halvane;
};

// A queue held in the queue scope of a world, as another program of the suite holds it.
class QueueInTheWorld {
public:
    explicit QueueInTheWorld(const World& world) {
        scope_.Set("ZANDREL_QUEUE_SCOPE", world.Environment().value(QStringLiteral("ZANDREL_QUEUE_SCOPE")).toUtf8());
        scope_.Set("XDG_RUNTIME_DIR", world.Environment().value(QStringLiteral("XDG_RUNTIME_DIR")).toUtf8());
        components_ = std::make_unique<hv::ComponentFactory>(hv::ComponentFactory::DefaultDirectory());
    }
    // Holds `name` (under ASSERT_NO_FATAL_FAILURE).
    void Hold(const char* name) {
        hv::IQueueService* service = nullptr;
        serviceObject_ = components_->CreateFor(hv::kMessageQueueServiceClass, service);
        ASSERT_NE(service, nullptr);
        std::int32_t status = 0, result = 0;
        ASSERT_EQ(service->CreateQueue(status, result, name, &window_, 0x47B, 0, 0, queueObject_), hv::S_OK);
        ASSERT_EQ(result, 0);
        queue_ = hv::QueryInterface<hv::IMessageQueue>(queueObject_.get());
        ASSERT_NE(queue_, nullptr);
    }
    hv::IMessageQueue* Queue() const { return queue_; }

private:
    hv::test::ScopedEnvironment scope_;
    std::unique_ptr<hv::ComponentFactory> components_;
    QObject window_;
    hv::ComponentPtr serviceObject_;
    hv::ComponentPtr queueObject_;
    hv::IMessageQueue* queue_ = nullptr;
};

// A controller that stays connected, so that the program has a working thread to end.
class HeldController {
public:
    explicit HeldController(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        timeval timeout{kWaitMs / 1000, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~HeldController() { ::close(fd_); }
    std::string Ask(const std::string& command) {
        std::string answer;
        if (!connected_ || ::send(fd_, command.data(), command.size(), MSG_NOSIGNAL) < 0) return answer;
        char c = 0;
        while (::recv(fd_, &c, 1, 0) == 1 && (answer += c, c != '\n')) {}
        return answer;
    }
    // True when the program closed the connection.
    bool Ended() {
        char c = 0;
        return ::recv(fd_, &c, 1, 0) == 0;
    }

private:
    int fd_;
    bool connected_ = false;
};

// True once the process catches `signalNumber` (its handlers are installed).
inline bool CatchesSignal(qint64 pid, int signalNumber) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) return false;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (!line.startsWith("SigCgt:")) continue;
        return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (signalNumber - 1)) & 1u;
    }
    return false;
}

// A socket that listens on a port of its own on all addresses: the controller port taken.
class TakenPort {
public:
    TakenPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        socklen_t size = sizeof address;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd_, 1) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) == 0)
            port_ = ntohs(address.sin_port);
    }
    ~TakenPort() { ::close(fd_); }
    std::uint16_t Port() const { return port_; }
    // The start-up's message about it.
    QString Message() const {
        return QStringLiteral("Can't init TCP/IP port #%1 for Crestron interaction!\nError=%2 on step=3.")
            .arg(port_)
            .arg(EADDRINUSE);
    }

private:
    int fd_;
    std::uint16_t port_ = 0;
};

}  // namespace hv::desktop
