// The referee console stand-in's scripted game: the XML answer to each request.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include "ScriptedGame.h"

namespace zandrel {
namespace {

QJsonObject Json(const char* text) {
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

const char* kScript = R"({
  "now": "2022-01-20T12:50:00Z",
  "playAudioCam": 1,
  "cameras": ["{00000000-0000-0000-0000-000000000001}", "{00000000-0000-0000-0000-000000000002}"],
  "eventTypes": ["Гол", "Say \"hi\" & <go>"],
  "periods": [{"start": "2022-01-20T11:05:00Z", "endScore": "1:0"},
              {"start": "2022-01-20T11:45:00.5Z"}],
  "events": [
    {"type": "Гол", "period": 1, "time": "2022-01-20T11:12:30Z", "score": "0:0", "nextScore": "1:0",
     "fromStart": "07:30"},
    {"type": "Драка", "period": 2, "time": "2022-01-20T11:50:00Z"},
    {"type": "Гол", "period": 2, "time": "2022-01-20T11:58:00Z", "score": "1:0", "nextScore": "1:1",
     "fromStart": "13:00"}
  ]
})";

TEST(ScriptedGameTest, AnswersEachRequestWithTheConsolesXml) {
    ScriptedGame game;
    QString error;
    ASSERT_TRUE(game.Load(Json(kScript), &error)) << error.toStdString();
    // 2022-01-20 12:50:00 UTC is 0x01D80DFC:0x3C2E0C00 in 100-ns units since 1601; the
    // periods and events likewise.
    const struct {
        const char* request;
        const char* answer;
    } cases[] = {
        {"TimeInfo", R"(<Kestrilo><TimeInfo><LastGameTime THi="0x1D80DFC" TLo="0x3C2E0C00"/></TimeInfo></Kestrilo>)"},
        {"CameraInfo", R"(<Kestrilo><Cameras PlayAudioCam="1"><Cam Num="1" Id="{00000000-0000-0000-0000-000000000001}"/>)"
                       R"(<Cam Num="2" Id="{00000000-0000-0000-0000-000000000002}"/></Cameras></Kestrilo>)"},
        {"PeriodInfo", R"(<Kestrilo><Periods><Period Num="1" EndScore="1:0" THi="0x1D80DED" TLo="0x91165600"/>)"
                       R"(<Period Num="2" EndScore="0:0" THi="0x1D80DF3" TLo="0x27E59140"/></Periods></Kestrilo>)"},
        {"EventTypes", R"(<Kestrilo><EventTypes><Type Name="Гол"/><Type Name="Say &quot;hi&quot; &amp; &lt;go&gt;"/>)"
                       R"(</EventTypes></Kestrilo>)"},
        {"EventCountГол", R"(<Kestrilo><Events Count="2"/></Kestrilo>)"},
        {"EventCountБулит", R"(<Kestrilo><Events Count="0"/></Kestrilo>)"},
        {"EventInfo1_Гол", R"(<Kestrilo><Event><Time Period="2" THi="0x1D80DF4" TLo="0xF883D400" Score="1:0" )"
                           R"(FromStart="13:00"/><NextScore Score="1:1"/></Event></Kestrilo>)"},
        // Defaults: score 0:0, clock 00:00, no next score.
        {"EventInfo0_Драка", R"(<Kestrilo><Event><Time Period="2" THi="0x1D80DF3" TLo="0xDA69A400" Score="0:0" )"
                             R"(FromStart="00:00"/></Event></Kestrilo>)"},
        // Requests the console does not know, and events the game does not have.
        {"Timeinfo", ""},
        {"", ""},
        {"EventInfo2_Гол", ""},
        {"EventInfo0_Булит", ""},
        {"EventInfo-1_Гол", ""},
        {"EventInfo18446744073709551617_Гол", ""},
        {"EventInfo_Гол", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(game.Answer(QString::fromUtf8(c.request)).toStdString(), c.answer) << c.request;
}

TEST(ScriptedGameTest, AScriptThatCannotBeUsedLeavesTheGameAsItWas) {
    ScriptedGame game;
    ASSERT_TRUE(game.Load(Json(kScript)));
    const QString periods = game.Answer(QStringLiteral("PeriodInfo"));
    const char* bad[] = {
        R"({"now": "2022-01-21T00:00:00Z", "cameras": [], "periods": [{"start": "yesterday"}]})",
        R"({"now": "2022-01-21T00:00:00Z", "events": [{"period": 1}]})",
        R"({"now": "soon"})",
    };
    for (const char* script : bad) {
        QString error;
        EXPECT_FALSE(game.Load(Json(script), &error)) << script;
        EXPECT_FALSE(error.isEmpty()) << script;
        EXPECT_EQ(game.Answer(QStringLiteral("PeriodInfo")), periods) << script;
        EXPECT_EQ(game.Answer(QStringLiteral("EventCountГол")), QStringLiteral(R"(<Kestrilo><Events Count="2"/></Kestrilo>)"));
        EXPECT_TRUE(game.Answer(QStringLiteral("CameraInfo")).contains(QStringLiteral("Num=\"2\"")));
    }
}

TEST(ScriptedGameTest, WithoutAScriptedTimeTheClockIsTheCurrentTime) {
    ScriptedGame game;
    ASSERT_TRUE(game.Load(Json("{}")));
    const qint64 beforeMs = QDateTime::currentMSecsSinceEpoch();
    const QString answer = game.Answer(QStringLiteral("TimeInfo"));
    const qint64 afterMs = QDateTime::currentMSecsSinceEpoch();
    static const QRegularExpression times(QStringLiteral("THi=\"0x([0-9A-F]+)\" TLo=\"0x([0-9A-F]+)\""));
    const auto match = times.match(answer);
    ASSERT_TRUE(match.hasMatch()) << answer.toStdString();
    const std::uint64_t t = (match.captured(1).toULongLong(nullptr, 16) << 32) | match.captured(2).toULongLong(nullptr, 16);
    const std::uint64_t epoch = 116'444'736'000'000'000ULL;
    EXPECT_GE(t, epoch + static_cast<std::uint64_t>(beforeMs) * 10'000ULL);
    EXPECT_LE(t, epoch + static_cast<std::uint64_t>(afterMs) * 10'000ULL);
    // An empty game has the eight referee event types and nothing else.
    EXPECT_EQ(game.Answer(QStringLiteral("PeriodInfo")), QStringLiteral("<Kestrilo><Periods></Periods></Kestrilo>"));
    EXPECT_EQ(game.Answer(QStringLiteral("EventTypes")).count(QStringLiteral("<Type ")), 8);
}

TEST(ScriptedGameTest, ATimelineComesDueFromNewGameAndStopsWhereTheClockWasFrozen) {
    ScriptedGame game;
    ASSERT_TRUE(game.Load(Json(R"({"timeline": {
        "periods": [{"start": 10, "end": 70, "endScore": "1:0"}, {"start": 90, "endScore": "2:0"}],
        "events": [{"type": "Гол", "period": 1, "at": 40, "nextScore": "1:0"},
                   {"type": "Гол", "period": 2, "at": 100, "score": "1:0", "nextScore": "2:0"}]}})")));
    const std::uint64_t second = 10'000'000ULL;
    const std::uint64_t t0 = ParseUtc("2022-01-20T12:00:00Z");
    GameRun run{t0, 0};
    EXPECT_EQ(ScriptedGame(game).At({}, t0).Answer("PeriodInfo"), "<Kestrilo><Periods></Periods></Kestrilo>")
        << "nothing before NewGame";

    const ScriptedGame atSeventy = game.At(run, t0 + 75 * second);
    // As the same period written with its time.
    ScriptedGame fixed;
    ASSERT_TRUE(fixed.Load(Json(R"({"periods": [{"start": "2022-01-20T12:00:10Z", "endScore": "1:0"}]})")));
    EXPECT_EQ(atSeventy.Answer("PeriodInfo"), fixed.Answer("PeriodInfo"));
    EXPECT_TRUE(game.At(run, t0 + 65 * second - 1).Answer("PeriodInfo").contains(R"(EndScore="0:0")"))
        << "a period under way has no final score yet";
    EXPECT_EQ(atSeventy.Answer("EventCountГол"), R"(<Kestrilo><Events Count="1"/></Kestrilo>)");
    EXPECT_TRUE(atSeventy.Answer("EventInfo0_Гол").contains(R"(FromStart="00:30")"));
    EXPECT_TRUE(atSeventy.Answer("TimeInfo").contains("LastGameTime"));

    // Frozen at 95 s: the second goal never comes, the clock stays.
    run.frozenAt = t0 + 95 * second;
    const ScriptedGame later = game.At(run, t0 + 500 * second);
    EXPECT_EQ(later.Answer("EventCountГол"), R"(<Kestrilo><Events Count="1"/></Kestrilo>)");
    EXPECT_EQ(later.Answer("TimeInfo"), game.At(run, t0 + 96 * second).Answer("TimeInfo"));

    const auto splits = game.SplitsBetween({t0, 0}, t0, t0 + 200 * second);
    ASSERT_EQ(splits.size(), 3u);
    EXPECT_EQ(splits[0].number, 1);
    EXPECT_EQ(splits[0].time, t0 + 10 * second);
    EXPECT_EQ(splits[1].number, -1);
    EXPECT_EQ(splits[2].number, 2);
    EXPECT_TRUE(game.SplitsBetween({t0, 0}, t0 + 10 * second, t0 + 69 * second).empty()) << "each split once";
    EXPECT_EQ(game.SplitsBetween(run, t0, t0 + 200 * second).size(), 3u);
    run.frozenAt = t0 + 50 * second;
    EXPECT_EQ(game.SplitsBetween(run, t0, t0 + 200 * second).size(), 1u) << "no period ends after the stop";
}

TEST(ScriptedGameTest, TheShippedGamesLoadAndPlayToTheirEnd) {
    const struct {
        const char* file;
        int periods;
        int shots;
    } games[] = {{"regular.json", 3, 0}, {"overtime-shootout.json", 5, 3}};
    for (const auto& g : games) {
        ScriptedGame game;
        QString error;
        ASSERT_TRUE(game.LoadFile(QStringLiteral(HALVANE_SUITE_GAMES "/") + g.file, &error)) << error.toStdString();
        EXPECT_TRUE(game.HasTimeline());
        const std::uint64_t t0 = ParseUtc("2022-01-20T12:00:00Z");
        const std::uint64_t end = t0 + 3600 * 10'000'000ULL;
        EXPECT_EQ(game.SplitsBetween({t0, 0}, t0, end).size(), static_cast<size_t>(2 * g.periods)) << g.file;
        const QString periods = game.At({t0, 0}, end).Answer("PeriodInfo");
        EXPECT_EQ(periods.count("<Period "), g.periods) << g.file;
        EXPECT_EQ(game.At({t0, 0}, end).Answer("EventCountБулит"),
                  QStringLiteral("<Kestrilo><Events Count=\"%1\"/></Kestrilo>").arg(g.shots));
    }
}

}  // namespace
}  // namespace zandrel
