// The recorder on another computer, for real: the recorder stand-in and its relay run in
// network namespaces of their own ("the recorder's computers"), joined to the program's by
// veth pairs; the program (the main frame, its workflows run tick by tick on the test's
// clock) runs in a third, with the referee console and the post-play capture it starts. A
// game is started, played a little, stopped and archived; then the recorder's computer is
// cut off and the workflows' failure messages come within their waits, also when it is cut
// off just before the game is stopped; then the program is pointed at a second recorder's
// computer, whose answers come at once, and the first is no longer trusted. Last, another
// program holding the port of the program's answer relay is said, and costs the recorder's
// answers, not a silent wait.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <memory>

#include "GameNightSupport.h"
#include "NetworkNamespaces.h"
#include "OtherUser.h"
#include "Requirements.h"
#include "language/Language.h"

namespace hv::test {
namespace {

constexpr int kWaitMs = 20000;

QString ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The answer relays `parent` started that still run.
std::vector<pid_t> AnswerRelaysOf(pid_t parent) {
    std::vector<pid_t> found;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isPid = false;
        const pid_t pid = static_cast<pid_t>(entry.toInt(&isPid));
        if (!isPid) continue;
        const QString stat = ReadFile(QStringLiteral("/proc/%1/stat").arg(pid));
        const QStringList fields = stat.mid(stat.lastIndexOf(u')') + 2).split(u' ');
        QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (stat.contains(u"(ZandrelQueueRel") && fields.size() > 1 && fields[0] != u"Z" &&
            fields[1].toInt() == parent && commandLine.open(QIODevice::ReadOnly) &&
            commandLine.readAll().contains("--with-parent"))
            found.push_back(pid);
    }
    return found;
}

// The answer relays this process started that still run.
std::vector<pid_t> AnswerRelays() { return AnswerRelaysOf(::getpid()); }

class TwoComputers : public GameNightFixture {
protected:
    // A recorder's computer: its namespace and address, and the recorder and relay there,
    // with a runtime folder of its own (it is another computer).
    struct RecorderComputer {
        QString name;
        QString address;
        QString halvaneAddress;  // the program's address towards it
        CompanionProcess relay;
        CompanionProcess recorder;
        QString report;
    };

    void SetUp() override {
        GameNightFixture::SetUp();
        HV_NEEDS(test::Root("makes network namespaces"));
        ASSERT_FALSE(NetworkNamespaces::IpProgram().isEmpty()) << "needs ip (iproute2; scripts/setup.sh installs it)";
        const QString prefix = QStringLiteral("hv%1-%2").arg(::getpid()).arg(++runs_);
        halvaneComputer_ = prefix + "-h";
        computers_[0].name = prefix + "-a";
        computers_[1].name = prefix + "-b";
        ASSERT_TRUE(namespaces_.Add(halvaneComputer_));
        for (int i = 0; i < 2; ++i) {
            RecorderComputer& c = computers_[i];
            c.address = QStringLiteral("10.77.%1.2").arg(i + 1);
            c.halvaneAddress = QStringLiteral("10.77.%1.1").arg(i + 1);
            c.report = root.filePath(c.name + ".report");
            ASSERT_TRUE(namespaces_.Add(c.name));
            ASSERT_TRUE(namespaces_.Join(halvaneComputer_, QStringLiteral("to-rec%1").arg(i), c.halvaneAddress, c.name,
                                         QStringLiteral("to-halvane"), c.address));
        }
        // From here on the test, and all it starts, is on the program's computer.
        inHalvanesComputer_ = std::make_unique<InNamespace>(halvaneComputer_);
        ASSERT_TRUE(inHalvanesComputer_->Entered());
        UseArchiveFolders(rec1, rec2, archive);
        qputenv("OSTRIMUND_EXIT_AFTER_MS", "0");
        for (RecorderComputer& c : computers_) ASSERT_TRUE(StartRecorderComputer(c)) << c.name.toStdString();
        Store("VortamoIP", computers_[0].address);
    }

    void TearDown() override {
        // Every process is ended by its id: the frame's companions, then the recorders'
        // computers; the answer relay ends with the frame's component.
        if (frame) {
            for (const pid_t pid : frame->Companions.Launcher().DetachedChildren()) ::kill(pid, SIGKILL);
        }
        GameNightFixture::TearDown();
        if (!WaitUntil([] { return AnswerRelays().empty(); }, 5000))
            for (const pid_t pid : AnswerRelays()) ::kill(pid, SIGKILL);
        for (RecorderComputer& c : computers_) {
            c.recorder.Kill();
            c.relay.Kill();
        }
        inHalvanesComputer_.reset();
        // The namespaces go with namespaces_.
    }

