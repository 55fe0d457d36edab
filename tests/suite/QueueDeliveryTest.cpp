// Messages to another computer (its relay on 127.0.0.2): what that computer last showed
// decides a send at once, presence questions, the outcome of every message, a computer let
// go of, and the senders ended with the component.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <memory>

#include "OtherUser.h"
#include "QueueIntruder.h"
#include "QueueRemoteSupport.h"
#include "QueueTestSupport.h"

namespace hv::test {
namespace {

constexpr unsigned kArrival = WM_USER + 43;

using QueueAnswersFromAnotherComputer = AnotherComputer;
using QueueDeliveryToAnotherComputer = AnotherComputer;

TEST_F(QueueAnswersFromAnotherComputer, WhatTheOtherComputerLastShowedDecidesASendAtOnce) {
    // The other computer (127.0.0.2, its relay trusting us) is asked whether a queue is held
    // there: no answer at the first question, then the answer; a send to a queue it said
    // nobody holds fails at once, as it would here, and once it is held there the next send
    // goes out. A computer whose relay cannot be reached holds nothing, a send to it after
    // a failed exchange fails at once, and the message that was given up is noted.
    QString port;
    ASSERT_TRUE(StartRemoteRelay(remoteRelay, port));
    const QString there = QStringLiteral("127.0.0.2");
    {
        QueueComponent component;
        HalvaneQueue halvane(kArrival);
        ASSERT_TRUE(halvane.Open(component));
        IRemoteQueues* remote = halvane.remote;
        ASSERT_NE(remote, nullptr);
        const auto heldThere = [&](std::int32_t& held) {
            return WaitUntil([&] { return remote->IsQueueHeld(there, QStringLiteral("Vortamo1"), held) == S_OK; });
        };
        std::int32_t held = -1;
        EXPECT_EQ(remote->IsQueueHeld(there, QStringLiteral("Vortamo1"), held), S_FALSE) << "nothing asked yet";
        ASSERT_TRUE(heldThere(held));
        EXPECT_EQ(held, 0);
        std::int32_t status = 1;
        std::int32_t result = 0;
        EXPECT_EQ(static_cast<std::uint32_t>(halvane.SendControl(1, there, QStringLiteral("StopRecord"), &status, &result)),
                  0x80070000u | ECONNREFUSED);
        EXPECT_EQ(result, ECONNREFUSED);
        EXPECT_EQ(status, 0);

        PeerProcess recorder;
        ASSERT_EQ(recorder.Open(QStringLiteral("Vortamo1")), QStringLiteral("ready"));
        EXPECT_TRUE(WaitUntil([&] { return heldThere(held) && held == 1; }));
        EXPECT_EQ(halvane.SendControl(2, there, QStringLiteral("StopRecord")), S_OK);
        EXPECT_EQ(recorder.ReadLineStartingWith(QStringLiteral("got\t")), ControlGot(2, QStringLiteral("StopRecord")));
    }

    // A computer whose relay cannot be reached (a relay's port that nobody listens on any
    // more): the first message is accepted and then given up, with a note; later sends fail
    // at once until that computer answers again, and it holds nothing.
    const std::uint16_t gonePort = DeadRelayPort();
    ASSERT_NE(gonePort, 0);
    const auto towardsNowhere = ComponentWith({{"ZANDREL_QUEUE_RELAY_PORT", QByteArray::number(gonePort).constData()}});
    ASSERT_TRUE(towardsNowhere->service != nullptr);
    HalvaneQueue halvane(kArrival);
    ASSERT_TRUE(halvane.Open(*towardsNowhere));
    IRemoteQueues* remote = halvane.remote;
    ASSERT_NE(remote, nullptr);
    EXPECT_EQ(halvane.SendControl(3, there, QStringLiteral("StopRecord")), S_OK);
    QString note;
    EXPECT_TRUE(WaitUntil([&] { return remote->TakeNote(note) == S_OK && note.startsWith(u"gave up"); }));
    EXPECT_EQ(note, QStringLiteral("gave up sending message 3 to 'Vortamo1' on 127.0.0.2: Connection refused"));
    EXPECT_EQ(static_cast<std::uint32_t>(halvane.SendControl(4, there, QStringLiteral("StopRecord"))),
              0x80070000u | ECONNREFUSED);
    std::int32_t held = -1;
    EXPECT_TRUE(WaitUntil([&] { return remote->IsQueueHeld(there, QStringLiteral("Vortamo1"), held) == S_OK; }));
    EXPECT_EQ(held, 0) << "unreachable: nothing is held there";
}

TEST_F(QueueDeliveryToAnotherComputer, EveryMessageEndsDeliveredOrFailedAndIsNeverSentTwice) {
    // Each message accepted for another computer is followed by its sequence number until its
    // outcome is known: taken there, refused there, that computer's relay not reached, or no
    // acknowledgement within the send time-out (1 s here, as in real use), after which it is
    // not sent a second time. A message for this computer, or one never sent, is not known.
    environment.Set("ZANDREL_QUEUE_SEND_TIMEOUT_MS", "1000");
    QString port;
    ASSERT_TRUE(StartRemoteRelay(remoteRelay, port));
    PeerProcess recorder;
    ASSERT_EQ(recorder.Open(QStringLiteral("Vortamo1")), QStringLiteral("ready"));
    const std::uint16_t gonePort = DeadRelayPort();  // a relay's port nobody listens on any more
    ASSERT_NE(gonePort, 0);
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
        {"not reached", QString::number(gonePort), "Vortamo1", kDeliveryFailed, ECONNREFUSED},
        {"not acknowledged", QString::number(silent.port), "Vortamo1", kDeliveryFailed, ETIMEDOUT},
    };
    std::int32_t sequence = 40;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        environment.Set("ZANDREL_QUEUE_RELAY_PORT", c.port.toUtf8());
        QueueComponent component;
        HalvaneQueue halvane(kArrival);
        ASSERT_TRUE(halvane.Open(component));
        ASSERT_NE(halvane.remote, nullptr);
        ++sequence;
        ASSERT_EQ(halvane.Send(sequence, QStringLiteral("127.0.0.2"), QString::fromLatin1(c.target),
                               QStringLiteral("Vortamo.Control"), QStringLiteral("StopRecord")),
                  S_OK);
        const Outcome o = OutcomeOf(halvane.remote, QStringLiteral("127.0.0.2"), sequence);
        EXPECT_EQ(o.res, S_OK);
        EXPECT_EQ(o.state, c.state);
        EXPECT_EQ(o.result, c.result);
        if (c.state == kDeliveryDone) {
            EXPECT_EQ(recorder.ReadLineStartingWith(QStringLiteral("got\t")),
                      ControlGot(sequence, QStringLiteral("StopRecord")));
        }
        if (c.result == ETIMEDOUT) {
            // The message went out once and was not acknowledged: it may have arrived, and
            // was not sent again (a second try would have come before its outcome).
            EXPECT_EQ(silent.Connections(), 1);
        }
        // Neither a message for this computer nor a number never sent is followed.
        EXPECT_EQ(DeliveryOf(halvane.remote, QStringLiteral("localhost"), sequence).res, S_FALSE);
        EXPECT_EQ(DeliveryOf(halvane.remote, QStringLiteral("127.0.0.2"), sequence + 1000).res, S_FALSE);
    }
    EXPECT_EQ(recorder.ReadLineStartingWith(QStringLiteral("got\t"), 500), QString()) << "nothing came twice";
}

