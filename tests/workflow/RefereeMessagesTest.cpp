#include <gtest/gtest.h>

#include <functional>

#include <QString>
#include <vector>

#include "FakeClock.h"
#include "LogCapture.h"
#include "game/EventTypes.h"
#include "game/GameInfo.h"
#include "platform/ComponentFactory.h"
#include "platform/Guid.h"
#include "platform/MessageBoxes.h"
#include "workflow/CompanionLink.h"

namespace hv {
namespace {

using test::At;

// Stands in for the person who closes the box.
class AnsweringBoxes final : public IMessageBoxes {
public:
    struct Shown {
        QString text;
        BoxIcon icon;
        BoxButtons buttons;
    };
    BoxAnswer Show(const QString& text, BoxIcon icon, BoxButtons buttons) override {
        shown.push_back({text, icon, buttons});
        if (whileOpen) whileOpen();  // what the box's own event loop would handle meanwhile
        return BoxAnswer::Ok;
    }
    std::vector<Shown> shown;
    std::function<void()> whileOpen;
};

// "THi='0x..' TLo='0x..'" for a time.
QString TimeAttributes(FileTime t) {
    return QStringLiteral("THi='0x%1' TLo='0x%2'")
        .arg(QString::number(HighPart(t), 16), QString::number(LowPart(t), 16));
}

QString Kestrilo(const QString& body) { return "<Kestrilo>" + body + "</Kestrilo>"; }

const QString kCam1 = QStringLiteral("{11111111-2222-3333-4444-555555555555}");
const QString kCam2 = QStringLiteral("{aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee}");
const QString kCam3 = QStringLiteral("{0F0F0F0F-1234-5678-9ABC-DEF012345678}");

Guid G(const QString& text) {
    Guid g;
    EXPECT_TRUE(Guid::Parse(text, g)) << text.toStdString();
    return g;
}

// A link without a queue: its requests fail quietly, the fields still move.
class RefereeMessagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        clock.SetUtc(2022, 1, 20, 11, 0);
        link.PollingEnabled = true;
        link.SetMessageBoxes(&boxes);
    }

    void Receive(const QString& message) { link.OnRefereeMessage(message, model); }

    std::vector<Label> LabelsOf(int type) {
        std::vector<Label> all, of;
        model.CopyLabels(all, -1);
        for (const Label& l : all)
            if (l.Type == type) of.push_back(l);
        return of;
    }
    void Add(int type, int number) {
        std::lock_guard lock(model.GameInfoLock);
        model.AddLabel(type, number, 1, At(2022, 1, 20, 10, number), 0, 0, 0, 0);
    }

    test::FakeClock clock;
    CGameInfo model{clock};
    ComponentFactory noComponents{QString()};
    CCompanionLink link{noComponents, clock};
    AnsweringBoxes boxes;
    test::LogCapture capture;
};

TEST_F(RefereeMessagesTest, MessagesThatChangeNothingButKestriloSpoken) {
    const FileTime t = At(2022, 1, 20, 10, 30);
    const QString timeInfo = Kestrilo("<TimeInfo><LastGameTime " + TimeAttributes(t) + "/></TimeInfo>");
    const struct {
        bool polling;
        QString message;
    } cases[] = {
        {false, timeInfo},  // applied only while polling
        {true, "<Kestrilo><TimeInfo><LastGameTime " + TimeAttributes(t) + "/></TimeInfo></Kestrilo>"
               "</root><!-- a node after the wrapper: does not load -->"},
        {true, "<Other>" + timeInfo + "</Other>"},  // "Kestrilo" must be at the top
        {true, "<kestrilo><TimeInfo><LastGameTime " + TimeAttributes(t) + "/></TimeInfo></kestrilo>"},
        {true, "not xml at all"},
    };
    for (const auto& c : cases) {
        link.KestriloSpoken = false;
        link.PollingEnabled = c.polling;
        Receive(c.message);
        EXPECT_TRUE(link.KestriloSpoken) << c.message.toStdString();
        EXPECT_EQ(model.GetSnapshot().LastGameTime, 0u) << c.message.toStdString();
    }
    EXPECT_TRUE(capture.Lines().empty());

    // With polling the same time message is applied.
    link.PollingEnabled = true;
    Receive(timeInfo);
    EXPECT_EQ(model.GetSnapshot().LastGameTime, t);
}

