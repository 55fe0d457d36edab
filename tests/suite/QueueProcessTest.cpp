// The installed message queue component between real processes: names held by a process,
// freed when it is killed, messages both ways on this computer and through the relay.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <QThread>
#include <memory>
#include <optional>
#include <signal.h>
#include <vector>

#include "AnswerRelay.h"
#include "QueueTestSupport.h"
#include "LocalQueues.h"
#include "QueueTransport.h"
#include "RemoteSender.h"
#include "OtherUser.h"
#include "ScopedEnvironment.h"

extern char** environ;

namespace hv::test {
namespace {

constexpr unsigned kArrival = WM_USER + 40;
// The send time-out towards a computer that takes connections and says nothing: far longer
// than anything a test here may wait.
constexpr int kSilentSendTimeoutMs = 60000;

class QueueBetweenProcesses : public QueueSuiteWithRelay {
protected:
    void SetUp() override { ASSERT_NE(component.service, nullptr) << "component not installed"; }

    static HResult Send(IMessageQueue* queue, const QString& host, const QString& target,
                        const QString& first, const QString& second, std::int32_t sequence,
                        std::int32_t* status = nullptr, std::int32_t* result = nullptr) {
        std::int32_t s = 1;
        std::int32_t r = 0;
        const HResult res = queue->Send(s, r, sequence, 0, 0, host, target, first, second);
        if (status) *status = s;
        if (result) *result = r;
        return res;
    }