TEST_F(QueueAnswersFromAnotherComputer, APresenceQuestionIsAskedAgainWithinItsWait) {
    // The relay of the other computer is not there when the question is first asked (as a
    // first packet lost), and is there a moment later: the question is asked again within
    // its wait, and the first answer says the queue is held; that computer never counted as
    // cut off, so a send right after goes out.
    environment.Set("ZANDREL_QUEUE_SEND_TIMEOUT_MS", "1000");
    QString port;
    {
        LineProcess first;
        ASSERT_TRUE(StartRemoteRelay(first, port));
    }
    PeerProcess recorder;
    ASSERT_EQ(recorder.Open(QStringLiteral("Vortamo1")), QStringLiteral("ready"));
    QueueComponent component;
    HalvaneQueue halvane(kArrival);
    ASSERT_TRUE(halvane.Open(component));
    IRemoteQueues* remote = halvane.remote;
    ASSERT_NE(remote, nullptr);

    const QString there = QStringLiteral("127.0.0.2");
    std::int32_t held = -1;
    EXPECT_EQ(remote->IsQueueHeld(there, QStringLiteral("Vortamo1"), held), S_FALSE);
    LineProcess back;
    ASSERT_EQ(StartRelay(back, OtherComputerRelay(there, port)), "listening " + port);
    HResult res = S_FALSE;
    ASSERT_TRUE(WaitUntil([&] { return (res = remote->IsQueueHeld(there, QStringLiteral("Vortamo1"), held)) == S_OK; }));
    EXPECT_EQ(held, 1) << "the first answer is that of the relay that came";
    EXPECT_EQ(halvane.SendControl(1, there, QStringLiteral("GetState")), S_OK);
    EXPECT_EQ(recorder.ReadLineStartingWith(QStringLiteral("got\t")), ControlGot(1, QStringLiteral("GetState")));
}

