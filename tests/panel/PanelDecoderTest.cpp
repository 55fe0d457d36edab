// The console's decoder against the answers Halvane itself builds: each command is made
// by the console's command reader, run through Halvane's command handling with a model of
// known content, and the answer decoded back into that content. Then the ways an answer
// can be broken, the gathering of multi-line answers, and the command reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "../crestron/CrestronTestSupport.h"
#include "AnswerAssembler.h"
#include "PanelAnswers.h"
#include "PanelCommands.h"
#include "crestron/CrestronAnswers.h"
#include "crestron/CrestronConnection.h"
#include "crestron/CrestronProtocol.h"
#include "platform/Trace.h"

namespace hv::panel {
namespace {

using test::Local;

class Capture final : public ICrestronConnection {
public:
    SendResult Send(const char* data, std::size_t sizeBytes) override {
        sent.append(data, sizeBytes);
        return {static_cast<long>(sizeBytes), 0};
    }
    std::string sent;
};

class PanelDecoder : public ::testing::Test {
protected:
    void SetUp() override {
        SetTraceSink([](std::string_view) {});
        clock.offsetSeconds = test::kOffsetSeconds;
        clock.SetUtc(2026, 1, 2, 12);
    }

    // What Halvane answers to the console's `input` ("period 2", "C0601" ...).
    std::string Answer(const std::string& input, bool useGameTime = true) {
        const PanelRequest request = ReadRequest(input, kNoGameId);
        EXPECT_EQ(request.kind, PanelRequest::Kind::Send) << input;
        std::string command = request.bytes;
        EXPECT_EQ(command.back(), '\n');
        command.pop_back();
        Capture capture;
        EXPECT_TRUE(ParseCrestronCommand(command.c_str(), static_cast<int>(command.size()), capture, nullptr,
                                         game, useGameTime, false, false))
            << command;
        return capture.sent;
    }

    template <typename Body>
    Body Decode(const std::string& input) {
        const std::string raw = Answer(input);
        const DecodedAnswer decoded = DecodeAnswer(raw);
        EXPECT_TRUE(decoded.Ok()) << decoded.error << "\n" << raw;
        EXPECT_TRUE(!decoded.Ok() || std::holds_alternative<Body>(*decoded.body)) << raw;
        return decoded.Ok() && std::holds_alternative<Body>(*decoded.body) ? std::get<Body>(*decoded.body) : Body{};
    }

    // `count` periods with scores and kinds that differ from each other.
    void SetPeriods(int count) {
        std::vector<PeriodRecord> periods(static_cast<std::size_t>(count));
        for (int k = 0; k < count; ++k)
            periods[static_cast<std::size_t>(k)] = {k < 3 ? 0 : 1, k % 7, k % 5,
                                                    Local(2025, 12, 31, 22, 0, 0) + static_cast<FileTime>(k) * 600 * kFileTimeUnitsPerSecond, 0};
        game.SetPeriods(periods.data(), count);
    }

    static void ExpectStart(const GameStamp& start) {
        EXPECT_EQ(start.text, "202512312130");
        EXPECT_EQ(start.year, 2025);
        EXPECT_EQ(start.month, 12);
        EXPECT_EQ(start.day, 31);
        EXPECT_EQ(start.hour, 21);
        EXPECT_EQ(start.minute, 30);
    }