    QueueComponent component;
};


TEST_F(QueueBetweenProcesses, AHeldNameIsRefusedUntilItsHolderIsKilled) {
    PeerProcess holder;
    ASSERT_EQ(holder.Open(QStringLiteral("Kestrilo")), QStringLiteral("ready"));

    TestWindow window(WM_USER);
    HResult res = S_OK;
    std::int32_t result = 0;
    EXPECT_EQ(component.Open(QStringLiteral("Kestrilo"), &window, WM_USER, &res, &result), nullptr);
    EXPECT_NE(res, S_OK);
    EXPECT_NE(result, 0);

    // A second peer is refused as well.
    PeerProcess second;
    EXPECT_TRUE(second.Open(QStringLiteral("Kestrilo")).startsWith(QStringLiteral("held\t")));

    holder.KillHard();
    ComponentPtr queue = component.Open(QStringLiteral("Kestrilo"), &window, WM_USER, &res, &result);
    EXPECT_NE(queue, nullptr);
    EXPECT_EQ(res, S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_NE(QueryInterface<IMessageQueue>(queue.get()), nullptr);
}

TEST_F(QueueBetweenProcesses, ClosingTheQueueFreesTheName) {
    TestWindow window(WM_USER);
    ComponentPtr first = component.Open(QStringLiteral("Reused"), &window, WM_USER);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(component.Open(QStringLiteral("Reused"), &window, WM_USER), nullptr);
    first.reset();
    EXPECT_NE(component.Open(QStringLiteral("Reused"), &window, WM_USER), nullptr);
}

TEST_F(QueueBetweenProcesses, MessagesTravelBothWaysAndCarryTheirSender) {
    PeerProcess peer;
    ASSERT_EQ(peer.Open(QStringLiteral("Echo1"), {"--echo"}), QStringLiteral("ready"));

    TestWindow window(kArrival);
    ComponentPtr object = component.Open(QStringLiteral("Halvane"), &window, kArrival);
    IMessageQueue* queue = QueryInterface<IMessageQueue>(object.get());
    ASSERT_NE(queue, nullptr);

    std::int32_t status = 0;
    std::int32_t result = -1;
    ASSERT_EQ(Send(queue, QStringLiteral("localhost"), QStringLiteral("Echo1"), QStringLiteral("Видео"),
                   QStringLiteral("two"), 17, &status, &result),
              S_OK);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(result, 0);

    const QString got = peer.ReadLineStartingWith(QStringLiteral("got\t"));
    EXPECT_EQ(got, QStringLiteral("got\t17\t%1\tHalvane\tВидео\ttwo").arg(zandrel::LocalHostName()));

    ASSERT_TRUE(WaitUntil([&] { return window.posted > 0; }));
    std::int32_t count = 0;
    std::int32_t second = 0;
    ASSERT_EQ(queue->GetCount(count, second), S_OK);
    EXPECT_EQ(count, 1);
    QueueMessage answer;
    ASSERT_EQ(queue->Receive(answer), S_OK);
    EXPECT_EQ(answer.Values[2], 1);
    EXPECT_EQ(answer.Values[0], 17);
    EXPECT_EQ(answer.Texts[0], zandrel::LocalHostName());
    EXPECT_EQ(answer.Texts[1], QStringLiteral("Echo1"));
    EXPECT_EQ(answer.Texts[2], QStringLiteral("Echo"));
    EXPECT_EQ(answer.Texts[3], QStringLiteral("Видео|two"));
    // Taking it lowered the count; another Receive finds nothing.
    ASSERT_EQ(queue->GetCount(count, second), S_OK);
    EXPECT_EQ(count, 0);
    QueueMessage none;
    EXPECT_EQ(queue->Receive(none), S_OK);
    EXPECT_EQ(none.Values[2], 0);
}

TEST_F(QueueBetweenProcesses, ABurstFromAnotherProcessArrivesWholeAndInOrder) {
    TestWindow window(kArrival);
    ComponentPtr object = component.Open(QStringLiteral("Halvane"), &window, kArrival);
    IMessageQueue* queue = QueryInterface<IMessageQueue>(object.get());
    ASSERT_NE(queue, nullptr);
    PeerProcess peer;
    ASSERT_EQ(peer.Open(QStringLiteral("Sender")), QStringLiteral("ready"));

    constexpr int kCount = 500;
    EXPECT_EQ(peer.Send(QStringLiteral("localhost"), QStringLiteral("Halvane"), QStringLiteral("Burst"),
                        QStringLiteral("x"), kCount),
              kCount);
    std::vector<QueueMessage> taken;
    ASSERT_TRUE(WaitUntil([&] {
        for (QueueMessage& m : TakeAll(queue)) taken.push_back(std::move(m));
        return taken.size() >= static_cast<std::size_t>(kCount);
    }));
    ASSERT_EQ(taken.size(), static_cast<std::size_t>(kCount));
    for (int i = 0; i < kCount; ++i) EXPECT_EQ(taken[static_cast<std::size_t>(i)].Values[0], i + 1);
    EXPECT_TRUE(WaitUntil([&] { return window.posted >= 1; }));
}

TEST_F(QueueBetweenProcesses, ASendToAQueueNobodyHoldsFailsAtOnce) {
    TestWindow window(kArrival);
    ComponentPtr object = component.Open(QStringLiteral("Halvane"), &window, kArrival);
    IMessageQueue* queue = QueryInterface<IMessageQueue>(object.get());
    ASSERT_NE(queue, nullptr);
    std::int32_t status = 1;
    std::int32_t result = 0;
    const HResult res = Send(queue, QStringLiteral("localhost"), QStringLiteral("Kestrilo"),
                             QStringLiteral("TimeInfo"), QStringLiteral("Halvane"), 1, &status, &result);
    EXPECT_EQ(static_cast<std::uint32_t>(res), 0x80070000u | ECONNREFUSED);
    EXPECT_EQ(result, ECONNREFUSED);
    EXPECT_EQ(status, 0);
}

TEST_F(QueueBetweenProcesses, ASendToAStuckHolderHereFailsAfterTheShortLocalTimeOut) {
    // The holder of "Kestrilo" never reads (a frozen companion): a send there fails with
    // ETIMEDOUT after the local time-out (200 ms unless configured), not the send time-out.
    std::optional<QueueComponent> shortWait;
    {
        const ScopedEnvironment defaultLocalTimeout{{"ZANDREL_QUEUE_LOCAL_TIMEOUT_MS", nullptr}};
        shortWait.emplace();
    }
    zandrel::HeldQueueName stuck;  // held and listened on, never read
    ASSERT_EQ(zandrel::HoldQueueName(zandrel::QueueConfig::FromEnvironment(), QStringLiteral("Kestrilo"), stuck), 0);
    TestWindow window(kArrival);
    ComponentPtr object = shortWait->Open(QStringLiteral("Halvane"), &window, kArrival);
    IMessageQueue* queue = QueryInterface<IMessageQueue>(object.get());
    ASSERT_NE(queue, nullptr);
    for (int i = 1; i <= 3; ++i) {
        std::int32_t status = 1;
        std::int32_t result = 0;
        QElapsedTimer waited;
        waited.start();
        const HResult res = Send(queue, QString(), QStringLiteral("Kestrilo"), QStringLiteral("TimeInfo"),
                                 QStringLiteral("Halvane"), i, &status, &result);
        EXPECT_EQ(static_cast<std::uint32_t>(res), 0x80070000u | ETIMEDOUT);
        EXPECT_EQ(result, ETIMEDOUT);
        EXPECT_EQ(status, 0);
        EXPECT_GE(waited.elapsed(), 190);
        // Half the send time-out (20 s here): a loaded sanitized run stays far below, a send
        // that waited the send time-out does not.
        EXPECT_LT(waited.elapsed(), 10000) << "the send time-out is 20 s here";
    }
}

TEST_F(QueueBetweenProcesses, ARemoteSendGoesThroughTheRelayAndCanBeAnswered) {
    // "127.0.0.1" is not this computer's name: the message goes to the relay over TCP.
    // The peer answers through the relay as well.
    PeerProcess peer;
    ASSERT_EQ(peer.Open(QStringLiteral("Vortamo1"), {"--echo", "--answer-host", "127.0.0.1"}),
              QStringLiteral("ready"));
    TestWindow window(kArrival);
    ComponentPtr object = component.Open(QStringLiteral("Halvane"), &window, kArrival);
    IMessageQueue* queue = QueryInterface<IMessageQueue>(object.get());
    ASSERT_NE(queue, nullptr);

    std::int32_t status = 0;
    std::int32_t result = -1;
    ASSERT_EQ(Send(queue, QStringLiteral("127.0.0.1"), QStringLiteral("Vortamo1"),
                   QStringLiteral("Vortamo.Control"), QStringLiteral("GetState"), 5, &status, &result),
              S_OK);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(peer.ReadLineStartingWith(QStringLiteral("got\t")),
              QStringLiteral("got\t5\t127.0.0.1\tHalvane\tVortamo.Control\tGetState"))
        << "the relay hands on the sender's address as it saw it";

    std::vector<QueueMessage> taken;
    ASSERT_TRUE(WaitUntil([&] {
        for (QueueMessage& m : TakeAll(queue)) taken.push_back(std::move(m));
        return !taken.empty();
    }));
    EXPECT_EQ(taken[0].Texts[0], QStringLiteral("127.0.0.1"));
    EXPECT_EQ(taken[0].Texts[1], QStringLiteral("Vortamo1"));
    EXPECT_EQ(taken[0].Texts[3], QStringLiteral("Vortamo.Control|GetState"));

    // A remote send to a queue nobody holds there is accepted for delivery here; the
    // sender thread learns from the relay that it cannot be delivered and traces it.
    EXPECT_EQ(Send(queue, QStringLiteral("127.0.0.1"), QStringLiteral("Nobody"),
                   QStringLiteral("a"), QStringLiteral("b"), 6, &status, &result),
              S_OK);
    EXPECT_EQ(status, 1);
}

TEST_F(QueueBetweenProcesses, ARemoteSendWithoutARelayFails) {
    // A second relay started and stopped gives a port that nobody listens on.
    std::optional<QueueComponent> withoutRelay;
    {
        ScopedEnvironment suiteRelay;
        suiteRelay.Keep("ZANDREL_QUEUE_RELAY_PORT");
        RelayProcess gone;
        ASSERT_TRUE(gone.Start());
        gone.Stop();
        withoutRelay.emplace();  // reads the port of the stopped relay
    }

    TestWindow window(kArrival);
    ComponentPtr object = withoutRelay->Open(QStringLiteral("Halvane"), &window, kArrival);
    IMessageQueue* queue = QueryInterface<IMessageQueue>(object.get());
    ASSERT_NE(queue, nullptr);
    // Accepted for delivery on this computer; the delivery fails later, on the sender
    // thread, and a message to a queue here that nobody holds still fails at once.
    std::int32_t status = 0;
    std::int32_t result = -1;
    EXPECT_EQ(Send(queue, QStringLiteral("127.0.0.1"), QStringLiteral("Vortamo1"),
                   QStringLiteral("a"), QStringLiteral("b"), 1, &status, &result),
              S_OK);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(result, 0);
    const HResult res = Send(queue, QStringLiteral("localhost"), QStringLiteral("Vortamo1"),
                             QStringLiteral("a"), QStringLiteral("b"), 2, &status, &result);
    EXPECT_EQ(static_cast<std::uint32_t>(res), 0x80070000u | ECONNREFUSED);
    EXPECT_EQ(status, 0);
}

TEST_F(QueueBetweenProcesses, ASendToAComputerThatNeverAnswersDoesNotWait) {
    // The other computer's relay takes the connection and then says nothing, like a host
    // that drops packets: the send returns while that relay is still silent, and closing
    // the queue and the component returns at once although the delivery is still under way
    // (with a send time-out far longer than anything the closing may cost).
    const int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(silent, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(silent, 8), 0);
    socklen_t size = sizeof address;
    ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &size);
    const auto senderThreads = [] {
        int count = 0;
        for (const QFileInfo& task : QDir(QStringLiteral("/proc/self/task")).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile comm(task.absoluteFilePath() + QStringLiteral("/comm"));
            if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "queue sender") ++count;
        }
        return count;
    };
    // Sender threads of earlier tests end on their own: none is left after a while.
    ASSERT_TRUE(WaitUntil([&] { return senderThreads() == 0; }));
    const int threadsBefore = 0;
    QElapsedTimer closing;
    {
        std::unique_ptr<QueueComponent> towardsSilence;
        {
            ScopedEnvironment silentComputer;
            silentComputer.Set("ZANDREL_QUEUE_RELAY_PORT", QByteArray::number(ntohs(address.sin_port)));
            silentComputer.Set("ZANDREL_QUEUE_SEND_TIMEOUT_MS", QByteArray::number(kSilentSendTimeoutMs));
            towardsSilence = std::make_unique<QueueComponent>();
        }
        TestWindow window(kArrival);
        ComponentPtr object = towardsSilence->Open(QStringLiteral("Halvane"), &window, kArrival);
        IMessageQueue* queue = QueryInterface<IMessageQueue>(object.get());
        ASSERT_NE(queue, nullptr);
        for (int i = 1; i <= 5; ++i) {
            std::int32_t status = 0;
            EXPECT_EQ(Send(queue, QStringLiteral("127.0.0.1"), QStringLiteral("Vortamo1"),
                           QStringLiteral("Vortamo.Control"), QStringLiteral("GetState"), i, &status),
                      S_OK);
            EXPECT_EQ(status, 1);
        }
        // The sender thread is the one that waits: its connection reaches the silent relay.
        pollfd waiting{silent, POLLIN, 0};
        EXPECT_EQ(::poll(&waiting, 1, 10000), 1);
        EXPECT_EQ(senderThreads(), threadsBefore + 1);
        closing.start();
        object.reset();
        towardsSilence.reset();
    }
    // Nobody waited for the delivery under way: the closing is bounded by local work only,
    // far below the send time-out it would otherwise wait for.
    EXPECT_LT(closing.elapsed(), kSilentSendTimeoutMs / 2);
    // And the sender thread, told to stop, ends on its own soon after.
    EXPECT_TRUE(WaitUntil([&] { return senderThreads() == threadsBefore; }));
    ::close(silent);
}

TEST_F(QueueBetweenProcesses, ReopeningTheQueueKeepsTheSenderOfAnotherComputer) {
    // The program reopens its queue for every new game: the sender thread of a computer it
    // already sent to goes on serving the new queue, and the message arrives.
    PeerProcess peer;
    ASSERT_EQ(peer.Open(QStringLiteral("Vortamo1"), {"--echo", "--answer-host", "127.0.0.1"}),
              QStringLiteral("ready"));
    TestWindow window(kArrival);
    for (int round = 1; round <= 3; ++round) {
        ComponentPtr object = component.Open(QStringLiteral("Halvane"), &window, kArrival);
        IMessageQueue* queue = QueryInterface<IMessageQueue>(object.get());
        ASSERT_NE(queue, nullptr);
        ASSERT_EQ(Send(queue, QStringLiteral("127.0.0.1"), QStringLiteral("Vortamo1"),
                       QStringLiteral("Vortamo.Control"), QStringLiteral("GetState"), round),
                  S_OK);
        EXPECT_EQ(peer.ReadLineStartingWith(QStringLiteral("got\t")),
                  QStringLiteral("got\t%1\t127.0.0.1\tHalvane\tVortamo.Control\tGetState").arg(round));
    }
}

TEST_F(QueueBetweenProcesses, TheRelayRefusesStrangers) {
    PeerProcess peer;
    ASSERT_EQ(peer.Open(QStringLiteral("Guarded")), QStringLiteral("ready"));
    zandrel::WireMessage message;
    message.sequence = 9;
    message.senderHost = QStringLiteral("stranger");
    message.senderQueue = QStringLiteral("Stranger");
    message.targetQueue = QStringLiteral("Guarded");
    message.firstText = QStringLiteral("<Kestrilo><Event/></Kestrilo>");
    QByteArray frame;
    ASSERT_TRUE(zandrel::EncodeMessage(message, frame));
    // 127.0.0.2 is a loopback address of this computer, but not one the relay trusts.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        ASSERT_EQ(::inet_pton(AF_INET, "127.0.0.2", &from.sin_addr), 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(relay_->port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        ::send(fd, frame.constData(), static_cast<size_t>(frame.size()), MSG_NOSIGNAL);
        timeval timeout{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        char answer[64];
        EXPECT_LE(::recv(fd, answer, sizeof answer, 0), 0) << "closed without an acknowledgement";
        ::close(fd);
    }
    // A trusted sender still gets through, and is the first message the peer sees.
    TestWindow window(kArrival);
    ComponentPtr object = component.Open(QStringLiteral("Halvane"), &window, kArrival);
    IMessageQueue* queue = QueryInterface<IMessageQueue>(object.get());
    ASSERT_NE(queue, nullptr);
    EXPECT_EQ(Send(queue, QStringLiteral("127.0.0.1"), QStringLiteral("Guarded"), QStringLiteral("from"),
                   QStringLiteral("friend"), 10),
              S_OK);
    EXPECT_EQ(peer.ReadLineStartingWith(QStringLiteral("got\t")),
              QStringLiteral("got\t10\t127.0.0.1\tHalvane\tfrom\tfriend"));
}

TEST(QueueRelayAlone, StrangersAreLoggedOnceEachUpToALimit) {
    // A scan from many addresses: the first 1024 strangers get a line each, then one line
    // says that further ones go unlogged; every one of them is refused.
    // Started with posix_spawn (as the component does), its output going to a file.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray output = dir.filePath(QStringLiteral("relay.txt")).toLocal8Bit();
    const QByteArray program = BinaryPath("ZandrelQueueRelay").toLocal8Bit();
    std::vector<const char*> argv = {program.constData(), "--port", "0", "--bind", "127.0.0.1", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    ASSERT_EQ(::posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv.data()), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    const auto text = [&] {
        QFile file(QString::fromLocal8Bit(output));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };
    QString listening;
    ASSERT_TRUE(WaitUntil([&] {
        const QString all = text();
        const qsizetype at = all.indexOf(QLatin1StringView("listening "));
        if (at < 0 || all.indexOf(u'\n', at) < 0) return false;
        listening = all.mid(at, all.indexOf(u'\n', at) - at);
        return true;
    }));
    const std::uint16_t port = static_cast<std::uint16_t>(listening.mid(10).toUInt());
    constexpr int kStrangers = 1100;
    int closedUnread = 0;
    for (int i = 0; i < kStrangers; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl((127u << 24) | (1u << 16) | static_cast<std::uint32_t>(i + 1));
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        timeval timeout{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        char answer[8];
        if (::recv(fd, answer, sizeof answer, 0) <= 0) ++closedUnread;
        ::close(fd);
    }
    EXPECT_EQ(closedUnread, kStrangers);
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    const QString errors = text();
    EXPECT_EQ(errors.count(QStringLiteral(", not a trusted host")), 1024);
    EXPECT_EQ(errors.count(QStringLiteral("further strangers are refused without a line")), 1);
}

TEST_F(QueueBetweenProcesses, TheRelaySurvivesRubbishFromTheNetwork) {
    PeerProcess peer;
    ASSERT_EQ(peer.Open(QStringLiteral("AfterRubbish")), QStringLiteral("ready"));
    const QByteArray rubbish[] = {
        QByteArray("GET / HTTP/1.1\r\nHost: x\r\n\r\n"),
        QByteArray("ZQ\x01\x01\xFF\xFF\xFF\xFF", 8),
        QByteArray("ZQ\x01\x01\x10\x00\x00\x00" "short", 13),
    };
    for (const QByteArray& bytes : rubbish) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(relay_->port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::send(fd, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL), bytes.size());
        ::close(fd);
    }
    TestWindow window(kArrival);
    ComponentPtr object = component.Open(QStringLiteral("Halvane"), &window, kArrival);
    IMessageQueue* queue = QueryInterface<IMessageQueue>(object.get());
    ASSERT_NE(queue, nullptr);
    EXPECT_EQ(Send(queue, QStringLiteral("127.0.0.1"), QStringLiteral("AfterRubbish"), QStringLiteral("still"),
                   QStringLiteral("there"), 3),
              S_OK);
    EXPECT_EQ(peer.ReadLineStartingWith(QStringLiteral("got\t")),
              QStringLiteral("got\t3\t127.0.0.1\tHalvane\tstill\tthere"));
}

// The answer relays the component of this process started that still run.
std::vector<pid_t> ChildRelays() {
    std::vector<pid_t> found;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isPid = false;
        const pid_t pid = static_cast<pid_t>(entry.toInt(&isPid));
        if (!isPid) continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly)) continue;
        const QByteArray text = stat.readAll();
        const qsizetype close = text.lastIndexOf(')');
        const QList<QByteArray> fields = text.mid(close + 2).split(' ');
        QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (text.contains("(ZandrelQueueRel") && fields.size() > 1 && fields[0] != "Z" &&
            fields[1].toInt() == ::getpid() && commandLine.open(QIODevice::ReadOnly) &&
            commandLine.readAll().contains("--with-parent"))
            found.push_back(pid);
    }
    return found;
}

