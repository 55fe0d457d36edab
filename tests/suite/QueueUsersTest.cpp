// Another user of this computer ("nobody", run through setpriv as real processes) against
// this user's message queues: it can neither send into them, directly or through any relay
// on any address of this computer, nor take their messages, nor hold their names so that
// this user's sends go to it. Each attempt is refused, and a relay logs whom it refused.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include "Requirements.h"
#include "OtherUser.h"
#include "QueueIntruder.h"
#include "QueueTestSupport.h"
#include "LocalQueues.h"
#include "QueueTransport.h"

namespace hv::test {
namespace {

constexpr unsigned kArrival = WM_USER + 41;

// An IPv4 address of this computer other than loopback; empty when it has none.
QString OwnAddress() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return {};
    QString found;
    for (const ifaddrs* a = list; a != nullptr && found.isEmpty(); a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
        const in_addr address = reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr;
        if ((ntohl(address.s_addr) >> 24) == 127) continue;
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &address, text, sizeof text);
        found = QString::fromLatin1(text);
    }
    ::freeifaddrs(list);
    return found;
}

class AnotherUser : public QueueSuiteWithRelay {
protected:
    void SetUp() override {
        HV_NEEDS(test::Root("runs programs as another user"));
        ASSERT_NE(component.service, nullptr);
        ASSERT_TRUE(home_.isValid());
        for (const QString& folder : {home_.path(), home_.filePath("runtime"), home_.filePath("state")})
            ASSERT_TRUE(MakeFolderOfOtherUser(folder));
    }

    // What the other user's programs are started with: folders of its own, and the same
    // queue scope and relay port as this user's.
    QStringList TheirEnvironment(const QString& runtime = QString()) const {
        return {QStringLiteral("XDG_RUNTIME_DIR=") + (runtime.isEmpty() ? home_.filePath("runtime") : runtime),
                QStringLiteral("XDG_STATE_HOME=") + home_.filePath("state"),
                QStringLiteral("ZANDREL_QUEUE_SCOPE=") + qEnvironmentVariable("ZANDREL_QUEUE_SCOPE"),
                QStringLiteral("ZANDREL_QUEUE_RELAY_PORT=") + qEnvironmentVariable("ZANDREL_QUEUE_RELAY_PORT")};
    }
    QString OpenTheirs(PeerProcess& peer, const QString& name, const QString& runtime = QString()) {
        return peer.OpenThrough(AsOtherUser(home_.path(), TheirEnvironment(runtime), BinaryPath("queue_peer"), {name}));
    }
    // The intruder's lines, one per attempt.
    QStringList Intrude(const QStringList& attempts) {
        Intruder intruder;
        EXPECT_TRUE(intruder.StartAsOtherUser(home_.path(), TheirEnvironment(), attempts));
        return intruder.Lines();
    }
    // The other user's program standing in for a relay at `address` (a free port): its first
    // line, "listen ADDRESS 0 listening PORT" when it listens.
    QString ListenAsThem(Intruder& listener, const QString& address) {
        if (!listener.StartAsOtherUser(home_.path(), TheirEnvironment(), {"listen", address, "0"}))
            return QStringLiteral("not started");
        return listener.ReadLine();
    }

    QueueComponent component;
    QTemporaryDir home_{QStringLiteral("/tmp/halvane-other-user-XXXXXX")};
};

