// The halvane-panel program as an integrator runs it: against Halvane's controller port
// with a game of known content (the port and its working thread in this process, the
// console a child process, also at a terminal), and against servers that refuse, stay
// silent or answer wrongly. The real program is PanelHalvaneTest's.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "../crestron/CrestronTestSupport.h"
#include "../desktop/DesktopSupport.h"
#include "platform/Trace.h"

namespace hv::test {
namespace {

struct PanelRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the console with `arguments` and `input` on its standard input, keeping this
// thread's event loop going (the port accepts connections on it). Started with
// posix_spawn: the thread sanitizer cannot follow QProcess's way of starting children.
PanelRun RunPanel(const QStringList& arguments, const QByteArray& input = {}) {
    PanelRun run;
    QTemporaryDir files;
    EXPECT_TRUE(files.isValid());
    const QByteArray inPath = files.filePath("in").toLocal8Bit();
    const QByteArray outPath = files.filePath("out").toLocal8Bit();
    const QByteArray errPath = files.filePath("err").toLocal8Bit();
    {
        QFile in(QString::fromLocal8Bit(inPath));
        EXPECT_TRUE(in.open(QIODevice::WriteOnly));
        in.write(input);
    }
    std::vector<QByteArray> argBytes{QByteArray(HALVANE_PANEL)};
    for (const QString& a : arguments) argBytes.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& a : argBytes) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, inPath.constData(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(error, 0);
    if (error != 0) return run;
    int status = 0;
    const bool ended = PumpUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, desktop::kWaitMs);
    EXPECT_TRUE(ended) << "halvane-panel did not end";
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    auto read = [](const QByteArray& path) {
        QFile file(QString::fromLocal8Bit(path));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    };
    run.out = read(outPath);
    run.err = read(errPath);
    return run;
}

QStringList At(std::uint16_t port, const QStringList& rest) {
    return QStringList{QStringLiteral("--port"), QString::number(port)} + rest;
}

#define EXPECT_HAS(text, part) EXPECT_NE((text).find(part), std::string::npos) << "looked for: " << (part) << "\nin:\n" << (text)

// ---- against the controller port with a known game ---------------------------------------

class PanelAgainstPort : public ::testing::Test {
protected:
    void SetUp() override {
        SetTraceSink([](std::string_view) {});
        frame.SetPort(&port);
        clock.offsetSeconds = kOffsetSeconds;
        clock.SetUtc(2026, 1, 2, 12);
        ASSERT_TRUE(port.InitPort(0, &frame, &game));
        portNumber = port.ListeningPort();
        FillGame(game);
    }
    void TearDown() override { port.ClosePort(); }

    FakeClock clock;
    CGameInfo game{clock};
    TestFrame frame;
    CPort4Crestron port;
    std::uint16_t portNumber = 0;
};

// 30 periods make the game information three numbered lines; 42 labels in period 2 make
// its answer three lines. The short commands name the game by the start the first answer
// carried.
TEST_F(PanelAgainstPort, DecodesEveryAnswerIncludingMultiLineOnes) {
    PeriodRecord periods[30];
    for (int k = 0; k < 30; ++k)
        periods[k] = {k < 3 ? 0 : 1, k % 4, k % 3, Local(2025, 12, 31, 22, 0, 0) + static_cast<FileTime>(k) * 600 * kFileTimeUnitsPerSecond, 0};
    game.SetPeriods(periods, 30);
    AddLabels(game, 7, 2, 39, Local(2025, 12, 31, 22, 20, 0));
    {
        std::lock_guard lock(game.GameInfoLock);
        game.AddLabel(4, 3, 3, Local(2026, 1, 1, 0, 0, 30), 2, 1, 20, 30);
    }

    const PanelRun run = RunPanel(At(portNumber, {"list", "game", "period 2", "label 21 3", "play 31529117 2 -4", "pos"}));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_HAS(run.out, "> C01010000\n< M01010001202512312130");
    EXPECT_HAS(run.out, "  game start    2025-12-31 21:30\n  periods       30\n");
    EXPECT_HAS(run.out, "> C0201202512312130\n< M020101202512312130");
    EXPECT_HAS(run.out, "< M020102202512312130");
    EXPECT_HAS(run.out, "< M020199202512312130");
    EXPECT_HAS(run.out, "M0201 game information, 3 lines");
    EXPECT_HAS(run.out, "  period 30     01:02  overtime\n  game          ");
    EXPECT_HAS(run.out, "M0301 period information, 3 lines");
    EXPECT_HAS(run.out, "  labels        42\n                no.  score  clock  event\n");
    EXPECT_HAS(run.out, "  038  07:03  00:37  32 dangerous moment\n");
    EXPECT_HAS(run.out, "  label         21 goal, number 003\n  time          00000030 s from 1 January of the label's year = 01-01 00:00:30\n");
    EXPECT_HAS(run.out, "> C05012025123121303152911702-04\n< M0501202512312130 ok\n");
    EXPECT_HAS(run.out, "< M060131529117 ok\n  M0601 playback position\n  position      31529117 s from 1 January of the game's year = 12-31 22:05:17\n");
}

TEST_F(PanelAgainstPort, RawPrintsTheAnswersBytesOnly) {
    const PanelRun run = RunPanel(At(portNumber, {"--raw", "--game", "209912312359", "pos", "period 1"}));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "M060100000000err\n"
                       "M030100202512312130010010002"
                       "4300101002000"
                       "2100101000517\n");
}

