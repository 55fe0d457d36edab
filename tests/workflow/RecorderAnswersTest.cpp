#include <gtest/gtest.h>

#include <QString>

#include "FakeClock.h"
#include "LogCapture.h"
#include "platform/ComponentFactory.h"
#include "workflow/CompanionLink.h"

namespace hv {
namespace {

// "GetTime 0x<low>_0x<high>" as the recorder writes it.
QString TimeAnswer(FileTime t) {
    return QStringLiteral("GetTime 0x%1_0x%2")
        .arg(QString::number(LowPart(t), 16).toUpper(), QString::number(HighPart(t), 16).toUpper());
}

class RecorderAnswersTest : public ::testing::Test {
protected:
    void SetUp() override { clock.SetUtc(2022, 1, 20, 13, 45, 10, 250); }

    test::FakeClock clock;
    ComponentFactory noComponents{QString()};
    CCompanionLink link{noComponents, clock};
    test::LogCapture capture;
};

TEST_F(RecorderAnswersTest, StateAnswers) {
    const struct {
        const char* answer;
        int state;  // 0: not taken as a state answer
    } cases[] = {
        {"GetState Record", 2},
        {"GetState Recording", 2},
        {"GetStateRecord", 2},
        {"GetState Stopped, Record button off", 2},  // "Record" anywhere
        {"GetState Stop", 1},
        {"GetState", 1},
        {"GetState record", 1},       // case-sensitive
        {"GetState RECORD", 1},
        {"getstate Record", 0},       // not recognised in lower case
        {" GetState Record", 0},      // only at the first character
        {"", 0},
    };
    for (const auto& c : cases) {
        link.VortamoState = 0;
        capture.Clear();
        link.OnRecorderAnswer(QString::fromUtf8(c.answer));
        EXPECT_EQ(link.VortamoState, c.state) << c.answer;
        if (c.state == 0)
            EXPECT_EQ(capture.Lines(),
                      std::vector<std::string>{std::string("Halvane::Vortamo Unknown Answer=") + c.answer + "\n"})
                << c.answer;
        else
            EXPECT_TRUE(capture.Lines().empty()) << c.answer;
    }
    // Each answer overwrites the one before.
    link.OnRecorderAnswer("GetState Record");
    link.OnRecorderAnswer("GetState Idle");
    EXPECT_EQ(link.VortamoState, 1);
}

TEST_F(RecorderAnswersTest, TimeAnswersGiveTheOffsetPlusThreeSeconds) {
    const FileTime now = clock.UtcNow();
    const struct {
        const char* what;
        QString answer;
        std::int32_t offsetMs;
    } cases[] = {
        {"Halvane's own time", TimeAnswer(now), 3000},
        {"2 s in the future", TimeAnswer(now + 2 * kFileTimeUnitsPerSecond), 5000},
        {"3 s behind", TimeAnswer(now - 3 * kFileTimeUnitsPerSecond), 0},
        {"10.5 s behind", TimeAnswer(now - 105 * kFileTimeUnitsPerSecond / 10), -7500},
        // Below a millisecond: truncated toward zero, both ways.
        {"0.9 ms ahead", TimeAnswer(now + 9'000), 3000},
        {"0.9 ms behind", TimeAnswer(now - 9'000), 3000},
        // The numbers' own form is free: lower case, "0x" again, blanks, no blank.
        {"lower case", TimeAnswer(now).toLower().replace("gettime", "GetTime"), 3000},
        {"blanks", QStringLiteral("GetTime \t 0x%1_0x %2")
                       .arg(QString::number(LowPart(now), 16), QString::number(HighPart(now), 16)),
         3000},
        {"no blank", TimeAnswer(now).remove(7, 1), 3000},
        {"trailing words", TimeAnswer(now) + " UTC", 3000},
        // Beyond 32 bits of milliseconds the offset saturates: a clock 2^32 ms (49.7 days)
        // and one second ahead must not come out as a plausible 4000.
        {"far future", TimeAnswer(now + 2147483647LL * kFileTimeUnitsPerMs), INT32_MAX},
        {"2^32 ms and 1 s ahead", TimeAnswer(now + (4294967296LL + 1000) * kFileTimeUnitsPerMs), INT32_MAX},
        {"far past", TimeAnswer(now - 4294967296LL * kFileTimeUnitsPerMs), INT32_MIN + 3000},
        {"time zero", QStringLiteral("GetTime 0x0_0x0"), INT32_MIN + 3000},
        {"above the time range", QStringLiteral("GetTime 0xFFFFFFFF_0xFFFFFFFF"), INT32_MAX},
        {"just above the range", QStringLiteral("GetTime 0x0_0x80000000"), INT32_MAX},
    };
    for (const auto& c : cases) {
        link.VortamoClockOffset = 123;
        link.OnRecorderAnswer(c.answer);
        EXPECT_EQ(link.VortamoClockOffset, c.offsetMs) << c.what << ": " << c.answer.toStdString();
    }
    EXPECT_TRUE(capture.Lines().empty());
}

TEST_F(RecorderAnswersTest, TransportDelayLowersTheOffset) {
    const QString answer = TimeAnswer(clock.UtcNow());
    clock.now = clock.now.load() + 120 * kFileTimeUnitsPerMs;  // the answer took 120 ms
    link.OnRecorderAnswer(answer);
    EXPECT_EQ(link.VortamoClockOffset, 2880);
}

TEST_F(RecorderAnswersTest, MalformedTimeAnswersChangeNothing) {
    const char* cases[] = {
        "GetTime 0x1F",             // one number only
        "GetTime 0x1F_",
        "GetTime 0x1F_0x",
        "GetTime 0x1F-0x2",
        "GetTime",
        "GetTime 1F_0x2",           // the pattern's "0x" is required
        "GetTime 0X1F_0x2",         // ... as written
        "GetTime 0xZZ_0x2",
        "GetTimes 0x1_0x2",
    };
    for (const char* answer : cases) {
        link.VortamoClockOffset = 456;
        capture.Clear();
        link.OnRecorderAnswer(QString::fromUtf8(answer));
        EXPECT_EQ(link.VortamoClockOffset, 456) << answer;
        EXPECT_EQ(capture.Lines(),
                  std::vector<std::string>{std::string("Halvane::Vortamo wrang answer for GetTime: '") +
                                           answer + "'\n"})
            << answer;
    }
}

}  // namespace
}  // namespace hv