    bool StartRecorderComputer(RecorderComputer& c) {
        const QString runtime = root.filePath(c.name + "-runtime");
        if (!QDir().mkpath(runtime) || ::chmod(QFile::encodeName(runtime).constData(), 0700) != 0) return false;
        InNamespace there(c.name);
        if (!there.Entered()) return false;
        const QStringList environment = {"XDG_RUNTIME_DIR=" + runtime, "VORTAMO_REPORT_FILE=" + c.report,
                                         "VORTAMO_CLOCK_AT=" + QString::number(clock.now)};
        return c.relay.Start("ZandrelQueueRelay", {"--bind", c.address, "--trust", c.halvaneAddress},
                             root.filePath(c.name + "-relay"), environment) &&
               c.relay.WaitForLine(QStringLiteral("listening 17420")) &&
               c.recorder.Start("Zandrel Software/Vortamo/Vortamo", {"#1"}, root.filePath(c.name + "-vortamo"),
                                environment) &&
               c.recorder.WaitForLine(QStringLiteral("ready"));
    }

    CMainFrame& Frame() {
        MakeFrame();
        frame->KillTimer(CMainFrame::kGameTimerId);  // the update runs in step with the test's clock
        return *frame;
    }

    // One update of the frame, as timer 101 would run it; notes whether it asked the
    // companions.
    void Update() {
        frame->UpdateTheGame();
        if (frame->Link.RequestCountdown == 10) ++requestPasses_;
    }

    // Runs a workflow tick by tick (100 ms of the test's clock each, the update every
    // tenth) until it ends; `beforeStep` runs before each call that is due.
    WorkflowRun Play(int kind, const std::function<void(std::int32_t)>& beforeStep = {}, int maxTicks = 5000) {
        WorkflowRun run;
        CShowProgress dialog(frame.get(), 0, kind);
        while (run.ticks < maxTicks) {
            clock.tick += CShowProgress::kTickMs;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
            if (run.ticks % 10 == 9) Update();
            if (beforeStep && TickDiffMs(clock.tick, dialog.Deadline) >= 0) beforeStep(dialog.Step);
            if (!Step(kind, dialog, run)) break;
        }
        return run;
    }

    // Waits (in real time, the event loop running) until a companion holds the queue `name`
    // here. The probe holds a free name for a moment, so it asks only now and then.
    bool WaitForQueue(const char* name) {
        return WaitUntil([&] {
            if (!frame->Link.IsQueueNameFree(QString::fromLatin1(name), frame.get())) return true;
            QThread::msleep(200);
            return false;
        }, kWaitMs);
    }

    // Before a step of Stop the game: a try of "StopRecord" whose outcome the step waits for
    // is given the real time that outcome takes (the test's clock runs fast).
    void GiveTheTryItsTime() {
        const std::int32_t awaited = frame->RecorderSendAwaited;
        if (awaited == 0) return;
        ++triesAwaited_;
        EXPECT_TRUE(WaitUntil([&] {
            return frame->Link.VortamoDelivery(awaited) != CCompanionLink::Delivery::Pending;
        }, kWaitMs));
    }

    // What a process on the recorder's computer `c`, of this user, gets from the program's
    // answer relay when it asks it a question from its own address: "acknowledged 0" (taken
    // and answered: no presence questions there) while the program trusts that computer,
    // "closed" once it does not.
    QString AskTheAnswerRelayFrom(const RecorderComputer& c) {
        InNamespace there(c.name);
        CompanionProcess asking;
        if (!asking.StartProgram(QCoreApplication::applicationDirPath() + "/queue_intruder",
                                 {"probe", c.address, c.halvaneAddress, "17420", "Halvane"}, root.filePath(c.name + "-asking")))
            return QStringLiteral("not started");
        asking.WaitForExit();
        return asking.Output().trimmed().section(u' ', 5);
    }

