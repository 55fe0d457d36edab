// The companion link against the installed message queue component, with peer processes
// holding the referee console's and the recorder's queue names.
#include <gtest/gtest.h>

#include "CompanionTestSupport.h"
#include "LogCapture.h"
#include "QueueTestSupport.h"
#include "QueueTransport.h"
#include "workflow/CompanionLink.h"

namespace hv::test {
namespace {

// Passes CreateQueue on to the real service, or fails it once when asked to.
class FailOnceService final : public IQueueService {
public:
    explicit FailOnceService(IQueueService* real) : real_(real) {}
    HResult CreateQueue(std::int32_t& status, std::int32_t& result, const QString& name, QObject* window,
                        unsigned message, std::int32_t r1, std::int32_t r2, ComponentPtr& queue) override {
        if (failNext) {
            failNext = false;
            queue.reset();
            status = 0;
            result = 5;
            return E_FAIL;
        }
        return real_->CreateQueue(status, result, name, window, message, r1, r2, queue);
    }
    bool failNext = false;

private:
    IQueueService* real_;
};

class CompanionLinkTest : public QueueSuiteWithRelay {
protected:

    // Opens the link's queue and puts a recorder between the link and it.
    void OpenAndRecord() {
        ASSERT_TRUE(link.OpenQueue(&window));
        recorder = std::make_unique<RecordingQueue>(link.OwnQueue);
        link.OwnQueue = recorder.get();
    }

