#pragma once
// The end of a game night as the frame meets it: the referee console, the recorder and the
// post-play capture of the installed suite running as real processes that the test started
// (as Start new game leaves them), a current game with its folder, and the stand-ins'
// misbehaviours set through the environment for the programs the frame starts itself.

#include <QDir>
#include <QFile>
#include <QStringList>
#include <set>

#include "../e2e/CompanionProcess.h"
#include "WorkflowTestSupport.h"

namespace hv::test {

class GameNightFixture : public WorkflowFixture {
protected:
    // The current game's folder, as the program keeps it and as it lies under a root.
    static inline const QString kGameFolder = QStringLiteral("2026-12-10\\19-30\\");
    static inline const QString kGameSubfolder = QStringLiteral("2026-12-10/19-30/");

    void SetUp() override {
        WorkflowFixture::SetUp();
        UseInstalledSuite();
        // The storage manager has a window: it opens off the screen here.
        scopedEnv.Set("QT_QPA_PLATFORM", "offscreen");
        clock.SetUtc(2026, 12, 10, 19, 30);
    }

    void TearDown() override {
        EndFrame();
        console.Kill();
        recorder.Kill();
        capture.Kill();
        WorkflowFixture::TearDown();
    }

    // Ends the frame once the programs it started (the post-play capture's stop command)
    // have ended and been reaped, so that none outlives the test.
    void EndFrame() {
        if (!frame) return;
        EXPECT_TRUE(WaitUntil([&] {
            frame->Companions.ReapEnded();
            return frame->Companions.Launcher().DetachedChildren().empty();
        }));
        frame.reset();
    }

    // The companions as Start new game leaves them, each waited for until it holds its queue.
    // `environment` entries ("NAME=value") go to that program only.
    bool StartConsole(const QStringList& environment = {}) {
        return Start(console, "Ferrolith/Tamberlo", {QStringLiteral("-openlast")}, "tamberlo", environment);
    }
    bool StartRecorder(const QStringList& environment = {}) {
        return Start(recorder, "Vortamo/Vortamo", {QStringLiteral("#1")}, "vortamo", environment);
    }
    bool StartCapture(const QStringList& environment = {}) {
        return Start(capture, "Ferrolith/Dravenor", {QStringLiteral("#1"), QStringLiteral("-start"), QStringLiteral("-minimize")},
                     "dravenor", environment);
    }
    bool StartAllCompanions() { return StartConsole() && StartRecorder() && StartCapture(); }

    // The frame with a current game that is being recorded.
    CMainFrame& MakeFrameWithGame() {
        CMainFrame& f = MakeFrame();
        f.GameFolder = kGameFolder;
        f.ExecutionEnabled = true;
        f.Link.PollingEnabled = true;
        return f;
    }

    // A file of `bytes` bytes (its name repeated) under `folder`, folders made as needed.
    static QString WriteFile(const QString& folder, const QString& name, int bytes = 1000) {
        QDir().mkpath(folder);
        const QString path = folder + u'/' + name;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly)) return {};
        QByteArray content;
        while (content.size() < bytes) content += name.toUtf8();
        file.write(content.left(bytes));
        return path;
    }

    // The texts the dialog showed, in order, from its trace lines: each text of `known`
    // as often as it was set in a row counts once.
    std::vector<QString> StepTextsShown(const std::set<QString>& known) const {
        std::vector<QString> texts;
        for (const std::string& line : log.Lines()) {
            if (line.empty() || line.back() != '\n') continue;
            const QString text = QString::fromStdString(line.substr(0, line.size() - 1));
            if (known.count(text) == 0) continue;
            if (texts.empty() || texts.back() != text) texts.push_back(text);
        }
        return texts;
    }

    // The log lines that begin with `prefix`, in order.
    std::vector<std::string> LinesStartingWith(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const std::string& line : log.Lines())
            if (line.rfind(prefix, 0) == 0) found.push_back(line);
        return found;
    }

    CompanionProcess console;
    CompanionProcess recorder;
    CompanionProcess capture;

private:
    bool Start(CompanionProcess& process, const char* program, const QStringList& args, const char* output,
               const QStringList& environment) {
        const QByteArray name = QByteArrayLiteral("Zandrel Software/") + program;
        if (!process.Start(name.constData(), args, root.filePath(QString::fromLatin1(output)), environment)) return false;
        return process.WaitForLine(QStringLiteral("ready"));
    }
};

}  // namespace hv::test
