// The Crestron port end to end: a controller on a loopback connection, the port, its
// working thread, the answers and the log.
#include <gtest/gtest.h>

#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <cerrno>
#include <thread>
#include <string>
#include <vector>

#include <QDir>

#include "CrestronTestSupport.h"
#include "LogCapture.h"
#include "platform/WindowMessages.h"

namespace hv::test {
namespace {

const std::string kGameStart = "202512312130";  // the filled game's start, local
const std::string kReturnError = ") return ERROR on command execution !!!\n";

std::string ErrorLine(const std::string& command) {
    return ">>> !!! Halvane::ParseCrestronCommand(" + command + kReturnError;
}
std::string Echo(const std::string& command) {
    return ">>> Halvane::ParseCrestronCommand:'" + command + "'\n";
}
std::vector<std::string> Sent(const std::string& answer) {
    return {">>> +++ Halvane::SendAnswer(size=" + std::to_string(answer.size()) + ") SUCCESS +++\n",
            "                     Answer='" + answer + "'\n"};
}
std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

class CrestronPort : public ::testing::Test {
protected:
    void SetUp() override {
        frame.SetPort(&port);
        clock.offsetSeconds = kOffsetSeconds;
        clock.SetUtc(2026, 1, 2, 12);
        ASSERT_TRUE(port.InitPort(0, &frame, &game));
        EXPECT_EQ(port.Step(), 99);
        EXPECT_EQ(port.LastError(), 0);
        portNumber = port.ListeningPort();
        ASSERT_NE(portNumber, 0);
    }
    void TearDown() override { port.ClosePort(); }

    // Connects and waits until the port serves the connection.
    void Connect(TestController& controller) {
        log.Clear();
        ASSERT_TRUE(controller.Connect(portNumber));
        ASSERT_TRUE(log.WaitFor("Halvane::WorkingThread START\n"));
    }
    std::vector<std::string> Ask(const std::string& command, size_t answerLines = 1) {
        EXPECT_TRUE(controller.Send(command + "\n"));
        std::vector<std::string> lines;
        for (size_t i = 0; i < answerLines; ++i) lines.push_back(controller.ReadLine());
        return lines;
    }
    // Proves that nothing else is on its way: the next answer is the one to C0601.
    void ExpectNothingPending() {
        const bool crestronLog = port.CrestronLog, playPosLog = port.PlayPosLog;
        port.CrestronLog = false;
        port.PlayPosLog = false;
        EXPECT_TRUE(controller.Send("C0601\n"));
        EXPECT_EQ(controller.ReadLine().substr(0, 5), "M0601");
        port.CrestronLog = crestronLog;
        port.PlayPosLog = playPosLog;
    }

