// The receive routine (routing, draining, its bounds) and the periodic request passes.
#include <gtest/gtest.h>

#include <limits>

#include "CompanionTestSupport.h"
#include "LogCapture.h"
#include "QueueTestSupport.h"
#include "game/EventTypes.h"
#include "game/GameInfo.h"
#include "workflow/CompanionLink.h"

namespace hv::test {
namespace {

std::string Utf8(const QString& text) { return text.toStdString(); }

class CompanionMessagesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { UsePrivateQueueScope(); }

    // The frame's arrival handler: the routine runs while the queue is open.
    void HandleArrivals() {
        window.onMessage = [this] {
            if (link.MsgComponent != nullptr && link.QueueOpen) link.OnCompanionMessages(model);
        };
    }

    ComponentFactory factory{ComponentFactory::DefaultDirectory()};
    CCompanionLink link{factory};
    CGameInfo model;
    TestWindow window{kMsgCompanionMessages};
};

TEST_F(CompanionMessagesTest, MessagesFromCompanionsAreRoutedByTheirTexts) {
    ASSERT_TRUE(link.OpenQueue(&window));
    HandleArrivals();
    PeerProcess companion;
    ASSERT_EQ(companion.Open(QStringLiteral("Kestrilo")), QStringLiteral("ready"));

    const QString xml = QStringLiteral(
        "<Kestrilo><TimeInfo><NowTime THi=\"0x01D80E3F\" TLo=\"0x00000000\"/></TimeInfo></Kestrilo>");
    struct Case {
        const char* name;
        QString first;
        QString second;
        bool messageLog;
        std::vector<std::string> lines;  // traced lines, in order
        const char* pending;             // the pending command afterwards, or null
    };
    const Case cases[] = {
        {"referee xml, logged", xml, QStringLiteral("ignored"), true,
         {"Halvane::Kestrilo_Answer=" + Utf8(xml) + "\n"}, nullptr},
        {"referee xml, not logged", xml, QString(), false, {}, nullptr},
        {"recorder answer, logged", QStringLiteral("Vortamo.Answer"), QStringLiteral("GetState Record"), true,
         {"Halvane::Vortamo_Answer=GetState Record\n"}, nullptr},
        {"split", QStringLiteral("Kestrilo"), QStringLiteral("SplitAtTime 2_0x1_0x2 D:\\Video\\x"), true,
         {"Halvane::Kestrilo_Split_Command=SplitAtTime 2_0x1_0x2 D:\\Video\\x\n"},
         "SplitAtTime 2_0x1_0x2 D:\\Video\\x"},
        {"split in mixed case", QStringLiteral("x"), QStringLiteral("sPLITaTtIMEx"), false,
         {"Halvane::Kestrilo_Split_Command=sPLITaTtIMEx\n"}, "sPLITaTtIMEx"},
        {"exit", QStringLiteral("Kestrilo"), QStringLiteral("EXIT now"), false,
         {"Halvane::Kestrilo_Exit_Command=EXIT now\n"}, "EXIT now"},
        {"too short for exit", QStringLiteral("x"), QStringLiteral("Exi"), false,
         {"Halvane::Unknown Message=Exi\n"}, nullptr},
        {"long s is no s", QStringLiteral("x"), QStringLiteral("ſplitAtTime 1_0x1_0x1"), false,
         {"Halvane::Unknown Message=ſplitAtTime 1_0x1_0x1\n"}, nullptr},
        {"referee prefix is case-sensitive", QStringLiteral("<kestrilo/>"), QStringLiteral("hello"), true,
         {"Halvane::Unknown Message=hello\n"}, nullptr},
        {"recorder marker is exact", QStringLiteral("Vortamo.Answer "), QStringLiteral("GetState"), true,
         {"Halvane::Unknown Message=GetState\n"}, nullptr},
        {"empty", QString(), QString(), true, {"Halvane::Unknown Message=\n"}, nullptr},
    };
    LogCapture log;
    for (const Case& c : cases) {
        link.KestriloSpoken = false;
        link.VortamoState = 0;
        link.PendingCommandSet = false;
        link.PendingCommand.clear();
        link.MessageLog = c.messageLog;
        log.Clear();
        const int postedBefore = window.posted;
        ASSERT_EQ(companion.Send(QStringLiteral("localhost"), QStringLiteral("Halvane"), c.first, c.second), 1)
            << c.name;
        ASSERT_TRUE(WaitUntil([&] {
            std::int32_t count = 0;
            std::int32_t second = 0;
            return window.posted > postedBefore && link.OwnQueue->GetCount(count, second) == S_OK && count == 0;
        })) << c.name;

        EXPECT_EQ(log.Lines(), c.lines) << c.name;
        EXPECT_EQ(link.KestriloSpoken, c.first == xml) << c.name;
        EXPECT_EQ(link.VortamoState, c.first == QStringLiteral("Vortamo.Answer") ? 2 : 0) << c.name;
        EXPECT_EQ(link.PendingCommandSet, c.pending != nullptr) << c.name;
        EXPECT_EQ(link.PendingCommand, c.pending ? QString::fromUtf8(c.pending) : QString()) << c.name;
    }
}

TEST_F(CompanionMessagesTest, NothingIsReadWithoutTheComponentOrTheQueue) {
    ScriptedQueue queue;
    queue.Add(QStringLiteral("x"), QStringLiteral("Exit"));
    link.OwnQueue = &queue;  // the component is there, the queue is not open
    IQueueService* const component = link.MsgComponent;
    link.MsgComponent = nullptr;
    link.OnCompanionMessages(model);
    EXPECT_EQ(queue.getCountCalls, 0);
    link.MsgComponent = component;
    link.OwnQueue = nullptr;
    link.OnCompanionMessages(model);
    EXPECT_EQ(queue.getCountCalls, 0);
}

TEST_F(CompanionMessagesTest, DrainsMessagesThatArriveWhileItRuns) {
    ScriptedQueue queue;
    for (int i = 0; i < 3; ++i) queue.Add(QStringLiteral("x"), QStringLiteral("m%1").arg(i));
    int added = 3;
    queue.onReceive = [&](ScriptedQueue& q) {
        if (added < 40) q.Add(QStringLiteral("x"), QStringLiteral("m%1").arg(added++));
    };
    link.OwnQueue = &queue;
    LogCapture log;
    link.OnCompanionMessages(model);
    EXPECT_TRUE(queue.waiting.empty());
    ASSERT_EQ(log.Lines().size(), 40u);
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(log.Lines()[static_cast<std::size_t>(i)], "Halvane::Unknown Message=m" + std::to_string(i) + "\n");
    link.OwnQueue = nullptr;
}

TEST_F(CompanionMessagesTest, FailingReceivesCannotHoldItForever) {
    struct Case {
        const char* name;
        HResult receiveResult;  // failing call, or S_OK with nothing taken
        const char* line;
    };
    const Case cases[] = {
        {"call fails", E_FAIL,
         "Halvane::OnCompanionMessages ERROR : 16 receives failed in a row, res=0x80004005, 5 messages left.\n"},
        {"nothing taken", S_OK,
         "Halvane::OnCompanionMessages ERROR : 16 receives failed in a row, res=0x0, 5 messages left.\n"},
    };
    for (const Case& c : cases) {
        ScriptedQueue queue;
        queue.fixedCount = 5;  // keeps reporting messages it never hands out
        queue.receiveResult = c.receiveResult;
        link.OwnQueue = &queue;
        LogCapture log;
        link.OnCompanionMessages(model);
        EXPECT_EQ(queue.receiveCalls, 16) << c.name;
        EXPECT_EQ(log.Lines(), std::vector<std::string>{c.line}) << c.name;
    }
    link.OwnQueue = nullptr;
}

TEST_F(CompanionMessagesTest, AFailedReceiveIsSkippedAndTheRestAreTaken) {
    ScriptedQueue queue;
    for (int i = 0; i < 4; ++i) queue.Add(QStringLiteral("x"), QStringLiteral("m%1").arg(i));
    queue.onReceive = [](ScriptedQueue& q) {
        q.receiveResult = (q.receiveCalls % 2 == 1) ? E_FAIL : S_OK;  // every other call fails
    };
    link.OwnQueue = &queue;
    LogCapture log;
    link.OnCompanionMessages(model);
    EXPECT_TRUE(queue.waiting.empty());
    EXPECT_EQ(log.Count("Halvane::Unknown Message=m3\n"), 1u);
    link.OwnQueue = nullptr;
}

TEST_F(CompanionMessagesTest, AFailingCountStopsTheRoutine) {
    ScriptedQueue queue;
    queue.Add(QStringLiteral("x"), QStringLiteral("m"));
    queue.getCountResult = E_FAIL;
    link.OwnQueue = &queue;
    link.OnCompanionMessages(model);
    EXPECT_EQ(queue.receiveCalls, 0);
    link.OwnQueue = nullptr;
}

TEST_F(CompanionMessagesTest, AFloodIsTakenInPortionsWithoutLosingAny) {
    ASSERT_TRUE(link.OpenQueue(&window));  // the window the routine comes back to
    IMessageQueue* const real = link.OwnQueue;
    ScriptedQueue queue;
    for (int i = 0; i < 2500; ++i) queue.Add(QStringLiteral("x"), QStringLiteral("Exit %1").arg(i));
    link.OwnQueue = &queue;
    HandleArrivals();

    link.OnCompanionMessages(model);
    EXPECT_EQ(queue.waiting.size(), 1500u);  // the rest waits for the notification it posted
    ASSERT_TRUE(WaitUntil([&] { return queue.waiting.empty(); }));
    EXPECT_EQ(link.PendingCommand, QStringLiteral("Exit 2499"));
    EXPECT_EQ(window.posted, 2);
    link.OwnQueue = real;
}

// ---------------------------------------------------------------------------------------

class PollCompanionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        link.OwnQueue = &recorder;  // accepts every send, as an open queue would
        link.OwnQueueName = QStringLiteral("Halvane");
        link.PollingEnabled = true;
    }
    void TearDown() override { link.OwnQueue = nullptr; }

    ComponentFactory none{QString()};
    CCompanionLink link{none};
    RecordingQueue recorder;
};