    ComponentFactory factory{ComponentFactory::DefaultDirectory()};
    CCompanionLink link{factory};
    TestWindow window{kMsgCompanionMessages};
    std::unique_ptr<RecordingQueue> recorder;
};


QString Got(int sequence, const QString& first, const QString& second) {
    return QStringLiteral("got\t%1\t%2\tHalvane\t%3\t%4").arg(sequence).arg(zandrel::LocalHostName(), first, second);
}

// The game state of a link, field by field, for comparing two links.
std::string GameStateOf(const CCompanionLink& link) {
    return QStringLiteral("types received %1, type cursor %2, next event info %3, events %4, countdown %5, "
                          "period %6, console spoken %7, recorder state %8, recorder clock offset %9")
        .arg(link.EventTypesReceived)
        .arg(link.EventTypeCursor)
        .arg(link.EventInfoNext)
        .arg(link.EventCount)
        .arg(link.RequestCountdown)
        .arg(link.CurrentPeriod)
        .arg(link.KestriloSpoken)
        .arg(link.VortamoState)
        .arg(link.VortamoClockOffset)
        .toStdString();
}

// A new link has found the component and opened no queue; it assumes nothing of a game
// (the game state of a reset, the same as a link whose game was reset), and asks the
// companions nothing until polling is turned on for a game.
TEST_F(CompanionLinkTest, ANewLinkHasTheStateOfAGameResetAndAsksNothing) {
    EXPECT_NE(link.MsgComponent, nullptr);
    EXPECT_FALSE(link.QueueOpen);
    EXPECT_EQ(link.OwnQueue, nullptr);

    CCompanionLink used{factory};
    used.EventTypesReceived = 1;
    used.EventTypeCursor = 4;
    used.EventInfoNext = 3;
    used.EventCount = 9;
    used.RequestCountdown = -7;
    used.CurrentPeriod = 2;
    used.KestriloSpoken = true;
    used.VortamoState = 2;
    used.VortamoClockOffset = 120;
    used.ResetGameState();
    EXPECT_EQ(GameStateOf(link), GameStateOf(used));

    OpenAndRecord();
    for (int i = 0; i < 12; ++i) link.PollCompanions();
    EXPECT_TRUE(recorder->Summary().empty());
    EXPECT_EQ(link.SendSequence, 0);
    // Turned on, the first pass asks for the event types first, as after a reset.
    link.PollingEnabled = true;
    link.RequestCountdown = 0;
    link.PollCompanions();
    ASSERT_FALSE(recorder->Summary().empty());
    EXPECT_EQ(recorder->Summary().front(), "Kestrilo:EventTypes/Halvane");
}

TEST_F(CompanionLinkTest, WithoutTheComponentNothingOpensAndNothingIsSent) {
    LogCapture log;
    ComponentFactory none{QString()};
    CCompanionLink bare(none);
    EXPECT_EQ(bare.MsgComponent, nullptr);
    EXPECT_FALSE(bare.OpenQueue(&window));
    EXPECT_FALSE(bare.QueueOpen);
    EXPECT_FALSE(bare.SendToKestrilo(QStringLiteral("TimeInfo")));
    EXPECT_FALSE(bare.SendToVortamo(QStringLiteral("GetTime")));
    EXPECT_EQ(bare.SendSequence, 0);
    EXPECT_TRUE(log.Lines().empty()) << log.Text();
}

TEST_F(CompanionLinkTest, SendsWithTheQueueClosedFailSilently) {
    LogCapture log;
    link.MessageLog = true;
    EXPECT_FALSE(link.SendToKestrilo(QStringLiteral("StopGame")));
    EXPECT_FALSE(link.SendToVortamo(QStringLiteral("StopRecord")));
    EXPECT_EQ(link.SendSequence, 0);
    EXPECT_TRUE(log.Lines().empty()) << log.Text();
}

TEST_F(CompanionLinkTest, SequenceNumbersAreSharedAndAFailedSendUsesItsNumber) {
    PeerProcess kestrilo;
    ASSERT_EQ(kestrilo.Open(QStringLiteral("Kestrilo")), QStringLiteral("ready"));
    ASSERT_TRUE(link.OpenQueue(&window));

    EXPECT_TRUE(link.SendToKestrilo(QStringLiteral("TimeInfo")));
    EXPECT_EQ(kestrilo.ReadLineStartingWith(QStringLiteral("got\t")),
              Got(1, QStringLiteral("TimeInfo"), QStringLiteral("Halvane")));
    EXPECT_FALSE(link.SendToVortamo(QStringLiteral("GetTime")));  // no recorder: number 2 is gone
    EXPECT_EQ(link.SendSequence, 2);

    PeerProcess vortamo;
    ASSERT_EQ(vortamo.Open(QStringLiteral("Vortamo1")), QStringLiteral("ready"));
    EXPECT_TRUE(link.SendToVortamo(QStringLiteral("GetState")));
    EXPECT_EQ(vortamo.ReadLineStartingWith(QStringLiteral("got\t")),
              Got(3, QStringLiteral("Vortamo.Control"), QStringLiteral("GetState")));
    EXPECT_TRUE(link.SendToKestrilo(QStringLiteral("EventCountДрака")));
    EXPECT_EQ(kestrilo.ReadLineStartingWith(QStringLiteral("got\t")),
              Got(4, QStringLiteral("EventCountДрака"), QStringLiteral("Halvane")));
    EXPECT_EQ(link.SendSequence, 4);
}

TEST_F(CompanionLinkTest, TheRecorderHostReachesOnlyRecorderMessages) {
    PeerProcess kestrilo;
    ASSERT_EQ(kestrilo.Open(QStringLiteral("Kestrilo")), QStringLiteral("ready"));
    PeerProcess vortamo;
    ASSERT_EQ(vortamo.Open(QStringLiteral("Vortamo1")), QStringLiteral("ready"));
    OpenAndRecord();

    EXPECT_TRUE(link.SendToKestrilo(QStringLiteral("TimeInfo")));
    EXPECT_TRUE(link.SendToVortamo(QStringLiteral("GetTime")));
    // The recorder on "another computer": loopback through the relay.
    link.SetVortamoHost(QStringLiteral("127.0.0.1"));
    EXPECT_TRUE(link.SendToKestrilo(QStringLiteral("PeriodInfo")));
    EXPECT_TRUE(link.SendToVortamo(QStringLiteral("GetState")));
    link.SetVortamoHost(QString());
    EXPECT_TRUE(link.SendToVortamo(QStringLiteral("StopRecord")));

    struct Expected {
        const char* host;
        const char* target;
        const char* first;
        const char* second;
    };
    const Expected expected[] = {
        {"localhost", "Kestrilo", "TimeInfo", "Halvane"},
        {"localhost", "Vortamo1", "Vortamo.Control", "GetTime"},
        {"localhost", "Kestrilo", "PeriodInfo", "Halvane"},
        {"127.0.0.1", "Vortamo1", "Vortamo.Control", "GetState"},
        {"localhost", "Vortamo1", "Vortamo.Control", "StopRecord"},
    };
    ASSERT_EQ(recorder->sent.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const SentMessage& m = recorder->sent[i];
        EXPECT_EQ(m.sequence, static_cast<int>(i + 1));
        EXPECT_EQ(m.host, QString::fromUtf8(expected[i].host)) << i;
        EXPECT_EQ(m.target, QString::fromUtf8(expected[i].target)) << i;
        EXPECT_EQ(m.first, QString::fromUtf8(expected[i].first)) << i;
        EXPECT_EQ(m.second, QString::fromUtf8(expected[i].second)) << i;
    }
    // Through the relay: the sender is the address the relay saw.
    EXPECT_EQ(vortamo.ReadLineStartingWith(QStringLiteral("got\t4\t")),
              QStringLiteral("got\t4\t127.0.0.1\tHalvane\tVortamo.Control\tGetState"));
}

TEST_F(CompanionLinkTest, LogLinesWithAndWithoutMessageLog) {
    PeerProcess kestrilo;
    ASSERT_EQ(kestrilo.Open(QStringLiteral("Kestrilo")), QStringLiteral("ready"));
    PeerProcess vortamo;
    ASSERT_EQ(vortamo.Open(QStringLiteral("Vortamo1")), QStringLiteral("ready"));
    ASSERT_TRUE(link.OpenQueue(&window));

    struct Case {
        bool messageLog;
        bool toRecorder;
        const char* command;
        bool reachable;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {false, false, "TimeInfo", true, {}},
        {true, false, "TimeInfo", true, {"Halvane::SendMesage('TimeInfo') to Kestrilo.\n"}},
        {true, false, "EventCountГол", true, {"Halvane::SendMesage('EventCountГол') to Kestrilo.\n"}},
        {false, true, "GetState", true, {}},
        {true, true, "GetState", true, {"Halvane::SendMesage('Vortamo.Control' & 'GetState') to Vortamo1.\n"}},
        {false, false, "StopGame", false,
         {"Halvane::SendMesage('StopGame') to Kestrilo ERROR : res=0x8007006F, result=0x6F, errCode=0.\n"}},
        {true, false, "StopGame", false,
         {"Halvane::SendMesage('StopGame') to Kestrilo ERROR : res=0x8007006F, result=0x6F, errCode=0.\n"}},
        {false, true, "StopRecord", false,
         {"Halvane::SendMesage('Vortamo.Control' & 'StopRecord') to Vortamo1 ERROR : res=0x8007006F, "
          "result=0x6F, errCode=0.\n"}},
    };
    LogCapture log;
    bool peersUp = true;
    for (const Case& c : cases) {
        if (!c.reachable && peersUp) {
            kestrilo.KillHard();
            vortamo.KillHard();
            peersUp = false;
        }
        ASSERT_EQ(c.reachable, peersUp);
        log.Clear();
        link.MessageLog = c.messageLog;
        const QString command = QString::fromUtf8(c.command);
        const bool sent = c.toRecorder ? link.SendToVortamo(command) : link.SendToKestrilo(command);
        EXPECT_EQ(sent, c.reachable) << c.command;
        EXPECT_EQ(log.Lines(), c.lines) << c.command << " log " << c.messageLog;
    }
}

TEST_F(CompanionLinkTest, ARecorderMessageThatFailsOnItsWayIsLoggedAsAFailedSendOnce) {
    // A message to the recorder here is taken when it is accepted. Through the relay (the
    // recorder on "another computer", loopback by address) it is followed: delivered while
    // the recorder runs there; once it does not, a message accepted here fails there, and
    // is logged as a send that failed, once, whether a workflow or the once-a-second notes
    // find it first.
    auto vortamo = std::make_unique<PeerProcess>();
    ASSERT_EQ(vortamo->Open(QStringLiteral("Vortamo1")), QStringLiteral("ready"));
    ASSERT_TRUE(link.OpenQueue(&window));
    const std::string failed = "Halvane::SendMesage('Vortamo.Control' & 'StopRecord') to Vortamo1 ERROR : "
                               "res=0x8007006F, result=0x6F, errCode=0.\n";
    LogCapture log;
    const auto outcome = [&](std::int32_t sequence) {
        CCompanionLink::Delivery d = CCompanionLink::Delivery::Pending;
        WaitUntil([&] { return (d = link.VortamoDelivery(sequence)) != CCompanionLink::Delivery::Pending; });
        return d;
    };

    ASSERT_TRUE(link.SendToVortamo(QStringLiteral("GetState")));
    EXPECT_EQ(link.VortamoDelivery(link.SendSequence), CCompanionLink::Delivery::Delivered) << "here: at once";
    link.SetVortamoHost(QStringLiteral("127.0.0.1"));
    ASSERT_TRUE(link.SendToVortamo(QStringLiteral("GetState")));
    EXPECT_EQ(outcome(link.SendSequence), CCompanionLink::Delivery::Delivered);

    vortamo.reset();
    for (const bool workflowAsks : {true, false}) {
        SCOPED_TRACE(workflowAsks ? "a workflow asks" : "the notes find it");
        log.Clear();
        // The recorder runs there (again: that computer is asked once a send fails at once).
        vortamo = std::make_unique<PeerProcess>();
        ASSERT_EQ(vortamo->Open(QStringLiteral("Vortamo1")), QStringLiteral("ready"));
        ASSERT_TRUE(WaitUntil([&] { return link.SendToVortamo(QStringLiteral("GetState")); }));
        ASSERT_EQ(outcome(link.SendSequence), CCompanionLink::Delivery::Delivered);
        vortamo.reset();
        ASSERT_TRUE(link.SendToVortamo(QStringLiteral("StopRecord")));
        const std::int32_t sequence = link.SendSequence;
        if (workflowAsks) {
            EXPECT_EQ(outcome(sequence), CCompanionLink::Delivery::Failed);
        } else {
            EXPECT_TRUE(WaitUntil([&] {
                link.LogQueueNotes();
                return log.Count(failed) > 0;
            }));
        }
        link.LogQueueNotes();
        EXPECT_EQ(link.VortamoDelivery(sequence), CCompanionLink::Delivery::Failed);
        EXPECT_EQ(log.Count(failed), 1u);
    }
    EXPECT_EQ(link.VortamoDelivery(link.SendSequence + 1), CCompanionLink::Delivery::Failed) << "never sent";
}

TEST_F(CompanionLinkTest, OpeningAgainReleasesTheOpenQueueFirst) {
    ASSERT_TRUE(link.OpenQueue(&window));
    EXPECT_EQ(link.OwnQueueName, QStringLiteral("Halvane"));
    EXPECT_TRUE(link.OpenQueue(&window));  // would find "Halvane" held otherwise
    EXPECT_TRUE(link.QueueOpen);

    // A second program cannot have the name while it is open.
    CCompanionLink other(factory);
    EXPECT_FALSE(other.OpenQueue(&window));
    EXPECT_FALSE(other.QueueOpen);
    EXPECT_EQ(other.OwnQueue, nullptr);

    // When opening again fails, the old queue is gone all the same and sends stay quiet.
    IQueueService* const real = link.MsgComponent;
    FailOnceService failing(real);
    link.MsgComponent = &failing;
    failing.failNext = true;
    EXPECT_FALSE(link.OpenQueue(&window));
    link.MsgComponent = real;
    EXPECT_FALSE(link.QueueOpen);
    EXPECT_EQ(link.OwnQueue, nullptr);
    LogCapture log;
    EXPECT_FALSE(link.SendToKestrilo(QStringLiteral("TimeInfo")));
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_TRUE(other.OpenQueue(&window));
}

TEST_F(CompanionLinkTest, TheProbeSeesRunningCompanionsAndLeavesNoQueueBehind) {
    EXPECT_FALSE(link.IsKestriloRunning(&window));
    EXPECT_FALSE(link.IsKestriloRunning(&window));  // the first probe let go of the name
    EXPECT_TRUE(link.IsQueueNameFree(QStringLiteral("Dravenor1"), &window));

    PeerProcess kestrilo;
    ASSERT_EQ(kestrilo.Open(QStringLiteral("Kestrilo")), QStringLiteral("ready"));
    PeerProcess vortamo;
    ASSERT_EQ(vortamo.Open(QStringLiteral("Vortamo1")), QStringLiteral("ready"));
    EXPECT_TRUE(link.IsKestriloRunning(&window));
    EXPECT_TRUE(link.IsVortamoRunning(&window));
    // The recorder's host plays no part in the probe of a name; the recorder's presence,
    // with a host set, is asked of that computer (here loopback, through its relay): there
    // is no answer at the first question, and the answer comes without waiting for it.
    link.SetVortamoHost(QStringLiteral("127.0.0.1"));
    EXPECT_FALSE(link.IsQueueNameFree(QStringLiteral("Vortamo1"), &window));
    EXPECT_EQ(link.VortamoPresence(&window), CCompanionLink::Presence::Unknown);
    EXPECT_TRUE(WaitUntil([&] { return link.IsVortamoRunning(&window); }));

    kestrilo.KillHard();
    EXPECT_FALSE(link.IsKestriloRunning(&window));
    EXPECT_TRUE(link.IsVortamoRunning(&window));
    vortamo.KillHard();
    EXPECT_TRUE(WaitUntil([&] { return link.VortamoPresence(&window) == CCompanionLink::Presence::NotRunning; }));
    link.SetVortamoHost(QString());
    EXPECT_FALSE(link.IsVortamoRunning(&window));
}

TEST_F(CompanionLinkTest, ResetGameStateClearsOnlyTheGameState) {
    ASSERT_TRUE(link.OpenQueue(&window));
    link.EventTypesReceived = 1;
    link.EventTypeCursor = 4;
    link.EventInfoNext = 3;
    link.EventCount = 9;
    link.RequestCountdown = -7;
    link.CurrentPeriod = 2;
    link.KestriloSpoken = true;
    link.VortamoState = 2;
    link.VortamoClockOffset = 120;
    link.PollingEnabled = true;
    link.SendSequence = 17;
    link.PendingCommandSet = true;
    link.PendingCommand = QStringLiteral("Exit");
    link.VortamoHost = QStringLiteral("recorder-pc");
    link.MessageLog = true;

    link.ResetGameState();
    EXPECT_EQ(link.EventTypesReceived, 0);
    EXPECT_EQ(link.EventTypeCursor, 13);
    EXPECT_EQ(link.EventInfoNext, 0);
    EXPECT_EQ(link.EventCount, 0);
    EXPECT_EQ(link.RequestCountdown, 0);
    EXPECT_EQ(link.CurrentPeriod, -1);
    EXPECT_FALSE(link.KestriloSpoken);
    EXPECT_EQ(link.VortamoState, 0);
    EXPECT_EQ(link.VortamoClockOffset, 0);
    EXPECT_TRUE(link.PollingEnabled);
    EXPECT_EQ(link.SendSequence, 17);
    EXPECT_TRUE(link.PendingCommandSet);
    EXPECT_EQ(link.PendingCommand, QStringLiteral("Exit"));
    EXPECT_EQ(link.VortamoHost, QStringLiteral("recorder-pc"));
    EXPECT_TRUE(link.MessageLog);
    EXPECT_TRUE(link.QueueOpen);
    EXPECT_NE(link.MsgComponent, nullptr);
}

}  // namespace
}  // namespace hv::test
