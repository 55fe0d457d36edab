// The receiving end of a queue and the local send, in one process, with real sockets;
// including peers that send rubbish or stop half-way.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <signal.h>
#include <cstring>
#include <vector>

#include "LogCapture.h"
#include "OtherUser.h"
#include "Requirements.h"
#include "QueueTestSupport.h"
#include "LocalQueues.h"
#include "QueueListener.h"
#include "QueueTransport.h"

namespace zandrel {
namespace {

using hv::test::LogCapture;
using hv::test::WaitUntil;

QueueConfig TestConfig() {
    hv::test::UsePrivateQueueScope();
    return QueueConfig::FromEnvironment();
}

WireMessage Message(int sequence, const QString& target, const QString& second = QStringLiteral("payload")) {
    WireMessage m;
    m.sequence = sequence;
    m.senderHost = LocalHostName();
    m.senderQueue = QStringLiteral("Tester");
    m.targetQueue = target;
    m.firstText = QStringLiteral("First");
    m.secondText = second;
    return m;
}

int Send(const QueueConfig& config, const WireMessage& m) {
    QByteArray frame;
    EXPECT_TRUE(EncodeMessage(m, frame));
    return SendLocal(config, m.targetQueue, frame);
}

// A raw connection to a queue, for writing arbitrary bytes.
class RawConnection {
public:
    RawConnection(const QueueConfig& config, const QString& name) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = QueueSocketPath(config, name);
        if (path.empty() || path.size() >= sizeof address.sun_path) return;
        std::memcpy(address.sun_path, path.data(), path.size());
        connected = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawConnection() { Close(); }
    void Write(const QByteArray& bytes) {
        ASSERT_EQ(::send(fd_, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL), bytes.size());
    }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool connected = false;

private:
    int fd_ = -1;
};

struct Arrivals {
    std::atomic<int> rounds{0};
};

TEST(QueueTransport, MessagesArriveInOrderAndAreAnnounced) {
    const QueueConfig config = TestConfig();
    Arrivals arrivals;
    QueueListener listener(config, QStringLiteral("Order"), [&] { ++arrivals.rounds; });
    ASSERT_EQ(listener.Open(), 0);

    for (int i = 1; i <= 50; ++i) ASSERT_EQ(Send(config, Message(i, QStringLiteral("Order"))), 0);
    ASSERT_TRUE(WaitUntil([&] { return listener.Count() == 50; }));
    // Announced once the round of reading that took them ends (senders have their
    // acknowledgements a little before that).
    EXPECT_TRUE(WaitUntil([&] { return arrivals.rounds.load() >= 1; }));
    for (int i = 1; i <= 50; ++i) {
        WireMessage m;
        ASSERT_TRUE(listener.Take(m));
        EXPECT_EQ(m.sequence, i);
        EXPECT_EQ(m.senderQueue, QStringLiteral("Tester"));
    }
    WireMessage none;
    EXPECT_FALSE(listener.Take(none));
    EXPECT_EQ(listener.Count(), 0u);
}

TEST(QueueTransport, AHeldNameCannotBeTakenAndIsFreedWithItsHolder) {
    const QueueConfig config = TestConfig();
    {
        QueueListener holder(config, QStringLiteral("Held"), {});
        ASSERT_EQ(holder.Open(), 0);
        QueueListener second(config, QStringLiteral("Held"), {});
        EXPECT_EQ(second.Open(), EADDRINUSE);
    }
    QueueListener again(config, QStringLiteral("Held"), {});
    EXPECT_EQ(again.Open(), 0);
}

TEST(QueueTransport, NamesAreKeptApartByScope) {
    const QueueConfig config = TestConfig();
    QueueConfig other = config;
    other.scope += QStringLiteral("-other");
    QueueListener a(config, QStringLiteral("Scoped"), {});
    QueueListener b(other, QStringLiteral("Scoped"), {});
    EXPECT_EQ(a.Open(), 0);
    EXPECT_EQ(b.Open(), 0);
}

TEST(QueueTransport, SendToAMissingQueueFailsAtOnce) {
    const QueueConfig config = TestConfig();
    EXPECT_EQ(Send(config, Message(1, QStringLiteral("Nobody"))), ECONNREFUSED);
    EXPECT_EQ(Send(config, Message(1, QString())), EINVAL);
    EXPECT_EQ(Send(config, Message(1, QString(200, u'n'))), ENAMETOOLONG);
}

TEST(QueueTransport, BadFramesCostOnlyTheirConnection) {
    const QueueConfig config = TestConfig();
    LogCapture log;
    QueueListener listener(config, QStringLiteral("Rubbish"), {});
    ASSERT_EQ(listener.Open(), 0);

    struct Case {
        const char* name;
        QByteArray bytes;
        const char* trace;
    };
    const QByteArray huge = QByteArray("ZQ\x01\x01", 4) + QByteArray("\xFF\xFF\xFF\x7F", 4);
    QByteArray truncated;
    ASSERT_TRUE(EncodeMessage(Message(9, QStringLiteral("Rubbish")), truncated));
    truncated.chop(3);
    const Case cases[] = {
        {"text", QByteArray("hello queue\n"), "dropped a connection: malformed frame (bad magic)"},
        {"oversized", huge, "dropped a connection: frame too large"},
        {"cut short", truncated, "dropped a connection: it ended inside a frame"},
    };
    int sequence = 100;
    for (const Case& c : cases) {
        log.Clear();
        {
            RawConnection raw(config, QStringLiteral("Rubbish"));
            ASSERT_TRUE(raw.connected) << c.name;
            raw.Write(c.bytes);
        }
        const std::string expected = "Zandrel.MessageQueue 'Rubbish': " + std::string(c.trace) + "\n";
        EXPECT_TRUE(log.WaitFor(expected, hv::test::kProcessTimeoutMs)) << c.name << "\n" << log.Text();
        // The queue still takes good messages.
        ASSERT_EQ(Send(config, Message(++sequence, QStringLiteral("Rubbish"))), 0) << c.name;
        ASSERT_TRUE(WaitUntil([&] { return listener.Count() == 1; })) << c.name;
        WireMessage m;
        ASSERT_TRUE(listener.Take(m));
        EXPECT_EQ(m.sequence, sequence) << c.name;
    }
}

TEST(QueueTransport, AStuckSenderHoldsUpNobody) {
    const QueueConfig config = TestConfig();
    QueueListener listener(config, QStringLiteral("Stuck"), {});
    ASSERT_EQ(listener.Open(), 0);

    QByteArray frame;
    ASSERT_TRUE(EncodeMessage(Message(1, QStringLiteral("Stuck")), frame));
    RawConnection stuck(config, QStringLiteral("Stuck"));
    ASSERT_TRUE(stuck.connected);
    stuck.Write(frame.left(frame.size() / 2));  // and never the rest

    for (int i = 2; i <= 5; ++i) ASSERT_EQ(Send(config, Message(i, QStringLiteral("Stuck"))), 0);
    ASSERT_TRUE(WaitUntil([&] { return listener.Count() == 4; }));
}

TEST(QueueTransport, ConnectionsBeyondTheLimitWaitAndLoseNothing) {
    const QueueConfig config = TestConfig();
    LogCapture log;
    QueueListener listener(config, QStringLiteral("Crowded"), {});
    ASSERT_EQ(listener.Open(), 0);
    std::vector<std::unique_ptr<RawConnection>> idle;
    for (std::size_t i = 0; i < kMaxConnections + 2; ++i)
        idle.push_back(std::make_unique<RawConnection>(config, QStringLiteral("Crowded")));
    EXPECT_TRUE(log.WaitFor("Zandrel.MessageQueue 'Crowded': too many open connections, new ones wait\n",
                            hv::test::kProcessTimeoutMs));
    // A message sent now waits in the backlog; it arrives once the idle ones go.
    auto sent = std::async(std::launch::async, [&] { return Send(config, Message(7, QStringLiteral("Crowded"))); });
    idle.clear();
    ASSERT_EQ(sent.get(), 0);
    ASSERT_TRUE(WaitUntil([&] { return listener.Count() == 1; }));
    WireMessage m;
    ASSERT_TRUE(listener.Take(m));
    EXPECT_EQ(m.sequence, 7);
}

TEST(QueueTransport, IdlePeersLoseTheirSlots) {
    // Peers that connect and send nothing fill every connection slot; they are closed after
    // the idle time, and a sender waiting behind them gets through.
    QueueConfig config = TestConfig();
    config.idleConnectionTimeoutMs = 200;
    QueueListener listener(config, QStringLiteral("Slots"), {});
    ASSERT_EQ(listener.Open(), 0);
    std::vector<std::unique_ptr<RawConnection>> idle;
    for (std::size_t i = 0; i < kMaxConnections; ++i)
        idle.push_back(std::make_unique<RawConnection>(config, QStringLiteral("Slots")));
    EXPECT_EQ(Send(config, Message(1, QStringLiteral("Slots"))), 0);  // they stay connected
    EXPECT_EQ(listener.Count(), 1u);
}

TEST(QueueTransport, AFloodedQueueStaysWithinItsBytesAndTellsTheSender) {
    QueueConfig config = TestConfig();
    config.maxPendingBytes = 64 * 1024;
    LogCapture log;
    QueueListener listener(config, QStringLiteral("Flooded"), {});
    ASSERT_EQ(listener.Open(), 0);
    const QString large(8000, u'x');  // about 16 KB a message
    int accepted = 0;
    int refused = 0;
    for (int i = 1; i <= 20; ++i) {
        const int error = Send(config, Message(i, QStringLiteral("Flooded"), large));
        if (error == 0) {
            ++accepted;
        } else {
            EXPECT_EQ(error, ENOBUFS) << i;
            ++refused;
        }
    }
    EXPECT_EQ(accepted, 4);
    EXPECT_EQ(refused, 16);
    EXPECT_EQ(listener.Count(), 4u);
    EXPECT_TRUE(log.Contains("Zandrel.MessageQueue 'Flooded': queue full, refused message 5\n"));
    // Taking one makes room for one.
    WireMessage m;
    ASSERT_TRUE(listener.Take(m));
    EXPECT_EQ(m.sequence, 1);
    EXPECT_EQ(Send(config, Message(21, QStringLiteral("Flooded"), large)), 0);
    EXPECT_EQ(Send(config, Message(22, QStringLiteral("Flooded"), large)), ENOBUFS);
}

TEST(QueueTransport, AnotherUsersProcessCannotLeaveMessages) {
    // The queue's folder is the user's alone; here it is opened to everyone for the test, as
    // by a mistake, so that another user's process reaches the socket: the queue itself
    // still shuts it out.
    HV_NEEDS(hv::test::Root("starts a process as another user"));
    const QueueConfig config = TestConfig();
    LogCapture log;
    QueueListener listener(config, QStringLiteral("Private"), {});
    ASSERT_EQ(listener.Open(), 0);
    QByteArray frame;
    ASSERT_TRUE(EncodeMessage(Message(1, QStringLiteral("Private")), frame));
    const std::string path = QueueSocketPath(config, QStringLiteral("Private"));
    ASSERT_LT(path.size(), sizeof(sockaddr_un::sun_path));
    // The folders on the way (from the test's temporary folder on), opened and closed again.
    const std::string runtime = hv::test::RuntimeFolderOfThisTest().toStdString();
    ASSERT_EQ(path.rfind(runtime + "/", 0), 0u);
    std::vector<std::string> opened{runtime.substr(0, runtime.rfind('/')), runtime};
    for (std::size_t at = runtime.size() + 1; (at = path.find('/', at)) != std::string::npos; ++at)
        opened.push_back(path.substr(0, at));
    struct Reclose {
        std::vector<std::string>& folders;
        ~Reclose() {
            for (const std::string& f : folders) ::chmod(f.c_str(), 0700);
        }
    } reclose{opened};
    for (const std::string& f : opened) ASSERT_EQ(::chmod(f.c_str(), 0711), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0777), 0);