std::vector<std::string> Pass(const std::string& firstRequests) {
    std::vector<std::string> lines;
    if (firstRequests.empty()) {
        lines = {"Kestrilo:EventTypes/Halvane", "Kestrilo:CameraInfo/Halvane"};
    } else {
        lines = {"Kestrilo:" + firstRequests + "/Halvane"};
    }
    for (const char* tail : {"Kestrilo:TimeInfo/Halvane", "Kestrilo:PeriodInfo/Halvane",
                             "Vortamo1:Vortamo.Control/GetTime", "Vortamo1:Vortamo.Control/GetState"})
        lines.emplace_back(tail);
    return lines;
}

TEST_F(PollCompanionsTest, BeforeTheEventTypesAreKnownItAsksForThem) {
    link.PollCompanions();
    EXPECT_EQ(recorder.Summary(), Pass(""));
    EXPECT_EQ(link.RequestCountdown, 10);
    EXPECT_EQ(link.EventTypeCursor, 13);
}

TEST_F(PollCompanionsTest, TheNextPassComesOnTheEleventhCall) {
    link.PollCompanions();
    recorder.sent.clear();
    for (int i = 0; i < 10; ++i) {
        link.PollCompanions();
        EXPECT_TRUE(recorder.sent.empty()) << "call " << i + 1;
    }
    EXPECT_EQ(link.RequestCountdown, 0);
    link.PollCompanions();
    EXPECT_EQ(recorder.Summary(), Pass(""));

    // A handler that sets the countdown to 0 lets the next call go ahead.
    recorder.sent.clear();
    link.RequestCountdown = 0;
    link.PollCompanions();
    EXPECT_EQ(recorder.sent.size(), 6u);
}

