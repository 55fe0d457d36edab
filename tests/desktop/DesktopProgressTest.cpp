// The progress dialog and the icon's status on a real (virtual) display, photographed at
// each step of a workflow the test lets go on step by step.
#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>
#include <QThread>

#include "DesktopSupport.h"

namespace hv::desktop {
namespace {

TEST(DesktopProgress, TheDialogShowsCaptionStepTextAndProgressWhileTheIconFollowsTheStatus) {
    std::unique_ptr<XDisplay> display;
    HV_NEEDS(StartDesktop(display));
    World world(QStringLiteral("progress"));
    ASSERT_TRUE(world.IsValid());
    world.SetSetting(QStringLiteral("Port"), FreePort());

    Child area;
    ASSERT_TRUE(StartNotificationArea(*display, area)) << "the notification area did not come up";

    Child shown;
    ASSERT_TRUE(shown.Start(QStringLiteral(HALVANE_PROGRESS_SHOW), {world.Path(".")}, world.Environment(display.get())));
    const struct {
        const char* tooltip;
        unsigned icon;
        const char* text;
    } steps[] = {
        {"Halvane\\nStart recording", 311, "Run Vortamo"},
        {"Halvane\\nStop recording", 312, "Wait Vortamo answer"},
        {"Halvane\\nSave game to archive", 313, "Save info for video archive server"},
    };
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        const QString line = shown.NextLine();
        EXPECT_EQ(line, QStringLiteral("step %1 status %2 tooltip %3 icon %4")
                            .arg(k)
                            .arg(k + 1)
                            .arg(QString::fromLatin1(steps[k].tooltip))
                            .arg(steps[k].icon))
            << shown.ErrorText().toStdString();
        // The dialog: its caption, as the window manager sees it.
        QString dialog;
        ASSERT_TRUE(WaitUntil([&] {
            for (const QString& window : display->VisibleWindowsOf(shown.Pid()))
                if (display->Title(window) == QStringLiteral("Start Recording")) dialog = window;
            return !dialog.isEmpty();
        })) << shown.ErrorText().toStdString();
        const QRect place = display->Geometry(dialog);
        EXPECT_GT(place.width(), 100);
        // The dialog and the icon, photographed once the step text and the bar are painted.
        // (The tooltip itself is checked above: while the modal dialog is open the icon
        // receives no pointer events, so the desktop shows no tooltip.)
        EXPECT_TRUE(display->SettledScreenshot(QStringLiteral("progress-step%1.png").arg(k), place.adjusted(-4, -24, 4, 4)));
        EXPECT_TRUE(display->Screenshot(QStringLiteral("progress-icon-status%1.png").arg(k + 1), QRect(520, 0, 120, 24)));
        QFile(world.Path(QStringLiteral("go%1").arg(k))).open(QIODevice::WriteOnly);
    }
    EXPECT_EQ(shown.NextLine(), QStringLiteral("done"));
    EXPECT_TRUE(shown.process.waitForFinished(kWaitMs));
    EXPECT_EQ(shown.process.exitCode(), 0) << shown.ErrorText().toStdString();
}

}  // namespace
}  // namespace hv::desktop