TEST_F(RefereeMessagesTest, UnknownMessagesGoToTheTraceOutput) {
    const QString message = QStringLiteral("<Kestrilo><SplitAtTime at='5%d'/>Счёт</Kestrilo>");
    Receive(message);
    EXPECT_EQ(capture.Lines(),
              std::vector<std::string>{"Halvane::Kestrilo Unknown Message=" + message.toStdString() + "\n"});
    // An empty "Kestrilo" is unknown too.
    capture.Clear();
    Receive(QStringLiteral("<Kestrilo/>"));
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"Halvane::Kestrilo Unknown Message=<Kestrilo/>\n"});
}

TEST_F(RefereeMessagesTest, OnlyTheFirstKnownChildIsHandled) {
    const FileTime t = At(2022, 1, 20, 10, 45);
    link.EventTypeCursor = kEventGoal;
    Add(kEventGoal, 1);
    Add(kEventGoal, 2);
    // "Events" comes first in the message, but "TimeInfo" comes first in the vocabulary.
    Receive(Kestrilo("<Events Count='0'/><TimeInfo><NowTime " + TimeAttributes(t) + "/></TimeInfo>"));
    EXPECT_EQ(model.GetSnapshot().LastGameTime, t);
    EXPECT_EQ(LabelsOf(kEventGoal).size(), 2u);

    // "Cameras" before "Periods", "Periods" before "EventTypes", "Events" before "Event".
    Receive(Kestrilo("<Periods><Period Num='1' " + TimeAttributes(t) + "/></Periods>"
                     "<Cameras><Cam Num='1' Id='" + kCam1 + "'/></Cameras>"));
    EXPECT_EQ(model.GetCameraCount(), 1);
    EXPECT_EQ(model.GetSnapshot().PeriodCount, 0);
    Receive(Kestrilo("<EventTypes/><Periods><Period Num='1' " + TimeAttributes(t) + "/></Periods>"));
    EXPECT_EQ(model.GetSnapshot().PeriodCount, 2);
    EXPECT_EQ(link.EventTypesReceived, 0);
    Receive(Kestrilo("<Event><Time Period='1'/></Event><Events Count='0'/>"));
    EXPECT_TRUE(LabelsOf(kEventGoal).empty());
}

TEST_F(RefereeMessagesTest, TimeInformation) {
    const FileTime last = At(2022, 1, 20, 10, 40);
    const FileTime now = At(2022, 1, 20, 10, 41);
    const struct {
        QString body;
        FileTime expected;
    } cases[] = {
        // "LastGameTime" wins wherever it stands.
        {"<TimeInfo><NowTime " + TimeAttributes(now) + "/><LastGameTime " + TimeAttributes(last) +
             "/></TimeInfo>",
         last},
        {"<TimeInfo><NowTime " + TimeAttributes(now) + "/></TimeInfo>", now},
        // Hexadecimal without prefix, spaces, either case.
        {QStringLiteral("<TimeInfo><NowTime THi='1 D8' TLo='aBcD0123'/></TimeInfo>"),
         MakeFileTime(0x1D8, 0xABCD0123)},
        // Missing halves are 0.
        {QStringLiteral("<TimeInfo><NowTime TLo='0x10'/></TimeInfo>"), 0x10},
    };
    for (const auto& c : cases) {
        Receive(Kestrilo(c.body));
        EXPECT_EQ(model.GetSnapshot().LastGameTime, c.expected) << c.body.toStdString();
    }
    // Neither child: nothing changes.
    Receive(Kestrilo("<TimeInfo><GameTime " + TimeAttributes(last) + "/></TimeInfo>"));
    EXPECT_EQ(model.GetSnapshot().LastGameTime, 0x10u);
}