    LogCapture log;
    FakeClock clock;
    CGameInfo game{clock};
    TestFrame frame;
    CPort4Crestron port;
    std::uint16_t portNumber = 0;
    TestController controller;
};

// ---- the command table -------------------------------------------------------------------

struct CommandCase {
    std::string name;
    std::string command;  // sent with an LF after it
    bool crestronLog = false;
    bool playPosLog = false;
    bool useGameTime = true;
    std::vector<std::string> answer;  // lines, each with its LF
    std::vector<std::string> log;     // exactly the lines written while it is handled
};

std::vector<CommandCase> CommandCases() {
    const std::string gs = kGameStart;
    const std::string gameList = "M01010001" + gs + "030201\n";
    const std::string gameInfo = "M020100" + gs + "040201" "01000" "01010" "02010" "00003" "04"
                                 "002003001004" "000001000001" "001001000001" "000001000001"
                                 "001000001001\n";
    const std::string period2 = "M030100" + gs + "020010103"
                                "4300201012000" "1200101000458" "2100201011940\n";
    const std::string period2Elapsed = "M030100" + gs + "020010103"
                                       "4300201010000" "1200101000502" "2100201012040\n";
    const std::string gameRecord = "3000003" "1100100000000" "4100100000000" "3300100000000\n";
    const std::string label = "M0401" + gs + "21003" "00000030\n";
    const std::string play = "M0501" + gs + " ok\n";
    const std::string playCommand = "C0501" + gs + "3152911702-04";
    const std::string none = "M060100000000err\n";
    const std::string position = "M060131529117 ok\n";
    const std::string c02 = "C0201" + gs, c03 = "C0301" + gs, c04 = "C0401" + gs;

    return {
        // Answers, in the order a controller would ask.
        {"position before any play request", "C0601", false, false, true, {none}, {}},
        {"position logged", "C0601", false, true, true, {none},
         Join({{Echo("C0601"), " >>> >>> >>> Halvane::PlaybackPos: time=2024-12-31_23:59:59\n"},
               Sent(none)})},
        {"game list, parameters not looked at", "C0101ABCD", false, false, true, {gameList}, {}},
        {"game list logged, never echoed", "C0101ABCD", true, false, true, {gameList}, Sent(gameList)},
        {"game info", c02, true, false, true, {gameInfo}, Join({{Echo(c02)}, Sent(gameInfo)})},
        {"game info, any game id", "C0201zzzzzzzzzzzz", false, false, true, {gameInfo}, {}},
        {"period with game clock", c03 + "02", false, false, true, {period2}, {}},
        {"period with elapsed time", c03 + "02", false, false, false, {period2Elapsed}, {}},
        {"period logged", c03 + "02", true, false, true, {period2},
         Join({{Echo(c03 + "02")}, Sent(period2)})},
        {"period N answers the game record", c03 + "04", false, false, true,
         {"M030100" + gs + "04" + gameRecord}, {}},
        {"period beyond N answers the game record", c03 + "99", false, false, false,
         {"M030100" + gs + "99" + gameRecord}, {}},
        {"period field 7x reads 7", c03 + "7x", false, false, true,
         {"M030100" + gs + "07" + gameRecord}, {}},
        {"period 0", c03 + "00", false, false, true, {},
         {">>> !!! Halvane::ParseCrestronCommand(C0301): ERROR - wrong period number 0 !!!\n",
          ErrorLine(c03 + "00")}},
        {"period field x7 reads 0", c03 + "x7", false, false, true, {},
         {">>> !!! Halvane::ParseCrestronCommand(C0301): ERROR - wrong period number 0 !!!\n",
          ErrorLine(c03 + "x7")}},
        {"label after New Year counts from the new year", c04 + "21003", true, false, true, {label},
         Join({{Echo(c04 + "21003")}, Sent(label)})},
        {"label of the old year", c04 + "21001", false, false, true,
         {"M0401" + gs + "21001" "31529117\n"}, {}},
        {"label before the first period", c04 + "11001", false, false, true,
         {"M0401" + gs + "11001" "31526400\n"}, {}},
        {"label code unknown", c04 + "15001", false, false, true, {},
         {">>> !!! Halvane::ParseCrestronCommand(C0401): ERROR - unknown label type 15 !!!\n",
          ErrorLine(c04 + "15001")}},
        {"label missing", c04 + "41099", false, false, true, {},
         {">>> !!! Halvane::ParseCrestronCommand(C0401): ERROR - there is no label with type 41 & "
          "number 99 !!!\n",
          ErrorLine(c04 + "41099")}},
        {"play request", playCommand, true, false, true, {play},
         Join({{Echo(playCommand),
                " >>> >>> >>> Halvane::StartPlayback: time=2025-12-31_22:05:17, cam=2, speed=-4\n"},
               Sent(play)})},
        {"position after the play request", "C0601", false, false, true, {position}, {}},
        {"position after the play request logged", "C0601", false, true, true, {position},
         Join({{Echo("C0601"), " >>> >>> >>> Halvane::PlaybackPos: time=2025-12-31_22:05:17\n"},
               Sent(position)})},
        {"flags of the other group change nothing", "C0601", true, false, true, {position}, {}},

        // Malformed commands: logged, never answered.
        {"empty line", "", false, false, true, {},
         {">>> !!! Halvane::ParseCrestronCommand: WRONG LENGTH = 0 (<5) !!!\n", ErrorLine("")}},
        {"short", "C06", false, false, true, {},
         {">>> !!! Halvane::ParseCrestronCommand: WRONG LENGTH = 3 (<5) !!!\n", ErrorLine("C06")}},
        {"wrong start", "X0601", false, false, true, {},
         {">>> !!! Halvane::ParseCrestronCommand: WRONG COMMAND START X (must be C) !!!\n",
          ErrorLine("X0601")}},
        {"wrong subcommand at 1", "C1101", false, false, true, {},
         {">>> !!! Halvane::ParseCrestronCommand: WRONG SUBCOMMAND ID = C1x01 (must be C0x01) !!!\n",
          ErrorLine("C1101")}},
        {"wrong subcommand at 4", "C0602", false, false, true, {},
         {">>> !!! Halvane::ParseCrestronCommand: WRONG SUBCOMMAND ID = C0x02 (must be C0x01) !!!\n",
          ErrorLine("C0602")}},
        {"wrong subcommand at 3", "C0611", false, false, true, {},
         {">>> !!! Halvane::ParseCrestronCommand: WRONG SUBCOMMAND ID = C0x11 (must be C0x01) !!!\n",
          ErrorLine("C0611")}},
        {"unknown command", "C07010000", false, false, true, {},
         {">>> !!! Halvane::ParseCrestronCommand() : UNKNOWN COMMAND C0701 !!!\n",
          ErrorLine("C07010000")}},
        {"unknown command 0", "C0001", false, false, true, {},
         {">>> !!! Halvane::ParseCrestronCommand() : UNKNOWN COMMAND C0001 !!!\n", ErrorLine("C0001")}},
        {"C0601 with CR", "C0601\r", false, true, true, {},
         {">>> !!! Halvane::ParseCrestronCommand(eCrReqPlayTime) : wrong command size 6 (must be 5) "
          "!!!\n",
          ErrorLine("C0601\r")}},
        {"game list size", "C0101ABC", false, false, true, {},
         {">>> !!! Halvane::ParseCrestronCommand(eCrReqGameList) : wrong command size 8 (must be 9) "
          "!!!\n",
          ErrorLine("C0101ABC")}},
        {"game info size", c02 + "0", true, false, true, {},
         {">>> !!! Halvane::ParseCrestronCommand(eCrReqGameInfo) : wrong command size 18 (must be "
          "17) !!!\n",
          ErrorLine(c02 + "0")}},
        {"period info size", c03 + "1", false, false, true, {},
         {">>> !!! Halvane::ParseCrestronCommand(eCrReqPeriodInfo) : wrong command size 18 (must be "
          "19) !!!\n",
          ErrorLine(c03 + "1")}},
        {"label info size", c04 + "2100", false, false, true, {},
         {">>> !!! Halvane::ParseCrestronCommand(eCrReqLabelInfo) : wrong command size 21 (must be "
          "22) !!!\n",
          ErrorLine(c04 + "2100")}},
        {"play start size", playCommand + "0", true, false, true, {},
         {">>> !!! Halvane::ParseCrestronCommand(eCrReqPlayStart) : wrong command size 31 (must be "
          "30) !!!\n",
          ErrorLine(playCommand + "0")}},
    };
}

TEST_F(CrestronPort, AnswersAndRejectsCommands) {
    FillGame(game);
    Connect(controller);
    for (const CommandCase& c : CommandCases()) {
        SCOPED_TRACE(c.name);
        log.Clear();
        port.CrestronLog = c.crestronLog;
        port.PlayPosLog = c.playPosLog;
        port.UseGameTime = c.useGameTime;
        ASSERT_TRUE(controller.Send(c.command + "\n"));
        for (const std::string& expected : c.answer) EXPECT_EQ(controller.ReadLine(), expected);
        if (c.answer.empty()) {
            EXPECT_TRUE(log.WaitFor(c.log.back()));
        }
        ExpectNothingPending();
        EXPECT_EQ(log.Lines(), c.log);
    }
}

// ---- the posted requests --------------------------------------------------------------

TEST_F(CrestronPort, PlayRequestsReachTheFrameOnItsThread) {
    FillGame(game);
    Connect(controller);
    const struct {
        std::string params;  // start, camera, sign, speed
        int camera;
        int speed;
        int start;
    } cases[] = {
        {"3152911702-04", 2, -4, 31529117},
        {"0000000000+01", 0, 1, 0},  // camera 0 is acknowledged too
        {"0000123412x16", 12, 16, 1234},
        {"9999999999-99", 99, -99, 99999999},
        {"1234567x07 05", 7, 5, 1234567},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.params);
        frame.ClearPosts();
        EXPECT_EQ(Ask("C0501" + kGameStart + c.params)[0], "M0501" + kGameStart + " ok\n");
        ASSERT_TRUE(PumpUntil([&] { return frame.Posts().size() == 1; }));
        const TestFrame::Posted posted = frame.Posts()[0];
        EXPECT_EQ(posted.message, kMsgPlayRequest);
        EXPECT_EQ(posted.wParam & 0xFFFF, static_cast<std::uintptr_t>(c.camera));
        EXPECT_EQ(static_cast<std::int16_t>(posted.wParam >> 16), c.speed);
        EXPECT_EQ(posted.wParam >> 32, 0u);
        EXPECT_EQ(posted.lParam, c.start);
        EXPECT_EQ(posted.thread, QThread::currentThread());
        EXPECT_EQ(game.PlayPosition.load(), c.start);
    }
}

TEST_F(CrestronPort, LabelRequestTellsTheFrame) {
    FillGame(game);
    Connect(controller);
    EXPECT_EQ(Ask("C0401" + kGameStart + "41001")[0], "M0401" + kGameStart + "41001" "31527000\n");
    ASSERT_TRUE(PumpUntil([&] { return frame.Posts().size() == 1; }));
    EXPECT_EQ(frame.Posts()[0].message, kMsgLabelRequested);
    EXPECT_EQ(frame.Posts()[0].wParam, 0u);
    EXPECT_EQ(frame.Posts()[0].lParam, 0);
    EXPECT_EQ(frame.Posts()[0].thread, QThread::currentThread());
    // Unknown and missing labels post nothing.
    frame.ClearPosts();
    ASSERT_TRUE(controller.Send("C0401" + kGameStart + "15001\nC0401" + kGameStart + "41002\n"));
    ExpectNothingPending();
    QCoreApplication::processEvents();
    EXPECT_TRUE(frame.Posts().empty());
}

// ---- models of every shape -----------------------------------------------------------

TEST_F(CrestronPort, EmptyModel) {
    game.Clear();
    Connect(controller);
    // The unset start (1601-01-01 00:00 UTC) in local time.
    const std::string start = "160101010300";
    EXPECT_EQ(Ask("C0101ABCD")[0], "M01010001" + start + "000000\n");
    EXPECT_EQ(Ask("C0201" + kGameStart)[0], "M020100" + start + "000000" "04" "000000000000\n");
    EXPECT_EQ(Ask("C0301" + kGameStart + "01")[0], "M030100" + start + "01" "0000000\n");
    EXPECT_EQ(Ask("C0601")[0], "M060100000000err\n");
}

// Labels 1..count of type 6 ("31") in period 1, one second apart, after its start label.
std::string InterestingEntries(int from, int to) {
    std::string entries;
    char entry[32];
    for (int i = from; i < to; ++i) {
        std::snprintf(entry, sizeof entry, "31%03d%02d%02d%02d%02d", i + 1, i % 10, i / 10, i / 60,
                      i % 60);
        entries += entry;
    }
    return entries;
}

TEST_F(CrestronPort, PeriodLinesEndWithPart99) {
    // labels -> part and entries of each line; a full further line that holds the last
    // entries is the "99" one (35, 53 labels)
    const struct {
        int total;
        std::vector<std::pair<std::string, int>> lines;
    } cases[] = {
        {17, {{"00", 17}}},
        {18, {{"01", 17}, {"99", 1}}},
        {35, {{"01", 17}, {"99", 18}}},
        {36, {{"01", 17}, {"02", 18}, {"99", 1}}},
        {40, {{"01", 17}, {"02", 18}, {"99", 5}}},
        {53, {{"01", 17}, {"02", 18}, {"99", 18}}},
    };
    for (const auto& c : cases) {
        const int total = c.total;
        SCOPED_TRACE(total);
        game.Clear();
        game.SetGameStart({2025, 12, 31, 21, 30, 0, 0});
        PeriodRecord period{0, 3, 2, Local(2025, 12, 31, 22, 0, 0), 0};
        game.SetPeriods(&period, 1);
        AddLabels(game, 6, 1, total - 1, Local(2025, 12, 31, 22, 1, 0));
        Connect(controller);
        const std::string header = kGameStart + "01" "0" "0302" + std::to_string(total);
        const std::string first = "4300103022000";  // the period's start label
        const auto lines = Ask("C0301" + kGameStart + "01", c.lines.size());
        int used = 0;  // labels after the start label sent so far
        for (size_t i = 0; i < c.lines.size(); ++i) {
            const auto& [part, entries] = c.lines[i];
            const int interesting = i == 0 ? entries - 1 : entries;
            EXPECT_EQ(lines[i], "M0301" + part + header + (i == 0 ? first : "") +
                                    InterestingEntries(used, used + interesting) + "\n")
                << "line " << i;
            used += interesting;
        }
        EXPECT_EQ(used, total - 1);
        ExpectNothingPending();
        controller.Close();
    }
}

TEST_F(CrestronPort, GameWithManyPeriods) {
    // periods -> the line layout of the counts after the first line's list
    const struct {
        int periods;          // N - 1
        std::vector<std::pair<std::string, int>> lines;  // part, counts in the line
    } cases[] = {
        {23, {{"00", 100}}},                       // N = 24: one line
        {24, {{"01", 33}, {"99", 71}}},           // N = 25
        {29, {{"01", 25}, {"02", 76}, {"99", 23}}},  // N = 30
        {98, {{"01", 0}, {"02", 76}, {"03", 76}, {"04", 76}, {"05", 76}, {"06", 76}, {"99", 20}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.periods);
        const int n = c.periods + 1;
        game.Clear();
        game.SetGameStart({2025, 12, 31, 21, 30, 0, 0});
        std::vector<PeriodRecord> periods;
        for (int k = 1; k <= c.periods; ++k)
            periods.push_back({k < 4 ? 0 : 1, k % 7, k % 5, Local(2025, 12, 31, 22, 0, 0) +
                                                   static_cast<FileTime>(k) * 60 * kFileTimeUnitsPerSecond, 0});
        game.SetPeriods(periods.data(), c.periods);
        Connect(controller);

        char text[64];
        std::snprintf(text, sizeof text, "%s%02d%02d%02d", kGameStart.c_str(), n, c.periods % 7,
                      c.periods % 5);
        const std::string header = text;
        std::string list;
        for (int k = 1; k <= c.periods; ++k) {
            std::snprintf(text, sizeof text, "%02d%02d%d", k % 7, k % 5, k < 4 ? 0 : 1);
            list += text;
        }
        list += "00003" "04";
        // Totals: warm-up (group 2), game start and one start per period (group 3); every
        // period row holds its start label; the last row the game's two marks.
        std::snprintf(text, sizeof text, "000000001%03d", c.periods + 1);
        std::string counts = text;
        for (int k = 1; k <= c.periods; ++k) counts += "000000000001";
        counts += "000000001001";
        ASSERT_EQ(counts.size(), static_cast<size_t>(12 * (n + 1)));

        const auto lines = Ask("C0201" + kGameStart, c.lines.size());
        size_t used = 0;
        for (size_t i = 0; i < c.lines.size(); ++i) {
            const auto& [part, countsInLine] = c.lines[i];
            std::string expected = "M0201" + part + header + (i == 0 ? list : "");
            expected += counts.substr(used, static_cast<size_t>(countsInLine) * 3) + "\n";
            used += static_cast<size_t>(countsInLine) * 3;
            EXPECT_EQ(lines[i], expected) << "line " << i;
        }
        EXPECT_EQ(used, counts.size());
        std::snprintf(text, sizeof text, "M01010001%s%02d%02d%02d\n", kGameStart.c_str(),
                      c.periods, c.periods % 7, c.periods % 5);
        EXPECT_EQ(Ask("C0101ABCD")[0], text);
        ExpectNothingPending();
        controller.Close();
    }
}

TEST_F(CrestronPort, LabelsOfPeriodsBeyondTheGameCountInTheTotalsOnly) {
    FillGame(game);
    {
        std::lock_guard lock(game.GameInfoLock);
        game.AddLabel(6, 1, 50, Local(2025, 12, 31, 23, 0, 0), 0, 0, 0, 0);    // row 50, not sent
        game.AddLabel(7, 1, 150, Local(2025, 12, 31, 23, 1, 0), 0, 0, 0, 0);   // beyond the table
        game.AddLabel(7, 2, 100000, Local(2025, 12, 31, 23, 2, 0), 0, 0, 0, 0);
    }
    Connect(controller);
    EXPECT_EQ(Ask("C0201" + kGameStart)[0],
              "M020100" + kGameStart + "040201" "01000" "01010" "02010" "00003" "04"
              "002003004004" "000001000001" "001001000001" "000001000001" "001000001001\n");
    ExpectNothingPending();
}

// ---- framing over the connection -----------------------------------------------------

TEST_F(CrestronPort, CommandsSplitAcrossReadsAreCompleted) {
    Connect(controller);
    // Two answers in order; the third command waits for its LF.
    EXPECT_TRUE(controller.Send("C0601\nC0101ABCD\nC06"));
    EXPECT_EQ(controller.ReadLine(), "M060100000000err\n");
    EXPECT_EQ(controller.ReadLine().substr(0, 9), "M01010001");
    EXPECT_TRUE(controller.Send("0"));
    EXPECT_TRUE(controller.Send("1\n"));
    EXPECT_EQ(controller.ReadLine(), "M060100000000err\n");
    EXPECT_EQ(log.Text().find(">>> !!!"), std::string::npos) << log.Text();
}

TEST_F(CrestronPort, OverlongLineIsDroppedWhole) {
    Connect(controller);
    log.Clear();
    EXPECT_TRUE(controller.Send(std::string(5000, 'A')));
    EXPECT_TRUE(controller.Send(std::string(5000, 'B') + "\nC0601\n"));
    EXPECT_EQ(controller.ReadLine(), "M060100000000err\n");
    const std::vector<std::string> expected = {
        ">>> !!! Halvane::WorkingThread: COMMAND WITHOUT LF LONGER THAN 4095 BYTES DROPPED !!!\n"};
    EXPECT_EQ(log.Lines(), expected);
}

TEST_F(CrestronPort, LongestCommandIsLoggedCutToTheLogLimit) {
    Connect(controller);
    log.Clear();
    const std::string command(4095, 'A');
    EXPECT_TRUE(controller.Send(command + "\n"));
    ExpectNothingPending();
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], ">>> !!! Halvane::ParseCrestronCommand: WRONG COMMAND START A (must be C) !!!\n");
    const std::string full = ErrorLine(command);
    EXPECT_EQ(lines[1].size(), 4095u);
    EXPECT_EQ(lines[1], full.substr(0, 4095));
}

