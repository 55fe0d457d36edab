// The installed message queue component between real processes: names held by a process,
// freed when it is killed, messages both ways on this computer and through the relay.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <vector>

#include "LocalQueues.h"
#include "QueueRemoteSupport.h"
#include "QueueTestSupport.h"
#include "QueueTransport.h"
#include "QueueWire.h"

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
    HalvaneQueue halvane(kArrival);
    ASSERT_TRUE(halvane.Open(component));

    std::int32_t status = 0;
    std::int32_t result = -1;
    ASSERT_EQ(halvane.Send(17, QStringLiteral("localhost"), QStringLiteral("Echo1"), QStringLiteral("Видео"),
                           QStringLiteral("two"), &status, &result),
              S_OK);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(result, 0);

    const QString got = peer.ReadLineStartingWith(QStringLiteral("got\t"));
    EXPECT_EQ(got, QStringLiteral("got\t17\t%1\tHalvane\tВидео\ttwo").arg(zandrel::LocalHostName()));

    ASSERT_TRUE(WaitUntil([&] { return halvane.window.posted > 0; }));
    IMessageQueue* queue = halvane.queue;
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
    HalvaneQueue halvane(kArrival);
    ASSERT_TRUE(halvane.Open(component));
    PeerProcess peer;
    ASSERT_EQ(peer.Open(QStringLiteral("Sender")), QStringLiteral("ready"));

    constexpr int kCount = 500;
    EXPECT_EQ(peer.Send(QStringLiteral("localhost"), QStringLiteral("Halvane"), QStringLiteral("Burst"),
                        QStringLiteral("x"), kCount),
              kCount);
    std::vector<QueueMessage> taken;
    ASSERT_TRUE(halvane.TakeUntil(taken, kCount));
    ASSERT_EQ(taken.size(), static_cast<std::size_t>(kCount));
    for (int i = 0; i < kCount; ++i) EXPECT_EQ(taken[static_cast<std::size_t>(i)].Values[0], i + 1);
    EXPECT_TRUE(WaitUntil([&] { return halvane.window.posted >= 1; }));
}

TEST_F(QueueBetweenProcesses, ASendToAQueueNobodyHoldsFailsAtOnce) {
    HalvaneQueue halvane(kArrival);
    ASSERT_TRUE(halvane.Open(component));
    std::int32_t status = 1;
    std::int32_t result = 0;
    const HResult res = halvane.Send(1, QStringLiteral("localhost"), QStringLiteral("Kestrilo"),
                                     QStringLiteral("TimeInfo"), QStringLiteral("Halvane"), &status, &result);
    EXPECT_EQ(static_cast<std::uint32_t>(res), 0x80070000u | ECONNREFUSED);
    EXPECT_EQ(result, ECONNREFUSED);
    EXPECT_EQ(status, 0);
}