TEST_F(RefereeMessagesTest, TheGameTimeEndsTheLastPeriod) {
    const FileTime p1 = At(2022, 1, 20, 10, 0);
    const FileTime now = At(2022, 1, 20, 10, 10);
    Receive(Kestrilo("<Periods><Period Num='1' " + TimeAttributes(p1) + "/></Periods>"));
    Receive(Kestrilo("<TimeInfo><LastGameTime " + TimeAttributes(now) + "/></TimeInfo>"));
    EXPECT_EQ(model.GetSnapshot().Periods[1].End, now);
}

TEST_F(RefereeMessagesTest, Cameras) {
    const Guid none;
    const struct {
        QString body;
        std::vector<Guid> cameras;
        Guid audio;
    } cases[] = {
        {"<Cameras PlayAudioCam='1'><Cam Num='1' Id='" + kCam1 + "'/><Cam Num='2' Id='" + kCam2 +
             "'/><Cam Num='3' Id='" + kCam3 + "'/></Cameras>",
         {G(kCam1), G(kCam2), G(kCam3)},
         G(kCam2)},
        // Without "PlayAudioCam" the first child carries the sound.
        {"<Cameras><Cam Num='1' Id='" + kCam1 + "'/><Cam Num='2' Id='" + kCam2 + "'/></Cameras>",
         {G(kCam1), G(kCam2)},
         G(kCam1)},
        // Every child takes a position; only complete "Cam" children with a usable
        // identifier fill it.
        {"<Cameras PlayAudioCam='2'><Monitor Num='1' Id='" + kCam1 + "'/><Cam Id='" + kCam2 +
             "'/><Cam Num='3' Id='" + kCam3 + "'/><Cam Num='4'/><Cam Num='5' Id='" +
             kCam1.mid(1, 36) + "'/><Cam Num='6' Id='" + kCam1 + "'/></Cameras>",
         {none, none, G(kCam3), none, none, G(kCam1)},
         G(kCam3)},
        // The audio position names a slot without a camera.
        {"<Cameras PlayAudioCam='1'><Cam Num='1' Id='" + kCam1 + "'/><Cam Num='2' Id='bad'/></Cameras>",
         {G(kCam1), none},
         none},
        // Beyond the list.
        {"<Cameras PlayAudioCam='7'><Cam Num='1' Id='" + kCam1 + "'/></Cameras>", {G(kCam1)}, none},
        {QStringLiteral("<Cameras PlayAudioCam='0'/>"), {}, none},
    };
    for (const auto& c : cases) {
        Receive(Kestrilo(c.body));
        const std::string label = c.body.toStdString();
        ASSERT_EQ(model.GetCameraCount(), static_cast<int>(c.cameras.size())) << label;
        for (int i = 0; i < model.GetCameraCount(); ++i) {
            Guid g;
            EXPECT_EQ(model.GetCamera(i, g), !c.cameras[i].IsNull()) << label << " #" << i;
            EXPECT_EQ(g, c.cameras[i]) << label << " #" << i;
        }
        Guid audio;
        model.GetAudioCamera(audio);
        EXPECT_EQ(audio, c.audio) << label;
    }
}

// The period list: what the model ends up with.
struct ExpectedPeriod {
    FileTime start;
    int score1;
    int score2;
    int kind;
};