TEST(QueueAnswersFromAnotherComputer, TheRelayForTheAnswersIsStartedByTheComponent) {
    // The recorder's computer is 127.0.0.2 (its relay listens there and trusts us); nobody
    // starts a relay on our side by hand. Our first delivery there starts one, bound to the
    // address we left from, so that the recorder's answer, sent to the address its relay
    // saw, comes back.
    UsePrivateQueueScope();
    ScopedEnvironment environment;
    LineProcess remoteRelay;
    ASSERT_TRUE(remoteRelay.Start(BinaryPath("ZandrelQueueRelay"),
                                  {"--port", "0", "--bind", "127.0.0.2", "--trust", "127.0.0.1"}));
    const QString line = remoteRelay.ReadLine();
    ASSERT_TRUE(line.startsWith(QLatin1StringView("listening "))) << line.toStdString();
    environment.Set("ZANDREL_QUEUE_RELAY_PORT", line.mid(10).toUtf8());

    PeerProcess recorder;
    ASSERT_EQ(recorder.Open(QStringLiteral("Vortamo1"), {"--echo"}), QStringLiteral("ready"));
    {
        QueueComponent component;
        ASSERT_NE(component.service, nullptr);
        TestWindow window(kArrival);
        ComponentPtr object = component.Open(QStringLiteral("Halvane"), &window, kArrival);
        IMessageQueue* queue = QueryInterface<IMessageQueue>(object.get());
        ASSERT_NE(queue, nullptr);
        std::int32_t status = 0;
        std::int32_t result = 0;
        ASSERT_EQ(queue->Send(status, result, 1, 0, 0, QStringLiteral("127.0.0.2"), QStringLiteral("Vortamo1"),
                              QStringLiteral("Vortamo.Control"), QStringLiteral("GetState")),
                  S_OK);
        EXPECT_EQ(recorder.ReadLineStartingWith(QStringLiteral("got\t")),
                  QStringLiteral("got\t1\t127.0.0.1\tHalvane\tVortamo.Control\tGetState"));
        std::vector<QueueMessage> taken;
        EXPECT_TRUE(WaitUntil([&] {
            for (QueueMessage& m : TakeAll(queue)) taken.push_back(std::move(m));
            return !taken.empty();
        }));
        ASSERT_FALSE(taken.empty());
        QElapsedTimer sinceFirstAnswer;
        sinceFirstAnswer.start();
        EXPECT_EQ(taken[0].Texts[0], QStringLiteral("127.0.0.1"));
        EXPECT_EQ(taken[0].Texts[1], QStringLiteral("Vortamo1"));
        EXPECT_EQ(taken[0].Texts[3], QStringLiteral("Vortamo.Control|GetState"));

        // The answer relay ends (killed here): the next message starts it again, before it
        // goes out, and its answer comes back as well.
        const std::vector<pid_t> relays = ChildRelays();
        ASSERT_EQ(relays.size(), 1u);
        ASSERT_EQ(::kill(relays[0], SIGKILL), 0);
        // The relay was started before the first answer came: the pause between two starts
        // is over once as long has passed since.
        ASSERT_TRUE(WaitUntil([&] { return sinceFirstAnswer.elapsed() > zandrel::kAnswerRelayRestartPauseMs; }));
        taken.clear();
        ASSERT_EQ(queue->Send(status, result, 2, 0, 0, QStringLiteral("127.0.0.2"), QStringLiteral("Vortamo1"),
                              QStringLiteral("Vortamo.Control"), QStringLiteral("GetState")),
                  S_OK);
        EXPECT_EQ(recorder.ReadLineStartingWith(QStringLiteral("got\t")),
                  QStringLiteral("got\t2\t127.0.0.1\tHalvane\tVortamo.Control\tGetState"));
        EXPECT_TRUE(WaitUntil([&] {
            for (QueueMessage& m : TakeAll(queue)) taken.push_back(std::move(m));
            return !taken.empty();
        }));
        ASSERT_EQ(taken.size(), 1u);
        EXPECT_EQ(taken[0].Values[0], 2);
        EXPECT_EQ(ChildRelays().size(), 1u);
    }
}