    // Start new game, the companions given the real time they need at each wait.
    WorkflowRun StartNewGame() {
        int passesWhenConsoleUp = -1;
        return Play(kStartNewGame, [&](std::int32_t step) {
            CCompanionLink& link = frame->Link;
            if (step >= 201 && step <= 220) {
                EXPECT_TRUE(WaitUntil([&] { return link.IsVortamoRunning(frame.get()); }, kWaitMs));
            } else if (step >= 400 && step <= 430) {
                EXPECT_TRUE(WaitUntil([&] { return link.VortamoState != 0; }, kWaitMs));
            } else if (step == 600) {
                EXPECT_TRUE(WaitForQueue("Kestrilo"));
                passesWhenConsoleUp = requestPasses_;
            } else if (step >= 701 && step <= 725) {
                EXPECT_TRUE(WaitUntil([&] { return link.VortamoState == 2; }, kWaitMs));
            } else if (step >= 801 && step <= 810 && requestPasses_ > passesWhenConsoleUp) {
                EXPECT_TRUE(WaitUntil([&] { return link.KestriloSpoken; }, kWaitMs));
            }
        });
    }

    // The update runs until the referee console's periods have reached the model.
    bool PlayALittle() {
        return WaitUntil([&] {
            clock.tick += 1000;
            Update();
            QThread::msleep(20);
            return frame->Game.GetSnapshot().PeriodCount > 0;
        }, kWaitMs * 3);
    }

    std::vector<std::string> Boxes() const {
        std::vector<std::string> texts;
        for (const QString& text : boxes.shown) texts.push_back(text.toStdString());
        return texts;
    }
    static std::string Text(unsigned id) { return LoadStringOrMark(id).toStdString(); }
    QStringList Report(const RecorderComputer& c) const { return ReadFile(c.report).split(u'\n', Qt::SkipEmptyParts); }
    std::size_t Count(const std::string& line) const {
        std::size_t n = 0;
        for (const std::string& l : log.Lines()) n += l == line;
        return n;
    }