// Commands Halvane does not answer: each is named with the reason, and the console goes on.
TEST_F(PanelAgainstPort, CommandsWithoutAnswerAreNamed) {
    const PanelRun run = RunPanel(At(portNumber, {"--timeout", "400"}),
                                  "C07010000\nlabel 41 9\nraw C0601\\r\nraw C0601\\nC0601\nperiod 200\npos\n"
                                  "raw C0301000000000000" "00\\nC0601\n"
                                  "C0\x1b" "010000\nraw \\\x1b[2J\n");
    EXPECT_EQ(run.exitCode, 3) << run.err;
    EXPECT_HAS(run.err, "no answer to \"C07010000\" within 400 ms (Halvane answers nothing to a malformed command: C0701 is not a command)");
    // Halvane skips the period it does not have and answers the position: the answer
    // goes to the position, and the period is named as unanswered.
    EXPECT_HAS(run.out, "> C0301000000000000" "00\\nC0601\n< M060100000000err\n  M0601 playback position\n");
    EXPECT_HAS(run.err, "no answer to \"C0301000000000000" "00\": the next answer was a later command's (Halvane sends "
                        "nothing when it cannot answer, such as for a label or period it does not have; its log says why)\n");
    EXPECT_EQ(run.err.find("malformed answer"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("no answer to \"C0601\""), std::string::npos) << run.err;
    // Bytes typed reach the error stream escaped.
    EXPECT_HAS(run.err, "(Halvane answers nothing to a malformed command: C0\\x1B01 is not a command)");
    EXPECT_HAS(run.err, "raw: unknown escape \\\\x1B");
    EXPECT_EQ(run.err.find('\x1b'), std::string::npos) << run.err;
    EXPECT_HAS(run.err, "no answer to \"C0401000000000000" "41009\" within 400 ms (Halvane sends nothing when it cannot answer");
    EXPECT_HAS(run.err, "no answer to \"C0601\\r\" within 400 ms (Halvane answers nothing to a malformed command: C0601 must be 5 characters long, it is 6)");
    EXPECT_HAS(run.err, "PERIOD must be a whole number from 0 to 99");
    // Two commands in one line get their two answers.
    EXPECT_HAS(run.out, "> C0601\\nC0601\n< M060100000000err\n  M0601 playback position\n  position      none (err): no play request yet\n< M060100000000err\n");
    EXPECT_HAS(run.out, "> C0601\n< M060100000000err\n");
}

// At a terminal the console reads commands with line editing and keeps them in its history.
TEST_F(PanelAgainstPort, AtATerminalCommandsAreEditedAndRemembered) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    // Everything the child needs is made before the fork.
    const std::string portText = std::to_string(portNumber);
    const std::string homeVariable = "HOME=" + home.path().toStdString();
    const char* arguments[] = {HALVANE_PANEL, "--port", portText.c_str(), nullptr};
    const char* environment[] = {homeVariable.c_str(), "TERM=dumb", nullptr};
    int terminal = -1;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
        ::execve(HALVANE_PANEL, const_cast<char* const*>(arguments), const_cast<char* const*>(environment));
        ::_exit(127);
    }
    ASSERT_GT(pid, 0);
    std::string screen;
    auto showsUp = [&](const std::string& text) {
        return PumpUntil([&] {
            pollfd p{terminal, POLLIN, 0};
            char chunk[4096];
            if (::poll(&p, 1, 10) > 0) {
                const ssize_t n = ::read(terminal, chunk, sizeof chunk);
                if (n > 0) screen.append(chunk, static_cast<std::size_t>(n));
            }
            return screen.find(text) != std::string::npos;
        }, desktop::kWaitMs);
    };
    EXPECT_TRUE(showsUp("halvane-panel> ")) << screen;
    ASSERT_EQ(::write(terminal, "pos\r", 4), 4);
    EXPECT_TRUE(showsUp("position      none (err): no play request yet")) << screen;
    ASSERT_EQ(::write(terminal, "quit\r", 5), 5);
    int status = -1;
    EXPECT_TRUE(PumpUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, desktop::kWaitMs));
    ::close(terminal);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    QFile history(home.filePath(".halvane_panel_history"));
    ASSERT_TRUE(history.open(QIODevice::ReadOnly));
    const std::string remembered = history.readAll().toStdString();
    EXPECT_HAS(remembered, "pos");
    EXPECT_HAS(remembered, "quit");
}