TEST_F(PollCompanionsTest, OnceTheTypesAreKnownTheCursorRunsThroughTheEightRefereeTypes) {
    link.EventTypesReceived = 1;
    const int expectedTypes[] = {0, 1, 2, 3, 4, 5, 6, 7, 0, 1};
    for (int type : expectedTypes) {
        recorder.sent.clear();
        link.RequestCountdown = 0;
        link.PollCompanions();
        EXPECT_EQ(link.EventTypeCursor, type);
        EXPECT_EQ(recorder.Summary(), Pass(Utf8(QStringLiteral("EventCount") + EventTypeName(type))));
    }
    EXPECT_EQ(Utf8(recorder.sent[0].first), "EventCountУдаление игрока");
}

TEST_F(PollCompanionsTest, WithPollingOffTheCountdownKeepsFalling) {
    link.PollingEnabled = false;
    for (int i = 1; i <= 5; ++i) {
        link.PollCompanions();
        EXPECT_EQ(link.RequestCountdown, -i);
    }
    EXPECT_TRUE(recorder.sent.empty());
    link.PollingEnabled = true;
    link.PollCompanions();
    EXPECT_EQ(recorder.Summary(), Pass(""));
    EXPECT_EQ(link.RequestCountdown, 10);

    // It stops at the bottom of its range rather than wrapping round.
    link.PollingEnabled = false;
    link.RequestCountdown = std::numeric_limits<std::int32_t>::min();
    link.PollCompanions();
    EXPECT_EQ(link.RequestCountdown, std::numeric_limits<std::int32_t>::min());
}

TEST_F(PollCompanionsTest, SequenceNumbersRunOnAcrossThePass) {
    link.SetVortamoHost(QStringLiteral("recorder-pc"));
    link.PollCompanions();
    ASSERT_EQ(recorder.sent.size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(recorder.sent[i].sequence, static_cast<int>(i + 1));
        EXPECT_EQ(recorder.sent[i].host, i < 4 ? QStringLiteral("localhost") : QStringLiteral("recorder-pc"));
    }
}

}  // namespace
}  // namespace hv::test