TEST_F(AnotherUser, CanNeitherHoldThisUsersQueueNamesNorTakeTheirMessages) {
    // The other user holds the names of the program and its companions, in a scope of the
    // same name: in its own runtime folder, where they are its own business.
    PeerProcess theirs[3];
    const QString names[3] = {QStringLiteral("Halvane"), QStringLiteral("Vortamo1"), QStringLiteral("Kestrilo")};
    for (int i = 0; i < 3; ++i) ASSERT_EQ(OpenTheirs(theirs[i], names[i]), QStringLiteral("ready")) << i;

    // This user's names are free all the same, and a send to a name only the other user
    // holds fails as for a name nobody holds: nothing reaches the other user.
    HalvaneQueue halvane(kArrival);
    ASSERT_TRUE(halvane.Open(component)) << "the program's own queue name was free";
    EXPECT_EQ(static_cast<std::uint32_t>(halvane.SendControl(
                  1, QStringLiteral("localhost"), QStringLiteral("StartRecord 1111111111111111 0 \\2022-01-20\\13-46\\"))),
              0x80070000u | ECONNREFUSED);
    TestWindow probeWindow(WM_USER);
    EXPECT_NE(component.Open(QStringLiteral("Kestrilo"), &probeWindow, WM_USER), nullptr)
        << "the probe finds the referee console's name free";
    // The other user's message to "Halvane" goes to its own holder of the name, not to this
    // user's queue.
    EXPECT_EQ(theirs[1].Send(QStringLiteral("localhost"), QStringLiteral("Halvane"), QStringLiteral("Vortamo.Answer"),
                             QStringLiteral("GetState Record")),
              1);
    EXPECT_TRUE(theirs[0].ReadLineStartingWith(QStringLiteral("got\t")).endsWith(u"\tGetState Record"));
    for (PeerProcess& peer : theirs) EXPECT_EQ(peer.ReadLineStartingWith(QStringLiteral("got\t"), 500), QString());

    // This user's own recorder gets this user's messages.
    PeerProcess mine;
    ASSERT_EQ(mine.Open(QStringLiteral("Vortamo1")), QStringLiteral("ready"));
    EXPECT_EQ(halvane.SendControl(1, QStringLiteral("localhost"), QStringLiteral("StopRecord")), S_OK);
    EXPECT_TRUE(mine.ReadLineStartingWith(QStringLiteral("got\t")).endsWith(QStringLiteral("\tStopRecord")));
    EXPECT_TRUE(TakeAll(halvane.queue).empty());

    // Told to use this user's runtime folder, the other user's program cannot open a queue
    // there; nor can a process of its reach, replace or lock this user's sockets and locks.
    PeerProcess intruding;
    EXPECT_TRUE(OpenTheirs(intruding, QStringLiteral("Kestrilo"), RuntimeFolderOfThisTest()).startsWith(u"held\t"));
    const QString socket = QString::fromStdString(zandrel::QueueSocketPath(zandrel::QueueConfig::FromEnvironment(),
                                                                            QStringLiteral("Halvane")));
    const QStringList outcomes = Intrude({"connect", socket, "bind", socket, "lock", socket + ".lock"});
    ASSERT_EQ(outcomes.size(), 3) << outcomes.join(u'\n').toStdString();
    for (const QString& outcome : outcomes)
        EXPECT_TRUE(outcome.endsWith(QStringLiteral(" refused Permission denied"))) << outcome.toStdString();
    // And this user's queue still takes this user's messages.
    EXPECT_EQ(mine.Send(QStringLiteral("localhost"), QStringLiteral("Halvane"), QStringLiteral("Vortamo.Answer"),
                        QStringLiteral("GetState Stop")),
              1);
}