// ---- the port's life -------------------------------------------------------------------

TEST_F(CrestronPort, SecondControllerReplacesTheFirst) {
    Connect(controller);
    EXPECT_EQ(Ask("C0601")[0], "M060100000000err\n");

    log.Clear();
    TestController second;
    ASSERT_TRUE(second.Connect(portNumber));
    ASSERT_TRUE(second.Send("C0601\n"));
    EXPECT_EQ(second.ReadLine(), "M060100000000err\n");
    ASSERT_TRUE(log.WaitFor("Halvane::WorkingThread START\n"));
    const std::vector<std::string> expected = {
        "Halvane::AcceptConnection START\n", "Halvane::CloseConnection\n",
        "Halvane::WorkingThread FINISH\n", "Halvane::AcceptConnection SUCCESS\n",
        "Halvane::WorkingThread START\n"};
    EXPECT_EQ(log.Lines(), expected);
    EXPECT_TRUE(controller.WaitForEnd());
    EXPECT_EQ(frame.Accepts(), 2);
}

// Open descriptors and threads of this process.
size_t EntriesOf(const char* folder) {
    size_t count = 0;
    QDir dir(QString::fromLatin1(folder));
    count = static_cast<size_t>(dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size());
    return count;
}

// How much slower than the program as shipped this build runs (sanitizers).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kSlowdown = 5;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr int kSlowdown = 5;
#else
constexpr int kSlowdown = 1;
#endif
#else
constexpr int kSlowdown = 1;
#endif