    test::FakeClock clock;
    CGameInfo game{clock};
};

TEST_F(PanelDecoder, GameListCarriesTheGameStartPeriodsAndScore) {
    test::FillGame(game);
    const auto list = Decode<GameListAnswer>("list");
    EXPECT_EQ(list.games, 1);
    ExpectStart(list.start);
    EXPECT_EQ(list.periods, 3);
    const GameState state = game.GetSnapshot();
    EXPECT_EQ(list.score1, state.Score1);
    EXPECT_EQ(list.score2, state.Score2);
}

TEST_F(PanelDecoder, GameInfoOfAnEmptyModelHasOneRowOfCounts) {
    game.Clear();
    const auto info = Decode<GameInfoAnswer>("game");
    EXPECT_EQ(info.periods, 0);
    EXPECT_TRUE(info.entries.empty());
    EXPECT_EQ(info.groups, 4);
    ASSERT_EQ(info.counts.size(), 1u);
    EXPECT_EQ(info.counts[0], (std::vector<int>{0, 0, 0, 0}));
}

// Every period count from none to the most the model holds: one line up to 24 entries,
// numbered lines from 25 on. The entries are the periods then the game record; the counts
// are the totals, the periods' rows and the row of labels before the first period.
TEST_F(PanelDecoder, GameInfoOfEveryPeriodCountDecodesToTheModel) {
    for (int periods : {1, 3, 23, 24, 25, 30, 43, 44, 60, 98}) {
        SCOPED_TRACE(periods);
        game.Clear();
        game.SetGameStart({2025, 12, 31, 21, 30, 0, 0});
        SetPeriods(periods);
        {
            std::lock_guard lock(game.GameInfoLock);
            for (int p = 0; p <= periods; ++p)  // one goal per period, one fight before the first
                game.AddLabel(p == 0 ? 0 : 4, p + 1, p, Local(2025, 12, 31, 22, 0, p), 0, 0, 0, 0);
        }
        const GameState state = game.GetSnapshot();
        const int n = state.PeriodCount;
        const std::string raw = Answer("game");
        const auto info = Decode<GameInfoAnswer>("game");
        ExpectStart(info.start);
        EXPECT_EQ(info.periods, n);
        EXPECT_EQ(info.lines > 1, n >= 25) << raw;
        ASSERT_EQ(info.entries.size(), static_cast<std::size_t>(n));
        for (int k = 0; k < n; ++k) {
            const PeriodRecord& record = state.Periods[k + 1 < n ? k + 1 : 0];
            EXPECT_EQ(info.entries[static_cast<std::size_t>(k)].score1, record.Score1);
            EXPECT_EQ(info.entries[static_cast<std::size_t>(k)].score2, record.Score2);
            EXPECT_EQ(info.entries[static_cast<std::size_t>(k)].kind, record.PeriodKind);
        }
        // Each label counts in the totals and in its period's row, those before the first
        // period in row N; the group is its code's tens digit less one.
        std::vector<std::vector<int>> expected(static_cast<std::size_t>(n + 1), std::vector<int>(4));
        std::vector<Label> labels;
        game.CopyLabels(labels, -1);
        for (const Label& label : labels) {
            const auto group = static_cast<std::size_t>(CrestronCodeOfType(label.Type) / 10 - 1);
            ++expected[0][group];
            ++expected[static_cast<std::size_t>(label.Period <= 0 ? n : label.Period)][group];
        }
        EXPECT_EQ(info.counts, expected);
        EXPECT_EQ(info.counts[0][1], n - 1);  // the goals, one per period
    }
}

// One line up to 17 labels, then lines of 18 after the first's 17, the last numbered 99;
// from 100 labels on the count takes three digits.
TEST_F(PanelDecoder, PeriodInfoOfEveryLabelCountDecodesToTheLabelsInTimeOrder) {
    struct Case {
        int labels;  // in the period, its start and the filled game's two included
        int lines;
    };
    for (const Case c : {Case{3, 1}, Case{17, 1}, Case{18, 2}, Case{35, 2}, Case{36, 3}, Case{40, 3},
                         Case{89, 5}, Case{99, 6}, Case{100, 6}, Case{120, 7}, Case{2000, 112}}) {
        SCOPED_TRACE(c.labels);
        test::FillGame(game);
        // Added latest first: the answer sorts them by time. Past line 98 the lines go on
        // numbered 98 up to the final 99.
        for (int i = c.labels - 4; i >= 0; --i) {
            std::lock_guard lock(game.GameInfoLock);
            game.AddLabel(i % 13, 100 + i / 13, 2, Local(2025, 12, 31, 23, 0, 0) + static_cast<FileTime>(i) * kFileTimeUnitsPerSecond,
                          i % 10, i / 10 % 100, i / 60 % 100, i % 60);
        }
        const auto period = Decode<PeriodInfoAnswer>("period 2");
        ExpectStart(period.start);
        EXPECT_EQ(period.period, 2);
        EXPECT_EQ(period.kind, 0);
        EXPECT_EQ(period.lines, c.lines) << Answer("period 2");
        std::vector<Label> labels;
        game.CopyLabels(labels, 2);
        std::stable_sort(labels.begin(), labels.end(), [](const Label& a, const Label& b) { return a.Time < b.Time; });
        ASSERT_EQ(period.count, c.labels);
        ASSERT_EQ(period.labels.size(), labels.size());
        for (std::size_t i = 0; i < labels.size(); ++i) {
            EXPECT_EQ(period.labels[i].code, CrestronCodeOfType(labels[i].Type));
            EXPECT_EQ(period.labels[i].number, labels[i].Number);
            EXPECT_EQ(period.labels[i].score1, labels[i].Score1);
            EXPECT_EQ(period.labels[i].score2, labels[i].Score2);
            EXPECT_EQ(period.labels[i].minutes, labels[i].ClockMinute);
            EXPECT_EQ(period.labels[i].seconds, labels[i].ClockSecond);
        }
    }
}

TEST_F(PanelDecoder, PeriodInfoBeyondTheGameIsTheGameRecordUnderTheAskedNumber) {
    test::FillGame(game);
    const auto period = Decode<PeriodInfoAnswer>("period 7");
    EXPECT_EQ(period.period, 7);
    EXPECT_EQ(period.kind, 3);
    // Before the first period: the fight, the game start and the warm-up, by time.
    ASSERT_EQ(period.labels.size(), 3u);
    EXPECT_EQ(period.labels[0].code, 11);
    EXPECT_EQ(period.labels[1].code, 41);
    EXPECT_EQ(period.labels[2].code, 33);
}

TEST_F(PanelDecoder, LabelInfoCarriesTheLabelsSecondsInItsOwnYear) {
    test::FillGame(game);
    const auto label = Decode<LabelInfoAnswer>("label 21 3");
    ExpectStart(label.start);
    EXPECT_EQ(label.code, 21);
    EXPECT_EQ(label.number, 3);
    EXPECT_EQ(label.seconds, 30);  // 2026-01-01 00:00:30
    EXPECT_NE(DescribeAnswer(label).find("21 goal, number 003"), std::string::npos) << DescribeAnswer(label);
}

TEST_F(PanelDecoder, PlayStartAndPlaybackPosition) {
    test::FillGame(game);
    const auto none = Decode<PlayTimeAnswer>("pos");
    EXPECT_FALSE(none.known);
    ExpectStart(Decode<PlayStartAnswer>("play 31535999 2 -4").start);
    const auto position = Decode<PlayTimeAnswer>("pos");
    EXPECT_TRUE(position.known);
    EXPECT_EQ(position.seconds, 31535999);
    EXPECT_NE(DescribeAnswer(position, 2025).find("12-31 23:59:59"), std::string::npos);
}

// Ways an answer can be broken, each with the words that say so.
TEST(PanelDecoderFaults, BrokenAnswersAreNamed) {
    const std::string header01 = "M030101202512312130020010018";
    const std::string entries17 = [] {
        std::string e;
        for (int i = 0; i < 17; ++i) e += "4300100000000";
        return e;
    }();
    struct Case {
        std::string raw;
        std::string says;
    };
    const Case cases[] = {
        {"", "no bytes"},
        {"M0601", "does not end in LF"},
        {"M060100000100 ok\nM0601", "does not end in LF"},
        {"X0601\n", "not an answer"},
        {"M0701\n", "not an answer"},
        {"M0101000120251231213003020\n", "the line ends before its score"},
        {"M010100012025123121300302010\n", "expected, 28"},
        {"M01010001202512312130AA0201\n", "period count at position 21"},
        {"M0101000120251231213003020\nM0101000120251231213003020\n", "one line expected, 2"},
        {"M0201002025123121300000000400000000000\n", "ends inside a label count"},
        {"M020100202512312130000000" "04" "000000000000000\n", "1 rows of 4 label counts (12 digits) expected, 15"},
        {"M020100202512312130010000" "00000" "00" "000000\n", "group count is 00"},
        {"M020100202512312130000000\n", "before its group count"},
        {"M030100202512312130020010001\n", "counts 1 labels, the lines hold 0"},
        {"M030100202512312130020010001430010000000\n", "not whole 13-character label entries"},
        {"M030100202512312130020010001" "430010000000A\n", "label seconds"},
        {header01 + entries17 + "\n", "final line (part 99) is missing"},
        {header01 + entries17 + "\nM030103202512312130020010018" + "4300100000000\n", "part 03 after part 01"},
        {header01 + entries17 + "\nM030199202512312130020010019" + "4300100000000\n", "header of line 2 differs"},
        {"M030100202512312130020010000\nM030199202512312130020010000\n", "part 00) followed by 1 more"},
        {header01 + entries17 + "\nM030199202512312130020010018" + "4300100000000\nM030199202512312130020010018\n",
         "line 3 is part 99 after part 99"},
        {"M030101202512312130020010035" + entries17 + "\nM030102202512312130020010035" + entries17 + "\n",
         "the header counts 35 labels, the lines hold 34: the last line is part 02 and the answer's final line"},
        {"M030199202512312130020010000\n", "first line is part 99"},
        {header01 + entries17 + "\nM040199202512312130020010018\n", "line 2 starts with \"M0401\""},
        {"M0401202512312130" "21" "003" "000000A3\n", "time at position 22 is not 8 digits"},
        {"M0501202512312130 ko\n", "\" ok\" expected"},
        {"M0501202512312130 ok\r\n", "\" ok\\r\" received"},
        {"M060100000000 err\n", "expected after \"M0601\""},
        {"M06011234567 ok\n", "expected after \"M0601\""},
    };
    for (const Case& c : cases) {
        const DecodedAnswer decoded = DecodeAnswer(c.raw);
        EXPECT_FALSE(decoded.Ok()) << EscapeBytes(c.raw);
        EXPECT_NE(decoded.error.find(c.says), std::string::npos)
            << EscapeBytes(c.raw) << "\n  said: " << decoded.error << "\n  expected: " << c.says;
    }
}

// ---- answers laid out to the letter of the protocol's line rules ----------------------------
// Halvane numbers its lines on to one final line "99". Taken to the letter, the rules give
// game information from 27 entries on several lines "99" (the part number is "99" once the
// remaining estimate is down to a line's worth, for every line after), and period
// information with 17 + 18k labels no line "99" at all. These builders follow those rules
// step by step; the part numbers they give were worked out by hand.

std::string Format(const char* format, auto... values) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, values...);
    return buffer;
}