// Children of this process (any state, zombies too) whose command line holds `text`.
std::vector<pid_t> ChildrenRunning(const QByteArray& text) {
    std::vector<pid_t> found;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isPid = false;
        const pid_t pid = static_cast<pid_t>(entry.toInt(&isPid));
        if (!isPid) continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (!stat.open(QIODevice::ReadOnly) || !commandLine.open(QIODevice::ReadOnly)) continue;
        const QByteArray statText = stat.readAll();
        const QList<QByteArray> fields = statText.mid(statText.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields[1].toInt() == ::getpid() && commandLine.readAll().contains(text))
            found.push_back(pid);
    }
    return found;
}

// A script in `folder` that the component starts as its answer relay: it notes each start in
// the file HALVANE_TEST_RELAY_STARTS (when set), waits HALVANE_TEST_RELAY_DELAY seconds and
// becomes the relay; with the delay "close" it closes its output and stays without a word.
QString SlowRelayScript(const QTemporaryDir& folder) {
    const QString path = folder.filePath(QStringLiteral("slow-relay"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return {};
    file.write("#!/bin/sh\n"
               "[ -n \"$HALVANE_TEST_RELAY_STARTS\" ] && echo start >> \"$HALVANE_TEST_RELAY_STARTS\"\n"
               "if [ \"$HALVANE_TEST_RELAY_DELAY\" = close ]; then exec >&-; sleep 30; exit 0; fi\n"
               "sleep \"$HALVANE_TEST_RELAY_DELAY\"\n"
               "exec \"" + BinaryPath("ZandrelQueueRelay").toLocal8Bit() + "\" \"$@\"\n");
    file.close();
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner)) return {};
    return path;
}

TEST(QueueAnswersFromAnotherComputer, TheAnswerRelayHoldsNothingOfTheProcessThatStartedIt) {
    // The process holds a file and a socket it opened without close-on-exec (as a library
    // might): the answer relay it starts gets neither, only its standard input and output
    // (its line to the process) and the process's standard error.
    UsePrivateQueueScope();
    ScopedEnvironment environment;
    LineProcess remoteRelay;
    ASSERT_TRUE(remoteRelay.Start(BinaryPath("ZandrelQueueRelay"),
                                  {"--port", "0", "--bind", "127.0.0.2", "--trust", "127.0.0.1"}));
    const QString line = remoteRelay.ReadLine();
    ASSERT_TRUE(line.startsWith(QLatin1StringView("listening "))) << line.toStdString();
    environment.Set("ZANDREL_QUEUE_RELAY_PORT", line.mid(10).toUtf8());
    PeerProcess recorder;
    ASSERT_EQ(recorder.Open(QStringLiteral("Vortamo1")), QStringLiteral("ready"));

    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QByteArray held = QFile::encodeName(folder.filePath(QStringLiteral("held-open")));
    const int file = ::open(held.constData(), O_RDWR | O_CREAT, 0600);  // no O_CLOEXEC
    ASSERT_GE(file, 0);
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);  // no SOCK_CLOEXEC
    ASSERT_GE(socket, 0);
    struct stat socketInfo {};
    ASSERT_EQ(::fstat(socket, &socketInfo), 0);
    const QString socketTarget = QStringLiteral("socket:[%1]").arg(socketInfo.st_ino);
    {
        QueueComponent component;
        TestWindow window(kArrival);
        ComponentPtr object = component.Open(QStringLiteral("Halvane"), &window, kArrival);
        IMessageQueue* queue = QueryInterface<IMessageQueue>(object.get());
        ASSERT_NE(queue, nullptr);
        std::int32_t status = 0;
        std::int32_t result = 0;
        ASSERT_EQ(queue->Send(status, result, 1, 0, 0, QStringLiteral("127.0.0.2"), QStringLiteral("Vortamo1"),
                              QStringLiteral("Vortamo.Control"), QStringLiteral("GetState")),
                  S_OK);
        ASSERT_FALSE(recorder.ReadLineStartingWith(QStringLiteral("got\t")).isEmpty());
        const std::vector<pid_t> relays = ChildRelays();
        ASSERT_EQ(relays.size(), 1u);
        const auto target = [](const QString& link) {
            char text[512] = {};
            const ssize_t n = ::readlink(QFile::encodeName(link).constData(), text, sizeof text - 1);
            return n > 0 ? QString::fromLocal8Bit(text, n) : QString();
        };
        const QString fds = QStringLiteral("/proc/%1/fd/").arg(relays[0]);
        for (const QString& fd : QDir(fds).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
            const QString what = target(fds + fd);
            EXPECT_NE(what, QString::fromLocal8Bit(held)) << fd.toStdString();
            EXPECT_NE(what, socketTarget) << fd.toStdString();
        }
        EXPECT_EQ(target(fds + "2"), target(QStringLiteral("/proc/self/fd/2")));
        EXPECT_EQ(target(fds + "0"), target(fds + "1")) << "its input and output are its line to the process";
    }
    ::close(file);
    ::close(socket);
}

TEST(QueueAnswersFromAnotherComputer, TheAnswerRelayDeliversOnlyToTheQueuesOfItsProcess) {
    // The answer relay hands on what the other computer sends to this process's queue, and
    // nothing to a queue of another process, though of the same user: the recorder's own
    // queue here is not for the other computer to reach through it.
    UsePrivateQueueScope();
    ScopedEnvironment environment;
    LineProcess remoteRelay;
    ASSERT_TRUE(remoteRelay.Start(BinaryPath("ZandrelQueueRelay"),
                                  {"--port", "0", "--bind", "127.0.0.2", "--trust", "127.0.0.1"}));
    const QString line = remoteRelay.ReadLine();
    ASSERT_TRUE(line.startsWith(QLatin1StringView("listening "))) << line.toStdString();
    const QString port = line.mid(10);
    environment.Set("ZANDREL_QUEUE_RELAY_PORT", port.toUtf8());
    PeerProcess recorder;
    ASSERT_EQ(recorder.Open(QStringLiteral("Vortamo1")), QStringLiteral("ready"));
    {
        QueueComponent component;
        TestWindow window(kArrival);
        ComponentPtr object = component.Open(QStringLiteral("Halvane"), &window, kArrival);
        IMessageQueue* queue = QueryInterface<IMessageQueue>(object.get());
        ASSERT_NE(queue, nullptr);
        std::int32_t status = 0;
        std::int32_t result = 0;
        ASSERT_EQ(queue->Send(status, result, 1, 0, 0, QStringLiteral("127.0.0.2"), QStringLiteral("Vortamo1"),
                              QStringLiteral("Vortamo.Control"), QStringLiteral("GetState")),
                  S_OK);
        ASSERT_FALSE(recorder.ReadLineStartingWith(QStringLiteral("got\t")).isEmpty());
        ASSERT_EQ(ChildRelays().size(), 1u);

        // From the other computer's address, to the answer relay on this one.
        LineProcess sender;
        ASSERT_TRUE(sender.Start(BinaryPath("queue_intruder"), {"relay", "127.0.0.2", "127.0.0.1", port, "Vortamo1",
                                                                 "relay", "127.0.0.2", "127.0.0.1", port, "Halvane",
                                                                 "probe", "127.0.0.2", "127.0.0.1", port, "Halvane"}));
        EXPECT_TRUE(sender.ReadLine().endsWith(u" acknowledged 0")) << "not to another process's queue";
        EXPECT_TRUE(sender.ReadLine().endsWith(u" acknowledged 1")) << "to this process's";
        EXPECT_TRUE(sender.ReadLine().endsWith(u" acknowledged 0")) << "no presence questions";
        EXPECT_EQ(recorder.ReadLineStartingWith(QStringLiteral("got\t"), 500), QString());
        std::vector<QueueMessage> taken;
        EXPECT_TRUE(WaitUntil([&] {
            for (QueueMessage& m : TakeAll(queue)) taken.push_back(std::move(m));
            return !taken.empty();
        }));
        ASSERT_FALSE(taken.empty());
        EXPECT_EQ(taken[0].Texts[0], QStringLiteral("127.0.0.2"));
    }
}

