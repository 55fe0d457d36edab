// The requests the event fetch sends, read from a queue named "Kestrilo" opened through
// the installed message queue component, as the referee console would read them.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QObject>
#include <QThread>
#include <vector>

#include "FakeClock.h"
#include "LogCapture.h"
#include "game/EventTypes.h"
#include "game/GameInfo.h"
#include "platform/ComponentFactory.h"
#include "platform/WindowMessages.h"
#include "workflow/CompanionLink.h"
#include "workflow/SuiteComponents.h"

namespace hv {
namespace {

constexpr int kWaitMs = 30000;

struct Request {
    QString command;
    QString sender;
    bool operator==(const Request&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Request& r) {
    return out << r.command.toStdString() << " from " << r.sender.toStdString();
}

class RefereeRequestsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Queue names of this program's own, apart from any other program on the computer.
        qputenv("ZANDREL_QUEUE_SCOPE",
                "halvane-referee-test-" + QByteArray::number(QCoreApplication::applicationPid()));
    }

    void SetUp() override {
        ASSERT_TRUE(link.OpenQueue(&halvaneWindow)) << "message queue component not installed in "
                                                    << factory.Directory().toStdString();
        IQueueService* service = nullptr;
        consoleService = factory.CreateFor(kMessageQueueServiceClass, service);
        ASSERT_NE(service, nullptr);
        std::int32_t status = 0;
        std::int32_t result = 0;
        ASSERT_EQ(service->CreateQueue(status, result, QStringLiteral("Kestrilo"), &consoleWindow,
                                       kMsgCompanionMessages, 0, 0, consoleQueueObject),
                  S_OK);
        ASSERT_EQ(result, 0);
        consoleQueue = QueryInterface<IMessageQueue>(consoleQueueObject.get());
        ASSERT_NE(consoleQueue, nullptr);
        link.PollingEnabled = true;
    }

    // What the console has received up to and including a marker sent last: the marker
    // proves every earlier request has arrived, so nothing is awaited by time.
    std::vector<Request> RequestsSoFar() {
        const QString marker = QStringLiteral("Marker") + QString::number(++markers_);
        EXPECT_TRUE(link.SendToKestrilo(marker));
        std::vector<Request> requests;
        QDeadlineTimer deadline(kWaitMs);
        while (!deadline.hasExpired()) {
            std::int32_t count = 0;
            std::int32_t second = 0;
            if (consoleQueue->GetCount(count, second) == S_OK && count > 0) {
                QueueMessage m;
                if (consoleQueue->Receive(m) == S_OK && m.Values[2] == 1) {
                    if (m.Texts[2] == marker) return requests;
                    requests.push_back({m.Texts[2], m.Texts[3]});
                }
                continue;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(1);
        }
        ADD_FAILURE() << "the marker did not arrive";
        return requests;
    }

    void Receive(const QString& message) { link.OnRefereeMessage(message, model); }

    // The windows outlive the queues bound to them.
    QObject halvaneWindow;
    QObject consoleWindow;
    test::FakeClock clock;
    CGameInfo model{clock};
    ComponentFactory factory{ComponentFactory::DefaultDirectory()};
    CCompanionLink link{factory, clock};
    ComponentPtr consoleService;
    ComponentPtr consoleQueueObject;
    IMessageQueue* consoleQueue = nullptr;
    test::LogCapture capture;

private:
    int markers_ = 0;
};

TEST_F(RefereeRequestsTest, EachAnswerAsksForTheNextEventOfTheType) {
    const QString goal = EventTypeName(kEventGoal);
    const QString halvane = QStringLiteral("Halvane");
    link.EventTypeCursor = kEventGoal;

    Receive(QStringLiteral("<Kestrilo><Events Count='2'/></Kestrilo>"));
    EXPECT_EQ(RequestsSoFar(), (std::vector<Request>{{"EventInfo0_" + goal, halvane}, {"TimeInfo", halvane}}));
    EXPECT_EQ(link.RequestCountdown, 10);

    Receive(QStringLiteral("<Kestrilo><Event><Time Period='1' THi='1D80E1B' TLo='5C7A4000'/></Event></Kestrilo>"));
    EXPECT_EQ(RequestsSoFar(), (std::vector<Request>{{"EventInfo1_" + goal, halvane}, {"TimeInfo", halvane}}));
    EXPECT_EQ(link.RequestCountdown, 10);

    // The last event: nothing more is asked and the update cycle may go on.
    Receive(QStringLiteral("<Kestrilo><Event><Time Period='1' THi='1D80E1B' TLo='5C7A5000'/></Event></Kestrilo>"));
    EXPECT_TRUE(RequestsSoFar().empty());
    EXPECT_EQ(link.RequestCountdown, 0);
    Label first;
    Label second;
    EXPECT_TRUE(model.FindLabel(kEventGoal, 1, first));
    EXPECT_TRUE(model.FindLabel(kEventGoal, 2, second));
    EXPECT_EQ(second.Time, MakeFileTime(0x1D80E1B, 0x5C7A5000));
}

TEST_F(RefereeRequestsTest, AnswersThatAskForNothing) {
    const char* messages[] = {
        "<Kestrilo><Events Count='0'/></Kestrilo>",
        "<Kestrilo><Events/></Kestrilo>",
        "<Kestrilo><TimeInfo><NowTime THi='1' TLo='2'/></TimeInfo></Kestrilo>",
        "<Kestrilo><Periods/></Kestrilo>",
        "<Kestrilo><Cameras/></Kestrilo>",
    };
    link.EventTypeCursor = kEventPenalty;
    for (const char* message : messages) {
        Receive(QString::fromUtf8(message));
        EXPECT_TRUE(RequestsSoFar().empty()) << message;
    }
    // Before the fetch has chosen a type, a count asks for nothing either.
    link.ResetGameState();
    link.PollingEnabled = true;
    Receive(QStringLiteral("<Kestrilo><Events Count='4'/></Kestrilo>"));
    EXPECT_TRUE(RequestsSoFar().empty());
}

}  // namespace
}  // namespace hv
