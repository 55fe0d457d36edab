#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <thread>
#include <vector>

#include "FakeClock.h"
#include "LogCapture.h"
#include "log/DiagnosticLog.h"

namespace hv {
namespace {

void Log(DiagnosticLog& log, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Log(DiagnosticLog& log, const char* format, ...) {
    va_list args;
    va_start(args, format);
    log.Write(format, args);
    va_end(args);
}

QByteArray ReadAll(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

class DiagnosticLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        clock.SetUtc(2020, 3, 5, 14, 7, 9, 123);
    }
    std::string Dir() const { return dir.path().toStdString(); }
    std::string ExpectedPath() const { return Dir() + "/Halvane_20200305_140709.log"; }

    QTemporaryDir dir;
    test::FakeClock clock;
    test::LogCapture capture;
};

TEST_F(DiagnosticLogTest, NamesTheFileAfterTheStartAndWritesHeaderAndPrefixedLines) {
    DiagnosticLog log(Dir(), "Halvane", "", clock);
    clock.SetUtc(2020, 3, 5, 14, 7, 11, 480);
    Log(log, "Halvane::WorkingThread START\n");

    EXPECT_EQ(log.FilePath(), ExpectedPath());
    EXPECT_EQ(ReadAll(ExpectedPath()),
              "\r\n------ 2020.03.05 14:07:09.123 ------\r\n"
              "2020.03.05 14:07:11.480: Halvane::WorkingThread START\r\n");
    EXPECT_EQ(DiagnosticLog::FileName("Halvane", {2020, 3, 5, 14, 7, 9, 123}),
              "Halvane_20200305_140709.log");
}

TEST_F(DiagnosticLogTest, OnlyTheFinalLineEndBecomesCrLf) {
    struct Case {
        const char* message;
        const char* fileLine;  // after the prefix
    } cases[] = {
        {"no end", "no end\r\n"},
        {"bare end\n", "bare end\r\n"},
        {"crlf end\r\n", "crlf end\r\n"},
        {"inner\nand end\n", "inner\nand end\r\n"},
        {"", "\r\n"},
        {"lone cr\r", "lone cr\r\r\n"},
    };
    DiagnosticLog log(Dir(), "Halvane", "", clock);
    QByteArray expected = "\r\n------ 2020.03.05 14:07:09.123 ------\r\n";
    for (const Case& c : cases) {
        Log(log, "%s", c.message);
        expected += QByteArray("2020.03.05 14:07:09.123: ") + c.fileLine;
    }
    EXPECT_EQ(ReadAll(ExpectedPath()), expected);
    // The trace output gets each message unchanged, without prefix or line-end treatment.
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), std::size(cases));
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], cases[i].message);
}

TEST_F(DiagnosticLogTest, TwoRunsInOneSecondShareTheFileAndAMidnightKeepsTheName) {
    {
        DiagnosticLog first(Dir(), "Halvane", "", clock);
        Log(first, "first run\n");
    }
    DiagnosticLog second(Dir(), "Halvane", "", clock);
    clock.SetUtc(2020, 3, 6, 0, 0, 1, 0);  // past midnight
    Log(second, "second run\n");
    EXPECT_EQ(ReadAll(ExpectedPath()),
              "\r\n------ 2020.03.05 14:07:09.123 ------\r\n"
              "2020.03.05 14:07:09.123: first run\r\n"
              "\r\n------ 2020.03.05 14:07:09.123 ------\r\n"
              "2020.03.06 00:00:01.000: second run\r\n");
}

TEST_F(DiagnosticLogTest, UsesTheFallbackFolderWhenTheExecutablesFolderIsNotWritable) {
    const std::string missing = Dir() + "/no-such-folder";
    const std::string fallback = Dir() + "/state/Tervanix/Halvane";
    DiagnosticLog log(missing, "Halvane", fallback, clock);
    Log(log, "line\n");
    EXPECT_EQ(log.FilePath(), fallback + "/Halvane_20200305_140709.log");
}

// Installed, the program's folder is the package's, writable or not: the log goes to the
// state folder, which is made on the first line. Built, it stays next to the program.
TEST_F(DiagnosticLogTest, AnInstalledProgramLogsToTheStateFolderWhateverItMayWrite) {
    ASSERT_TRUE(QDir(dir.path()).mkpath("usr/lib/halvane"));
    ASSERT_TRUE(QDir(dir.path()).mkpath("usr/share/halvane"));
    ASSERT_TRUE(QDir(dir.path()).mkpath("build/bin"));
    const std::string state = Dir() + "/state/Tervanix/Halvane";
    const std::string installed = Dir() + "/usr/lib/halvane";
    EXPECT_EQ(LogDirectoryFor(installed, state), state);
    EXPECT_EQ(LogDirectoryFor(Dir() + "/build/bin", state), Dir() + "/build/bin");

    DiagnosticLog log(LogDirectoryFor(installed, state), "Halvane", state, clock);
    Log(log, "line\n");
    EXPECT_EQ(log.FilePath(), state + "/Halvane_20200305_140709.log");
    EXPECT_TRUE(QDir(QString::fromStdString(installed)).isEmpty());
}

TEST_F(DiagnosticLogTest, AFailedOpenIsNotRetriedAndLinesStillReachTheTrace) {
    const std::string missing = Dir() + "/missing";
    DiagnosticLog log(missing, "Halvane", "/dev/null/cannot-be-a-folder", clock);
    Log(log, "one\n");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(missing)));
    Log(log, "two\n");
    EXPECT_EQ(log.FilePath(), "");
    EXPECT_TRUE(QDir(QString::fromStdString(missing)).isEmpty());
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"one\n", "two\n"}));
}

TEST_F(DiagnosticLogTest, LongMessagesAreCutTo4095Characters) {
    DiagnosticLog log(Dir(), "Halvane", "", clock);
    const std::string longText(10000, 'x');
    Log(log, "%s\n", longText.c_str());
    ASSERT_EQ(capture.Lines().size(), 1U);
    EXPECT_EQ(capture.Lines()[0], std::string(4095, 'x'));
    const QByteArray file = ReadAll(ExpectedPath());
    EXPECT_TRUE(file.endsWith(QByteArray(4095, 'x') + "\r\n"));
}

TEST_F(DiagnosticLogTest, ThreadsLoggingTheirFirstLinesTogetherOpenTheFileOnce) {
    DiagnosticLog log(Dir(), "Halvane", "", clock);
    constexpr int kThreads = 8;
    constexpr int kLines = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&log, t] {
            for (int i = 0; i < kLines; ++i) Log(log, "thread %d line %d\n", t, i);
        });
    for (auto& thread : threads) thread.join();

    const QByteArray file = ReadAll(ExpectedPath());
    EXPECT_EQ(file.count("------ 2020"), 1);
    const QList<QByteArray> lines = file.split('\n');
    int written = 0;
    for (const QByteArray& line : lines) {
        if (!line.startsWith("2020.03.05 14:07:09.123: thread ")) continue;
        EXPECT_TRUE(line.endsWith('\r')) << line.constData();  // never split by another line
        ++written;
    }
    EXPECT_EQ(written, kThreads * kLines);
}

}  // namespace
}  // namespace hv