const std::string kStamp = "202512312130";

int CountOf(std::size_t i) { return static_cast<int>(i * 7 % 1000); }

std::string LiteralGameInfo(int n) {
    auto header = [&](const std::string& part) { return "M0201" + part + kStamp + Format("%02d0302", n); };
    std::string answer = header("01");
    int remaining = 9 * n + 6, budget = 228, part = 1;
    for (int k = 0; k < n; ++k) {
        answer += Format("%02d%02d%d", k % 7, k % 5, k + 1 < n ? 0 : 3);
        remaining -= 5, budget -= 5;
    }
    answer += "04";
    remaining -= 2, budget -= 2;
    for (std::size_t i = 0; i < static_cast<std::size_t>(4 * (n + 1)); ++i) {
        if (budget < 3) {
            answer += '\n';
            answer += header(remaining > 228 ? Format("%02d", ++part) : std::string("99"));
            budget = 228;
        }
        answer += Format("%03d", CountOf(i));
        remaining -= 3, budget -= 3;
    }
    return answer + "\n";
}

LabelEntry LabelOf(int i) { return {21, i + 1, i % 10, i / 10 % 100, i / 60 % 100, i % 60}; }

std::string LiteralPeriodInfo(int count) {
    auto header = [&](const std::string& part) { return "M0301" + part + kStamp + "02" "0" "01" "02" + Format("%02d", count); };
    std::string answer = header("01");
    int lineLeft = 17, left = count, part = 1;
    for (int i = 0; i < count; ++i) {
        if (--lineLeft < 0) {
            answer += '\n';
            if (left > 17) {
                lineLeft = 17;
                answer += header(Format("%02d", ++part));
            } else {
                lineLeft = left;
                answer += header("99");
            }
        }
        const LabelEntry l = LabelOf(i);
        answer += Format("%02d%03d%02d%02d%02d%02d", l.code, l.number, l.score1, l.score2, l.minutes, l.seconds);
        --left;
    }
    return answer + "\n";
}