    // The child runs as "nobody", connects and writes a whole message; its exit code says
    // whether it got an acknowledgement (0) or was shut out (1).
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!hv::test::BecomeOtherUser()) ::_exit(2);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.data(), path.size());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ::_exit(3);
        ::send(fd, frame.constData(), static_cast<size_t>(frame.size()), MSG_NOSIGNAL);
        char answer[64];
        ::_exit(::recv(fd, answer, sizeof answer, 0) > 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1) << "3: the socket could not be reached at all";
    EXPECT_EQ(listener.Count(), 0u);
    EXPECT_TRUE(log.Contains("Zandrel.MessageQueue 'Private': refused a connection of another user\n"));
    // This user's messages still arrive (once the folders are the user's alone again).
    for (const std::string& f : opened) ::chmod(f.c_str(), 0700);
    EXPECT_EQ(Send(config, Message(2, QStringLiteral("Private"))), 0);
    EXPECT_EQ(listener.Count(), 1u);
}

TEST(QueueTransport, WhatIsNotAMessageIsRefusedAndSaidForWhatItIs) {
    // A presence question is for a relay, never for a queue, and an acknowledgement comes
    // only back to a sender: each is refused with a line that names it.
    const QueueConfig config = TestConfig();
    LogCapture log;
    QueueListener listener(config, QStringLiteral("NotForMe"), {});
    ASSERT_EQ(listener.Open(), 0);
    QByteArray question;
    ASSERT_TRUE(EncodeMessage(Message(3, QStringLiteral("NotForMe")), question, FrameKind::Probe));
    struct Case {
        const char* name;
        QByteArray frame;
        const char* trace;
    } cases[] = {
        {"presence question", question, "ignored a presence question (one for a relay)"},
        {"acknowledgement", EncodeAck(WireAck{}), "ignored a stray acknowledgement"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log.Clear();
        RawConnection raw(config, QStringLiteral("NotForMe"));
        ASSERT_TRUE(raw.connected);
        raw.Write(c.frame);
        EXPECT_TRUE(log.WaitFor("Zandrel.MessageQueue 'NotForMe': " + std::string(c.trace) + "\n",
                                hv::test::kProcessTimeoutMs))
            << log.Text();
        EXPECT_EQ(listener.Count(), 0u);
    }
}

TEST(QueueTransport, NothingIsSentToAQueueSocketOfAnotherUser) {
    // A socket of another user's process stands where a queue of this user would be (here
    // put there by root, as nobody else can): a send never goes to it, and says why.
    HV_NEEDS(hv::test::Root("starts a process as another user"));
    const QueueConfig config = TestConfig();
    LogCapture log;
    const std::string path = QueueSocketPath(config, QStringLiteral("Vortamo1"));
    ASSERT_FALSE(path.empty());
    ASSERT_LT(path.size(), sizeof(sockaddr_un::sun_path));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    ::unlink(path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    // The child becomes "nobody" and then listens: the socket's holder is that user's.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!hv::test::BecomeOtherUser() || ::listen(fd, 8) != 0) ::_exit(2);
        const char one = '1';
        [[maybe_unused]] const ssize_t n = ::write(ready[1], &one, 1);
        for (;;) ::pause();
    }
    ::close(ready[1]);
    char said = 0;
    const bool listening = ::read(ready[0], &said, 1) == 1;
    ::close(ready[0]);
    ::close(fd);
    struct Reap {
        pid_t pid;
        std::string path;
        ~Reap() {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            ::unlink(path.c_str());
        }
    } reap{child, path};
    ASSERT_TRUE(listening);

    EXPECT_EQ(Send(config, Message(1, QStringLiteral("Vortamo1"))), EACCES);
    EXPECT_TRUE(log.Contains("Zandrel.MessageQueue: 'Vortamo1' is held by a process of user 65534, not of this "
                             "user: nothing sent\n"))
        << log.Text();
}

}  // namespace
}  // namespace zandrel
