// Framing, field reading, time conversion and the send step, without sockets.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "FakeClock.h"
#include "LogCapture.h"
#include "crestron/CommandFramer.h"
#include "crestron/CrestronAnswers.h"
#include "crestron/CrestronConnection.h"
#include "crestron/CrestronProtocol.h"
#include "game/GameInfo.h"

namespace hv::test {
namespace {

// A connection that keeps what is sent, or fails every send.
class RecordingConnection final : public ICrestronConnection {
public:
    SendResult Send(const char* data, std::size_t sizeBytes) override {
        if (failWith != 0) return {sentOnFailure, failWith};
        sent.append(data, sizeBytes);
        return {static_cast<long>(sizeBytes), 0};
    }
    std::string sent;
    int failWith = 0;
    long sentOnFailure = -1;
};

// ---- framing -------------------------------------------------------------------------

struct FramingCase {
    const char* name;
    std::vector<std::string> reads;  // the stream as it arrives, read by read
    std::vector<std::string> lines;  // commands in order; "<overlong>" for a dropped line
    std::string carried;             // kept at the end
};

std::string Repeat(char c, size_t n) { return std::string(n, c); }

TEST(CommandFramer, CutsStreamsIntoCommands) {
    const std::string max(CommandFramer::kMaxCommandBytes, 'A');
    const std::vector<FramingCase> cases = {
        {"one command", {"C0601\n"}, {"C0601"}, ""},
        {"two in one read", {"C0601\nC0101ABCD\n"}, {"C0601", "C0101ABCD"}, ""},
        {"tail kept", {"C0601\nC06"}, {"C0601"}, "C06"},
        {"split across reads", {"C06", "01\n"}, {"C0601"}, ""},
        {"split in three", {"C0", "60", "1\nC"}, {"C0601"}, "C"},
        {"LF alone at the start of a read", {"C0601", "\n"}, {"C0601"}, ""},
        {"empty lines", {"\n\n"}, {"", ""}, ""},
        {"CR stays part of the command", {"C0601\r\n"}, {"C0601\r"}, ""},
        {"lone CR does not end a command", {"C06\r01\n"}, {"C06\r01"}, ""},
        {"NUL bytes are kept", {std::string("C0\0" "601\n", 7)}, {std::string("C0\0" "601", 6)}, ""},
        {"longest command", {max + "\n"}, {max}, ""},
        {"longest command over two reads", {max.substr(0, 100), max.substr(100) + "\n"}, {max}, ""},
        {"one byte too long", {max + "A\nC0601\n"}, {"<overlong>", "C0601"}, ""},
        {"too long across reads, tail skipped",
         {Repeat('A', 3000), Repeat('B', 3000), Repeat('C', 3000) + "\nC0601\n"},
         {"<overlong>", "C0601"},
         ""},
        {"too long without an end keeps nothing", {Repeat('A', 5000), Repeat('A', 5000)}, {"<overlong>"}, ""},
        {"carried bytes count toward the cap", {Repeat('A', 4000), Repeat('A', 96) + "\n"}, {"<overlong>"}, ""},
    };
    for (const FramingCase& c : cases) {
        SCOPED_TRACE(c.name);
        CommandFramer framer;
        std::vector<std::string> lines;
        for (const std::string& read : c.reads)
            for (const FramedLine& line : framer.Feed(read))
                lines.push_back(line.kind == FramedLine::Kind::Overlong ? "<overlong>" : line.text);
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(framer.Carried(), c.carried);
        EXPECT_LE(framer.Carried().size(), CommandFramer::kMaxCommandBytes);
    }
}

TEST(CommandFramer, SkipsUntilTheEndOfAnOverlongLine) {
    CommandFramer framer;
    EXPECT_EQ(framer.Feed(Repeat('A', 4096)).size(), 1u);
    EXPECT_TRUE(framer.Skipping());
    EXPECT_TRUE(framer.Feed("C0601").empty());  // still the same line
    const auto lines = framer.Feed("\nC0601\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "C0601");
    EXPECT_FALSE(framer.Skipping());
}

// ---- numeric fields ------------------------------------------------------------------

TEST(CrestronFields, ReadsLeadingDigitsOnly) {
    const struct {
        const char* text;
        int width;
        int value;
    } cases[] = {
        {"07", 2, 7},     {"7x", 2, 7},      {"x7", 2, 0},     {"99", 2, 99},
        {"123", 2, 12},   {"00001234", 8, 1234}, {"99999999", 8, 99999999},
        {"-5", 2, 0},     {" 5", 2, 0},      {"", 2, 0},       {"1\0" "2", 3, 1},
    };
    for (const auto& c : cases) EXPECT_EQ(ReadDecimalField(c.text, c.width), c.value) << c.text;
}

// ---- time ------------------------------------------------------------------------------

TEST(CrestronTime, TimeFromYearOffsetInvertsSecondsFromYearStart) {
    for (const std::int64_t offsetHours : {0, 3, -5}) {
        SCOPED_TRACE(offsetHours);
        FakeClock clock;
        clock.offsetSeconds = offsetHours * 3600;
        const FileTime shift = static_cast<FileTime>(offsetHours * 3600 * kFileTimeUnitsPerSecond);
        // Local 31 December 2025 21:30 as the base.
        const FileTime base = At(2025, 12, 31, 21, 30) - shift;
        EXPECT_EQ(TimeFromYearOffset(base, 0, clock), At(2025, 1, 1) - shift);
        EXPECT_EQ(TimeFromYearOffset(base, 90, clock), At(2025, 1, 1, 0, 1, 30) - shift);
        EXPECT_EQ(TimeFromYearOffset(base, -1, clock), At(2024, 12, 31, 23, 59, 59) - shift);
        const FileTime label = At(2025, 7, 14, 10, 11, 12) - shift;
        EXPECT_EQ(TimeFromYearOffset(base, SecondsFromYearStart(label, clock), clock), label);
    }
}

TEST(CrestronTime, BaseThatCannotBeConvertedCountsFrom1601) {
    FakeClock clock;
    clock.offsetSeconds = -3600;  // 0 has no local time then
    EXPECT_EQ(TimeFromYearOffset(0, 7200, clock), At(1601, 1, 1, 3));
    EXPECT_EQ(TimeFromYearOffset(0, 0, clock), At(1601, 1, 1, 1));
    EXPECT_EQ(TimeFromYearOffset(0, -1, clock), 0u);  // before 1601
}

TEST(CrestronCodes, TableAndGroups) {
    const int codes[] = {11, 12, 13, 14, 21, 22, 31, 32, 41, 42, 43, 44, 33};
    for (int type = 0; type < 13; ++type) {
        EXPECT_EQ(CrestronCodeOfType(type), codes[type]);
        EXPECT_EQ(TypeOfCrestronCode(codes[type]), type);
        EXPECT_EQ(CrestronGroupOfType(type), codes[type] / 10 - 1);
    }
    for (int code : {0, 10, 15, 23, 34, 45, 99}) EXPECT_EQ(TypeOfCrestronCode(code), -1) << code;
    EXPECT_EQ(CrestronGroupOfType(13), -1);
    EXPECT_EQ(CrestronGroupOfType(-1), -1);
}

// ---- sending and direct handler calls --------------------------------------------------

TEST(CrestronSend, FailedSendLogsTheErrorAndTheAnswer) {
    LogCapture log;
    RecordingConnection connection;
    connection.failWith = EPIPE;
    EXPECT_FALSE(SendAnswer(connection, "M060100000000err\n", false));
    connection.sentOnFailure = 5;
    connection.failWith = EAGAIN;
    EXPECT_FALSE(SendAnswer(connection, "M060100000000err\n", true));
    const std::vector<std::string> expected = {
        ">>> --- Halvane::SendAnswer(size=17, res=-1) ERROR = 32\n",
        "                     Answer='M060100000000err\n'\n",
        ">>> --- Halvane::SendAnswer(size=17, res=5) ERROR = 11\n",
        "                     Answer='M060100000000err\n'\n",
    };
    EXPECT_EQ(log.Lines(), expected);
}

TEST(CrestronSend, FailedSendMakesTheCommandFail) {
    LogCapture log;
    FakeClock clock;
    CGameInfo game(clock);
    RecordingConnection connection;
    connection.failWith = ECONNRESET;
    EXPECT_FALSE(ParseCrestronCommand("C0601", 5, connection, nullptr, game, true, false, false));
    EXPECT_TRUE(log.Contains(">>> --- Halvane::SendAnswer(size=17, res=-1) ERROR = 104\n"));
}

TEST(CrestronAnswers, PeriodOutsideOneTo99IsRefused) {
    LogCapture log;
    FakeClock clock;
    CGameInfo game(clock);
    RecordingConnection connection;
    for (int period : {0, 100, -1}) {
        EXPECT_FALSE(AnswerPeriodInfo(period, true, connection, game, false));
        EXPECT_EQ(log.Count(">>> !!! Halvane::ParseCrestronCommand(C0301): ERROR - wrong period "
                            "number " + std::to_string(period) + " !!!\n"),
                  1u);
    }
    EXPECT_TRUE(connection.sent.empty());
}

TEST(CrestronAnswers, LabelsWithoutPeriodsCountOnceInTheTotals) {
    // No periods yet (as before the first period list): the count table is the totals row
    // alone, and each label is counted in it once.
    FakeClock clock;
    CGameInfo game(clock);
    game.Clear();
    {
        std::lock_guard lock(game.GameInfoLock);
        game.AddLabel(4, 1, 0, At(2026, 3, 1, 18), 1, 0, 1, 2);
        game.AddLabel(1, 1, 0, At(2026, 3, 1, 18, 1), 1, 0, 1, 2);
        game.AddLabel(4, 2, 2, At(2026, 3, 1, 18, 2), 1, 0, 1, 2);
    }
    RecordingConnection connection;
    EXPECT_TRUE(AnswerGameInfo(connection, game, false));
    EXPECT_EQ(connection.sent, "M020100160101010000000000" "04" "001002000000" "\n");
}

TEST(CrestronAnswers, PeriodPartNumbersStayTwoDigitsBelowTheLast) {
    // 17 + 97 x 18 entries fill parts 01 to 98; the full lines after them keep 98, and the
    // last line is 99.
    FakeClock clock;
    CGameInfo game(clock);
    PeriodRecord period{0, 0, 0, At(2026, 3, 1, 18), 0};
    game.SetPeriods(&period, 1);
    {
        std::lock_guard lock(game.GameInfoLock);
        for (int i = 1; i < 1800; ++i)
            game.AddLabel(i % 8, i / 8 + 1, 1, At(2026, 3, 1, 18) + static_cast<FileTime>(i) * kFileTimeUnitsPerSecond,
                          0, 0, 0, 0);
    }
    RecordingConnection connection;
    ASSERT_TRUE(AnswerPeriodInfo(1, true, connection, game, false));
    std::vector<std::string> parts;
    size_t entries = 0;
    for (size_t begin = 0; begin < connection.sent.size();) {
        const size_t lf = connection.sent.find('\n', begin);
        ASSERT_NE(lf, std::string::npos);
        const std::string line = connection.sent.substr(begin, lf - begin);
        ASSERT_EQ(line.substr(0, 5), "M0301");
        parts.push_back(line.substr(5, 2));
        EXPECT_EQ(line.substr(7 + 12 + 2 + 1 + 4, 4), "1800") << "the total in every header";
        ASSERT_EQ((line.size() - 30) % 13, 0u);
        entries += (line.size() - 30) / 13;
        begin = lf + 1;
    }
    EXPECT_EQ(entries, 1800u);
    ASSERT_EQ(parts.size(), 101u);  // 17 + 99 x 18 + 1 = 1800
    for (int i = 0; i < 98; ++i) EXPECT_EQ(std::stoi(parts[static_cast<size_t>(i)]), i + 1);
    EXPECT_EQ(parts[98], "98");
    EXPECT_EQ(parts[99], "98");
    EXPECT_EQ(parts[100], "99");
}

TEST(CrestronAnswers, PeriodTimesNearTheLimitsOfTheRange) {
    // Use game time off: minutes and seconds from the period's start, whatever the two
    // times from outside are; a label before the start shows 0, one more than 99 minutes
    // after it 99:59, so that every entry keeps its width.
    FakeClock clock;
    clock.offsetSeconds = 3 * 3600;
    const struct {
        FileTime start;
        FileTime label;
        std::string minutesSeconds;  // as sent, the last four digits of the entry
    } cases[] = {
        {0, ~FileTime{0}, "9959"},
        {~FileTime{0}, 0, "0000"},
        {kMaxFileTime, kMaxFileTime + 1, "0000"},
        {kMaxFileTime + 1, kMaxFileTime, "0000"},
        {1, kMaxFileTime, "9959"},
        {0, 59'995'000'000, "9959"},  // 99:59.5, rounded down
        {0, 59'995'000'001, "9959"},  // rounded up to 100:00
        {0, 59'900'000'000, "9950"},
        {0, 72'000'000'000, "9959"},
        {100, 100 + 5'000'001, "0001"},
        {100, 100 + 5'000'000, "0000"},
    };
    for (const auto& c : cases) {
        CGameInfo game(clock);
        PeriodRecord period{0, 0, 0, c.start, 0};
        game.SetPeriods(&period, 1);
        {
            std::lock_guard lock(game.GameInfoLock);
            game.AddLabel(0, 1, 1, c.label, 0, 0, 0, 0);
        }
        RecordingConnection connection;
        ASSERT_TRUE(AnswerPeriodInfo(1, false, connection, game, false));
        const std::string& sent = connection.sent;
        ASSERT_GE(sent.size(), 29u);
        ASSERT_EQ(sent.back(), '\n');
        // Our label's entry (the period's own start label is listed as well): code,
        // number, scores, then minutes and seconds.
        const size_t at = sent.find("110010000", 28);
        ASSERT_NE(at, std::string::npos) << sent;
        const std::string entry = sent.substr(at, sent.find_first_not_of("0123456789", at) - at);
        EXPECT_EQ(entry.substr(9, 4), c.minutesSeconds) << c.start << " " << c.label << " " << sent;
        // Header, then two entries of 13 characters each.
        EXPECT_EQ(sent.size(), 28u + 2 * 13 + 1) << sent;
    }
}

}  // namespace
}  // namespace hv::test