    NetworkNamespaces namespaces_;
    QString halvaneComputer_;
    RecorderComputer computers_[2];
    std::unique_ptr<InNamespace> inHalvanesComputer_;
    QString rec1, rec2, archive;
    int requestPasses_ = 0;
    int triesAwaited_ = 0;
    static inline int runs_ = 0;
};

TEST_F(TwoComputers, AGameWithTheRecorderOnAnotherComputer) {
    RecorderComputer& there = computers_[0];
    const ErrorsToFile traces(root.filePath("traces.txt"));  // the answer relay's among them
    Frame();
    boxes.answer = BoxAnswer::Yes;

    // Start new game: the recorder is not started here, it is found there, its clock is
    // compared through the relays both ways, and it records the game.
    const WorkflowRun started = StartNewGame();
    ASSERT_TRUE(started.ended);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Text(528), Text(535)}));
    EXPECT_EQ(Count("Halvane::OnFileRecStart SUCCEEDED.\n"), 1u);
    EXPECT_EQ(frame->Link.VortamoClockOffset, 0) << "the recorder's clock, asked through the relay, agrees";
    const QString folder = frame->GameFolder;
    ASSERT_FALSE(folder.isEmpty());
    QStringList report = Report(there);
    EXPECT_TRUE(report.contains("command GetTime"));
    EXPECT_TRUE(report.contains("command ExternalControlOn"));
    EXPECT_TRUE(report.contains("command StartRecord 1111111111111111 0 \\" + folder)) << report.join(u'\n').toStdString();
    EXPECT_FALSE(Report(computers_[1]).contains("command StartRecord 1111111111111111 0 \\" + folder));
    ASSERT_EQ(AnswerRelays().size(), 1u);
    // On the recorder's computer the relay there takes what the workstation may send back:
    // the recorder starts no relay of its own for that, and nothing stood in the way.
    EXPECT_TRUE(AnswerRelaysOf(there.recorder.Pid()).empty());
    EXPECT_FALSE(there.recorder.Errors().contains(QStringLiteral("relay for answers"))) << there.recorder.Errors().toStdString();
    EXPECT_FALSE(there.relay.Errors().contains(QStringLiteral("cannot"))) << there.relay.Errors().toStdString();

    // Another user of the program's computer cannot hand the answer relay anything, on the
    // veth address it listens on (it trusts only the recorder's computer), nor on loopback,
    // where it does not listen.
    QTemporaryDir otherHome(QStringLiteral("/tmp/halvane-other-user-XXXXXX"));
    ASSERT_TRUE(otherHome.isValid());
    ASSERT_TRUE(MakeFolderOfOtherUser(otherHome.path()));
    const QStringList attempt = AsOtherUser(otherHome.path(), {}, QCoreApplication::applicationDirPath() + "/queue_intruder",
                                            {"relay", "-", there.halvaneAddress, "17420", "Halvane", "relay", "-",
                                             "127.0.0.1", "17420", "Halvane"});
    CompanionProcess intruder;
    ASSERT_TRUE(intruder.StartProgram(attempt.value(0), attempt.mid(1), root.filePath("intruder")));
    EXPECT_EQ(intruder.WaitForExit(), 0) << intruder.Errors().toStdString();
    EXPECT_EQ(intruder.Output(), QStringLiteral("relay - %1 17420 Halvane closed\n"
                                                "relay - 127.0.0.1 17420 Halvane refused Connection refused\n")
                                     .arg(there.halvaneAddress));
    EXPECT_TRUE(WaitUntil([&] {
        return traces.Text().contains(
            QStringLiteral("ZandrelQueueRelay: refused %1, not a trusted host").arg(there.halvaneAddress));
    }, kWaitMs));

    // A short game: the referee console's periods reach the model while the recorder is asked.
    EXPECT_TRUE(PlayALittle());

    // Stop the game: the recorder is told to stop, and not to exit; its computer
    // acknowledges the first try.
    boxes.shown.clear();
    const WorkflowRun stopped = Play(kStopGame, [&](std::int32_t) { GiveTheTryItsTime(); });
    ASSERT_TRUE(stopped.ended);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Text(529), Text(537)}));
    // One try: waited for, unless its acknowledgement was there before the step looked.
    EXPECT_LE(triesAwaited_, 1);
    EXPECT_TRUE(there.recorder.WaitForLine(QStringLiteral("command StopRecord")));
    EXPECT_EQ(there.recorder.Output().count(QStringLiteral("command StopRecord\n")), 1);
    EXPECT_EQ(Count("Halvane::OnFileRecStop ERROR - Can't send command #2 to Vortamo!\n"), 0u);

    // Archive the game once the copy is done: the recorder there is found running and told
    // to stop recording again, never to exit; the companions here close.
    EXPECT_TRUE(WaitUntil([&] { return !frame->IsCopyBusy(); }, 60000));
    boxes.shown.clear();
    const WorkflowRun archived = Play(kArchiveGame, [&](std::int32_t step) {
        if (step == 201) {
            EXPECT_TRUE(WaitUntil([&] { return frame->Link.IsQueueNameFree("Dravenor1", frame.get()); }, kWaitMs));
        }
        if (step == 301) {
            EXPECT_TRUE(WaitUntil([&] { return !frame->Link.IsKestriloRunning(frame.get()); }, kWaitMs));
        }
        if (step == 501) {
            // The storage manager ends by itself (OSTRIMUND_EXIT_AFTER_MS).
            EXPECT_TRUE(WaitUntil([&] { return frame->Companions.OstrimundEnded(); }, kWaitMs));
        }
    });
    ASSERT_TRUE(archived.ended);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Text(527), Text(521)}));
    EXPECT_TRUE(WaitUntil([&] { return Report(there).count("command StopRecord") == 2; }, kWaitMs));
    EXPECT_FALSE(Report(there).contains("command Exit"));
    EXPECT_FALSE(there.recorder.HasEnded());
    EXPECT_FALSE(log.Contains("'Vortamo.Control' & 'Exit'"));
}