TEST_F(AnotherUser, EveryRelayOnEveryAddressOfThisComputerRefusesIt) {
    // The relays of this user: one on loopback and one on this computer's own address, each
    // trusting its own address (this user's processes there), one standing for another
    // computer on 127.0.0.2 that trusts this one, and the relay for the answers that the
    // component starts when it sends there (on 127.0.0.1, trusting 127.0.0.2).
    const QString own = OwnAddress();
    ASSERT_FALSE(own.isEmpty()) << "this computer has no address besides loopback";
    QTemporaryDir outputs;
    ASSERT_TRUE(outputs.isValid());
    ErrorsToFile answerRelayErrors(outputs.filePath("errors.txt"));
    struct Relay {
        QString address;
        QString trust;
        LineProcess process;
        QString port;
    } relays[] = {{"127.0.0.1", "127.0.0.1", {}, {}}, {own, own, {}, {}}, {"127.0.0.2", "127.0.0.1", {}, {}}};
    for (Relay& relay : relays) {
        ASSERT_TRUE(relay.process.Start(BinaryPath("ZandrelQueueRelay"),
                                        {"--port", "0", "--bind", relay.address, "--trust", relay.trust}, true));
        const QString line = relay.process.ReadLine();
        ASSERT_TRUE(line.startsWith(u"listening ")) << line.toStdString();
        relay.port = line.mid(10);
    }
    const auto towardsThere = ComponentWith({{"ZANDREL_QUEUE_RELAY_PORT", relays[2].port.toUtf8().constData()}});
    HalvaneQueue halvane(kArrival);
    ASSERT_TRUE(halvane.Open(*towardsThere));
    PeerProcess recorder;
    ASSERT_EQ(recorder.Open(QStringLiteral("Vortamo1")), QStringLiteral("ready"));
    ASSERT_EQ(halvane.SendControl(1, QStringLiteral("127.0.0.2"), QStringLiteral("GetState")), S_OK);
    ASSERT_TRUE(recorder.ReadLineStartingWith(QStringLiteral("got\t")).endsWith(u"\tGetState"));

    // "Exit" for the recorder and for the program, from every address the other user can
    // leave from, to every relay; and a presence question.
    const QString answers = relays[2].port;  // the answer relay's port: that of the relays there
    const QStringList attempts = {
        "relay", "-", "127.0.0.1", relays[0].port, "Vortamo1",
        "relay", "-", own, relays[1].port, "Vortamo1",
        "relay", "-", "127.0.0.2", relays[2].port, "Vortamo1",
        "relay", "-", "127.0.0.1", answers, "Halvane",
        "relay", "127.0.0.2", "127.0.0.1", answers, "Halvane",
        "probe", "-", "127.0.0.2", relays[2].port, "Vortamo1",
    };
    const QStringList outcomes = Intrude(attempts);
    ASSERT_EQ(outcomes.size(), 6) << outcomes.join(u'\n').toStdString();
    for (const QString& outcome : outcomes) EXPECT_TRUE(outcome.endsWith(u" closed")) << outcome.toStdString();

    // Nothing arrived anywhere, and each relay said whom it refused.
    EXPECT_EQ(recorder.ReadLineStartingWith(QStringLiteral("got\t"), 500), QString());
    EXPECT_TRUE(TakeAll(halvane.queue).empty());
    const QString byUser = QStringLiteral(", a process of user 65534 on this computer");
    EXPECT_EQ(relays[0].process.ReadLineStartingWith(QStringLiteral("ZandrelQueueRelay: refused")),
              QStringLiteral("ZandrelQueueRelay: refused 127.0.0.1") + byUser);
    EXPECT_EQ(relays[1].process.ReadLineStartingWith(QStringLiteral("ZandrelQueueRelay: refused")),
              QStringLiteral("ZandrelQueueRelay: refused ") + own + byUser);
    EXPECT_EQ(relays[2].process.ReadLineStartingWith(QStringLiteral("ZandrelQueueRelay: refused")),
              QStringLiteral("ZandrelQueueRelay: refused 127.0.0.1") + byUser);
    EXPECT_TRUE(WaitUntil([&] {
        const QString text = answerRelayErrors.Text();
        return text.contains(QStringLiteral("ZandrelQueueRelay: refused 127.0.0.1") + byUser) &&
               text.contains(QStringLiteral("ZandrelQueueRelay: refused 127.0.0.2") + byUser);
    })) << answerRelayErrors.Text().toStdString();
}