TEST_F(CrestronPort, HundredReplacementsInARowLeaveNothingBehind) {
    // Every controller is served and replaced by the next; the old working thread ends at
    // once when told to, whatever it is waiting for (an idle connection, or one whose
    // controller closed its side).
    auto current = std::make_unique<TestController>();
    log.Clear();
    ASSERT_TRUE(current->Connect(portNumber));
    ASSERT_TRUE(current->Send("C0601\n"));
    ASSERT_EQ(current->ReadLine(), "M060100000000err\n");
    const size_t descriptors = EntriesOf("/proc/self/fd");
    const size_t threads = EntriesOf("/proc/self/task");
    log.Clear();
    constexpr int kReplacements = 100;
    // A replacement must not wait for the old thread's poll interval or pause: a hundred in
    // a row take well under two seconds (about 25 s if each waited for them).
    const auto begun = std::chrono::steady_clock::now();
    for (int i = 0; i < kReplacements; ++i) {
        if (i % 2 == 1) current->Close();  // every other one has gone before the next comes
        auto next = std::make_unique<TestController>();
        ASSERT_TRUE(next->Connect(portNumber));
        ASSERT_TRUE(next->Send("C0601\n"));
        ASSERT_EQ(next->ReadLine(), "M060100000000err\n") << i;
        if (current->IsOpen()) {
            EXPECT_TRUE(current->WaitForEnd()) << i;
        }
        current = std::move(next);
    }
    // A loose bound that still catches a worker joined only after its poll interval and its
    // pause (about 25 s for a hundred); the speed itself is measured by bench_crestron.
    EXPECT_LT(std::chrono::steady_clock::now() - begun, kSlowdown * std::chrono::seconds(10));
    EXPECT_EQ(log.Count("Halvane::AcceptConnection SUCCESS\n"), size_t{kReplacements});
    EXPECT_EQ(log.Count("Halvane::WorkingThread FINISH\n"), size_t{kReplacements});
    EXPECT_EQ(log.Count("Halvane::CloseConnection\n"), size_t{kReplacements});
    // The order of each replacement stays that of a single one.
    const std::vector<std::string> lines = log.Lines();
    for (size_t i = 0; i + 5 <= lines.size(); ++i) {
        if (lines[i] != "Halvane::AcceptConnection START\n") continue;
        EXPECT_EQ(lines[i + 1], "Halvane::CloseConnection\n");
        EXPECT_EQ(lines[i + 2], "Halvane::WorkingThread FINISH\n");
        EXPECT_EQ(lines[i + 3], "Halvane::AcceptConnection SUCCESS\n");
    }
    EXPECT_EQ(EntriesOf("/proc/self/fd"), descriptors);
    EXPECT_EQ(EntriesOf("/proc/self/task"), threads);
}