TEST(QueueAnswersFromAnotherComputer, AnAnswerRelaySlowToStartNeverDoublesAMessage) {
    // The relay for the answers is started through a script that waits before it becomes the
    // relay. The sender waits for it on this computer; the message then has the whole send
    // time-out (1 s, as in real use) for the other computer, and goes there exactly once. A
    // relay that says nothing within the sender's wait is ended (and reaped), and so is one
    // that closes its output but stays; a component closed during the wait sends nothing.
    struct Case {
        const char* name;
        const char* delaySeconds;
        bool closeAtOnce;
        bool answered;
    };
    const Case cases[] = {
        {"slow to speak", "1.5", false, true},
        {"silent", "4", false, false},
        {"closes its output and stays", "close", false, false},
        {"closed while it starts", "1.5", true, false},
    };
    UsePrivateQueueScope();
    ScopedEnvironment environment;
    LineProcess remoteRelay;
    ASSERT_TRUE(remoteRelay.Start(BinaryPath("ZandrelQueueRelay"),
                                  {"--port", "0", "--bind", "127.0.0.2", "--trust", "127.0.0.1"}));
    const QString line = remoteRelay.ReadLine();
    ASSERT_TRUE(line.startsWith(QLatin1StringView("listening "))) << line.toStdString();
    environment.Set("ZANDREL_QUEUE_RELAY_PORT", line.mid(10).toUtf8());
    PeerProcess recorder;
    ASSERT_EQ(recorder.Open(QStringLiteral("Vortamo1"), {"--echo"}), QStringLiteral("ready"));

    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString wrapper = SlowRelayScript(folder);
    ASSERT_FALSE(wrapper.isEmpty());
    environment.Set("ZANDREL_QUEUE_RELAY_PROGRAM", wrapper.toLocal8Bit());
    environment.Set("ZANDREL_QUEUE_SEND_TIMEOUT_MS", "1000");

    std::int32_t sequence = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        environment.Set("HALVANE_TEST_RELAY_DELAY", c.delaySeconds);
        ++sequence;
        {
            auto component = std::make_unique<QueueComponent>();
            ASSERT_NE(component->service, nullptr);
            TestWindow window(kArrival);
            ComponentPtr object = component->Open(QStringLiteral("Halvane"), &window, kArrival);
            IMessageQueue* queue = QueryInterface<IMessageQueue>(object.get());
            ASSERT_NE(queue, nullptr);
            std::int32_t status = 0;
            std::int32_t result = 0;
            ASSERT_EQ(queue->Send(status, result, sequence, 0, 0, QStringLiteral("127.0.0.2"), QStringLiteral("Vortamo1"),
                                  QStringLiteral("Vortamo.Control"), QStringLiteral("StartRecord")),
                      S_OK);
            if (c.closeAtOnce) {
                // Closed while the sender waits for its relay to speak.
                ASSERT_TRUE(WaitUntil([&] { return !ChildrenRunning(wrapper.toLocal8Bit()).empty(); }));
                object.reset();
                component.reset();
            } else {
                EXPECT_EQ(recorder.ReadLineStartingWith(QStringLiteral("got\t"), 10000),
                          QStringLiteral("got\t%1\t127.0.0.1\tHalvane\tVortamo.Control\tStartRecord").arg(sequence));
                std::vector<QueueMessage> taken;
                const bool answered = WaitUntil(
                    [&] {
                        for (QueueMessage& m : TakeAll(queue)) taken.push_back(std::move(m));
                        return !taken.empty();
                    },
                    c.answered ? kProcessTimeoutMs : 2000);
                EXPECT_EQ(answered, c.answered);
            }
            // A second delivery would follow a given-up acknowledgement half a second later.
            EXPECT_EQ(recorder.ReadLineStartingWith(QStringLiteral("got\t"), 2500), QString());
            if (!c.answered && !c.closeAtOnce) {
                EXPECT_TRUE(WaitUntil([&] { return ChildrenRunning(wrapper.toLocal8Bit()).empty(); }, 5000))
                    << "the silent relay is ended and reaped";
            }
        }
        // The component ends its sender, which ends its relay.
        EXPECT_TRUE(WaitUntil([&] { return ChildrenRunning(wrapper.toLocal8Bit()).empty() && ChildRelays().empty(); }, 10000));
    }
}

TEST(QueueAnswersFromAnotherComputer, AnotherProgramOnTheAnswerPortIsSaidAndNotWaitedFor) {
    // Another program listens where the answer relay would (here a relay that trusts no
    // one): the messages still go out, but the component says, once, that the answers of
    // that computer cannot come back, rather than waiting for answers that go elsewhere. The
    // answer relay is started once, not for every message, and tries the address again
    // (at most once a second); once the other program has gone, answers come back.
    UsePrivateQueueScope();
    ScopedEnvironment environment;
    LineProcess remoteRelay;
    ASSERT_TRUE(remoteRelay.Start(BinaryPath("ZandrelQueueRelay"),
                                  {"--port", "0", "--bind", "127.0.0.2", "--trust", "127.0.0.1"}));
    const QString line = remoteRelay.ReadLine();
    ASSERT_TRUE(line.startsWith(QLatin1StringView("listening "))) << line.toStdString();
    const QString port = line.mid(10);
    environment.Set("ZANDREL_QUEUE_RELAY_PORT", port.toUtf8());
    auto otherProgram = std::make_unique<LineProcess>();
    ASSERT_TRUE(otherProgram->Start(BinaryPath("ZandrelQueueRelay"), {"--port", port, "--bind", "127.0.0.1"}));
    ASSERT_TRUE(otherProgram->ReadLine().startsWith(QLatin1StringView("listening ")));
    PeerProcess recorder;
    ASSERT_EQ(recorder.Open(QStringLiteral("Vortamo1"), {"--echo"}), QStringLiteral("ready"));

    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    // What the relay for the answers traces: each time it tries the address again.
    ErrorsToFile traces(folder.filePath(QStringLiteral("traces.txt")));
    const QString cannot = QStringLiteral("ZandrelQueueRelay: cannot listen on 127.0.0.1:%1: Address already in use\n").arg(port);
    const auto attempts = [&] { return traces.Text().count(cannot); };
    const QString wrapper = SlowRelayScript(folder);
    ASSERT_FALSE(wrapper.isEmpty());
    const QString starts = folder.filePath(QStringLiteral("starts"));
    environment.Set("ZANDREL_QUEUE_RELAY_PROGRAM", wrapper.toLocal8Bit());
    environment.Set("HALVANE_TEST_RELAY_DELAY", "0");
    environment.Set("HALVANE_TEST_RELAY_STARTS", starts.toLocal8Bit());
    const auto startsSoFar = [&] {
        QFile file(starts);
        return file.open(QIODevice::ReadOnly) ? file.readAll().count("start") : 0;
    };
    {
        QueueComponent component;
        ASSERT_NE(component.service, nullptr);
        auto* remote = QueryInterface<IRemoteQueues>(component.object.get());
        ASSERT_NE(remote, nullptr);
        TestWindow window(kArrival);
        ComponentPtr object = component.Open(QStringLiteral("Halvane"), &window, kArrival);
        IMessageQueue* queue = QueryInterface<IMessageQueue>(object.get());
        ASSERT_NE(queue, nullptr);
        const auto send = [&](std::int32_t sequence) {
            std::int32_t status = 0;
            std::int32_t result = 0;
            return queue->Send(status, result, sequence, 0, 0, QStringLiteral("127.0.0.2"), QStringLiteral("Vortamo1"),
                               QStringLiteral("Vortamo.Control"), QStringLiteral("StopRecord"));
        };
        QStringList notes;
        const auto takeNotes = [&] {
            QString note;
            while (remote->TakeNote(note) == S_OK) notes << note;
        };
        // Messages go out (every one of them) until the relay has tried the address three
        // times (at most once a second).
        std::int32_t sequence = 0;
        for (int tried = 1; tried <= 3; ++tried) {
            ASSERT_TRUE(WaitUntil([&] {
                if (send(++sequence) != S_OK) return false;
                EXPECT_EQ(recorder.ReadLineStartingWith(QStringLiteral("got\t")),
                          QStringLiteral("got\t%1\t127.0.0.1\tHalvane\tVortamo.Control\tStopRecord").arg(sequence))
                    << "the message itself goes out";
                return WaitUntil([&] { return attempts() >= tried; }, 250);
            })) << tried;
        }
        takeNotes();
        const QString said = QStringLiteral("the relay for answers cannot listen on 127.0.0.1:%1 (Address already in use): "
                                            "the answers of 127.0.0.2 cannot come back")
                                 .arg(port);
        EXPECT_EQ(notes.count(said), 1) << notes.join(u'\n').toStdString();
        EXPECT_TRUE(TakeAll(queue).empty());
        EXPECT_EQ(startsSoFar(), 1);

        // The other program goes: the answer relay listens there at the next message, and
        // the answers come back (the recorder's first answer after its own failed ones may
        // fail at once, until it has heard this computer again).
        otherProgram.reset();
        std::vector<QueueMessage> taken;
        EXPECT_TRUE(WaitUntil([&] {
            if (send(++sequence) != S_OK) return false;
            WaitUntil([&] {
                for (QueueMessage& m : TakeAll(queue)) taken.push_back(std::move(m));
                return !taken.empty();
            }, 500);
            return !taken.empty();
        }));
        ASSERT_FALSE(taken.empty());
        EXPECT_EQ(taken[0].Texts[3], QStringLiteral("Vortamo.Control|StopRecord"));
        EXPECT_EQ(startsSoFar(), 1);
    }
    // The component ends its senders, the last of which ends the answer relay.
    EXPECT_TRUE(WaitUntil([&] { return ChildrenRunning(wrapper.toLocal8Bit()).empty() && ChildRelays().empty(); }, 10000));
}

