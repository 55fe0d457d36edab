// The halvane-panel program against the real Halvane program, each in a world of its own.
#include <gtest/gtest.h>

#include <QProcess>
#include <string>

#include "../desktop/DesktopSupport.h"

namespace hv::test {
namespace {

#define EXPECT_HAS(text, part) EXPECT_NE((text).find(part), std::string::npos) << "looked for: " << (part) << "\nin:\n" << (text)

QStringList At(std::uint16_t port, const QStringList& rest) {
    return QStringList{QStringLiteral("--port"), QString::number(port)} + rest;
}

struct PanelRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

PanelRun RunPanel(const QStringList& arguments, const QByteArray& input) {
    QProcess panel;
    panel.start(QStringLiteral(HALVANE_PANEL), arguments);
    EXPECT_TRUE(panel.waitForStarted(desktop::kWaitMs));
    panel.write(input);
    panel.closeWriteChannel();
    EXPECT_TRUE(panel.waitForFinished(desktop::kWaitMs));
    PanelRun run;
    run.exitCode = panel.exitStatus() == QProcess::NormalExit ? panel.exitCode() : -1;
    run.out = panel.readAllStandardOutput().toStdString();
    run.err = panel.readAllStandardError().toStdString();
    return run;
}

class PanelAgainstHalvane : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(world.IsValid());
        port = desktop::FreePort();
        world.SetSetting("Port", port);
        ASSERT_TRUE(halvane.Start(world.Program(), {}, world.Environment()));
        ASSERT_TRUE(desktop::WaitUntil([&] { return !halvane.Running() || !desktop::AskCrestron(port, "C0601\n").empty(); }) &&
                    halvane.Running())
            << halvane.ErrorText().toStdString();
    }

    desktop::World world{QStringLiteral("panel")};
    std::uint16_t port = 0;
    desktop::Child halvane;
};

TEST_F(PanelAgainstHalvane, AScriptOnStandardInput) {
    const PanelRun run = RunPanel(At(port, {}), "# a controller's round\nlist\ngame\nperiod 1\npos\nplay 100 1 2\npos\nquit\npos\n");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_HAS(run.out, "< M01010001");
    EXPECT_HAS(run.out, "M0201 game information, 1 line");
    EXPECT_HAS(run.out, "M0301 period information, 1 line");
    EXPECT_HAS(run.out, "  position      none (err): no play request yet\n");
    EXPECT_HAS(run.out, "M0501 play start acknowledged (ok)");
    EXPECT_HAS(run.out, "< M060100000100 ok\n");
    // Nothing after "quit".
    EXPECT_EQ(run.out.find("> C0601", run.out.find("< M060100000100 ok")), std::string::npos) << run.out;
}

// Halvane serves one controller: when another connects, the console's connection ends.
TEST_F(PanelAgainstHalvane, AnotherControllerTakesTheConnectionOver) {
    QProcess panel;
    panel.start(QStringLiteral(HALVANE_PANEL), At(port, {}));
    ASSERT_TRUE(panel.waitForStarted(desktop::kWaitMs));
    panel.write("pos\n");
    std::string out;
    ASSERT_TRUE(desktop::WaitUntil([&] {
        panel.waitForReadyRead(100);
        out += panel.readAllStandardOutput().toStdString();
        return out.find("< M0601") != std::string::npos;
    }));
    ASSERT_FALSE(desktop::AskCrestron(port, "C0601\n").empty());
    panel.write("pos\n");
    panel.closeWriteChannel();
    ASSERT_TRUE(panel.waitForFinished(desktop::kWaitMs));
    EXPECT_EQ(panel.exitCode(), 5);
    EXPECT_HAS(panel.readAllStandardError().toStdString(), "Halvane closed the connection");
}

}  // namespace
}  // namespace hv::test