std::vector<std::string> PartsOf(const std::string& answer) {
    std::vector<std::string> parts;
    for (std::size_t at = 0; at < answer.size(); at = answer.find('\n', at) + 1) parts.push_back(answer.substr(at + 5, 2));
    return parts;
}

// Each answer whole, however the bytes arrive, and the next answer apart from it.
std::vector<std::string> Gather(const std::string& stream, std::size_t cut, std::string& pending) {
    AnswerAssembler assembler;
    std::vector<std::string> answers;
    for (std::size_t at = 0; at < stream.size(); at += cut)
        for (std::string& a : assembler.Feed(std::string_view(stream).substr(at, cut))) answers.push_back(a);
    pending = assembler.TakePending();
    return answers;
}

TEST(PanelLiteralLayouts, GameInfoWithSeveralFinalLinesIsOneAnswer) {
    struct Case {
        int entries;
        std::vector<std::string> parts;
    };
    const std::string pos = "M060100000100 ok\n";
    for (const Case& c : {Case{25, {"01", "99"}}, Case{27, {"01", "99", "99"}}, Case{40, {"01", "99", "99", "99"}},
                          Case{57, {"01", "02", "99", "99", "99"}}}) {
        SCOPED_TRACE(c.entries);
        const std::string raw = LiteralGameInfo(c.entries);
        ASSERT_EQ(PartsOf(raw), c.parts) << raw;
        for (std::size_t cut : {raw.size() + pos.size(), std::size_t{1}, std::size_t{100}}) {
            std::string pending;
            EXPECT_EQ(Gather(raw + pos, cut, pending), (std::vector<std::string>{raw, pos}));
            EXPECT_EQ(pending, "");
        }
        const DecodedAnswer decoded = DecodeAnswer(raw);
        ASSERT_TRUE(decoded.Ok()) << decoded.error << "\n" << raw;
        const auto& info = std::get<GameInfoAnswer>(*decoded.body);
        EXPECT_EQ(info.periods, c.entries);
        EXPECT_EQ(info.lines, static_cast<int>(c.parts.size()));
        ASSERT_EQ(info.counts.size(), static_cast<std::size_t>(c.entries + 1));
        for (std::size_t row = 0; row < info.counts.size(); ++row)
            for (std::size_t group = 0; group < 4; ++group) EXPECT_EQ(info.counts[row][group], CountOf(row * 4 + group));
    }
    // Counts still short when another answer comes: the game information is given out as
    // it is, and said to be short.
    const std::string raw = LiteralGameInfo(27);
    const std::string cut = raw.substr(0, raw.rfind("M0201"));
    std::string pending;
    const auto answers = Gather(cut + pos, 1, pending);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0], cut);
    EXPECT_NE(DecodeAnswer(answers[0]).error.find("(336 digits) expected, 318 digits received"), std::string::npos) << DecodeAnswer(answers[0]).error;
    // And without one, it waits as an unfinished answer.
    EXPECT_TRUE(Gather(cut, cut.size(), pending).empty());
    EXPECT_EQ(pending, cut);
}