TEST(QueueAnswersFromAnotherComputer, WhatTheOtherComputerLastShowedDecidesASendAtOnce) {
    // The other computer (127.0.0.2, its relay trusting us) is asked whether a queue is held
    // there: no answer at the first question, then the answer; a send to a queue it said
    // nobody holds fails at once, as it would here, and once it is held there the next send
    // goes out. A computer whose relay cannot be reached holds nothing, a send to it after
    // a failed exchange fails at once, and the message that was given up is noted.
    UsePrivateQueueScope();
    ScopedEnvironment environment;
    LineProcess remoteRelay;
    ASSERT_TRUE(remoteRelay.Start(BinaryPath("ZandrelQueueRelay"),
                                  {"--port", "0", "--bind", "127.0.0.2", "--trust", "127.0.0.1"}));
    const QString line = remoteRelay.ReadLine();
    ASSERT_TRUE(line.startsWith(QLatin1StringView("listening "))) << line.toStdString();
    environment.Set("ZANDREL_QUEUE_RELAY_PORT", line.mid(10).toUtf8());
    {
        QueueComponent component;
        auto* remote = QueryInterface<IRemoteQueues>(component.object.get());
        ASSERT_NE(remote, nullptr);
        TestWindow window(kArrival);
        ComponentPtr object = component.Open(QStringLiteral("Halvane"), &window, kArrival);
        IMessageQueue* queue = QueryInterface<IMessageQueue>(object.get());
        ASSERT_NE(queue, nullptr);
        const QString there = QStringLiteral("127.0.0.2");
        const auto heldThere = [&](std::int32_t& held) {
            return WaitUntil([&] { return remote->IsQueueHeld(there, QStringLiteral("Vortamo1"), held) == S_OK; });
        };
        std::int32_t held = -1;
        EXPECT_EQ(remote->IsQueueHeld(there, QStringLiteral("Vortamo1"), held), S_FALSE) << "nothing asked yet";
        ASSERT_TRUE(heldThere(held));
        EXPECT_EQ(held, 0);
        std::int32_t status = 1;
        std::int32_t result = 0;
        EXPECT_EQ(static_cast<std::uint32_t>(queue->Send(status, result, 1, 0, 0, there, QStringLiteral("Vortamo1"),
                                                         QStringLiteral("Vortamo.Control"), QStringLiteral("StopRecord"))),
                  0x80070000u | ECONNREFUSED);
        EXPECT_EQ(result, ECONNREFUSED);
        EXPECT_EQ(status, 0);

        PeerProcess recorder;
        ASSERT_EQ(recorder.Open(QStringLiteral("Vortamo1")), QStringLiteral("ready"));
        EXPECT_TRUE(WaitUntil([&] { return heldThere(held) && held == 1; }));
        EXPECT_EQ(queue->Send(status, result, 2, 0, 0, there, QStringLiteral("Vortamo1"), QStringLiteral("Vortamo.Control"),
                              QStringLiteral("StopRecord")),
                  S_OK);
        EXPECT_EQ(recorder.ReadLineStartingWith(QStringLiteral("got\t")),
                  QStringLiteral("got\t2\t127.0.0.1\tHalvane\tVortamo.Control\tStopRecord"));
    }

    // A computer whose relay cannot be reached (a relay's port that nobody listens on any
    // more): the first message is accepted and then given up, with a note; later sends fail
    // at once until that computer answers again, and it holds nothing.
    RelayProcess gone;
    ASSERT_TRUE(gone.Start());
    gone.Stop();
    QueueComponent towardsNowhere;
    ASSERT_TRUE(towardsNowhere.service != nullptr);
    auto* remote = QueryInterface<IRemoteQueues>(towardsNowhere.object.get());
    ASSERT_NE(remote, nullptr);
    TestWindow window(kArrival);
    ComponentPtr object = towardsNowhere.Open(QStringLiteral("Halvane"), &window, kArrival);
    IMessageQueue* queue = QueryInterface<IMessageQueue>(object.get());
    ASSERT_NE(queue, nullptr);
    const QString there = QStringLiteral("127.0.0.2");
    std::int32_t status = 0;
    std::int32_t result = 0;
    EXPECT_EQ(queue->Send(status, result, 3, 0, 0, there, QStringLiteral("Vortamo1"), QStringLiteral("Vortamo.Control"),
                          QStringLiteral("StopRecord")),
              S_OK);
    QString note;
    EXPECT_TRUE(WaitUntil([&] { return remote->TakeNote(note) == S_OK && note.startsWith(u"gave up"); }));
    EXPECT_EQ(note, QStringLiteral("gave up sending message 3 to 'Vortamo1' on 127.0.0.2: Connection refused"));
    EXPECT_EQ(static_cast<std::uint32_t>(queue->Send(status, result, 4, 0, 0, there, QStringLiteral("Vortamo1"),
                                                     QStringLiteral("Vortamo.Control"), QStringLiteral("StopRecord"))),
              0x80070000u | ECONNREFUSED);
    std::int32_t held = -1;
    EXPECT_TRUE(WaitUntil([&] { return remote->IsQueueHeld(there, QStringLiteral("Vortamo1"), held) == S_OK; }));
    EXPECT_EQ(held, 0) << "unreachable: nothing is held there";
}

}  // namespace
}  // namespace hv::test

namespace hv::test {
namespace {

// The sender threads of this process (one per other computer a component sends to).
int QueueSenderThreads() {
    int count = 0;
    for (const QFileInfo& task : QDir(QStringLiteral("/proc/self/task")).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(task.absoluteFilePath() + QStringLiteral("/comm"));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "queue sender") ++count;
    }
    return count;
}

// A TCP port on `address` that takes connections and never answers; counts them.
class SilentRelay {
public:
    explicit SilentRelay(const char* address = "127.0.0.1") : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in where{};
        where.sin_family = AF_INET;
        ::inet_pton(AF_INET, address, &where.sin_addr);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || ::listen(fd_, 16) != 0) return;
        socklen_t size = sizeof where;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&where), &size);
        port = ntohs(where.sin_port);
    }
    ~SilentRelay() {
        for (const int fd : taken_) ::close(fd);
        ::close(fd_);
    }
    // The connections that came so far (taken, and held open unanswered).
    int Connections() {
        for (;;) {
            pollfd waiting{fd_, POLLIN, 0};
            if (::poll(&waiting, 1, 0) != 1) break;
            const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) break;
            taken_.push_back(fd);
        }
        return static_cast<int>(taken_.size());
    }
    std::uint16_t port = 0;