TEST_F(CrestronPort, FailedAcceptKeepsTheConnection) {
    Connect(controller);
    log.Clear();
    port.AcceptConnection();  // no connection is waiting
    const std::vector<std::string> expected = {
        "Halvane::AcceptConnection START\n",
        "Halvane::AcceptConnection ERROR = " + std::to_string(EAGAIN) + "\n"};
    EXPECT_EQ(log.Lines(), expected);
    EXPECT_EQ(Ask("C0601")[0], "M060100000000err\n");
}

TEST_F(CrestronPort, OneAcceptPerWaitingConnection) {
    // Connections that wait together are each accepted once, none found missing.
    TestController a, b, c;
    log.Clear();
    ASSERT_TRUE(a.Connect(portNumber));
    ASSERT_TRUE(b.Connect(portNumber));
    ASSERT_TRUE(c.Connect(portNumber));
    ASSERT_TRUE(c.Send("C0601\n"));
    EXPECT_EQ(c.ReadLine(), "M060100000000err\n");
    EXPECT_TRUE(a.WaitForEnd());
    EXPECT_TRUE(b.WaitForEnd());
    EXPECT_EQ(log.Count("Halvane::AcceptConnection SUCCESS\n"), 3u);
    EXPECT_FALSE(log.Contains("Halvane::AcceptConnection ERROR"));
    EXPECT_EQ(frame.Accepts(), 3);
}