TEST(PanelLiteralLayouts, PeriodInfoEndingOnAFullNumberedLineIsGivenOutAtOnce) {
    struct Case {
        int labels;
        std::vector<std::string> parts;
    };
    const std::string pos = "M060100000100 ok\n";
    for (const Case& c : {Case{18, {"01", "99"}}, Case{35, {"01", "02"}}, Case{36, {"01", "02", "99"}},
                          Case{53, {"01", "02", "03"}}, Case{71, {"01", "02", "03", "04"}}}) {
        SCOPED_TRACE(c.labels);
        const std::string raw = LiteralPeriodInfo(c.labels);
        ASSERT_EQ(PartsOf(raw), c.parts) << raw;
        for (std::size_t cut : {raw.size() + pos.size(), std::size_t{1}, std::size_t{100}}) {
            std::string pending;
            EXPECT_EQ(Gather(raw + pos, cut, pending), (std::vector<std::string>{raw, pos}));
            EXPECT_EQ(pending, "");
            // Complete without waiting for anything after it.
            EXPECT_EQ(Gather(raw, cut, pending), (std::vector<std::string>{raw}));
        }
        const DecodedAnswer decoded = DecodeAnswer(raw);
        ASSERT_TRUE(decoded.Ok()) << decoded.error << "\n" << raw;
        const auto& period = std::get<PeriodInfoAnswer>(*decoded.body);
        EXPECT_EQ(period.count, c.labels);
        ASSERT_EQ(period.labels.size(), static_cast<std::size_t>(c.labels));
        for (int i = 0; i < c.labels; ++i) {
            const LabelEntry expected = LabelOf(i);
            const LabelEntry& got = period.labels[static_cast<std::size_t>(i)];
            EXPECT_EQ(std::tie(got.code, got.number, got.score1, got.score2, got.minutes, got.seconds),
                      std::tie(expected.code, expected.number, expected.score1, expected.score2, expected.minutes,
                               expected.seconds));
        }
    }
}