TEST_F(TwoComputers, CutOffTheRecordersComputerFailsTheWorkflowsWithinTheirWaits) {
    RecorderComputer& there = computers_[0];
    Frame();
    frame->Link.PollingEnabled = true;
    frame->ExecutionEnabled = true;
    // The recorder's computer is reached, then cut off. The test's clock runs the workflow's
    // waits in a moment, so the test first lets the program see the cut (as it would within
    // the first seconds of those waits): its questions there go unanswered.
    ASSERT_TRUE(WaitUntil([&] { return frame->Link.IsVortamoRunning(frame.get()); }, kWaitMs));
    ASSERT_TRUE(namespaces_.SetLink(there.name, QStringLiteral("to-halvane"), false));
    ASSERT_TRUE(WaitUntil([&] {
        return frame->Link.VortamoPresence(frame.get()) == CCompanionLink::Presence::NotRunning;
    }, kWaitMs));

    // Start new game does not find it: twenty probes, a second apart, then question 532.
    boxes.onShow = [this] {
        boxes.answer = boxes.shown.back() == LoadStringOrMark(532) ? BoxAnswer::No : BoxAnswer::Yes;
    };
    const WorkflowRun started = Play(kStartNewGame);
    ASSERT_TRUE(started.ended);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Text(528), Text(532)}));
    EXPECT_EQ(Count("Halvane::OnFileRecStart ERROR - Can't start Vortamo!\n"), 1u);
    const auto first = std::find(started.steps.begin(), started.steps.end(), 201) - started.steps.begin();
    EXPECT_EQ(static_cast<int>(started.steps.size()) - 1 - first, 191) << "the workflow's twenty probes, a second apart";

    // Once the update cycle's requests to it have failed, "StopRecord" fails as well: five
    // tries 333 ms apart, then warning 538, and the workflow goes on to its end (the referee
    // console, on this computer, is told to stop its clock).
    ASSERT_TRUE(StartConsole());
    frame->GameFolder = QStringLiteral("2026-12-10\\19-30\\");
    frame->ExecutionEnabled = true;
    frame->Link.PollingEnabled = true;
    ASSERT_TRUE(WaitUntil([&] {
        clock.tick += 1000;
        Update();
        return log.Contains("Halvane::SendMesage('Vortamo.Control' & 'GetState') to Vortamo1 ERROR");
    }, kWaitMs * 3)) << "the requests to the recorder's computer fail once it is known to be cut off";
    boxes.shown.clear();
    boxes.onShow = {};
    boxes.answer = BoxAnswer::Yes;
    const WorkflowRun stopped = Play(kStopGame);
    ASSERT_TRUE(stopped.ended);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Text(529), Text(538), Text(537)}));
    EXPECT_EQ(Count("Halvane::OnFileRecStop ERROR - Can't send command #2 to Vortamo!\n"), 1u);
    std::size_t tries = 0;
    for (const std::string& line : log.Lines())
        tries += line.rfind("Halvane::SendMesage('Vortamo.Control' & 'StopRecord') to Vortamo1 ERROR", 0) == 0;
    EXPECT_EQ(tries, 5u) << "five tries, 333 ms apart";
    EXPECT_FALSE(Report(there).contains("command StopRecord"));

    // The link comes back: the next sends reach the recorder again (the first ones after it
    // may still fail, until that computer has been heard again).
    ASSERT_TRUE(namespaces_.SetLink(there.name, QStringLiteral("to-halvane"), true));
    EXPECT_TRUE(WaitUntil([&] {
        QThread::msleep(100);
        return frame->Link.SendToVortamo(QStringLiteral("StopRecord"));
    }, kWaitMs * 3));
    EXPECT_TRUE(there.recorder.WaitForLine(QStringLiteral("command StopRecord")));
}

TEST_F(TwoComputers, ARecorderCutOffJustBeforeStopTheGameGetsItsFiveTriesAndTheWarning) {
    // The recorder's computer is heard (a message to it is taken there), then cut off, and
    // the game is stopped at once: the program cannot know of the cut before its first
    // "StopRecord", which it accepts; that try fails on its way (no acknowledgement in
    // time), is waited for and counted as a failed try, and the four others fail at once:
    // warning 538 after five tries, as for a recorder here that does not take the command.
    RecorderComputer& there = computers_[0];
    Frame();
    ASSERT_TRUE(StartConsole());
    frame->GameFolder = QStringLiteral("2026-12-10\\19-30\\");
    frame->ExecutionEnabled = true;
    ASSERT_TRUE(frame->Link.SendToVortamo(QStringLiteral("GetState")));
    const std::int32_t heard = frame->Link.SendSequence;
    ASSERT_TRUE(WaitUntil([&] {
        return frame->Link.VortamoDelivery(heard) == CCompanionLink::Delivery::Delivered;
    }, kWaitMs));
    ASSERT_TRUE(WaitUntil([&] { return Report(there).contains("command GetState"); }, kWaitMs));

    ASSERT_TRUE(namespaces_.SetLink(there.name, QStringLiteral("to-halvane"), false));
    boxes.answer = BoxAnswer::Yes;
    const WorkflowRun stopped = Play(kStopGame, [&](std::int32_t) { GiveTheTryItsTime(); });
    ASSERT_TRUE(stopped.ended);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Text(529), Text(538), Text(537)}));
    EXPECT_EQ(triesAwaited_, 1) << "the first try was accepted and waited for";
    std::size_t tries = 0;
    for (const std::string& line : log.Lines())
        tries += line.rfind("Halvane::SendMesage('Vortamo.Control' & 'StopRecord') to Vortamo1 ERROR", 0) == 0;
    EXPECT_EQ(tries, 5u) << "five tries, 333 ms apart";
    EXPECT_EQ(Count("Halvane::OnFileRecStop ERROR - Can't send command #2 to Vortamo!\n"), 1u);
    EXPECT_EQ(Count("Halvane::OnFileRecStop SUCCEEDED.\n"), 1u);
    EXPECT_FALSE(Report(there).contains("command StopRecord"));
}