private:
    int fd_;
    std::vector<int> taken_;
};

// A relay of this user in a process of its own, started with `arguments`; its first line.
QString StartRelay(LineProcess& relay, const QStringList& arguments) {
    if (!relay.Start(BinaryPath("ZandrelQueueRelay"), arguments)) return QStringLiteral("not started");
    return relay.ReadLine();
}

// The remote relay of these tests: on 127.0.0.2, trusting this process's address; its port
// is put into `environment` for the components made afterwards.
QString StartRemoteRelay(LineProcess& relay, ScopedEnvironment& environment, const QString& port = QStringLiteral("0")) {
    const QString line = StartRelay(relay, {"--port", port, "--bind", "127.0.0.2", "--trust", "127.0.0.1"});
    if (!line.startsWith(QLatin1StringView("listening "))) return {};
    environment.Set("ZANDREL_QUEUE_RELAY_PORT", line.mid(10).toUtf8());
    return line.mid(10);
}

struct Outcome {
    HResult res = S_FALSE;
    std::int32_t state = -1;
    std::int32_t result = -1;
};

Outcome DeliveryOf(IRemoteQueues* remote, const QString& host, std::int32_t sequence) {
    Outcome o;
    o.res = remote->DeliveryOf(host, sequence, o.state, o.result);
    return o;
}

// Waits until the message is no longer on its way; its outcome.
Outcome OutcomeOf(IRemoteQueues* remote, const QString& host, std::int32_t sequence) {
    Outcome o;
    WaitUntil([&] {
        o = DeliveryOf(remote, host, sequence);
        return o.res != S_OK || o.state != kDeliveryPending;
    });
    return o;
}

TEST(QueueDeliveryToAnotherComputer, EveryMessageEndsDeliveredOrFailedAndIsNeverSentTwice) {
    // Each message accepted for another computer is followed by its sequence number until its
    // outcome is known: taken there, refused there, that computer's relay not reached, or no
    // acknowledgement within the send time-out (1 s here, as in real use), after which it is
    // not sent a second time. A message for this computer, or one never sent, is not known.
    UsePrivateQueueScope();
    ScopedEnvironment environment;
    environment.Set("ZANDREL_QUEUE_SEND_TIMEOUT_MS", "1000");
    LineProcess remoteRelay;
    const QString port = StartRemoteRelay(remoteRelay, environment);
    ASSERT_FALSE(port.isEmpty());
    PeerProcess recorder;
    ASSERT_EQ(recorder.Open(QStringLiteral("Vortamo1")), QStringLiteral("ready"));
    RelayProcess gone;  // a relay's port nobody listens on any more
    {
        ScopedEnvironment keep;
        keep.Keep("ZANDREL_QUEUE_RELAY_PORT");
        ASSERT_TRUE(gone.Start());
        gone.Stop();
    }
    SilentRelay silent("127.0.0.2");
    ASSERT_NE(silent.port, 0);

    struct Case {
        const char* name;
        QString port;
        const char* target;
        std::int32_t state;
        std::int32_t result;
    } cases[] = {
        {"taken there", port, "Vortamo1", kDeliveryDone, 0},
        {"refused there", port, "Nobody", kDeliveryFailed, ECONNREFUSED},
        {"not reached", QString::number(gone.port), "Vortamo1", kDeliveryFailed, ECONNREFUSED},
        {"not acknowledged", QString::number(silent.port), "Vortamo1", kDeliveryFailed, ETIMEDOUT},
    };
    std::int32_t sequence = 40;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        environment.Set("ZANDREL_QUEUE_RELAY_PORT", c.port.toUtf8());
        QueueComponent component;
        auto* remote = QueryInterface<IRemoteQueues>(component.object.get());
        ASSERT_NE(remote, nullptr);
        TestWindow window(kArrival);
        ComponentPtr object = component.Open(QStringLiteral("Halvane"), &window, kArrival);
        IMessageQueue* queue = QueryInterface<IMessageQueue>(object.get());
        ASSERT_NE(queue, nullptr);
        std::int32_t status = 0;
        std::int32_t result = 0;
        ++sequence;
        ASSERT_EQ(queue->Send(status, result, sequence, 0, 0, QStringLiteral("127.0.0.2"), QString::fromLatin1(c.target),
                              QStringLiteral("Vortamo.Control"), QStringLiteral("StopRecord")),
                  S_OK);
        const Outcome o = OutcomeOf(remote, QStringLiteral("127.0.0.2"), sequence);
        EXPECT_EQ(o.res, S_OK);
        EXPECT_EQ(o.state, c.state);
        EXPECT_EQ(o.result, c.result);
        if (c.state == kDeliveryDone) {
            EXPECT_EQ(recorder.ReadLineStartingWith(QStringLiteral("got\t")),
                      QStringLiteral("got\t%1\t127.0.0.1\tHalvane\tVortamo.Control\tStopRecord").arg(sequence));
        }
        if (c.result == ETIMEDOUT) {
            // The message went out once and was not acknowledged: it may have arrived, and
            // was not sent again (a second try would have come before its outcome).
            EXPECT_EQ(silent.Connections(), 1);
        }
        // Neither a message for this computer nor a number never sent is followed.
        EXPECT_EQ(DeliveryOf(remote, QStringLiteral("localhost"), sequence).res, S_FALSE);
        EXPECT_EQ(DeliveryOf(remote, QStringLiteral("127.0.0.2"), sequence + 1000).res, S_FALSE);
    }
    EXPECT_EQ(recorder.ReadLineStartingWith(QStringLiteral("got\t"), 500), QString()) << "nothing came twice";
}

TEST(QueueAnswersFromAnotherComputer, APresenceQuestionIsAskedAgainWithinItsWait) {
    // The relay of the other computer is not there when the question is first asked (as a
    // first packet lost), and is there a moment later: the question is asked again within
    // its wait, and the first answer says the queue is held; that computer never counted as
    // cut off, so a send right after goes out.
    UsePrivateQueueScope();
    ScopedEnvironment environment;
    environment.Set("ZANDREL_QUEUE_SEND_TIMEOUT_MS", "1000");
    QString port;
    {
        LineProcess first;
        port = StartRemoteRelay(first, environment);
    }
    ASSERT_FALSE(port.isEmpty());
    PeerProcess recorder;
    ASSERT_EQ(recorder.Open(QStringLiteral("Vortamo1")), QStringLiteral("ready"));
    QueueComponent component;
    auto* remote = QueryInterface<IRemoteQueues>(component.object.get());
    ASSERT_NE(remote, nullptr);
    TestWindow window(kArrival);
    ComponentPtr object = component.Open(QStringLiteral("Halvane"), &window, kArrival);
    IMessageQueue* queue = QueryInterface<IMessageQueue>(object.get());
    ASSERT_NE(queue, nullptr);

    const QString there = QStringLiteral("127.0.0.2");
    std::int32_t held = -1;
    EXPECT_EQ(remote->IsQueueHeld(there, QStringLiteral("Vortamo1"), held), S_FALSE);
    LineProcess back;
    ASSERT_EQ(StartRelay(back, {"--port", port, "--bind", "127.0.0.2", "--trust", "127.0.0.1"}), "listening " + port);
    HResult res = S_FALSE;
    ASSERT_TRUE(WaitUntil([&] { return (res = remote->IsQueueHeld(there, QStringLiteral("Vortamo1"), held)) == S_OK; }));
    EXPECT_EQ(held, 1) << "the first answer is that of the relay that came";
    std::int32_t status = 0;
    std::int32_t result = 0;
    EXPECT_EQ(queue->Send(status, result, 1, 0, 0, there, QStringLiteral("Vortamo1"), QStringLiteral("Vortamo.Control"),
                          QStringLiteral("GetState")),
              S_OK);
    EXPECT_EQ(recorder.ReadLineStartingWith(QStringLiteral("got\t")),
              QStringLiteral("got\t1\t127.0.0.1\tHalvane\tVortamo.Control\tGetState"));
}

