// The progress dialog driving workflows of this test's own: the first tick, the guard
// against re-entry while a step runs a nested loop, keys and the close box, and waits
// measured against a clock the test moves.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QKeyEvent>
#include <QTimer>
#include <functional>
#include <map>

#include "FakeClock.h"
#include "LogCapture.h"
#include "workflow/ShowProgress.h"

namespace hv {
namespace {

using Step = std::function<bool(std::int32_t& step, std::uint32_t& deadline, CShowProgress& dialog)>;

// Workflows by kind; counts the calls and how deeply they nest.
class TestWorkflows final : public IWorkflowSteps {
public:
    bool RunWorkflowStep(int kind, std::int32_t& step, std::uint32_t& deadline, CShowProgress& dialog) override {
        ++calls;
        ++depth;
        maxDepth = std::max(maxDepth, depth);
        const auto found = steps.find(kind);
        const bool goOn = found != steps.end() && found->second(step, deadline, dialog);
        --depth;
        return goOn;
    }
    std::map<int, Step> steps;
    int calls = 0;
    int depth = 0;
    int maxDepth = 0;
};

// Runs the dialog modally, with a safety limit so that a broken test cannot hang.
int RunModal(CShowProgress& dialog, int limitMs = 20000) {
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [&] {
        ADD_FAILURE() << "the workflow did not end";
        dialog.done(QDialog::Accepted);
    });
    limit.start(limitMs);
    return dialog.exec();
}

TEST(ShowProgressTest, TheFirstTickRunsStepZeroAtOnceUnderTheCaption) {
    TestWorkflows workflows;
    struct Seen {
        std::int32_t step = -1;
        std::uint32_t deadline = 1;
        QString caption;
        QString text;
        int progress = -1;
        bool visible = false;
    } seen;
    workflows.steps[1] = [&](std::int32_t& step, std::uint32_t& deadline, CShowProgress& dialog) {
        seen = {step, deadline, dialog.windowTitle(), dialog.StepText(), dialog.Progress(), dialog.isVisible()};
        return false;
    };
    CShowProgress dialog(&workflows, 544, 1);
    EXPECT_EQ(dialog.Kind, 1);
    EXPECT_EQ(dialog.TitleId, 544u);
    EXPECT_FALSE(dialog.Busy);
    EXPECT_EQ(RunModal(dialog), QDialog::Rejected);
    EXPECT_EQ(workflows.calls, 1);
    EXPECT_EQ(seen.step, 0);
    EXPECT_EQ(seen.deadline, 0u);
    EXPECT_EQ(seen.caption, "Start Recording");
    EXPECT_EQ(seen.text, "");
    EXPECT_EQ(seen.progress, 0);
    EXPECT_TRUE(seen.visible);
    EXPECT_FALSE(dialog.isVisible());
}

TEST(ShowProgressTest, AKindWithoutAWorkflowClosesTheDialogOnItsFirstTick) {
    TestWorkflows workflows;
    CShowProgress dialog(&workflows, 543, 7);
    EXPECT_EQ(RunModal(dialog), QDialog::Rejected);
    EXPECT_EQ(workflows.calls, 1);
}

TEST(ShowProgressTest, EnterEscapeAndTheCloseBoxLeaveTheWorkflowRunning) {
    TestWorkflows workflows;
    std::vector<bool> visible;
    workflows.steps[2] = [&](std::int32_t& step, std::uint32_t&, CShowProgress& dialog) {
        visible.push_back(dialog.isVisible());
        switch (step++) {
        case 0: {
            QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(&dialog, &escape);
            QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
            QApplication::sendEvent(&dialog, &enter);
            return true;
        }
        case 1:
            dialog.close();  // the close box
            return true;
        case 2:
            dialog.reject();
            dialog.accept();
            return true;
        default:
            return false;
        }
    };
    CShowProgress dialog(&workflows, 545, 2);
    EXPECT_EQ(RunModal(dialog), QDialog::Rejected);
    EXPECT_EQ(workflows.calls, 4);
    EXPECT_EQ(visible, std::vector<bool>(4, true));
}

TEST(ShowProgressTest, TicksDuringAStepsMessageBoxDoNothingAndTheWorkflowResumesAfterIt) {
    TestWorkflows workflows;
    int ticksSeenInBox = 0;
    workflows.steps[0] = [&](std::int32_t& step, std::uint32_t&, CShowProgress& dialog) {
        if (step == 0) {
            // A message box's own loop, open for several of the dialog's ticks.
            QEventLoop box;
            QTimer::singleShot(5 * CShowProgress::kTickMs, &box, &QEventLoop::quit);
            const int before = workflows.calls;
            box.exec();
            ticksSeenInBox = workflows.calls - before;
            EXPECT_TRUE(dialog.Busy);
            step = 1;
            return true;
        }
        return false;
    };
    CShowProgress dialog(&workflows, 543, 0);
    EXPECT_EQ(RunModal(dialog), QDialog::Rejected);
    EXPECT_EQ(ticksSeenInBox, 0);
    EXPECT_EQ(workflows.maxDepth, 1) << "never re-entered";
    EXPECT_EQ(workflows.calls, 2);
    EXPECT_FALSE(dialog.Busy);
}

TEST(ShowProgressTest, APollingWorkflowIsCalledEveryTickAndActsOnlyOnceItsDeadlinePassed) {
    // A workflow that waits 50 s between polls, against a clock that moves 10 s a tick and
    // wraps on the way.
    test::FakeClock clock;
    clock.tick = 0xFFFF0000u;
    TestWorkflows workflows;
    int idle = 0;
    int polls = 0;
    std::vector<int> progress;
    workflows.steps[3] = [&](std::int32_t& step, std::uint32_t& deadline, CShowProgress& dialog) {
        const std::uint32_t now = clock.TickCountMs();
        clock.tick = now + 10000;
        if (step >= 100 && TickDiffMs(now, deadline) < 0) {
            ++idle;
            return true;
        }
        if (step == 0) {
            dialog.SetStepText("Wait for the recorder");
            step = 100;
        } else if (++step > 102) {
            dialog.SetProgress(100);
            progress.push_back(dialog.Progress());
            return false;
        }
        ++polls;
        deadline = now + 50000;
        dialog.SetProgress(step - 99);
        progress.push_back(dialog.Progress());
        return true;
    };
    test::LogCapture traces;
    CShowProgress dialog(&workflows, 546, 3);
    EXPECT_EQ(RunModal(dialog), QDialog::Rejected);
    EXPECT_EQ(polls, 3);
    EXPECT_EQ(idle, 3 * 4) << "four idle ticks per 50 s wait";
    EXPECT_EQ(progress, (std::vector<int>{1, 2, 3, 100}));
    EXPECT_EQ(dialog.StepText(), "Wait for the recorder");
    EXPECT_TRUE(traces.Contains("Wait for the recorder")) << "step texts go to the trace output";
}

}  // namespace
}  // namespace hv