TEST_F(TwoComputers, AnotherRecordersComputerIsHeardAtOnce) {
    Frame();
    // The first recorder's computer answers.
    frame->Link.VortamoState = 0;
    ASSERT_TRUE(frame->Link.SendToVortamo(QStringLiteral("GetState")));
    ASSERT_TRUE(WaitUntil([&] { return frame->Link.VortamoState != 0; }, kWaitMs));

    EXPECT_EQ(AskTheAnswerRelayFrom(computers_[0]), QStringLiteral("acknowledged 0"));

    // The settings name the second one, as the settings dialog applies them: its answers
    // come at once, through the same answer relay, and the first is let go of.
    RecorderComputer& second = computers_[1];
    frame->Settings.VortamoIP = second.address;
    frame->Link.SetVortamoHost(second.address);
    frame->Link.VortamoState = 0;
    frame->Link.VortamoClockOffset = 12345;
    ASSERT_TRUE(frame->Link.SendToVortamo(QStringLiteral("GetTime")));
    ASSERT_TRUE(frame->Link.SendToVortamo(QStringLiteral("GetState")));
    EXPECT_TRUE(WaitUntil([&] { return frame->Link.VortamoState != 0 && frame->Link.VortamoClockOffset == 0; }, kWaitMs));
    EXPECT_TRUE(Report(second).contains("command GetState"));
    EXPECT_EQ(AnswerRelays().size(), 1u) << "one answer relay for the process";
    EXPECT_TRUE(WaitUntil([&] { return frame->Link.IsVortamoRunning(frame.get()); }, kWaitMs));
    EXPECT_TRUE(WaitUntil([&] { return AskTheAnswerRelayFrom(computers_[0]) == QStringLiteral("closed"); }, kWaitMs))
        << "the former recorder's computer";
    EXPECT_EQ(AskTheAnswerRelayFrom(second), QStringLiteral("acknowledged 0"));

    // Named again, the first is heard again.

    frame->Link.SetVortamoHost(computers_[0].address);
    frame->Link.VortamoState = 0;
    ASSERT_TRUE(frame->Link.SendToVortamo(QStringLiteral("GetState")));
    EXPECT_TRUE(WaitUntil([&] { return frame->Link.VortamoState != 0; }, kWaitMs));
    frame->Link.LogQueueNotes();
    EXPECT_FALSE(log.Contains("Halvane::MessageQueue")) << "nothing went wrong on the way";
}

TEST_F(TwoComputers, AnotherProgramOnTheAnswerPortIsSaidAndCostsTheAnswers) {
    // Another program holds the relay port on the program's address towards the recorder
    // (a relay that trusts no one): the recorder is found and told, but its answers cannot
    // come back. The log says so, and Start new game ends with its error when the
    // recorder's answers do not come, not with a silent wait.
    RecorderComputer& there = computers_[0];
    CompanionProcess otherProgram;
    ASSERT_TRUE(otherProgram.Start("ZandrelQueueRelay", {"--bind", there.halvaneAddress}, root.filePath("other")));
    ASSERT_TRUE(otherProgram.WaitForLine(QStringLiteral("listening 17420")));
    Frame();
    boxes.answer = BoxAnswer::Yes;
    const WorkflowRun started = Play(kStartNewGame, [&](std::int32_t step) {
        if (step >= 201 && step <= 220) {
            EXPECT_TRUE(WaitUntil([&] { return frame->Link.IsVortamoRunning(frame.get()); }, kWaitMs));
        }
        if (step == 401) {
            EXPECT_TRUE(WaitUntil([&] { return Report(there).contains("command GetState"); }, kWaitMs));
        }
    });
    ASSERT_TRUE(started.ended);
    EXPECT_EQ(Boxes(), (std::vector<std::string>{Text(528), Text(538)}));
    EXPECT_EQ(Count("Halvane::OnFileRecStart ERROR - No answer from Vortamo!\n"), 1u);
    EXPECT_EQ(Count("Halvane::MessageQueue the relay for answers cannot listen on " + there.halvaneAddress.toStdString() +
                    ":17420 (Address already in use): the answers of " + there.address.toStdString() +
                    " cannot come back\n"),
              1u);
    otherProgram.Kill();
}

}  // namespace
}  // namespace hv::test