TEST(QueueAnswersFromAnotherComputer, AComputerLetGoOfIsNoLongerTrusted) {
    // Two other computers (127.0.0.2 and 127.0.0.3, each with its relay) are sent to, so
    // both are trusted by the answer relay. The first is let go of (the program's recorder
    // has moved): once what was sent there has gone, its frames are refused, while the
    // second's still come.
    UsePrivateQueueScope();
    ScopedEnvironment environment;
    LineProcess second;
    LineProcess third;
    const QString port = StartRemoteRelay(second, environment);
    ASSERT_FALSE(port.isEmpty());
    ASSERT_EQ(StartRelay(third, {"--port", port, "--bind", "127.0.0.3", "--trust", "127.0.0.1"}), "listening " + port);
    PeerProcess recorder;
    ASSERT_EQ(recorder.Open(QStringLiteral("Vortamo1")), QStringLiteral("ready"));
    QueueComponent component;
    auto* remote = QueryInterface<IRemoteQueues>(component.object.get());
    ASSERT_NE(remote, nullptr);
    TestWindow window(kArrival);
    ComponentPtr object = component.Open(QStringLiteral("Halvane"), &window, kArrival);
    IMessageQueue* queue = QueryInterface<IMessageQueue>(object.get());
    ASSERT_NE(queue, nullptr);
    std::int32_t sequence = 0;
    for (const char* host : {"127.0.0.2", "127.0.0.3"}) {
        std::int32_t status = 0;
        std::int32_t result = 0;
        ASSERT_EQ(queue->Send(status, result, ++sequence, 0, 0, QString::fromLatin1(host), QStringLiteral("Vortamo1"),
                              QStringLiteral("Vortamo.Control"), QStringLiteral("GetState")),
                  S_OK);
        ASSERT_FALSE(recorder.ReadLineStartingWith(QStringLiteral("got\t")).isEmpty()) << host;
        EXPECT_EQ(OutcomeOf(remote, QString::fromLatin1(host), sequence).state, kDeliveryDone) << host;
    }
    const auto hand = [&] {
        LineProcess sender;
        EXPECT_TRUE(sender.Start(BinaryPath("queue_intruder"), {"relay", "127.0.0.2", "127.0.0.1", port, "Halvane",
                                                                 "relay", "127.0.0.3", "127.0.0.1", port, "Halvane"}));
        QStringList lines;
        for (int i = 0; i < 2; ++i) lines << sender.ReadLine().section(u' ', 5);
        return lines;
    };
    EXPECT_EQ(hand(), (QStringList{"acknowledged 1", "acknowledged 1"}));

    EXPECT_EQ(remote->ForgetHost(QStringLiteral("127.0.0.2")), S_OK);
    QStringList outcomes;
    EXPECT_TRUE(WaitUntil([&] {
        outcomes = hand();
        return outcomes.value(0) != QStringLiteral("acknowledged 1");
    })) << outcomes.join(u", ").toStdString();
    EXPECT_EQ(outcomes, (QStringList{"closed", "acknowledged 1"}));
    // What was sent there before is still known.
    EXPECT_EQ(DeliveryOf(remote, QStringLiteral("127.0.0.2"), 1).state, kDeliveryDone);
}

TEST(QueueAnswersFromAnotherComputer, ClosingTheComponentEndsItsSendersBeforeItReturns) {
    // The other computer takes connections and says nothing, with a send time-out longer
    // than the test: the messages waiting behind the one under way are given up (and
    // traced) while the component closes, and no sender thread or answer relay of it is
    // left afterwards to write anything.
    UsePrivateQueueScope();
    SilentRelay silent;
    ASSERT_NE(silent.port, 0);
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    {
        ErrorsToFile traces(folder.filePath(QStringLiteral("traces.txt")));
        {
            std::unique_ptr<QueueComponent> component;
            {
                ScopedEnvironment towardsSilence;
                towardsSilence.Set("ZANDREL_QUEUE_RELAY_PORT", QByteArray::number(silent.port));
                towardsSilence.Set("ZANDREL_QUEUE_SEND_TIMEOUT_MS", "600000");
                component = std::make_unique<QueueComponent>();
            }
            TestWindow window(kArrival);
            ComponentPtr object = component->Open(QStringLiteral("Halvane"), &window, kArrival);
            IMessageQueue* queue = QueryInterface<IMessageQueue>(object.get());
            ASSERT_NE(queue, nullptr);
            for (std::int32_t i = 1; i <= 3; ++i) {
                std::int32_t status = 0;
                std::int32_t result = 0;
                ASSERT_EQ(queue->Send(status, result, i, 0, 0, QStringLiteral("127.0.0.1"), QStringLiteral("Vortamo1"),
                                      QStringLiteral("Vortamo.Control"), QStringLiteral("GetState")),
                          S_OK);
            }
            ASSERT_TRUE(WaitUntil([&] { return silent.Connections() == 1; }));
            object.reset();
            component.reset();
            EXPECT_EQ(QueueSenderThreads(), 0) << "joined before the component was gone";
            EXPECT_TRUE(ChildRelays().empty());
        }
        const QString said = traces.Text();
        for (int i = 1; i <= 3; ++i)
            EXPECT_TRUE(said.contains(
                QStringLiteral("Zandrel.MessageQueue: gave up sending message %1 to 'Vortamo1' on 127.0.0.1: the queue was closed\n")
                    .arg(i)))
                << said.toStdString();
    }
}

TEST(QueueAnswersFromAnotherComputer, ThisUsersRelayOnTheAnswerAddressTakesTheAnswersWhicheverStartsFirst) {
    // The other computer is 127.0.0.2; the answers come back to 127.0.0.1, on the same port,
    // where this user also runs a relay of its own (as on the recorder's computer, where the
    // recorder answers through the relay that serves it). Started first, that relay takes
    // the answers and the process starts no relay for them; started later, the process's
    // relay for the answers leaves the port to it; once it has gone, the process's relay
    // takes the answers again.
    UsePrivateQueueScope();
    ScopedEnvironment environment;
    LineProcess remoteRelay;
    const QString port = StartRemoteRelay(remoteRelay, environment);
    ASSERT_FALSE(port.isEmpty());
    PeerProcess recorder;
    ASSERT_EQ(recorder.Open(QStringLiteral("Vortamo1"), {"--echo"}), QStringLiteral("ready"));
    const QStringList ownRelay = {"--port", port, "--bind", "127.0.0.1", "--trust", "127.0.0.2", "--trust", "127.0.0.1"};

    QueueComponent component;
    auto* remote = QueryInterface<IRemoteQueues>(component.object.get());
    ASSERT_NE(remote, nullptr);
    TestWindow window(kArrival);
    ComponentPtr object = component.Open(QStringLiteral("Halvane"), &window, kArrival);
    IMessageQueue* queue = QueryInterface<IMessageQueue>(object.get());
    ASSERT_NE(queue, nullptr);
    std::int32_t sequence = 0;
    // Sends one message there (again while that fails at once); true once its answer came.
    const auto answered = [&] {
        return WaitUntil([&] {
            std::int32_t status = 0;
            std::int32_t result = 0;
            if (queue->Send(status, result, ++sequence, 0, 0, QStringLiteral("127.0.0.2"), QStringLiteral("Vortamo1"),
                            QStringLiteral("Vortamo.Control"), QStringLiteral("GetState")) != S_OK)
                return false;
            return WaitUntil([&] { return !TakeAll(queue).empty(); }, 2000);
        });
    };
    const auto notes = [&] {
        QStringList taken;
        QString note;
        while (remote->TakeNote(note) == S_OK) taken << note;
        return taken;
    };

    {
        LineProcess first;
        ASSERT_EQ(StartRelay(first, ownRelay), "listening " + port);
        EXPECT_TRUE(answered());
        EXPECT_TRUE(ChildRelays().empty()) << "no relay for the answers of its own";
    }
    // That relay has gone: the process's own relay takes the answers.
    EXPECT_TRUE(answered());
    EXPECT_EQ(ChildRelays().size(), 1u);

    // Started while the process's relay listens there, this user's relay gets the port.
    LineProcess later;
    ASSERT_EQ(StartRelay(later, ownRelay), "listening " + port);
    EXPECT_TRUE(answered());
    EXPECT_EQ(notes(), QStringList()) << "the answers never stood in another's way";
}

}  // namespace
}  // namespace hv::test