TEST_F(CrestronPort, ControllerClosingItsSideChangesNothing) {
    Connect(controller);
    controller.Close();
    log.Clear();
    TestController next;
    ASSERT_TRUE(next.Connect(portNumber));
    ASSERT_TRUE(log.WaitFor("Halvane::WorkingThread START\n"));
    EXPECT_EQ(log.Count("Halvane::WorkingThread FINISH\n"), 1u);
    EXPECT_FALSE(log.Contains("recv()"));
}

TEST_F(CrestronPort, AControllerGoneInTheMiddleOfACommandDoesNotHoldUpTheNext) {
    // Each wait of the working thread (its poll for data, its pauses after the controller
    // closed or reset its side) is stretched to a minute: the next controller is answered
    // within the read's ten seconds only if the old thread's end never waits for one of
    // them to run out, neither in the accept that replaces it nor in the port's close.
    port.SetWorkerWaits({60000, 60000, 60000});
    const struct {
        const char* name;
        bool reset;            // the controller goes with a reset rather than a close
        bool nextOnceServed;   // the next one comes once the gone one's thread has run
    } cases[] = {
        {"closed, next at once", false, false},
        {"closed, next once served", false, true},
        {"reset, next at once", true, false},
        {"reset, next once served", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.Clear();
        TestController gone;
        ASSERT_TRUE(gone.Connect(portNumber));
        ASSERT_TRUE(gone.Send("C0601\n"));
        if (c.reset) gone.Reset();
        else gone.Close();
        if (c.nextOnceServed) ASSERT_TRUE(log.WaitFor("Halvane::WorkingThread START\n"));
        TestController next;
        ASSERT_TRUE(next.Connect(portNumber));
        ASSERT_TRUE(next.Send("C0601\n"));
        EXPECT_EQ(next.ReadLine(), "M060100000000err\n");
    }
    log.Clear();
    port.ClosePort();
    EXPECT_EQ(log.Count("Halvane::WorkingThread FINISH\n"), 1u);
}

TEST_F(CrestronPort, ResetConnectionIsLogged) {
    Connect(controller);
    log.Clear();
    controller.Reset();
    EXPECT_TRUE(log.WaitFor("Halvane::recv() res=-1, error=" + std::to_string(ECONNRESET) + "\n"));
}

TEST_F(CrestronPort, ClosePortJoinsTheWorkerAndReopens) {
    Connect(controller);
    EXPECT_EQ(Ask("C0601")[0], "M060100000000err\n");
    log.Clear();
    port.ClosePort();
    // Everything happened before ClosePort returned.
    const std::vector<std::string> expected = {"Halvane::ClosePort\n", "Halvane::CloseConnection\n",
                                               "Halvane::WorkingThread FINISH\n"};
    EXPECT_EQ(log.Lines(), expected);
    EXPECT_EQ(port.Step(), 0);
    EXPECT_EQ(port.LastError(), 0);
    EXPECT_EQ(port.ListeningPort(), 0);
    EXPECT_TRUE(controller.WaitForEnd());

    ASSERT_TRUE(port.OpenPort(portNumber));
    EXPECT_EQ(port.Step(), 99);
    Connect(controller);
    EXPECT_EQ(Ask("C0601")[0], "M060100000000err\n");
}

TEST(CrestronPortAlone, PortInUseFailsAtBind) {
    LogCapture log;
    // Another program listens on the port already.
    const int other = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(other, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(other, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(other, 1), 0);
    socklen_t size = sizeof address;
    ::getsockname(other, reinterpret_cast<sockaddr*>(&address), &size);
    const unsigned busy = ntohs(address.sin_port);

    FakeClock clock;
    CGameInfo game(clock);
    QObject window;
    // The setting's number is used modulo 65536.
    for (const unsigned setting : {busy, busy + 65536u}) {
        CPort4Crestron port;
        EXPECT_FALSE(port.InitPort(setting, &window, &game));
        EXPECT_EQ(port.Step(), 3);
        EXPECT_EQ(port.LastError(), EADDRINUSE);
        EXPECT_EQ(port.GetInitErrorText(setting).toStdString(),
                  "Can't init TCP/IP port #" + std::to_string(busy) +
                      " for Crestron interaction!\nError=" + std::to_string(EADDRINUSE) +
                      " on step=3.");
        // ClosePort resets the state; a second one writes only its line.
        port.ClosePort();
        EXPECT_EQ(port.Step(), 0);
        EXPECT_EQ(port.LastError(), 0);
        log.Clear();
        port.ClosePort();
        EXPECT_EQ(log.Lines(), std::vector<std::string>{"Halvane::ClosePort\n"});
    }
    ::close(other);
}

TEST(CrestronPortAlone, NoWindowFailsAtNotification) {
    FakeClock clock;
    CGameInfo game(clock);
    CPort4Crestron port;
    EXPECT_FALSE(port.InitPort(0, nullptr, &game));
    EXPECT_EQ(port.Step(), 5);
    EXPECT_EQ(port.LastError(), EINVAL);
}

TEST(CrestronPortAlone, DestroyingThePortEndsItsConnection) {
    LogCapture log;
    FakeClock clock;
    auto game = std::make_unique<CGameInfo>(clock);
    TestController controller;
    {
        TestFrame frame;
        CPort4Crestron port;
        frame.SetPort(&port);
        ASSERT_TRUE(port.InitPort(0, &frame, game.get()));
        ASSERT_TRUE(controller.Connect(port.ListeningPort()));
        ASSERT_TRUE(controller.Send("C0601\n"));
        EXPECT_EQ(controller.ReadLine(), "M060100000000err\n");
        // Keep the worker busy with commands while the port goes.
        std::string many;
        for (int i = 0; i < 500; ++i) many += "C0201" + kGameStart + "\n";
        ASSERT_TRUE(controller.Send(many));
    }
    EXPECT_EQ(log.Count("Halvane::WorkingThread FINISH\n"), 1u);
    game.reset();  // the model goes only after the worker
    EXPECT_TRUE(controller.WaitForEnd());
}

// The controller keeps asking from its own thread while the GUI thread rewrites the model,
// switches the flags and closes and reopens the port.
TEST_F(CrestronPort, ServesWhileTheModelAndThePortChange) {
    std::atomic<bool> done{false};
    std::atomic<int> answers{0};
    std::atomic<int> badLines{0};
    const std::uint16_t number = portNumber;
    std::thread asker([&] {
        const std::string batch = "C0601\nC0101ABCD\nC0201" + kGameStart + "\nC0301" + kGameStart +
                                  "02\nC0401" + kGameStart + "41001\nC0501" + kGameStart +
                                  "3152911702-04\nC0301" + kGameStart + "04\n";
        while (!done.load()) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const timeval wait{0, 200'000};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(number);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                ::close(fd);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            std::string pending;
            bool open = true;
            for (int round = 0; round < 20 && open && !done.load(); ++round) {
                if (::send(fd, batch.data(), batch.size(), MSG_NOSIGNAL) <= 0) break;
                // Every command of the batch is answered (the game record for period 4 at
                // the least), unless the port drops the connection meanwhile.
                for (int lines = 0; lines < 7 && open;) {
                    const size_t lf = pending.find('\n');
                    if (lf != std::string::npos) {
                        if (pending.compare(0, 2, "M0") != 0) ++badLines;
                        pending.erase(0, lf + 1);
                        ++answers;
                        ++lines;
                        continue;
                    }
                    char buffer[4096];
                    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
                    if (got <= 0) open = false;
                    else pending.append(buffer, static_cast<size_t>(got));
                }
            }
            ::close(fd);
        }
    });

    for (int i = 0; i < 60; ++i) {
        switch (i % 4) {
            case 0: FillGame(game); break;
            case 1: AddLabels(game, 6, 2, 30, Local(2025, 12, 31, 22, 51, 0)); break;
            case 2:
                game.Clear();
                game.SetPeriods(nullptr, 0);
                break;
            case 3: {
                PeriodRecord periods[30]{};
                game.SetPeriods(periods, i % 30);
                break;
            }
        }
        port.UseGameTime = i % 2 == 0;
        port.CrestronLog = i % 15 == 0;
        port.PlayPosLog = i % 20 == 0;
        if (i % 10 == 9) {
            port.ClosePort();
            ASSERT_TRUE(port.OpenPort(portNumber));
        }
        const int before = answers.load();
        PumpUntil([&] { return answers.load() > before + 20; }, 2000);
    }
    port.CrestronLog = false;
    port.PlayPosLog = false;
    ASSERT_TRUE(PumpUntil([&] { return answers.load() > 500; }, 60000));
    port.ClosePort();
    done = true;
    asker.join();
    EXPECT_EQ(badLines.load(), 0);
    EXPECT_GT(frame.Posts().size(), 0u);
}

}  // namespace
}  // namespace hv::test