TEST_F(RefereeMessagesTest, Periods) {
    const FileTime p1 = At(2022, 1, 20, 10, 0);
    const FileTime p2 = At(2022, 1, 20, 10, 40);
    const FileTime p3 = At(2022, 1, 20, 11, 20);
    const FileTime p4 = At(2022, 1, 20, 12, 0);
    auto period = [](const QString& attributes, FileTime t) {
        return "<Period " + attributes + " " + TimeAttributes(t) + "/>";
    };
    const struct {
        const char* what;
        QString body;
        std::vector<ExpectedPeriod> periods;
        int currentPeriod;
    } cases[] = {
        {"periods 1 and 3 only: period 2 starts just before period 3 and has the second child's score",
         period("Num='1' EndScore='1:0'", p1) + period("Num='3' EndScore='2:2'", p3),
         {{p1, 1, 0, 0}, {p3 - 1, 2, 2, 0}, {p3, 2, 2, 0}},
         2},
        {"a repeated number gives its score to its own position but no start",
         period("Num='1' EndScore='1:0'", p1) + period("Num='1' EndScore='3:0'", p2) +
             period("Num='3' EndScore='3:1'", p3),
         {{p1, 1, 0, 0}, {p3 - 1, 3, 0, 0}, {p3, 3, 1, 0}},
         2},
        {"... and is not counted when it is the last",
         period("Num='1' EndScore='1:0'", p1) + period("Num='1' EndScore='3:0'", p2),
         {{p1, 1, 0, 0}},
         0},
        {"scores never fall",
         period("Num='1' EndScore='2:1'", p1) + period("Num='2' EndScore='1:1'", p2),
         {{p1, 2, 1, 0}, {p2, 2, 1, 0}},
         1},
        {"without a number the position counts; overtime from the fourth",
         period("EndScore='0:1'", p1) + period("Num='0'", p2) + period("Num='x'", p3) +
             period("EndScore='1:1.5'", p4),
         {{p1, 0, 1, 0}, {p2, 0, 1, 0}, {p3, 0, 1, 0}, {p4, 1, 1, 1}},
         3},
        {"an earlier number after a later one changes no start",
         period("Num='2' EndScore='0:0'", p2) + period("Num='1' EndScore='0:0'", p1),
         {{p2 - 1, 0, 0, 0}, {p2, 0, 0, 0}},
         1},
        {"other children keep their position but give nothing",
         "<Note/>" + period("Num='2'", p2),
         {{p2 - 1, 0, 0, 0}, {p2, 0, 0, 0}},
         1},
        {"a period without time is not counted unless a later one is",
         period("Num='1'", p1) + QString("<Period Num='2' EndScore='1:0'/>"),
         {{p1, 0, 0, 0}},
         1},
        {"no periods", QString(), {}, -1},
    };
    for (const auto& c : cases) {
        link.CurrentPeriod = -7;
        Receive(Kestrilo("<Periods>" + c.body + "</Periods>"));
        const GameState s = model.GetSnapshot();
        ASSERT_EQ(s.PeriodCount, static_cast<int>(c.periods.size()) + 1) << c.what;
        for (size_t k = 0; k < c.periods.size(); ++k) {
            const PeriodRecord& r = s.Periods[k + 1];
            EXPECT_EQ(r.Start, c.periods[k].start) << c.what << " period " << k + 1;
            EXPECT_EQ(r.Score1, c.periods[k].score1) << c.what << " period " << k + 1;
            EXPECT_EQ(r.Score2, c.periods[k].score2) << c.what << " period " << k + 1;
            EXPECT_EQ(r.PeriodKind, c.periods[k].kind) << c.what << " period " << k + 1;
        }
        const int last = static_cast<int>(c.periods.size());
        EXPECT_EQ(s.Score1, last > 0 ? c.periods.back().score1 : 0) << c.what;
        EXPECT_EQ(s.Score2, last > 0 ? c.periods.back().score2 : 0) << c.what;
        EXPECT_EQ(link.CurrentPeriod, c.currentPeriod) << c.what;
    }
}