TEST(PanelDecoderText, BytesTimesAndNames) {
    EXPECT_EQ(EscapeBytes(std::string("C0601\r\n\t\\\x01\xff", 11)), "C0601\\r\\n\\t\\\\\\x01\\xFF");
    EXPECT_EQ(YearOffsetText(2024, 59 * 86400), "02-29 00:00:00");  // a leap year
    EXPECT_EQ(YearOffsetText(2025, 59 * 86400 + 3723), "03-01 01:02:03");
    EXPECT_EQ(YearOffsetText(2025, 365 * 86400 + 5), "+1y 01-01 00:00:05");
    EXPECT_EQ(YearOffsetText(0, 86400 + 61), "day 2 of the year, 00:01:01");
    EXPECT_EQ(EventNameOfCode(22), "penalty shot");
    EXPECT_EQ(EventNameOfCode(15), "");
    EXPECT_EQ(KindName(1), "overtime");
    EXPECT_EQ(KindName(2), "kind 2");
    EXPECT_EQ(AnswerDigit("M0301..."), 3);
    EXPECT_EQ(CommandDigit("C0601"), 6);
    EXPECT_EQ(CommandDigit("C1601"), 0);
}

// The same stream, however it is cut into reads, gives the same answers.
TEST(PanelAssembler, GathersAnswersHoweverTheBytesArrive) {
    const std::string p01 = "M030101202512312130020010018" + std::string(17 * 13, '0') + "\n";
    const std::string p99 = "M030199202512312130020010018" + std::string(13, '0') + "\n";
    const std::string pos = "M060100000100 ok\n";
    struct Case {
        std::string stream;
        std::vector<std::string> answers;
        std::string pending;
    };
    const Case cases[] = {
        {pos, {pos}, ""},
        {pos + pos, {pos, pos}, ""},
        {p01 + p99 + pos, {p01 + p99, pos}, ""},
        // A line that does not continue the answer under way closes it.
        {p01 + pos, {p01, pos}, ""},
        {p01 + p01, {p01}, p01},
        {p01, {}, p01},
        {pos + "M0601", {pos}, "M0601"},
        {"M020100x\n" + pos, {"M020100x\n", pos}, ""},
        {"\n", {"\n"}, ""},
    };
    for (const Case& c : cases) {
        for (std::size_t cut : {c.stream.size(), std::size_t{1}, std::size_t{7}}) {
            SCOPED_TRACE(EscapeBytes(c.stream) + " in reads of " + std::to_string(cut));
            AnswerAssembler assembler;
            std::vector<std::string> answers;
            for (std::size_t at = 0; at < c.stream.size(); at += cut)
                for (std::string& a : assembler.Feed(std::string_view(c.stream).substr(at, cut))) answers.push_back(a);
            EXPECT_EQ(answers, c.answers);
            EXPECT_EQ(assembler.Pending(), c.pending);
            EXPECT_EQ(assembler.TakePending(), c.pending);
            EXPECT_EQ(assembler.Pending(), "");
        }
    }
}

TEST(PanelAssembler, AnOverlongLineIsGivenOutWithoutItsLf) {
    AnswerAssembler assembler;
    const std::string line(AnswerAssembler::kMaxLineBytes, 'x');
    const auto answers = assembler.Feed(line);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0], line);
    EXPECT_FALSE(DecodeAnswer(answers[0]).Ok());
    EXPECT_EQ(assembler.Pending(), "");
}

