// The answers of another computer (its relay on 127.0.0.2) to the queue of this process: the
// relay for the answers that the component starts, what it holds and whom it delivers to,
// and how it gives way to another program or to this user's own relay on its port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <memory>
#include <vector>

#include "AnswerRelay.h"
#include "OtherUser.h"
#include "QueueIntruder.h"
#include "QueueRemoteSupport.h"
#include "QueueTestSupport.h"

namespace hv::test {
namespace {

constexpr unsigned kArrival = WM_USER + 42;

using QueueAnswersFromAnotherComputer = AnotherComputer;

TEST_F(QueueAnswersFromAnotherComputer, TheRelayForTheAnswersIsStartedByTheComponent) {
    // The recorder's computer is 127.0.0.2 (its relay listens there and trusts us); nobody
    // starts a relay on our side by hand. Our first delivery there starts one, bound to the
    // address we left from, so that the recorder's answer, sent to the address its relay
    // saw, comes back.
    QString port;
    ASSERT_TRUE(StartRemoteRelay(remoteRelay, port));
    PeerProcess recorder;
    ASSERT_EQ(recorder.Open(QStringLiteral("Vortamo1"), {"--echo"}), QStringLiteral("ready"));
    {
        QueueComponent component;
        ASSERT_NE(component.service, nullptr);
        HalvaneQueue halvane(kArrival);
        ASSERT_TRUE(halvane.Open(component));
        ASSERT_EQ(halvane.SendControl(1, QStringLiteral("127.0.0.2"), QStringLiteral("GetState")), S_OK);
        EXPECT_EQ(recorder.ReadLineStartingWith(QStringLiteral("got\t")), ControlGot(1, QStringLiteral("GetState")));
        std::vector<QueueMessage> taken;
        EXPECT_TRUE(halvane.TakeUntil(taken));
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
        ASSERT_EQ(halvane.SendControl(2, QStringLiteral("127.0.0.2"), QStringLiteral("GetState")), S_OK);
        EXPECT_EQ(recorder.ReadLineStartingWith(QStringLiteral("got\t")), ControlGot(2, QStringLiteral("GetState")));
        EXPECT_TRUE(halvane.TakeUntil(taken));
        ASSERT_EQ(taken.size(), 1u);
        EXPECT_EQ(taken[0].Values[0], 2);
        EXPECT_EQ(ChildRelays().size(), 1u);
    }
}

TEST_F(QueueAnswersFromAnotherComputer, TheAnswerRelayHoldsNothingOfTheProcessThatStartedIt) {
    // The process holds a file and a socket it opened without close-on-exec (as a library
    // might): the answer relay it starts gets neither, only its standard input and output
    // (its line to the process) and the process's standard error.
    QString port;
    ASSERT_TRUE(StartRemoteRelay(remoteRelay, port));
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
        HalvaneQueue halvane(kArrival);
        ASSERT_TRUE(halvane.Open(component));
        ASSERT_EQ(halvane.SendControl(1, QStringLiteral("127.0.0.2"), QStringLiteral("GetState")), S_OK);
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

TEST_F(QueueAnswersFromAnotherComputer, TheAnswerRelayDeliversOnlyToTheQueuesOfItsProcess) {
    // The answer relay hands on what the other computer sends to this process's queue, and
    // nothing to a queue of another process, though of the same user: the recorder's own
    // queue here is not for the other computer to reach through it.
    QString port;
    ASSERT_TRUE(StartRemoteRelay(remoteRelay, port));
    PeerProcess recorder;
    ASSERT_EQ(recorder.Open(QStringLiteral("Vortamo1")), QStringLiteral("ready"));
    {
        QueueComponent component;
        HalvaneQueue halvane(kArrival);
        ASSERT_TRUE(halvane.Open(component));
        ASSERT_EQ(halvane.SendControl(1, QStringLiteral("127.0.0.2"), QStringLiteral("GetState")), S_OK);
        ASSERT_FALSE(recorder.ReadLineStartingWith(QStringLiteral("got\t")).isEmpty());
        ASSERT_EQ(ChildRelays().size(), 1u);

        // From the other computer's address, to the answer relay on this one.
        Intruder sender;
        ASSERT_TRUE(sender.StartAsThisUser({"relay", "127.0.0.2", "127.0.0.1", port, "Vortamo1",
                                            "relay", "127.0.0.2", "127.0.0.1", port, "Halvane",
                                            "probe", "127.0.0.2", "127.0.0.1", port, "Halvane"}));
        EXPECT_TRUE(sender.ReadLine().endsWith(u" acknowledged 0")) << "not to another process's queue";
        EXPECT_TRUE(sender.ReadLine().endsWith(u" acknowledged 1")) << "to this process's";
        EXPECT_TRUE(sender.ReadLine().endsWith(u" acknowledged 0")) << "no presence questions";
        EXPECT_EQ(recorder.ReadLineStartingWith(QStringLiteral("got\t"), 500), QString());
        std::vector<QueueMessage> taken;
        EXPECT_TRUE(halvane.TakeUntil(taken));
        ASSERT_FALSE(taken.empty());
        EXPECT_EQ(taken[0].Texts[0], QStringLiteral("127.0.0.2"));
    }
}

TEST_F(QueueAnswersFromAnotherComputer, AnAnswerRelaySlowToStartNeverDoublesAMessage) {
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
    QString port;
    ASSERT_TRUE(StartRemoteRelay(remoteRelay, port));
    PeerProcess recorder;
    ASSERT_EQ(recorder.Open(QStringLiteral("Vortamo1"), {"--echo"}), QStringLiteral("ready"));

    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString wrapper = UseScriptedAnswerRelay(folder);
    ASSERT_FALSE(wrapper.isEmpty());
    environment.Set("ZANDREL_QUEUE_SEND_TIMEOUT_MS", "1000");

    std::int32_t sequence = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        environment.Set("HALVANE_TEST_RELAY_DELAY", c.delaySeconds);
        ++sequence;
        {
            auto component = std::make_unique<QueueComponent>();
            ASSERT_NE(component->service, nullptr);
            HalvaneQueue halvane(kArrival);
            ASSERT_TRUE(halvane.Open(*component));
            ASSERT_EQ(halvane.SendControl(sequence, QStringLiteral("127.0.0.2"), QStringLiteral("StartRecord")), S_OK);
            if (c.closeAtOnce) {
                // Closed while the sender waits for its relay to speak.
                ASSERT_TRUE(WaitUntil([&] { return !ChildrenRunning(wrapper.toLocal8Bit()).empty(); }));
                halvane.Close();
                component.reset();
            } else {
                EXPECT_EQ(recorder.ReadLineStartingWith(QStringLiteral("got\t"), 10000),
                          ControlGot(sequence, QStringLiteral("StartRecord")));
                std::vector<QueueMessage> taken;
                const bool answered = halvane.TakeUntil(taken, 1, c.answered ? kProcessTimeoutMs : 2000);
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

TEST_F(QueueAnswersFromAnotherComputer, AnotherProgramOnTheAnswerPortIsSaidAndNotWaitedFor) {
    // Another program listens where the answer relay would (here a relay that trusts no
    // one): the messages still go out, but the component says, once, that the answers of
    // that computer cannot come back, rather than waiting for answers that go elsewhere. The
    // answer relay is started once, not for every message, and tries the address again
    // (at most once a second); once the other program has gone, answers come back.
    QString port;
    ASSERT_TRUE(StartRemoteRelay(remoteRelay, port));
    auto otherProgram = std::make_unique<LineProcess>();
    ASSERT_TRUE(
        StartRelay(*otherProgram, {"--port", port, "--bind", "127.0.0.1"}).startsWith(QLatin1StringView("listening ")));
    PeerProcess recorder;
    ASSERT_EQ(recorder.Open(QStringLiteral("Vortamo1"), {"--echo"}), QStringLiteral("ready"));

    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    // What the relay for the answers traces: each time it tries the address again.
    ErrorsToFile traces(folder.filePath(QStringLiteral("traces.txt")));
    const QString cannot = QStringLiteral("ZandrelQueueRelay: cannot listen on 127.0.0.1:%1: Address already in use\n").arg(port);
    const auto attempts = [&] { return traces.Text().count(cannot); };
    const QString starts = folder.filePath(QStringLiteral("starts"));
    const QString wrapper = UseScriptedAnswerRelay(folder, starts);
    ASSERT_FALSE(wrapper.isEmpty());
    environment.Set("HALVANE_TEST_RELAY_DELAY", "0");
    const auto startsSoFar = [&] {
        QFile file(starts);
        return file.open(QIODevice::ReadOnly) ? file.readAll().count("start") : 0;
    };
    {
        QueueComponent component;
        ASSERT_NE(component.service, nullptr);
        HalvaneQueue halvane(kArrival);
        ASSERT_TRUE(halvane.Open(component));
        ASSERT_NE(halvane.remote, nullptr);
        const auto send = [&](std::int32_t sequence) {
            return halvane.SendControl(sequence, QStringLiteral("127.0.0.2"), QStringLiteral("StopRecord"));
        };
        // Messages go out (every one of them) until the relay has tried the address three
        // times (at most once a second).
        std::int32_t sequence = 0;
        for (int tried = 1; tried <= 3; ++tried) {
            ASSERT_TRUE(WaitUntil([&] {
                if (send(++sequence) != S_OK) return false;
                EXPECT_EQ(recorder.ReadLineStartingWith(QStringLiteral("got\t")),
                          ControlGot(sequence, QStringLiteral("StopRecord")))
                    << "the message itself goes out";
                return WaitUntil([&] { return attempts() >= tried; }, 250);
            })) << tried;
        }
        const QStringList notes = halvane.TakeNotes();
        const QString said = QStringLiteral("the relay for answers cannot listen on 127.0.0.1:%1 (Address already in use): "
                                            "the answers of 127.0.0.2 cannot come back")
                                 .arg(port);
        EXPECT_EQ(notes.count(said), 1) << notes.join(u'\n').toStdString();
        EXPECT_TRUE(TakeAll(halvane.queue).empty());
        EXPECT_EQ(startsSoFar(), 1);

        // The other program goes: the answer relay listens there at the next message, and
        // the answers come back (the recorder's first answer after its own failed ones may
        // fail at once, until it has heard this computer again).
        otherProgram.reset();
        std::vector<QueueMessage> taken;
        EXPECT_TRUE(WaitUntil([&] {
            if (send(++sequence) != S_OK) return false;
            halvane.TakeUntil(taken, 1, 500);
            return !taken.empty();
        }));
        ASSERT_FALSE(taken.empty());
        EXPECT_EQ(taken[0].Texts[3], QStringLiteral("Vortamo.Control|StopRecord"));
        EXPECT_EQ(startsSoFar(), 1);
    }
    // The component ends its senders, the last of which ends the answer relay.
    EXPECT_TRUE(WaitUntil([&] { return ChildrenRunning(wrapper.toLocal8Bit()).empty() && ChildRelays().empty(); }, 10000));
}

TEST_F(QueueAnswersFromAnotherComputer, ThisUsersRelayOnTheAnswerAddressTakesTheAnswersWhicheverStartsFirst) {
    // The other computer is 127.0.0.2; the answers come back to 127.0.0.1, on the same port,
    // where this user also runs a relay of its own (as on the recorder's computer, where the
    // recorder answers through the relay that serves it). Started first, that relay takes
    // the answers and the process starts no relay for them; started later, the process's
    // relay for the answers leaves the port to it; once it has gone, the process's relay
    // takes the answers again.
    QString port;
    ASSERT_TRUE(StartRemoteRelay(remoteRelay, port));
    PeerProcess recorder;
    ASSERT_EQ(recorder.Open(QStringLiteral("Vortamo1"), {"--echo"}), QStringLiteral("ready"));
    const QStringList ownRelay = {"--port", port, "--bind", "127.0.0.1", "--trust", "127.0.0.2", "--trust", "127.0.0.1"};

    QueueComponent component;
    HalvaneQueue halvane(kArrival);
    ASSERT_TRUE(halvane.Open(component));
    ASSERT_NE(halvane.remote, nullptr);
    std::int32_t sequence = 0;
    // Sends one message there (again while that fails at once); true once its answer came.
    const auto answered = [&] {
        return WaitUntil([&] {
            if (halvane.SendControl(++sequence, QStringLiteral("127.0.0.2"), QStringLiteral("GetState")) != S_OK)
                return false;
            return WaitUntil([&] { return !TakeAll(halvane.queue).empty(); }, 2000);
        });
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
    EXPECT_EQ(halvane.TakeNotes(), QStringList()) << "the answers never stood in another's way";
}

}  // namespace
}  // namespace hv::test