// ---- what goes wrong ---------------------------------------------------------------------

// A server on loopback that reads one command line, answers with `reply` and then keeps
// the connection open (or closes it) until the test ends.
class ScriptedServer {
public:
    ScriptedServer(std::string reply, bool closeAfter) : reply_(std::move(reply)), closeAfter_(closeAfter) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(listener_, 1) == 0 &&
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) == 0)
            port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedServer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    std::uint16_t Port() const { return port_; }

private:
    bool Wait(int fd) {
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0) return true;
        }
        return false;
    }
    void Serve() {
        if (!Wait(listener_)) return;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        std::string line;
        char c = 0;
        while (line.find('\n') == std::string::npos && Wait(fd) && ::recv(fd, &c, 1, 0) == 1) line += c;
        if (!reply_.empty()) (void)!::send(fd, reply_.data(), reply_.size(), MSG_NOSIGNAL);
        if (!closeAfter_)
            while (!stop_) Wait(fd), std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ::close(fd);
    }

    std::string reply_;
    bool closeAfter_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(PanelFaults, EachFailureHasItsMessageRawBytesAndExitCode) {
    const std::string entries17(17 * 13, '0');
    struct Case {
        const char* name;
        std::string reply;
        bool closeAfter;
        int exitCode;
        std::string says;
    };
    const Case cases[] = {
        {"silent", "", false, 3,
         "no answer to \"C0601\" within 300 ms (Halvane always answers it: no answer in time means Halvane is busy "
         "or hung, or the program on this port is not Halvane)\n"},
        {"garbage", "M0601garbage\n", false, 4,
         "malformed answer to \"C0601\": eight digits and \" ok\", or \"00000000err\", expected after \"M0601\"\n"
         "  raw bytes: \"M0601garbage\\n\""},
        {"not an answer", "HTTP/1.0 400 Bad Request\r\n\r\n", false, 4,
         "not an answer: M0101 to M0601 expected at the start\n  raw bytes: \"HTTP/1.0 400 Bad Request\\r\\n\""},
        {"another command's answer", "M01010001202512312130030201\n", false, 4, "it answers C0101, not this command"},
        {"no LF", "M060100000100 ok", false, 4,
         "malformed answer to \"C0601\": incomplete after 300 ms\n  raw bytes: \"M060100000100 ok\""},
        {"no final part", "M030101202512312130020010018" + entries17 + "\n", false, 4,
         "incomplete after 300 ms\n  raw bytes: \"M030101202512312130020010018000"},
        {"closed", "", true, 5, "Halvane closed the connection"},
        {"closed within an answer", "M0601000", true, 5, "bytes of an unfinished answer: \"M0601000\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(c.reply, c.closeAfter);
        ASSERT_NE(server.Port(), 0);
        const PanelRun run = RunPanel(At(server.Port(), {"--timeout", "300", "pos"}));
        EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
        EXPECT_HAS(run.err, c.says);
    }
}

TEST(PanelFaults, RefusedConnectionAndBadOptions) {
    const PanelRun refused = RunPanel(At(desktop::FreePort(), {"pos"}));
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_HAS(refused.err, ": connection refused (is Halvane running, with its controller port set to ");

    struct Case {
        QStringList arguments;
        std::string says;
    };
    const Case cases[] = {
        {{"--port", "0"}, "--port needs a number from 1 to 65535"},
        {{"--port"}, "--port needs a number"},
        {{"--timeout", "x"}, "--timeout needs milliseconds"},
        {{"--game", "2025"}, "--game needs twelve digits"},
        {{"--frobnicate"}, "unknown option --frobnicate"},
        {{"--\x1b[2J"}, "unknown option --\\x1B[2J"},
    };
    for (const Case& c : cases) {
        const PanelRun run = RunPanel(c.arguments);
        EXPECT_EQ(run.exitCode, 1) << c.arguments.join(' ').toStdString();
        EXPECT_HAS(run.err, c.says);
    }
    const PanelRun help = RunPanel({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_HAS(help.out, "Exit codes");
    EXPECT_HAS(help.out, "  5  Halvane closed the connection");
}

}  // namespace
}  // namespace hv::test