TEST_F(QueueAnswersFromAnotherComputer, AComputerLetGoOfIsNoLongerTrusted) {
    // Two other computers (127.0.0.2 and 127.0.0.3, each with its relay) are sent to, so
    // both are trusted by the answer relay. The first is let go of (the program's recorder
    // has moved): once what was sent there has gone, its frames are refused, while the
    // second's still come.
    QString port;
    ASSERT_TRUE(StartRemoteRelay(remoteRelay, port));
    LineProcess third;
    ASSERT_EQ(StartRelay(third, OtherComputerRelay(QStringLiteral("127.0.0.3"), port)), "listening " + port);
    PeerProcess recorder;
    ASSERT_EQ(recorder.Open(QStringLiteral("Vortamo1")), QStringLiteral("ready"));
    QueueComponent component;
    HalvaneQueue halvane(kArrival);
    ASSERT_TRUE(halvane.Open(component));
    IRemoteQueues* remote = halvane.remote;
    ASSERT_NE(remote, nullptr);
    std::int32_t sequence = 0;
    for (const char* host : {"127.0.0.2", "127.0.0.3"}) {
        ASSERT_EQ(halvane.SendControl(++sequence, QString::fromLatin1(host), QStringLiteral("GetState")), S_OK);
        ASSERT_FALSE(recorder.ReadLineStartingWith(QStringLiteral("got\t")).isEmpty()) << host;
        EXPECT_EQ(OutcomeOf(remote, QString::fromLatin1(host), sequence).state, kDeliveryDone) << host;
    }
    const auto hand = [&] {
        Intruder sender;
        EXPECT_TRUE(sender.StartAsThisUser({"relay", "127.0.0.2", "127.0.0.1", port, "Halvane",
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

TEST_F(QueueAnswersFromAnotherComputer, ClosingTheComponentEndsItsSendersBeforeItReturns) {
    // The other computer takes connections and says nothing, with a send time-out longer
    // than the test: the messages waiting behind the one under way are given up (and
    // traced) while the component closes, and no sender thread or answer relay of it is
    // left afterwards to write anything.
    SilentRelay silent;
    ASSERT_NE(silent.port, 0);
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    {
        ErrorsToFile traces(folder.filePath(QStringLiteral("traces.txt")));
        {
            auto component = ComponentWith({{"ZANDREL_QUEUE_RELAY_PORT", QByteArray::number(silent.port).constData()},
                                            {"ZANDREL_QUEUE_SEND_TIMEOUT_MS", "600000"}});
            HalvaneQueue halvane(kArrival);
            ASSERT_TRUE(halvane.Open(*component));
            for (std::int32_t i = 1; i <= 3; ++i)
                ASSERT_EQ(halvane.SendControl(i, QStringLiteral("127.0.0.1"), QStringLiteral("GetState")), S_OK);
            ASSERT_TRUE(WaitUntil([&] { return silent.Connections() == 1; }));
            halvane.Close();
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

}  // namespace
}  // namespace hv::test