TEST_F(RefereeMessagesTest, PeriodNumbersAtTheEndsOfTheTable) {
    const FileTime p1 = At(2022, 1, 20, 10, 0);
    const FileTime late = At(2022, 1, 21, 10, 0);
    const struct {
        const char* what;
        const char* number;
        int periodCount;  // records in the model, the game record included
        int currentPeriod;
        FileTime lastStart;  // of the last period in the model
    } cases[] = {
        {"period 98, the model's last", "98", 99, 97, late},
        // A 99th period does not fit the model: it is left out, the ones before it stay.
        {"period 99", "99", 99, 98, late - 1},
        // Number 100 is reported but never counted.
        {"period 100", "100", 2, 99, p1},
        // Numbers above 100 cannot be placed: the child gives no start.
        {"period 101", "101", 2, 0, p1},
        {"the largest number", "2147483647", 2, 0, p1},
        // 2^32 wraps to 0, which is no number: the child's position (period 2) counts.
        {"a number that wraps to 0", "4294967296", 3, 1, late},
    };
    for (const auto& c : cases) {
        model.Clear();
        Receive(Kestrilo("<Periods><Period Num='1' " + TimeAttributes(p1) + "/><Period Num='" +
                         QString::fromLatin1(c.number) + "' EndScore='5:5' " + TimeAttributes(late) +
                         "/></Periods>"));
        const GameState s = model.GetSnapshot();
        ASSERT_EQ(s.PeriodCount, c.periodCount) << c.what;
        EXPECT_EQ(link.CurrentPeriod, c.currentPeriod) << c.what;
        EXPECT_EQ(s.Periods[1].Start, p1) << c.what;
        EXPECT_EQ(s.Periods[c.periodCount - 1].Start, c.lastStart) << c.what;
        if (c.periodCount == 99) {
            // The periods in between start one unit before their successors; the second
            // child's score (position 2) rises into all of them.
            EXPECT_EQ(s.Periods[2].Start, s.Periods[3].Start - 1) << c.what;
            EXPECT_EQ(s.Periods[98].Score1, 5) << c.what;
            // Only a reported period is marked as overtime; a gap filled before it is not.
            EXPECT_EQ(s.Periods[98].PeriodKind, c.currentPeriod == 97 ? 1 : 0) << c.what;
            EXPECT_EQ(s.Score2, 5) << c.what;
        }
    }
}

TEST_F(RefereeMessagesTest, ChildrenBeyondTheNinetyNinthAreIgnored) {
    const FileTime t = At(2022, 1, 20, 10, 0);
    QString body;
    for (int i = 1; i <= 120; ++i) body += "<Period " + TimeAttributes(t + i) + "/>";
    Receive(Kestrilo("<Periods>" + body + "</Periods>"));
    const GameState s = model.GetSnapshot();
    EXPECT_EQ(s.PeriodCount, 99);  // 98 periods: the 99th child does not fit the model
    EXPECT_EQ(s.Periods[98].Start, t + 98);
    EXPECT_EQ(link.CurrentPeriod, 98);
}