TEST_F(AnotherUser, ItsProgramListeningWhereARelayIsExpectedGetsNothing) {
    // The other user listens on an address of this computer at the port this user's
    // messages for another computer go to (where no relay of this user listens), as the
    // relay of that computer would, and acknowledges whatever comes as delivered. A message
    // sent there is not written to it: the send fails, and the program's trace names it.
    QTemporaryDir outputs;
    ASSERT_TRUE(outputs.isValid());
    for (const QString& address : {QStringLiteral("127.0.0.2"), OwnAddress()}) {
        ASSERT_FALSE(address.isEmpty()) << "this computer has no address besides loopback";
        Intruder listener;
        const QString listening = ListenAsThem(listener, address);
        ASSERT_TRUE(listening.startsWith(QStringLiteral("listen ") + address + " 0 listening "))
            << listening.toStdString();
        const QString port = listening.section(u' ', -1);
        ErrorsToFile traces(outputs.filePath(address + ".txt"));
        const auto towardsIt = ComponentWith({{"ZANDREL_QUEUE_RELAY_PORT", port.toUtf8().constData()}});
        HalvaneQueue halvane(kArrival);
        ASSERT_TRUE(halvane.Open(*towardsIt));
        ASSERT_NE(halvane.remote, nullptr);
        ASSERT_EQ(halvane.SendControl(7, address, QStringLiteral("StopRecord")), S_OK);
        std::int32_t state = kDeliveryPending;
        std::int32_t result = 0;
        EXPECT_TRUE(WaitUntil([&] {
            return halvane.remote->DeliveryOf(address, 7, state, result) == S_OK && state != kDeliveryPending;
        }));
        EXPECT_EQ(state, kDeliveryFailed) << address.toStdString();
        EXPECT_EQ(result, EACCES) << address.toStdString();
        const QString said = address + ":" + port + " is held by a process of user 65534, not of this user";
        EXPECT_TRUE(WaitUntil([&] { return traces.Text().contains(said); })) << traces.Text().toStdString();
        halvane.Close();
        listener.CloseInput();
        EXPECT_EQ(listener.ReadLineStartingWith(QStringLiteral("took ")), QString()) << address.toStdString();
    }
}

TEST_F(AnotherUser, ItsProgramOnTheAnswerPortIsNamed) {
    // The other user listens first on loopback at the relay port, where the relay for the
    // answers of another computer (this user's relay on 127.0.0.2) would listen. The message
    // goes out, but its answers cannot come back: the note says so and whose program it is.
    Intruder holder;
    const QString listening = ListenAsThem(holder, QStringLiteral("127.0.0.1"));
    ASSERT_TRUE(listening.startsWith(QStringLiteral("listen 127.0.0.1 0 listening "))) << listening.toStdString();
    const QString port = listening.section(u' ', -1);
    LineProcess there;
    ASSERT_TRUE(there.Start(BinaryPath("ZandrelQueueRelay"),
                            {"--port", port, "--bind", "127.0.0.2", "--trust", "127.0.0.1"}, true));
    ASSERT_EQ(there.ReadLine(), QStringLiteral("listening ") + port);
    PeerProcess recorder;
    ASSERT_EQ(recorder.Open(QStringLiteral("Vortamo1")), QStringLiteral("ready"));
    const auto towardsThere = ComponentWith({{"ZANDREL_QUEUE_RELAY_PORT", port.toUtf8().constData()}});
    HalvaneQueue halvane(kArrival);
    ASSERT_TRUE(halvane.Open(*towardsThere));
    ASSERT_NE(halvane.remote, nullptr);
    ASSERT_EQ(halvane.SendControl(1, QStringLiteral("127.0.0.2"), QStringLiteral("GetState")), S_OK);
    EXPECT_TRUE(recorder.ReadLineStartingWith(QStringLiteral("got\t")).endsWith(u"\tGetState"));
    const QString said = QStringLiteral("the relay for answers cannot listen on 127.0.0.1:%1 (Address already in use; "
                                        "a process of user 65534 listens there): the answers of 127.0.0.2 cannot "
                                        "come back")
                             .arg(port);
    QStringList notes;
    EXPECT_TRUE(WaitUntil([&] {
        notes << halvane.TakeNotes();
        return notes.contains(said);
    })) << notes.join(u'\n').toStdString();
    holder.CloseInput();
    EXPECT_EQ(holder.ReadLineStartingWith(QStringLiteral("took ")), QString());
}

}  // namespace
}  // namespace hv::test