TEST_F(QueueBetweenProcesses, ASendToAStuckHolderHereFailsAfterTheShortLocalTimeOut) {
    // The holder of "Kestrilo" never reads (a frozen companion): a send there fails with
    // ETIMEDOUT after the local time-out (200 ms unless configured), not the send time-out.
    const auto shortWait = ComponentWith({{"ZANDREL_QUEUE_LOCAL_TIMEOUT_MS", nullptr}});
    zandrel::HeldQueueName stuck;  // held and listened on, never read
    ASSERT_EQ(zandrel::HoldQueueName(zandrel::QueueConfig::FromEnvironment(), QStringLiteral("Kestrilo"), stuck), 0);
    HalvaneQueue halvane(kArrival);
    ASSERT_TRUE(halvane.Open(*shortWait));
    for (int i = 1; i <= 3; ++i) {
        std::int32_t status = 1;
        std::int32_t result = 0;
        QElapsedTimer waited;
        waited.start();
        const HResult res = halvane.Send(i, QString(), QStringLiteral("Kestrilo"), QStringLiteral("TimeInfo"),
                                         QStringLiteral("Halvane"), &status, &result);
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
    HalvaneQueue halvane(kArrival);
    ASSERT_TRUE(halvane.Open(component));

    std::int32_t status = 0;
    std::int32_t result = -1;
    ASSERT_EQ(halvane.SendControl(5, QStringLiteral("127.0.0.1"), QStringLiteral("GetState"), &status, &result), S_OK);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(peer.ReadLineStartingWith(QStringLiteral("got\t")), ControlGot(5, QStringLiteral("GetState")))
        << "the relay hands on the sender's address as it saw it";

    std::vector<QueueMessage> taken;
    ASSERT_TRUE(halvane.TakeUntil(taken));
    EXPECT_EQ(taken[0].Texts[0], QStringLiteral("127.0.0.1"));
    EXPECT_EQ(taken[0].Texts[1], QStringLiteral("Vortamo1"));
    EXPECT_EQ(taken[0].Texts[3], QStringLiteral("Vortamo.Control|GetState"));

    // A remote send to a queue nobody holds there is accepted for delivery here; the
    // sender thread learns from the relay that it cannot be delivered and traces it.
    EXPECT_EQ(halvane.Send(6, QStringLiteral("127.0.0.1"), QStringLiteral("Nobody"), QStringLiteral("a"),
                           QStringLiteral("b"), &status, &result),
              S_OK);
    EXPECT_EQ(status, 1);
}

TEST_F(QueueBetweenProcesses, ARemoteSendWithoutARelayFails) {
    // A second relay started and stopped gives a port that nobody listens on.
    const std::uint16_t gonePort = DeadRelayPort();
    ASSERT_NE(gonePort, 0);
    const auto withoutRelay = ComponentWith({{"ZANDREL_QUEUE_RELAY_PORT", QByteArray::number(gonePort).constData()}});
    HalvaneQueue halvane(kArrival);
    ASSERT_TRUE(halvane.Open(*withoutRelay));
    // Accepted for delivery on this computer; the delivery fails later, on the sender
    // thread, and a message to a queue here that nobody holds still fails at once.
    std::int32_t status = 0;
    std::int32_t result = -1;
    EXPECT_EQ(halvane.Send(1, QStringLiteral("127.0.0.1"), QStringLiteral("Vortamo1"), QStringLiteral("a"),
                           QStringLiteral("b"), &status, &result),
              S_OK);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(result, 0);
    const HResult res = halvane.Send(2, QStringLiteral("localhost"), QStringLiteral("Vortamo1"), QStringLiteral("a"),
                                     QStringLiteral("b"), &status, &result);
    EXPECT_EQ(static_cast<std::uint32_t>(res), 0x80070000u | ECONNREFUSED);
    EXPECT_EQ(status, 0);
}

TEST_F(QueueBetweenProcesses, ASendToAComputerThatNeverAnswersDoesNotWait) {
    // The other computer's relay takes the connection and then says nothing, like a host
    // that drops packets: the send returns while that relay is still silent, and closing
    // the queue and the component returns at once although the delivery is still under way
    // (with a send time-out far longer than anything the closing may cost).
    SilentRelay silent;
    ASSERT_NE(silent.port, 0);
    // Sender threads of earlier tests end on their own: none is left after a while.
    ASSERT_TRUE(WaitUntil([&] { return QueueSenderThreads() == 0; }));
    const int threadsBefore = 0;
    QElapsedTimer closing;
    {
        auto towardsSilence =
            ComponentWith({{"ZANDREL_QUEUE_RELAY_PORT", QByteArray::number(silent.port).constData()},
                           {"ZANDREL_QUEUE_SEND_TIMEOUT_MS", QByteArray::number(kSilentSendTimeoutMs).constData()}});
        HalvaneQueue towardsIt(kArrival);
        ASSERT_TRUE(towardsIt.Open(*towardsSilence));
        for (int i = 1; i <= 5; ++i) {
            std::int32_t status = 0;
            EXPECT_EQ(towardsIt.SendControl(i, QStringLiteral("127.0.0.1"), QStringLiteral("GetState"), &status), S_OK);
            EXPECT_EQ(status, 1);
        }
        // The sender thread is the one that waits: its connection reaches the silent relay.
        EXPECT_TRUE(silent.WaitForConnection(10000));
        EXPECT_EQ(QueueSenderThreads(), threadsBefore + 1);
        closing.start();
        towardsIt.Close();
        towardsSilence.reset();
    }
    // Nobody waited for the delivery under way: the closing is bounded by local work only,
    // far below the send time-out it would otherwise wait for.
    EXPECT_LT(closing.elapsed(), kSilentSendTimeoutMs / 2);
    // And the sender thread, told to stop, ends on its own soon after.
    EXPECT_TRUE(WaitUntil([&] { return QueueSenderThreads() == threadsBefore; }));
}

TEST_F(QueueBetweenProcesses, ReopeningTheQueueKeepsTheSenderOfAnotherComputer) {
    // The program reopens its queue for every new game: the sender thread of a computer it
    // already sent to goes on serving the new queue, and the message arrives.
    PeerProcess peer;
    ASSERT_EQ(peer.Open(QStringLiteral("Vortamo1"), {"--echo", "--answer-host", "127.0.0.1"}),
              QStringLiteral("ready"));
    HalvaneQueue halvane(kArrival);
    for (int round = 1; round <= 3; ++round) {
        ASSERT_TRUE(halvane.Open(component));
        ASSERT_EQ(halvane.SendControl(round, QStringLiteral("127.0.0.1"), QStringLiteral("GetState")), S_OK);
        EXPECT_EQ(peer.ReadLineStartingWith(QStringLiteral("got\t")), ControlGot(round, QStringLiteral("GetState")));
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
        const int fd = ConnectFrom(QStringLiteral("127.0.0.2"), relay_->port);
        ASSERT_GE(fd, 0);
        ::send(fd, frame.constData(), static_cast<size_t>(frame.size()), MSG_NOSIGNAL);
        EXPECT_TRUE(AnswersNothing(fd)) << "closed without an acknowledgement";
        ::close(fd);
    }
    // A trusted sender still gets through, and is the first message the peer sees.
    HalvaneQueue halvane(kArrival);
    ASSERT_TRUE(halvane.Open(component));
    EXPECT_EQ(halvane.Send(10, QStringLiteral("127.0.0.1"), QStringLiteral("Guarded"), QStringLiteral("from"),
                           QStringLiteral("friend")),
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
        // 127.1.0.1, 127.1.0.2 ...
        const int fd = ConnectFrom(QStringLiteral("127.1.%1.%2").arg((i + 1) >> 8).arg((i + 1) & 0xFF), port);
        ASSERT_GE(fd, 0);
        if (AnswersNothing(fd)) ++closedUnread;
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
        const int fd = ConnectFrom(QString(), relay_->port);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::send(fd, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL), bytes.size());
        ::close(fd);
    }
    HalvaneQueue halvane(kArrival);
    ASSERT_TRUE(halvane.Open(component));
    EXPECT_EQ(halvane.Send(3, QStringLiteral("127.0.0.1"), QStringLiteral("AfterRubbish"), QStringLiteral("still"),
                           QStringLiteral("there")),
              S_OK);
    EXPECT_EQ(peer.ReadLineStartingWith(QStringLiteral("got\t")),
              QStringLiteral("got\t3\t127.0.0.1\tHalvane\tstill\tthere"));
}

}  // namespace
}  // namespace hv::test