// Error texts reach a terminal: no control bytes from the input in them.
bool Printable(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

TEST(PanelCommands, ShortNamesAndTextBecomeCommands) {
    struct Case {
        std::string input;
        std::string bytes;
    };
    const Case cases[] = {
        {"list", "C01010000\n"},
        {"games", "C01010000\n"},
        {"game", "C0201202512312130\n"},
        {"  info ", "C0201202512312130\n"},
        {"period 1", "C0301202512312130" "01\n"},
        {"period 99", "C0301202512312130" "99\n"},
        {"label 21 7", "C0401202512312130" "21007\n"},
        {"play 1234567 2 -4", "C0501202512312130" "01234567" "02" "-04\n"},
        {"play 0 1 +16", "C0501202512312130" "00000000" "01" "+16\n"},
        {"pos", "C0601\n"},
        {"time", "C0601\n"},
        {"C0101ABCD", "C0101ABCD\n"},
        {"C07010000", "C07010000\n"},
        {"raw C0601\\r", "C0601\r\n"},
        {"raw C0601\\nC0601", "C0601\nC0601\n"},
        {"raw  two spaces\\x41\\\\", " two spaces" "A\\\n"},
        {"raw", "\n"},
    };
    for (const Case& c : cases) {
        const PanelRequest request = ReadRequest(c.input, "202512312130");
        EXPECT_EQ(request.kind, PanelRequest::Kind::Send) << c.input << ": " << request.error;
        EXPECT_EQ(request.bytes, c.bytes) << c.input;
    }
}

TEST(PanelCommands, OtherRequestsAndBadValues) {
    EXPECT_EQ(ReadRequest("", kNoGameId).kind, PanelRequest::Kind::Nothing);
    EXPECT_EQ(ReadRequest("   # a note", kNoGameId).kind, PanelRequest::Kind::Nothing);
    EXPECT_EQ(ReadRequest("help", kNoGameId).kind, PanelRequest::Kind::Help);
    EXPECT_EQ(ReadRequest("quit", kNoGameId).kind, PanelRequest::Kind::Quit);
    const PanelRequest id = ReadRequest("id 202612102015", kNoGameId);
    EXPECT_EQ(id.kind, PanelRequest::Kind::SetGameId);
    EXPECT_EQ(id.gameId, "202612102015");
    struct Case {
        std::string input;
        std::string says;
    };
    const Case cases[] = {
        {"period", "usage: period PERIOD"},
        {"period 100", "PERIOD must be a whole number from 0 to 99"},
        {"period x", "PERIOD must be"},
        {"label 21", "usage: label CODE NUMBER"},
        {"label 21 1000", "NUMBER must be"},
        {"play 1 2", "usage: play SECONDS CAMERA SPEED"},
        {"play 100000000 1 1", "SECONDS must be"},
        {"play 1 1 -100", "SPEED must be a whole number from -99 to 99"},
        {"list 1", "usage: list"},
        {"id 2026", "twelve digits"},
        {"raw C0601\\", "lone \\"},
        {"raw \\q", "unknown escape \\q"},
        {"raw \\x4", "two hexadecimal digits"},
        {"raw \\\x1b[2J", "unknown escape \\\\x1B"},
    };
    for (const Case& c : cases) {
        const PanelRequest request = ReadRequest(c.input, kNoGameId);
        EXPECT_EQ(request.kind, PanelRequest::Kind::Invalid) << c.input;
        EXPECT_NE(request.error.find(c.says), std::string::npos) << c.input << ": " << request.error;
        EXPECT_TRUE(Printable(request.error)) << EscapeBytes(request.error);
    }
}

// Why Halvane would send nothing back, in the order it checks.
TEST(PanelCommands, FaultsOfCommandsHalvaneRefuses) {
    struct Case {
        std::string command;
        std::string says;
    };
    const Case cases[] = {
        {"C0601", ""},
        {"C0101ABCD", ""},
        {"C0301202512312130" "05", ""},
        {"", "0 characters long, less than 5"},
        {"X0601", "does not start with C"},
        {"C1101", "does not start with C0d01"},
        {"C07010000", "C0701 is not a command"},
        {"C0601\r", "C0601 must be 5 characters long, it is 6"},
        {"C0\x1b" "010000", "C0\\x1B01 is not a command"},
        {"C0201", "C0201 must be 17 characters long, it is 5"},
    };
    for (const Case& c : cases) {
        const std::string fault = CommandFault(c.command);
        if (c.says.empty()) EXPECT_EQ(fault, "") << c.command;
        else EXPECT_NE(fault.find(c.says), std::string::npos) << EscapeBytes(c.command) << ": " << fault;
        EXPECT_TRUE(Printable(fault)) << EscapeBytes(fault);
    }
}

}  // namespace
}  // namespace hv::panel
