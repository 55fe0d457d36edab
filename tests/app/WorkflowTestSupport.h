#pragma once
// A workflow run tick by tick, as the progress dialog's timer runs it, against the
// simulated suite: the frame's step function is called once per tick, the test's clock
// moves 100 ms per tick (so a workflow's minutes of waiting pass in moments), and the
// suite's programs that the workflow starts run as real processes from the installed
// suite folder. Between ticks the event loop runs for a little real time, so that the
// companions' answers arrive.

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QThread>
#include <functional>
#include <vector>

#include "FrameTestSupport.h"

namespace hv::test {

class WorkflowFixture : public FrameFixture {
protected:
    // What one run of a workflow showed.
    struct WorkflowRun {
        bool ended = false;               // the step function returned false
        int ticks = 0;                    // step function calls
        std::vector<QString> stepTexts;   // every change of the step text, in order
        std::vector<int> progress;        // every change of the progress position, in order
        std::vector<std::int32_t> steps;  // the step counter after each call
    };

    // The frame finds the suite's programs (the stand-ins installed by the build) in
    // bin/Zandrel Software; they keep their state in the test's folder (FrameFixture).
    void UseInstalledSuite() {
        QSettings system(root.filePath("system/Tervanix/ZandrelSoftware.conf"), QSettings::IniFormat);
        system.setValue("ZandrelSetup_Params/Setup_Path",
                        QCoreApplication::applicationDirPath() + QStringLiteral("/Zandrel Software"));
    }

    // Runs workflow `kind` in a progress dialog that is never shown: one step function
    // call per tick, at most `maxTicks` calls. Before each call the clock moves by
    // `tickMs` and the event loop runs for `realMsPerTick` of real time. `beforeTick`
    // (optional) is called before each call with the dialog, e.g. to answer for a
    // companion or move the clock further. `afterStep` (optional) is called right after
    // each call, before the event loop runs again: it sees the frame exactly as the step
    // left it.
    WorkflowRun RunWorkflow(int kind, int maxTicks, int realMsPerTick = 2,
                            const std::function<void(CShowProgress&)>& beforeTick = {},
                            std::uint32_t tickMs = CShowProgress::kTickMs,
                            const std::function<void(const CShowProgress&)>& afterStep = {}) {
        WorkflowRun run;
        CShowProgress dialog(frame.get(), 0, kind);
        for (; run.ticks < maxTicks;) {
            clock.tick += tickMs;
            QDeadlineTimer pause(realMsPerTick);
            do {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
                if (realMsPerTick > 0) QThread::usleep(200);
            } while (!pause.hasExpired());
            if (beforeTick) beforeTick(dialog);
            const bool goOn = Step(kind, dialog, run);
            if (afterStep) afterStep(dialog);
            if (!goOn) break;
        }
        return run;
    }

    // One call of the step function, as one tick of the dialog, noted in `run`; false once
    // the workflow has ended.
    bool Step(int kind, CShowProgress& dialog, WorkflowRun& run) {
        ++run.ticks;
        const bool goOn = frame->RunWorkflowStep(kind, dialog.Step, dialog.Deadline, dialog);
        run.steps.push_back(dialog.Step);
        if (run.stepTexts.empty() || run.stepTexts.back() != dialog.StepText())
            run.stepTexts.push_back(dialog.StepText());
        if (run.progress.empty() || run.progress.back() != dialog.Progress())
            run.progress.push_back(dialog.Progress());
        if (!goOn) run.ended = true;
        return goOn;
    }
};

}  // namespace hv::test