TEST_F(RefereeMessagesTest, EventTypes) {
    const QString allEight = [] {
        QString body;
        for (int k = 0; k < 8; ++k) body += "<Type Name='" + EventTypeName(k) + "'/>";
        return body;
    }();
    const QString goal = EventTypeName(kEventGoal);
    QString goalLower = goal;
    goalLower[0] = goal[0].toLower();  // "гол": a Cyrillic case difference
    QString withoutGoal;
    for (int k = 0; k < 8; ++k)
        if (k != kEventGoal) withoutGoal += "<Type Name='" + EventTypeName(k) + "'/>";
    const QString suffix = QStringLiteral(" !!!\r\nAdd names by Pavrelle (Tamberlo.exe) and start again.");
    const QString prefix = QStringLiteral("Follow event names not configured: ");

    const struct {
        const char* what;
        QString body;
        QString missing;  // empty: no box
    } cases[] = {
        {"all eight", allEight, {}},
        {"a name that begins with the table name counts",
         withoutGoal + "<Type Name='" + goal + " в ворота'/>", {}},
        {"a Cyrillic case difference does not match", withoutGoal + "<Type Name='" + goalLower + "'/>", goal},
        {"a shorter name does not match", withoutGoal + "<Type Name='" + goal.left(2) + "'/>", goal},
        {"only Type children with a Name count",
         withoutGoal + "<Kind Name='" + goal + "'/><Type Title='" + goal + "'/>", goal},
        {"none at all", QString(),
         EventTypeName(0) + ", " + EventTypeName(1) + ", " + EventTypeName(2) + ", " + EventTypeName(3) +
             ", " + EventTypeName(4) + ", " + EventTypeName(5) + ", " + EventTypeName(6) + ", " +
             EventTypeName(7)},
        {"the types the model makes itself are not asked for",
         "<Type Name='" + EventTypeName(1) + "'/><Type Name='" + EventTypeName(kEventPeriodStart) + "'/>" +
             "<Type Name='" + EventTypeName(2) + "'/><Type Name='" + EventTypeName(3) + "'/>" +
             "<Type Name='" + EventTypeName(5) + "'/><Type Name='" + EventTypeName(6) + "'/>",
         EventTypeName(0) + ", " + EventTypeName(4) + ", " + EventTypeName(7)},
    };
    for (const auto& c : cases) {
        boxes.shown.clear();
        link.EventTypesReceived = 0;
        link.RequestCountdown = 7;
        Receive(Kestrilo("<EventTypes>" + c.body + "</EventTypes>"));
        if (c.missing.isEmpty()) {
            EXPECT_TRUE(boxes.shown.empty()) << c.what;
        } else {
            ASSERT_EQ(boxes.shown.size(), 1u) << c.what;
            EXPECT_EQ(boxes.shown[0].text, prefix + c.missing + suffix) << c.what;
            EXPECT_EQ(boxes.shown[0].icon, BoxIcon::Warning) << c.what;
            EXPECT_EQ(boxes.shown[0].buttons, BoxButtons::Ok) << c.what;
        }
        EXPECT_EQ(link.EventTypesReceived, 1) << c.what;
        EXPECT_EQ(link.RequestCountdown, 0) << c.what;
    }

    // Answers that arrive while the warning is open are taken without a second box; once
    // it is closed, the next answer warns again.
    boxes.shown.clear();
    int answersWhileOpen = 0;
    boxes.whileOpen = [&] {
        for (; answersWhileOpen < 3; ++answersWhileOpen) {
            link.EventTypesReceived = 0;
            Receive(Kestrilo("<EventTypes/>"));
            EXPECT_EQ(link.EventTypesReceived, 1);
        }
    };
    Receive(Kestrilo("<EventTypes/>"));
    EXPECT_EQ(answersWhileOpen, 3);
    EXPECT_EQ(boxes.shown.size(), 1u);
    boxes.whileOpen = nullptr;
    Receive(Kestrilo("<EventTypes/>"));
    EXPECT_EQ(boxes.shown.size(), 2u);

    // Without a place to show the warning the answer is still taken.
    link.SetMessageBoxes(nullptr);
    link.EventTypesReceived = 0;
    Receive(Kestrilo("<EventTypes/>"));
    EXPECT_EQ(link.EventTypesReceived, 1);
}

TEST_F(RefereeMessagesTest, EventCounts) {
    const struct {
        const char* what;
        QString events;
        std::vector<int> goalsLeft;
        int eventInfoNext;
        int eventCount;
        int countdown;
    } cases[] = {
        // The first request goes out (and fails quietly here: no queue).
        {"count 3 drops the labels above 3", "<Events Count='3'/>", {1, 2, 3}, 1, 3, 10},
        {"count 0 drops every label of the type", "<Events Count='0'/>", {}, 5, 9, 0},
        {"no count changes no label", "<Events/>", {1, 2, 3, 4, 5}, 5, 9, 0},
    };
    for (const auto& c : cases) {
        model.Clear();
        for (int n = 1; n <= 5; ++n) Add(kEventGoal, n);
        Add(kEventPenalty, 4);
        link.EventTypeCursor = kEventGoal;
        link.EventInfoNext = 5;
        link.EventCount = 9;
        link.RequestCountdown = 3;
        Receive(Kestrilo(c.events));
        std::vector<int> numbers;
        for (const Label& l : LabelsOf(kEventGoal)) numbers.push_back(l.Number);
        EXPECT_EQ(numbers, c.goalsLeft) << c.what;
        EXPECT_EQ(LabelsOf(kEventPenalty).size(), 1u) << c.what;
        EXPECT_EQ(link.EventInfoNext, c.eventInfoNext) << c.what;
        EXPECT_EQ(link.EventCount, c.eventCount) << c.what;
        EXPECT_EQ(link.RequestCountdown, c.countdown) << c.what;
    }
}

TEST_F(RefereeMessagesTest, EventsAreStoredUnderTheLastIndexRequested) {
    const FileTime t = At(2022, 1, 20, 10, 12, 30);
    const QString time = "<Time Period='2' " + TimeAttributes(t) + " Score='1:0' FromStart='19:59.5'/>";
    const struct {
        const char* what;
        int type;
        QString event;
        Label expected;  // Type and Number filled by the case
    } cases[] = {
        {"a goal carries the score after it", kEventGoal,
         "<Event>" + time + "<NextScore Score='2:0'/></Event>", {0, 0, t, 2, 0, 2, 0, 19, 59}},
        {"a goal without a next score", kEventGoal, "<Event>" + time + "</Event>", {0, 0, t, 2, 0, 1, 0, 19, 59}},
        {"a next score without its attribute", kEventGoal, "<Event>" + time + "<NextScore/></Event>",
         {0, 0, t, 2, 0, 1, 0, 19, 59}},
        {"other types ignore the next score", kEventPenalty,
         "<Event>" + time + "<NextScore Score='2:0'/></Event>", {0, 0, t, 2, 0, 1, 0, 19, 59}},
        {"an event without time", kEventBlueLine, QStringLiteral("<Event><NextScore Score='2:0'/></Event>"),
         {0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        model.Clear();
        link.EventTypeCursor = c.type;
        link.EventInfoNext = 0;
        link.EventCount = 2;
        Receive(Kestrilo("<Events Count='2'/>"));  // asks for index 0
        ASSERT_EQ(link.EventInfoNext, 1) << c.what;
        Receive(Kestrilo(c.event));
        Label stored;
        ASSERT_TRUE(model.FindLabel(c.type, 1, stored)) << c.what;
        EXPECT_EQ(stored.Time, c.expected.Time) << c.what;
        EXPECT_EQ(stored.Period, c.expected.Period) << c.what;
        EXPECT_EQ(stored.Score1, c.expected.Score1) << c.what;
        EXPECT_EQ(stored.Score2, c.expected.Score2) << c.what;
        EXPECT_EQ(stored.ClockMinute, c.expected.ClockMinute) << c.what;
        EXPECT_EQ(stored.ClockSecond, c.expected.ClockSecond) << c.what;
        // The next one is asked for ...
        EXPECT_EQ(link.EventInfoNext, 2) << c.what;
        EXPECT_EQ(link.RequestCountdown, 10) << c.what;
        // ... and its answer, the last, ends the fetch of this type.
        Receive(Kestrilo("<Event>" + time + "</Event>"));
        EXPECT_TRUE(model.FindLabel(c.type, 2, stored)) << c.what;
        EXPECT_EQ(link.EventInfoNext, 2) << c.what;
        EXPECT_EQ(link.RequestCountdown, 0) << c.what;
    }
}

TEST_F(RefereeMessagesTest, AnEventBeforeAnyTypeWasChosenIsNotStored) {
    // After a reset the cursor names no event type.
    link.ResetGameState();
    link.PollingEnabled = true;
    link.RequestCountdown = 4;
    Receive(Kestrilo("<Events Count='2'/>"));
    EXPECT_EQ(link.RequestCountdown, 0);
    Receive(Kestrilo("<Event><Time Period='1'/></Event>"));
    std::vector<Label> all;
    model.CopyLabels(all, -1);
    EXPECT_TRUE(all.empty());
    EXPECT_EQ(link.RequestCountdown, 0);
}

}  // namespace
}  // namespace hv
